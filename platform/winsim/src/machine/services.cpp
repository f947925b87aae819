// The service control manager's database (services.h): the service keys of the registry,
// the run-time state of [[services]], and the SCM's own record of each service.
#include "machine/services.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/names.h"
#include "machine/clock.h"
#include "machine/machinefile.h"
#include "machine/registry.h"
#include "machine/system.h"

namespace winsim {

namespace {
const PartSlot<ServiceDatabase> g_services("services");

constexpr const wchar_t *kServicesPath = L"SYSTEM\\CurrentControlSet\\Services";
constexpr size_t kMaxServiceName = 256;
constexpr DWORD kValidTypes = SERVICE_DRIVER | SERVICE_WIN32 | SERVICE_ADAPTER | SERVICE_INTERACTIVE_PROCESS;

bool ReadService(const toml::table &t, const std::string &file, size_t i, ServiceSpec &s, std::string &error) {
  TableReader r(t, file, EntryName("services", i), error);
  using State = ServiceSpec::State;
  using OnStart = ServiceSpec::OnStart;
  bool read =
      r.Text("name", s.name) &
      r.Choice<State>(
          "state", {{"running", State::Running}, {"stopped", State::Stopped}, {"start_pending", State::StartPending}},
          s.state) &
      r.Choice<OnStart>("on_start",
                        {{"runs", OnStart::Runs},
                         {"pending", OnStart::Pending},
                         {"fails", OnStart::Fails},
                         {"stops", OnStart::Stops}},
                        s.onStart) &
      r.Dword("start_error", s.startError);
  if (!read) {
    r.Done();  // the unknown keys beside the wrong values
    return false;
  }
  if (s.name.empty()) return r.Fail("name", "is missing");
  if (r.Has("start_type")) {
    DWORD start = 0;
    if (!r.Dword("start_type", start)) return false;
    if (start > SERVICE_DISABLED) return r.Fail("start_type", std::to_string(start) + " is not from 0 to 4");
    s.startType = start;
  }
  if (r.Has("marked_for_delete")) {
    bool marked = false;
    if (!r.Flag("marked_for_delete", marked)) return false;
    s.markedForDelete = marked;
  }
  return r.Done();
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

ServiceDatabase &Services() { return g_services(); }

bool ServiceNameTaken(std::wstring_view text, std::wstring_view self) {
  RegKey *services = ServicesKey();
  if (!services || text.empty()) return false;
  for (auto &[upcased, sub] : services->subkeys) {
    if (EqualNoCase(sub->name, self) || !DwordValue(*sub, L"Type")) continue;
    if (EqualNoCase(sub->name, text) || EqualNoCase(TextValue(*sub, L"DisplayName").value_or(L""), text)) return true;
  }
  return false;
}

// A name the SCM accepts: 1 to 256 characters, no slash or backslash.
bool ValidServiceName(std::wstring_view name) {
  return !name.empty() && name.size() <= kMaxServiceName && name.find_first_of(L"\\/") == std::wstring_view::npos;
}

RegKey *ServicesKey() {
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> key;
  if (r.Open(r.Predefined(HKEY_LOCAL_MACHINE), kServicesPath, &key) != ERROR_SUCCESS) return nullptr;
  return key.get();
}

// The key of a service: a subkey of Services with a Type value.
RegKey *ServiceKey(std::wstring_view name) {
  RegKey *services = ServicesKey();
  if (!services || !ValidServiceName(name)) return nullptr;
  RegKey *key = services->FindSubkey(name);
  return key && DwordValue(*key, L"Type") ? key : nullptr;
}

bool MarkedForDelete(const RegKey &key) { return DwordValue(key, L"DeleteFlag") == 1u; }

bool ValidServiceConfig(DWORD type, DWORD startType, DWORD errorControl) {
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

DWORD CreateServiceEntry(const std::wstring &name, const std::wstring *displayName, DWORD type, DWORD startType,
                         DWORD errorControl, const std::wstring &binaryPath, const std::wstring *group,
                         const std::vector<std::wstring> *dependencies, const std::wstring *account) {
  if (!ValidServiceName(name)) return ERROR_INVALID_NAME;
  if (!ValidServiceConfig(type, startType, errorControl) || binaryPath.empty()) return ERROR_INVALID_PARAMETER;
  RegistryTree &r = Registry();
  RegKey *services = ServicesKey();
  if (RegKey *existing = services ? services->FindSubkey(name) : nullptr) {
    if (DwordValue(*existing, L"Type"))
      return Services().RecordOf(existing->name).marked ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
  }
  if (ServiceNameTaken(name, name) || (displayName && ServiceNameTaken(*displayName, name)))
    return ERROR_DUPLICATE_SERVICE_NAME;

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
  ServiceRuntime &rt = Services().RuntimeOf(name);
  ServiceRuntime fresh;
  fresh.name = key->name;
  fresh.onStart = rt.onStart;
  fresh.startError = rt.startError;
  fresh.recorded = true;
  fresh.startType = startType;
  rt = fresh;
  Services().changed = true;
  return ERROR_SUCCESS;
}

ServiceRuntime &ServiceDatabase::RuntimeOf(const std::wstring &name) {
  ServiceRuntime &rt = runtime[Upcased(name)];
  if (rt.name.empty()) rt.name = name;
  return rt;
}

ServiceRuntime &ServiceDatabase::RecordOf(const std::wstring &name) {
  ServiceRuntime &rt = RuntimeOf(name);
  if (rt.recorded) return rt;
  rt.recorded = true;
  rt.startType = SERVICE_DEMAND_START;
  rt.marked = false;
  if (RegKey *key = ServiceKey(name)) {
    rt.startType = DwordValue(*key, L"Start").value_or(rt.startType);
    rt.marked = MarkedForDelete(*key);
  }
  return rt;
}

void ServiceDatabase::CompleteDeletion(const std::wstring &name, size_t openHandles) {
  RegKey *key = ServiceKey(name);
  if (!key) return;
  const ServiceRuntime &rt = RecordOf(name);
  if (!rt.marked || rt.heldElsewhere || rt.state != SERVICE_STOPPED || openHandles) return;
  Registry().Remove(key);
  runtime.erase(Upcased(name));
  changed = true;
}

bool ServiceDatabase::Load(MachineFile &file) {
  const toml::array *list = nullptr;
  bool ok = file.Top().Tables("services", list) &
            file.Section("machine").Number("service_lock_held_ms", lockHeldMs_, 0, INT64_MAX);
  ok &= ReadEntries(list, specs_, [&](const toml::table &t, size_t i, ServiceSpec &s) {
    return ReadService(t, file.Name(), i, s, file.Mistakes());
  });
  ServiceDatabase &db = *this;
  db.openedUtc = Clock().Now();
  for (const ServiceSpec &s : specs_) {
    ServiceRuntime &rt = db.runtime[Upcased(s.name)];
    rt.name = s.name;
    rt.state = s.state == ServiceSpec::State::Running        ? SERVICE_RUNNING
               : s.state == ServiceSpec::State::StartPending ? SERVICE_START_PENDING
                                                             : SERVICE_STOPPED;
    rt.onStart = s.onStart;
    rt.startError = s.startError;
    if (rt.state != SERVICE_STOPPED) rt.exitCode = ERROR_SUCCESS;
  }
  if (RegKey *services = ServicesKey())
    for (auto &[upcased, sub] : services->subkeys)
      if (DwordValue(*sub, L"Type")) RecordOf(sub->name);
  // The SCM's side where the registry was written behind its back in an earlier run.
  for (const ServiceSpec &s : specs_) {
    ServiceRuntime &rt = RecordOf(s.name);
    if (s.startType) rt.startType = *s.startType;
    if (s.markedForDelete) rt.marked = *s.markedForDelete;
  }
  for (auto &[upcased, rt] : db.runtime) rt.heldElsewhere = rt.marked;
  return ok;
}

void ServiceDatabase::Boot() {
  for (auto &[upcased, rt] : runtime) {
    rt.recorded = false;
    rt.heldElsewhere = false;
  }
  changed = true;
}

bool ServiceDatabase::Save(MachineFile &file, std::string &) {
  ServiceDatabase &db = *this;
  // The SCM's start type and mark, where the registry now says otherwise.
  auto startTypeApart = [&](const ServiceRuntime &rt) {
    RegKey *key = ServiceKey(rt.name);
    DWORD start = key ? DwordValue(*key, L"Start").value_or(SERVICE_DEMAND_START) : SERVICE_DEMAND_START;
    return rt.recorded && key && start != rt.startType;
  };
  auto markApart = [&](const ServiceRuntime &rt) {
    RegKey *key = ServiceKey(rt.name);
    return rt.recorded && key && MarkedForDelete(*key) != rt.marked;
  };
  // The process ends: its handles close, and the stopped services it marked go.
  std::vector<std::wstring> names;
  for (auto &[upcased, rt] : db.runtime) names.push_back(rt.name);
  if (RegKey *services = ServicesKey())
    for (auto &[upcased, sub] : services->subkeys) names.push_back(sub->name);
  for (const std::wstring &name : names) CompleteDeletion(name, 0);
  // A registry write behind the SCM's back changes the entries to write, too.
  bool apart = false;
  for (auto &[upcased, rt] : db.runtime) apart = apart || startTypeApart(rt) || markApart(rt);
  if (!db.changed && !apart) return true;

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
  for (const ServiceSpec &s : specs_) {
    auto it = db.runtime.find(Upcased(s.name));
    if (it == db.runtime.end() || !ServiceKey(s.name)) continue;
    out.push_back(entryOf(it->second));
    written.push_back(Upcased(s.name));
  }
  for (auto &[upcased, rt] : db.runtime) {
    bool plain = rt.state == SERVICE_STOPPED && rt.onStart == ServiceSpec::OnStart::Runs &&
                 rt.startError == ERROR_SERVICE_REQUEST_TIMEOUT && !startTypeApart(rt) && !markApart(rt);
    if (plain || std::find(written.begin(), written.end(), upcased) != written.end() || !ServiceKey(rt.name)) continue;
    out.push_back(entryOf(rt));
  }
  if (out.empty())
    file.Config().erase("services");
  else
    file.Config().insert_or_assign("services", std::move(out));
  return true;
}

bool ServiceDatabase::LockedElsewhere() const {
  return System().os.major < 6 && (Clock().Now() - openedUtc) / 10000 < lockHeldMs_;
}

}  // namespace winsim
