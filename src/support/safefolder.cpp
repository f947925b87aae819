#include "support/safefolder.h"

#include <aclapi.h>

#include <string>
#include <vector>

#include "support/handles.h"

namespace {
// The rights that let a holder change a folder or what is created in it.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                     GENERIC_ALL;

// The accounts a safe folder may belong to and that may write to it: Administrators,
// SYSTEM, and the account this process runs as (an elevated administrator's own account is
// no stranger to it; Wine gives what a process creates to that account), freed with the
// object.
class TrustedSids {
 public:
  TrustedSids() {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      DWORD needed = 0;
      if (!GetTokenInformation(token, TokenUser, nullptr, 0, &needed) && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        m_tokenUser.resize(needed);
        if (!GetTokenInformation(token, TokenUser, m_tokenUser.data(), needed, &needed)) m_tokenUser.clear();
      }
      CloseHandle(token);
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &m_admins))
      m_admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &m_system))
      m_system = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0, 0, 0,
                                  &m_users))
      m_users = nullptr;
  }
  ~TrustedSids() {
    if (m_admins) FreeSid(m_admins);
    if (m_system) FreeSid(m_system);
    if (m_users) FreeSid(m_users);
  }
  TrustedSids(const TrustedSids &) = delete;
  TrustedSids &operator=(const TrustedSids &) = delete;

  bool IsValid() const { return m_admins && m_system && m_users; }
  PSID Admins() const { return m_admins; }
  PSID System() const { return m_system; }
  PSID Users() const { return m_users; }  // not trusted: only given read access
  bool Holds(PSID sid) const {
    if (!sid) return false;
    if (EqualSid(sid, m_admins) || EqualSid(sid, m_system)) return true;
    if (m_tokenUser.size() < sizeof(TOKEN_USER)) return false;
    PSID own = reinterpret_cast<const TOKEN_USER *>(m_tokenUser.data())->User.Sid;
    return own && EqualSid(sid, own);
  }

 private:
  std::vector<BYTE> m_tokenUser;  // a TOKEN_USER and the SID it points to
  PSID m_admins = nullptr;
  PSID m_system = nullptr;
  PSID m_users = nullptr;
};

// The rights that let a holder take a folder over: change its access list or its owner.
constexpr ACCESS_MASK kTakeOverRights = WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

enum class Verdict {
  kSafe,        // a real folder of a trusted owner that no one else may change
  kFixInPlace,  // a real folder of a trusted owner that others may write to, but not take over
  kMoveAside,   // a link, a file, a foreign owner, a folder others may take over, or unreadable
};

// The security descriptor (owner and access list) of a file or folder; empty when it cannot
// be read.
std::vector<BYTE> SecurityOf(const std::wstring &path, SECURITY_INFORMATION which) {
  DWORD needed = 0;
  if (GetFileSecurityW(path.c_str(), which, nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return {};
  std::vector<BYTE> descriptor(needed);
  if (!GetFileSecurityW(path.c_str(), which, descriptor.data(), needed, &needed)) return {};
  return descriptor;
}

bool OwnedByTrusted(const std::vector<BYTE> &descriptor, const TrustedSids &sids) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  return !descriptor.empty() && GetSecurityDescriptorOwner(const_cast<BYTE *>(descriptor.data()), &owner, &defaulted) &&
         sids.Holds(owner);
}

// What must be done with an existing folder before the elevated process trusts it. Deny
// entries take nothing away here.
Verdict Judge(const std::wstring &path, DWORD attrs, const TrustedSids &sids) {
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY) || (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return Verdict::kMoveAside;
  std::vector<BYTE> descriptor = SecurityOf(path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
  if (!OwnedByTrusted(descriptor, sids)) return Verdict::kMoveAside;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  // No access list, or a null one, lets everyone do everything.
  if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present || !dacl)
    return Verdict::kMoveAside;
  Verdict verdict = Verdict::kSafe;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    LPVOID ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return Verdict::kMoveAside;
    const ACE_HEADER *header = static_cast<ACE_HEADER *>(ace);
    // An entry only passed on (CREATOR OWNER's, say) gives no right on the folder itself;
    // what others may create inside it shows in the entries that apply to it.
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return Verdict::kMoveAside;  // a kind of entry not looked into
    auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
    if (sids.Holds(&allowed->SidStart)) continue;
    if (allowed->Mask & kTakeOverRights) return Verdict::kMoveAside;
    if (allowed->Mask & kWriteRights) verdict = Verdict::kFixInPlace;
  }
  return verdict;
}

// Gives a folder of a trusted owner the protected access list of a safe folder
// (Administrators and SYSTEM full control, Users read, passed on to what is inside), through a
// handle that names the folder itself, never what a link put in its place would point to;
// then reads it back. False when the folder is not safe afterwards.
bool MakeSafeInPlace(const std::wstring &path, const TrustedSids &sids) {
  {
    unique_hfile folder(CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!folder || !GetFileInformationByHandle(folder.get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return false;
    alignas(DWORD) BYTE aclBuffer[160];
    auto *acl = reinterpret_cast<PACL>(aclBuffer);
    const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if (!InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, sids.Admins()) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, sids.System()) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, sids.Users()))
      return false;
    if (SetSecurityInfo(folder.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, acl, nullptr) != ERROR_SUCCESS)
      return false;
  }
  DWORD attrs = GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && Judge(path, attrs, sids) == Verdict::kSafe;
}

// Removes a junction (the link, never its target) or renames what is at `path` to a free
// name beside it; the contents go with it untouched.
bool MoveAside(const std::wstring &path, DWORD attrs) {
  if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) && RemoveDirectoryW(path.c_str())) return true;
  for (int n = 1; n <= 100; ++n) {
    std::wstring aside = path + L".unsafe" + std::to_wstring(n);
    if (MoveFileW(path.c_str(), aside.c_str())) return true;
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

// Administrators and SYSTEM full control, passed on to what is created inside, and marked
// protected so that nothing is inherited from the folder above.
bool CreateProtectedFolder(const std::wstring &path, const TrustedSids &sids) {
  alignas(DWORD) BYTE aclBuffer[128];
  auto *acl = reinterpret_cast<PACL>(aclBuffer);
  const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, sids.Admins()) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, sids.System()) ||
      !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
  return CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}
}  // namespace

namespace {
// A new access list does not take back handles opened before it: in a folder that others
// could write to, an entry that is a link, has more than one name or a foreign owner may be
// how a writer still reaches what the elevated process writes or installs. Each such entry of
// `folder` is moved aside. False when one cannot be, or the folder cannot be listed.
bool MoveAsideUntrustedEntries(const std::wstring &folder, const TrustedSids &sids) {
  WIN32_FIND_DATAW found;
  std::vector<std::pair<std::wstring, DWORD>> entries;
  {
    unique_hfind search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!search) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
      std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") entries.emplace_back(folder + L"\\" + name, found.dwFileAttributes);
    } while (FindNextFileW(search.get(), &found));
  }
  for (const auto &[path, attrs] : entries) {
    bool untrusted = attrs & FILE_ATTRIBUTE_REPARSE_POINT;
    if (!untrusted && !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
      unique_hfile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      BY_HANDLE_FILE_INFORMATION info = {};
      untrusted = !file || !GetFileInformationByHandle(file.get(), &info) || info.nNumberOfLinks > 1 ||
                  (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
                  !OwnedByTrusted(SecurityOf(path, OWNER_SECURITY_INFORMATION), sids);
    }
    if (untrusted && !MoveAside(path, attrs)) return false;
  }
  return true;
}
}  // namespace

bool MakeSafeFolder(const WCHAR *folder) {
  if (!folder) return false;
  std::wstring path = folder;
  bool letter = path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
  if (!letter || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/')) return false;
  TrustedSids sids;
  if (!sids.IsValid()) return false;
  std::wstring prefix = path.substr(0, 2);
  std::wstring part;
  bool fixedInPlace = false;  // a level was made safe where it stands: what it held is looked at
  for (size_t i = 3; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != L'\\' && path[i] != L'/') {
      part += path[i];
      continue;
    }
    if (part.empty()) continue;
    if (part == L"." || part == L"..") return false;  // each level must be the folder it names
    prefix += L"\\" + part;
    part.clear();
    DWORD attrs = GetFileAttributesW(prefix.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
      DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
    } else {
      Verdict verdict = Judge(prefix, attrs, sids);
      if (verdict == Verdict::kSafe) continue;
      // A folder others write to is often the host's own (it creates its log folder with what
      // the drive root passes on, and holds its log open in it): it is made safe where it is.
      if (verdict == Verdict::kFixInPlace && MakeSafeInPlace(prefix, sids)) {
        fixedInPlace = true;
        continue;
      }
      if (!MoveAside(prefix, attrs)) return false;
    }
    if (!CreateProtectedFolder(prefix, sids)) return false;
  }
  return !fixedInPlace || MoveAsideUntrustedEntries(prefix, sids);
}
