// The service control manager over the registry's Services key (machine/services.h): SCM and service
// handles, status, start and stop after [[services]], deferred deletion, creation and
// configuration, and the database lock.
//
// Handles are objects of the kernel object table (handles.h): a closed SC_HANDLE or SC_LOCK
// used again stops the run. The elevated administrator is granted every right it asks for;
// each call checks the rights its handle was opened with. The SCM writes and deletes service
// keys as SYSTEM, so key access lists do not stop it.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/names.h"
#include "machine/devices.h"
#include "machine/registry.h"
#include "machine/services.h"
#include "machine/system.h"
#include "plumbing/handles.h"
#include "plumbing/hooks.h"
#include "plumbing/calls.h"
#include "base/diagnostics.h"

using namespace winsim;

namespace {

constexpr DWORD kStandardRightsExecute = READ_CONTROL;

struct ScObject : Object {
  explicit ScObject(Kind k) : Object(k) {}
  ACCESS_MASK access = 0;
  std::wstring name;  // services: the key name
};

std::shared_ptr<ScObject> FindSc(SC_HANDLE h, Object::Kind kind) {
  return std::static_pointer_cast<ScObject>(FindObject(reinterpret_cast<HANDLE>(h), kind));
}

std::wstring NameOf(SC_HANDLE h) {
  std::shared_ptr<ScObject> s = FindSc(h, Object::Kind::Service);
  return s ? s->name : std::wstring();
}

ACCESS_MASK MapGeneric(ACCESS_MASK a, bool manager) {
  ACCESS_MASK all = manager ? SC_MANAGER_ALL_ACCESS : SERVICE_ALL_ACCESS;
  if (a & (GENERIC_ALL | MAXIMUM_ALLOWED)) a |= all;
  if (a & GENERIC_READ)
    a |= STANDARD_RIGHTS_READ |
         (manager ? SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS
                  : SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS);
  if (a & GENERIC_WRITE)
    a |= STANDARD_RIGHTS_WRITE |
         (manager ? SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG : SERVICE_CHANGE_CONFIG);
  if (a & GENERIC_EXECUTE)
    a |= kStandardRightsExecute | (manager ? SC_MANAGER_CONNECT | SC_MANAGER_LOCK
                                           : SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                                                 SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL);
  return a & all;
}

size_t OpenHandlesOf(const std::wstring &name) {
  size_t n = 0;
  ForEachObject(Object::Kind::Service, [&](Object &o) { n += EqualNoCase(static_cast<ScObject &>(o).name, name); });
  return n;
}

// A double-NUL-terminated list.
std::vector<std::wstring> MultiList(LPCWSTR list) {
  std::vector<std::wstring> out;
  for (const wchar_t *p = list; p && *p; p += out.back().size() + 1) out.emplace_back(p);
  return out;
}

bool PreVista() { return System().os.major < 6; }

}  // namespace

extern "C" {

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  WINSIM_ENTRY("advapi32.dll", OpenSCManagerW, nullptr, lpMachineName, lpDatabaseName);
  std::wstring_view machine = lpMachineName ? lpMachineName : L"";
  if (machine.size() >= 2 && machine[0] == L'\\' && machine[1] == L'\\') machine.remove_prefix(2);
  // The simulated machine has no network: another computer's SCM is never reached.
  if (!machine.empty() && !EqualNoCase(machine, System().computerName))
    return Fail(DWORD(RPC_S_SERVER_UNAVAILABLE), SC_HANDLE(nullptr));
  if (lpDatabaseName && !EqualNoCase(lpDatabaseName, SERVICES_ACTIVE_DATABASEW))
    return Fail(DWORD(EqualNoCase(lpDatabaseName, SERVICES_FAILED_DATABASEW) ? ERROR_DATABASE_DOES_NOT_EXIST
                                                                             : ERROR_INVALID_NAME),
                SC_HANDLE(nullptr));
  auto scm = std::make_shared<ScObject>(Object::Kind::ScManager);
  scm->access = MapGeneric(dwDesiredAccess, true) | SC_MANAGER_CONNECT;
  SC_HANDLE h = reinterpret_cast<SC_HANDLE>(AddObject(scm));
  SetLastError(ERROR_SUCCESS);
  return h;
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  WINSIM_ENTRY("advapi32.dll", OpenServiceW, nullptr, lpServiceName);
  if (!FindSc(hSCManager, Object::Kind::ScManager)) return Fail(DWORD(ERROR_INVALID_HANDLE), SC_HANDLE(nullptr));
  if (!lpServiceName) return Fail(DWORD(ERROR_INVALID_ADDRESS), SC_HANDLE(nullptr));
  if (!ValidServiceName(lpServiceName)) return Fail(DWORD(ERROR_INVALID_NAME), SC_HANDLE(nullptr));
  RegKey *key = ServiceKey(lpServiceName);
  if (!key) return Fail(DWORD(ERROR_SERVICE_DOES_NOT_EXIST), SC_HANDLE(nullptr));
  auto service = std::make_shared<ScObject>(Object::Kind::Service);
  service->access = MapGeneric(dwDesiredAccess, false);
  service->name = key->name;
  SC_HANDLE h = reinterpret_cast<SC_HANDLE>(AddObject(service));
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  WINSIM_ENTRY("advapi32.dll", CloseServiceHandle, FALSE, NameOf(hSCObject));
  HANDLE h = reinterpret_cast<HANDLE>(hSCObject);
  if (RemoveObject(h, Object::Kind::ScManager)) return TRUE;
  std::wstring name = NameOf(hSCObject);
  if (!RemoveObject(h, Object::Kind::Service)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  Services().CompleteDeletion(name, OpenHandlesOf(name));
  return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  WINSIM_ENTRY("advapi32.dll", QueryServiceStatus, FALSE, NameOf(hService));
  std::shared_ptr<ScObject> s = FindSc(hService, Object::Kind::Service);
  if (!s) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!(s->access & SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  const ServiceRuntime &rt = Services().RuntimeOf(s->name);
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  if (RegKey *key = ServiceKey(s->name)) type = DwordValue(*key, L"Type").value_or(type);
  *lpServiceStatus = SERVICE_STATUS{};
  lpServiceStatus->dwServiceType = type;
  lpServiceStatus->dwCurrentState = rt.state;
  lpServiceStatus->dwControlsAccepted = rt.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  lpServiceStatus->dwWin32ExitCode = rt.state == SERVICE_STOPPED ? rt.exitCode : ERROR_SUCCESS;
  lpServiceStatus->dwWaitHint = rt.state == SERVICE_START_PENDING ? 2000 : 0;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR *lpServiceArgVectors) {
  WINSIM_ENTRY("advapi32.dll", StartServiceW, FALSE, NameOf(hService));
  (void)dwNumServiceArgs;  // the arguments go to the service's main function, which is not run
  (void)lpServiceArgVectors;
  std::shared_ptr<ScObject> s = FindSc(hService, Object::Kind::Service);
  if (!s) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!(s->access & SERVICE_START)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (!ServiceKey(s->name)) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  ServiceRuntime &rt = Services().RecordOf(s->name);
  if (rt.marked) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  if (rt.startType == SERVICE_DISABLED) return Fail(ERROR_SERVICE_DISABLED, FALSE);
  if (rt.state != SERVICE_STOPPED) return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
  if (Services().LockedElsewhere()) return Fail(ERROR_SERVICE_DATABASE_LOCKED, FALSE);
  switch (rt.onStart) {
    case ServiceSpec::OnStart::Fails: return Fail(rt.startError, FALSE);
    case ServiceSpec::OnStart::Stops: rt.exitCode = rt.startError; break;
    case ServiceSpec::OnStart::Pending:
      rt.state = SERVICE_START_PENDING;
      rt.exitCode = ERROR_SUCCESS;
      break;
    case ServiceSpec::OnStart::Runs:
      rt.state = SERVICE_RUNNING;
      rt.exitCode = ERROR_SUCCESS;
      break;
  }
  if (rt.state != SERVICE_STOPPED) {
    ListLegacyService(s->name, true);
    StartWaitingDevices(s->name);
  }
  Services().changed = true;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  WINSIM_ENTRY("advapi32.dll", ControlService, FALSE, NameOf(hService));
  std::shared_ptr<ScObject> s = FindSc(hService, Object::Kind::Service);
  if (!s) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (dwControl != SERVICE_CONTROL_STOP && dwControl != SERVICE_CONTROL_INTERROGATE) {
    if (dwControl == SERVICE_CONTROL_PAUSE || dwControl == SERVICE_CONTROL_CONTINUE ||
        dwControl == SERVICE_CONTROL_PARAMCHANGE || (dwControl >= 128 && dwControl <= 255)) {
      NotModelled("ControlService", "control " + std::to_string(dwControl) + " (only stop and interrogate are)");
      return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
    }
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  DWORD needed = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP : SERVICE_INTERROGATE;
  if (!(s->access & needed)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  ServiceRuntime &rt = Services().RuntimeOf(s->name);
  if (rt.state == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
  // A service still starting has not told the SCM it accepts a stop yet.
  if (rt.state != SERVICE_RUNNING) {
    QueryServiceStatus(hService, lpServiceStatus);
    return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
  }
  if (dwControl == SERVICE_CONTROL_STOP) {
    rt.state = SERVICE_STOPPED;
    rt.exitCode = ERROR_SUCCESS;
    ListLegacyService(s->name, false);
    Services().changed = true;
  }
  QueryServiceStatus(hService, lpServiceStatus);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
  WINSIM_ENTRY("advapi32.dll", DeleteService, FALSE, NameOf(hService));
  std::shared_ptr<ScObject> s = FindSc(hService, Object::Kind::Service);
  if (!s) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!(s->access & DELETE)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  RegKey *key = ServiceKey(s->name);
  if (!key || Services().RecordOf(s->name).marked) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  SetDword(*key, L"DeleteFlag", 1);
  Services().RecordOf(s->name).marked = true;
  Services().changed = true;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
  WINSIM_ENTRY("advapi32.dll", CreateServiceW, nullptr, lpServiceName, lpBinaryPathName);
  (void)lpPassword;  // accounts are not checked
  std::shared_ptr<ScObject> scm = FindSc(hSCManager, Object::Kind::ScManager);
  if (!scm) return Fail(DWORD(ERROR_INVALID_HANDLE), SC_HANDLE(nullptr));
  if (!lpServiceName) return Fail(DWORD(ERROR_INVALID_ADDRESS), SC_HANDLE(nullptr));
  if (!(scm->access & SC_MANAGER_CREATE_SERVICE)) return Fail(DWORD(ERROR_ACCESS_DENIED), SC_HANDLE(nullptr));
  if (!lpBinaryPathName) return Fail(DWORD(ERROR_INVALID_PARAMETER), SC_HANDLE(nullptr));
  if (lpdwTagId) {
    NotModelled("CreateServiceW", "load order tags");
    return Fail(DWORD(ERROR_CALL_NOT_IMPLEMENTED), SC_HANDLE(nullptr));
  }
  std::wstring display = lpDisplayName ? lpDisplayName : L"";
  std::wstring group = lpLoadOrderGroup ? lpLoadOrderGroup : L"";
  std::wstring account = lpServiceStartName ? lpServiceStartName : L"";
  std::vector<std::wstring> dependencies = MultiList(lpDependencies);
  DWORD e = CreateServiceEntry(lpServiceName, lpDisplayName ? &display : nullptr, dwServiceType, dwStartType,
                               dwErrorControl, lpBinaryPathName, &group, &dependencies, &account);
  if (e != ERROR_SUCCESS) return Fail(e, SC_HANDLE(nullptr));
  auto service = std::make_shared<ScObject>(Object::Kind::Service);
  service->access = MapGeneric(dwDesiredAccess, false);
  service->name = ServiceKey(lpServiceName)->name;
  SC_HANDLE h = reinterpret_cast<SC_HANDLE>(AddObject(service));
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL WINAPI ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                 LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                 LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword,
                                 LPCWSTR lpDisplayName) {
  WINSIM_ENTRY("advapi32.dll", ChangeServiceConfigW, FALSE, NameOf(hService), lpBinaryPathName);
  (void)lpPassword;
  std::shared_ptr<ScObject> s = FindSc(hService, Object::Kind::Service);
  if (!s) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!(s->access & SERVICE_CHANGE_CONFIG)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  RegKey *key = ServiceKey(s->name);
  if (!key || Services().RecordOf(s->name).marked) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  if (lpdwTagId) {
    NotModelled("ChangeServiceConfigW", "load order tags");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  DWORD type = DwordValue(*key, L"Type").value_or(0), start = Services().RecordOf(s->name).startType,
        errorControl = DwordValue(*key, L"ErrorControl").value_or(0);
  if (dwServiceType != SERVICE_NO_CHANGE) type = dwServiceType;
  if (dwStartType != SERVICE_NO_CHANGE) start = dwStartType;
  if (dwErrorControl != SERVICE_NO_CHANGE) errorControl = dwErrorControl;
  if (!ValidServiceConfig(type, start, errorControl)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (lpDisplayName && ServiceNameTaken(lpDisplayName, s->name)) return Fail(ERROR_DUPLICATE_SERVICE_NAME, FALSE);
  SetDword(*key, L"Type", type);
  SetDword(*key, L"Start", start);
  SetDword(*key, L"ErrorControl", errorControl);
  Services().RecordOf(s->name).startType = start;
  Services().changed = true;
  if (lpBinaryPathName && *lpBinaryPathName) SetText(*key, L"ImagePath", lpBinaryPathName, REG_EXPAND_SZ);
  if (lpLoadOrderGroup) {
    RemoveValue(*key, L"Group");
    if (*lpLoadOrderGroup) SetText(*key, L"Group", lpLoadOrderGroup);
  }
  if (lpDependencies) WriteDependencies(*key, MultiList(lpDependencies));
  if (lpServiceStartName && *lpServiceStartName) SetText(*key, L"ObjectName", lpServiceStartName);
  if (lpDisplayName) {
    RemoveValue(*key, L"DisplayName");
    if (*lpDisplayName) SetText(*key, L"DisplayName", lpDisplayName);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

SC_LOCK WINAPI LockServiceDatabase(SC_HANDLE hSCManager) {
  WINSIM_ENTRY("advapi32.dll", LockServiceDatabase, nullptr);
  std::shared_ptr<ScObject> scm = FindSc(hSCManager, Object::Kind::ScManager);
  if (!scm) return Fail(DWORD(ERROR_INVALID_HANDLE), SC_LOCK(nullptr));
  if (!(scm->access & SC_MANAGER_LOCK)) return Fail(DWORD(ERROR_ACCESS_DENIED), SC_LOCK(nullptr));
  // Since Windows Vista the lock guards nothing and every request gets one.
  if (PreVista()) {
    if (Services().lockedHere || Services().LockedElsewhere())
      return Fail(DWORD(ERROR_SERVICE_DATABASE_LOCKED), SC_LOCK(nullptr));
    Services().lockedHere = true;
  }
  SC_LOCK lock = AddObject(std::make_shared<ScObject>(Object::Kind::ScLock));
  SetLastError(ERROR_SUCCESS);
  return lock;
}

BOOL WINAPI UnlockServiceDatabase(SC_LOCK ScLock) {
  WINSIM_ENTRY("advapi32.dll", UnlockServiceDatabase, FALSE);
  if (!RemoveObject(ScLock, Object::Kind::ScLock)) return Fail(ERROR_INVALID_SERVICE_LOCK, FALSE);
  if (PreVista()) Services().lockedHere = false;
  return TRUE;
}

}  // extern "C"
