#pragma once
// Time as the engine sees it, injected so tests can set song lengths.
#include <cstdint>
#include <ctime>

namespace orvweb {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since 1970-01-01 UTC. Also asked on the capture thread, so
  // it must neither block nor allocate.
  virtual int64_t NowMs() const = 0;
  // The local calendar time of an instant; false when it cannot be had.
  virtual bool LocalTime(int64_t utcMs, std::tm& local) const = 0;
};

// The system's clock and time zone.
const Clock& SystemClock();

// A calendar date-time as the controller measures spans with it: days since
// 1899-12-30 00:00 (local time), the fraction being the time of day.
struct OleDate {
  double date = 0.0;
  bool valid = true;
};

OleDate ToOleDate(const std::tm& local, int milliseconds);

}  // namespace orvweb
