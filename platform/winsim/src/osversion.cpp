// The operating system the machine runs, from machine.toml's [os] table (defaults: 64-bit
// Windows Server 2019 Standard).
#include <algorithm>
#include <cstring>
#include <string>

#include "hooks.h"
#include "machine.h"
#include "names.h"

using namespace winsim;

namespace {
int64_t OsNumber(const char *key, int64_t fallback) {
  auto os = Current().config["os"].as_table();
  return os ? (*os)[key].value_or(fallback) : fallback;
}

std::string OsText(const char *key, const std::string &fallback) {
  auto os = Current().config["os"].as_table();
  return os ? (*os)[key].value_or(fallback) : fallback;
}

BYTE ProductType() {
  std::string type = OsText("product_type", "server");
  if (type == "workstation") return VER_NT_WORKSTATION;
  if (type == "domain_controller") return VER_NT_DOMAIN_CONTROLLER;
  return VER_NT_SERVER;
}
}  // namespace

extern "C" {

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  WINSIM_ENTRY("kernel32.dll", GetVersionExW, FALSE);
  if (!info) return Fail(ERROR_NOACCESS, FALSE);
  DWORD size = info->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  info->dwMajorVersion = DWORD(OsNumber("major", 10));
  info->dwMinorVersion = DWORD(OsNumber("minor", 0));
  info->dwBuildNumber = DWORD(OsNumber("build", 17763));
  info->dwPlatformId = DWORD(OsNumber("platform_id", VER_PLATFORM_WIN32_NT));
  std::wstring csd = FromUtf8(OsText("csd_version", ""));
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  csd.copy(info->szCSDVersion, std::min<size_t>(csd.size(), 127));
  if (size == sizeof(OSVERSIONINFOEXW)) {
    auto *ex = reinterpret_cast<LPOSVERSIONINFOEXW>(info);
    ex->wServicePackMajor = WORD(OsNumber("sp_major", 0));
    ex->wServicePackMinor = WORD(OsNumber("sp_minor", 0));
    ex->wSuiteMask = WORD(OsNumber("suite_mask", 0x0110));
    ex->wProductType = ProductType();
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
  *pdwReturnedProductType = DWORD(OsNumber("product_info", PRODUCT_STANDARD_SERVER));
  return TRUE;
}

}  // extern "C"
