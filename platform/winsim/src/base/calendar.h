// The one calendar of winsim: dates of the proleptic Gregorian calendar counted in days
// from 1601-01-01, the origin of FILETIME. Every date winsim reads (machine.toml's clock and
// driver dates) or converts (SYSTEMTIME <-> FILETIME) goes through it, so an impossible date
// such as 2026-02-31 is refused everywhere alike.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace winsim {

struct CivilDate {
  int year = 0, month = 0, day = 0;
};

constexpr int64_t kTicksPerSecond = 10000000LL;  // FILETIME units
constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
// Years 1601 to 30827 (what SYSTEMTIME can hold), months 1-12, days that month has.
bool IsValidDate(int year, int month, int day);
int64_t DaysFrom1601(int year, int month, int day);
CivilDate DateOfDay(int64_t daysFrom1601);

// "YYYY-MM-DD" exactly (four, two and two digits), a valid date.
bool ParseIsoDate(std::string_view text, CivilDate &date);
// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SS" ('T' or a space between): FILETIME units of that
// time, read as it is written (no time zone).
bool ParseIsoDateTime(std::string_view text, int64_t &ticks);
// "YYYY-MM-DDTHH:MM:SS" of a time in FILETIME units.
std::string IsoDateTimeText(int64_t ticks);

}  // namespace winsim
