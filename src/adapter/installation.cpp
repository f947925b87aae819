#include "adapter/installation.h"

#include <setupapi.h>
#include <newdev.h>

#include <cwchar>

#include "adapter/component.h"
#include "adapter/driverfile.h"
#include "devices/devenum.h"
#include "driverinstall/pnpdriver.h"
#include "support/cmplog.h"
#include "support/cstr.h"
#include "support/safefolder.h"

const DriverFilePair kAgentFileSet[2] = {{L"vode64r.sys", L"vode64r.sys"}, {L"direvo.exe", L"direvo.exe"}};

const DriverFilePair kFullDriverFileSet[8] = {{L"NicInI40.dll", L"NicInI40.dll"}, {L"NicInV40.dll", L"NicInV40.dll"},
                                              {L"z40e64.cat", L"z40e64.cat"},     {L"z40e64.din", L"z40e64.din"},
                                              {L"z40e64.inf", L"z40e64.inf"},     {L"z40e64.sys", L"z40e64.sys"},
                                              {L"v40emsg.dll", L"v40emsg.dll"},   {L"NicCo36.dll", L"NicCo36.dll"}};

const DriverFilePair kServer2012DriverFileSet[6] = {{L"z40e64.cat", L"z40e64.cat"},   {L"z40e64.din", L"z40e64.din"},
                                                    {L"z40e64.inf", L"z40e64.inf"},   {L"z40e64.sys", L"z40e64.sys"},
                                                    {L"v40emsg.dll", L"v40emsg.dll"}, {L"NicCo36.dll", L"NicCo36.dll"}};

namespace {
// The folder of the host's executable, where every file the adapter component installs is
// taken from; false when the module name cannot be read whole.
bool HostDirectory(WCHAR (&folder)[MAX_PATH]) {
  DWORD chars = GetModuleFileNameW(nullptr, folder, MAX_PATH);
  if (chars == 0 || chars >= MAX_PATH) {
    folder[0] = L'\0';
    return false;
  }
  if (WCHAR *slash = std::wcsrchr(folder, L'\\')) *slash = L'\0';
  return true;
}

// "<folder>\<name>" into `path`; false when it does not fit.
bool JoinPath(WCHAR (&path)[MAX_PATH], const WCHAR *folder, const WCHAR *name) {
  int chars = std::swprintf(path, MAX_PATH, L"%ls\\%ls", folder, name);
  if (chars < 0 || chars >= MAX_PATH) {
    path[0] = L'\0';
    return false;
  }
  return true;
}
}  // namespace

int UpdateDriver4IntelDevice(const WCHAR *family) {
  g_messageWriter.Step(INSTALLATION_SOURCE, 212, L"[RuzuvAzudizuda]::Entering UpdateDriver4IntelDevice function.\r\n");
  WCHAR infName[MAX_PATH] = L"";
  GetDriverInfName(infName, MAX_PATH, family);
  WCHAR folder[MAX_PATH];
  WCHAR infPath[MAX_PATH];
  if (!HostDirectory(folder) || !JoinPath(infPath, folder, infName)) return 0;

  CNewDevLibrary newdev;
  CNewDevLibrary::UpdateDriverFn update = newdev.Update();

  CStrList prefixes;
  for (const WCHAR *prefix : kIntelDevicePrefixes) prefixes.Add(CStr(prefix));
  // All classes: the interface class only names the set, every present device is walked.
  CDeviceEnumerator devices(&kNdisLanClass, DIGCF_PRESENT | DIGCF_ALLCLASSES, &prefixes);
  BOOL rebootFlag = FALSE;
  for (devices.First(); const WCHAR *hardwareId = devices.GetCurrentHardwareId(); devices.Next()) {
    BOOL reboot = FALSE;
    DWORD error = ERROR_PROC_NOT_FOUND;  // newdev.dll or its update call is missing
    if (update) {
      if (update(nullptr, hardwareId, infPath, INSTALLFLAG_FORCE, &reboot)) {
        rebootFlag |= reboot;
        continue;
      }
      error = GetLastError();
    }
    g_messageWriter.Report(INSTALLATION_SOURCE, 243,
                           L"zemraInstaller warning:  Could not install %ls to %ls -- error 0x%x \r\n", infPath,
                           hardwareId, static_cast<unsigned>(error));
    // A device the INF has nothing newer for does not stop the others.
    if (error == ERROR_NO_MORE_ITEMS) continue;
    devices.Close();
    return 0;
  }
  devices.Close();
  g_messageWriter.Step(INSTALLATION_SOURCE, 266, L"[RuzuvAzudizuda]::Exiting UpdateDriver4IntelDevice function.\r\n");
  return rebootFlag ? 2 : 1;
}

bool CopyDriversToPnPFolder(const DriverFilePair *set, size_t count) {
  g_messageWriter.Step(INSTALLATION_SOURCE, 287, L"Entering CopyDriversToPnPFolder function.\n");
  WCHAR source[MAX_PATH];
  bool sourceKnown = HostDirectory(source);
  // The driver is installed from this folder later: one that anyone else could change (or
  // a link to elsewhere) is replaced first, and one that cannot be made safe gets no file.
  CStr staging = PnpStagingFolder();
  bool folderSafe = !staging.IsEmpty() && MakeSafeFolder(staging);
  for (size_t i = 0; i < count; ++i) {
    WCHAR from[MAX_PATH], to[MAX_PATH];
    bool copied = sourceKnown && folderSafe && JoinPath(from, source, set[i].sourceName) &&
                  JoinPath(to, staging, set[i].targetName) && CopyFileW(from, to, FALSE);
    if (!copied) {
      g_messageWriter.Step(INSTALLATION_SOURCE, 305, L"Failed to copy file to PnPdrvs folder: %ls", set[i].targetName);
      return false;
    }
  }
  g_messageWriter.Step(INSTALLATION_SOURCE, 311, L"Exiting CopyDriversToPnPFolder function.\n");
  return true;
}
