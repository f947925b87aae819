// SIDs, access lists and security descriptors in their Windows binary layout, as far as
// registry key security uses them, and the fixed memory blocks of GlobalAlloc and LocalAlloc.
//
// SID: revision 1, sub-authority count, 6-byte big-endian authority, 32-bit sub-authorities
// (8 + 4 * count bytes). ACL: an 8-byte header (revision, size, ACE count) followed by ACEs;
// an access-allowed ACE is its 4-byte header, the 32-bit mask and the SID. A self-relative
// descriptor is a 20-byte header with offsets, followed by the owner, the group and the DACL.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <map>

#include "plumbing/hooks.h"
#include "plumbing/handles.h"
#include "machine/registry.h"
#include "plumbing/calls.h"
#include "base/diagnostics.h"

namespace winsim {

namespace {
constexpr BYTE kSidRevision = 1;
constexpr BYTE kMaxSubAuthorities = 15;
constexpr BYTE kMinAclRevision = 2;
constexpr BYTE kMaxAclRevision = 4;
constexpr BYTE kAccessDeniedAceType = 1;
constexpr BYTE kInheritOnlyAce = 0x08;
constexpr WORD kSaclPresent = 0x0010;
constexpr size_t kAclHeader = 8;
constexpr size_t kAceHeader = 4;
constexpr size_t kSelfRelativeHeader = 20;

WORD Word(const BYTE *p) { return WORD(p[0] | (p[1] << 8)); }
DWORD Dword(const BYTE *p) { return DWORD(p[0] | (p[1] << 8) | (p[2] << 16) | (DWORD(p[3]) << 24)); }
void PutWord(BYTE *p, WORD v) {
  p[0] = BYTE(v);
  p[1] = BYTE(v >> 8);
}
void PutDword(BYTE *p, DWORD v) {
  for (int i = 0; i < 4; ++i) p[i] = BYTE(v >> (8 * i));
}

std::vector<BYTE> Copy(const void *p, size_t n) {
  const BYTE *b = static_cast<const BYTE *>(p);
  return std::vector<BYTE>(b, b + n);
}

void AppendAce(std::vector<BYTE> &acl, BYTE type, ACCESS_MASK mask, const std::vector<BYTE> &sid, BYTE flags = 0) {
  size_t at = acl.size();
  acl.resize(at + kAceHeader + 4 + sid.size());
  acl[at] = type;
  acl[at + 1] = flags;
  PutWord(&acl[at + 2], WORD(kAceHeader + 4 + sid.size()));
  PutDword(&acl[at + 4], mask);
  std::memcpy(&acl[at + 8], sid.data(), sid.size());
  PutWord(&acl[2], WORD(acl.size()));
  PutWord(&acl[4], WORD(Word(&acl[4]) + 1));
}

// The groups of the elevated administrator's token that access lists are checked against.
bool InAdministratorsToken(const BYTE *sid) {
  static const std::vector<BYTE> groups[] = {
      MakeSid(5, {32, 544}),  // BUILTIN\Administrators
      MakeSid(1, {0}),        // Everyone
      MakeSid(5, {11}),       // Authenticated Users
      MakeSid(5, {32, 545}),  // BUILTIN\Users
  };
  for (const auto &g : groups)
    if (SidLength(sid) == g.size() && std::memcmp(sid, g.data(), g.size()) == 0) return true;
  return false;
}

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

std::vector<BYTE> MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
  std::vector<BYTE> sid(8 + 4 * subAuthorities.size(), 0);
  sid[0] = kSidRevision;
  sid[1] = BYTE(subAuthorities.size());
  sid[7] = authority;
  size_t i = 8;
  for (DWORD s : subAuthorities) {
    PutDword(&sid[i], s);
    i += 4;
  }
  return sid;
}

bool SidIsValid(const void *sid) {
  const BYTE *s = static_cast<const BYTE *>(sid);
  return s && s[0] == kSidRevision && s[1] <= kMaxSubAuthorities;
}

DWORD SidLength(const void *sid) { return sid ? 8 + 4 * DWORD(static_cast<const BYTE *>(sid)[1]) : 0; }

bool AclIsValid(const void *acl) {
  const BYTE *a = static_cast<const BYTE *>(acl);
  if (!a || a[0] < kMinAclRevision || a[0] > kMaxAclRevision) return false;
  size_t size = Word(a + 2), count = Word(a + 4);
  if (size < kAclHeader) return false;
  size_t at = kAclHeader;
  for (size_t i = 0; i < count; ++i) {
    if (at + kAceHeader > size) return false;
    size_t aceSize = Word(a + at + 2);
    if (aceSize < kAceHeader || at + aceSize > size) return false;
    BYTE type = a[at];
    if (type == ACCESS_ALLOWED_ACE_TYPE || type == kAccessDeniedAceType) {
      if (aceSize < 8 + 8 || !SidIsValid(a + at + 8) || 8 + SidLength(a + at + 8) > aceSize) return false;
    }
    at += aceSize;
  }
  return true;
}

void AddAce(std::vector<BYTE> &acl, bool allow, ACCESS_MASK mask, const std::vector<BYTE> &sid) {
  AppendAce(acl, allow ? ACCESS_ALLOWED_ACE_TYPE : kAccessDeniedAceType, mask, sid);
}

std::vector<BYTE> KeyDacl(bool protectedKey) {
  std::vector<BYTE> acl(kAclHeader, 0);
  acl[0] = ACL_REVISION;
  AppendAce(acl, ACCESS_ALLOWED_ACE_TYPE, KEY_ALL_ACCESS, MakeSid(5, {18}));  // SYSTEM
  AppendAce(acl, ACCESS_ALLOWED_ACE_TYPE, protectedKey ? KEY_ALL_ACCESS & ~DELETE : KEY_ALL_ACCESS,
            MakeSid(5, {32, 544}));                                          // Administrators
  AppendAce(acl, ACCESS_ALLOWED_ACE_TYPE, KEY_READ, MakeSid(5, {32, 545}));  // Users
  return acl;
}

bool DaclGrantsAdministratorsDelete(const std::vector<BYTE> &dacl) {
  if (dacl.empty()) return true;  // a null DACL grants everything to everyone
  if (!AclIsValid(dacl.data())) return false;
  const BYTE *a = dacl.data();
  size_t count = Word(a + 4), at = kAclHeader;
  for (size_t i = 0; i < count; ++i) {
    BYTE type = a[at], flags = a[at + 1];
    size_t aceSize = Word(a + at + 2);
    if (!(flags & kInheritOnlyAce) && (type == ACCESS_ALLOWED_ACE_TYPE || type == kAccessDeniedAceType) &&
        InAdministratorsToken(a + at + 8)) {
      ACCESS_MASK mask = Dword(a + at + 4);
      if (mask & (DELETE | GENERIC_ALL)) return type == ACCESS_ALLOWED_ACE_TYPE;
    }
    at += aceSize;
  }
  return false;
}

ACCESS_MASK MapKeyGenericRights(ACCESS_MASK mask) {
  if (mask & GENERIC_READ) mask = (mask & ~GENERIC_READ) | KEY_READ;
  if (mask & GENERIC_WRITE) mask = (mask & ~GENERIC_WRITE) | KEY_WRITE;
  if (mask & GENERIC_EXECUTE) mask = (mask & ~GENERIC_EXECUTE) | KEY_READ;  // KEY_EXECUTE is KEY_READ
  if (mask & GENERIC_ALL) mask = (mask & ~GENERIC_ALL) | KEY_ALL_ACCESS;
  return mask;
}

namespace {
// The rights a DACL and owner give the elevated administrator's token, as AccessCheck with
// MAXIMUM_ALLOWED answers them: the entries in order, the first one to allow or deny a
// right deciding it; the owner may always read and change the security.
ACCESS_MASK AccessAllowed(const std::vector<BYTE> &dacl, const std::vector<BYTE> &owner,
                          ACCESS_MASK (*map)(ACCESS_MASK), ACCESS_MASK everything) {
  if (dacl.empty()) return everything;  // a null DACL grants everything to everyone
  ACCESS_MASK granted = 0, denied = 0;
  if (AclIsValid(dacl.data())) {
    const BYTE *a = dacl.data();
    size_t count = Word(a + 4), at = kAclHeader;
    for (size_t i = 0; i < count; ++i) {
      BYTE type = a[at], flags = a[at + 1];
      size_t aceSize = Word(a + at + 2);
      if (!(flags & kInheritOnlyAce) && (type == ACCESS_ALLOWED_ACE_TYPE || type == kAccessDeniedAceType) &&
          InAdministratorsToken(a + at + 8)) {
        ACCESS_MASK mask = map(Dword(a + at + 4));
        if (type == ACCESS_ALLOWED_ACE_TYPE)
          granted |= mask & ~denied;
        else
          denied |= mask & ~granted;
      }
      at += aceSize;
    }
  }
  if (owner.empty() || InAdministratorsToken(owner.data())) granted |= READ_CONTROL | WRITE_DAC;
  return granted & everything;
}

ACCESS_MASK MapFileGenericRights(ACCESS_MASK mask) {
  if (mask & GENERIC_READ) mask = (mask & ~GENERIC_READ) | FILE_GENERIC_READ;
  if (mask & GENERIC_WRITE) mask = (mask & ~GENERIC_WRITE) | FILE_GENERIC_WRITE;
  if (mask & GENERIC_EXECUTE) mask = (mask & ~GENERIC_EXECUTE) | FILE_GENERIC_EXECUTE;
  if (mask & GENERIC_ALL) mask = (mask & ~GENERIC_ALL) | FILE_ALL_ACCESS;
  return mask;
}
}  // namespace

ACCESS_MASK KeyAccessAllowed(const std::vector<BYTE> &dacl, const std::vector<BYTE> &owner) {
  return AccessAllowed(dacl, owner, MapKeyGenericRights, KEY_ALL_ACCESS | SYNCHRONIZE);
}

ACCESS_MASK FileAccessAllowed(const std::vector<BYTE> &dacl, const std::vector<BYTE> &owner) {
  return AccessAllowed(dacl, owner, MapFileGenericRights, FILE_ALL_ACCESS);
}

void AddAceEx(std::vector<BYTE> &acl, bool allow, BYTE flags, ACCESS_MASK mask, const std::vector<BYTE> &sid) {
  AppendAce(acl, allow ? ACCESS_ALLOWED_ACE_TYPE : kAccessDeniedAceType, mask, sid, flags);
}

std::vector<BYTE> RootFileDacl() {
  constexpr BYTE kBoth = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  constexpr ACCESS_MASK kModify = 0x001301BF;  // read, write, execute and delete
  std::vector<BYTE> acl(kAclHeader, 0);
  acl[0] = ACL_REVISION;
  AppendAce(acl, ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, MakeSid(5, {32, 544}), kBoth);
  AppendAce(acl, ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, MakeSid(5, {18}), kBoth);
  AppendAce(acl, ACCESS_ALLOWED_ACE_TYPE, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, MakeSid(5, {32, 545}), kBoth);
  AppendAce(acl, ACCESS_ALLOWED_ACE_TYPE, FILE_ADD_SUBDIRECTORY, MakeSid(5, {32, 545}), CONTAINER_INHERIT_ACE);
  AppendAce(acl, ACCESS_ALLOWED_ACE_TYPE, kModify, MakeSid(5, {11}), kBoth | INHERIT_ONLY_ACE);
  AppendAce(acl, ACCESS_ALLOWED_ACE_TYPE, FILE_ADD_SUBDIRECTORY, MakeSid(5, {11}), 0);
  return acl;
}

std::vector<BYTE> InheritedAces(const std::vector<BYTE> &parentDacl, bool childIsDir) {
  std::vector<BYTE> out(kAclHeader, 0);
  out[0] = ACL_REVISION;
  if (parentDacl.empty() || !AclIsValid(parentDacl.data())) return out;
  const BYTE *a = parentDacl.data();
  size_t count = Word(a + 4), at = kAclHeader;
  for (size_t i = 0; i < count; ++i) {
    BYTE type = a[at], flags = a[at + 1];
    size_t aceSize = Word(a + at + 2);
    if (type == ACCESS_ALLOWED_ACE_TYPE || type == kAccessDeniedAceType) {
      std::vector<BYTE> sid(a + at + 8, a + at + 8 + SidLength(a + at + 8));
      ACCESS_MASK mask = Dword(a + at + 4);
      BYTE kept = INHERITED_ACE;
      bool inherits = false;
      if (childIsDir && (flags & CONTAINER_INHERIT_ACE)) {
        inherits = true;
        if (!(flags & NO_PROPAGATE_INHERIT_ACE)) kept |= flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
      } else if (childIsDir && (flags & OBJECT_INHERIT_ACE) && !(flags & NO_PROPAGATE_INHERIT_ACE)) {
        inherits = true;  // for the files further down only
        kept |= OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
      } else if (!childIsDir && (flags & OBJECT_INHERIT_ACE)) {
        inherits = true;
      }
      if (inherits) AppendAce(out, type, mask, sid, kept);
    }
    at += aceSize;
  }
  return out;
}

std::vector<BYTE> JoinAcl(const std::vector<BYTE> &explicitDacl, const std::vector<BYTE> &inheritedAces) {
  std::vector<BYTE> out(kAclHeader, 0);
  out[0] = ACL_REVISION;
  if (explicitDacl.size() >= kAclHeader && AclIsValid(explicitDacl.data())) {
    // Only the entries: an ACL made by InitializeAcl may have room left after them.
    size_t used = kAclHeader, count = Word(&explicitDacl[4]);
    for (size_t i = 0; i < count; ++i) used += Word(&explicitDacl[used + 2]);
    out.assign(explicitDacl.begin(), explicitDacl.begin() + used);
    PutWord(&out[2], WORD(used));
  }
  if (inheritedAces.size() > kAclHeader) {
    out.insert(out.end(), inheritedAces.begin() + kAclHeader, inheritedAces.end());
    PutWord(&out[2], WORD(out.size()));
    PutWord(&out[4], WORD(Word(&out[4]) + Word(&inheritedAces[4])));
  }
  return out;
}

bool ReadDescriptor(const void *descriptor, DescriptorParts &parts) {
  if (!descriptor) return false;
  const BYTE *d = static_cast<const BYTE *>(descriptor);
  if (d[0] != SECURITY_DESCRIPTOR_REVISION) return false;
  WORD control = Word(d + 2);
  const BYTE *owner, *group, *sacl, *dacl;
  if (control & SE_SELF_RELATIVE) {
    auto at = [&](size_t field) -> const BYTE * {
      DWORD offset = Dword(d + field);
      return offset ? d + offset : nullptr;
    };
    owner = at(4);
    group = at(8);
    sacl = at(12);
    dacl = at(16);
  } else {
    const auto *sd = static_cast<const SECURITY_DESCRIPTOR *>(descriptor);
    owner = static_cast<const BYTE *>(sd->Owner);
    group = static_cast<const BYTE *>(sd->Group);
    sacl = reinterpret_cast<const BYTE *>(sd->Sacl);
    dacl = reinterpret_cast<const BYTE *>(sd->Dacl);
  }
  parts = DescriptorParts{};
  parts.daclProtected = control & SE_DACL_PROTECTED;
  if (owner) {
    if (!SidIsValid(owner)) return false;
    parts.owner = Copy(owner, SidLength(owner));
  }
  if (group) {
    if (!SidIsValid(group)) return false;
    parts.group = Copy(group, SidLength(group));
  }
  if ((control & kSaclPresent) && sacl && !AclIsValid(sacl)) return false;
  if (control & SE_DACL_PRESENT) {
    parts.daclPresent = true;
    if (dacl) {
      if (!AclIsValid(dacl)) return false;
      parts.dacl = Copy(dacl, Word(dacl + 2));
    }
  }
  return true;
}

std::vector<BYTE> SelfRelativeDescriptor(const DescriptorParts &parts, SECURITY_INFORMATION which) {
  std::vector<BYTE> sd(kSelfRelativeHeader, 0);
  sd[0] = SECURITY_DESCRIPTOR_REVISION;
  WORD control = SE_SELF_RELATIVE;
  auto append = [&](size_t field, const std::vector<BYTE> &part) {
    if (part.empty()) return;
    PutDword(&sd[field], DWORD(sd.size()));
    sd.insert(sd.end(), part.begin(), part.end());
  };
  if (which & OWNER_SECURITY_INFORMATION) append(4, parts.owner);
  if (which & GROUP_SECURITY_INFORMATION) append(8, parts.group);
  if ((which & DACL_SECURITY_INFORMATION) && parts.daclPresent) {
    control |= SE_DACL_PRESENT;
    if (parts.daclProtected) control |= SE_DACL_PROTECTED;
    append(16, parts.dacl);  // a null DACL: present, offset 0
  }
  PutWord(&sd[2], control);
  return sd;
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
  for (WORD i = 0; i < pAcl->AceCount; ++i) at += Word(a + at + 2);
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
  for (WORD i = 0; i + 1 < pAcl->AceCount; ++i) at += Word(a + at + 2);
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
  WORD control = Word(d + 2);
  if (control & SE_SELF_RELATIVE) {
    DWORD offset = Dword(d + 4);
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
  WORD control = Word(d + 2);
  *lpbDaclPresent = (control & SE_DACL_PRESENT) ? TRUE : FALSE;
  if (!*lpbDaclPresent) return TRUE;  // *pDacl and the defaulted flag are left as they were
  if (control & SE_SELF_RELATIVE) {
    DWORD offset = Dword(d + 16);
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
  for (DWORD i = 0; i < dwAceIndex; ++i) at += Word(a + at + 2);
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
  std::vector<BYTE> sid = user ? MakeSid(5, {21, 1004336348, 1177238915, 682003330, 500}) : MakeSid(5, {32, 544});
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
