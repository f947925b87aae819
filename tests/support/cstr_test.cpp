#include "support/cstr.h"

#include <gtest/gtest.h>

TEST(CStr, CompareNoCaseFoldsOnlyAsciiLettersAndMissingTextIsUnequal) {
  struct {
    const wchar_t *a;
    const wchar_t *b;
    bool equal;
  } const cases[] = {
      {L"PCI\\VEN_8086", L"pci\\ven_8086", true},
      {L"abc", L"abd", false},
      {L"abc", L"ab", false},
      {L"", L"", true},
      {L"\u00e9", L"\u00c9", false},
      {L"x", nullptr, false},
  };
  for (auto &c : cases) EXPECT_EQ(CStr(c.a).CompareNoCase(c.b) == 0, c.equal) << CStr(c.a).GetString();
}

TEST(CStr, FindNoCaseMidAndTrim) {
  CStr s(L"  Hello World \t\r\n");
  EXPECT_EQ(s.FindNoCase(L"WORLD"), 8);
  EXPECT_EQ(s.FindNoCase(L"planet"), -1);
  EXPECT_EQ(s.FindNoCase(nullptr), -1);
  s.TrimLeft();
  s.TrimRight();
  EXPECT_EQ(s, CStr(L"Hello World"));
  EXPECT_EQ(s.Mid(6), CStr(L"World"));
  EXPECT_EQ(s.Mid(6, 2), CStr(L"Wo"));
  EXPECT_TRUE(s.Mid(50).IsEmpty());
  s.MakeUpper();
  EXPECT_EQ(s, CStr(L"HELLO WORLD"));
  s.MakeLower();
  EXPECT_EQ(s, CStr(L"hello world"));
}

TEST(CStr, GetBufferAndReleaseBufferTakeTheTextBackToItsNul) {
  CStr s;
  wchar_t *buffer = s.GetBuffer(260);
  wcscpy(buffer, L"C:\\Windows");
  s.ReleaseBuffer();
  EXPECT_EQ(s.GetLength(), 10);
  buffer = s.GetBuffer(260);
  s.ReleaseBuffer(2);
  EXPECT_EQ(s, CStr(L"C:"));
}

TEST(CStr, CopyTextCutsAndTerminates) {
  wchar_t buffer[5];
  wmemset(buffer, L'#', 5);
  EXPECT_FALSE(CopyText(buffer, 4, L"abcdef"));
  EXPECT_STREQ(buffer, L"abc");
  EXPECT_EQ(buffer[4], L'#');
  EXPECT_TRUE(CopyText(buffer, 5, L"abcd"));
  EXPECT_STREQ(buffer, L"abcd");
  EXPECT_FALSE(CopyText(buffer, 0, L"x"));
  EXPECT_TRUE(CopyText(buffer, 5, nullptr));
  EXPECT_STREQ(buffer, L"");
}
