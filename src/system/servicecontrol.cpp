#include "system/servicecontrol.h"

#include <setupapi.h>

#include "system/registrykey.h"

namespace {
const WCHAR kServicesKey[] = L"System\\CurrentControlSet\\Services\\";
const WCHAR kEventLogKey[] = L"System\\CurrentControlSet\\Services\\EventLog\\System\\";
const WCHAR kRootEnumKey[] = L"System\\CurrentControlSet\\Enum\\Root\\";

constexpr DWORD kWaitStepMs = 100;
constexpr int kStartWaitSteps = 600;  // 60 seconds for SERVICE_RUNNING
constexpr int kStopWaitSteps = 300;   // 30 seconds for SERVICE_STOPPED
constexpr int kLockRetries = 60;      // one a second
constexpr DWORD kLockRetryMs = 1000;
constexpr DWORD kLegacyPendingRemoval = 0x40008;  // StatusFlags of a legacy instance waiting for removal
constexpr DWORD kLegacyClassGuidRoom = 5;

// A key below the Enum key, read on the local machine only.
bool LocalEnumKeyExists(const CStr &path) {
  RegistryKey key(path.GetString());
  key.SetAccessMask(KEY_READ);
  return key.Exists();
}
}  // namespace

// ---- CServiceManager -----------------------------------------------------------------------

CServiceManager::CServiceManager(const WCHAR *machine) : m_strMachine(machine ? machine : L"") {}

CServiceManager::~CServiceManager() { Close(); }

bool CServiceManager::Open() {
  if (!m_hSCManager) {
    m_hSCManager.reset(
        OpenSCManagerW(m_strMachine.IsEmpty() ? nullptr : m_strMachine.GetString(), nullptr, SC_MANAGER_ALL_ACCESS));
    m_nLastError = ::GetLastError();
  }
  return bool(m_hSCManager);
}

bool CServiceManager::Lock() {
  if (!m_hSCManager) return false;
  m_hLock.reset(LockServiceDatabase(m_hSCManager.get()));
  m_nLastError = ::GetLastError();
  for (int retry = 0; !m_hLock && retry < kLockRetries; ++retry) {
    if (m_nLastError != ERROR_SERVICE_DATABASE_LOCKED) return false;
    Sleep(kLockRetryMs);
    m_hLock.reset(LockServiceDatabase(m_hSCManager.get()));
    m_nLastError = ::GetLastError();
  }
  return bool(m_hLock);
}

bool CServiceManager::Unlock() {
  if (!m_hLock) return false;
  BOOL unlocked = UnlockServiceDatabase(m_hLock.get());
  m_nLastError = ::GetLastError();
  if (!unlocked) return false;
  m_hLock.release();
  return true;
}

bool CServiceManager::Close() {
  Unlock();
  if (m_hSCManager) {
    // The handle is given up only when it was closed; a failed close leaves it to retry.
    if (CloseServiceHandle(m_hSCManager.get())) m_hSCManager.release();
    m_nLastError = ::GetLastError();
  }
  return true;
}

// ---- CServiceControl -----------------------------------------------------------------------

CServiceControl::CServiceControl(const WCHAR *serviceName) : m_strServiceName(serviceName ? serviceName : L"") {
  if (m_scManager.Open()) m_hSCManager = m_scManager.GetHandle();
}

CServiceControl::CServiceControl(const WCHAR *machine, const WCHAR *serviceName)
    : m_scManager(machine), m_strMachine(machine ? machine : L"") {
  if (m_scManager.Open()) {
    m_hSCManager = m_scManager.GetHandle();
    m_strServiceName = serviceName ? serviceName : L"";
  }
}

CServiceControl::~CServiceControl() { CloseService(); }

CStr CServiceControl::ServiceKeyPath() const { return CStr(kServicesKey) + m_strServiceName.GetString(); }

bool CServiceControl::OpenService() {
  if (m_hService) return true;
  if (!m_scManager.Open()) return false;
  m_hSCManager = m_scManager.GetHandle();
  if (!m_hSCManager || m_strServiceName.IsEmpty()) return false;
  m_hService.reset(OpenServiceW(m_hSCManager, m_strServiceName.GetString(), SERVICE_ALL_ACCESS));
  return bool(m_hService);
}

bool CServiceControl::CloseService() {
  if (m_hService && CloseServiceHandle(m_hService.get())) m_hService.release();
  m_scManager.Close();
  return true;
}

bool CServiceControl::Exists() {
  if (!OpenService()) return false;
  CloseService();
  RegistryKey key(m_strMachine.GetString(), ServiceKeyPath().GetString());
  return key.Exists();
}

bool CServiceControl::QueryState(DWORD *state) {
  SERVICE_STATUS status = {};
  if (!QueryServiceStatus(m_hService.get(), &status)) return false;
  *state = status.dwCurrentState;
  return true;
}

bool CServiceControl::IsRunning() {
  if (!OpenService()) return false;
  DWORD state = SERVICE_STOPPED;
  bool running = QueryState(&state) && state != SERVICE_STOPPED;
  CloseService();
  return running;
}

bool CServiceControl::Start() {
  if (IsRunning()) return true;
  if (!OpenService()) return false;
  if (!StartServiceW(m_hService.get(), 0, nullptr)) {
    CloseService();
    return false;
  }
  // A failing query leaves the last state read in place.
  DWORD state = SERVICE_START_PENDING;
  QueryState(&state);
  for (int step = 0; state != SERVICE_RUNNING && step < kStartWaitSteps; ++step) {
    Sleep(kWaitStepMs);
    QueryState(&state);
  }
  CloseService();
  return true;
}

bool CServiceControl::Stop() {
  if (!OpenService()) return false;
  SERVICE_STATUS status = {};
  bool accepted = ControlService(m_hService.get(), SERVICE_CONTROL_STOP, &status) != FALSE;
  if (accepted) {
    // Bounded: a service that never reports SERVICE_STOPPED is left stopping.
    DWORD state = SERVICE_STOP_PENDING;
    QueryState(&state);
    for (int step = 0; state != SERVICE_STOPPED && step < kStopWaitSteps; ++step) {
      Sleep(kWaitStepMs);
      QueryState(&state);
    }
  }
  CloseService();
  return accepted;
}

bool CServiceControl::Control(DWORD control, SERVICE_STATUS *status) {
  if (!OpenService()) return false;
  SERVICE_STATUS local = {};
  bool result = ControlService(m_hService.get(), control, status ? status : &local) != FALSE;
  CloseService();
  return result;
}

bool CServiceControl::Remove(bool force) {
  if (IsRunning() && !force) return Disable();
  bool result = true;  // a service that cannot be opened leaves nothing to delete
  if (OpenService()) {
    result = DeleteService(m_hService.get()) != FALSE;
    CloseService();
  }
  // The event log source goes too; a missing key is no error and changes nothing.
  RegistryKey eventLog(m_strMachine.GetString(), (CStr(kEventLogKey) + m_strServiceName.GetString()).GetString());
  (void)eventLog.DeleteTree();
  return result;
}

bool CServiceControl::Disable() {
  if (!Exists()) return false;
  RegistryKey key(m_strMachine.GetString(), ServiceKeyPath().GetString());
  return key.WriteDword(L"Start", SERVICE_DISABLED);
}

bool CServiceControl::SetStartType(DWORD startType) {
  if (!Exists()) return false;
  RegistryKey key(m_strMachine.GetString(), ServiceKeyPath().GetString());
  (void)key.DeleteValue(L"DeleteFlag");
  return key.WriteDword(L"Start", startType);
}

bool CServiceControl::IsDisabled() {
  if (!Exists()) return false;
  RegistryKey key(m_strMachine.GetString(), ServiceKeyPath().GetString());
  DWORD start = 0;
  if (!key.ReadDword(L"Start", &start)) start = 0;
  return start == SERVICE_DISABLED;
}

bool CServiceControl::IsPendingRemoval() {
  if (Exists()) {
    RegistryKey key(m_strMachine.GetString(), ServiceKeyPath().GetString());
    DWORD flag = 0;
    if (!key.ReadDword(L"DeleteFlag", &flag)) flag = 0;
    if (flag == 1) return true;
  }
  // Also for a service that does not exist: its legacy device may still wait for removal.
  RegistryKey legacy((CStr(kRootEnumKey) + L"LEGACY_" + m_strServiceName.GetString() + L"\\0000").GetString());
  legacy.SetAccessMask(KEY_READ);
  DWORD statusFlags = 0;
  if (!legacy.ReadDword(L"StatusFlags", &statusFlags)) statusFlags = 0;
  return statusFlags == kLegacyPendingRemoval;
}

bool CServiceControl::HasLegacyInstance() {
  CStr name(m_strServiceName);
  name.MakeUpper();
  return LocalEnumKeyExists(CStr(kRootEnumKey) + L"LEGACY_" + name.GetString() + L"\\0000");
}

bool CServiceControl::HasRootInstance() {
  CStr name(m_strServiceName);
  name.MakeUpper();
  return LocalEnumKeyExists(CStr(kRootEnumKey) + name.GetString() + L"\\0000");
}

bool CServiceControl::Create(const WCHAR *displayName, const WCHAR *binaryPath, DWORD serviceType, DWORD startType,
                             const WCHAR *loadOrderGroup, const WCHAR *dependencies) {
  if (!m_scManager.Open() || m_strServiceName.IsEmpty() || !m_scManager.Lock()) return false;
  m_hSCManager = m_scManager.GetHandle();
  m_hService.reset(CreateServiceW(m_hSCManager, m_strServiceName.GetString(), displayName, SERVICE_ALL_ACCESS,
                                  serviceType, startType, SERVICE_ERROR_NORMAL, binaryPath, loadOrderGroup, nullptr,
                                  dependencies, nullptr, nullptr));
  m_scManager.Unlock();
  if (!m_hService) return false;
  CloseService();
  return true;
}

bool CServiceControl::RemoveLegacyDevice(const WCHAR *className) {
  if (m_strServiceName.IsEmpty() || !className || !*className) return false;
  GUID classGuids[kLegacyClassGuidRoom] = {};
  DWORD required = 0;
  if (!SetupDiClassGuidsFromNameW(className, classGuids, kLegacyClassGuidRoom, &required)) return false;
  // A class name no setup class has gives no GUID: there is no set of that class to open
  // the device in (a set of GUID_NULL would accept a device of any class).
  if (required == 0) return false;
  unique_hdevinfo set(SetupDiCreateDeviceInfoList(&classGuids[0], nullptr));
  if (!set) return false;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  CStr instance = CStr(L"Root\\LEGACY_") + m_strServiceName.GetString() + L"\\0000";
  if (!SetupDiOpenDeviceInfoW(set.get(), instance.GetString(), nullptr, DIOD_INHERIT_CLASSDRVS, &device)) return false;
  return SetupDiRemoveDevice(set.get(), &device) != FALSE;
}
