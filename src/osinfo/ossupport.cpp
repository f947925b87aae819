// Operating-system support: the running Windows (platform, version, service pack, edition)
// matched against the package's supported-OS list, with the full trail in the verbose log.
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "osinfo/ossupport.h"
#include "osinfo/editions.h"
#include "osinfo/osversionreg.h"
#include "support/cstr.h"
#include "support/handles.h"

namespace {
using GetNativeSystemInfoFn = void(WINAPI *)(LPSYSTEM_INFO);
using GetProductInfoFn = BOOL(WINAPI *)(DWORD, DWORD, DWORD, DWORD, PDWORD);

template <class T>
T Lookup(HMODULE module, const char *name) {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

const WCHAR *Flag(bool value) { return value ? L"true" : L"false"; }

// kernel32.dll from the system directory, freed when the owner goes.
unique_hmodule LoadKernel32() {
  WCHAR path[MAX_PATH];
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || std::wcslen(path) + 13 >= MAX_PATH) return unique_hmodule();
  std::wcscat(path, L"\\kernel32.dll");
  return unique_hmodule(LoadLibraryW(path));
}

// The service pack number of a service-pack text: the digits after its first digit.
int ServicePackOf(const WCHAR *text) {
  while (*text && !(*text >= L'0' && *text <= L'9')) ++text;
  int value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) value = value * 10 + (*text - L'0');
  return value;
}

const WCHAR *PlatformName(WORD architecture, const WCHAR **line) {
  switch (architecture) {
    case PROCESSOR_ARCHITECTURE_INTEL:
      *line = L"IsOSSupported: sysinfo.wProcessorArchitecture: (nt) PROCESSOR_ARCHITECTURE_INTEL";
      return L"nt";
    case PROCESSOR_ARCHITECTURE_IA64:
      *line = L"IsOSSupported: sysinfo.wProcessorArchitecture: (nt64) PROCESSOR_ARCHITECTURE_IA64";
      return L"nt64";
    case PROCESSOR_ARCHITECTURE_AMD64:
      *line = L"IsOSSupported: sysinfo.wProcessorArchitecture: (nt_x86-64) PROCESSOR_ARCHITECTURE_AMD64";
      return L"nt_x86-64";
    case PROCESSOR_ARCHITECTURE_IA32_ON_WIN64:
      *line = L"IsOSSupported: sysinfo.wProcessorArchitecture: (NULL) PROCESSOR_ARCHITECTURE_IA32_ON_WIN64";
      return L"";
    default: *line = L"IsOSSupported: sysinfo.wProcessorArchitecture: (NULL) DEFAULT"; return L"";
  }
}
}  // namespace

void GetOSMajorMinorVsn(WORD *major, WORD *minor) {
  *major = *minor = 0;
  std::vector<BYTE> data(8192);
  DWORD size = DWORD(data.size());
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentVersion",
                   RRF_RT_REG_SZ, nullptr, data.data(), &size) != ERROR_SUCCESS)
    return;
  const WCHAR *text = reinterpret_cast<const WCHAR *>(data.data());
  char narrow[256] = "";
  size_t chars = wcsnlen(text, data.size() / sizeof(WCHAR));
  if (WideCharToMultiByte(CP_ACP, 0, text, int(chars < 255 ? chars : 255), narrow, 255, nullptr, nullptr) <= 0 && chars)
    return;
  int a = 0, b = 0;
  if (std::sscanf(narrow, "%d.%d", &a, &b) != 2) return;  // not a number pair: 0.0
  *major = WORD(a);
  *minor = WORD(b);
}

// Verbose-log entries of the matching, each starting and ending with a line feed.
#define OS_LOG(line, ...) log.WriteEntry(LOG_VERBOSE_STEP, SEV_NONE, sourceFile, line, __VA_ARGS__)

bool MatchSupportedOS(const std::vector<OSDescriptor> &supported, CCmpLog &log, const WCHAR *sourceFile) {
  if (supported.empty()) {
    OS_LOG(560, L"\nIsOSSupported: m_SupportedOSersionsions is Empty\n");
    return true;
  }
  OS_LOG(565, L"\nIsOSSupported: Calling GetSystemDirectory\n");
  OS_LOG(568, L"\nIsOSSupported: GetSystemDirectory call complete\n");
  unique_hmodule kernel32 = LoadKernel32();
  OS_LOG(571, L"\nIsOSSupported: LoadLibrary Call for kernel32.dll\n");
  if (!kernel32) {
    OS_LOG(574, L"\nIsOSSupported: LoadLibrary Call for kernel32.dll - fails\n");
    return false;
  }
  OS_LOG(578, L"\nIsOSSupported: LoadLibrary Call for kernel32.dll - succeeds\n");

  auto getNativeSystemInfo = Lookup<GetNativeSystemInfoFn>(kernel32.get(), "GetNativeSystemInfo");
  OS_LOG(582, L"\nIsOSSupported: Making call to GetNativeSystemInfo via GetProcAddress\n");
  OS_LOG(583, L"\nIsOSSupported: Making call to GetVersionEx\n");
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  OS_LOG(587, L"\nIsOSSupported: Making call to GetVersionEx complete\n");

  OSDescriptor current{};
  int servicePack = version.szCSDVersion[0] ? ServicePackOf(version.szCSDVersion) : 0;
  OS_LOG(592, L"\nIsOSSupported: dwSPMajor is (0x%X) \n", unsigned(servicePack));

  if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    OS_LOG(595, L"\nIsOSSupported: dwSPMajor is (0x%X) \n", unsigned(servicePack));
    OS_LOG(597, L"\nIsOSSupported: dwSPMajor is (0x%X) \n", unsigned(servicePack));
    SYSTEM_INFO info{};
    if (getNativeSystemInfo)
      getNativeSystemInfo(&info);
    else
      GetSystemInfo(&info);
    const WCHAR *line = nullptr;
    CopyText(current.szOSName, ARRAYSIZE(current.szOSName), PlatformName(info.wProcessorArchitecture, &line));
    OS_LOG(605, L"\n%ls\n", line);
  } else {
    OS_LOG(607, L"\nIsOSSupported: sysinfo.wProcessorArchitecture (NULL)\n");
  }

  current.nMajor = int(version.dwMajorVersion);
  current.nMinor = int(version.dwMinorVersion);
  current.nServicePack = servicePack;
  OS_LOG(613, L"\nIsOSSupported: Current.nMajor: (0x%X)\n", unsigned(current.nMajor));
  OS_LOG(614, L"\nIsOSSupported: Current.nMinor: (0x%X)\n", unsigned(current.nMinor));
  OS_LOG(615, L"\nIsOSSupported: Current.nServicePack: (0x%X)\n", unsigned(current.nServicePack));

  // Windows 8.1 and later report 6.2 to programs without a manifest; the registry knows.
  OS_LOG(618, L"\nIsOSSupported: GetOSMajorMinorVsn\n");
  WORD registryMajor = 0, registryMinor = 0;
  GetOSMajorMinorVsn(&registryMajor, &registryMinor);
  OS_LOG(621, L"\nIsOSSupported: Major: (0x%X) - Minor: (0x%X)\n", unsigned(registryMajor), unsigned(registryMinor));
  if (registryMajor == 6 && registryMinor == 3) {
    current.nMajor = 6;
    current.nMinor = 3;
    current.nServicePack = 0;
  }
  OS_LOG(627, L"\nIsOSSupported: (Major)Current.nMajor: (0x%X)\n", unsigned(current.nMajor));
  OS_LOG(628, L"\nIsOSSupported: (Minor)Current.nMinor: (0x%X)\n", unsigned(current.nMinor));
  OS_LOG(629, L"\nIsOSSupported: (ServicePack)Current.nServicePack: (0x%X)\n", unsigned(current.nServicePack));

  DWORD productType = 0;
  if (current.nMajor >= 6) {
    OS_LOG(633, L"\nIsOSSupported: Retrieving GetProductInfo Address\n");
    auto getProductInfo = Lookup<GetProductInfoFn>(kernel32.get(), "GetProductInfo");
    OS_LOG(635, L"\nIsOSSupported: GetProductInfo Address complete\n");
    if (getProductInfo) {
      OS_LOG(637, L"\nIsOSSupported: GetProductInfo appears valid\n");
      getProductInfo(version.dwMajorVersion, version.dwMinorVersion, DWORD(servicePack), 0, &productType);
      OS_LOG(639, L"\nIsOSSupported: GetProductInfo call complete\n");
    }
  }
  OS_LOG(642, L"\nIsOSSupported: dwEdition is (0x%X)\n", unsigned(productType));
  current.nEdition = GetEditionCode(productType, GetSystemMetrics(SM_SERVERR2) != 0);
  OS_LOG(644, L"\nIsOSSupported: Current.nEdition is (0x%X)\n", unsigned(current.nEdition));

  bool match = false;
  for (size_t i = 0; i < supported.size(); ++i) {
    const OSDescriptor &entry = supported[i];
    match = false;
    OS_LOG(650, L"\nIsOSSupported: ulIndex is (0x%X)\n", unsigned(i));
    OS_LOG(651, L"\nIsOSSupported: ulIndex - bMatch is %ls\n", Flag(match));
    OS_LOG(652, L"\nIsOSSupported: ulIndex - SupportOS set\n");
    if (CStr(entry.szOSName).CompareNoCase(current.szOSName) == 0) {
      match = true;
      OS_LOG(656, L"\nIsOSSupported: Check OS Name succeeds - bMatch is %ls\n", Flag(match));
      OS_LOG(657, L"\nIsOSSupported: Check OS Name succeeds - SupportedOS.szOSName is %ls\n", entry.szOSName);
      OS_LOG(658, L"\nIsOSSupported: Check OS Name succeeds - CurrentOS.szOSName is %ls\n", current.szOSName);
      if (entry.nMajor == -1 || entry.nMajor == current.nMajor) {
        match = true;
        OS_LOG(661, L"\nIsOSSupported: (loop) else - bMatch is %ls\n", Flag(match));
        if (entry.nMinor != -1 && entry.nMinor != current.nMinor) {
          OS_LOG(663, L"\nIsOSSupported: Minor OS Version Check fails - bMatch is %ls\n", Flag(match));
          OS_LOG(664, L"\nIsOSSupported: Minor OS Version Check fails - SupportedOS.nMinor is (0x%X)\n",
                 unsigned(entry.nMinor));
          OS_LOG(666, L"\nIsOSSupported: Minor OS Version Check fails - CurrentOS.nMinor is (0x%X)\n",
                 unsigned(current.nMinor));
          match = false;
        }
        if (entry.nServicePack != -1 && current.nServicePack < entry.nServicePack) {
          OS_LOG(671, L"\nIsOSSupported: Service Pack Check fails - bMatch is %ls\n", Flag(match));
          OS_LOG(672, L"\nIsOSSupported: Service Pack Check fails - SupportedOS.nServicePack is (0x%X)\n",
                 unsigned(entry.nServicePack));
          OS_LOG(674, L"\nIsOSSupported: Service Pack Check fails - CurrentOS.nServicePack is (0x%X)\n",
                 unsigned(current.nServicePack));
          match = false;
        }
        if ((entry.nEdition & current.nEdition) != current.nEdition) {
          OS_LOG(679, L"\nIsOSSupported: Edition Check fails - bMatch is %ls\n", Flag(match));
          match = false;
        }
      } else {
        for (int k = 0; k < 3; ++k)
          OS_LOG(684, L"\nIsOSSupported: Minor OS Version Check fails - bMatch is %ls\n", Flag(match));
        match = false;
      }
    }
    if (match) {
      OS_LOG(689, L"\nIsOSSupported: Breaking out of loop - bMatch is %ls\n", Flag(match));
      break;
    }
  }
  OS_LOG(693, L"\nIsOSSupported: FreeLibrary Call for Kernel32.dll\n");
  kernel32.reset();
  OS_LOG(695, L"\nIsOSSupported: Leaving IsOSSupported - bMatch is %ls\n", Flag(match));
  return match;
}

bool DetectOS64Bit(CCmpLog &log, const WCHAR *sourceFile) {
  unique_hmodule kernel32 = LoadKernel32();
  if (!kernel32) return false;
  auto getNativeSystemInfo = Lookup<GetNativeSystemInfoFn>(kernel32.get(), "GetNativeSystemInfo");
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  bool answer = false;
  if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    SYSTEM_INFO info{};
    if (getNativeSystemInfo)
      getNativeSystemInfo(&info);
    else
      GetSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
      case PROCESSOR_ARCHITECTURE_INTEL: OS_LOG(715, L"    - Operating system is not 64-bit.\r\n"); break;
      case PROCESSOR_ARCHITECTURE_IA64:
        OS_LOG(718, L"    - Operating system is 64-bit.\r\n");
        OS_LOG(719, L"    - Operating system is IA-64 based.\r\n");
        answer = true;
        break;
      case PROCESSOR_ARCHITECTURE_AMD64:
        OS_LOG(723, L"    - Operating system is 64-bit.\r\n");
        OS_LOG(724, L"    - Operating system is x64 based.\r\n");
        answer = true;
        break;
      case PROCESSOR_ARCHITECTURE_IA32_ON_WIN64:
        OS_LOG(728, L"    - Operating system is 64-bit.\r\n");
        answer = true;
        break;
      default: break;
    }
  }
  return answer;
}
