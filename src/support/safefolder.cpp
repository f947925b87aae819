#include "support/safefolder.h"

#include <string>
#include <vector>

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
  }
  ~TrustedSids() {
    if (m_admins) FreeSid(m_admins);
    if (m_system) FreeSid(m_system);
  }
  TrustedSids(const TrustedSids &) = delete;
  TrustedSids &operator=(const TrustedSids &) = delete;

  bool IsValid() const { return m_admins && m_system; }
  PSID Admins() const { return m_admins; }
  PSID System() const { return m_system; }
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
};

// A real folder owned by Administrators or SYSTEM whose access list gives no one else a
// right to change it or what is created in it (deny entries take nothing away here).
bool IsSafe(const std::wstring &path, DWORD attrs, const TrustedSids &sids) {
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY) || (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  const SECURITY_INFORMATION which = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  if (GetFileSecurityW(path.c_str(), which, nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;
  std::vector<BYTE> descriptor(needed);
  if (!GetFileSecurityW(path.c_str(), which, descriptor.data(), needed, &needed)) return false;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || !sids.Holds(owner)) return false;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  // No access list, or a null one, lets everyone do everything.
  if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present || !dacl) return false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    LPVOID ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    BYTE type = static_cast<ACE_HEADER *>(ace)->AceType;
    if (type == ACCESS_DENIED_ACE_TYPE) continue;
    if (type != ACCESS_ALLOWED_ACE_TYPE) return false;  // a kind of entry not looked into
    auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
    if ((allowed->Mask & kWriteRights) && !sids.Holds(&allowed->SidStart)) return false;
  }
  return true;
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

bool MakeSafeFolder(const WCHAR *folder) {
  if (!folder) return false;
  std::wstring path = folder;
  bool letter = path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
  if (!letter || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/')) return false;
  TrustedSids sids;
  if (!sids.IsValid()) return false;
  std::wstring prefix = path.substr(0, 2);
  std::wstring part;
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
    } else if (IsSafe(prefix, attrs, sids)) {
      continue;
    } else if (!MoveAside(prefix, attrs)) {
      return false;
    }
    if (!CreateProtectedFolder(prefix, sids)) return false;
  }
  return true;
}
