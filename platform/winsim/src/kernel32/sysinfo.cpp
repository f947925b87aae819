// The processor architecture and the screen metrics the machine reports, from machine.toml's
// [os] table. architecture: "amd64" (9), "intel" (0), "ia64" (6), "ia32_on_win64" (a 32-bit
// process on 64-bit Windows: GetSystemInfo answers 0, GetNativeSystemInfo 9) or a number.
#include <cstring>
#include <string>

#include "base/names.h"
#include "machine/clock.h"
#include "machine/process.h"
#include "machine/system.h"
#include "base/diagnostics.h"
#include "plumbing/calls.h"
#include "plumbing/hooks.h"

using namespace winsim;

namespace {
constexpr DWORD kProcessorIntelPentium = 586;
constexpr DWORD kProcessorIntelIa64 = 2200;
constexpr DWORD kProcessorAmdX8664 = 8664;

struct Architecture {
  WORD native = PROCESSOR_ARCHITECTURE_AMD64;
  WORD process = PROCESSOR_ARCHITECTURE_AMD64;  // what the simulated process itself runs as
};

Architecture MachineArchitecture() {
  const OsSpec &os = System().os;
  return Architecture{os.nativeArchitecture, os.processArchitecture};
}

DWORD ProcessorCount() {
  auto it = Process().environment.find(L"NUMBER_OF_PROCESSORS");
  long n = it == Process().environment.end() ? 0 : std::wcstol(it->second.second.c_str(), nullptr, 10);
  return n >= 1 && n <= 64 ? DWORD(n) : 1;
}

void Fill(LPSYSTEM_INFO info, WORD architecture) {
  if (!info) return;
  std::memset(info, 0, sizeof *info);
  info->wProcessorArchitecture = architecture;
  info->dwPageSize = 4096;
  info->dwAllocationGranularity = 65536;
  info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(uintptr_t(0x10000));
  DWORD count = ProcessorCount();
  info->dwNumberOfProcessors = count;
  info->dwActiveProcessorMask = count >= 64 ? ~DWORD_PTR(0) : (DWORD_PTR(1) << count) - 1;
  switch (architecture) {
    case PROCESSOR_ARCHITECTURE_INTEL:
      info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(uintptr_t(0x7FFEFFFF));
      info->dwProcessorType = kProcessorIntelPentium;
      break;
    case PROCESSOR_ARCHITECTURE_IA64:
      info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(uintptr_t(0x000006FBFFFEFFFFULL));
      info->dwProcessorType = kProcessorIntelIa64;
      break;
    default:
      info->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(uintptr_t(0x00007FFFFFFEFFFFULL));
      info->dwProcessorType = kProcessorAmdX8664;
      break;
  }
  info->wProcessorLevel = 6;
  info->wProcessorRevision = 0x5507;
}
}  // namespace

extern "C" {

void WINAPI GetSystemInfo(LPSYSTEM_INFO lpSystemInfo) { Fill(lpSystemInfo, MachineArchitecture().process); }

void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO lpSystemInfo) { Fill(lpSystemInfo, MachineArchitecture().native); }

// SM_SERVERR2 answers the build number on a Windows Server 2003 R2 ([os] server_r2), else 0.
int WINAPI GetSystemMetrics(int nIndex) {
  if (nIndex == SM_SERVERR2) {
    const OsSpec &os = System().os;
    return os.serverR2 ? int(os.build) : 0;
  }
  NotModelled("GetSystemMetrics", "index " + std::to_string(nIndex) + " (answered 0)");
  return 0;
}

// [machine] computer_name; the size is in characters, without the terminator on success and
// with it when the buffer is too small (ERROR_BUFFER_OVERFLOW).
BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
  WINSIM_ENTRY("kernel32.dll", GetComputerNameW, FALSE);
  if (!nSize) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::wstring &name = System().computerName;
  if (!lpBuffer || *nSize <= name.size()) {
    *nSize = DWORD(name.size() + 1);
    return Fail(ERROR_BUFFER_OVERFLOW, FALSE);
  }
  std::memcpy(lpBuffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *nSize = DWORD(name.size());
  return TRUE;
}

// The machine's zone has a bias and no daylight saving time: TIME_ZONE_ID_UNKNOWN, as
// Windows answers for such a zone, with the names and transition dates empty.
DWORD WINAPI GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation) {
  WINSIM_ENTRY("kernel32.dll", GetTimeZoneInformation, TIME_ZONE_ID_INVALID);
  if (!lpTimeZoneInformation) return Fail(ERROR_INVALID_PARAMETER, TIME_ZONE_ID_INVALID);
  std::memset(lpTimeZoneInformation, 0, sizeof *lpTimeZoneInformation);
  lpTimeZoneInformation->Bias = LONG(Clock().BiasMinutes());
  return TIME_ZONE_ID_UNKNOWN;
}

}  // extern "C"
