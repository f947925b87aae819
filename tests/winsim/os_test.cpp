// The operating system and locale the machine reports: GetVersionExW from [os] and
// GetLocaleInfoW from the user's and the system's locale.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "testmachine.h"

namespace {
constexpr DWORD kSentinel = 0xdeadbeef;

TEST(GetVersionEx, BasicAndExtendedRecordsFromTheMachine) {
  const struct {
    std::string toml;
    DWORD major, minor, build, platform;
    std::wstring csd;
    WORD spMajor, spMinor, suite;
    BYTE productType;
  } cases[] = {
      {"", 10, 0, 17763, VER_PLATFORM_WIN32_NT, L"", 0, 0, 0x0110, VER_NT_SERVER},
      {"[os]\nmajor = 6\nminor = 1\nbuild = 7601\ncsd_version = \"Service Pack 1\"\nsp_major = 1\n"
       "suite_mask = 0x0300\nproduct_type = \"workstation\"\n",
       6, 1, 7601, VER_PLATFORM_WIN32_NT, L"Service Pack 1", 1, 0, 0x0300, VER_NT_WORKSTATION},
      {"[os]\nmajor = 5\nsp_minor = 1\nproduct_type = \"domain_controller\"\nplatform_id = 1\n", 5, 0, 17763,
       VER_PLATFORM_WIN32_WINDOWS, L"", 0, 1, 0x0110, VER_NT_DOMAIN_CONTROLLER},
      {"[os]\ncsd_version = \"" + std::string(200, 's') + "\"\n", 10, 0, 17763, VER_PLATFORM_WIN32_NT,
       std::wstring(127, L's'), 0, 0, 0x0110, VER_NT_SERVER},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.toml);
    TestMachine machine(c.toml);
    for (DWORD size : {DWORD(sizeof(OSVERSIONINFOW)), DWORD(sizeof(OSVERSIONINFOEXW))}) {
      OSVERSIONINFOEXW ex;
      std::memset(&ex, 0xAB, sizeof ex);
      ex.dwOSVersionInfoSize = size;
      ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW *>(&ex)));
      EXPECT_EQ(ex.dwOSVersionInfoSize, size);
      EXPECT_EQ(ex.dwMajorVersion, c.major);
      EXPECT_EQ(ex.dwMinorVersion, c.minor);
      EXPECT_EQ(ex.dwBuildNumber, c.build);
      EXPECT_EQ(ex.dwPlatformId, c.platform);
      EXPECT_EQ(std::wstring(ex.szCSDVersion), c.csd);
      bool extended = size == sizeof(OSVERSIONINFOEXW);  // the basic record leaves the rest alone
      EXPECT_EQ(ex.wServicePackMajor, extended ? c.spMajor : 0xABAB);
      EXPECT_EQ(ex.wServicePackMinor, extended ? c.spMinor : 0xABAB);
      EXPECT_EQ(ex.wSuiteMask, extended ? c.suite : 0xABAB);
      EXPECT_EQ(ex.wProductType, extended ? c.productType : 0xAB);
    }
  }
}

TEST(GetVersionEx, OtherRecordSizesAndInjectedFaultsFail) {
  TestMachine machine("[[faults]]\nfunction = \"GetVersionExW\"\nnth = 6\nerror = 5\n");
  for (DWORD size : {DWORD(0), DWORD(sizeof(OSVERSIONINFOW) - 1), DWORD(sizeof(OSVERSIONINFOW) + 1),
                     DWORD(sizeof(OSVERSIONINFOEXW) + 1), DWORD(4096)}) {
    OSVERSIONINFOEXW ex;
    std::memset(&ex, 0xAB, sizeof ex);
    ex.dwOSVersionInfoSize = size;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW *>(&ex))) << size;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER)) << size;
    EXPECT_EQ(ex.dwMajorVersion, 0xABABABABu) << size;
  }
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  EXPECT_FALSE(GetVersionExW(&info));  // the sixth call
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_TRUE(GetVersionExW(&info));
}

TEST(GetLocaleInfo, TextsAndNumbersOfTheUsersAndTheSystemsLocale) {
  const std::string mixed = "[machine]\nuser_locale = \"ja-JP\"\nsystem_locale = \"en-US\"\n";
  const struct {
    std::string toml;
    LCID locale;
    LCTYPE type;
    std::wstring text;
  } cases[] = {
      {"", LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, L"1252"},
      {"", LOCALE_USER_DEFAULT, LOCALE_SNAME, L"en-US"},
      {mixed, LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, L"932"},
      {mixed, LOCALE_USER_DEFAULT, LOCALE_SNAME | LOCALE_NOUSEROVERRIDE, L"ja-JP"},
      {mixed, LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, L"1252"},
      {mixed, LOCALE_SYSTEM_DEFAULT, LOCALE_SNAME, L"en-US"},
  };
  const int dwordChars = int(sizeof(DWORD) / sizeof(WCHAR));  // 2 where WCHAR has 16 bits
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.toml << c.locale << " " << c.type);
    TestMachine machine(c.toml);
    const int needed = int(c.text.size() + 1);
    EXPECT_EQ(GetLocaleInfoW(c.locale, c.type, nullptr, 0), needed);
    wchar_t buffer[32];
    std::wmemset(buffer, L'#', 32);
    EXPECT_EQ(GetLocaleInfoW(c.locale, c.type, buffer, needed), needed);
    EXPECT_EQ(std::wstring(buffer), c.text);
    SetLastError(kSentinel);
    EXPECT_EQ(GetLocaleInfoW(c.locale, c.type, buffer, needed - 1), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    const LCTYPE number = c.type | LOCALE_RETURN_NUMBER;
    if (c.type != LOCALE_IDEFAULTANSICODEPAGE) {
      SetLastError(kSentinel);
      EXPECT_EQ(GetLocaleInfoW(c.locale, number, buffer, 32), 0);  // a text type has no number
      EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FLAGS));
      continue;
    }
    EXPECT_EQ(GetLocaleInfoW(c.locale, number, nullptr, 0), dwordChars);
    DWORD value = kSentinel;
    EXPECT_EQ(GetLocaleInfoW(c.locale, number, reinterpret_cast<LPWSTR>(&value), dwordChars), dwordChars);
    EXPECT_EQ(std::to_wstring(value), c.text);
  }
  TestMachine machine;
  wchar_t buffer[8];
  for (auto [data, count] : {std::pair<LPWSTR, int>{buffer, -1}, {nullptr, 8}}) {
    SetLastError(kSentinel);
    EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SNAME, data, count), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  }
}
}  // namespace
