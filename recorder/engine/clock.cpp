#include "recorder/engine/clock.h"

#include <chrono>

namespace orvweb {
namespace {

class SystemClockImpl final : public Clock {
 public:
  int64_t NowMs() const override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  }
  bool LocalTime(int64_t utcMs, std::tm& local) const override {
    const std::time_t seconds = static_cast<std::time_t>(utcMs >= 0 ? utcMs / 1000 : (utcMs - 999) / 1000);
    return ::localtime_r(&seconds, &local) != nullptr;
  }
};

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

const Clock& SystemClock() {
  static const SystemClockImpl clock;
  return clock;
}

OleDate ToOleDate(const std::tm& local, int milliseconds) {
  // 1899-12-30 is 25569 days before 1970-01-01.
  const int64_t days = DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                     static_cast<unsigned>(local.tm_mday)) + 25569;
  const double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + milliseconds / 1000.0;
  return OleDate{static_cast<double>(days) + seconds / 86400.0, true};
}

}  // namespace orvweb
