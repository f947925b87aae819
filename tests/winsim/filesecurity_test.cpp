// File owners, access lists and junctions of the simulated machine.
#include <windows.h>

#include <gtest/gtest.h>
#include <winsim.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testmachine.h"

namespace fs = std::filesystem;

namespace {
const std::string kAdminsOnly = "Administrators protected: Administrators=2032127 SYSTEM=2032127";

// Administrators and SYSTEM full control, inherited by what is created inside, protected.
bool CreateAdminsOnlyFolder(const wchar_t *path) {
  alignas(DWORD) BYTE buffer[128];
  auto *acl = reinterpret_cast<PACL>(buffer);
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr, system = nullptr;
  AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins);
  AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system);
  SECURITY_DESCRIPTOR sd;
  InitializeAcl(acl, sizeof buffer, ACL_REVISION);
  AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, admins);
  AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, system);
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
  SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
  BOOL ok = CreateDirectoryW(path, &sa);
  FreeSid(admins);
  FreeSid(system);
  return ok;
}

// The result and last error of one file operation.
std::string Outcome(BOOL ok) { return ok ? "ok" : "error " + std::to_string(GetLastError()); }
std::string OpenOutcome(const wchar_t *path, DWORD access, DWORD disposition) {
  HANDLE h = CreateFileW(path, access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Outcome(FALSE);
  CloseHandle(h);
  return "ok";
}
}  // namespace

TEST(FileSecurity, AccessListsDecideWritingCreatingDeletingAndRenaming) {
  TestMachine m(
      "[[file_security]]\npath = 'C:\\nowrite'\ndeny = [ { who = 'Everyone', access = 'write' } ]\n"
      "allow = [ { who = 'Administrators', access = 'full' } ]\n"
      "[[file_security]]\npath = 'C:\\sysonly'\nprotected = true\nallow = [ { who = 'SYSTEM', access = 'full' } ]\n"
      "[[file_security]]\npath = 'C:\\sysonly\\open'\nallow = [ { who = 'Users', access = 'full' } ]\n");
  m.Write(L"C:\\nowrite\\f.txt", "x");
  m.Write(L"C:\\sysonly\\f.txt", "x");
  m.Write(L"C:\\sysonly\\open\\g.txt", "x");
  const DWORD denied = ERROR_ACCESS_DENIED;
  struct {
    const char *what;
    std::string outcome;
    std::string expected;
  } const cases[] = {
      {"read a file under a write denial", OpenOutcome(L"C:\\nowrite\\f.txt", GENERIC_READ, OPEN_EXISTING), "ok"},
      {"write it", OpenOutcome(L"C:\\nowrite\\f.txt", GENERIC_WRITE, OPEN_EXISTING),
       Outcome((SetLastError(denied), 0))},
      {"create a file there", OpenOutcome(L"C:\\nowrite\\new.txt", GENERIC_WRITE, CREATE_NEW),
       Outcome((SetLastError(denied), 0))},
      {"copy onto it", Outcome(CopyFileW(L"C:\\sysonly\\open\\g.txt", L"C:\\nowrite\\f.txt", FALSE)),
       Outcome((SetLastError(denied), 0))},
      {"create a folder in a SYSTEM-only folder", Outcome(CreateDirectoryW(L"C:\\sysonly\\sub", nullptr)),
       Outcome((SetLastError(denied), 0))},
      {"delete a file of it", Outcome(DeleteFileW(L"C:\\sysonly\\f.txt")), Outcome((SetLastError(denied), 0))},
      {"rename a file out of it", Outcome(MoveFileW(L"C:\\sysonly\\f.txt", L"C:\\f.txt")),
       Outcome((SetLastError(denied), 0))},
      {"its own entry opens a subfolder", OpenOutcome(L"C:\\sysonly\\open\\g.txt", GENERIC_WRITE, OPEN_EXISTING), "ok"},
      // The root lets Administrators delete what is in it, whatever the folder's own list says.
      {"rename the SYSTEM-only folder at the root", Outcome(MoveFileW(L"C:\\sysonly", L"C:\\aside")), "ok"},
  };
  for (const auto &c : cases) EXPECT_EQ(c.outcome, c.expected) << c.what;
}

TEST(FileSecurity, NewFoldersInheritOrKeepTheListTheyWereCreatedWith) {
  TestMachine m;
  ASSERT_TRUE(CreateDirectoryW(L"C:\\plain", nullptr));
  ASSERT_TRUE(CreateAdminsOnlyFolder(L"C:\\safe"));
  ASSERT_TRUE(CreateDirectoryW(L"C:\\safe\\inner", nullptr));
  m.Write(L"C:\\safe\\inner\\file.txt", "x");
  struct {
    const wchar_t *path;
    std::string security;
  } const cases[] = {
      // What a folder an administrator creates at the root inherits: Users read and execute
      // (545) and create folders, Authenticated Users (11) modify.
      {L"C:\\plain", "Administrators: Administrators=2032127 SYSTEM=2032127 545=1179817 545=4 11=1245631"},
      {L"C:\\safe", kAdminsOnly},
      {L"C:\\safe\\inner", "Administrators: Administrators=2032127 SYSTEM=2032127"},
      {L"C:\\safe\\inner\\file.txt", "Administrators: Administrators=2032127 SYSTEM=2032127"},
  };
  for (const auto &c : cases) EXPECT_EQ(FileSecurityText(c.path), c.security);
  // The list is the machine's: it is written back and read again.
  m.Reopen();
  EXPECT_EQ(FileSecurityText(L"C:\\safe"), kAdminsOnly);
  // A removed folder takes its list with it; a new one of that name inherits again.
  ASSERT_TRUE(DeleteFileW(L"C:\\safe\\inner\\file.txt"));
  ASSERT_TRUE(RemoveDirectoryW(L"C:\\safe\\inner"));
  ASSERT_TRUE(RemoveDirectoryW(L"C:\\safe"));
  ASSERT_TRUE(CreateDirectoryW(L"C:\\safe", nullptr));
  EXPECT_EQ(FileSecurityText(L"C:\\safe"), FileSecurityText(L"C:\\plain"));
  // Two-call sizing and its errors.
  DWORD needed = 0;
  EXPECT_FALSE(GetFileSecurityW(L"C:\\safe", DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GT(needed, 20u);
  EXPECT_FALSE(GetFileSecurityW(L"C:\\missing", DACL_SECURITY_INFORMATION, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(GetFileSecurityW(L"C:\\safe", SACL_SECURITY_INFORMATION, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PRIVILEGE_NOT_HELD));
}

TEST(FileSecurity, JunctionsAreFollowedAndRemovedWithoutTheirTarget) {
  TestMachine m;
  m.Write(L"C:\\Windows\\System32\\kernel32.dll", "system");
  m.Write(L"C:\\data\\readme.txt", "x");
  winsim::CloseMachine();
  std::ofstream(m.Dir() / "machine.toml", std::ios::app)
      << "[[file_security]]\npath = 'C:\\data\\link'\nlink_target = 'C:\\Windows\\System32'\n";
  std::string error;
  ASSERT_TRUE(winsim::OpenMachine(m.Dir(), error)) << error;

  EXPECT_EQ(GetFileAttributesW(L"C:\\data\\link"), DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(GetFileAttributesW(L"C:\\data\\link\\kernel32.dll") & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  // Writing through the link writes into the target, with the target's security.
  EXPECT_EQ(OpenOutcome(L"C:\\data\\link\\new.txt", GENERIC_WRITE, CREATE_NEW), "ok");
  EXPECT_TRUE(m.Exists(L"C:\\Windows\\System32\\new.txt"));
  EXPECT_EQ(FileSecurityText(L"C:\\data\\link"), FileSecurityText(L"C:\\Windows\\System32"));
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(L"C:\\data\\link", &found);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, DWORD(FILE_ATTRIBUTE_REPARSE_POINT));
  FindClose(h);
  // A rename moves the link; removing it leaves the target and its files.
  ASSERT_TRUE(MoveFileW(L"C:\\data\\link", L"C:\\link2"));
  EXPECT_EQ(GetFileAttributesW(L"C:\\link2\\kernel32.dll") & FILE_ATTRIBUTE_DIRECTORY, 0u);
  m.Reopen();
  EXPECT_EQ(GetFileAttributesW(L"C:\\link2"), DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  ASSERT_TRUE(RemoveDirectoryW(L"C:\\link2"));
  EXPECT_EQ(GetFileAttributesW(L"C:\\link2"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(m.Read(L"C:\\Windows\\System32\\kernel32.dll"), "system");
  EXPECT_TRUE(m.Exists(L"C:\\Windows\\System32\\new.txt"));
  m.Reopen();
  EXPECT_EQ(GetFileAttributesW(L"C:\\link2"), INVALID_FILE_ATTRIBUTES);
}

TEST(FileSecurity, MachineEntriesThatCannotBeMadeStopTheLoad) {
  struct {
    const char *toml;
    const char *says;
  } const cases[] = {
      {"[[file_security]]\npath = 'C:\\l'\nlink_target = 'C:\\missing'\n", "is not a folder of the machine"},
      {"[[file_security]]\npath = 'C:\\data'\nlink_target = 'C:\\Windows'\n", "exists and is not a link"},
      {"[[file_security]]\npath = 'C:\\l'\nlink_target = 'C:\\Windows'\nowner = 'Users'\n",
       "owner does not go with link_target"},
      {"[[file_security]]\npath = 'C:\\l'\nowner = 'Nobody'\n", "owner \"Nobody\" is not"},
      {"[[file_security]]\npath = 'data'\n", "path must be a full path"},
      {"[[file_security]]\npath = 'C:\\l'\nprotected = true\n", "protected needs the entry's own allow list"},
      {"[[file_security]]\npath = 'C:\\l'\nallow = [ { who = 'Users', access = 'most' } ]\n",
       "access \"most\" is not one of"},
  };
  TestMachine m;
  m.Write(L"C:\\Windows\\win.ini", "");
  m.Write(L"C:\\data\\x.txt", "");
  winsim::CloseMachine();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.toml);
    std::ofstream(m.Dir() / "machine.toml", std::ios::trunc) << c.toml;
    std::string error;
    EXPECT_FALSE(winsim::OpenMachine(m.Dir(), error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  std::ofstream(m.Dir() / "machine.toml", std::ios::trunc) << "";
  std::string error;
  ASSERT_TRUE(winsim::OpenMachine(m.Dir(), error)) << error;
}

TEST(FileSecurity, TheProcessTokenNamesAdministratorsAsTheOwnerOfWhatItCreates) {
  TestMachine m;
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD needed = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenOwner, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetTokenInformation(token, TokenOwner, buffer.data(), needed, &needed));
  ASSERT_TRUE(CreateDirectoryW(L"C:\\mine", nullptr));
  DWORD size = 0;
  GetFileSecurityW(L"C:\\mine", OWNER_SECURITY_INFORMATION, nullptr, 0, &size);
  std::vector<BYTE> sd(size);
  ASSERT_TRUE(GetFileSecurityW(L"C:\\mine", OWNER_SECURITY_INFORMATION, sd.data(), size, &size));
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(sd.data(), &owner, &defaulted));
  EXPECT_TRUE(EqualSid(owner, reinterpret_cast<TOKEN_OWNER *>(buffer.data())->Owner));
  EXPECT_FALSE(GetTokenInformation(token, TokenPrivileges, buffer.data(), needed, &needed));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
  // The user is the built-in Administrator account, not the group that owns what it makes.
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed) || needed);
  std::vector<BYTE> user(needed);
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, user.data(), needed, &needed));
  PSID account = reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;
  EXPECT_EQ(GetLengthSid(account), 28u);
  EXPECT_FALSE(EqualSid(account, owner));
  EXPECT_TRUE(CloseHandle(token));
}
