#include "adapter/driverfile.h"

#include <setupapi.h>

#include <cwchar>

#include "adapter/component.h"
#include "devices/devenum.h"
#include "osinfo/winversion.h"
#include "support/cmplog.h"
#include "support/fileversion.h"

int g_nIntelDeviceCount = 0;

const WCHAR *const kIntelDevicePrefixes[2] = {L"PCI\\VEN_8086&DEV_154C", L"PCI\\VEN_8086&DEV_1571"};

bool CountIntelDevices() {
  g_nIntelDeviceCount = 0;
  CStrList prefixes;
  for (const WCHAR *prefix : kIntelDevicePrefixes) prefixes.Add(CStr(prefix));
  CDeviceEnumerator devices(nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, &prefixes);
  for (devices.First(); devices.GetCurrentHardwareId(); devices.Next()) ++g_nIntelDeviceCount;
  devices.Close();
  return g_nIntelDeviceCount > 0;
}

bool GetDriverSysName(WCHAR *buffer, size_t capacity, const WCHAR *) {
  // Every Windows the v40 family runs on takes the same 64-bit driver; the probes only
  // tell whether the running one is among them.
  bool known = IsServer2012R2() || IsServer2012() || IsServer2008R2() || IsX64Version6OrLater();
  CopyText(buffer, capacity, L"z40e64.sys");
  return known;
}

bool GetDriverInfName(WCHAR *buffer, size_t capacity, const WCHAR *) {
  CopyText(buffer, capacity, L"z40e64.inf");
  return true;
}

CStr InstalledDriverPath() {
  WCHAR system[MAX_PATH] = L"";
  UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return CStr();
  WCHAR name[MAX_PATH] = L"";
  GetDriverSysName(name, MAX_PATH, L"v40");
  WCHAR path[MAX_PATH];
  if (std::swprintf(path, MAX_PATH, L"%ls\\drivers\\%ls", system, name) < 0) return CStr();
  return CStr(path);
}

CStr PackagedDriverPath() {
  WCHAR image[MAX_PATH] = L"";
  DWORD n = GetModuleFileNameW(nullptr, image, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return CStr();
  WCHAR *slash = std::wcsrchr(image, L'\\');
  if (slash) *slash = L'\0';
  WCHAR name[MAX_PATH] = L"";
  GetDriverSysName(name, MAX_PATH, L"v40");
  WCHAR path[MAX_PATH];
  if (std::swprintf(path, MAX_PATH, L"%ls\\%ls", image, name) < 0) return CStr();
  return CStr(path);
}

bool InstallDriverFile(const WCHAR *sourceName, const WCHAR *targetName, const WCHAR *sourceDir,
                       const WCHAR *targetDir) {
  g_messageWriter.Step(COMPONENT_SOURCE, 1603, L"Entering InstallDriverFile function.\n");
  auto fail = [] {
    g_messageWriter.Step(COMPONENT_SOURCE, 1656, L"InstallDriverFile: failure\n");
    return false;
  };
  auto succeed = [] {
    g_messageWriter.Step(COMPONENT_SOURCE, 1612, L"InstallDriverFile: success.\n");
    return true;
  };
  // Writable copies: some SDKs declare VerInstallFileW's texts without const. A name that
  // does not fit the path limit is a failure.
  WCHAR source[MAX_PATH], name[MAX_PATH], from[MAX_PATH], to[MAX_PATH];
  if (!sourceName || !targetName || !sourceDir || !targetDir || !CopyText(source, MAX_PATH, sourceName) ||
      !CopyText(name, MAX_PATH, targetName) || !CopyText(from, MAX_PATH, sourceDir) ||
      !CopyText(to, MAX_PATH, targetDir))
    return fail();

  // VerInstallFileW names its temporary copy here; a later call with the same buffer
  // reuses that copy.
  WCHAR tempFile[MAX_PATH] = L"";
  auto install = [&] {
    UINT tempLength = MAX_PATH;
    return VerInstallFileW(VIFF_FORCEINSTALL, source, name, from, to, to, tempFile, &tempLength) == 0;
  };
  if (install()) return succeed();

  WCHAR target[MAX_PATH];
  if (std::swprintf(target, MAX_PATH, L"%ls\\%ls", targetDir, targetName) < 0) return fail();
  // The old file's name while it is moved aside, kept apart from VerInstallFileW's buffer,
  // which the second attempt may overwrite.
  WCHAR aside[MAX_PATH] = L"";
  if (FileExists(target)) {
    if (!GetTempFileNameW(targetDir, L"TMP", 0, aside)) return fail();
    if (!DeleteFileW(aside) || !MoveFileW(target, aside)) return fail();
  }

  if (install()) return succeed();
  if (aside[0]) MoveFileW(aside, target);
  return fail();
}
