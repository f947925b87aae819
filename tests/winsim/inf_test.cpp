// INF files in winsim: opening (the style check, the syntax errors and their lines, bad
// input), section and key lookup, fields with their quoting, continuation, comments and
// string substitution with the strings section of the system's language, DIRID 13 in the
// driver store, integer fields, two-call sizing, encodings, the profile listing of section
// names, and the handle rules. Many cases are the published conformance results of
// SetupAPI's parser.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>
#include <winsim.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "testmachine.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
const std::wstring kInf = L"C:\\pkg\\test.inf";
const std::string kHeader = "[Version]\r\nSignature=\"$CHICAGO$\"\r\n";
const std::string kStrings =
    "[Strings]\nfoo=aaa\nbar=bbb\nloop=%loop2%\nloop2=%loop%\nper%%cent=abcd\nper=1\ncent=2\n22=foo\n"
    "mydrive=\"C:\\\"\n";

std::string Repeat(char c, size_t n) { return std::string(n, c); }
// A literal's bytes, NULs included.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

struct Opened {
  HINF inf;
  DWORD error;
  UINT line;
};

Opened Open(TestMachine &m, const std::string &content, DWORD style = INF_STYLE_WIN4) {
  m.Write(kInf, content);
  UINT line = kSentinel;
  SetLastError(kSentinel);
  HINF h = SetupOpenInfFileW(kInf.c_str(), nullptr, style, &line);
  return {h, GetLastError(), line};
}

std::optional<std::wstring> Field(INFCONTEXT &ctx, DWORD index) {
  wchar_t buf[MAX_INF_STRING_LENGTH + 32];
  if (!SetupGetStringFieldW(&ctx, index, buf, MAX_INF_STRING_LENGTH + 32, nullptr)) return std::nullopt;
  return std::wstring(buf);
}

// Field 1 of the `key` line of `section` in an INF of `content`; "?" when it cannot be read.
std::wstring FirstFieldOf(TestMachine &m, const std::string &content, const wchar_t *section, const wchar_t *key) {
  Opened o = Open(m, content);
  EXPECT_NE(o.inf, INVALID_HANDLE_VALUE) << o.error;
  if (o.inf == INVALID_HANDLE_VALUE) return L"?";
  INFCONTEXT ctx;
  std::wstring text = SetupFindFirstLineW(o.inf, section, key, &ctx) ? Field(ctx, 1).value_or(L"?") : L"?";
  SetupCloseInfFile(o.inf);
  return text;
}

TEST(InfOpen, ReportsTheStyleAndSyntaxErrorsWithTheirLine) {
  TestMachine m;
  struct Case {
    std::string content;
    DWORD error;
    UINT line;
  } cases[] = {
      {"\r\n", ERROR_WRONG_INF_STYLE, 0},
      {"abcd\r\n", ERROR_WRONG_INF_STYLE, 0},  // no section at all
      {"[Version]\r\n", ERROR_WRONG_INF_STYLE, 0},
      {"[Version]\nSignature=", ERROR_WRONG_INF_STYLE, 0},
      {"[Version]\nSignature=foo", ERROR_WRONG_INF_STYLE, 0},
      {"[version]\nsignature=$chicago$", 0, 0},
      {"[VERSION]\nSIGNATURE=$Windows NT$", 0, 0},
      {"[Version]\nSignature=$chicago$,abcd", 0, 0},
      {"[Version]\nabc=def\n[Version]\nSignature=$chicago$", 0, 0},
      {kHeader + "[]\r\n", 0, 0},
      {kHeader + "]\r\n", 0, 0},
      {kHeader + "[" + Repeat('a', 255) + "]\r\n", 0, 0},
      {kHeader + "[ab\r\n", ERROR_BAD_SECTION_NAME_LINE, 3},
      {kHeader + "\n\n[ab\x1a]\n", ERROR_BAD_SECTION_NAME_LINE, 5},
      {kHeader + "[" + Repeat('a', 256) + "]\r\n", ERROR_SECTION_NAME_TOO_LONG, 3},
      {"[abc]\n" + kHeader, 0, 0},
      {"abc\r\n" + kHeader, ERROR_EXPECTED_SECTION_NAME, 1},
      {";\n;\nab\nab\n" + kHeader, ERROR_EXPECTED_SECTION_NAME, 3},
      {";aa\n;bb\n" + kHeader, 0, 0},
      {kHeader + Bytes(" [Test\0Section]\n"), 0, 0},
      {"garbage1\ngarbage2\n[abc]\n" + kHeader, ERROR_EXPECTED_SECTION_NAME, 1},
      {"garbage1\ngarbage2\n[Strings]\n" + kHeader, 0, 0},
      {" \t\ngarbage1\ngarbage2\n" + kHeader + "[abc]\n", ERROR_EXPECTED_SECTION_NAME, 2},
      {";comment\ngarbage1\ngarbage2\n" + kHeader + "[Strings]\n", 0, 0},
      // Bad input: empty, a BOM alone, binary, a quote open at the end, over-long fields (cut
      // when read: InfLines below).
      {"", ERROR_FILE_INVALID, kSentinel},  // refused before reading: no error line
      {"\xFF\xFE", ERROR_WRONG_INF_STYLE, 0},
      {"\xEF\xBB\xBF", ERROR_WRONG_INF_STYLE, 0},
      {Bytes("\x7F"
             "ELF\x02\x01\x01\0\0\0\x03\0>\0\x01\0\0\0\x90\x10"),
       ERROR_WRONG_INF_STYLE, 0},
      {kHeader + "[s]\na=\"unterminated", 0, 0},
      {kHeader + "[s]\na=" + Repeat('x', MAX_INF_STRING_LENGTH), 0, 0},
      {kHeader + "[s]\na=" + Repeat('x', 100000), 0, 0},
      {kHeader + "[s]\n" + Repeat('k', MAX_INF_STRING_LENGTH + 1) + "=v", 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.content.substr(0, 80));
    Opened o = Open(m, c.content);
    if (c.error) {
      EXPECT_EQ(o.inf, INVALID_HANDLE_VALUE);
      EXPECT_EQ(o.error, c.error);
      EXPECT_EQ(o.line, c.line);
    } else {
      EXPECT_NE(o.inf, INVALID_HANDLE_VALUE);
      EXPECT_EQ(o.error, 0u);
      SetupCloseInfFile(o.inf);
    }
  }
}

TEST(InfOpen, FindsTheFileAndChecksStyleAndClass) {
  TestMachine m;
  const std::string inf = kHeader + "Class=Net\n";
  m.Write(L"C:\\Windows\\INF\\oem7.inf", inf);
  m.Write(L"C:\\Windows\\System32\\sys.inf", inf);
  m.Write(kInf, inf);
  m.SetProcess(L"C:\\host.exe", L"host.exe", L"C:\\pkg");
  struct Case {
    const wchar_t *name;
    const wchar_t *cls;
    DWORD style;
    DWORD error;
  } cases[] = {
      {L"oem7.inf", nullptr, INF_STYLE_WIN4, 0},  // a bare name: %windir%\INF, then System32
      {L"sys.inf", nullptr, INF_STYLE_WIN4, 0},
      {L"test.inf", nullptr, INF_STYLE_WIN4, ERROR_FILE_NOT_FOUND},  // not the current folder
      {L".\\test.inf", nullptr, INF_STYLE_WIN4, 0},
      {L"C:\\pkg\\missing.inf", nullptr, INF_STYLE_WIN4, ERROR_FILE_NOT_FOUND},
      {L"C:\\nowhere\\x.inf", nullptr, INF_STYLE_WIN4, ERROR_PATH_NOT_FOUND},
      {L"C:\\pkg\\TEST.INF", L"net", INF_STYLE_WIN4 | INF_STYLE_OLDNT, 0},
      {L"C:\\pkg\\test.inf", L"Display", INF_STYLE_WIN4, ERROR_CLASS_MISMATCH},
      {L"C:\\pkg\\test.inf", nullptr, INF_STYLE_OLDNT, ERROR_WRONG_INF_STYLE},
      {L"", nullptr, INF_STYLE_WIN4, ERROR_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name));
    SetLastError(kSentinel);
    HINF h = SetupOpenInfFileW(c.name, c.cls, c.style, nullptr);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(h == INVALID_HANDLE_VALUE, c.error != 0);
    SetupCloseInfFile(h);
  }
}

TEST(InfSections, AreFoundWithoutRegardToCaseAndMerged) {
  TestMachine m;
  struct Case {
    std::string content;
    const wchar_t *section;
    LONG lines;  // -1: not found
  } cases[] = {
      {kHeader + "[TestSection]", L"TestSection", 0},
      {kHeader + "[TESTSECTION]\r\na=1\r\n", L"testsection", 1},
      {kHeader + ";[TestSection]\n", L"TestSection", -1},
      {kHeader + "[TestSection]\n", L"Bad name", -1},
      {kHeader + "   [TestSection]   dummy\r\n", L"TestSection", 0},
      {kHeader + " [  Test Section  ] dummy\r\n", L"  Test Section  ", 0},
      {kHeader + "[TestSection] \032\ndummy", L"TestSection", 0},
      {kHeader + "[Test[S]ection]\r\n", L"Test[S", 0},
      {kHeader + "[[[]\n", L"[[", 0},
      {kHeader + "[Test;Section]\r\n", L"Test;Section", 0},
      {kHeader + " [Test\r\b\tSection] \n", L"Test\r\b\tSection", 0},
      {kHeader + "[s]\na\n[t]\nb\n[S]\nc\nd\n", L"s", 3},
      {kHeader + "[Sectionname]\nKeyname1=Field1,Field2\n\nKeyname2=Field4\n", L"Sectionname", 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.content);
    Opened o = Open(m, c.content);
    ASSERT_NE(o.inf, INVALID_HANDLE_VALUE);
    SetLastError(kSentinel);
    EXPECT_EQ(SetupGetLineCountW(o.inf, c.section), c.lines);
    EXPECT_EQ(GetLastError(), c.lines < 0 ? ERROR_SECTION_NOT_FOUND : 0u);
    SetupCloseInfFile(o.inf);
  }
}

TEST(InfLines, ReadKeysAndFieldsAsSetupApiDoes) {
  TestMachine m;
  const std::string a400 = Repeat('a', 400);
  const std::string bigStrings = kStrings + "big=" + a400 + "\n";
  std::string eleven;
  for (int i = 0; i < 11; ++i) eleven += "%big%";
  const std::string longest = Repeat('k', MAX_INF_STRING_LENGTH);
  struct Case {
    std::string data;
    const char *key;  // null: the line has no key
    std::vector<std::string> fields;
  } cases[] = {
      {"ab=cd", "ab", {"cd"}},
      {"ab=cd,ef,gh,ij", "ab", {"cd", "ef", "gh", "ij"}},
      {"ab", "ab", {"ab"}},
      {"ab,cd", nullptr, {"ab", "cd"}},
      {"ab,cd=ef", nullptr, {"ab", "cd=ef"}},
      {"=abcd,ef", "", {"abcd", "ef"}},
      // continuation and backslashes
      {"ba\\\ncd=ef", "bacd", {"ef"}},
      {"ab  \\  \ncd=ef", "abcd", {"ef"}},
      {"ab\\\ncd,ef", nullptr, {"abcd", "ef"}},
      {"ab  \\ ;cc\ncd=ef", "abcd", {"ef"}},
      {"ab \\ \\ \ncd=ef", "abcd", {"ef"}},
      {"ba \\ dc=xx", "ba \\ dc", {"xx"}},
      {"ba \\\\ \nc=d", "bac", {"d"}},
      {"a=b\\\\c", "a", {"b\\\\c"}},
      {"ab=cd \\ ", "ab", {"cd"}},
      {"ba=c \\ \n \\ \n a", "ba", {"ca"}},
      {"ba=c \\ \n \\ a", "ba", {"c\\ a"}},
      {"  \\ a= \\ b", "\\ a", {"\\ b"}},
      // quotes
      {"Ab\"Cd\"=Ef", "AbCd", {"Ef"}},
      {"Ab\"Cd=Ef\"", "AbCd=Ef", {"AbCd=Ef"}},
      {"ab\"\"\"cd,ef=gh\"", "ab\"cd,ef=gh", {"ab\"cd,ef=gh"}},
      {"ab\"\"cd=ef,gh", "abcd", {"ef", "gh"}},
      {"ab=cd\"\"ef", "ab", {"cdef"}},
      {"ab=cd\",\"ef", "ab", {"cd,ef"}},
      {"ab=cd\",ef\\\nab", "ab", {"cd,ef\\"}},
      {"HKLM,A,B,'C',D", nullptr, {"HKLM", "A", "B", "'C'", "D"}},
      // blanks and empty fields
      {" a b = c , d \n", "a b", {"c", "d"}},
      {" a b = c ,\" d\" \n", "a b", {"c", " d"}},
      {" a b\r = c\r\n", "a b", {"c"}},
      {"a=b,,,c,,,d", "a", {"b", "", "", "c", "", "", "d"}},
      {"a=b,\"\",c,\" \",d", "a", {"b", "", "c", " ", "d"}},
      {",=,,b", nullptr, {"", "=", "", "b"}},
      {"a=\n", "a", {""}},
      {"=", "", {""}},
      // end of file and NUL characters
      {"ab=c\032d", "ab", {"c"}},
      {"ab\032=cd", "ab", {"ab"}},
      {Bytes("abcd=ef\0gh"), "abcd", {"ef gh"}},
      {Bytes("foo=%bar%\n[Strings]\nbar=aaa\0bbb \0\n"), "foo", {"aaa bbb"}},
      // a repeated section continues the first
      {"[Test2]\nab\n[Test]\nee=ff\n", "ee", {"ff"}},
      // string substitution, one level deep; unknown names stay
      {"%foo%=%bar%\n" + kStrings, "aaa", {"bbb"}},
      {"%foo%xx=%bar%yy\n" + kStrings, "aaaxx", {"bbbyy"}},
      {"%% %foo%=%bar%\n" + kStrings, "% aaa", {"bbb"}},
      {"%f\"o\"o%=ccc\n" + kStrings, "aaa", {"ccc"}},
      {"abc=%bar;bla%\n" + kStrings, "abc", {"%bar"}},
      {"loop=%loop%\n" + kStrings, "loop", {"%loop2%"}},
      {"%per%%cent%=100\n" + kStrings, "12", {"100"}},
      {"a=%undefined%,%\n" + kStrings, "a", {"%undefined%", "%"}},
      {"a=%big%%big%%big%%big%\n" + bigStrings, "a", {a400 + a400 + a400 + a400}},
      {"a=" + eleven + "\n" + bigStrings, "a", {Repeat('a', MAX_INF_STRING_LENGTH)}},
      // fields and keys longer than MAX_INF_STRING_LENGTH in the file are cut there
      {"a=" + Repeat('x', 100000) + ",y", "a", {Repeat('x', MAX_INF_STRING_LENGTH), "y"}},
      {longest + "kk=v", longest.c_str(), {"v"}},
      // DIRIDs: a folder ending in a backslash absorbs the next one, strings do not
      {"ab=\"%24%\"\n" + kStrings, "ab", {"C:\\"}},
      {"ab=\"%24%\\fred\"\n" + kStrings, "ab", {"C:\\fred"}},
      {"ab=\"%mydrive%\\fred\"\n" + kStrings, "ab", {"C:\\\\fred"}},
      {"ab=%11%\\drivers", "ab", {"C:\\Windows\\System32\\drivers"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.data.substr(0, 80));
    Opened o = Open(m, kHeader + "[Test]\n" + c.data);
    ASSERT_NE(o.inf, INVALID_HANDLE_VALUE) << o.error;
    INFCONTEXT ctx;
    if (c.key) {
      EXPECT_TRUE(SetupFindFirstLineW(o.inf, L"Test", winsim::FromUtf8(c.key).c_str(), &ctx));
    }
    ASSERT_TRUE(SetupFindFirstLineW(o.inf, L"test", nullptr, &ctx));
    std::optional<std::wstring> key = Field(ctx, 0);
    EXPECT_EQ(key.has_value(), c.key != nullptr);
    if (key && c.key) {
      EXPECT_EQ(winsim::ToUtf8(*key), c.key);
    }
    std::string text;
    for (size_t i = 0; i < c.fields.size(); ++i) {
      std::optional<std::wstring> f = Field(ctx, DWORD(i + 1));
      ASSERT_TRUE(f.has_value()) << i;
      EXPECT_EQ(winsim::ToUtf8(*f), c.fields[i]) << i;
      text += (i ? "," : "") + c.fields[i];
    }
    EXPECT_FALSE(Field(ctx, DWORD(c.fields.size() + 1)).has_value());
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetupGetFieldCount(&ctx), c.fields.size());
    std::vector<wchar_t> buf(MAX_INF_STRING_LENGTH * 4);
    ASSERT_TRUE(SetupGetLineTextW(&ctx, nullptr, nullptr, nullptr, buf.data(), DWORD(buf.size()), nullptr));
    EXPECT_EQ(winsim::ToUtf8(buf.data()), text);
    SetupCloseInfFile(o.inf);
  }
  // A key is matched after substitution, never as written.
  Opened o = Open(m, kHeader + "[Test]\n%foo%=1\n" + kStrings);
  INFCONTEXT ctx;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupFindFirstLineW(o.inf, L"Test", L"%foo%", &ctx));
  EXPECT_EQ(GetLastError(), ERROR_LINE_NOT_FOUND);
  SetupCloseInfFile(o.inf);
}

TEST(InfLines, FindAndWalkReportTheirErrors) {
  TestMachine m;
  Opened o = Open(m, kHeader +
                         "[Sectionname]\nKeyname1=Field1,Field2,Field3\n\nKeyname2=Field4,Field5\n"
                         "keyname1=again\n");
  ASSERT_NE(o.inf, INVALID_HANDLE_VALUE);
  INFCONTEXT ctx, next;
  wchar_t buf[64];
  DWORD size = kSentinel;
  struct Case {
    const char *what;
    std::function<bool()> call;
    DWORD error;
  } cases[] = {
      {"missing section", [&] { return SetupFindFirstLineW(o.inf, L"ImNotThere", nullptr, &ctx); },
       ERROR_LINE_NOT_FOUND},
      {"missing key", [&] { return SetupFindFirstLineW(o.inf, L"Sectionname", L"ImNotThere", &ctx); },
       ERROR_LINE_NOT_FOUND},
      {"first line", [&] { return SetupFindFirstLineW(o.inf, L"SECTIONNAME", nullptr, &ctx); }, 0},
      {"first key", [&] { return SetupFindFirstLineW(o.inf, L"Sectionname", L"KEYNAME1", &ctx); }, 0},
      {"next match missing", [&] { return SetupFindNextMatchLineW(&ctx, L"ImNotThere", &next); }, ERROR_LINE_NOT_FOUND},
      {"next match", [&] { return SetupFindNextMatchLineW(&ctx, L"Keyname1", &next); }, 0},
      {"after last", [&] { return SetupFindNextLine(&next, &next); }, ERROR_LINE_NOT_FOUND},
      {"text of a missing section",
       [&] { return SetupGetLineTextW(nullptr, o.inf, L"ImNotThere", L"ImNotThere", buf, 64, &size); },
       ERROR_LINE_NOT_FOUND},
      {"text of a missing key",
       [&] { return SetupGetLineTextW(nullptr, o.inf, L"Sectionname", L"ImNotThere", buf, 64, &size); },
       ERROR_LINE_NOT_FOUND},
      {"text by key", [&] { return SetupGetLineTextW(nullptr, o.inf, L"Sectionname", L"Keyname2", buf, 64, &size); },
       0},
      {"line count of a missing section", [&] { return SetupGetLineCountW(o.inf, L"ImNotThere") >= 0; },
       ERROR_SECTION_NOT_FOUND},
      {"unknown handle",
       [&] { return SetupFindFirstLineW(reinterpret_cast<HINF>(0x7777770), L"Sectionname", nullptr, &ctx); },
       ERROR_INVALID_HANDLE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(kSentinel);
    EXPECT_EQ(c.call(), c.error == 0);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(std::wstring(buf), L"Field4,Field5");
  EXPECT_EQ(size, 14u);
  // The walk of the section, line after line.
  ASSERT_TRUE(SetupFindFirstLineW(o.inf, L"Sectionname", nullptr, &ctx));
  std::vector<std::wstring> keys;
  do keys.push_back(Field(ctx, 0).value_or(L"?"));
  while (SetupFindNextLine(&ctx, &ctx));
  EXPECT_EQ(keys, (std::vector<std::wstring>{L"Keyname1", L"Keyname2", L"keyname1"}));
  SetupCloseInfFile(o.inf);
}

TEST(InfFields, StringAndLineTextAreSizedInTwoCalls) {
  TestMachine m;
  Opened o = Open(m, kHeader + "[s]\nkey=value,x\n");
  INFCONTEXT ctx;
  ASSERT_TRUE(SetupFindFirstLineW(o.inf, L"s", L"key", &ctx));
  wchar_t buf[16];
  std::fill(std::begin(buf), std::end(buf), L'#');
  DWORD need = 0;
  EXPECT_TRUE(SetupGetStringFieldW(&ctx, 1, nullptr, 0, &need));
  EXPECT_EQ(need, 6u);
  SetLastError(kSentinel);
  EXPECT_FALSE(SetupGetStringFieldW(&ctx, 1, buf, 5, &need));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buf[0], L'#');  // nothing written
  EXPECT_TRUE(SetupGetStringFieldW(&ctx, 1, buf, 6, &need));
  EXPECT_EQ(std::wstring(buf), L"value");
  EXPECT_EQ(buf[6], L'#');
  EXPECT_TRUE(SetupGetLineTextW(&ctx, nullptr, nullptr, nullptr, nullptr, 0, &need));
  EXPECT_EQ(need, 8u);
  EXPECT_FALSE(SetupGetLineTextW(&ctx, nullptr, nullptr, nullptr, buf, 7, &need));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  SetupCloseInfFile(o.inf);
}

TEST(InfFields, IntegersTakeASignAndHexAfter0x) {
  TestMachine m;
  struct Case {
    std::string line;
    DWORD index;
    INT value;  // -1 also when untouched
    DWORD error;
  } cases[] = {
      {"Key=48", 1, 48, 0},
      {"Key=48", 0, -1, ERROR_INVALID_DATA},
      {"123=48", 0, 123, 0},
      {"Key=0x4", 1, 4, 0},
      {"Key=0X1f", 1, 31, 0},
      {"Key=Field1", 1, -1, ERROR_INVALID_DATA},
      {"Key=Field1,34", 2, 34, 0},
      {"Key=Field1,,Field3", 2, 0, 0},
      {"Key=Field1,", 2, 0, 0},
      {"Key=-12", 1, -12, 0},
      {"Key=+7", 1, 7, 0},
      {"Key=-0x10", 1, -16, 0},
      {"Key=010", 1, 10, 0},                // decimal: a leading zero is not octal
      {"Key=0xFFFFFFFF", 1, INT32_MAX, 0},  // held at the end of the range
      {"Key=2147483648", 1, INT32_MAX, 0},
      {"Key=-2147483648", 1, INT32_MIN, 0},
      {"Key=-99999999999", 1, INT32_MIN, 0},
      {"Key=12abc", 1, -1, ERROR_INVALID_DATA},
      {"Key=0x", 1, -1, ERROR_INVALID_DATA},
      {"Key=-", 1, -1, ERROR_INVALID_DATA},
      {"Key=1", 2, -1, ERROR_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line + " #" + std::to_string(c.index));
    Opened o = Open(m, kHeader + "[TestSection]\n" + c.line);
    INFCONTEXT ctx;
    ASSERT_TRUE(SetupFindFirstLineW(o.inf, L"TestSection", nullptr, &ctx));
    INT value = -1;
    SetLastError(kSentinel);
    EXPECT_EQ(SetupGetIntField(&ctx, c.index, &value), c.error == 0);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(value, c.value);
    SetupCloseInfFile(o.inf);
  }
}

std::string Utf16(const std::wstring &text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (wchar_t c : text) {
    char hi = char((c >> 8) & 0xFF), lo = char(c & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  }
  return out;
}

TEST(InfEncodings, Utf16WithBomAndAnsiInTheMachinesCodePage) {
  const std::wstring text = L"[Version]\r\nSignature=$Windows NT$\r\n[s]\r\nname=Caf\u00e9 \u0416\r\n";
  struct Case {
    const char *what;
    std::string toml;
    std::string bytes;
    std::wstring expected;
  } cases[] = {
      {"UTF-16LE", "", Utf16(text, false), L"Caf\u00e9 \u0416"},
      {"UTF-16BE", "", Utf16(text, true), L"Caf\u00e9 \u0416"},
      {"UTF-8 with BOM", "", "\xEF\xBB\xBF" + kHeader + "[s]\nname=Caf\xC3\xA9\n", L"Caf\u00e9"},
      {"ANSI 1252", "", kHeader + "[s]\nname=Caf\xE9\n", L"Caf\u00e9"},
      {"ANSI 1251", "[machine]\nansi_code_page = 1251\n", kHeader + "[s]\nname=\xC6\n", L"\u0416"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine m(c.toml);
    EXPECT_EQ(FirstFieldOf(m, c.bytes, L"s", L"name"), c.expected);
  }
}

// The strings section %strkey% reads, chosen by the machine's system locale. Wine's parser
// reads [Strings] alone, whatever its locale (which follows the host's), so the choices are
// checked here; the probe compares the English (United States) ones with Wine.
TEST(InfStrings, ComeFromTheSectionOfTheSystemLanguage) {
  struct Case {
    const char *machine;  // [machine] keys
    std::string sections;
    const wchar_t *expected;
  } cases[] = {
      {"system_locale = \"de-DE\"", "[Strings]\nn=en\n[Strings.0007]\nn=neutral\n[Strings.0407]\nn=de\n", L"de"},
      {"system_locale = \"de-DE\"", "[Strings.0C07]\nn=at\n[Strings]\nn=en\n[Strings.0007]\nn=neutral\n", L"neutral"},
      {"system_locale = \"de-AT\"", "[Strings]\nn=en\n[Strings.0807]\nn=ch\n[Strings.0407]\nn=de\n", L"ch"},
      {"system_locale = \"de-at\"", "[Strings.0407]\nn=de\n[strings.0c07]\nn=at\n", L"at"},
      {"system_locale = \"de-DE\"", "[Strings]\nn=en\n[Strings.0409]\nn=us\n[Strings.407]\nn=short\n", L"en"},
      {"user_locale = \"de-DE\"", "[Strings]\nn=en\n[Strings.0407]\nn=de\n", L"de"},  // system as user
      {"user_locale = \"de-DE\"\nsystem_locale = \"en-US\"", "[Strings]\nn=en\n[Strings.0407]\nn=de\n", L"en"},
      {"system_locale = \"xx-YY\"", "[Strings]\nn=en\n[Strings.0407]\nn=de\n", L"en"},
      {"", "[Strings.0407]\nn=de\n", L"%n%"},
      {"system_locale = \"de-DE\"", "[Strings]\nn=en\n[Strings.0407]\nother=x\n", L"%n%"},  // one section only
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.machine) + "\n" + c.sections);
    TestMachine m(std::string("[machine]\n") + c.machine + "\n");
    EXPECT_EQ(FirstFieldOf(m, kHeader + "[s]\nk=%n%\n" + c.sections, L"s", L"k"), c.expected);
  }
}

// DIRID 13 by Windows version and by where the INF lies.
TEST(InfDirIds, ThirteenIsThePackageFolderOfAnInfInTheDriverStore) {
  const std::wstring repository = L"C:\\Windows\\System32\\DriverStore\\FileRepository";
  const std::wstring package = repository + L"\\kvn.inf_amd64_0123456789abcdef";
  struct Case {
    const char *os;
    std::wstring inf;
    std::wstring expected;
  } cases[] = {
      {"major = 10\nminor = 0", package + L"\\kvn.inf", package + L"\\kvn.sys"},
      {"major = 6\nminor = 3\nbuild = 9600", package + L"\\kvn.inf", package + L"\\kvn.sys"},
      {"major = 6\nminor = 2\nbuild = 9200", package + L"\\kvn.inf", L"%13%\\kvn.sys"},
      {"major = 10\nminor = 0", package + L"\\sub\\kvn.inf", L"%13%\\kvn.sys"},
      {"major = 10\nminor = 0", repository + L"\\kvn.inf", L"%13%\\kvn.sys"},
      {"major = 10\nminor = 0", L"C:\\pkg\\kvn.inf", L"%13%\\kvn.sys"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.os) + " " + winsim::ToUtf8(c.inf));
    TestMachine m(std::string("[os]\n") + c.os + "\n");
    m.Write(c.inf, kHeader + "[s]\nServiceBinary = %13%\\kvn.sys\n");
    HINF inf = SetupOpenInfFileW(c.inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    INFCONTEXT ctx;
    ASSERT_TRUE(SetupFindFirstLineW(inf, L"s", nullptr, &ctx));
    EXPECT_EQ(Field(ctx, 1).value_or(L"?"), c.expected);
    SetupCloseInfFile(inf);
  }
}

TEST(InfBadInput, LargeFilesAndLoopingStringsFinish) {
  TestMachine m;
  std::string big = kHeader + "[Big]\n";
  for (int i = 0; i < 100000; ++i) big += "k" + std::to_string(i) + "=%a%\n";
  big += "[Strings]\na=%b%\nb=%a%\n";
  Opened o = Open(m, big);
  ASSERT_NE(o.inf, INVALID_HANDLE_VALUE);
  EXPECT_EQ(SetupGetLineCountW(o.inf, L"Big"), 100000);
  INFCONTEXT ctx;
  ASSERT_TRUE(SetupFindFirstLineW(o.inf, L"Big", L"k99999", &ctx));
  EXPECT_EQ(Field(ctx, 1).value_or(L"?"), L"%b%");
  int walked = 1;
  ASSERT_TRUE(SetupFindFirstLineW(o.inf, L"Big", nullptr, &ctx));
  while (SetupFindNextLine(&ctx, &ctx)) ++walked;
  EXPECT_EQ(walked, 100000);
  SetupCloseInfFile(o.inf);
  // 100,000 continued backslashes and blanks on one line.
  std::string slashes = kHeader + "[s]\na=";
  for (int i = 0; i < 50000; ++i) slashes += "\\ ";
  o = Open(m, slashes + "\nb=1\n");
  ASSERT_NE(o.inf, INVALID_HANDLE_VALUE);
  EXPECT_EQ(SetupGetLineCountW(o.inf, L"s"), 1);
  SetupCloseInfFile(o.inf);
}

TEST(ProfileSectionNames, ListTheHeadersInFileOrder) {
  TestMachine m;
  m.Write(kInf, kHeader + "[b]\nx=1\n; [c]\n  [ d ] \n[B]\n[e\n[f]]\n[ ]\n[g]\x1a\n[h]\n");
  m.Write(L"C:\\Windows\\win.ini", "[one]\n[two]\n");
  struct Case {
    const wchar_t *file;
    DWORD size;
    DWORD result;
    std::wstring list;  // with its NULs, up to the last one
  } cases[] = {
      {kInf.c_str(), 100, 21, std::wstring(L"Version\0b\0d\0B\0f]\0g\0h\0\0", 22)},
      {kInf.c_str(), 12, 10, std::wstring(L"Version\0b\0\0\0", 12)},
      {kInf.c_str(), 9, 7, std::wstring(L"Version\0\0", 9)},
      {L"win.ini", 100, 8, std::wstring(L"one\0two\0\0", 9)},
      {L"C:\\pkg\\none.ini", 100, 0, std::wstring(L"\0\0", 2)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.file) + " " + std::to_string(c.size));
    std::vector<wchar_t> buf(c.size, L'#');
    EXPECT_EQ(GetPrivateProfileSectionNamesW(buf.data(), c.size, c.file), c.result);
    EXPECT_EQ(std::wstring(buf.data(), c.list.size()), c.list);
  }
}

TEST(InfHandles, AClosedInfStopsTheRun) {
  TestMachine m;
  Opened o = Open(m, kHeader);
  INFCONTEXT ctx;
  ASSERT_TRUE(SetupFindFirstLineW(o.inf, L"Version", nullptr, &ctx));
  SetupCloseInfFile(o.inf);
  SetupCloseInfFile(nullptr);  // ignored, as on Windows
  SetupCloseInfFile(INVALID_HANDLE_VALUE);
  EXPECT_DEATH(SetupGetLineCountW(o.inf, L"Version"), "SetupGetLineCountW: handle .* was used after it was closed");
  EXPECT_DEATH(SetupGetFieldCount(&ctx), "SetupGetFieldCount: handle .* was used after it was closed");
  EXPECT_DEATH(SetupCloseInfFile(o.inf), "SetupCloseInfFile: handle .* was used after it was closed");
}

}  // namespace
