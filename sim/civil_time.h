// Calendar arithmetic on the controller's wall clock without the C library's time-zone code:
// the controller keeps local civil time and knows nothing of zones, and mktime would take the
// process's time-zone lock from the simulator's thread.
//
// Thread contract: stateless.
#pragma once

#include <cstdint>
#include <ctime>

namespace zel::sim {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
constexpr int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Seconds since 1970-01-01 00:00 of civil fields (tm_year, tm_mon, tm_mday, hour, min, sec).
constexpr int64_t CivilSeconds(const std::tm& t) {
  return DaysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) * 86400 + t.tm_hour * 3600 +
         t.tm_min * 60 + t.tm_sec;
}

// The civil fields of a CivilSeconds value, with tm_wday (0 Sunday) filled in.
constexpr std::tm CivilFromSeconds(int64_t seconds) {
  int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  int64_t rest = seconds - days * 86400;
  std::tm t{};
  t.tm_hour = static_cast<int>(rest / 3600);
  t.tm_min = static_cast<int>(rest % 3600 / 60);
  t.tm_sec = static_cast<int>(rest % 60);
  t.tm_wday = static_cast<int>(((days + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.tm_mday = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.tm_mon = month - 1;
  t.tm_year = static_cast<int>(yoe + era * 400 + (month <= 2)) - 1900;
  return t;
}

}  // namespace zel::sim
