// The security calls (SIDs, ACLs, descriptors, tokens) over base/security.h, and the fixed
// memory blocks of GlobalAlloc and LocalAlloc.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <map>

#include "plumbing/hooks.h"
#include "plumbing/handles.h"
#include "plumbing/calls.h"
#include "base/diagnostics.h"

#include "base/security.h"

namespace winsim {

namespace {
// The blocks GlobalAlloc gave and the SIDs AllocateAndInitializeSid gave, each freed only
// by its own function. A block whose free was called but failed (a fault) stays live and is
// marked, so that the machine's close frees it; one never passed to a free stays a leak.
enum class Block { Global, Local, Sid };
struct LiveBlock {
  Block kind;
  bool freeFailed = false;
};
std::mutex g_blocksLock;
std::map<void *, LiveBlock> &Blocks() {
  static std::map<void *, LiveBlock> blocks;
  return blocks;
}
void *Allocate(Block kind, size_t bytes, bool zero) {
  void *p = zero ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (p) {
    std::lock_guard<std::mutex> lock(g_blocksLock);
    Blocks()[p] = {kind};
  }
  return p;
}
bool Release(Block kind, void *p) {
  std::lock_guard<std::mutex> lock(g_blocksLock);
  auto it = Blocks().find(p);
  if (it == Blocks().end() || it->second.kind != kind) return false;
  Blocks().erase(it);
  std::free(p);
  return true;
}
// GlobalAlloc and LocalAlloc: fixed blocks only (a moveable one is a handle for GlobalLock or
// LocalLock, which nothing here uses). GMEM_ZEROINIT and LMEM_ZEROINIT are the same bit.
void *AllocateFixed(Block kind, const char *function, UINT flags, SIZE_T bytes) {
  constexpr UINT kMoveable = 0x0002, kZeroInit = 0x0040;
  if (flags & kMoveable) {
    NotModelled(function, "a moveable block");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, static_cast<void *>(nullptr));
  }
  void *p = Allocate(kind, bytes, flags & kZeroInit);
  return p ? p : Fail(ERROR_NOT_ENOUGH_MEMORY, static_cast<void *>(nullptr));
}
// GlobalFree and LocalFree: null when freed (and for null); the block with
// ERROR_INVALID_HANDLE for anything else, a block of the other function included.
void *FreeBlock(Block kind, void *block) {
  if (!block) return nullptr;
  if (!Release(kind, block)) return Fail(ERROR_INVALID_HANDLE, block);
  return nullptr;
}
// A free function's entry whose fault keeps the block: marked as given back by the program.
void NoteFailedFree(void *p) {
  std::lock_guard<std::mutex> lock(g_blocksLock);
  if (auto it = Blocks().find(p); it != Blocks().end()) it->second.freeFailed = true;
}
// The machine's built-in Administrator account (RID 500), whom the simulated process runs as.
const std::vector<BYTE> &AdministratorSid() {
  static const std::vector<BYTE> sid = MakeSid(5, {21, 1004336348, 1177238915, 682003330, 500});
  return sid;
}

}  // namespace

// The entry of GlobalFree, LocalFree and FreeSid: as WINSIM_ENTRY, and a fault that fails the
// call marks the block it kept.
#define WINSIM_ENTRY_FREE(dll, name, block)                                                                        \
  WINSIM_ENTRY_BEGIN_(#name, dll, &::name);                                                                        \
  if (::winsim::FaultsArmed() && ::winsim::Faulted(#name, ::winsim::FailureKind::LastError, {}, &winsim_fault_)) { \
    NoteFailedFree(block);                                                                                         \
    return ::winsim::detail::FailWith<::winsim::detail::ReturnOf<decltype(&::name)>::type>(winsim_fault_, block);  \
  }

// The blocks a failed free kept go with the process's heap; the others stay, for the leak
// checker to report.
void ReleaseHeapBlocks() {
  std::lock_guard<std::mutex> lock(g_blocksLock);
  for (auto it = Blocks().begin(); it != Blocks().end();) {
    if (!it->second.freeFailed) {
      ++it;
      continue;
    }
    std::free(it->first);
    it = Blocks().erase(it);
  }
}

}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  WINSIM_ENTRY("advapi32.dll", InitializeSecurityDescriptor, FALSE);
  if (!pSecurityDescriptor) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION, FALSE);
  std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted) {
  WINSIM_ENTRY("advapi32.dll", SetSecurityDescriptorDacl, FALSE);
  auto *sd = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
  if (!sd) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION, FALSE);
  if (sd->Control & SE_SELF_RELATIVE) return Fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
  if (!bDaclPresent) {
    sd->Control &= ~SE_DACL_PRESENT;
    return TRUE;
  }
  sd->Control |= SE_DACL_PRESENT;
  sd->Dacl = pDacl;
  if (bDaclDefaulted)
    sd->Control |= SE_DACL_DEFAULTED;
  else
    sd->Control &= ~SE_DACL_DEFAULTED;
  return TRUE;
}

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  DescriptorParts parts;
  if (!ReadDescriptor(pSecurityDescriptor, parts)) return Fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
  return TRUE;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                     DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                     DWORD nSubAuthority6, DWORD nSubAuthority7, PSID *pSid) {
  WINSIM_ENTRY("advapi32.dll", AllocateAndInitializeSid, FALSE);
  if (!pIdentifierAuthority || !pSid) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (nSubAuthorityCount > 8) return Fail(ERROR_INVALID_SID, FALSE);
  const DWORD subs[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                         nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
  BYTE *sid = static_cast<BYTE *>(Allocate(Block::Sid, 8 + 4 * size_t(nSubAuthorityCount), false));
  if (!sid) return Fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  sid[0] = kSidRevision;
  sid[1] = nSubAuthorityCount;
  std::memcpy(sid + 2, pIdentifierAuthority->Value, 6);
  for (BYTE i = 0; i < nSubAuthorityCount; ++i) PutDword(sid + 8 + 4 * i, subs[i]);
  *pSid = sid;
  return TRUE;
}

// NULL when freed; the SID itself when it did not come from AllocateAndInitializeSid.
PVOID WINAPI FreeSid(PSID pSid) {
  WINSIM_ENTRY_FREE("advapi32.dll", FreeSid, pSid);
  return Release(Block::Sid, pSid) ? nullptr : pSid;
}

// Neither can fail: GetLengthSid of an invalid SID is undefined, IsValidSid sets no error.
DWORD WINAPI GetLengthSid(PSID pSid) { return SidLength(pSid); }
BOOL WINAPI IsValidSid(PSID pSid) { return SidIsValid(pSid) ? TRUE : FALSE; }

BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
  WINSIM_ENTRY("advapi32.dll", InitializeAcl, FALSE);
  if (!pAcl) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (nAclLength < sizeof(ACL)) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (dwAclRevision < kMinAclRevision || dwAclRevision > kMaxAclRevision || nAclLength > 0xFFFF)
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::memset(pAcl, 0, sizeof(ACL));
  pAcl->AclRevision = BYTE(dwAclRevision);
  pAcl->AclSize = WORD(nAclLength & ~3u);  // ACEs are DWORD-aligned; a ragged end is not used
  pAcl->AceCount = 0;
  return TRUE;
}

BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
  WINSIM_ENTRY("advapi32.dll", AddAccessAllowedAce, FALSE);
  if (!SidIsValid(pSid)) return Fail(ERROR_INVALID_SID, FALSE);
  if (!AclIsValid(pAcl)) return Fail(ERROR_INVALID_ACL, FALSE);
  if (dwAceRevision > kMaxAclRevision) return Fail(ERROR_UNKNOWN_REVISION, FALSE);
  BYTE *a = reinterpret_cast<BYTE *>(pAcl);
  size_t at = kAclHeader;
  for (WORD i = 0; i < pAcl->AceCount; ++i) at += GetWord(a + at + 2);
  size_t aceSize = kAceHeader + 4 + SidLength(pSid);
  if (at + aceSize > pAcl->AclSize) return Fail(ERROR_ALLOTTED_SPACE_EXCEEDED, FALSE);
  a[at] = ACCESS_ALLOWED_ACE_TYPE;
  a[at + 1] = 0;
  PutWord(a + at + 2, WORD(aceSize));
  PutDword(a + at + 4, AccessMask);
  std::memcpy(a + at + 8, pSid, SidLength(pSid));
  pAcl->AceCount = WORD(pAcl->AceCount + 1);
  if (dwAceRevision > pAcl->AclRevision) pAcl->AclRevision = BYTE(dwAceRevision);
  return TRUE;
}

BOOL WINAPI AddAccessAllowedAceEx(PACL pAcl, DWORD dwAceRevision, DWORD AceFlags, DWORD AccessMask, PSID pSid) {
  WINSIM_ENTRY("advapi32.dll", AddAccessAllowedAceEx, FALSE);
  constexpr DWORD kValidFlags =
      OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE;
  if (AceFlags & ~kValidFlags) return Fail(ERROR_INVALID_FLAGS, FALSE);
  if (!AddAccessAllowedAce(pAcl, dwAceRevision, AccessMask, pSid)) return FALSE;
  BYTE *a = reinterpret_cast<BYTE *>(pAcl);
  size_t at = kAclHeader;
  for (WORD i = 0; i + 1 < pAcl->AceCount; ++i) at += GetWord(a + at + 2);
  a[at + 1] = BYTE(AceFlags);
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                         SECURITY_DESCRIPTOR_CONTROL ControlBitsOfInterest,
                                         SECURITY_DESCRIPTOR_CONTROL ControlBitsToSet) {
  WINSIM_ENTRY("advapi32.dll", SetSecurityDescriptorControl, FALSE);
  auto *sd = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
  if (!sd) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION, FALSE);
  // Only the inheritance bits may be set this way.
  constexpr SECURITY_DESCRIPTOR_CONTROL kSettable = 0x0100 | 0x0200 | 0x0400 | 0x0800 | SE_DACL_PROTECTED | 0x2000;
  if ((ControlBitsOfInterest | ControlBitsToSet) & ~kSettable) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  sd->Control =
      SECURITY_DESCRIPTOR_CONTROL((sd->Control & ~ControlBitsOfInterest) | (ControlBitsToSet & ControlBitsOfInterest));
  return TRUE;
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID *pOwner,
                                       LPBOOL lpbOwnerDefaulted) {
  WINSIM_ENTRY("advapi32.dll", GetSecurityDescriptorOwner, FALSE);
  const BYTE *d = static_cast<const BYTE *>(pSecurityDescriptor);
  if (!d || !pOwner || !lpbOwnerDefaulted) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (d[0] != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION, FALSE);
  WORD control = GetWord(d + 2);
  if (control & SE_SELF_RELATIVE) {
    DWORD offset = GetDword(d + 4);
    *pOwner = offset ? const_cast<BYTE *>(d + offset) : nullptr;
  } else {
    *pOwner = static_cast<const SECURITY_DESCRIPTOR *>(pSecurityDescriptor)->Owner;
  }
  *lpbOwnerDefaulted = (control & 0x0001) ? TRUE : FALSE;  // SE_OWNER_DEFAULTED
  return TRUE;
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL *pDacl,
                                      LPBOOL lpbDaclDefaulted) {
  WINSIM_ENTRY("advapi32.dll", GetSecurityDescriptorDacl, FALSE);
  const BYTE *d = static_cast<const BYTE *>(pSecurityDescriptor);
  if (!d || !lpbDaclPresent || !pDacl || !lpbDaclDefaulted) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (d[0] != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION, FALSE);
  WORD control = GetWord(d + 2);
  *lpbDaclPresent = (control & SE_DACL_PRESENT) ? TRUE : FALSE;
  if (!*lpbDaclPresent) return TRUE;  // *pDacl and the defaulted flag are left as they were
  if (control & SE_SELF_RELATIVE) {
    DWORD offset = GetDword(d + 16);
    *pDacl = offset ? reinterpret_cast<PACL>(const_cast<BYTE *>(d + offset)) : nullptr;
  } else {
    *pDacl = static_cast<const SECURITY_DESCRIPTOR *>(pSecurityDescriptor)->Dacl;
  }
  *lpbDaclDefaulted = (control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
  return TRUE;
}

BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID *pAce) {
  WINSIM_ENTRY("advapi32.dll", GetAce, FALSE);
  if (!pAcl || !pAce) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!AclIsValid(pAcl) || dwAceIndex >= pAcl->AceCount) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  BYTE *a = reinterpret_cast<BYTE *>(pAcl);
  size_t at = kAclHeader;
  for (DWORD i = 0; i < dwAceIndex; ++i) at += GetWord(a + at + 2);
  *pAce = a + at;
  return TRUE;
}

// FALSE with ERROR_SUCCESS for two valid SIDs that differ; ERROR_INVALID_SID for an invalid one.
BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
  WINSIM_ENTRY("advapi32.dll", EqualSid, FALSE);
  if (!SidIsValid(pSid1) || !SidIsValid(pSid2)) return Fail(ERROR_INVALID_SID, FALSE);
  SetLastError(ERROR_SUCCESS);
  return SidLength(pSid1) == SidLength(pSid2) && std::memcmp(pSid1, pSid2, SidLength(pSid1)) == 0;
}

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(intptr_t(-1)); }

// The simulated process's token: the elevated administrator, whose new objects are owned
// by Administrators.
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  WINSIM_ENTRY("advapi32.dll", OpenProcessToken, FALSE);
  if (!TokenHandle) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (ProcessHandle != GetCurrentProcess()) {
    NotModelled("OpenProcessToken", "the token of another process");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  (void)DesiredAccess;  // the process may open its own token for any access
  *TokenHandle = AddObject(std::make_shared<Object>(Object::Kind::Token));
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength) {
  WINSIM_ENTRY("advapi32.dll", GetTokenInformation, FALSE);
  if (!FindObject(TokenHandle, Object::Kind::Token)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!ReturnLength) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (TokenInformationClass != TokenOwner && TokenInformationClass != TokenUser) {
    NotModelled("GetTokenInformation", "information classes other than TokenUser and TokenOwner");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  // The user is the machine's built-in Administrator account (RID 500); what it creates
  // elevated is owned by the Administrators group.
  bool user = TokenInformationClass == TokenUser;
  std::vector<BYTE> sid = user ? AdministratorSid() : MakeSid(5, {32, 544});
  size_t head = user ? sizeof(TOKEN_USER) : sizeof(TOKEN_OWNER);
  DWORD size = DWORD(head + sid.size());
  *ReturnLength = size;
  if (!TokenInformation || TokenInformationLength < size) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  BYTE *at = static_cast<BYTE *>(TokenInformation) + head;
  std::memcpy(at, sid.data(), sid.size());
  if (user)
    *static_cast<TOKEN_USER *>(TokenInformation) = TOKEN_USER{{at, 0}};
  else
    static_cast<TOKEN_OWNER *>(TokenInformation)->Owner = at;
  return TRUE;
}

// The simulated process runs as the machine's built-in Administrator.
BOOL WINAPI GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer) {
  WINSIM_ENTRY("advapi32.dll", GetUserNameW, FALSE);
  if (!pcbBuffer) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  static const std::wstring kName = L"Administrator";
  if (!lpBuffer || *pcbBuffer <= kName.size()) {
    *pcbBuffer = DWORD(kName.size() + 1);
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::memcpy(lpBuffer, kName.c_str(), (kName.size() + 1) * sizeof(WCHAR));
  *pcbBuffer = DWORD(kName.size() + 1);
  return TRUE;
}

// A token handle given here must be an impersonation token; the process's own tokens are
// primary tokens, so only NULL (the calling thread's token) is answered.
BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember) {
  WINSIM_ENTRY("advapi32.dll", CheckTokenMembership, FALSE);
  if (!IsMember || !SidToCheck || !SidIsValid(SidToCheck)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (TokenHandle) {
    if (!FindObject(TokenHandle, Object::Kind::Token)) return Fail(ERROR_INVALID_HANDLE, FALSE);
    return Fail(ERROR_NO_IMPERSONATION_TOKEN, FALSE);
  }
  const std::vector<BYTE> &user = AdministratorSid();
  const BYTE *sid = static_cast<const BYTE *>(SidToCheck);
  bool isUser = SidLength(sid) == user.size() && std::memcmp(sid, user.data(), user.size()) == 0;
  *IsMember = isUser || InAdministratorsToken(sid);
  return TRUE;
}

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  WINSIM_ENTRY("kernel32.dll", GlobalAlloc, HGLOBAL(nullptr));
  return AllocateFixed(Block::Global, "GlobalAlloc", uFlags, dwBytes);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
  WINSIM_ENTRY_FREE("kernel32.dll", GlobalFree, hMem);
  return FreeBlock(Block::Global, hMem);
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  WINSIM_ENTRY("kernel32.dll", LocalAlloc, HLOCAL(nullptr));
  return AllocateFixed(Block::Local, "LocalAlloc", uFlags, uBytes);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  WINSIM_ENTRY_FREE("kernel32.dll", LocalFree, hMem);
  return FreeBlock(Block::Local, hMem);
}

}  // extern "C"
