#include "base/security.h"

#include <cstring>

namespace winsim {

namespace {
constexpr BYTE kMaxSubAuthorities = 15;
constexpr BYTE kAccessDeniedAceType = 1;
constexpr BYTE kInheritOnlyAce = 0x08;
constexpr WORD kSaclPresent = 0x0010;
constexpr size_t kSelfRelativeHeader = 20;

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
  PutWord(&acl[4], WORD(GetWord(&acl[4]) + 1));
}

// Calls visit(allowed, mask) for each access-allowed or access-denied entry of a valid DACL
// that applies to the elevated administrator's token (inherit-only entries do not), in
// order, until visit answers true.
template <class Visit>
void ForEachTokenAce(const std::vector<BYTE> &dacl, Visit visit) {
  if (!AclIsValid(dacl.data())) return;
  const BYTE *a = dacl.data();
  size_t count = GetWord(a + 4), at = kAclHeader;
  for (size_t i = 0; i < count; ++i) {
    BYTE type = a[at], flags = a[at + 1];
    size_t aceSize = GetWord(a + at + 2);
    if (!(flags & kInheritOnlyAce) && (type == ACCESS_ALLOWED_ACE_TYPE || type == kAccessDeniedAceType) &&
        InAdministratorsToken(a + at + 8) && visit(type == ACCESS_ALLOWED_ACE_TYPE, GetDword(a + at + 4)))
      return;
    at += aceSize;
  }
}
}  // namespace

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
  size_t size = GetWord(a + 2), count = GetWord(a + 4);
  if (size < kAclHeader) return false;
  size_t at = kAclHeader;
  for (size_t i = 0; i < count; ++i) {
    if (at + kAceHeader > size) return false;
    size_t aceSize = GetWord(a + at + 2);
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
  bool granted = false;
  ForEachTokenAce(dacl, [&](bool allow, ACCESS_MASK mask) {
    if (!(mask & (DELETE | GENERIC_ALL))) return false;
    granted = allow;  // the first entry that names the right decides
    return true;
  });
  return granted;
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
  ForEachTokenAce(dacl, [&](bool allow, ACCESS_MASK mask) {
    mask = map(mask);
    if (allow)
      granted |= mask & ~denied;
    else
      denied |= mask & ~granted;
    return false;
  });
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
  size_t count = GetWord(a + 4), at = kAclHeader;
  for (size_t i = 0; i < count; ++i) {
    BYTE type = a[at], flags = a[at + 1];
    size_t aceSize = GetWord(a + at + 2);
    if (type == ACCESS_ALLOWED_ACE_TYPE || type == kAccessDeniedAceType) {
      std::vector<BYTE> sid(a + at + 8, a + at + 8 + SidLength(a + at + 8));
      ACCESS_MASK mask = GetDword(a + at + 4);
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
    size_t used = kAclHeader, count = GetWord(&explicitDacl[4]);
    for (size_t i = 0; i < count; ++i) used += GetWord(&explicitDacl[used + 2]);
    out.assign(explicitDacl.begin(), explicitDacl.begin() + used);
    PutWord(&out[2], WORD(used));
  }
  if (inheritedAces.size() > kAclHeader) {
    out.insert(out.end(), inheritedAces.begin() + kAclHeader, inheritedAces.end());
    PutWord(&out[2], WORD(out.size()));
    PutWord(&out[4], WORD(GetWord(&out[4]) + GetWord(&inheritedAces[4])));
  }
  return out;
}

bool ReadDescriptor(const void *descriptor, DescriptorParts &parts) {
  if (!descriptor) return false;
  const BYTE *d = static_cast<const BYTE *>(descriptor);
  if (d[0] != SECURITY_DESCRIPTOR_REVISION) return false;
  WORD control = GetWord(d + 2);
  const BYTE *owner, *group, *sacl, *dacl;
  if (control & SE_SELF_RELATIVE) {
    auto at = [&](size_t field) -> const BYTE * {
      DWORD offset = GetDword(d + field);
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
      parts.dacl = Copy(dacl, GetWord(dacl + 2));
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
