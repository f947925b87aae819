// The simulated process's environment and directories, the machine's clock and time zone,
// the locale formatting of dates and times, and the code page conversions.
#include <windows.h>

#include <gtest/gtest.h>
#include <winsim.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "testmachine.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

std::wstring Expand(const wchar_t *text) {
  wchar_t buffer[512];
  DWORD n = ExpandEnvironmentStringsW(text, buffer, 512);
  EXPECT_GT(n, 0u);
  return n && n <= 512 ? std::wstring(buffer) : std::wstring();
}

std::wstring Variable(const wchar_t *name) {
  wchar_t buffer[512];
  SetLastError(kSentinel);
  DWORD n = GetEnvironmentVariableW(name, buffer, 512);
  return n && n < 512 ? std::wstring(buffer, n) : std::wstring();
}

SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
  return SYSTEMTIME{y, mo, 0xFFFF, d, h, mi, s, ms};
}

// Compares every field, the day of the week included.
void ExpectTime(const SYSTEMTIME &st, WORD y, WORD mo, WORD dow, WORD d, WORD h, WORD mi, WORD s, WORD ms) {
  EXPECT_EQ(st.wYear, y);
  EXPECT_EQ(st.wMonth, mo);
  EXPECT_EQ(st.wDayOfWeek, dow);
  EXPECT_EQ(st.wDay, d);
  EXPECT_EQ(st.wHour, h);
  EXPECT_EQ(st.wMinute, mi);
  EXPECT_EQ(st.wSecond, s);
  EXPECT_EQ(st.wMilliseconds, ms);
}

uint64_t Quad(const FILETIME &ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
FILETIME FromQuad(uint64_t v) { return FILETIME{DWORD(v & 0xFFFFFFFFu), DWORD(v >> 32)}; }

std::string Machine(const std::string &extra) { return "[machine]\nclock = \"2026-12-08T14:30:00\"\n" + extra; }

}  // namespace

// ---- environment ------------------------------------------------------------------------

TEST(Environment, ExpandEnvironmentStrings) {
  TestMachine machine;
  // clang-format off
  struct Case {
    const wchar_t *in, *out;
  } cases[] = {
      {L"%SystemRoot%\\system32",     L"C:\\Windows\\system32"},
      {L"%SYSTEMROOT%",               L"C:\\Windows"},
      {L"%systemroot%",               L"C:\\Windows"},
      {L"%TEMP%\\%ComputerName%.log", L"C:\\Windows\\Temp\\SRV01.log"},
      {L"%NoSuchVar%\\x",             L"%NoSuchVar%\\x"},        // unknown: kept as written
      {L"%NoSuchVar%%windir%",        L"%NoSuchVar%C:\\Windows"}, // its closing '%' does not swallow the next
      {L"100%",                       L"100%"},
      {L"%%",                         L"%%"},
      {L"a%b%c",                      L"a%b%c"},
      {L"no references",              L"no references"},
      {L"",                           L""},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.in));
    const DWORD needed = DWORD(std::wcslen(c.out) + 1);  // the terminator counts
    wchar_t buffer[128];
    EXPECT_EQ(ExpandEnvironmentStringsW(c.in, buffer, 128), needed);
    EXPECT_EQ(std::wstring(buffer), c.out);
    EXPECT_EQ(ExpandEnvironmentStringsW(c.in, nullptr, 0), needed);
  }
}

TEST(Environment, ExpandEnvironmentStringsNeverWritesPastTheBuffer) {
  TestMachine machine;
  const wchar_t *in = L"%SystemRoot%\\INF";  // C:\Windows\INF: 14 characters
  for (DWORD size : {1u, 5u, 14u}) {
    SCOPED_TRACE(size);
    wchar_t buffer[32];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(ExpandEnvironmentStringsW(in, buffer, size), 15u);
    for (DWORD i = size; i < 32; ++i) EXPECT_EQ(buffer[i], L'#') << "at " << i;
  }
}

TEST(Environment, GetEnvironmentVariableSizes) {
  TestMachine machine;
  const wchar_t *value = L"C:\\Windows";  // 10 characters
  // clang-format off
  struct Case {
    DWORD size;
    DWORD result;
    bool copied;
  } cases[] = {
      {0,  11, false},  // the size needed, terminator included
      {10, 11, false},
      {11, 10, true},   // the length copied, without terminator
      {64, 10, true},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.size);
    wchar_t buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(GetEnvironmentVariableW(L"systemROOT", c.size ? buffer : nullptr, c.size), c.result);
    if (c.copied) {
      EXPECT_EQ(std::wstring(buffer), value);
    }
  }
  wchar_t buffer[16] = L"untouched";
  SetLastError(kSentinel);
  EXPECT_EQ(GetEnvironmentVariableW(L"KVN_NOT_SET", buffer, 16), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
}

TEST(Environment, MachineEnvAddsAndOverridesVariables) {
  TestMachine machine(Machine("computer_name = \"BUILD7\"\n") + R"(
[env]
TEMP = 'D:\Tmp'
KVN_HOME = 'C:\Kvn'
KVN_LINK = '%KVN_HOME%\bin'
)");
  // One pass: a value's own references stay as they are.
  EXPECT_EQ(Expand(L"%KVN_LINK%"), L"%KVN_HOME%\\bin");
  EXPECT_EQ(Variable(L"TEMP"), L"D:\\Tmp");
  EXPECT_EQ(Variable(L"TMP"), L"C:\\Windows\\Temp");
  EXPECT_EQ(Variable(L"kvn_home"), L"C:\\Kvn");
  EXPECT_EQ(Variable(L"COMPUTERNAME"), L"BUILD7");
  EXPECT_EQ(Variable(L"SystemDrive"), L"C:");
  EXPECT_EQ(Variable(L"ProgramFiles"), L"C:\\Program Files");
  EXPECT_EQ(Variable(L"ALLUSERSPROFILE"), L"C:\\ProgramData");
  EXPECT_EQ(Expand(L"%KVN_HOME%\\bin;%temp%"), L"C:\\Kvn\\bin;D:\\Tmp");

  // The process may change its own environment.
  EXPECT_TRUE(SetEnvironmentVariableW(L"KVN_HOME", L"E:\\Other"));
  EXPECT_EQ(Variable(L"KVN_HOME"), L"E:\\Other");
  EXPECT_TRUE(SetEnvironmentVariableW(L"kvn_home", nullptr));
  EXPECT_EQ(Variable(L"KVN_HOME"), L"");
  EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
  EXPECT_EQ(Expand(L"%KVN_HOME%"), L"%KVN_HOME%");
}

TEST(Environment, SystemAndWindowsDirectorySizes) {
  TestMachine machine;
  // clang-format off
  struct Case {
    UINT(WINAPI *get)(LPWSTR, UINT);
    const wchar_t *value;
  } cases[] = {
      {GetWindowsDirectoryW, L"C:\\Windows"},
      {GetSystemDirectoryW,  L"C:\\Windows\\system32"},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.value));
    const UINT length = UINT(std::wcslen(c.value));
    wchar_t buffer[MAX_PATH];
    EXPECT_EQ(c.get(nullptr, 0), length + 1);
    EXPECT_EQ(c.get(buffer, length), length + 1);
    EXPECT_EQ(c.get(buffer, length + 1), length);
    EXPECT_EQ(std::wstring(buffer), c.value);
    EXPECT_EQ(c.get(buffer, MAX_PATH), length);
  }
}

TEST(Environment, CurrentDirectory) {
  TestMachine machine;
  machine.Write(L"C:\\Work\\Sub\\file.txt", "x");
  wchar_t buffer[MAX_PATH];
  EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, buffer), 3u);
  EXPECT_EQ(std::wstring(buffer), L"C:\\");

  ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\Work"));
  EXPECT_EQ(GetCurrentDirectoryW(0, nullptr), 8u);
  EXPECT_EQ(GetCurrentDirectoryW(7, buffer), 8u);
  EXPECT_EQ(GetCurrentDirectoryW(8, buffer), 7u);
  EXPECT_EQ(std::wstring(buffer), L"C:\\Work");

  ASSERT_TRUE(SetCurrentDirectoryW(L"Sub"));  // relative to the current directory
  GetCurrentDirectoryW(MAX_PATH, buffer);
  EXPECT_EQ(std::wstring(buffer), L"C:\\Work\\Sub");
  // Relative names now resolve there.
  EXPECT_NE(GetFileAttributesW(L"file.txt"), INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(SetCurrentDirectoryW(L".."));
  GetCurrentDirectoryW(MAX_PATH, buffer);
  EXPECT_EQ(std::wstring(buffer), L"C:\\Work");

  // clang-format off
  struct Case {
    const wchar_t *path;
    DWORD error;
  } failures[] = {
      {L"C:\\Work\\Missing",       ERROR_FILE_NOT_FOUND},
      {L"C:\\Missing\\Deeper",     ERROR_PATH_NOT_FOUND},
      {L"C:\\Work\\Sub\\file.txt", ERROR_DIRECTORY},
  };
  // clang-format on
  for (const Case &c : failures) {
    SCOPED_TRACE(winsim::ToUtf8(c.path));
    SetLastError(kSentinel);
    EXPECT_FALSE(SetCurrentDirectoryW(c.path));
    EXPECT_EQ(GetLastError(), c.error);
    GetCurrentDirectoryW(MAX_PATH, buffer);
    EXPECT_EQ(std::wstring(buffer), L"C:\\Work");
  }
}

// ---- clock and time zone ----------------------------------------------------------------

TEST(Clock, LocalAndSystemTimeFollowTheTimeZoneBias) {
  // clang-format off
  struct Case {
    const char *clock;
    int bias;  // minutes: UTC = local + bias
    SYSTEMTIME utc;
    WORD utcDayOfWeek;
  } cases[] = {
      {"2026-12-08T14:30:00", 0,    Time(2026, 12, 8, 14, 30),  2},
      {"2026-12-08T14:30:00", -60,  Time(2026, 12, 8, 13, 30),  2},
      {"2026-12-08T14:30:00", 300,  Time(2026, 12, 8, 19, 30),  2},
      {"2026-12-08T02:30:00", -540, Time(2026, 12, 7, 17, 30),  1},
      {"2026-12-31T22:00:00", 300,  Time(2027, 1, 1, 3, 0),     5},
      {"2024-02-28T23:00:00", 120,  Time(2024, 2, 29, 1, 0),    4},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.clock << " bias " << c.bias);
    TestMachine machine(std::string("[machine]\nclock = \"") + c.clock +
                        "\"\ntimezone_bias_minutes = " + std::to_string(c.bias) + "\n");
    SYSTEMTIME local, utc;
    std::memset(&local, 0xAB, sizeof local);
    std::memset(&utc, 0xAB, sizeof utc);
    GetLocalTime(&local);
    GetSystemTime(&utc);
    int y, mo, d, h, mi;
    std::sscanf(c.clock, "%d-%d-%dT%d:%d", &y, &mo, &d, &h, &mi);
    EXPECT_EQ(local.wYear, y);
    EXPECT_EQ(local.wMonth, mo);
    EXPECT_EQ(local.wDay, d);
    EXPECT_EQ(local.wHour, h);
    EXPECT_EQ(local.wMinute, mi);
    ExpectTime(utc, c.utc.wYear, c.utc.wMonth, c.utcDayOfWeek, c.utc.wDay, c.utc.wHour, c.utc.wMinute, 0, 0);

    // The same instant through FILETIMEs.
    FILETIME now{kSentinel, kSentinel}, localFt{kSentinel, kSentinel};
    GetSystemTimeAsFileTime(&now);
    ASSERT_TRUE(FileTimeToLocalFileTime(&now, &localFt));
    EXPECT_EQ(int64_t(Quad(now) - Quad(localFt)), int64_t(c.bias) * 60 * 10000000);
    SYSTEMTIME fromFt;
    ASSERT_TRUE(FileTimeToSystemTime(&localFt, &fromFt));
    ExpectTime(fromFt, local.wYear, local.wMonth, local.wDayOfWeek, local.wDay, local.wHour, local.wMinute,
               local.wSecond, local.wMilliseconds);
  }
}

TEST(Clock, SleepAdvancesTheVirtualClock) {
  TestMachine machine;
  const DWORD ticks = GetTickCount();
  Sleep(1500);
  EXPECT_EQ(GetTickCount(), ticks + 1500);
  SYSTEMTIME st;
  GetLocalTime(&st);
  ExpectTime(st, 2026, 12, 2, 8, 14, 30, 1, 500);
  Sleep(0);
  EXPECT_EQ(GetTickCount(), ticks + 1500);
  Sleep(24u * 3600 * 1000);  // a day later: Wednesday the 9th
  GetLocalTime(&st);
  ExpectTime(st, 2026, 12, 3, 9, 14, 30, 1, 500);
  EXPECT_EQ(GetTickCount(), ticks + 1500 + 24u * 3600 * 1000);
}

TEST(Clock, FileTimeAndSystemTimeRoundTrip) {
  TestMachine machine;
  // clang-format off
  struct Case {
    SYSTEMTIME st;
    WORD dayOfWeek;
    uint64_t filetime;  // 0: not checked (except for 1601-01-01)
  } cases[] = {
      {Time(1601, 1, 1),                    1, 0},
      {Time(1900, 3, 1),                    4, 0},
      {Time(2000, 2, 29, 12, 34, 56, 789),  2, 125963012967890000ULL},
      {Time(2024, 2, 29, 23, 59, 59, 999),  4, 133537247999990000ULL},
      {Time(2026, 12, 8),                   2, 0x01DD86A7115DC000ULL},
      {Time(2100, 2, 28, 23, 59, 59, 999),  0, 0},
      {Time(30827, 12, 31, 23, 59, 59, 999), 5, 0},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.st.wYear << "-" << c.st.wMonth << "-" << c.st.wDay);
    FILETIME ft{kSentinel, kSentinel};
    ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
    if (c.filetime || c.st.wYear == 1601) {
      EXPECT_EQ(Quad(ft), c.filetime);
    }
    SYSTEMTIME back;
    std::memset(&back, 0xAB, sizeof back);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    ExpectTime(back, c.st.wYear, c.st.wMonth, c.dayOfWeek, c.st.wDay, c.st.wHour, c.st.wMinute, c.st.wSecond,
               c.st.wMilliseconds);
  }

  // The largest FILETIME there is.
  FILETIME last = FromQuad(0x7FFFFFFFFFFFFFFFULL);
  SYSTEMTIME st;
  ASSERT_TRUE(FileTimeToSystemTime(&last, &st));
  ExpectTime(st, 30828, 9, 4, 14, 2, 48, 5, 477);
  FILETIME negative = FromQuad(0x8000000000000000ULL);
  SetLastError(kSentinel);
  EXPECT_FALSE(FileTimeToSystemTime(&negative, &st));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Clock, SystemTimeToFileTimeRefusesDatesThatDoNotExist) {
  TestMachine machine;
  // clang-format off
  const SYSTEMTIME invalid[] = {
      Time(1900, 2, 29),  // 1900 is no leap year
      Time(2023, 2, 29),
      Time(2026, 4, 31),
      Time(2026, 13, 1),
      Time(2026, 0, 1),
      Time(2026, 1, 0),
      Time(2026, 1, 1, 24),
      Time(2026, 1, 1, 0, 60),
      Time(2026, 1, 1, 0, 0, 60),
      Time(2026, 1, 1, 0, 0, 0, 1000),
      Time(1600, 12, 31),
  };
  // clang-format on
  for (const SYSTEMTIME &st : invalid) {
    SCOPED_TRACE(testing::Message() << st.wYear << "-" << st.wMonth << "-" << st.wDay << " " << st.wHour << ":"
                                    << st.wMinute << ":" << st.wSecond << "." << st.wMilliseconds);
    FILETIME ft{kSentinel, kSentinel};
    SetLastError(kSentinel);
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

// ---- locale formats ---------------------------------------------------------------------

TEST(LocaleFormat, GetTimeFormatFlagsAndPictures) {
  TestMachine machine;
  // clang-format off
  struct Case {
    SYSTEMTIME time;
    DWORD flags;
    const wchar_t *format;
    const wchar_t *text;
  } cases[] = {
      {Time(2026, 12, 8, 14, 5, 9), TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT, nullptr, L"14:05:09"},
      {Time(2026, 12, 8, 9, 5, 9),  TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT, nullptr, L"9:05:09"},
      {Time(2026, 12, 8, 0, 5, 9),  TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT, nullptr, L"0:05:09"},
      {Time(2026, 12, 8, 14, 5, 9), 0,                       nullptr,           L"2:05:09 PM"},
      {Time(2026, 12, 8, 14, 5, 9), TIME_NOSECONDS,          nullptr,           L"2:05 PM"},
      {Time(2026, 12, 8, 14, 5, 9), TIME_NOMINUTESORSECONDS, nullptr,           L"2 PM"},
      {Time(2026, 12, 8, 14, 5, 9), TIME_NOTIMEMARKER,       nullptr,           L"2:05:09"},
      {Time(2026, 12, 8, 0, 0, 0),  0,                       nullptr,           L"12:00:00 AM"},
      {Time(2026, 12, 8, 12, 0, 0), 0,                       nullptr,           L"12:00:00 PM"},
      {Time(2026, 12, 8, 8, 56, 13), 0,                      L"hh'h'mm tt",     L"08h56 AM"},
      {Time(2026, 12, 8, 8, 56, 13), TIME_NOSECONDS,         L"h:m:s tt",       L"8:56 AM"},
      {Time(2026, 12, 8, 8, 56, 13), TIME_FORCE24HOURFORMAT, L"tt HH':'mm'@'ss", L"AM 08:56@13"},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.text));
    const int needed = int(std::wcslen(c.text) + 1);
    wchar_t buffer[64];
    SetLastError(kSentinel);
    EXPECT_EQ(GetTimeFormatW(LOCALE_USER_DEFAULT, c.flags, &c.time, c.format, buffer, 64), needed);
    EXPECT_EQ(std::wstring(buffer), c.text);
    EXPECT_EQ(GetTimeFormatW(LOCALE_USER_DEFAULT, c.flags, &c.time, c.format, nullptr, 0), needed);
    SetLastError(kSentinel);
    EXPECT_EQ(GetTimeFormatW(LOCALE_USER_DEFAULT, c.flags, &c.time, c.format, buffer, needed - 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  }
}

TEST(LocaleFormat, GetTimeFormatRefusesBadArguments) {
  TestMachine machine;
  SYSTEMTIME t = Time(2026, 12, 8, 14, 5, 9);
  SYSTEMTIME badHour = Time(2026, 12, 8, 24, 0, 0);
  wchar_t buffer[64];
  // clang-format off
  struct Case {
    DWORD flags;
    const SYSTEMTIME *time;
    const wchar_t *format;
    DWORD error;
  } cases[] = {
      {0x40000000,                              &t,       nullptr,  ERROR_INVALID_FLAGS},
      {LOCALE_NOUSEROVERRIDE,                   &t,       L"h:mm",  ERROR_INVALID_FLAGS},
      {0,                                       &badHour, nullptr,  ERROR_INVALID_PARAMETER},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.flags);
    SetLastError(kSentinel);
    EXPECT_EQ(GetTimeFormatW(LOCALE_USER_DEFAULT, c.flags, c.time, c.format, buffer, 64), 0);
    EXPECT_EQ(GetLastError(), c.error);
  }
}

TEST(LocaleFormat, ShortDatesFollowTheUserLocale) {
  // clang-format off
  struct Case {
    const char *locale;
    const wchar_t *shortDate;
    const wchar_t *time;  // TIME_NOSECONDS
  } cases[] = {
      {"en-US", L"12/8/2026",  L"9:05 AM"},
      {"en-GB", L"08/12/2026", L"09:05"},
      {"de-DE", L"08.12.2026", L"09:05"},
      {"fr-FR", L"08/12/2026", L"09:05"},
      {"ja-JP", L"2026/12/08", L"9:05"},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.locale);
    TestMachine machine(Machine(std::string("user_locale = \"") + c.locale + "\"\n"));
    SYSTEMTIME date = Time(2026, 12, 8, 9, 5, 9);
    wchar_t buffer[64];
    EXPECT_EQ(GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &date, nullptr, buffer, 64),
              int(std::wcslen(c.shortDate) + 1));
    EXPECT_EQ(std::wstring(buffer), c.shortDate);
    // Without a date: today on the machine's clock, which is the same day.
    EXPECT_GT(GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, buffer, 64), 0);
    EXPECT_EQ(std::wstring(buffer), c.shortDate);
    // The system locale follows the user's unless the machine says otherwise.
    EXPECT_GT(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, DATE_SHORTDATE, &date, nullptr, buffer, 64), 0);
    EXPECT_EQ(std::wstring(buffer), c.shortDate);
    EXPECT_GT(GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &date, nullptr, buffer, 64), 0);
    EXPECT_EQ(std::wstring(buffer), c.time);
  }
}

TEST(LocaleFormat, DateFormatPicturesAndErrors) {
  TestMachine machine;
  SYSTEMTIME date = Time(2026, 12, 8);
  wchar_t buffer[64];
  // clang-format off
  struct Case {
    DWORD flags;
    const wchar_t *format;
    const wchar_t *text;  // null: fails with `error`
    DWORD error;
  } cases[] = {
      {DATE_LONGDATE,  nullptr,             L"Tuesday, December 8, 2026", 0},
      {0,              L"yyyy-MM-dd",       L"2026-12-08",                0},
      {0,              L"ddd d MMM yy",     L"Tue 8 Dec 26",              0},
      {0,              L"'day' d",          L"day 8",                     0},
      {DATE_SHORTDATE, L"yyyy",             nullptr, ERROR_INVALID_FLAGS},
      {DATE_SHORTDATE | DATE_LONGDATE, nullptr, nullptr, ERROR_INVALID_FLAGS},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.flags << " " << winsim::ToUtf8(c.format ? c.format : L""));
    SetLastError(kSentinel);
    int n = GetDateFormatW(LOCALE_USER_DEFAULT, c.flags, &date, c.format, buffer, 64);
    if (!c.text) {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(GetLastError(), c.error);
      continue;
    }
    EXPECT_EQ(n, int(std::wcslen(c.text) + 1));
    EXPECT_EQ(std::wstring(buffer), c.text);
  }
  SYSTEMTIME feb30 = Time(2026, 2, 30);
  SetLastError(kSentinel);
  EXPECT_EQ(GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &feb30, nullptr, buffer, 64), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(kSentinel);
  EXPECT_EQ(GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &date, nullptr, buffer, 5), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(LocaleFormat, TheInvariantLocaleHasItsOwnPictures) {
  TestMachine machine(Machine("user_locale = \"de-DE\"\n"));
  SYSTEMTIME t = Time(2026, 12, 8, 9, 5, 9);
  wchar_t buffer[64];
  ASSERT_GT(GetDateFormatW(LOCALE_INVARIANT, DATE_SHORTDATE, &t, nullptr, buffer, 64), 0);
  EXPECT_EQ(std::wstring(buffer), L"12/08/2026");
  ASSERT_GT(GetTimeFormatW(LOCALE_INVARIANT, 0, &t, nullptr, buffer, 64), 0);
  EXPECT_EQ(std::wstring(buffer), L"09:05:09");
}

// ---- code pages -------------------------------------------------------------------------

TEST(CodePages, WideToAnsiInCodePage1252) {
  TestMachine machine(Machine("ansi_code_page = 1252\n"));
  EXPECT_EQ(GetACP(), 1252u);
  // clang-format off
  struct Case {
    const wchar_t *wide;
    const char *bytes;
    BOOL usedDefault;
  } cases[] = {
      {L"caf\u00e9",      "caf\xe9",   FALSE},
      {L"5 \u20ac",        "5 \x80",    FALSE},
      {L"\u201cq\u201d",   "\x93q\x94", FALSE},
      {L"x\u65e5y",        "x?y",       TRUE},   // no such character in 1252
      {L"plain",           "plain",     FALSE},
  };
  // clang-format on
  for (const Case &c : cases) {
    SCOPED_TRACE(c.bytes);
    const int needed = int(std::strlen(c.bytes) + 1);
    char out[32];
    std::memset(out, '#', sizeof out);
    BOOL used = BOOL(kSentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, c.wide, -1, nullptr, 0, nullptr, nullptr), needed);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, c.wide, -1, out, 32, nullptr, &used), needed);
    EXPECT_STREQ(out, c.bytes);
    EXPECT_EQ(used, c.usedDefault);
    // And back.
    wchar_t wide[32];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.bytes, -1, nullptr, 0), needed);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.bytes, -1, wide, 32), needed);
    if (!c.usedDefault) {
      EXPECT_EQ(std::wstring(wide), c.wide);
    }
  }

  // A default character of the caller's.
  char out[8];
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(1252, 0, L"\u65e5", 1, out, 8, "*", &used), 1);
  EXPECT_EQ(out[0], '*');
  EXPECT_TRUE(used);
  // A byte 1252 leaves undefined maps to the code point of the same value.
  wchar_t wide[4];
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "\x81", 1, wide, 4), 1);
  EXPECT_EQ(wide[0], L'\u0081');
}

TEST(CodePages, ShiftJisInCodePage932) {
  TestMachine machine(Machine("ansi_code_page = 932\nuser_locale = \"ja-JP\"\n"));
  EXPECT_EQ(GetACP(), 932u);
  const wchar_t *wide = L"\u65e5\u672c\u8a9e A";
  const char *sjis = "\x93\xfa\x96\x7b\x8c\xea A";
  char out[32];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr), 9);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, out, 32, nullptr, nullptr), 9);
  EXPECT_STREQ(out, sjis);
  // Without the terminator when the length is given.
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 3, out, 32, nullptr, nullptr), 6);
  wchar_t back[32];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, sjis, -1, nullptr, 0), 6);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, sjis, -1, back, 32), 6);
  EXPECT_EQ(std::wstring(back), wide);
}

TEST(CodePages, Utf8) {
  TestMachine machine;
  const wchar_t *wide = L"\u00e9\u20ac\u65e5";
  const char *utf8 = "\xc3\xa9\xe2\x82\xac\xe6\x97\xa5";
  char out[32];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr), 9);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, 32, nullptr, nullptr), 9);
  EXPECT_STREQ(out, utf8);
  wchar_t back[32];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, back, 32), 4);
  EXPECT_EQ(std::wstring(back), wide);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, 2, back, 32), 1);  // only é

  // An invalid sequence becomes U+FFFD, or fails when the caller asks.
  const char invalid[] = {'a', '\xff', 'b'};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, invalid, 3, back, 32), 3);
  EXPECT_EQ(back[1], L'\ufffd');
  SetLastError(kSentinel);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, invalid, 3, back, 32), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);

  // clang-format off
  struct Case {
    const char *what;
    DWORD flags;
    bool usedDefault;
    DWORD error;
  } refusals[] = {
      {"a used-default flag", 0,                    true,  ERROR_INVALID_PARAMETER},
      {"best-fit flag",       WC_NO_BEST_FIT_CHARS, false, ERROR_INVALID_FLAGS},
  };
  // clang-format on
  for (const Case &c : refusals) {
    SCOPED_TRACE(c.what);
    BOOL used;
    SetLastError(kSentinel);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, c.flags, wide, -1, out, 32, nullptr, c.usedDefault ? &used : nullptr), 0);
    EXPECT_EQ(GetLastError(), c.error);
  }
  SetLastError(kSentinel);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, utf8, -1, back, 32), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

TEST(CodePages, SizesAndBuffers) {
  TestMachine machine;
  char out[4];
  wchar_t wide[4];
  // clang-format off
  struct Case {
    const char *what;
    std::function<int()> call;
    DWORD error;
  } cases[] = {
      {"narrow buffer too small",
       [&] { return WideCharToMultiByte(CP_ACP, 0, L"abcdef", -1, out, 4, nullptr, nullptr); },
       ERROR_INSUFFICIENT_BUFFER},
      {"wide buffer too small", [&] { return MultiByteToWideChar(CP_ACP, 0, "abcdef", -1, wide, 4); },
       ERROR_INSUFFICIENT_BUFFER},
      {"no characters", [&] { return WideCharToMultiByte(CP_ACP, 0, L"abc", 0, out, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"no bytes", [&] { return MultiByteToWideChar(CP_ACP, 0, "abc", 0, wide, 4); }, ERROR_INVALID_PARAMETER},
      {"negative size", [&] { return MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, -1); },
       ERROR_INVALID_PARAMETER},
      {"same buffer both ways",
       [&] { return WideCharToMultiByte(CP_ACP, 0, wide, 1, reinterpret_cast<char *>(wide), 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
  };
  // clang-format on
  wide[0] = L'a';
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(kSentinel);
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(GetLastError(), c.error);
  }
}
