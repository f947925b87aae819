#include "adapter/component.h"

#include "adapter/driverfile.h"
#include "framework/componentfactory.h"
#include "osinfo/winversion.h"
#include "support/fileversion.h"

std::unique_ptr<CBaseComponent> CreateComponent() { return std::make_unique<CComponent>(); }

CComponent::CComponent() { g_messageWriter.Bind(m_pLog); }

CComponent::~CComponent() = default;

int CComponent::Install(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4, const WCHAR *languageCode) {
  // Not built yet: the adapter installation flow. Until then the generic installation runs.
  return CBaseComponent::Install(reserved1, reserved2, message, reserved4, languageCode);
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
