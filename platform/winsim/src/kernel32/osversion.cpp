// The operating system the machine runs, from machine.toml's [os] table (defaults: 64-bit
// Windows Server 2019 Standard).
#include <algorithm>
#include <cstring>
#include <string>

#include "plumbing/hooks.h"
#include "base/names.h"
#include "machine/system.h"
#include "plumbing/calls.h"

using namespace winsim;

extern "C" {

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  WINSIM_ENTRY("kernel32.dll", GetVersionExW, FALSE);
  if (!info) return Fail(ERROR_NOACCESS, FALSE);
  DWORD size = info->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  const OsSpec &os = System().os;
  info->dwMajorVersion = os.major;
  info->dwMinorVersion = os.minor;
  info->dwBuildNumber = os.build;
  info->dwPlatformId = os.platformId;
  const std::wstring &csd = os.csdVersion;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  csd.copy(info->szCSDVersion, std::min<size_t>(csd.size(), 127));
  if (size == sizeof(OSVERSIONINFOEXW)) {
    auto *ex = reinterpret_cast<LPOSVERSIONINFOEXW>(info);
    ex->wServicePackMajor = os.spMajor;
    ex->wServicePackMinor = os.spMinor;
    ex->wSuiteMask = os.suiteMask;
    ex->wProductType = os.productType;
    ex->wReserved = 0;
  }
  return TRUE;
}

}  // extern "C"

extern "C" {

// The product type of the machine ([os] product_info, PRODUCT_STANDARD_SERVER by default)
// for any version asked from Windows Vista (6.0) on. For an earlier major version it answers
// FALSE with PRODUCT_UNDEFINED and leaves the last error as it was.
BOOL WINAPI GetProductInfo(DWORD dwOSMajorVersion, DWORD dwOSMinorVersion, DWORD dwSpMajorVersion,
                           DWORD dwSpMinorVersion, PDWORD pdwReturnedProductType) {
  WINSIM_ENTRY("kernel32.dll", GetProductInfo, FALSE);
  (void)dwOSMinorVersion;
  (void)dwSpMajorVersion;
  (void)dwSpMinorVersion;
  if (!pdwReturnedProductType) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (dwOSMajorVersion < 6) {
    *pdwReturnedProductType = PRODUCT_UNDEFINED;
    return FALSE;
  }
  *pdwReturnedProductType = System().os.productInfo;
  return TRUE;
}

}  // extern "C"
