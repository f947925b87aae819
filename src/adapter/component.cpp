#include "adapter/component.h"

#include <setupapi.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "adapter/agent.h"
#include "adapter/driverfile.h"
#include "adapter/installation.h"
#include "adapter/journal.h"
#include "devices/devenum.h"
#include "framework/componentfactory.h"
#include "osinfo/winversion.h"
#include "support/fileversion.h"
#include "system/servicecontrol.h"

std::unique_ptr<CBaseComponent> CreateComponent() { return std::make_unique<CComponent>(); }

CComponent::CComponent() { g_messageWriter.Bind(m_pLog); }

CComponent::~CComponent() = default;

namespace {
// The adapter that is disabled and re-enabled around the driver step whether or not the
// package lists it.
const WCHAR kFixedAdapterId[] = L"PCI\\VEN_8086&DEV_1572&SUBSYS_0000A5E7&REV_01";

// `entry` begins with `instanceId` (compared without regard to case over the instance ID's
// length).
bool BeginsWith(const CStr &entry, const WCHAR *instanceId) {
  size_t chars = std::wcslen(instanceId);
  if (static_cast<size_t>(entry.GetLength()) < chars) return false;
  return entry.Left(static_cast<int>(chars)).CompareNoCase(instanceId) == 0;
}

// A result that told of an installed driver asks for a restart; a failed one stays failed.
int WithReboot(int result) { return result == 0 ? 0 : 2; }
}  // namespace

int CComponent::Install(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4, const WCHAR *languageCode) {
  g_messageWriter.Step(COMPONENT_SOURCE, 1243, L"[RuzuvAzudizuda]::Entering CComponent::Install function.\r\n");
  int result = 0;

  CStrList adapterIds;
  for (const CStr &id : m_supportedDevices) adapterIds.Add(id);
  adapterIds.Add(CStr(kFixedAdapterId));
  CDeviceEnumerator adapters(&kNdisLanClass, DIGCF_DEVICEINTERFACE, &adapterIds);
  CStrList enabled, disabled;
  int disabledCount = 0;
  // What an install that did not live to finish left: the adapters it found started.
  CAdapterJournal journal;
  journal.Load();
  CStrList present;

  // Status pass: every adapter that is started or disabled now is remembered, so that it can
  // be returned to that state after the driver step; one an interrupted install found
  // started counts as started, whatever its state now.
  WCHAR instanceId[CDeviceEnumerator::kInstanceIdChars];
  bool interrupted = false;
  for (adapters.First(); adapters.GetCurrentHardwareId(); adapters.Next()) {
    if (!adapters.GetInstanceId(instanceId)) {
      g_messageWriter.Step(COMPONENT_SOURCE, 1262, L"[RuzuvAzudizuda]::[ostrand] Couldn't get instance ID: %ls\r\n",
                           adapters.GetCurrentHardwareId());
      continue;
    }
    CStrList *list = nullptr;
    const int status = adapters.GetDevNodeStatus();
    switch (status) {
      case NIC_STATUS_NOT_AVAILABLE:
        g_messageWriter.Step(COMPONENT_SOURCE, 1270, L"[ostrand] NIC_STATUS_NOT_AVAILABLE: %ls\r\n", instanceId);
        break;
      case NIC_STATUS_DISABLED:
        g_messageWriter.Step(COMPONENT_SOURCE, 1274, L"[ostrand] NIC_STATUS_DISABLED: %ls\r\n", instanceId);
        list = &disabled;
        break;
      case NIC_STATUS_PROBLEM:
        g_messageWriter.Step(COMPONENT_SOURCE, 1279, L"[ostrand] NIC_STATUS_PROBLEM: %ls\r\n", instanceId);
        break;
      case NIC_STATUS_STARTED:
        g_messageWriter.Step(COMPONENT_SOURCE, 1283, L"[RuzuvAzudizuda]::[ostrand] NIC_STATUS_STARTED: %ls\r\n",
                             instanceId);
        list = &enabled;
        break;
      case NIC_STATUS_NOTSTARTED:
        g_messageWriter.Step(COMPONENT_SOURCE, 1288, L"[RuzuvAzudizuda]::[ostrand] NIC_STATUS_NOTSTARTED: %ls\r\n",
                             instanceId);
        break;
      default:
        g_messageWriter.Step(COMPONENT_SOURCE, 1292, L"[RuzuvAzudizuda]::[ostrand] bad property value: %ls\r\n",
                             instanceId);
        break;
    }
    if (status != NIC_STATUS_NOT_AVAILABLE) present.Add(CStr(instanceId));
    if (status != NIC_STATUS_NOT_AVAILABLE && status != NIC_STATUS_STARTED && journal.WasStarted(instanceId)) {
      g_messageWriter.Step(COMPONENT_SOURCE, 1296, L"[RuzuvAzudizuda]::[ostrand] NIC_STATUS_INTERRUPTED: %ls\r\n",
                           instanceId);
      list = &enabled;
      interrupted = true;
    }
    if (!list) continue;
    list->Add(CStr(instanceId));
    ++disabledCount;
  }
  adapters.Close();
  if (interrupted)
    g_messageWriter.Report(COMPONENT_SOURCE, 1297,
                           L"[RuzuvAzudizuda]::Restoring adapters left disabled by an interrupted installation.\r\n");
  for (const CStr &earlier : journal.EarlierStarted()) {
    bool found = false;
    for (const CStr &id : present) found = found || id.CompareNoCase(earlier) == 0;
    if (!found)
      g_messageWriter.Step(COMPONENT_SOURCE, 1300, L"[RuzuvAzudizuda]::[ostrand] NIC_NOT_PRESENT: %ls\r\n",
                           earlier.GetString());
  }

  // The journal goes to disk before any adapter is disabled; without it the install goes on.
  if (!journal.Write(enabled, disabled))
    g_messageWriter.Warning(COMPONENT_SOURCE, 1301,
                            L"[RuzuvAzudizuda]::The adapter journal could not be written: an installation that is "
                            L"interrupted now leaves its adapters disabled.\r\n");

  // Disable pass: each remembered adapter is disabled for the driver step. A failed disable
  // is not an error of the installation.
  for (adapters.First(); adapters.GetCurrentHardwareId(); adapters.Next()) {
    if (!adapters.GetInstanceId(instanceId)) continue;
    bool remembered = false;
    for (const CStrList *list : {&enabled, &disabled})
      for (const CStr &entry : *list) remembered = remembered || entry.CompareNoCase(instanceId) == 0;
    if (remembered && adapters.GetDevNodeStatus() != NIC_STATUS_DISABLED) (void)adapters.ChangeState(DICS_DISABLE);
  }
  adapters.Close();
  g_messageWriter.Step(COMPONENT_SOURCE, 1306, L"[RuzuvAzudizuda]::[ostrand] %ls: %d, %ls: %d, total disabled: %d\r\n",
                       L"SupportEnabled ", enabled.GetCount(), L"SupportDisabled ", disabled.GetCount(), disabledCount);

  // Re-enable pass: the adapters that were started are enabled, those the user had disabled
  // are disabled again if the installation enabled them. When the walk could not read an
  // instance ID, a change failed or an adapter was not found (the device set could not be
  // opened or walked to its end), the adapters not yet restored are tried once more in a
  // second walk: an adapter left disabled cuts a server off its network. Only an enable that
  // failed at its last try asks for a restart.
  auto restoreAdapters = [&] {
    enum class Restore { kUntouched, kDone, kFailed };
    std::vector<Restore> enabledState(static_cast<size_t>(enabled.GetCount()), Restore::kUntouched);
    std::vector<Restore> disabledState(static_cast<size_t>(disabled.GetCount()), Restore::kUntouched);
    auto pending = [](Restore state, int walk) { return walk == 0 || state != Restore::kDone; };
    bool missed = false;
    for (int walk = 0; walk < 2; ++walk) {
      missed = false;
      for (adapters.First(); adapters.GetCurrentHardwareId(); adapters.Next()) {
        if (!adapters.GetInstanceId(instanceId)) {
          missed = true;
          continue;
        }
        size_t i = 0;
        for (const CStr &entry : enabled) {
          if (pending(enabledState[i], walk) && BeginsWith(entry, instanceId))
            enabledState[i] = adapters.ChangeState(DICS_ENABLE) ? Restore::kDone : Restore::kFailed;
          ++i;
        }
        i = 0;
        for (const CStr &entry : disabled) {
          if (pending(disabledState[i], walk) && BeginsWith(entry, instanceId))
            disabledState[i] = adapters.GetDevNodeStatus() == NIC_STATUS_DISABLED || adapters.ChangeState(DICS_DISABLE)
                                   ? Restore::kDone
                                   : Restore::kFailed;
          ++i;
        }
      }
      adapters.Close();
      auto restored = [](const std::vector<Restore> &states) {
        return std::all_of(states.begin(), states.end(), [](Restore state) { return state == Restore::kDone; });
      };
      if (!missed && restored(enabledState) && restored(disabledState)) break;
    }
    // An adapter that was started and is not enabled again now (its enable failed, or
    // neither walk reached it) is a failed enable: the installation asks for a restart, and
    // the adapter is named in both logs, as a server without its network must be visible.
    size_t i = 0;
    CStrList notRestored;
    for (const CStr &entry : enabled) {
      if (enabledState[i++] == Restore::kDone) continue;
      notRestored.Add(entry);
      result = WithReboot(result);
      g_messageWriter.Step(COMPONENT_SOURCE, 1340, L"[RuzuvAzudizuda]::[ostrand] NIC_NOT_RESTORED: %ls\r\n",
                           entry.GetString());
      g_messageWriter.Warning(COMPONENT_SOURCE, 1342, L"[RuzuvAzudizuda]::[ostrand] NIC_NOT_RESTORED: %ls\r\n",
                              entry.GetString());
    }
    // The journal goes once every adapter is back; one that is not keeps its line.
    journal.Finish(notRestored);
  };

  CountIntelDevices();
  if (g_nIntelDeviceCount != 0) {
    int updated = UpdateDriver4IntelDevice(L"v40");
    if (updated == 0)
      g_messageWriter.Report(COMPONENT_SOURCE, 1322,
                             L"[RuzuvAzudizuda]::Intel z40e devices did not install successfully.\r\n");
    else if (updated == 2)
      g_messageWriter.Report(COMPONENT_SOURCE, 1325,
                             L"[RuzuvAzudizuda]::Intel z40e installation was successful. A reboot is required.\r\n");
    else
      g_messageWriter.Report(COMPONENT_SOURCE, 1328, L"[RuzuvAzudizuda]::Intel z40e installation was successful.\r\n");
    result = updated == 0 ? 0 : updated == 2 ? 2 : 1;

    bool staged = true;
    const WCHAR *failure = nullptr;
    if (IsServer2012R2()) {
      staged = CopyDriversToPnPFolder(kFullDriverFileSet);
      failure = L"Copy_Drivers_to_PnP_folder failed2.\r\n";
    } else if (IsServer2012()) {
      staged = CopyDriversToPnPFolder(kServer2012DriverFileSet);
      failure = L"Copy_Drivers_to_PnP_folder failed3.\r\n";
    } else if (IsServer2008R2()) {
      staged = CopyDriversToPnPFolder(kFullDriverFileSet);
      failure = L"Copy_Drivers_to_PnP_folder failed1.\r\n";
    } else if (IsX64Version6OrLater()) {
      staged = CopyDriversToPnPFolder(kFullDriverFileSet);
      failure = L"Copy_Drivers_to_PnP_folder failed4.\r\n";
    }
    if (!staged) {
      g_messageWriter.Report(COMPONENT_SOURCE, 1349, L"%ls", failure);
      // The adapters are returned to their state all the same: a server whose network
      // adapters stay disabled because a file could not be copied is cut off its network.
      restoreAdapters();
      return 0;
    }
  } else {
    if (!CopyDriversToPnPFolder(kAgentFileSet)) {
      g_messageWriter.Report(COMPONENT_SOURCE, 1357, L"Copy_OCD_Agent_to_PnP_folder failed0.\r\n");
      restoreAdapters();
      return 0;
    }
    result = CBaseComponent::Install(reserved1, reserved2, message, reserved4, languageCode);
  }

  restoreAdapters();

  // Agent step: the agent runs only on machines without Intel devices.
  if (!CountIntelDevices()) {
    int agentReboot = 0;
    if (InstallOcdAgent(&agentReboot) != 0 && agentReboot) {
      result = WithReboot(result);
      g_messageWriter.Report(COMPONENT_SOURCE, 1372, L"RuzuvAzudizuda::Start OCD Agent failed, requesting reboot.\r\n");
    }
  } else {
    CServiceControl agent(L"direvo");
    if (agent.Exists()) {
      (void)agent.Remove(true);
      if (agent.Exists())
        g_messageWriter.Report(COMPONENT_SOURCE, 1380, L"RuzuvAzudizuda::Intel OCD Agent failed to be removed.\r\n");
      else
        g_messageWriter.Report(COMPONENT_SOURCE, 1383,
                               L"RuzuvAzudizuda::Intel OCD Agent is not supported on this adapter and has been "
                               L"removed.\r\n");
    }
  }

  g_messageWriter.Step(COMPONENT_SOURCE, 1389, L"[RuzuvAzudizuda]::Exiting CComponent:Install function.\n");
  return result;
}

int CComponent::IsOSSupported() {
  g_messageWriter.Bind(m_pLog);
  // Windows Server 2012 R2 and 2012 are decided by their own probes; only the versions of
  // the supported-OS records count for them.
  if (IsServer2012R2()) {
    g_messageWriter.Step(COMPONENT_SOURCE, 1210, L"[RuzuvAzudizuda]::Install found Windows 2012 R2 OS.\r\n");
    for (const OSDescriptor &os : m_supportedOS)
      if (os.nMajor == 6 && os.nMinor == 3) {
        g_messageWriter.Step(COMPONENT_SOURCE, 1215, L"[RuzuvAzudizuda]::Install found Windows 2012 R2 indicated.\r\n");
        return 1;
      }
  }
  if (!IsConfirmedServer2012()) return CBaseComponent::IsOSSupported();
  for (const OSDescriptor &os : m_supportedOS)
    if (os.nMajor == 6 && os.nMinor == 2) {
      g_messageWriter.Step(COMPONENT_SOURCE, 1224,
                           L"[RuzuvAzudizuda]::Install found Windows 2012 indicated in 2012 OS.\n");
      return 1;
    }
  g_messageWriter.Step(COMPONENT_SOURCE, 1228,
                       L"[RuzuvAzudizuda]::Install found Windows 2012 but WAS NOT indicated for 2012 OS.\n");
  return 0;
}

int CComponent::IsInstalled() {
  CountIntelDevices();
  if (g_nIntelDeviceCount != 0) {
    CFileVersion installed(InstalledDriverPath());
    if (installed.GetSize() != 0) return 1;
  }
  return CBaseComponent::IsInstalled();
}

int CComponent::GetVersionStatus() {
  g_messageWriter.Step(COMPONENT_SOURCE, 1179, L"[RuzuvAzudizuda] -- GetVersionStatus.\r\n");
  CountIntelDevices();
  if (g_nIntelDeviceCount == 0) return CBaseComponent::GetVersionStatus();
  CFileVersion installed(InstalledDriverPath());
  CFileVersion packaged(PackagedDriverPath());
  // File versions only: dates, sizes and product versions take no part.
  if (installed.IsNewerThan(packaged)) return 2;
  if (installed.IsSameVersion(packaged)) return 1;
  return 0;
}
