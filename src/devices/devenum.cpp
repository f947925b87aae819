#include "devices/devenum.h"

#include <cfgmgr32.h>

#include <cstring>
#include <new>

namespace {

// The first `length` characters of `text` equal `prefix` with ASCII letters compared without
// regard to case; a text that ends sooner does not.
bool StartsWithNoCase(const WCHAR *text, const WCHAR *prefix, int length) {
  for (int i = 0; i < length; ++i)
    if (AsciiUpper(text[i]) != AsciiUpper(prefix[i])) return false;  // text's NUL differs too
  return true;
}

// Copies what fits of a value read into `buffer`, keeping a text terminated when it was cut.
void CopyCut(BYTE *buffer, DWORD bufferSize, const BYTE *value, DWORD valueSize) {
  DWORD n = valueSize < bufferSize ? valueSize : bufferSize;
  std::memcpy(buffer, value, n);
  if (valueSize > bufferSize && bufferSize >= sizeof(WCHAR))
    std::memset(buffer + (bufferSize / sizeof(WCHAR) - 1) * sizeof(WCHAR), 0, sizeof(WCHAR));
}

}  // namespace

CDeviceEnumerator::CDeviceEnumerator(const GUID *classGuid, DWORD flags, const CStrList *prefixes) {
  Init(classGuid, flags);
  m_pPrefixes = prefixes;
  m_bFilter = true;
}

CDeviceEnumerator::CDeviceEnumerator(const GUID *classGuid, DWORD flags, const WCHAR *prefix) {
  Init(classGuid, flags);
  if (prefix && *prefix) {
    CopyText(m_szPrefix, kIdChars, prefix);
    m_bFilter = true;
  }
}

CDeviceEnumerator::CDeviceEnumerator(const CDeviceEnumerator &other)
    : m_hDevInfo(other.m_hDevInfo),
      m_devInfoData(other.m_devInfoData),
      m_pPrefixes(other.m_pPrefixes),
      m_nFlags(other.m_nFlags),
      m_pClassGuid(other.m_pClassGuid),
      m_bFilter(other.m_bFilter),
      m_nIndex(other.m_nIndex),
      m_bOwnsSet(false) {
  std::memcpy(m_szHardwareId, other.m_szHardwareId, sizeof m_szHardwareId);
  std::memcpy(m_szPrefix, other.m_szPrefix, sizeof m_szPrefix);
}

CDeviceEnumerator::~CDeviceEnumerator() { Close(); }

void CDeviceEnumerator::Init(const GUID *classGuid, DWORD flags) {
  m_devInfoData.cbSize = sizeof m_devInfoData;
  m_pClassGuid = classGuid;
  m_nFlags = flags;
}

void CDeviceEnumerator::First() {
  m_szHardwareId[0] = L'\0';
  m_nIndex = 0;
  m_hDevInfo = SetupDiGetClassDevsW(m_pClassGuid, nullptr, nullptr, m_nFlags);
  m_bOwnsSet = m_hDevInfo != INVALID_HANDLE_VALUE;
  Next();
}

bool CDeviceEnumerator::Matches() const {
  if (!m_pPrefixes) return StartsWithNoCase(m_szHardwareId, m_szPrefix, int(std::wcslen(m_szPrefix)));
  bool match = false;
  for (const CStr &prefix : *m_pPrefixes)
    if (StartsWithNoCase(m_szHardwareId, prefix.GetString(), prefix.GetLength())) match = true;
  return match;
}

void CDeviceEnumerator::Next() {
  if (m_hDevInfo == INVALID_HANDLE_VALUE) return;
  for (;;) {
    if (!SetupDiEnumDeviceInfo(m_hDevInfo, m_nIndex, &m_devInfoData)) {
      m_szHardwareId[0] = L'\0';  // the enumeration is over
      return;
    }
    bool read = GetRegistryProperty(m_hDevInfo, &m_devInfoData, SPDRP_HARDWAREID, nullptr,
                                    reinterpret_cast<BYTE *>(m_szHardwareId), sizeof m_szHardwareId);
    ++m_nIndex;
    if (!read) continue;  // a device without a readable hardware ID is skipped
    if (!m_bFilter || Matches()) return;
  }
}

const WCHAR *CDeviceEnumerator::GetCurrentHardwareId() const {
  if (m_hDevInfo == INVALID_HANDLE_VALUE || !m_szHardwareId[0]) return nullptr;
  return m_szHardwareId;
}

void CDeviceEnumerator::Close() {
  if (m_hDevInfo != INVALID_HANDLE_VALUE && m_bOwnsSet) SetupDiDestroyDeviceInfoList(m_hDevInfo);
  m_hDevInfo = INVALID_HANDLE_VALUE;
  m_bOwnsSet = false;
  m_szHardwareId[0] = L'\0';
}

bool CDeviceEnumerator::GetInstanceId(WCHAR *buffer) {
  if (!buffer) return false;
  buffer[0] = L'\0';
  if (m_hDevInfo == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_LIST_DETAIL_DATA_W detail;
  detail.cbSize = sizeof detail;
  if (!SetupDiGetDeviceInfoListDetailW(m_hDevInfo, &detail) ||
      CM_Get_Device_ID_ExW(m_devInfoData.DevInst, buffer, kInstanceIdChars, 0, detail.RemoteMachineHandle) !=
          CR_SUCCESS) {
    buffer[0] = L'\0';
    return false;
  }
  return true;
}

int CDeviceEnumerator::GetDevNodeStatus() {
  if (m_hDevInfo == INVALID_HANDLE_VALUE) return NIC_STATUS_NOT_AVAILABLE;
  SP_DEVINFO_LIST_DETAIL_DATA_W detail;
  detail.cbSize = sizeof detail;
  ULONG status = 0, problem = 0;
  if (!SetupDiGetDeviceInfoListDetailW(m_hDevInfo, &detail) ||
      CM_Get_DevNode_Status_Ex(&status, &problem, m_devInfoData.DevInst, 0, detail.RemoteMachineHandle) != CR_SUCCESS)
    return NIC_STATUS_NOT_AVAILABLE;
  if ((status & DN_HAS_PROBLEM) && problem == CM_PROB_DISABLED) return NIC_STATUS_DISABLED;
  if (status & (DN_HAS_PROBLEM | DN_PRIVATE_PROBLEM)) return NIC_STATUS_PROBLEM;
  if (status & DN_STARTED) return NIC_STATUS_STARTED;
  return NIC_STATUS_NOTSTARTED;
}

bool CDeviceEnumerator::ChangeState(DWORD stateChange) {
  if (m_hDevInfo == INVALID_HANDLE_VALUE) return false;
  SP_PROPCHANGE_PARAMS params;
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = stateChange;
  params.Scope = DICS_FLAG_CONFIGSPECIFIC;
  params.HwProfile = 0;  // the current hardware profile
  if (!SetupDiSetClassInstallParamsW(m_hDevInfo, &m_devInfoData, &params.ClassInstallHeader, sizeof params))
    return false;
  if (!SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, m_hDevInfo, &m_devInfoData)) return false;
  // A restart the change asks for is left to the caller, who decides from this result alone.
  SP_DEVINSTALL_PARAMS_W installParams;
  installParams.cbSize = sizeof installParams;
  return SetupDiGetDeviceInstallParamsW(m_hDevInfo, &m_devInfoData, &installParams) != FALSE;
}

int CollectHardwareIds(CDeviceEnumerator *enumerator, CStrList *list) {
  if (!enumerator || !list) return 0;
  enumerator->First();
  while (const WCHAR *id = enumerator->GetCurrentHardwareId()) {
    bool known = false;
    for (const CStr &entry : *list)
      if (StartsWithNoCase(id, entry.GetString(), entry.GetLength())) known = true;
    if (!known) list->Add(CStr(id));
    enumerator->Next();
  }
  enumerator->Close();
  return list->GetCount();
}

bool GetRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA *devInfo, DWORD property, DWORD *regType, BYTE *buffer,
                         DWORD bufferSize) {
  if (!buffer) return false;
  DWORD required = 0;
  if (SetupDiGetDeviceRegistryPropertyW(set, devInfo, property, regType, nullptr, 0, &required) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;
  // The copy is bounded by what was allocated: a property that grew between the two calls
  // reports a larger size in the second.
  const DWORD allocated = required;
  auto *temp = static_cast<BYTE *>(LocalAlloc(LMEM_ZEROINIT, allocated));
  if (!temp) return false;
  bool good = SetupDiGetDeviceRegistryPropertyW(set, devInfo, property, regType, temp, allocated, &required) ||
              (GetLastError() == ERROR_INSUFFICIENT_BUFFER && required > 0 && temp[0] != 0);
  if (good) CopyCut(buffer, bufferSize, temp, allocated);
  LocalFree(temp);
  return good;
}

bool GetDeviceProperty(HDEVINFO set, SP_DEVINFO_DATA *devInfo, const DEVPROPKEY &key,
                       WCHAR (&buffer)[CDeviceEnumerator::kIdChars]) {
  CopyText(buffer, CDeviceEnumerator::kIdChars, L"INVALID DEVICE");
  DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
  DWORD required = 0;
  if (SetupDiGetDevicePropertyW(set, devInfo, &key, &type, nullptr, 0, &required, 0) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;
  const DWORD allocated = required;
  BYTE *temp = new (std::nothrow) BYTE[allocated ? allocated : 1]();
  if (!temp) return false;
  bool good = SetupDiGetDevicePropertyW(set, devInfo, &key, &type, temp, allocated, &required, 0) ||
              (GetLastError() == ERROR_INSUFFICIENT_BUFFER && required > 0 && temp[0] != 0);
  if (good) CopyCut(reinterpret_cast<BYTE *>(buffer), sizeof buffer, temp, allocated);
  buffer[CDeviceEnumerator::kIdChars - 1] = L'\0';
  delete[] temp;
  return good;
}
