#include <gtest/gtest.h>

#include "framework/basecomp.h"

TEST(CommandLineSwitch, FoundAnywhereWithoutRegardToCase) {
  struct {
    const wchar_t *commandLine;
    const wchar_t *sw;
    bool found;
  } const cases[] = {
      {L"setup.exe /verbose_log", L"/verbose_log", true},
      {L"setup.exe /VERBOSE_LOG", L"/verbose_log", true},
      {L"setup.exe /No_Overwrite /x", L"/no_overwrite", true},
      {L"setup.exe /xno_overwritey", L"/no_overwrite", false},
      {L"setup.exe /no_overwritey", L"/no_overwrite", true},  // inside a longer word
      {L"setup.exe /verbose", L"/verbose_log", false},
      {L"setup.exe", L"", false},
      {L"", L"/consoleout", false},
      {nullptr, L"/consoleout", false},
      {L"/consoleout", nullptr, false},
  };
  for (auto &c : cases)
    EXPECT_EQ(HasCommandLineSwitch(c.commandLine, c.sw), c.found)
        << (c.commandLine ? c.commandLine : L"(null)") << " / " << (c.sw ? c.sw : L"(null)");
}

TEST(PropertyText, CopiedOnlyWhenItFitsWithItsTerminator) {
  WCHAR buffer[8];
  wmemset(buffer, L'#', 8);
  EXPECT_EQ(CopyPropertyText(L"1.2.3", buffer, 5, false), 0);  // as long as the capacity
  EXPECT_EQ(buffer[0], L'#');
  EXPECT_EQ(CopyPropertyText(L"1.2.3", buffer, 6, false), 1);
  EXPECT_STREQ(buffer, L"1.2.3");
  EXPECT_EQ(CopyPropertyText(L"", buffer, 8, false), 0);
  EXPECT_EQ(CopyPropertyText(L"", buffer, 8, true), 1);
  EXPECT_EQ(CopyPropertyText(nullptr, buffer, 8, true), 0);
  EXPECT_EQ(CopyPropertyText(L"x", nullptr, 8, true), 0);
}
