// The service control manager over the registry's Services key (services.h): SCM and service
// handles, status, start and stop after [[services]], deferred deletion, creation and
// configuration, and the database lock.
//
// Handles are objects of the kernel object table (handles.h): a closed SC_HANDLE or SC_LOCK
// used again stops the run. The elevated administrator is granted every right it asks for;
// each call checks the rights its handle was opened with. The SCM writes and deletes service
// keys as SYSTEM, so key access lists do not stop it.
#include "machine/services.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "machine/devices.h"
#include "plumbing/handles.h"
#include "plumbing/hooks.h"
#include "machine/machine.h"
#include "base/names.h"
#include "machine/registry.h"

using namespace winsim;

namespace {

constexpr const wchar_t *kServicesPath = L"SYSTEM\\CurrentControlSet\\Services";
constexpr size_t kMaxServiceName = 256;
constexpr DWORD kStandardRightsExecute = READ_CONTROL;
constexpr DWORD kValidTypes = SERVICE_DRIVER | SERVICE_WIN32 | SERVICE_ADAPTER | SERVICE_INTERACTIVE_PROCESS;

struct ScObject : Object {
  explicit ScObject(Kind k) : Object(k) {}
  ACCESS_MASK access = 0;
  std::wstring name;  // services: the key name
};

// The helpers below take the machine or its registry for LoadServices and SaveServices,
// which run while the machine is not (or no longer) the open one; the entry points use the
// open machine's.
ServiceDatabase &Db(Machine &m = Current()) {
  if (!m.serviceDb) m.serviceDb = std::make_shared<ServiceDatabase>();
  return *m.serviceDb;
}

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

// A name the SCM accepts: 1 to 256 characters, no slash or backslash.
bool ValidName(std::wstring_view name) {
  return !name.empty() && name.size() <= kMaxServiceName && name.find_first_of(L"\\/") == std::wstring_view::npos;
}

RegKey *ServicesKey(Registry &r = CurrentRegistry()) {
  std::shared_ptr<RegKey> key;
  if (r.Open(r.Predefined(HKEY_LOCAL_MACHINE), kServicesPath, &key) != ERROR_SUCCESS) return nullptr;
  return key.get();
}

bool ReadDword(RegKey &key, const wchar_t *name, DWORD &out) {
  RegValue *v = key.FindValue(name);
  if (!v || v->type != REG_DWORD || v->data.size() < 4) return false;
  out = DWORD(v->data[0]) | DWORD(v->data[1]) << 8 | DWORD(v->data[2]) << 16 | DWORD(v->data[3]) << 24;
  return true;
}

std::wstring ReadText(RegKey &key, const wchar_t *name) {
  RegValue *v = key.FindValue(name);
  if (!v || !IsStringType(v->type)) return {};
  std::wstring text = TextOfImage(v->data);
  size_t nul = text.find(L'\0');
  return nul == std::wstring::npos ? text : text.substr(0, nul);
}

void SetValue(RegKey &key, const wchar_t *name, DWORD type, std::vector<BYTE> data) {
  if (RegValue *v = key.FindValue(name)) {
    v->type = type;
    v->data = std::move(data);
  } else {
    key.values.push_back(RegValue{name, type, std::move(data)});
  }
  CurrentRegistry().Touch(&key);
}

void SetDword(RegKey &key, const wchar_t *name, DWORD value) {
  SetValue(key, name, REG_DWORD, {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)});
}

void SetText(RegKey &key, const wchar_t *name, const std::wstring &text, DWORD type = REG_SZ) {
  SetValue(key, name, type, Utf16Image(text, true));
}

void SetMultiText(RegKey &key, const wchar_t *name, const std::vector<std::wstring> &entries) {
  std::wstring image;
  for (const std::wstring &e : entries) image += e + L'\0';
  image += L'\0';
  SetValue(key, name, REG_MULTI_SZ, Utf16Image(image, false));
}

void RemoveValue(RegKey &key, const wchar_t *name) {
  auto &values = key.values;
  values.erase(
      std::remove_if(values.begin(), values.end(), [&](const RegValue &v) { return EqualNoCase(v.name, name); }),
      values.end());
}

// The key of a service: a subkey of Services with a Type value.
RegKey *ServiceKey(std::wstring_view name, Registry &r = CurrentRegistry()) {
  RegKey *services = ServicesKey(r);
  if (!services || !ValidName(name)) return nullptr;
  RegKey *key = services->FindSubkey(name);
  DWORD type;
  return key && ReadDword(*key, L"Type", type) ? key : nullptr;
}

bool MarkedForDelete(RegKey &key) {
  DWORD flag = 0;
  return ReadDword(key, L"DeleteFlag", flag) && flag == 1;
}

ServiceRuntime &RuntimeOf(const std::wstring &name, Machine &m = Current()) {
  ServiceRuntime &rt = Db(m).runtime[Upcased(name)];
  if (rt.name.empty()) rt.name = name;
  return rt;
}

// The service as the SCM's database holds it: the registry's start type and deletion mark
// as they were when the SCM first met the service after the boot.
ServiceRuntime &RecordOf(const std::wstring &name, Machine &m = Current()) {
  ServiceRuntime &rt = RuntimeOf(name, m);
  if (rt.recorded) return rt;
  rt.recorded = true;
  rt.startType = SERVICE_DEMAND_START;
  rt.marked = false;
  if (RegKey *key = ServiceKey(name, *m.registry)) {
    ReadDword(*key, L"Start", rt.startType);
    rt.marked = MarkedForDelete(*key);
  }
  return rt;
}

// Another service whose name or display name is `text` (other than `self`).
bool NameTaken(std::wstring_view text, std::wstring_view self) {
  RegKey *services = ServicesKey();
  if (!services || text.empty()) return false;
  for (auto &[upcased, sub] : services->subkeys) {
    DWORD type;
    if (EqualNoCase(sub->name, self) || !ReadDword(*sub, L"Type", type)) continue;
    if (EqualNoCase(sub->name, text) || EqualNoCase(ReadText(*sub, L"DisplayName"), text)) return true;
  }
  return false;
}

size_t OpenHandlesOf(const std::wstring &name) {
  size_t n = 0;
  ForEachObject(Object::Kind::Service, [&](Object &o) { n += EqualNoCase(static_cast<ScObject &>(o).name, name); });
  return n;
}

// The deletion DeleteService asked for, once the service is stopped and no handle is open.
void CompleteDeletion(const std::wstring &name, Machine &m = Current()) {
  RegKey *key = ServiceKey(name, *m.registry);
  if (!key) return;
  const ServiceRuntime &rt = RecordOf(name, m);
  if (!rt.marked || rt.heldElsewhere || rt.state != SERVICE_STOPPED || OpenHandlesOf(name)) return;
  m.registry->Remove(key);
  Db(m).runtime.erase(Upcased(name));
  Db(m).changed = true;
}

bool ValidConfig(DWORD type, DWORD startType, DWORD errorControl) {
  if (type & ~kValidTypes) return false;
  DWORD base = type & ~SERVICE_INTERACTIVE_PROCESS;
  bool driver = base == SERVICE_KERNEL_DRIVER || base == SERVICE_FILE_SYSTEM_DRIVER ||
                base == SERVICE_RECOGNIZER_DRIVER || base == SERVICE_ADAPTER;
  bool win32 = base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
  if (!driver && !win32) return false;
  if ((type & SERVICE_INTERACTIVE_PROCESS) && !win32) return false;
  if (startType > SERVICE_DISABLED || errorControl > SERVICE_ERROR_CRITICAL) return false;
  // Boot and system start are for drivers only.
  return driver || startType >= SERVICE_AUTO_START;
}

// A double-NUL-terminated list.
std::vector<std::wstring> MultiList(LPCWSTR list) {
  std::vector<std::wstring> out;
  for (const wchar_t *p = list; p && *p; p += out.back().size() + 1) out.emplace_back(p);
  return out;
}

void WriteDependencies(RegKey &key, const std::vector<std::wstring> &dependencies) {
  std::vector<std::wstring> services, groups;
  for (const std::wstring &d : dependencies) {
    if (d[0] == SC_GROUP_IDENTIFIERW)
      groups.push_back(d.substr(1));
    else
      services.push_back(d);
  }
  RemoveValue(key, L"DependOnService");
  RemoveValue(key, L"DependOnGroup");
  if (!services.empty()) SetMultiText(key, L"DependOnService", services);
  if (!groups.empty()) SetMultiText(key, L"DependOnGroup", groups);
}

bool PreVista() { return Current().os.major < 6; }

bool LockedElsewhere() {
  Machine &m = Current();
  return PreVista() && (m.NowUtc() - Db().openedUtc) / 10000 < m.serviceLockHeldMs;
}

const char *StateName(DWORD state) {
  switch (state) {
    case SERVICE_RUNNING: return "running";
    case SERVICE_START_PENDING: return "start_pending";
    default: return "stopped";
  }
}

const char *OnStartName(ServiceSpec::OnStart s) {
  switch (s) {
    case ServiceSpec::OnStart::Pending: return "pending";
    case ServiceSpec::OnStart::Fails: return "fails";
    case ServiceSpec::OnStart::Stops: return "stops";
    default: return "runs";
  }
}

}  // namespace

namespace winsim {

void LoadServices(Machine &m) {
  m.serviceDb = std::make_shared<ServiceDatabase>();
  ServiceDatabase &db = *m.serviceDb;
  db.openedUtc = m.NowUtc();
  for (const ServiceSpec &s : m.services) {
    ServiceRuntime &rt = db.runtime[Upcased(s.name)];
    rt.name = s.name;
    rt.state = s.state == ServiceSpec::State::Running        ? SERVICE_RUNNING
               : s.state == ServiceSpec::State::StartPending ? SERVICE_START_PENDING
                                                             : SERVICE_STOPPED;
    rt.onStart = s.onStart;
    rt.startError = s.startError;
    if (rt.state != SERVICE_STOPPED) rt.exitCode = ERROR_SUCCESS;
  }
  if (RegKey *services = ServicesKey(*m.registry))
    for (auto &[upcased, sub] : services->subkeys) {
      DWORD type;
      if (ReadDword(*sub, L"Type", type)) RecordOf(sub->name, m);
    }
  // The SCM's side where the registry was written behind its back in an earlier run.
  for (const ServiceSpec &s : m.services) {
    ServiceRuntime &rt = RecordOf(s.name, m);
    if (s.startType) rt.startType = *s.startType;
    if (s.markedForDelete) rt.marked = *s.markedForDelete;
  }
  for (auto &[upcased, rt] : db.runtime) rt.heldElsewhere = rt.marked;
}

void BootServices(Machine &m) {
  for (auto &[upcased, rt] : Db(m).runtime) {
    rt.recorded = false;
    rt.heldElsewhere = false;
  }
  Db(m).changed = true;
}

void SaveServices(Machine &m) {
  if (!m.serviceDb || !m.registry) return;
  ServiceDatabase &db = *m.serviceDb;
  // The SCM's start type and mark, where the registry now says otherwise.
  auto startTypeApart = [&](const ServiceRuntime &rt) {
    DWORD start = SERVICE_DEMAND_START;
    RegKey *key = ServiceKey(rt.name, *m.registry);
    if (key) ReadDword(*key, L"Start", start);
    return rt.recorded && key && start != rt.startType;
  };
  auto markApart = [&](const ServiceRuntime &rt) {
    RegKey *key = ServiceKey(rt.name, *m.registry);
    return rt.recorded && key && MarkedForDelete(*key) != rt.marked;
  };
  // The process ends: its handles close, and the stopped services it marked go.
  std::vector<std::wstring> names;
  for (auto &[upcased, rt] : db.runtime) names.push_back(rt.name);
  if (RegKey *services = ServicesKey(*m.registry))
    for (auto &[upcased, sub] : services->subkeys) names.push_back(sub->name);
  for (const std::wstring &name : names) CompleteDeletion(name, m);
  // A registry write behind the SCM's back changes the entries to write, too.
  bool apart = false;
  for (auto &[upcased, rt] : db.runtime) apart = apart || startTypeApart(rt) || markApart(rt);
  if (!db.changed && !apart) return;

  // Entries keep their place; deleted services lose theirs; new ones are appended.
  toml::array out;
  std::vector<std::wstring> written;
  auto entryOf = [&](const ServiceRuntime &rt) {
    toml::table t;
    t.insert("name", ToUtf8(rt.name));
    t.insert("state", StateName(rt.state));
    t.insert("on_start", OnStartName(rt.onStart));
    t.insert("start_error", int64_t(rt.startError));
    if (startTypeApart(rt)) t.insert("start_type", int64_t(rt.startType));
    if (markApart(rt)) t.insert("marked_for_delete", rt.marked);
    return t;
  };
  for (const ServiceSpec &s : m.services) {
    auto it = db.runtime.find(Upcased(s.name));
    if (it == db.runtime.end() || !ServiceKey(s.name, *m.registry)) continue;
    out.push_back(entryOf(it->second));
    written.push_back(Upcased(s.name));
  }
  for (auto &[upcased, rt] : db.runtime) {
    bool plain = rt.state == SERVICE_STOPPED && rt.onStart == ServiceSpec::OnStart::Runs &&
                 rt.startError == ERROR_SERVICE_REQUEST_TIMEOUT && !startTypeApart(rt) && !markApart(rt);
    if (plain || std::find(written.begin(), written.end(), upcased) != written.end() ||
        !ServiceKey(rt.name, *m.registry))
      continue;
    out.push_back(entryOf(rt));
  }
  if (out.empty())
    m.config.erase("services");
  else
    m.config.insert_or_assign("services", std::move(out));
}

DWORD CreateServiceEntry(const std::wstring &name, const std::wstring *displayName, DWORD type, DWORD startType,
                         DWORD errorControl, const std::wstring &binaryPath, const std::wstring *group,
                         const std::vector<std::wstring> *dependencies, const std::wstring *account) {
  if (!ValidName(name)) return ERROR_INVALID_NAME;
  if (!ValidConfig(type, startType, errorControl) || binaryPath.empty()) return ERROR_INVALID_PARAMETER;
  Registry &r = CurrentRegistry();
  RegKey *services = ServicesKey();
  if (RegKey *existing = services ? services->FindSubkey(name) : nullptr) {
    DWORD t;
    if (ReadDword(*existing, L"Type", t))
      return RecordOf(existing->name).marked ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
  }
  if (NameTaken(name, name) || (displayName && NameTaken(*displayName, name))) return ERROR_DUPLICATE_SERVICE_NAME;

  std::shared_ptr<RegKey> key;
  bool created = false;
  DWORD e = r.Create(r.Predefined(HKEY_LOCAL_MACHINE), std::wstring(kServicesPath) + L"\\" + name, &key, &created);
  if (e != ERROR_SUCCESS) return e;
  key->implicitParent = false;
  SetDword(*key, L"Type", type);
  SetDword(*key, L"Start", startType);
  SetDword(*key, L"ErrorControl", errorControl);
  SetText(*key, L"ImagePath", binaryPath, REG_EXPAND_SZ);
  if (displayName && !displayName->empty()) SetText(*key, L"DisplayName", *displayName);
  if (group && !group->empty()) SetText(*key, L"Group", *group);
  if (dependencies) WriteDependencies(*key, *dependencies);
  if (type & SERVICE_WIN32) SetText(*key, L"ObjectName", account && !account->empty() ? *account : L"LocalSystem");
  // A new service is stopped. What it does when started belongs to its program, so a
  // [[services]] entry written for a service that a program creates during the run applies.
  ServiceRuntime &rt = RuntimeOf(name);
  ServiceRuntime fresh;
  fresh.name = key->name;
  fresh.onStart = rt.onStart;
  fresh.startError = rt.startError;
  fresh.recorded = true;
  fresh.startType = startType;
  rt = fresh;
  Db().changed = true;
  return ERROR_SUCCESS;
}

}  // namespace winsim

extern "C" {

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  WINSIM_ENTRY("advapi32.dll", OpenSCManagerW, nullptr, lpMachineName, lpDatabaseName);
  std::wstring_view machine = lpMachineName ? lpMachineName : L"";
  if (machine.size() >= 2 && machine[0] == L'\\' && machine[1] == L'\\') machine.remove_prefix(2);
  // The simulated machine has no network: another computer's SCM is never reached.
  if (!machine.empty() && !EqualNoCase(machine, Current().computerName))
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
  if (!ValidName(lpServiceName)) return Fail(DWORD(ERROR_INVALID_NAME), SC_HANDLE(nullptr));
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
  CompleteDeletion(name);
  return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  WINSIM_ENTRY("advapi32.dll", QueryServiceStatus, FALSE, NameOf(hService));
  std::shared_ptr<ScObject> s = FindSc(hService, Object::Kind::Service);
  if (!s) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!(s->access & SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED, FALSE);
  if (!lpServiceStatus) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  const ServiceRuntime &rt = RuntimeOf(s->name);
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  if (RegKey *key = ServiceKey(s->name)) ReadDword(*key, L"Type", type);
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
  ServiceRuntime &rt = RecordOf(s->name);
  if (rt.marked) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  if (rt.startType == SERVICE_DISABLED) return Fail(ERROR_SERVICE_DISABLED, FALSE);
  if (rt.state != SERVICE_STOPPED) return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
  if (LockedElsewhere()) return Fail(ERROR_SERVICE_DATABASE_LOCKED, FALSE);
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
    ListLegacyService(Current(), s->name, true);
    StartWaitingDevices(Current(), s->name);
  }
  Db().changed = true;
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
  ServiceRuntime &rt = RuntimeOf(s->name);
  if (rt.state == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
  // A service still starting has not told the SCM it accepts a stop yet.
  if (rt.state != SERVICE_RUNNING) {
    QueryServiceStatus(hService, lpServiceStatus);
    return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
  }
  if (dwControl == SERVICE_CONTROL_STOP) {
    rt.state = SERVICE_STOPPED;
    rt.exitCode = ERROR_SUCCESS;
    ListLegacyService(Current(), s->name, false);
    Db().changed = true;
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
  if (!key || RecordOf(s->name).marked) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  SetDword(*key, L"DeleteFlag", 1);
  RecordOf(s->name).marked = true;
  Db().changed = true;
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
  if (!key || RecordOf(s->name).marked) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  if (lpdwTagId) {
    NotModelled("ChangeServiceConfigW", "load order tags");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  DWORD type = 0, start = RecordOf(s->name).startType, errorControl = 0;
  ReadDword(*key, L"Type", type);
  ReadDword(*key, L"ErrorControl", errorControl);
  if (dwServiceType != SERVICE_NO_CHANGE) type = dwServiceType;
  if (dwStartType != SERVICE_NO_CHANGE) start = dwStartType;
  if (dwErrorControl != SERVICE_NO_CHANGE) errorControl = dwErrorControl;
  if (!ValidConfig(type, start, errorControl)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (lpDisplayName && NameTaken(lpDisplayName, s->name)) return Fail(ERROR_DUPLICATE_SERVICE_NAME, FALSE);
  SetDword(*key, L"Type", type);
  SetDword(*key, L"Start", start);
  SetDword(*key, L"ErrorControl", errorControl);
  RecordOf(s->name).startType = start;
  Db().changed = true;
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
    if (Db().lockedHere || LockedElsewhere()) return Fail(DWORD(ERROR_SERVICE_DATABASE_LOCKED), SC_LOCK(nullptr));
    Db().lockedHere = true;
  }
  SC_LOCK lock = AddObject(std::make_shared<ScObject>(Object::Kind::ScLock));
  SetLastError(ERROR_SUCCESS);
  return lock;
}

BOOL WINAPI UnlockServiceDatabase(SC_LOCK ScLock) {
  WINSIM_ENTRY("advapi32.dll", UnlockServiceDatabase, FALSE);
  if (!RemoveObject(ScLock, Object::Kind::ScLock)) return Fail(ERROR_INVALID_SERVICE_LOCK, FALSE);
  if (PreVista()) Db().lockedHere = false;
  return TRUE;
}

}  // extern "C"
