#include "osinfo/winversion.h"

#include <windows.h>

#include <cwchar>

#include "support/cmplog.h"
#include "support/fileversion.h"

namespace {
struct VersionSnapshot {
  bool taken = false;
  OSVERSIONINFOEXW version{};
  SYSTEM_INFO system{};
};

// One snapshot for the life of the library (a change of the system during the process is
// not seen).
const VersionSnapshot &Snapshot() {
  static VersionSnapshot snapshot;
  if (!snapshot.taken) {
    snapshot.version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&snapshot.version));
    GetSystemInfo(&snapshot.system);
    snapshot.taken = true;
  }
  return snapshot;
}

bool IsNtVersion(DWORD major, DWORD minor) {
  const OSVERSIONINFOEXW &v = Snapshot().version;
  return v.wProductType != VER_NT_WORKSTATION && v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion == major &&
         v.dwMinorVersion == minor;
}

// The system's "\drivers\ndis.sys"; an empty path when it does not fit.
CFileVersion NdisVersion() {
  WCHAR path[MAX_PATH] = L"";
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || !CopyText(path + n, MAX_PATH - n, L"\\drivers\\ndis.sys")) path[0] = L'\0';
  return CFileVersion(path);
}
}  // namespace

bool IsServer2012R2() {
  if (Snapshot().version.wProductType == VER_NT_WORKSTATION) return false;
  if (IsNtVersion(6, 3)) return true;
  return NdisVersion().GetFileVersionMS() == 0x00060003;
}

bool IsServer2012() { return IsNtVersion(6, 2); }

bool IsConfirmedServer2012() {
  CFileVersion ndis = NdisVersion();
  g_messageWriter.Step(WINVERSION_SOURCE, 84, L"[ostrand] ndis version (%ls): %x.%x\n",
                       ndis.GetFileVersionText().GetString(), unsigned(ndis.GetFileVersionMS()),
                       unsigned(ndis.GetFileVersionLS()));
  if (ndis.GetFileVersionMS() == 0x00060002) return true;
  g_messageWriter.Step(WINVERSION_SOURCE, 88, L"[ostrand] IsConfirmedServer2012(): NOT 2012.\n");
  return false;
}

bool IsServer2008R2() { return IsNtVersion(6, 1); }

bool IsX64Version6OrLater() {
  return Snapshot().version.dwMajorVersion >= 6 &&
         Snapshot().system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}
