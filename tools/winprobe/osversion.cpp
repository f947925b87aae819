#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>

#include "probe.h"

namespace winprobe {
// ---- operating-system version record -----------------------------------------------------
// GetVersionExW by the record size it is told. The version numbers themselves differ between
// machines and are not reported; the platform is.
void ProbeVersionRecord(json &out) {
  struct SizeCase {
    const char *key;
    DWORD size;
  };
  const SizeCase cases[] = {
      {"osver.size[OSVERSIONINFOW]", DWORD(sizeof(OSVERSIONINFOW))},
      {"osver.size[OSVERSIONINFOEXW]", DWORD(sizeof(OSVERSIONINFOEXW))},
      {"osver.size[0]", 0},
      {"osver.size[OSVERSIONINFOW-1]", DWORD(sizeof(OSVERSIONINFOW) - 1)},
      {"osver.size[OSVERSIONINFOEXW+4]", DWORD(sizeof(OSVERSIONINFOEXW) + 4)},
  };
  for (const SizeCase &c : cases) {
    union {
      OSVERSIONINFOEXW ex;
      BYTE bytes[sizeof(OSVERSIONINFOEXW) + 16];
    } record;
    std::memset(&record, 0xCC, sizeof record);
    record.ex.dwOSVersionInfoSize = c.size;
    SetLastError(kSentinel);
    BOOL ok = GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&record.ex));
    DWORD error = GetLastError();
    json r = {{"ret", ok != 0}};
    if (ok) r["dwPlatformId"] = unsigned(record.ex.dwPlatformId);
    r["size_kept"] = record.ex.dwOSVersionInfoSize == c.size;
    // What changed inside the record it was told of, and past its end.
    const size_t head = sizeof record.ex.dwOSVersionInfoSize;
    const size_t end = std::min<size_t>(std::max<size_t>(c.size, head), sizeof record);
    bool inside = false, beyond = false;
    for (size_t i = head; i < sizeof record; ++i)
      if (record.bytes[i] != 0xCC) (i < end ? inside : beyond) = true;
    r["wrote_inside"] = inside;
    r["wrote_beyond"] = beyond;
    out[c.key] = r;
    out[std::string(c.key) + ".last_error"] = unsigned(error);
  }
}
}  // namespace winprobe

namespace winprobe {
// ---- the computer, its drives and its account --------------------------------------------
// The names differ between machines and are not reported; how the calls answer a buffer too
// small, which roots are drives, and the process's membership in Administrators are.
void ProbeMachineIdentity(json &out) {
  DWORD size = 0;
  SetLastError(kSentinel);
  BOOL ok = GetComputerNameW(nullptr, &size);
  out["GetComputerNameW[size0]"] = {{"ret", ok != 0}, {"error", unsigned(GetLastError())}, {"asks_more", size > 1}};
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
  size = MAX_COMPUTERNAME_LENGTH + 1;
  ok = GetComputerNameW(name, &size);
  out["GetComputerNameW[room]"] = {{"ret", ok != 0}, {"size_is_length", ok && size == std::wcslen(name)}};

  size = 0;
  SetLastError(kSentinel);
  ok = GetUserNameW(nullptr, &size);
  out["GetUserNameW[size0]"] = {{"ret", ok != 0}, {"error", unsigned(GetLastError())}, {"asks_more", size > 1}};
  WCHAR user[257];
  size = 257;
  ok = GetUserNameW(user, &size);
  out["GetUserNameW[room]"] = {{"ret", ok != 0}, {"size_counts_terminator", ok && size == std::wcslen(user) + 1}};

  out["GetLogicalDrives[C]"] = (GetLogicalDrives() >> 2) & 1;
  for (const wchar_t *root : {L"C:\\", L"C:", L"C:\\Windows", L"Q:\\"})
    out["GetDriveTypeW[" + KeyText(root) + "]"] = GetDriveTypeW(root);

  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                               &admins)) {
    BOOL member = FALSE;
    ok = CheckTokenMembership(nullptr, admins, &member);
    out["CheckTokenMembership[thread,Administrators]"] = {{"ret", ok != 0}, {"member", member != 0}};
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      SetLastError(kSentinel);
      ok = CheckTokenMembership(token, admins, &member);
      out["CheckTokenMembership[primary]"] = {{"ret", ok != 0}, {"error", unsigned(GetLastError())}};
      CloseHandle(token);
    }
    FreeSid(admins);
  }
}
}  // namespace winprobe
