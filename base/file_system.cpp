#include "base/file_system.h"

namespace n2 {

LocalTime CalendarTime(uint64_t time) {
  constexpr uint64_t kUnitsPerSecond = 10'000'000;
  const uint64_t seconds = time / kUnitsPerSecond;
  // Days since 1 January 1601, then the civil date of a day count that
  // starts on 1 March of a year divisible by 400 (so leap days end each year).
  const int64_t days = static_cast<int64_t>(seconds / 86400);
  const int64_t second_of_day = static_cast<int64_t>(seconds % 86400);
  const int64_t z = days + 306;  // 1601-01-01 is day 306 after 1600-03-01
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  LocalTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(1600 + yoe + era * 400 + (t.month <= 2 ? 1 : 0));
  t.hour = static_cast<int>(second_of_day / 3600);
  t.minute = static_cast<int>(second_of_day / 60 % 60);
  t.second = static_cast<int>(second_of_day % 60);
  return t;
}

}  // namespace n2
