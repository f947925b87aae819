// winservice.exe: the smallest real Windows service, for runs under Wine. It connects to the
// service control manager with StartServiceCtrlDispatcherW, reports SERVICE_RUNNING, and
// stops when asked (SERVICE_CONTROL_STOP or SERVICE_CONTROL_SHUTDOWN). The differential
// probe starts and stops it; installation flows run under Wine use it as the agent service.
// Run as "winservice.exe /install" (the agent's own installation, under its agent name
// direvo.exe), it registers itself as the automatically started service "direvo" and exits
// with 0, or with the error when the service cannot be created; one that exists already is
// left as it is. Started otherwise from a command line rather than by the SCM, it says so and
// exits with status 1.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "support/handles.h"

namespace {
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
SERVICE_STATUS g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 3000};

void Report(DWORD state, DWORD accepted, DWORD waitHint) {
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = accepted;
  g_status.dwWaitHint = waitHint;
  bool settled = state == SERVICE_RUNNING || state == SERVICE_STOPPED;
  g_status.dwCheckPoint = settled ? 0 : g_status.dwCheckPoint + 1;
  SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, 0, 3000);
      SetEvent(g_stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR *argv) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", Handler, nullptr);
  if (!g_statusHandle) return;
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_stopEvent) {
    g_status.dwWin32ExitCode = GetLastError();
    Report(SERVICE_STOPPED, 0, 0);
    return;
  }
  Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0);
  WaitForSingleObject(g_stopEvent, INFINITE);
  CloseHandle(g_stopEvent);
  Report(SERVICE_STOPPED, 0, 0);
}
// The service the agent's "/install" registers: its own image, an own-process service
// started with the system.
constexpr WCHAR kAgentService[] = L"direvo";
constexpr WCHAR kAgentDisplayName[] = L"OCD Agent";

int InstallAgentService() {
  WCHAR image[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, image, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return int(n == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
  // The command line the SCM runs: quoted when the path has a blank.
  std::wstring command = std::wcschr(image, L' ') ? L"\"" + std::wstring(image) + L"\"" : std::wstring(image);
  unique_schandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  DWORD error = ERROR_SUCCESS;
  if (!scm) {
    error = GetLastError();
  } else {
    unique_schandle service(CreateServiceW(scm.get(), kAgentService, kAgentDisplayName, SERVICE_QUERY_STATUS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                           command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service && GetLastError() != ERROR_SERVICE_EXISTS) error = GetLastError();
  }
  if (error) std::fprintf(stderr, "winservice: cannot create the service direvo (error %lu)\n", error);
  return int(error);
}
}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i)
    if (_stricmp(argv[i], "/install") == 0) return InstallAgentService();
  // An own-process service: the SCM ignores the name in the table.
  WCHAR name[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    std::fprintf(stderr, "winservice: not started by the service control manager (error %lu)\n", GetLastError());
    return 1;
  }
  return 0;
}
