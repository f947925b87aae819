#include "component.h"

CComponent::CComponent() { g_messageWriter.Bind(m_pLog); }

CComponent::~CComponent() = default;

int CComponent::Install(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4, const WCHAR *languageCode) {
  // Not built yet: the adapter installation flow. Until then the generic installation runs.
  return CBaseComponent::Install(reserved1, reserved2, message, reserved4, languageCode);
}

int CComponent::IsOSSupported() {
  g_messageWriter.Bind(m_pLog);
  // Not built yet: the adapter's own Windows Server 2012 decisions; the generic matching runs.
  return CBaseComponent::IsOSSupported();
}

int CComponent::IsInstalled() {
  // Not built yet: the Intel-device driver file test; the generic form runs.
  return CBaseComponent::IsInstalled();
}

int CComponent::GetVersionStatus() {
  // Not built yet: the Intel-device driver file comparison; the generic form runs.
  return CBaseComponent::GetVersionStatus();
}
