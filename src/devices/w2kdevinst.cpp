#include "devices/w2kdevinst.h"

#include <cstring>

#include "support/format.h"

W2KDEVINST::W2KDEVINST() {
  std::memset(&m_device, 0, sizeof(m_device));
  std::memset(&m_driver, 0, sizeof(m_driver));
  std::memset(&m_driverDetail, 0, sizeof(m_driverDetail));
  std::memset(&m_driverParams, 0, sizeof(m_driverParams));
}

W2KDEVINST::W2KDEVINST(const W2KDEVINST &other)
    : m_hDevInfo(other.m_hDevInfo),
      m_device(other.m_device),
      m_driver(other.m_driver),
      m_driverDetail(other.m_driverDetail),
      m_driverParams(other.m_driverParams),
      m_bSnapshot(true) {}

W2KDEVINST &W2KDEVINST::operator=(const W2KDEVINST &other) {
  if (this != &other) {
    DestroyDriverList();
    m_hDevInfo = other.m_hDevInfo;
    m_device = other.m_device;
    m_driver = other.m_driver;
    m_driverDetail = other.m_driverDetail;
    m_driverParams = other.m_driverParams;
    m_bSnapshot = true;
  }
  return *this;
}

W2KDEVINST::~W2KDEVINST() { DestroyDriverList(); }

void W2KDEVINST::MakeSnapshot() {
  DestroyDriverList();
  m_bSnapshot = true;
}

void W2KDEVINST::DestroyDriverList() {
  if (m_bOwnsDriverList && m_hDevInfo) {
    DWORD saved = GetLastError();
    SetupDiDestroyDriverInfoList(m_hDevInfo, &m_device, SPDIT_COMPATDRIVER);  // a failure changes nothing
    SetLastError(saved);
  }
  m_bOwnsDriverList = false;
}

// Asking for the compatible-driver list with DI_FLAGSEX_INSTALLEDDRIVER set gives a list that
// holds only the driver installed for the device. Each piece read stays zero when its call
// fails; without the list (or its first member) there is no driver data at all.
void W2KDEVINST::ReadInstalledDriver(HDEVINFO set, const SP_DEVINFO_DATA &device) {
  DestroyDriverList();
  std::memset(&m_driver, 0, sizeof(m_driver));
  std::memset(&m_driverDetail, 0, sizeof(m_driverDetail));
  std::memset(&m_driverParams, 0, sizeof(m_driverParams));
  m_hDevInfo = set;
  m_device = device;
  m_bSnapshot = false;

  SP_DEVINSTALL_PARAMS_W params;
  std::memset(&params, 0, sizeof(params));
  params.cbSize = sizeof(params);
  if (!SetupDiGetDeviceInstallParamsW(set, &m_device, &params)) return;
  params.FlagsEx |= DI_FLAGSEX_INSTALLEDDRIVER;
  if (!SetupDiSetDeviceInstallParamsW(set, &m_device, &params)) return;
  if (!SetupDiBuildDriverInfoList(set, &m_device, SPDIT_COMPATDRIVER)) return;
  m_bOwnsDriverList = true;

  SP_DRVINFO_DATA_V2_W driver;
  std::memset(&driver, 0, sizeof(driver));
  driver.cbSize = sizeof(driver);
  if (!SetupDiEnumDriverInfoW(set, &m_device, SPDIT_COMPATDRIVER, 0, &driver)) return;
  m_driver = driver;

  SP_DRVINSTALL_PARAMS driverParams;
  std::memset(&driverParams, 0, sizeof(driverParams));
  driverParams.cbSize = sizeof(driverParams);
  if (SetupDiGetDriverInstallParamsW(set, &m_device, &m_driver, &driverParams)) m_driverParams = driverParams;

  // The structure's own room holds the fixed part but rarely the whole hardware-ID list at
  // its end: ERROR_INSUFFICIENT_BUFFER still leaves the fixed part, InfFileName included,
  // complete.
  SP_DRVINFO_DETAIL_DATA_W detail;
  std::memset(&detail, 0, sizeof(detail));
  detail.cbSize = sizeof(detail);
  DWORD required = 0;
  if (SetupDiGetDriverInfoDetailW(set, &m_device, &m_driver, &detail, sizeof(detail), &required) ||
      GetLastError() == ERROR_INSUFFICIENT_BUFFER)
    m_driverDetail = detail;
}

DWORD W2KDEVINST::HasDriverFlag(DWORD mask) const { return m_hDevInfo ? (m_driverParams.Flags & mask) : 0; }

bool W2KDEVINST::ReadRegistryProperty(DWORD property, DWORD *registryType, BYTE *buffer, DWORD bufferSize,
                                      DWORD *requiredSize) const {
  if (!m_hDevInfo || m_bSnapshot) return false;
  SP_DEVINFO_DATA device = m_device;
  return SetupDiGetDeviceRegistryPropertyW(m_hDevInfo, &device, property, registryType, buffer, bufferSize,
                                           requiredSize) != FALSE;
}

CStr W2KDEVINST::GetDriverVersionText() const {
  if (!m_hDevInfo) return CStr();
  DWORDLONG v = m_driver.DriverVersion;
  return CStr(FormatText(L"%d.%d.%d.%d", int((v >> 48) & 0xFFFF), int((v >> 32) & 0xFFFF), int((v >> 16) & 0xFFFF),
                         int(v & 0xFFFF))
                  .c_str());
}
