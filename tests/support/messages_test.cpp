#include "support/messages.h"

#include <gtest/gtest.h>

TEST(Messages, LanguageIndexMatchesWholeCodesWithoutRegardToCase) {
  struct {
    const wchar_t *code;
    int index;
  } const cases[] = {
      {L"en", 0}, {L"fr", 1}, {L"FR", 1}, {L"it", 2},    {L"De", 3}, {L"es", 4},   {L"ja", 5},
      {L"JA", 5}, {L"", 0},   {L"pt", 0}, {L"fr-FR", 0}, {L"f", 0},  {nullptr, 0},
  };
  for (auto &c : cases) EXPECT_EQ(LanguageIndex(c.code), c.index) << (c.code ? c.code : L"(null)");
}

TEST(Messages, DirectLookupGivesTheLanguageAndFallbackOnlyJapanese) {
  EXPECT_STREQ(LookupMessage(MSG_OS_NOT_SUPPORTED, L"FR"), L"Le système d'exploitation n'est pas pris en charge\r\n");
  EXPECT_STREQ(LookupMessage(MSG_OS_NOT_SUPPORTED, L"de"), L"Das Betriebssystem wird nicht unterstützt\r\n");
  EXPECT_STREQ(LookupMessageWithFallback(MSG_INSTALL_ERROR, L"fr"), L"An error occurred during installation.");
  EXPECT_STREQ(LookupMessageWithFallback(MSG_INSTALL_ERROR, L"ja"), L"インストール中にエラーが発生しました。");
  EXPECT_STREQ(LookupMessage(MSG_INSTALL_ERROR, L"ja"), L"インストール中にエラーが発生しました。");
  EXPECT_STREQ(LookupMessage(MSG_NO_DEVICES_FOUND, L"pt"), L"No devices were found to install.");
  EXPECT_STREQ(LookupMessage(MSG_NO_DEVICES_FOUND, nullptr), L"No devices were found to install.");
}

TEST(Messages, ShellExecuteMessageIsEnglishWhateverTheCode) {
  for (const wchar_t *code : {L"en", L"fr", L"it", L"de", L"es", L"ja"}) {
    EXPECT_STREQ(LookupMessage(MSG_SHELLEXECUTE_FAILED, code), L"An error occurred during the ShellExecute command.");
    EXPECT_STREQ(LookupMessageWithFallback(MSG_SHELLEXECUTE_FAILED, code),
                 L"An error occurred during the ShellExecute command.");
  }
}

TEST(Messages, PreInstallMessagesEndWithCrLfInEveryLanguageAndTheOthersDoNot) {
  auto endsWithCrLf = [](const wchar_t *s) {
    size_t n = wcslen(s);
    return n >= 2 && s[n - 2] == L'\r' && s[n - 1] == L'\n';
  };
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(endsWithCrLf(MSG_OS_NOT_SUPPORTED[i]));
    EXPECT_TRUE(endsWithCrLf(MSG_NOT_ENOUGH_DISK_SPACE[i]));
    EXPECT_TRUE(endsWithCrLf(MSG_MARKED_FOR_REMOVAL[i]));
    for (auto *table : {&MSG_UNKNOWN_INF_TYPE, &MSG_NO_SUPPORTED_DEVICES, &MSG_INSTALL_ERROR, &MSG_NO_DEVICES_FOUND,
                        &MSG_DEVICE_INSTALL_FAILED, &MSG_SHELLEXECUTE_FAILED})
      EXPECT_FALSE(endsWithCrLf((*table)[i]));
  }
}

TEST(Messages, ItalianIsEnglishButForTheDeviceInstallFailure) {
  for (auto *table : {&MSG_UNKNOWN_INF_TYPE, &MSG_OS_NOT_SUPPORTED, &MSG_NOT_ENOUGH_DISK_SPACE, &MSG_MARKED_FOR_REMOVAL,
                      &MSG_NO_SUPPORTED_DEVICES, &MSG_INSTALL_ERROR, &MSG_NO_DEVICES_FOUND})
    EXPECT_STREQ((*table)[2], (*table)[0]);
  EXPECT_STRNE(MSG_DEVICE_INSTALL_FAILED[2], MSG_DEVICE_INSTALL_FAILED[0]);
  // Two blanks after the first sentence.
  EXPECT_NE(std::wstring(MSG_DEVICE_INSTALL_FAILED[0]).find(L"device.  One"), std::wstring::npos);
  EXPECT_NE(std::wstring(MSG_MARKED_FOR_REMOVAL[0]).find(L"reboot.  Install"), std::wstring::npos);
}
