#include "base/calendar.h"

#include <cstdio>

namespace winsim {

namespace {
constexpr int64_t kDays1601To1970 = 134774;

bool Digits(std::string_view text, size_t at, size_t count, int &value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}
}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool IsValidDate(int year, int month, int day) {
  return year >= 1601 && year <= 30827 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

// days_from_civil, counted from 1970-01-01 and moved to 1601-01-01.
int64_t DaysFrom1601(int year, int month, int day) {
  int64_t y = year - (month <= 2);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + kDays1601To1970;
}

CivilDate DateOfDay(int64_t daysFrom1601) {
  int64_t z = daysFrom1601 - kDays1601To1970 + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  CivilDate date;
  date.day = int(doy - (153 * mp + 2) / 5 + 1);
  date.month = int(mp < 10 ? mp + 3 : mp - 9);
  date.year = int(y + (date.month <= 2));
  return date;
}

bool ParseIsoDate(std::string_view text, CivilDate &date) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  CivilDate d;
  if (!Digits(text, 0, 4, d.year) || !Digits(text, 5, 2, d.month) || !Digits(text, 8, 2, d.day)) return false;
  if (!IsValidDate(d.year, d.month, d.day)) return false;
  date = d;
  return true;
}

bool ParseIsoDateTime(std::string_view text, int64_t &ticks) {
  CivilDate d;
  if (!ParseIsoDate(text.substr(0, 10), d)) return false;
  int h = 0, mi = 0, s = 0;
  if (text.size() != 10) {
    if (text.size() != 19 || (text[10] != 'T' && text[10] != ' ') || text[13] != ':' || text[16] != ':' ||
        !Digits(text, 11, 2, h) || !Digits(text, 14, 2, mi) || !Digits(text, 17, 2, s) || h > 23 || mi > 59 || s > 59)
      return false;
  }
  ticks = (DaysFrom1601(d.year, d.month, d.day) * 86400 + h * 3600 + mi * 60 + s) * kTicksPerSecond;
  return true;
}

std::string IsoDateTimeText(int64_t ticks) {
  int64_t days = ticks / kTicksPerDay, seconds = (ticks % kTicksPerDay) / kTicksPerSecond;
  CivilDate date = DateOfDay(days);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", date.year, date.month, date.day,
                int(seconds / 3600), int(seconds / 60 % 60), int(seconds % 60));
  return text;
}

}  // namespace winsim
