// SIDs, access lists and security descriptors in their Windows binary layout, as key and
// file security use them.
//
// SID: revision 1, sub-authority count, 6-byte big-endian authority, 32-bit sub-authorities
// (8 + 4 * count bytes). ACL: an 8-byte header (revision, size, ACE count) followed by ACEs;
// an access-allowed ACE is its 4-byte header, the 32-bit mask and the SID. A self-relative
// descriptor is a 20-byte header with offsets, followed by the owner, the group and the DACL.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <vector>

namespace winsim {

constexpr BYTE kSidRevision = 1;
constexpr BYTE kMinAclRevision = 2;
constexpr BYTE kMaxAclRevision = 4;
constexpr size_t kAclHeader = 8;
constexpr size_t kAceHeader = 4;

// Little-endian fields of the layouts.
inline WORD GetWord(const BYTE *p) { return WORD(p[0] | (p[1] << 8)); }
inline DWORD GetDword(const BYTE *p) { return DWORD(p[0] | (p[1] << 8) | (p[2] << 16) | (DWORD(p[3]) << 24)); }
inline void PutWord(BYTE *p, WORD v) {
  p[0] = BYTE(v);
  p[1] = BYTE(v >> 8);
}
inline void PutDword(BYTE *p, DWORD v) {
  for (int i = 0; i < 4; ++i) p[i] = BYTE(v >> (8 * i));
}

std::vector<BYTE> MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities);
bool SidIsValid(const void *sid);
DWORD SidLength(const void *sid);
// A valid ACL (revision 2 to 4, ACEs inside AclSize).
bool AclIsValid(const void *acl);
// True when the SID is one of the groups of the elevated administrator's token that access
// lists are checked against (Administrators, Everyone, Authenticated Users, Users).
bool InAdministratorsToken(const BYTE *sid);
// Appends an access-allowed (or access-denied) entry to an ACL image and updates its header.
void AddAce(std::vector<BYTE> &acl, bool allow, ACCESS_MASK mask, const std::vector<BYTE> &sid);
// The default key DACL, or the one of a protected key.
std::vector<BYTE> KeyDacl(bool protectedKey);
// True when the DACL (null = `dacl` empty) grants DELETE to the elevated administrator's
// token (Administrators, Everyone, Authenticated Users, Users), deny entries first as listed.
bool DaclGrantsAdministratorsDelete(const std::vector<BYTE> &dacl);

// GENERIC_* rights in a key access mask replaced by the key rights they stand for.
ACCESS_MASK MapKeyGenericRights(ACCESS_MASK mask);
// The rights a key's DACL (empty = a null DACL) and owner (empty = Administrators) give the
// elevated administrator's token, as AccessCheck with MAXIMUM_ALLOWED answers them: the
// entries in order, the first one to allow or deny a right deciding it; the owner gets
// READ_CONTROL and WRITE_DAC.
ACCESS_MASK KeyAccessAllowed(const std::vector<BYTE> &dacl, const std::vector<BYTE> &owner);

// ---- file security ---------------------------------------------------------------------
// The access list Windows puts on the root of a system drive: Administrators and SYSTEM
// full control, Users read and execute and create folders, Authenticated Users modify on
// what is created below (inherit only) and create folders at the root itself.
std::vector<BYTE> RootFileDacl();
// The entries a child inherits from its parent's DACL (`parentDacl`, a valid ACL image):
// container-inherit entries for a folder, object-inherit ones for a file, marked inherited.
std::vector<BYTE> InheritedAces(const std::vector<BYTE> &parentDacl, bool childIsDir);
// An ACL image of `explicitDacl`'s entries followed by `inherited` entries.
std::vector<BYTE> JoinAcl(const std::vector<BYTE> &explicitDacl, const std::vector<BYTE> &inheritedAces);
// The file rights the elevated administrator's token gets from a DACL and owner (generic
// rights mapped to the file rights; the owner gets READ_CONTROL and WRITE_DAC).
ACCESS_MASK FileAccessAllowed(const std::vector<BYTE> &dacl, const std::vector<BYTE> &owner);
// Adds an entry with inheritance flags.
void AddAceEx(std::vector<BYTE> &acl, bool allow, BYTE flags, ACCESS_MASK mask, const std::vector<BYTE> &sid);

struct DescriptorParts {
  bool daclPresent = false;
  bool daclProtected = false;  // SE_DACL_PROTECTED: nothing inherited from the parent
  std::vector<BYTE> dacl;      // empty with daclPresent = a null DACL
  std::vector<BYTE> owner, group;
};
// Reads an absolute or self-relative descriptor; false when it is not valid.
bool ReadDescriptor(const void *descriptor, DescriptorParts &parts);
// A self-relative descriptor with the parts `which` asks for (owner, group, DACL).
std::vector<BYTE> SelfRelativeDescriptor(const DescriptorParts &parts, SECURITY_INFORMATION which);

}  // namespace winsim
