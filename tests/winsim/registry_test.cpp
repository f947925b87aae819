// The registry of winsim: typed values and their sizes, keys and their enumeration order,
// deletion, handles and their access, RegGetValueW's type restrictions, remote names, key
// security of protected keys, the security structures it uses, and registry.reg (reading
// every form, refusing a broken file, saving it canonically).
#include <windows.h>

#include <gtest/gtest.h>
#include <winsim.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testmachine.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr const wchar_t *kTestKey = L"SOFTWARE\\KvnTest";

// LF-separated text with CRLF line ends, as regedit writes them.
std::string Crlf(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Reopens the machine on a registry.reg written while it is closed.
void LoadRegistryFile(TestMachine &machine, const std::string &text) {
  winsim::CloseMachine();
  WriteAll(machine.Dir() / "registry.reg", text);
  std::string error;
  ASSERT_TRUE(winsim::OpenMachine(machine.Dir(), error)) << error;
}

HKEY Create(HKEY parent, const std::wstring &path, REGSAM access = KEY_ALL_ACCESS) {
  HKEY h = reinterpret_cast<HKEY>(uintptr_t(kSentinel));
  DWORD disposition = kSentinel;
  LSTATUS e = RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, access, nullptr, &h, &disposition);
  EXPECT_EQ(e, ERROR_SUCCESS) << winsim::ToUtf8(path);
  return h;
}

HKEY Open(HKEY parent, const wchar_t *path, REGSAM access, LSTATUS expected = ERROR_SUCCESS) {
  HKEY h = reinterpret_cast<HKEY>(uintptr_t(kSentinel));
  EXPECT_EQ(RegOpenKeyExW(parent, path, 0, access, &h), expected) << (path ? winsim::ToUtf8(path) : "NULL");
  return h;
}

LSTATUS SetText(HKEY h, const wchar_t *name, DWORD type, const std::wstring &text) {
  return RegSetValueExW(h, name, 0, type, reinterpret_cast<const BYTE *>(text.c_str()),
                        DWORD((text.size() + 1) * sizeof(WCHAR)));
}

LSTATUS SetDword(HKEY h, const wchar_t *name, DWORD value) {
  return RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

// A REG_SZ read through RegGetValueW of an HKEY_LOCAL_MACHINE path ("" when absent).
std::wstring GetText(const std::wstring &key, const wchar_t *name) {
  wchar_t buffer[256];
  DWORD size = sizeof buffer;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return L"";
  return buffer;
}

bool KeyExists(HKEY root, const std::wstring &path) {
  HKEY h;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

std::vector<std::wstring> SubkeyNames(HKEY h, LSTATUS *last = nullptr) {
  std::vector<std::wstring> names;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD size = 256;
    LSTATUS e = RegEnumKeyExW(h, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (e != ERROR_SUCCESS) {
      if (last) *last = e;
      break;
    }
    names.push_back(name);
  }
  return names;
}

std::vector<BYTE> Bytes(const void *p, size_t n) {
  auto *b = static_cast<const BYTE *>(p);
  return std::vector<BYTE>(b, b + n);
}

std::vector<BYTE> TextBytes(const std::wstring &text) { return Bytes(text.c_str(), (text.size() + 1) * sizeof(WCHAR)); }

// ---- values -------------------------------------------------------------------------------------

TEST(RegistryValues, EachTypeRoundTripsThroughTheSavedFile) {
  const DWORD dword = 0xdeadbeef;
  const ULONGLONG qword = 0x0123456789abcdefULL;
  const BYTE binary[] = {0x00, 0x7f, 0xff};
  const std::wstring multi(L"one\0two\0\0", 9);
  const struct {
    const wchar_t *name;
    DWORD type;
    std::vector<BYTE> data;
    const char *savedLine;
  } cases[] = {
      {L"Text", REG_SZ, TextBytes(L"hello"), "\"Text\"=\"hello\""},
      {L"Empty", REG_SZ, TextBytes(L""), "\"Empty\"=\"\""},
      {L"Expand", REG_EXPAND_SZ, TextBytes(L"%A%"), "\"Expand\"=hex(2):25,00,41,00,25,00,00,00"},
      {L"Multi", REG_MULTI_SZ, Bytes(multi.data(), multi.size() * sizeof(WCHAR)),
       "\"Multi\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,00,00"},
      {L"Dword", REG_DWORD, Bytes(&dword, 4), "\"Dword\"=dword:deadbeef"},
      {L"Qword", REG_QWORD, Bytes(&qword, 8), "\"Qword\"=hex(b):ef,cd,ab,89,67,45,23,01"},
      {L"Binary", REG_BINARY, Bytes(binary, 3), "\"Binary\"=hex:00,7f,ff"},
      {L"None", REG_NONE, {}, "\"None\"=hex(0):"},
  };
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, kTestKey);
  for (const auto &c : cases)
    ASSERT_EQ(RegSetValueExW(h, c.name, 0, c.type, c.data.data(), DWORD(c.data.size())), ERROR_SUCCESS);
  RegCloseKey(h);
  machine.Reopen();

  std::string saved = ReadAll(machine.Dir() / "registry.reg");
  h = Open(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ);
  for (const auto &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.name));
    EXPECT_NE(saved.find(std::string(c.savedLine) + "\r\n"), std::string::npos);
    DWORD type = kSentinel, size = kSentinel;
    ASSERT_EQ(RegQueryValueExW(h, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.data.size());
    std::vector<BYTE> data(size + 8, 0xAB);
    ASSERT_EQ(RegQueryValueExW(h, c.name, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(data.begin(), data.begin() + size), c.data);
  }
  RegCloseKey(h);
}

TEST(RegistryValues, TwoCallSizingAndMoreData) {
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, kTestKey);
  ASSERT_EQ(SetText(h, L"Name", REG_SZ, L"abcdef"), ERROR_SUCCESS);
  const DWORD needed = 7 * sizeof(WCHAR);  // six characters and the terminator, as on Windows

  DWORD type = kSentinel, size = kSentinel;
  EXPECT_EQ(RegQueryValueExW(h, L"Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(type, DWORD(REG_SZ));

  std::vector<BYTE> buffer(needed, 0xAB);
  size = needed - 1;
  type = kSentinel;
  EXPECT_EQ(RegQueryValueExW(h, L"Name", nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(buffer, std::vector<BYTE>(needed, 0xAB));  // untouched

  size = needed;
  EXPECT_EQ(RegQueryValueExW(h, L"Name", nullptr, nullptr, buffer.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(reinterpret_cast<wchar_t *>(buffer.data())), L"abcdef");

  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(h, L"Name", nullptr, nullptr, buffer.data(), nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(h, L"Name", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(h, L"Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(h);
}

TEST(RegistryValues, StringsAreStoredAsGiven) {
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, kTestKey);
  // Three characters without their terminator.
  ASSERT_EQ(RegSetValueExW(h, L"Bare", 0, REG_SZ, reinterpret_cast<const BYTE *>(L"abc"), 3 * sizeof(WCHAR)),
            ERROR_SUCCESS);
  wchar_t buffer[8];
  std::wmemset(buffer, L'#', 8);
  DWORD size = sizeof buffer;
  ASSERT_EQ(RegQueryValueExW(h, L"Bare", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3 * sizeof(WCHAR));
  EXPECT_EQ(buffer[3], L'\0');  // there was room: a NUL follows, not counted
  // Exactly the room for the data: nothing is written after it.
  std::wmemset(buffer, L'#', 8);
  size = 3 * sizeof(WCHAR);
  ASSERT_EQ(RegQueryValueExW(h, L"Bare", nullptr, nullptr, reinterpret_cast<BYTE *>(buffer), &size), ERROR_SUCCESS);
  EXPECT_EQ(buffer[3], L'#');
  // RegGetValueW always terminates, and counts the terminator.
  size = sizeof buffer;
  ASSERT_EQ(RegGetValueW(h, nullptr, L"Bare", RRF_RT_REG_SZ, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4 * sizeof(WCHAR));
  EXPECT_EQ(std::wstring(buffer), L"abc");
  RegCloseKey(h);
  machine.Reopen();
  EXPECT_NE(ReadAll(machine.Dir() / "registry.reg").find("\"Bare\"=hex(1):61,00,62,00,63,00\r\n"), std::string::npos);
}

TEST(RegistryValues, DefaultValueIsEmptyOrNullName) {
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, kTestKey);
  DWORD size = kSentinel;
  EXPECT_EQ(RegQueryValueExW(h, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(SetText(h, nullptr, REG_SZ, L"by null"), ERROR_SUCCESS);
  EXPECT_EQ(GetText(kTestKey, L""), L"by null");
  ASSERT_EQ(SetText(h, L"", REG_SZ, L"by empty"), ERROR_SUCCESS);
  EXPECT_EQ(GetText(kTestKey, nullptr), L"by empty");
  EXPECT_EQ(RegDeleteValueW(h, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(h, L""), ERROR_FILE_NOT_FOUND);
  RegCloseKey(h);
}

TEST(RegistryValues, NamesIgnoreCaseAndKeepTheirs) {
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\MixedCase");
  ASSERT_EQ(SetDword(h, L"DisplayVersion", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(h, L"DISPLAYVERSION", 2), ERROR_SUCCESS);  // the same value
  wchar_t name[32];
  DWORD chars = 32, value = 0, size = sizeof value;
  ASSERT_EQ(RegEnumValueW(h, 0, name, &chars, nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(name), L"DisplayVersion");
  EXPECT_EQ(value, 2u);
  chars = 32;
  EXPECT_EQ(RegEnumValueW(h, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  RegCloseKey(h);

  HKEY other = Open(HKEY_LOCAL_MACHINE, L"software\\KVNTEST\\mixedcase", KEY_READ);
  RegCloseKey(other);
  HKEY parent = Open(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ);
  EXPECT_EQ(SubkeyNames(parent), std::vector<std::wstring>{L"MixedCase"});
  RegCloseKey(parent);
}

// ---- keys ----------------------------------------------------------------------------------------

TEST(RegistryKeys, CreateMakesParentsAndReportsDisposition) {
  TestMachine machine;
  HKEY h = reinterpret_cast<HKEY>(uintptr_t(kSentinel));
  DWORD disposition = kSentinel;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\A\\B", 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &h, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  RegCloseKey(h);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\A"));
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"software\\kvntest\\a\\b", 0, nullptr, 0, KEY_READ, nullptr, &h,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
  RegCloseKey(h);
  // Repeated and trailing separators are skipped; a leading one is a bad path.
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\\\KvnTest\\A\\B\\"));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"\\SOFTWARE", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"x", 0, nullptr, 0, KEY_READ, nullptr, nullptr, nullptr),
            ERROR_BADKEY);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"x", 1, nullptr, 0, KEY_READ, nullptr, &h, nullptr),
            ERROR_INVALID_PARAMETER);
  // A volatile key is kept like any other (volatility is not modelled).
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\Volatile", 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_READ, nullptr, &h, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\Volatile"));
}

TEST(RegistryKeys, OpenMissingKeyAndSameKeyAgain) {
  TestMachine machine;
  HKEY h = reinterpret_cast<HKEY>(uintptr_t(kSentinel));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Missing", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"x", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  HKEY key = Create(HKEY_LOCAL_MACHINE, kTestKey);
  HKEY again = Open(key, L"", KEY_READ);
  HKEY againNull = Open(key, nullptr, KEY_READ);
  EXPECT_NE(again, key);
  EXPECT_NE(againNull, again);
  ASSERT_EQ(SetDword(key, L"Seen", 7), ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(again, L"Seen", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);
  // A predefined key opened with no subkey is that key itself.
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"", KEY_READ), HKEY_LOCAL_MACHINE);
  for (HKEY k : {key, again, againNull}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST(RegistryKeys, EnumerationOrderIsSortedWithoutRegardToCase) {
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, kTestKey);
  // '_' sorts after the letters: names are compared upper-cased.
  for (const wchar_t *name : {L"b", L"_x", L"A", L"c", L"B2"}) RegCloseKey(Create(h, name));
  for (const wchar_t *name : {L"z", L"a", L"M"}) ASSERT_EQ(SetDword(h, name, 1), ERROR_SUCCESS);
  LSTATUS last = kSentinel;
  EXPECT_EQ(SubkeyNames(h, &last), (std::vector<std::wstring>{L"A", L"b", L"B2", L"c", L"_x"}));
  EXPECT_EQ(last, ERROR_NO_MORE_ITEMS);
  std::vector<std::wstring> values;
  for (DWORD i = 0;; ++i) {
    wchar_t name[16];
    DWORD chars = 16;
    LSTATUS e = RegEnumValueW(h, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (e != ERROR_SUCCESS) {
      EXPECT_EQ(e, ERROR_NO_MORE_ITEMS);
      break;
    }
    values.push_back(name);
  }
  EXPECT_EQ(values, (std::vector<std::wstring>{L"z", L"a", L"M"}));  // creation order
  RegCloseKey(h);
}

TEST(RegistryKeys, EnumerationWithTooSmallBuffers) {
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, kTestKey);
  RegCloseKey(Create(h, L"Eightchr"));
  ASSERT_EQ(SetText(h, L"Value123", REG_SZ, L"data"), ERROR_SUCCESS);

  wchar_t name[16];
  std::wmemset(name, L'#', 16);
  DWORD chars = 8;  // eight characters need nine
  EXPECT_EQ(RegEnumKeyExW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(chars, 8u);
  EXPECT_EQ(name[0], L'#');
  chars = 9;
  EXPECT_EQ(RegEnumKeyExW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(chars, 8u);
  EXPECT_EQ(std::wstring(name), L"Eightchr");
  EXPECT_EQ(RegEnumKeyExW(h, 0, nullptr, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);

  // Value name too small: nothing written, sizes reported for the data.
  std::wmemset(name, L'#', 16);
  chars = 8;
  DWORD type = kSentinel, size = kSentinel;
  EXPECT_EQ(RegEnumValueW(h, 0, name, &chars, nullptr, &type, nullptr, &size), ERROR_MORE_DATA);
  EXPECT_EQ(chars, 8u);
  EXPECT_EQ(name[0], L'#');
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, 5 * sizeof(WCHAR));
  // Data too small: the name is given, the data size is reported.
  BYTE data[4];
  chars = 16;
  size = sizeof data;
  EXPECT_EQ(RegEnumValueW(h, 0, name, &chars, nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(std::wstring(name), L"Value123");
  EXPECT_EQ(size, 5 * sizeof(WCHAR));
  RegCloseKey(h);
}

TEST(RegistryKeys, ClassesRootIsTheMachinesClassesKey) {
  TestMachine machine;
  HKEY h = Create(HKEY_CLASSES_ROOT, L".kvn");
  ASSERT_EQ(SetText(h, nullptr, REG_SZ, L"Kvn.File"), ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(GetText(L"SOFTWARE\\Classes\\.kvn", L""), L"Kvn.File");
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"\\.kvn"));  // one leading backslash is accepted here
}

// ---- deletion ------------------------------------------------------------------------------------

TEST(RegistryDelete, KeyWithSubkeysIsRefusedDeepestFirstWorks) {
  TestMachine machine;
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\A\\B\\C"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\A"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\A\\B"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\A\\B\\C"));
  for (const wchar_t *path : {L"SOFTWARE\\KvnTest\\A\\B\\C", L"SOFTWARE\\KvnTest\\A\\B", L"SOFTWARE\\KvnTest\\A"})
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, path), ERROR_SUCCESS) << winsim::ToUtf8(path);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\A"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\A"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L""), ERROR_ACCESS_DENIED);  // the root itself
  machine.Reopen();
  std::string saved = ReadAll(machine.Dir() / "registry.reg");
  EXPECT_NE(saved.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\KvnTest]\r\n"), std::string::npos);
  EXPECT_EQ(saved.find("KvnTest\\A"), std::string::npos);
}

TEST(RegistryDelete, HandlesOfADeletedKeyAnswerKeyDeleted) {
  TestMachine machine;
  HKEY held = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\Held");
  ASSERT_EQ(SetDword(held, L"Old", 1), ERROR_SUCCESS);
  HKEY readOnly = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\Held", KEY_READ);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\Held"), ERROR_SUCCESS);

  DWORD size = sizeof(DWORD), value;
  wchar_t name[8];
  DWORD chars = 8;
  HKEY sub;
  EXPECT_EQ(RegQueryValueExW(held, L"Old", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size),
            ERROR_KEY_DELETED);
  EXPECT_EQ(SetDword(held, L"New", 2), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyExW(held, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumValueW(readOnly, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCreateKeyExW(held, L"Child", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExW(held, L"", 0, KEY_READ, &sub), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyW(held, L""), ERROR_KEY_DELETED);
  // Access is checked before the deletion shows.
  EXPECT_EQ(SetDword(readOnly, L"New", 2), ERROR_ACCESS_DENIED);

  // The same path created again is a new key; the old handle stays on the deleted one.
  HKEY again = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnTest\\Held");
  size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(again, L"Old", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetDword(held, L"New", 2), ERROR_KEY_DELETED);
  for (HKEY k : {held, readOnly, again}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST(RegistryDelete, DeletingWhileEnumerating) {
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, kTestKey);
  for (const wchar_t *name : {L"k0", L"k1", L"k2", L"k3", L"k4"}) RegCloseKey(Create(h, name));
  // Counting up while deleting skips every other key, as on Windows.
  for (DWORD i = 0;; ++i) {
    wchar_t name[8];
    DWORD chars = 8;
    if (RegEnumKeyExW(h, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    EXPECT_EQ(RegDeleteKeyW(h, name), ERROR_SUCCESS);
  }
  EXPECT_EQ(SubkeyNames(h), (std::vector<std::wstring>{L"k1", L"k3"}));
  // Always asking for the first one empties the key.
  wchar_t name[8];
  DWORD chars = 8;
  while (RegEnumKeyExW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    EXPECT_EQ(RegDeleteKeyW(h, name), ERROR_SUCCESS);
    chars = 8;
  }
  EXPECT_TRUE(SubkeyNames(h).empty());
  RegCloseKey(h);
}

// ---- handles and access --------------------------------------------------------------------------

TEST(RegistryAccess, EachCallChecksWhatTheHandleAllows) {
  TestMachine machine;
  HKEY setup = Create(HKEY_LOCAL_MACHINE, kTestKey);
  ASSERT_EQ(SetDword(setup, L"Value", 1), ERROR_SUCCESS);
  RegCloseKey(Create(setup, L"Sub"));
  RegCloseKey(setup);

  enum Call { Query, Set, DeleteValue, EnumKey, EnumValue, CreateSub, GetSecurity };
  const struct {
    const char *what;
    REGSAM access;
    Call call;
    LSTATUS expected;
  } cases[] = {
      {"KEY_READ queries", KEY_READ, Query, ERROR_SUCCESS},
      {"KEY_READ cannot set", KEY_READ, Set, ERROR_ACCESS_DENIED},
      {"KEY_READ cannot delete a value", KEY_READ, DeleteValue, ERROR_ACCESS_DENIED},
      {"KEY_READ cannot create a subkey", KEY_READ, CreateSub, ERROR_ACCESS_DENIED},
      {"KEY_READ enumerates keys", KEY_READ, EnumKey, ERROR_SUCCESS},
      {"KEY_READ reads the security", KEY_READ, GetSecurity, ERROR_SUCCESS},
      {"KEY_SET_VALUE sets", KEY_SET_VALUE, Set, ERROR_SUCCESS},
      {"KEY_SET_VALUE cannot query", KEY_SET_VALUE, Query, ERROR_ACCESS_DENIED},
      {"KEY_QUERY_VALUE enumerates values", KEY_QUERY_VALUE, EnumValue, ERROR_SUCCESS},
      {"KEY_QUERY_VALUE cannot enumerate keys", KEY_QUERY_VALUE, EnumKey, ERROR_ACCESS_DENIED},
      {"KEY_QUERY_VALUE cannot read the security", KEY_QUERY_VALUE, GetSecurity, ERROR_ACCESS_DENIED},
      {"KEY_WRITE creates a subkey", KEY_WRITE, CreateSub, ERROR_SUCCESS},
      {"GENERIC_READ is KEY_READ", GENERIC_READ, Set, ERROR_ACCESS_DENIED},
      {"GENERIC_WRITE is KEY_WRITE", GENERIC_WRITE, Set, ERROR_SUCCESS},
      {"WOW64 flags are ignored", KEY_READ | KEY_WOW64_32KEY, Query, ERROR_SUCCESS},
      {"WOW64 flags add no right", KEY_READ | KEY_WOW64_64KEY, Set, ERROR_ACCESS_DENIED},
      {"no access at all", 0, Query, ERROR_ACCESS_DENIED},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    HKEY h = Open(HKEY_LOCAL_MACHINE, kTestKey, c.access);
    DWORD size = sizeof(DWORD), value = 0;
    wchar_t name[16];
    DWORD chars = 16;
    HKEY sub = nullptr;
    BYTE sd[256];
    DWORD sdSize = sizeof sd;
    LSTATUS e = kSentinel;
    switch (c.call) {
      case Query: e = RegQueryValueExW(h, L"Value", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size); break;
      case Set: e = SetDword(h, L"Written", 2); break;
      case DeleteValue: e = RegDeleteValueW(h, L"Value"); break;
      case EnumKey: e = RegEnumKeyExW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr); break;
      case EnumValue: e = RegEnumValueW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr); break;
      case CreateSub: e = RegCreateKeyExW(h, L"New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr); break;
      case GetSecurity: e = RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, sd, &sdSize); break;
    }
    EXPECT_EQ(e, c.expected);
    if (sub) RegCloseKey(sub);
    RegCloseKey(h);
  }
  // What was refused left the key as it was.
  DWORD value = kSentinel, size = sizeof value;
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, L"Value", RRF_RT_REG_DWORD, nullptr, &value, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  // The parent's access does not matter for RegDeleteKeyW.
  HKEY readOnly = Open(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ);
  EXPECT_EQ(RegDeleteKeyW(readOnly, L"New"), ERROR_SUCCESS);
  RegCloseKey(readOnly);
}

TEST(RegistryAccess, InvalidHandles) {
  TestMachine machine;
  HKEY bogus = reinterpret_cast<HKEY>(uintptr_t(0x1234));
  HKEY h = Create(HKEY_LOCAL_MACHINE, kTestKey);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  DWORD size = 0;
  for (HKEY k : {HKEY(nullptr), bogus}) {
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(k, L"x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetDword(k, L"x", 1), ERROR_INVALID_HANDLE);
  }
  // A closed one stops the run.
  EXPECT_DEATH(RegCloseKey(h), "RegCloseKey: handle .* was used after it was closed");
  EXPECT_DEATH(RegQueryValueExW(h, L"x", nullptr, nullptr, nullptr, &size), "RegQueryValueExW: handle .*closed");
  EXPECT_DEATH(SetDword(h, L"x", 1), "RegSetValueExW: handle .* was used after it was closed");
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  // A handle does not outlive its machine.
  HKEY stale = Create(HKEY_LOCAL_MACHINE, kTestKey);
  machine.Reopen();
  EXPECT_EQ(SetDword(stale, L"x", 1), ERROR_INVALID_HANDLE);
}

TEST(RegistryAccess, InjectedFaultIsTheReturnValue) {
  TestMachine machine(
      "[[faults]]\nfunction = \"RegOpenKeyExW\"\nnth = 2\nwhen_arg_contains = \"Services\"\nerror = 1450\n");
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\kvn"));
  HKEY h;
  SetLastError(kSentinel);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &h), 1450);
  EXPECT_EQ(GetLastError(), kSentinel);  // Reg* calls leave the last error alone
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
}

TEST(RegistryConnect, LocalNamesGiveTheRootOthersAreUnreachable) {
  TestMachine machine("[machine]\ncomputer_name = \"BUILD7\"\nclock = \"2026-12-08T14:30:00\"\n");
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, kTestKey));
  const struct {
    const wchar_t *name;
    LSTATUS expected;
  } cases[] = {
      {nullptr, ERROR_SUCCESS},       {L"", ERROR_SUCCESS},
      {L"BUILD7", ERROR_SUCCESS},     {L"build7", ERROR_SUCCESS},
      {L"\\\\BUILD7", ERROR_SUCCESS}, {L"\\\\Build7", ERROR_SUCCESS},
      {L"SRV01", ERROR_BAD_NETPATH},  {L"\\\\OTHER", ERROR_BAD_NETPATH},
      {L"\\\\", ERROR_BAD_NETPATH},   {L"BUILD7.corp.example", ERROR_BAD_NETPATH},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name ? winsim::ToUtf8(c.name) : "NULL");
    HKEY remote = reinterpret_cast<HKEY>(uintptr_t(kSentinel));
    ASSERT_EQ(RegConnectRegistryW(c.name, HKEY_LOCAL_MACHINE, &remote), c.expected);
    if (c.expected != ERROR_SUCCESS) {
      EXPECT_EQ(remote, reinterpret_cast<HKEY>(uintptr_t(kSentinel)));
      continue;
    }
    EXPECT_TRUE(KeyExists(remote, kTestKey));
    EXPECT_EQ(RegCloseKey(remote), ERROR_SUCCESS);
  }
}

// ---- RegGetValueW ----------------------------------------------------------------------------------

TEST(RegGetValue, TypeRestrictionsExpansionAndSizes) {
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, kTestKey);
  const BYTE four[] = {1, 0, 0, 0}, three[] = {1, 2, 3};
  const ULONGLONG qword = 0x1122334455667788ULL;
  ASSERT_EQ(SetText(h, L"Sz", REG_SZ, L"text"), ERROR_SUCCESS);
  ASSERT_EQ(SetText(h, L"Expand", REG_EXPAND_SZ, L"%SystemRoot%\\inf"), ERROR_SUCCESS);
  ASSERT_EQ(SetText(h, L"Multi", REG_MULTI_SZ, std::wstring(L"a\0", 2)), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(h, L"Dword", 42), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, L"Qword", 0, REG_QWORD, reinterpret_cast<const BYTE *>(&qword), 8), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, L"Bin4", 0, REG_BINARY, four, 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, L"Bin3", 0, REG_BINARY, three, 3), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, L"None", 0, REG_NONE, nullptr, 0), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(h, L"BigEndian", 0, REG_DWORD_BIG_ENDIAN, four, 4), ERROR_SUCCESS);
  RegCloseKey(h);

  const DWORD w = sizeof(WCHAR);
  const struct {
    const wchar_t *value;
    DWORD flags;
    LSTATUS expected;
    DWORD type, size;
  } cases[] = {
      {L"Dword", RRF_RT_REG_DWORD, ERROR_SUCCESS, REG_DWORD, 4},
      {L"Dword", RRF_RT_DWORD, ERROR_SUCCESS, REG_DWORD, 4},
      {L"Dword", RRF_RT_REG_SZ, ERROR_UNSUPPORTED_TYPE, REG_DWORD, 4},
      {L"Dword", RRF_RT_REG_QWORD, ERROR_UNSUPPORTED_TYPE, REG_DWORD, 4},
      {L"Bin4", RRF_RT_DWORD, ERROR_SUCCESS, REG_BINARY, 4},
      {L"Bin3", RRF_RT_DWORD, ERROR_DATATYPE_MISMATCH, REG_BINARY, 3},
      {L"Bin3", RRF_RT_REG_BINARY, ERROR_SUCCESS, REG_BINARY, 3},
      {L"Qword", RRF_RT_QWORD, ERROR_SUCCESS, REG_QWORD, 8},
      {L"Qword", RRF_RT_DWORD, ERROR_UNSUPPORTED_TYPE, REG_QWORD, 8},
      {L"Sz", RRF_RT_REG_SZ, ERROR_SUCCESS, REG_SZ, 5 * w},
      {L"Sz", RRF_RT_ANY, ERROR_SUCCESS, REG_SZ, 5 * w},
      {L"Sz", RRF_RT_REG_MULTI_SZ, ERROR_UNSUPPORTED_TYPE, REG_SZ, 5 * w},
      // Expanded: "C:\Windows\inf" and its terminator; the type reads as REG_SZ.
      {L"Expand", RRF_RT_REG_SZ, ERROR_SUCCESS, REG_SZ, 15 * w},
      {L"Expand", RRF_RT_ANY, ERROR_SUCCESS, REG_SZ, 15 * w},
      {L"Expand", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, ERROR_SUCCESS, REG_EXPAND_SZ, 17 * w},
      {L"Expand", RRF_RT_REG_SZ | RRF_NOEXPAND, ERROR_UNSUPPORTED_TYPE, REG_EXPAND_SZ, 17 * w},
      {L"Expand", RRF_RT_REG_EXPAND_SZ, ERROR_INVALID_PARAMETER, kSentinel, kSentinel},
      {L"Multi", RRF_RT_REG_MULTI_SZ, ERROR_SUCCESS, REG_MULTI_SZ, 3 * w},
      {L"None", RRF_RT_REG_NONE, ERROR_SUCCESS, REG_NONE, 0},
      {L"None", RRF_RT_REG_BINARY, ERROR_UNSUPPORTED_TYPE, REG_NONE, 0},
      {L"BigEndian", RRF_RT_ANY, ERROR_SUCCESS, REG_DWORD_BIG_ENDIAN, 4},
      {L"BigEndian", RRF_RT_DWORD, ERROR_UNSUPPORTED_TYPE, REG_DWORD_BIG_ENDIAN, 4},
      {L"Missing", RRF_RT_ANY, ERROR_FILE_NOT_FOUND, kSentinel, kSentinel},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(winsim::ToUtf8(c.value) + " flags " + std::to_string(c.flags));
    // Size query first, then the read.
    DWORD type = kSentinel, size = kSentinel;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, c.value, c.flags, &type, nullptr, &size), c.expected);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.size);
    BYTE buffer[128];
    std::memset(buffer, 0xAB, sizeof buffer);
    type = kSentinel;
    size = sizeof buffer;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, c.value, c.flags, &type, buffer, &size), c.expected);
    if (c.expected == ERROR_SUCCESS) {
      EXPECT_EQ(size, c.size);
    }
  }

  wchar_t text[32];
  DWORD size = sizeof text;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, L"Expand", RRF_RT_REG_SZ, nullptr, text, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(text), L"C:\\Windows\\inf");
  size = sizeof text;
  ASSERT_EQ(
      RegGetValueW(HKEY_LOCAL_MACHINE, kTestKey, L"Expand", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, text, &size),
      ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(text), L"%SystemRoot%\\inf");
}

TEST(RegGetValue, MoreDataAndZeroOnFailure) {
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, kTestKey);
  ASSERT_EQ(SetText(h, L"Sz", REG_SZ, L"abcdef"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(h, L"Dword", 42), ERROR_SUCCESS);
  const struct {
    const char *what;
    const wchar_t *value;
    DWORD flags, capacity;
    LSTATUS expected;
    bool zeroed;
  } cases[] = {
      {"too small", L"Sz", RRF_RT_REG_SZ, 6 * sizeof(WCHAR), ERROR_MORE_DATA, false},
      {"too small, zeroed", L"Sz", RRF_RT_REG_SZ | RRF_ZEROONFAILURE, 6 * sizeof(WCHAR), ERROR_MORE_DATA, true},
      {"wrong type", L"Dword", RRF_RT_REG_SZ, 16, ERROR_UNSUPPORTED_TYPE, false},
      {"wrong type, zeroed", L"Dword", RRF_RT_REG_SZ | RRF_ZEROONFAILURE, 16, ERROR_UNSUPPORTED_TYPE, true},
      {"missing, zeroed", L"Missing", RRF_RT_ANY | RRF_ZEROONFAILURE, 16, ERROR_FILE_NOT_FOUND, true},
      {"fits exactly", L"Sz", RRF_RT_REG_SZ | RRF_ZEROONFAILURE, 7 * sizeof(WCHAR), ERROR_SUCCESS, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BYTE> buffer(c.capacity, 0xAB);
    DWORD size = c.capacity;
    EXPECT_EQ(RegGetValueW(h, nullptr, c.value, c.flags, nullptr, buffer.data(), &size), c.expected);
    if (c.zeroed) {
      EXPECT_EQ(buffer, std::vector<BYTE>(c.capacity, 0));
    }
    if (c.expected == ERROR_MORE_DATA) {
      EXPECT_EQ(size, 7 * sizeof(WCHAR));
    }
    if (c.expected == ERROR_MORE_DATA && !c.zeroed) {
      EXPECT_EQ(buffer, std::vector<BYTE>(c.capacity, 0xAB));
    }
  }
  EXPECT_EQ(RegGetValueW(h, nullptr, L"Sz", RRF_RT_ANY, nullptr, &h, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegGetValueW(h, L"NoSuchKey", L"Sz", RRF_RT_ANY, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  RegCloseKey(h);
}

// ---- protected keys and key security ----------------------------------------------------------------

const char *const kProtectedToml =
    "protected_keys = ['HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvnlock', "
    "'SOFTWARE\\KvnLocked', 'SOFTWARE\\NotThere']\n";
const char *const kProtectedReg =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KvnLocked]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvnlock]\r\n\"Start\"=dword:00000003\r\n\r\n";
constexpr const wchar_t *kLockedService = L"SYSTEM\\CurrentControlSet\\Services\\kvnlock";

// A DACL granting `mask` to BUILTIN\Administrators, in a GlobalAlloc block.
PACL AdministratorsDacl(DWORD mask) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  EXPECT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                       &admins));
  DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(admins);
  PACL acl = static_cast<PACL>(GlobalAlloc(GPTR, size));
  EXPECT_TRUE(InitializeAcl(acl, size, ACL_REVISION));
  EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, mask, admins));
  EXPECT_EQ(FreeSid(admins), nullptr);
  return acl;
}

LSTATUS SetDacl(HKEY h, PACL dacl, BOOL present = TRUE) {
  SECURITY_DESCRIPTOR sd;
  EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, present, dacl, FALSE));
  return RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, &sd);
}

// The protected_keys entries machine.toml holds, in order (TOML literal strings).
std::vector<std::string> ProtectedList(const TestMachine &machine) {
  std::string toml = ReadAll(machine.Dir() / "machine.toml");
  std::vector<std::string> entries;
  size_t at = toml.find("protected_keys");
  if (at == std::string::npos) return {"<none>"};
  size_t end = toml.find(']', at);
  for (size_t q = toml.find('\'', at); q < end; q = toml.find('\'', q + 1)) {
    size_t close = toml.find('\'', q + 1);
    entries.push_back(toml.substr(q + 1, close - q - 1));
    q = close;
  }
  return entries;
}

TEST(ProtectedKeys, DeletionRefusedUntilAdministratorsGetFullControl) {
  TestMachine machine(kProtectedToml);
  LoadRegistryFile(machine, kProtectedReg);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kLockedService), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kLockedService));

  // Its access list withholds DELETE: full access is refused, the rest is granted.
  Open(HKEY_LOCAL_MACHINE, kLockedService, KEY_ALL_ACCESS, ERROR_ACCESS_DENIED);
  HKEY h = Open(HKEY_LOCAL_MACHINE, kLockedService, KEY_READ | KEY_WRITE | WRITE_DAC);
  // Sizing: no buffer, then one byte short, then exactly enough.
  DWORD needed = 0;
  EXPECT_EQ(RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, nullptr, &needed), ERROR_INSUFFICIENT_BUFFER);
  // 20-byte header, 8-byte ACL header, ACEs for SYSTEM (20), Administrators (24) and Users (24).
  ASSERT_EQ(needed, 96u);
  std::vector<BYTE> sd(needed, 0xAB);
  DWORD size = needed - 1;
  EXPECT_EQ(RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, sd.data(), &size), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(sd[0], 0xAB);
  ASSERT_EQ(RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, sd.data(), &size), ERROR_SUCCESS);
  EXPECT_TRUE(IsValidSecurityDescriptor(sd.data()));
  EXPECT_EQ(sd[0], SECURITY_DESCRIPTOR_REVISION);
  WORD control;
  DWORD daclOffset, adminsMask;
  std::memcpy(&control, &sd[2], 2);
  std::memcpy(&daclOffset, &sd[16], 4);
  EXPECT_EQ(control, SE_SELF_RELATIVE | SE_DACL_PRESENT);
  ASSERT_EQ(daclOffset, 20u);
  const ACL *acl = reinterpret_cast<const ACL *>(&sd[20]);
  EXPECT_EQ(acl->AclSize, 76);
  EXPECT_EQ(acl->AceCount, 3);
  std::memcpy(&adminsMask, &sd[20 + 8 + 20 + 4], 4);  // the second ACE's mask
  EXPECT_EQ(adminsMask, DWORD(KEY_ALL_ACCESS & ~DELETE));

  // Administrators with read access only: still protected.
  PACL readOnly = AdministratorsDacl(KEY_READ);
  EXPECT_EQ(SetDacl(h, readOnly), ERROR_SUCCESS);
  EXPECT_EQ(GlobalFree(readOnly), nullptr);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kLockedService), ERROR_ACCESS_DENIED);

  PACL full = AdministratorsDacl(KEY_ALL_ACCESS);
  EXPECT_EQ(SetDacl(h, full), ERROR_SUCCESS);
  size = 0;
  EXPECT_EQ(RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 20u + 32u);  // the DACL just set: one ACE for Administrators
  EXPECT_EQ(GlobalFree(full), nullptr);
  RegCloseKey(h);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kLockedService), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kLockedService));
  // The other protected key is untouched.
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnLocked"), ERROR_ACCESS_DENIED);

  machine.Reopen();
  EXPECT_EQ(ProtectedList(machine), (std::vector<std::string>{"SOFTWARE\\KvnLocked", "SOFTWARE\\NotThere"}));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kLockedService));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnLocked"), ERROR_ACCESS_DENIED);
}

// Keys with the access lists system services really have, from machine.toml.
const char *const kKeySecurityToml = R"(
[[key_security]]
path = 'HKLM\SYSTEM\CurrentControlSet\Services\kvnsys'
owner = "SYSTEM"
allow = [ { who = "SYSTEM", access = "full" }, { who = "Administrators", access = "read" } ]

[[key_security]]
path = 'SOFTWARE\KvnDeny'
deny = [ { who = "Everyone", access = "write" } ]
allow = [ { who = "Administrators", access = "full" } ]

[[key_security]]
path = 'SOFTWARE\KvnLater'
allow = [ { who = "Users", access = 0x20019 } ]
)";
constexpr REGSAM kMaximumAllowed = 0x02000000;  // MAXIMUM_ALLOWED
constexpr const wchar_t *kSystemService = L"SYSTEM\\CurrentControlSet\\Services\\kvnsys";

TEST(KeySecurity, OpenAndCreateCheckTheAccessListForTheElevatedAdministrator) {
  TestMachine machine(kKeySecurityToml);
  LoadRegistryFile(machine,
                   "Windows Registry Editor Version 5.00\r\n\r\n"
                   "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvnsys\\Enum]\r\n\r\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KvnDeny]\r\n\r\n");
  HKEY later = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnLater");  // its creator gets what it asked
  RegCloseKey(later);
  const struct {
    const wchar_t *path;
    REGSAM sam;
    LSTATUS open;
  } cases[] = {
      {kSystemService, KEY_READ, ERROR_SUCCESS},
      {kSystemService, GENERIC_READ, ERROR_SUCCESS},
      {kSystemService, KEY_READ | KEY_WOW64_64KEY, ERROR_SUCCESS},
      {kSystemService, KEY_ALL_ACCESS, ERROR_ACCESS_DENIED},
      {kSystemService, KEY_SET_VALUE, ERROR_ACCESS_DENIED},
      {kSystemService, DELETE, ERROR_ACCESS_DENIED},
      {kSystemService, WRITE_DAC, ERROR_ACCESS_DENIED},  // the owner is SYSTEM
      {kSystemService, GENERIC_ALL, ERROR_ACCESS_DENIED},
      {kSystemService, kMaximumAllowed, ERROR_SUCCESS},
      {L"SYSTEM\\CurrentControlSet\\Services\\kvnsys\\Enum", KEY_ALL_ACCESS, ERROR_SUCCESS},  // not inherited
      {L"SOFTWARE\\KvnDeny", KEY_READ | WRITE_DAC, ERROR_SUCCESS},  // the owner: Administrators
      {L"SOFTWARE\\KvnDeny", KEY_WRITE, ERROR_ACCESS_DENIED},       // denied before it is allowed
      {L"SOFTWARE\\KvnDeny", GENERIC_WRITE, ERROR_ACCESS_DENIED},
      {L"SOFTWARE\\KvnLater", KEY_READ, ERROR_SUCCESS},
      {L"SOFTWARE\\KvnLater", KEY_SET_VALUE, ERROR_ACCESS_DENIED},
      {L"SOFTWARE\\KvnLater", READ_CONTROL | WRITE_DAC, ERROR_SUCCESS},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.sam);
    HKEY h = Open(HKEY_LOCAL_MACHINE, c.path, c.sam, c.open);
    if (c.open == ERROR_SUCCESS) {
      RegCloseKey(h);
    } else {
      EXPECT_EQ(h, nullptr);
    }
    // RegCreateKeyExW of the existing key checks the same list.
    h = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, c.path, 0, nullptr, 0, c.sam, nullptr, &h, nullptr), c.open);
    if (h) RegCloseKey(h);
  }

  // A handle holds what was granted: kMaximumAllowed on read access cannot write.
  HKEY h = Open(HKEY_LOCAL_MACHINE, kSystemService, kMaximumAllowed);
  EXPECT_EQ(SetDword(h, L"Start", 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExW(h, L"Sub", 0, nullptr, 0, KEY_READ, nullptr, &later, nullptr), ERROR_ACCESS_DENIED);
  RegCloseKey(h);
  // A new subkey needs the right to create subkeys of the key it goes under.
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\kvnsys\\Parameters", 0, nullptr,
                            0, KEY_READ, nullptr, &later, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\kvnsys\\Parameters"));
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnDeny", L"x", RRF_RT_ANY, nullptr, nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);  // read access: the value is looked for
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\kvnsys\\Enum"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSystemService), ERROR_ACCESS_DENIED);

  // The access lists hold after a reopen; one whose key was given another list is dropped.
  h = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnDeny", WRITE_DAC);
  EXPECT_EQ(SetDacl(h, nullptr), ERROR_SUCCESS);
  RegCloseKey(h);
  machine.Reopen();
  Open(HKEY_LOCAL_MACHINE, kSystemService, KEY_WRITE, ERROR_ACCESS_DENIED);
  Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnLater", KEY_WRITE, ERROR_ACCESS_DENIED);
  const std::string toml = ReadAll(machine.Dir() / "machine.toml");
  EXPECT_EQ(toml.find("KvnDeny"), std::string::npos) << toml;
  EXPECT_NE(toml.find("kvnsys"), std::string::npos) << toml;
}

TEST(ProtectedKeys, NullDaclUnprotectsAndSurvivesReopen) {
  TestMachine machine(kProtectedToml);
  LoadRegistryFile(machine, kProtectedReg);
  HKEY h = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnLocked", WRITE_DAC);
  EXPECT_EQ(SetDacl(h, nullptr), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_ACCESS_DENIED);  // no READ_CONTROL
  RegCloseKey(h);
  machine.Reopen();
  EXPECT_EQ(ProtectedList(machine),
            (std::vector<std::string>{"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvnlock",
                                      "SOFTWARE\\NotThere"}));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnLocked"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kLockedService), ERROR_ACCESS_DENIED);
}

TEST(ProtectedKeys, AnEntryProtectsTheKeyLaterCreatedAtItsPath) {
  TestMachine machine(kProtectedToml);
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"software\\notthere\\Inner"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NotThere\\Inner"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NotThere"), ERROR_ACCESS_DENIED);
  machine.Reopen();
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NotThere"), ERROR_ACCESS_DENIED);
  HKEY h = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NotThere", WRITE_DAC);
  EXPECT_EQ(SetDacl(h, nullptr, FALSE), ERROR_SUCCESS);  // no DACL at all: open to everyone
  RegCloseKey(h);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NotThere"), ERROR_SUCCESS);
  machine.Reopen();
  EXPECT_EQ(ProtectedList(machine),
            (std::vector<std::string>{"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kvnlock",
                                      "SOFTWARE\\KvnLocked"}));
}

TEST(ProtectedKeys, SecurityCallsCheckTheirArguments) {
  TestMachine machine(kProtectedToml);
  LoadRegistryFile(machine, kProtectedReg);
  HKEY reader = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnLocked", KEY_READ);
  PACL full = AdministratorsDacl(KEY_ALL_ACCESS);
  EXPECT_EQ(SetDacl(reader, full), ERROR_ACCESS_DENIED);  // no WRITE_DAC
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(RegSetKeySecurity(HKEY_LOCAL_MACHINE, 0, &sd), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetKeySecurity(HKEY_LOCAL_MACHINE, DACL_SECURITY_INFORMATION, nullptr), ERROR_INVALID_PARAMETER);
  sd.Revision = 2;
  HKEY writer = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnLocked", WRITE_DAC);
  EXPECT_EQ(RegSetKeySecurity(writer, DACL_SECURITY_INFORMATION, &sd), ERROR_INVALID_SECURITY_DESCR);
  EXPECT_EQ(RegGetKeySecurity(reader, DACL_SECURITY_INFORMATION, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GlobalFree(full), nullptr);
  RegCloseKey(reader);
  RegCloseKey(writer);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KvnLocked"), ERROR_ACCESS_DENIED);
}

// ---- security structures ---------------------------------------------------------------------------

TEST(SecurityStructures, SidLayout) {
  TestMachine machine;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  ASSERT_TRUE(
      AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 9, 9, 9, 9, 9, 9, &sid));
  const BYTE expected[] = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0};
  EXPECT_EQ(GetLengthSid(sid), 16u);
  EXPECT_TRUE(IsValidSid(sid));
  EXPECT_EQ(Bytes(sid, 16), Bytes(expected, 16));
  EXPECT_EQ(FreeSid(sid), nullptr);

  PSID none = reinterpret_cast<PSID>(uintptr_t(kSentinel));
  SetLastError(kSentinel);
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &none));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SID));
  EXPECT_EQ(none, reinterpret_cast<PSID>(uintptr_t(kSentinel)));
  BYTE bad[8] = {2, 0};
  EXPECT_FALSE(IsValidSid(bad));
  EXPECT_EQ(FreeSid(bad), static_cast<PVOID>(bad));  // not an allocated SID: handed back
}

TEST(SecurityStructures, AclSpaceAndRevisions) {
  TestMachine machine;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID system = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system));
  const DWORD aceSize = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(system);
  EXPECT_EQ(aceSize, 20u);
  alignas(4) BYTE buffer[64];
  PACL acl = reinterpret_cast<PACL>(buffer);
  const struct {
    DWORD length, revision;
    BOOL ok;
    DWORD error;
  } inits[] = {
      {sizeof(ACL) - 1, ACL_REVISION, FALSE, ERROR_INSUFFICIENT_BUFFER},
      {sizeof(ACL), 1, FALSE, ERROR_INVALID_PARAMETER},
      {sizeof(ACL), 5, FALSE, ERROR_INVALID_PARAMETER},
      {0x10000, ACL_REVISION, FALSE, ERROR_INVALID_PARAMETER},
      {sizeof(ACL), ACL_REVISION, TRUE, kSentinel},
  };
  for (const auto &c : inits) {
    SetLastError(kSentinel);
    EXPECT_EQ(InitializeAcl(acl, c.length, c.revision), c.ok) << c.length << " " << c.revision;
    EXPECT_EQ(GetLastError(), c.error);
  }
  ASSERT_TRUE(InitializeAcl(acl, sizeof(ACL) + aceSize, ACL_REVISION));
  EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system));
  SetLastError(kSentinel);
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, system));  // full
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALLOTTED_SPACE_EXCEEDED));
  const BYTE expected[] = {2, 0, 28, 0, 1, 0, 0, 0,                     // ACL header
                           0, 0, 20, 0, 0, 0, 0, 0x10,                  // ACE header, GENERIC_ALL
                           1, 1, 0,  0, 0, 0, 0, 5,    0x12, 0, 0, 0};  // S-1-5-18
  EXPECT_EQ(Bytes(buffer, 28), Bytes(expected, 28));
  BYTE badSid[8] = {1, 16};
  SetLastError(kSentinel);
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, badSid));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SID));
  buffer[0] = 9;  // no longer a valid ACL
  SetLastError(kSentinel);
  EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, system));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_ACL));
  FreeSid(system);
}

TEST(SecurityStructures, DescriptorsAndGlobalMemory) {
  TestMachine machine;
  SECURITY_DESCRIPTOR sd;
  std::memset(&sd, 0xAB, sizeof sd);
  SetLastError(kSentinel);
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_UNKNOWN_REVISION));
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(sd.Control, 0);
  EXPECT_EQ(sd.Dacl, nullptr);
  EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
  EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, TRUE));
  EXPECT_EQ(sd.Control, SE_DACL_PRESENT | SE_DACL_DEFAULTED);
  EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, FALSE, nullptr, FALSE));
  EXPECT_EQ(sd.Control & SE_DACL_PRESENT, 0);
  sd.Control |= SE_SELF_RELATIVE;
  SetLastError(kSentinel);
  EXPECT_FALSE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_SECURITY_DESCR));
  sd.Revision = 0;
  EXPECT_FALSE(IsValidSecurityDescriptor(&sd));

  BYTE *block = static_cast<BYTE *>(GlobalAlloc(GPTR, 64));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(Bytes(block, 64), std::vector<BYTE>(64, 0));
  EXPECT_EQ(GlobalFree(block), nullptr);
  BYTE local[4];
  SetLastError(kSentinel);
  EXPECT_EQ(GlobalFree(local), static_cast<HGLOBAL>(local));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

// ---- registry.reg -------------------------------------------------------------------------------------

const char *const kEveryForm = R"(Windows Registry Editor Version 5.00

; a comment line
[HKEY_LOCAL_MACHINE\SOFTWARE\Kvn]
"Text"="a \"quoted\" C:\\path"  ; trailing comment
@="default"
"Dword"=dword:0000002a
"Short"=dword:1
"Bin"=hex:01,02,ff
"Expand"=hex(2):25,00,41,00,25,00,00,00
"Multi"=hex(7):61,00,00,00,62,00,00,00,00,00
"Qword"=hex(b):01,00,00,00,00,00,00,00
"None"=hex(0):
"Custom"=hex(100):0a
"Long"=hex:00,01,02,03,\
  04,05,\
  06
"Gone"="x"
"Gone"=-

[HKEY_LOCAL_MACHINE\SOFTWARE\Kvn\Doomed\Child]

[-HKEY_LOCAL_MACHINE\SOFTWARE\Kvn\Doomed]

[HKLM\SOFTWARE\Kvn\Short]
"Ünïcode"="grüße"

[HKEY_CURRENT_USER\Software\Kvn]
"User"="yes"
)";

// UTF-16LE with a BOM.
std::string Utf16(const std::string &utf8) {
  std::wstring text = winsim::FromUtf8(utf8);
  std::string out = "\xFF\xFE";
  for (wchar_t c : text) {
    out += char(c & 0xFF);
    out += char((c >> 8) & 0xFF);
  }
  return out;
}

TEST(RegistryFile, ReadsEveryFormInEveryEncoding) {
  const struct {
    const char *what;
    std::string bytes;
  } encodings[] = {
      {"UTF-8, LF", kEveryForm},
      {"UTF-8, CRLF", Crlf(kEveryForm)},
      {"UTF-8 with BOM", "\xEF\xBB\xBF" + Crlf(kEveryForm)},
      {"UTF-16LE with BOM", Utf16(Crlf(kEveryForm))},
  };
  for (const auto &e : encodings) {
    SCOPED_TRACE(e.what);
    TestMachine machine;
    LoadRegistryFile(machine, e.bytes);
    HKEY h = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kvn", KEY_READ);
    auto raw = [&](const wchar_t *name, DWORD expectedType) {
      BYTE data[64];
      DWORD type = kSentinel, size = sizeof data;
      EXPECT_EQ(RegQueryValueExW(h, name, nullptr, &type, data, &size), ERROR_SUCCESS) << winsim::ToUtf8(name);
      EXPECT_EQ(type, expectedType) << winsim::ToUtf8(name);
      return std::vector<BYTE>(data, data + (size <= sizeof data ? size : 0));
    };
    EXPECT_EQ(GetText(L"SOFTWARE\\Kvn", L"Text"), L"a \"quoted\" C:\\path");
    EXPECT_EQ(GetText(L"SOFTWARE\\Kvn", nullptr), L"default");
    EXPECT_EQ(raw(L"Dword", REG_DWORD), (std::vector<BYTE>{0x2a, 0, 0, 0}));
    EXPECT_EQ(raw(L"Short", REG_DWORD), (std::vector<BYTE>{1, 0, 0, 0}));
    EXPECT_EQ(raw(L"Bin", REG_BINARY), (std::vector<BYTE>{1, 2, 0xff}));
    EXPECT_EQ(raw(L"Expand", REG_EXPAND_SZ), TextBytes(L"%A%"));
    EXPECT_EQ(raw(L"Multi", REG_MULTI_SZ), Bytes(L"a\0b\0", 5 * sizeof(WCHAR)));
    EXPECT_EQ(raw(L"Qword", REG_QWORD), (std::vector<BYTE>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(raw(L"None", REG_NONE), std::vector<BYTE>{});
    EXPECT_EQ(raw(L"Custom", 0x100), std::vector<BYTE>{0x0a});
    EXPECT_EQ(raw(L"Long", REG_BINARY), (std::vector<BYTE>{0, 1, 2, 3, 4, 5, 6}));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(h, L"Gone", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SubkeyNames(h), std::vector<std::wstring>{L"Short"});
    RegCloseKey(h);
    EXPECT_EQ(GetText(L"SOFTWARE\\Kvn\\Short", L"\u00dcn\u00efcode"), L"gr\u00fc\u00dfe");
    wchar_t user[8];
    size = sizeof user;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Kvn", L"User", RRF_RT_REG_SZ, nullptr, user, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(user), L"yes");
  }
}

TEST(RegistryFile, ErrorsNameTheFileAndLine) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  const struct {
    const char *what;
    std::string text;
    int line;
    const char *reason;
  } cases[] = {
      {"no header", "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", 1, "expected \"Windows Registry Editor Version 5.00\""},
      {"REGEDIT4", "REGEDIT4\n", 1, "REGEDIT4 files are not read"},
      {"unknown root", header + "[HKEY_NOWHERE\\x]\n", 3, "unknown root key \"HKEY_NOWHERE\""},
      {"unclosed key", header + "[HKEY_LOCAL_MACHINE\\x\n", 3, "closing ']'"},
      {"value before key", header + "\"a\"=\"b\"\n", 3, "before any [key]"},
      {"unterminated text", header + "[HKLM\\x]\n\"a\"=\"b\n", 4, "without its closing '\"'"},
      {"unknown escape", header + "[HKLM\\x]\n\"a\"=\"\\q\"\n", 4, "unknown escape \\q"},
      {"long dword", header + "[HKLM\\x]\n\"a\"=dword:123456789\n", 4, "1 to 8 hex digits"},
      {"bad hex byte", header + "[HKLM\\x]\n\"a\"=hex:01,zz\n", 4, "expected a hex byte"},
      {"three-digit byte", header + "[HKLM\\x]\n\"a\"=hex:123\n", 4, "at most two digits"},
      {"continued past the end", header + "[HKLM\\x]\n\"a\"=hex:01,\\\n", 4, "past the end of the file"},
      {"bad line in continuation", header + "[HKLM\\x]\n\"a\"=hex:01,\\\n  02,\\\n  xx\n", 6, "expected a hex byte"},
      {"unknown data", header + "[HKLM\\x]\n\"a\"=str:x\n", 4, "unknown value data"},
      {"no '='", header + "[HKLM\\x]\n\"a\" \"b\"\n", 4, "expected '='"},
      {"value under a deleted key", header + "[-HKLM\\x]\n\"a\"=\"b\"\n", 4, "under a deleted key"},
      {"stray text", header + "[HKLM\\x]\nhello\n", 4, "unexpected text"},
      {"deleting a root", header + "[-HKEY_USERS]\n", 3, "root key cannot be deleted"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine machine;
    winsim::CloseMachine();
    WriteAll(machine.Dir() / "registry.reg", c.text);
    std::string error;
    EXPECT_FALSE(winsim::OpenMachine(machine.Dir(), error));
    EXPECT_FALSE(winsim::IsMachineOpen());
    std::string where = (machine.Dir() / "registry.reg").string() + ":" + std::to_string(c.line) + ": ";
    EXPECT_EQ(error.rfind(where, 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

const char *const kCanonical = R"(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Kvn]
"User"="yes"

[HKEY_LOCAL_MACHINE\SOFTWARE\Kvn]
"Zeta"="set first"
@="default"
"Path"="C:\\Program Files\\Kvn \"quoted\""
"Count"=dword:0000002a
"Empty"=""
"Flags"=hex:00,01,ff
"NoData"=hex:
"Raw"=hex(0):01
"Big"=hex(b):ef,cd,ab,89,67,45,23,01
"Unterminated"=hex(1):41,00
"WithNewline"=hex(1):61,00,0a,00,00,00
"Short"=hex(4):01,00
"Custom"=hex(ffff0012):01,02
"Über"="grüße"
"DependOnService"=hex(7):66,00,69,00,72,00,73,00,74,00,00,00,73,00,65,00,63,00,\
  6f,00,6e,00,64,00,00,00,00,00

[HKEY_LOCAL_MACHINE\SOFTWARE\Kvn\alpha]

[HKEY_LOCAL_MACHINE\SOFTWARE\Kvn\Beta]
@=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\
  18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27

[HKEY_LOCAL_MACHINE\SOFTWARE\Kvn\Beta\gamma]

[HKEY_LOCAL_MACHINE\SOFTWARE\Kvn Other]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\z40e]
"Type"=dword:00000001
"ImagePath"=hex(2):5c,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,\
  74,00,5c,00,53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,64,00,72,\
  00,69,00,76,00,65,00,72,00,73,00,5c,00,7a,00,34,00,30,00,65,00,36,00,34,00,\
  2e,00,73,00,79,00,73,00,00,00

[HKEY_USERS\.DEFAULT]

)";

TEST(RegistryFile, CanonicalFileIsSavedByteForByte) {
  TestMachine machine;
  const std::string canonical = Crlf(kCanonical);
  LoadRegistryFile(machine, canonical);
  // Loaded as written: the text with a newline is REG_SZ, the subtree order is the file's.
  DWORD type = kSentinel, size = 0;
  HKEY h = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kvn", KEY_READ);
  EXPECT_EQ(RegQueryValueExW(h, L"WithNewline", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(SubkeyNames(h), (std::vector<std::wstring>{L"alpha", L"Beta"}));
  RegCloseKey(h);
  winsim::CloseMachine();
  EXPECT_EQ(ReadAll(machine.Dir() / "registry.reg"), canonical);
}

TEST(RegistryFile, OtherFilesAreSavedInCanonicalForm) {
  TestMachine machine;
  LoadRegistryFile(machine,
                   "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
                   "[HKEY_LOCAL_MACHINE\\SYSTEM\\B]\n"
                   "\"Bin\"=hex:01,\\\n    02\n"
                   "[HKLM\\SYSTEM\\a]\n"
                   "\"V\"=dword:A\n"
                   "\"S\"=hex(1):62,00,00,00\n");
  winsim::CloseMachine();
  EXPECT_EQ(ReadAll(machine.Dir() / "registry.reg"), Crlf("Windows Registry Editor Version 5.00\n\n"
                                                          "[HKEY_LOCAL_MACHINE\\SYSTEM\\a]\n"
                                                          "\"V\"=dword:0000000a\n"
                                                          "\"S\"=\"b\"\n\n"
                                                          "[HKEY_LOCAL_MACHINE\\SYSTEM\\B]\n"
                                                          "\"Bin\"=hex:01,02\n\n"));
}

TEST(RegistryFile, KeysWithLineBreaksAreLeftOutOfTheFile) {
  TestMachine machine;
  HKEY h = Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kvn\\two\nlines");
  ASSERT_EQ(SetDword(h, L"v", 1), ERROR_SUCCESS);
  RegCloseKey(h);
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kvn\\Kept"));
  machine.Reopen();  // the file it wrote loads again
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kvn\\Kept"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kvn\\two\nlines"));
}

// Text that is not Unicode reads as U+FFFD, so the file saved from it loads as it was read and
// saves again byte for byte the same (the siblings keep their order).
TEST(RegistryFile, TextThatIsNotUnicodeReadsAsReplacementCharacters) {
  const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kvn\\";
  auto utf16 = [](const std::string &utf8) { return Utf16(utf8).substr(2); };
  const struct {
    const char *what;
    std::string file;
    std::wstring name;  // the odd key's name as read
  } cases[] = {
      {"past U+10FFFF", header + "a\xF6\xA4\xB7\xAA]\r\n", L"a\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"a surrogate in UTF-8", header + "a\xED\xA0\x80]\r\n", L"a\uFFFD\uFFFD\uFFFD"},
      {"an overlong '/'", header + "a\xC0\xAF]\r\n", L"a\uFFFD\uFFFD"},
      {"a sequence cut short", header + "a\xE2\x82z]\r\n", L"a\uFFFD\uFFFDz"},
      {"a lone surrogate in UTF-16LE", Utf16(header + "a") + std::string("\x00\xD8", 2) + utf16("]\r\n"), L"a\uFFFD"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine machine;
    LoadRegistryFile(machine, c.file);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kvn\\a\u00e9"));
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kvn\\b"));
    auto names = [] {
      HKEY h = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kvn", KEY_READ);
      std::vector<std::wstring> out = SubkeyNames(h);
      RegCloseKey(h);
      return out;
    };
    std::vector<std::wstring> read = names();
    EXPECT_NE(std::find(read.begin(), read.end(), c.name), read.end());
    machine.Reopen();
    EXPECT_EQ(names(), read);
    std::string saved = ReadAll(machine.Dir() / "registry.reg");
    machine.Reopen();
    EXPECT_EQ(ReadAll(machine.Dir() / "registry.reg"), saved);
  }
}

TEST(RegistryFile, NoFileIsWrittenForAnEmptyRegistry) {
  TestMachine machine;
  machine.Reopen();
  EXPECT_FALSE(fs::exists(machine.Dir() / "registry.reg"));
}

TEST(RegistryFile, CurrentVersionFromMachineToml) {
  TestMachine machine("[os]\ncurrent_version = \"6.1\"\n");
  EXPECT_EQ(GetText(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentVersion"), L"6.1");
  // It replaces the file's value and leaves the key's other values alone.
  LoadRegistryFile(machine,
                   "Windows Registry Editor Version 5.00\n\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
                   "\"CurrentVersion\"=\"6.3\"\n\"CurrentBuild\"=\"7601\"\n");
  EXPECT_EQ(GetText(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentVersion"), L"6.1");
  EXPECT_EQ(GetText(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentBuild"), L"7601");
  winsim::CloseMachine();
  EXPECT_NE(ReadAll(machine.Dir() / "registry.reg").find("\"CurrentVersion\"=\"6.1\"\r\n\"CurrentBuild\""),
            std::string::npos);

  WriteAll(machine.Dir() / "machine.toml", "[os]\ncurrent_version = 6.1\n");
  std::string error;
  EXPECT_FALSE(winsim::OpenMachine(machine.Dir(), error));
  EXPECT_NE(error.find("current_version"), std::string::npos) << error;
}

}  // namespace
