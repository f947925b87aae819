#include <windows.h>
#include <setupapi.h>

#include <string>

#include "probe.h"

namespace winprobe {
// ---- service control manager ---------------------------------------------------------------
// One service whose binary is winservice.exe (a real service under Windows and Wine; under
// winsim a service starts as [[services]] says, here by default): created, read back from its
// key, started, stopped, disabled and deleted, with the refusals on the way. The waits poll
// until the state settles, so only the settled state is reported.
namespace {
constexpr const wchar_t *kProbeService = L"KvnProbeSvc";
constexpr const wchar_t *kProbeServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\KvnProbeSvc";

// The service's status once it has reached `settled` (0: at once). A service reports its own
// pending states after the SCM has answered the start or the stop, so the state right after
// the call may still be the previous one on a busy machine: the wait polls for up to 20 s.
// A machine that is still starting its automatic services holds the database: a start is
// refused with ERROR_SERVICE_DATABASE_LOCKED until they are up; on a loaded machine the
// service process may also miss the SCM's start timeout. Both are retried for a while.
json StartPatiently(SC_HANDLE service) {
  BOOL started = StartServiceW(service, 0, nullptr);
  for (int i = 0; !started && i < 300; ++i) {
    DWORD error = GetLastError();
    if (error != ERROR_SERVICE_DATABASE_LOCKED && error != ERROR_SERVICE_REQUEST_TIMEOUT) break;
    Sleep(100);
    started = StartServiceW(service, 0, nullptr);
  }
  return Status(started != FALSE);
}

json ServiceState(SC_HANDLE service, DWORD settled) {
  SERVICE_STATUS status = {};
  BOOL ok = QueryServiceStatus(service, &status);
  for (int i = 0; ok && settled && status.dwCurrentState != settled && i < 200; ++i) {
    Sleep(100);
    ok = QueryServiceStatus(service, &status);
  }
  json r = Status(ok != FALSE);
  if (ok) {
    r["state"] = unsigned(status.dwCurrentState);
    r["type"] = unsigned(status.dwServiceType);
    if (status.dwCurrentState == SERVICE_STOPPED) r["exit_code"] = unsigned(status.dwWin32ExitCode);
  }
  return r;
}

json ServiceValue(const wchar_t *name) {
  BYTE data[512] = {};
  DWORD type = kSentinel, size = sizeof data;
  LSTATUS e = RegGetValueW(HKEY_LOCAL_MACHINE, kProbeServiceKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size);
  json r = {{"ret", unsigned(e)}};
  if (e != ERROR_SUCCESS) return r;
  r["type"] = unsigned(type);
  if (type == REG_DWORD)
    r["value"] = unsigned(*reinterpret_cast<DWORD *>(data));
  else if (type == REG_SZ || type == REG_EXPAND_SZ)
    r["value"] = Utf8(reinterpret_cast<const wchar_t *>(data));
  return r;
}
}  // namespace

void ProbeServices(json &out) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  out["svc.open_scm"] = Status(scm != nullptr);
  if (!scm) return;
  // Left by an interrupted run.
  if (SC_HANDLE old = OpenServiceW(scm, kProbeService, SERVICE_ALL_ACCESS)) {
    SERVICE_STATUS status;
    ControlService(old, SERVICE_CONTROL_STOP, &status);
    DeleteService(old);
    CloseServiceHandle(old);
  }
  SC_HANDLE remote = OpenSCManagerW(L"\\\\KVNNOSUCHHOST", nullptr, SC_MANAGER_CONNECT);
  out["svc.open_scm[remote]"] = Status(remote != nullptr);
  if (remote) CloseServiceHandle(remote);
  SC_HANDLE failed = OpenSCManagerW(nullptr, L"ServicesFailed", SC_MANAGER_CONNECT);
  out["svc.open_scm[ServicesFailed]"] = Status(failed != nullptr);
  if (failed) CloseServiceHandle(failed);
  for (const wchar_t *name : {L"KvnProbeNoSuchService", L""}) {
    SC_HANDLE s = OpenServiceW(scm, name, SERVICE_QUERY_STATUS);
    out["svc.open[" + KeyText(name) + "]"] = Status(s != nullptr);
    if (s) CloseServiceHandle(s);
  }

  WCHAR cwd[MAX_PATH] = L"";
  GetCurrentDirectoryW(MAX_PATH, cwd);
  std::wstring binary = std::wstring(cwd) + L"\\winservice.exe";
  auto create = [&](const wchar_t *name, const wchar_t *display, DWORD type, DWORD start) {
    return CreateServiceW(scm, name, display, SERVICE_ALL_ACCESS, type, start, SERVICE_ERROR_NORMAL, binary.c_str(),
                          nullptr, nullptr, nullptr, nullptr, nullptr);
  };
  SC_HANDLE service = create(kProbeService, L"Kvn probe service", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START);
  out["svc.create"] = Status(service != nullptr);
  if (!service) {
    CloseServiceHandle(scm);
    return;
  }
  struct Refused {
    const char *key;
    const wchar_t *name, *display;
    DWORD type, start;
  } refusals[] = {
      {"svc.create[exists]", kProbeService, nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START},
      {"svc.create[same_display]", L"KvnProbeSvc2", L"Kvn probe service", SERVICE_WIN32_OWN_PROCESS,
       SERVICE_DEMAND_START},
      {"svc.create[name_is_a_display]", L"Kvn probe service", nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START},
      {"svc.create[boot_start_process]", L"KvnProbeSvc3", nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START},
      {"svc.create[bad_type]", L"KvnProbeSvc4", nullptr, 0x40, SERVICE_DEMAND_START},
  };
  for (const Refused &r : refusals) {
    SC_HANDLE s = create(r.name, r.display, r.type, r.start);
    out[r.key] = Status(s != nullptr);
    if (s) {
      DeleteService(s);
      CloseServiceHandle(s);
    }
  }
  for (const wchar_t *value : {L"Type", L"Start", L"ErrorControl", L"DisplayName", L"ObjectName", L"DeleteFlag"})
    out["svc.key.created[" + Utf8(value) + "]"] = ServiceValue(value);

  out["svc.state[created]"] = ServiceState(service, 0);
  out["svc.start"] = StartPatiently(service);
  out["svc.state[started]"] = ServiceState(service, SERVICE_RUNNING);
  out["svc.start[running]"] = Status(StartServiceW(service, 0, nullptr) != FALSE);
  SERVICE_STATUS status = {};
  out["svc.stop"] = Status(ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE);
  out["svc.state[stopped]"] = ServiceState(service, SERVICE_STOPPED);
  out["svc.stop[stopped]"] = Status(ControlService(service, SERVICE_CONTROL_STOP, &status) != FALSE);

  out["svc.change[disabled]"] =
      Status(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE);
  out["svc.key.changed[Start]"] = ServiceValue(L"Start");
  out["svc.start[disabled]"] = Status(StartServiceW(service, 0, nullptr) != FALSE);

  SC_LOCK lock = LockServiceDatabase(scm);
  out["svc.lock"] = Status(lock != nullptr);
  if (lock) out["svc.unlock"] = Status(UnlockServiceDatabase(lock) != FALSE);
  out["svc.unlock[null]"] = Status(UnlockServiceDatabase(nullptr) != FALSE);

  out["svc.delete"] = Status(DeleteService(service) != FALSE);
  out["svc.delete[marked]"] = Status(DeleteService(service) != FALSE);
  SC_HANDLE marked = OpenServiceW(scm, kProbeService, SERVICE_ALL_ACCESS);
  out["svc.open[marked]"] = Status(marked != nullptr);
  SC_HANDLE again = create(kProbeService, nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START);
  out["svc.create[marked]"] = Status(again != nullptr);
  if (again) CloseServiceHandle(again);
  out["svc.key.marked[DeleteFlag]"] = ServiceValue(L"DeleteFlag");
  if (marked) CloseServiceHandle(marked);
  out["svc.close"] = Status(CloseServiceHandle(service) != FALSE);
  SC_HANDLE gone = OpenServiceW(scm, kProbeService, SERVICE_QUERY_STATUS);
  out["svc.open[deleted]"] = Status(gone != nullptr);
  if (gone) CloseServiceHandle(gone);
  out["svc.key.deleted[Type]"] = ServiceValue(L"Type");

  // An INF's DelService of a running service that it does not ask to stop: the service is
  // only marked, and the call tells that a restart completes the deletion.
  SC_HANDLE running = create(kProbeService, nullptr, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START);
  out["infsvc.delete[running].create"] = Status(running != nullptr);
  json start = running ? StartPatiently(running) : json();
  out["infsvc.delete[running].start"] = start;
  if (running && start["ok"] && ServiceState(running, SERVICE_RUNNING)["state"] == SERVICE_RUNNING) {
    const std::wstring path = L"C:\\probe\\inf\\delrunning.inf";
    WriteText(path, "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Del.Services]\r\nDelService=KvnProbeSvc\r\n");
    HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    Fixture(inf != INVALID_HANDLE_VALUE, path);
    SetLastError(kSentinel);
    json deleted = Status(SetupInstallServicesFromInfSectionW(inf, L"Del.Services", 0) != FALSE);
    deleted["last_error"] = unsigned(GetLastError());  // a success tells of the restart here
    out["infsvc.delete[running]"] = deleted;
    SetupCloseInfFile(inf);
    out["infsvc.delete[running].state"] = ServiceState(running, SERVICE_RUNNING);
    out["infsvc.delete[running].DeleteFlag"] = ServiceValue(L"DeleteFlag");
  }
  if (running) {
    SERVICE_STATUS stopped = {};
    ControlService(running, SERVICE_CONTROL_STOP, &stopped);
    ServiceState(running, SERVICE_STOPPED);
    DeleteService(running);
    CloseServiceHandle(running);
  }
  CloseServiceHandle(scm);
}
}  // namespace winprobe
