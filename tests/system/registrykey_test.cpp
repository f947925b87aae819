#include "system/registrykey.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "testmachine.h"

namespace {
const wchar_t *const kBase = L"SOFTWARE\\KvnTest";

// The registry seen through the Reg* calls directly, to check what RegistryKey did.
bool KeyExists(const std::wstring &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void SetValue(const std::wstring &path, const wchar_t *name, DWORD type, const void *data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size), ERROR_SUCCESS);
  RegCloseKey(key);
}

std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }

void SetString(const std::wstring &path, const wchar_t *name, const std::wstring &text, DWORD type = REG_SZ) {
  SetValue(path, name, type, text.c_str(), DWORD((text.size() + 1) * sizeof(WCHAR)));
}
}  // namespace

TEST(RegistryKey, ReadsValuesOnlyOfTheirType) {
  TestMachine machine;
  std::wstring path = std::wstring(kBase) + L"\\Values";
  DWORD number = 7;
  SetValue(path, L"Number", REG_DWORD, &number, sizeof number);
  SetString(path, L"Text", std::wstring(200, L'x'));
  SetString(path, L"Long", std::wstring(260, L'y'));
  SetString(path, L"Edge", std::wstring(259, L'z'));
  SetString(path, L"Expand", L"%SystemRoot%", REG_EXPAND_SZ);

  RegistryKey key(path.c_str());
  DWORD value = 0xdeadbeef;
  EXPECT_TRUE(key.ReadDword(L"Number", &value));
  EXPECT_EQ(value, 7u);
  value = 0xdeadbeef;
  EXPECT_FALSE(key.ReadDword(L"Text", &value));  // a string is no DWORD
  EXPECT_FALSE(key.ReadDword(L"Missing", &value));
  EXPECT_EQ(value, 0xdeadbeefu);

  CStr text(L"untouched");
  EXPECT_TRUE(key.ReadString(L"Text", &text));
  EXPECT_EQ(text.GetLength(), 200);
  EXPECT_TRUE(key.ReadString(L"Edge", &text));
  EXPECT_EQ(text.GetLength(), 259);
  text = L"untouched";
  EXPECT_FALSE(key.ReadString(L"Long", &text));  // does not fit 260 characters with its terminator
  EXPECT_FALSE(key.ReadString(L"Expand", &text));
  EXPECT_FALSE(key.ReadString(L"Number", &text));
  EXPECT_EQ(text, CStr(L"untouched"));
}

TEST(RegistryKey, WriteDwordCreatesTheKeyAndItsParents) {
  TestMachine machine;
  std::wstring path = std::wstring(kBase) + L"\\A\\B\\C";
  RegistryKey key(path.c_str());
  EXPECT_FALSE(key.Exists());
  EXPECT_TRUE(key.WriteDword(L"Start", 3));
  EXPECT_TRUE(KeyExists(path));
  DWORD value = 0;
  EXPECT_TRUE(key.ReadDword(L"Start", &value));
  EXPECT_EQ(value, 3u);
  EXPECT_TRUE(key.DeleteValue(L"Start"));
  EXPECT_FALSE(key.ReadDword(L"Start", &value));
  EXPECT_FALSE(key.DeleteValue(L"Start"));
}

TEST(RegistryKey, EmptyPathFailsEverything) {
  TestMachine machine;
  RegistryKey key(L"");
  DWORD value = 0;
  CStr text;
  EXPECT_FALSE(key.Open());
  EXPECT_FALSE(key.Create());
  EXPECT_FALSE(key.Exists());
  EXPECT_FALSE(key.ReadDword(L"x", &value));
  EXPECT_FALSE(key.ReadString(L"x", &text));
  EXPECT_FALSE(key.WriteDword(L"x", 1));
  EXPECT_FALSE(key.DeleteValue(L"x"));
  EXPECT_TRUE(key.DeleteTree());  // nothing there to delete
}

TEST(RegistryKey, RemoteMachineCannotBeReached) {
  TestMachine machine;
  RegistryKey key(L"\\\\FARAWAY", L"SOFTWARE");
  EXPECT_FALSE(key.Exists());
  RegistryKey local(L"", L"SOFTWARE");
  EXPECT_TRUE(local.Create());
  local.Close();
}

TEST(RegistryKey, DeleteTreeRemovesNestedKeysDeepestFirst) {
  TestMachine machine;
  std::wstring root = std::wstring(kBase) + L"\\Tree";
  for (const wchar_t *sub : {L"\\a\\a1\\a11", L"\\a\\a2", L"\\b", L"\\c\\c1"}) SetString(root + sub, L"v", L"x");
  RegistryKey key(root.c_str());
  EXPECT_TRUE(key.DeleteTree());
  EXPECT_FALSE(KeyExists(root));
  EXPECT_TRUE(KeyExists(kBase));
  EXPECT_TRUE(RegistryKey(L"SOFTWARE\\KvnTest\\Missing").DeleteTree());
}

TEST(RegistryKey, ProtectedKeyIsDeletedAfterItsAccessListIsReplaced) {
  TestMachine machine("protected_keys = ['HKEY_LOCAL_MACHINE\\SOFTWARE\\KvnTest\\Locked']\n");
  std::wstring locked = std::wstring(kBase) + L"\\Locked";
  SetString(locked + L"\\Inner", L"v", L"x");
  SetString(locked, L"EventMessageFile", L"C:\\Windows\\System32\\x.dll");
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, (locked + L"\\Inner").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, locked.c_str()), ERROR_ACCESS_DENIED);
  RegistryKey key(locked.c_str());
  EXPECT_TRUE(key.DeleteTree());
  EXPECT_FALSE(KeyExists(locked));
}

TEST(RegistryKey, GrantFullAccessGivesAdministratorsAndSystemOnly) {
  TestMachine machine;
  std::wstring path = std::wstring(kBase) + L"\\Acl";
  SetString(path, L"v", L"x");
  RegistryKey key(path.c_str());
  ASSERT_TRUE(key.GrantFullAccess(HKEY_LOCAL_MACHINE, path.c_str()));
  HKEY handle = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &handle), ERROR_SUCCESS);
  DWORD size = 0;
  ASSERT_EQ(RegGetKeySecurity(handle, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
  std::vector<BYTE> block(size);
  ASSERT_EQ(RegGetKeySecurity(handle, DACL_SECURITY_INFORMATION, block.data(), &size), ERROR_SUCCESS);
  RegCloseKey(handle);
  // A self-relative descriptor: the DACL is present, not null, with two entries.
  auto *sd = reinterpret_cast<const SECURITY_DESCRIPTOR *>(block.data());
  EXPECT_TRUE(sd->Control & SE_DACL_PRESENT);
  DWORD daclOffset = 0;
  std::memcpy(&daclOffset, block.data() + 16, sizeof daclOffset);  // self-relative layout
  ASSERT_NE(daclOffset, 0u) << "a null DACL would let every user write the key";
  ACL acl;
  std::memcpy(&acl, block.data() + daclOffset, sizeof acl);
  EXPECT_EQ(acl.AceCount, 2);
}

TEST(RegistryKey, RefusedDeletionIsRetriedOnceOnly) {
  // Every deletion refused: DeleteTree answers false rather than trying again and again.
  TestMachine machine("[[faults]]\nfunction = \"RegDeleteKeyW\"\nerror = 5\n");
  std::wstring path = std::wstring(kBase) + L"\\Stuck";
  SetString(path + L"\\Child", L"v", L"x");
  RegistryKey key(path.c_str());
  EXPECT_FALSE(key.DeleteTree());
  EXPECT_TRUE(KeyExists(path + L"\\Child"));
}

TEST(RegistryKey, DeleteTreeFailsOnKeysItCannotOpenOrThatSurvive) {
  // A system key that gives Administrators read access only (owner SYSTEM, so its access
  // list cannot be replaced either), and a deletion that answers success but leaves the key.
  // The 200th enumeration fails, so that a walk asking for the same subkey again and again
  // ends instead of hanging.
  const std::string systemKey =
      "[[key_security]]\npath = 'SOFTWARE\\KvnTest\\Svc\\System'\nowner = \"SYSTEM\"\n"
      "allow = [ { who = \"SYSTEM\", access = \"full\" }, { who = \"Administrators\", access = \"read\" } ]\n";
  const std::string bound = "[[faults]]\nfunction = \"RegEnumKeyExW\"\nnth = 200\nerror = 1\n";
  const std::string ghost = "[[faults]]\nfunction = \"RegDeleteKeyW\"\nwhen_arg_contains = \"Ghost\"\nerror = 0\n";
  const struct {
    std::string toml;
    const wchar_t *target;  // below kBase
    bool result;
    std::vector<const wchar_t *> left;  // keys below kBase still there afterwards
  } cases[] = {
      {systemKey + bound, L"Svc\\System", false, {L"Svc\\System", L"Svc\\System\\Enum"}},
      {systemKey + bound, L"Svc", false, {L"Svc", L"Svc\\System"}},
      {ghost + bound, L"Svc", false, {L"Svc", L"Svc\\Ghost"}},
      {bound, L"Svc", true, {}},
      {systemKey + bound, L"Missing", true, {L"Svc\\System"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.toml + Narrow(c.target));
    TestMachine machine(c.toml);
    for (const wchar_t *sub : {L"\\Svc\\System\\Enum", L"\\Svc\\Ghost", L"\\Svc\\Plain"}) {
      HKEY key = nullptr;
      // Created by the machine's owner before the access list applies to it.
      ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kBase) + sub).c_str(), 0, nullptr, 0, KEY_READ,
                                nullptr, &key, nullptr),
                ERROR_SUCCESS);
      RegCloseKey(key);
    }
    RegistryKey key((std::wstring(kBase) + L"\\" + c.target).c_str());
    EXPECT_EQ(key.DeleteTree(), c.result);
    for (const wchar_t *left : c.left) EXPECT_TRUE(KeyExists(std::wstring(kBase) + L"\\" + left)) << Narrow(left);
    if (c.result) {
      EXPECT_FALSE(KeyExists(std::wstring(kBase) + L"\\" + c.target));
    }
  }
}
