#include <windows.h>

#include <cstdint>

#include "probe.h"

namespace winprobe {
// The descriptor calls the safe-folder code relies on, on descriptors built here (file
// systems differ in what they store, so no folder's own list is compared).
void ProbeSecurityCalls(json &out) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr, system = nullptr;
  Fixture(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                   &admins) &&
              AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system),
          L"the Administrators and SYSTEM SIDs");
  out["sec.equal_sid[same]"] = EqualSid(admins, admins) != FALSE;
  out["sec.equal_sid[different]"] = EqualSid(admins, system) != FALSE;
  alignas(DWORD) BYTE buffer[128];
  PACL acl = reinterpret_cast<PACL>(buffer);
  Fixture(InitializeAcl(acl, sizeof buffer, ACL_REVISION) != FALSE, L"an access list");
  out["sec.add_ace_ex[inherit]"] =
      Status(AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                                   admins) != FALSE);
  out["sec.add_ace_ex[bad_flags]"] =
      Status(AddAccessAllowedAceEx(acl, ACL_REVISION, 0x80, FILE_ALL_ACCESS, system) != FALSE);
  LPVOID ace = nullptr;
  json first = Status(GetAce(acl, 0, &ace) != FALSE);
  if (ace) {
    first["flags"] = static_cast<ACE_HEADER *>(ace)->AceFlags;
    first["mask"] = unsigned(static_cast<ACCESS_ALLOWED_ACE *>(ace)->Mask);
  }
  out["sec.get_ace[0]"] = first;
  out["sec.get_ace[past_end]"] = Status(GetAce(acl, acl->AceCount, &ace) != FALSE);

  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  BOOL present = TRUE, defaulted = TRUE;
  PACL got = reinterpret_cast<PACL>(uintptr_t(kSentinel));
  json none = Status(GetSecurityDescriptorDacl(&sd, &present, &got, &defaulted) != FALSE);
  none["present"] = present != FALSE;
  out["sec.get_dacl[none]"] = none;
  SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
  json given = Status(GetSecurityDescriptorDacl(&sd, &present, &got, &defaulted) != FALSE);
  given["present"] = present != FALSE;
  given["same_acl"] = got == acl;
  out["sec.get_dacl[given]"] = given;
  PSID owner = reinterpret_cast<PSID>(uintptr_t(kSentinel));
  json noOwner = Status(GetSecurityDescriptorOwner(&sd, &owner, &defaulted) != FALSE);
  noOwner["owner_null"] = owner == nullptr;
  out["sec.get_owner[none]"] = noOwner;
  out["sec.set_control[protected]"] =
      Status(SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != FALSE);
  out["sec.control_after"] = unsigned(sd.Control);
  out["sec.set_control[self_relative]"] =
      Status(SetSecurityDescriptorControl(&sd, SE_SELF_RELATIVE, SE_SELF_RELATIVE) != FALSE);
  DWORD needed = kSentinel;
  HANDLE token = nullptr;
  json opened = Status(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != FALSE);
  out["sec.open_process_token"] = opened;
  if (token) {
    DWORD size = 0;
    out["sec.token_owner[sizing]"] = Status(GetTokenInformation(token, TokenOwner, nullptr, 0, &size) != FALSE);
    CloseHandle(token);
  }
  out["sec.get_file_security[missing]"] =
      Status(GetFileSecurityW(L"C:\\probe\\no-such-file", DACL_SECURITY_INFORMATION, nullptr, 0, &needed) != FALSE);
  FreeSid(admins);
  FreeSid(system);
}
}  // namespace winprobe
