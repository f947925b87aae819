#include "adapter/agent.h"

#include <setupapi.h>

#include <cstdarg>
#include <cwchar>
#include <string>

#include "adapter/component.h"
#include "adapter/driverfile.h"
#include "support/cmplog.h"
#include "support/handles.h"
#include "system/servicecontrol.h"

namespace {

const DriverFilePair kDiagnosticDriverFiles[] = {{L"vode64r.sys", L"vode64r.sys"}};
const DriverFilePair kAgentFiles[] = {{L"direvo.exe", L"direvo.exe"}};
const WCHAR kAgentService[] = L"direvo";

// What executecommand reports as the exit code of a command it could not start, and what
// RunOcdAgentCommand answers for one.
const DWORD kNotStartedExitCode = 98;
const DWORD kAgentNotStarted = 15;

// Formats into `buffer` of `capacity` characters; false when the text does not fit, so a
// long path fails its step instead of being cut.
bool FormatInto(WCHAR *buffer, size_t capacity, const WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vswprintf(buffer, capacity, format, args);
  va_end(args);
  if (n < 0 || size_t(n) >= capacity) {
    if (capacity) buffer[0] = L'\0';
    return false;
  }
  return true;
}

bool SystemDirectory(WCHAR (&buffer)[MAX_PATH]) {
  UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
  return n != 0 && n < MAX_PATH;
}

// The directory of the host's executable: every file the adapter component installs comes
// from there.
bool PackageDirectory(WCHAR (&buffer)[MAX_PATH]) {
  DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  if (WCHAR *slash = std::wcsrchr(buffer, L'\\')) *slash = L'\0';
  return true;
}

// Starts `commandLine` (written to by CreateProcessW) with `flags` and `startup`, waits for it
// to end and reads its exit code (0 when it cannot be read). False, with the thread's last
// error, when it could not be started.
bool RunAndWait(WCHAR *commandLine, DWORD flags, STARTUPINFOW *startup, DWORD *exitCode) {
  PROCESS_INFORMATION info = {};
  if (!commandLine) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, TRUE, flags, nullptr, nullptr, startup, &info))
    return false;
  unique_handle process(info.hProcess);
  unique_handle thread(info.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) code = 0;
  *exitCode = code;
  return true;
}

using SetupCopyOEMInfWFn = BOOL(WINAPI *)(PCWSTR, PCWSTR, DWORD, DWORD, PWSTR, DWORD, PDWORD, PWSTR *);

}  // namespace

int InstallOcdAgent(int *rebootNeeded) {
  int reboot = 0;
  if (rebootNeeded) *rebootNeeded = 0;
  WCHAR packageDir[MAX_PATH], systemDir[MAX_PATH], driversDir[MAX_PATH];
  bool haveDirs = PackageDirectory(packageDir) && SystemDirectory(systemDir);
  bool haveDriversDir = haveDirs && FormatInto(driversDir, MAX_PATH, L"%ls\\drivers", systemDir);

  // The diagnostic driver is helpful, not needed: its outcome is only reported.
  if (haveDriversDir && InstallDriverFiles(kDiagnosticDriverFiles, 1, packageDir, driversDir))
    g_messageWriter.Report(COMPONENT_SOURCE, 1706, L"Intel diagnostic driver installed successfully.\r\n");
  else
    g_messageWriter.Report(COMPONENT_SOURCE, 1708, L"Intel diagnostic driver did not install successfully.\r\n");

  if (!haveDirs || !InstallDriverFiles(kAgentFiles, 1, packageDir, systemDir)) {
    g_messageWriter.Report(COMPONENT_SOURCE, 1713, L"Intel OCD Agent did not install successfully.\r\n");
    return 0;
  }
  g_messageWriter.Report(COMPONENT_SOURCE, 1716, L"Intel OCD Agent file installed successfully.\r\n");

  // The agent's own exit code is not looked at: the service it leaves behind tells.
  WCHAR command[MAX_PATH];
  bool ran = FormatInto(command, MAX_PATH, L"%ls\\%ls /install", systemDir, kAgentFiles[0].sourceName) &&
             executecommand(command);
  g_messageWriter.Report(COMPONENT_SOURCE, 1722, L"Intel OCD Agent /install processed with return code : %x\r\n",
                         ran ? 1u : 0u);

  CServiceControl service(kAgentService);
  if (!service.Exists()) {
    g_messageWriter.Report(COMPONENT_SOURCE, 1727, L"Intel OCD Agent service not found.\r\n");
  } else if (!service.Start()) {
    g_messageWriter.Report(COMPONENT_SOURCE, 1730, L"Intel OCD Agent service unable to start.\r\n");
  } else if (service.IsRunning()) {
    g_messageWriter.Report(COMPONENT_SOURCE, 1733, L"Intel OCD Agent service started.\r\n");
  } else {
    g_messageWriter.Report(COMPONENT_SOURCE, 1736,
                           L"Intel OCD Agent service did not start.  A reboot is required.\r\n");
    reboot = 1;
  }
  if (rebootNeeded) *rebootNeeded = reboot;
  return 1;
}

bool InstallDriverFiles(const DriverFilePair *pairs, size_t count, const WCHAR *sourceDir, const WCHAR *targetDir) {
  if (!pairs) return count == 0;
  for (size_t i = 0; i < count; ++i)
    if (!InstallDriverFile(pairs[i].sourceName, pairs[i].targetName, sourceDir, targetDir)) return false;
  return true;
}

bool executecommand(WCHAR *commandLine, DWORD *exitCode) {
  g_messageWriter.Step(INSTALLATION_SOURCE, 64, L"executecommand: %ls\r\n", commandLine ? commandLine : L"");
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  DWORD code = 0;
  if (!RunAndWait(commandLine, CREATE_NO_WINDOW | REALTIME_PRIORITY_CLASS, &startup, &code)) {
    DWORD error = GetLastError();
    if (exitCode) *exitCode = kNotStartedExitCode;
    g_messageWriter.Step(INSTALLATION_SOURCE, 79, L"CreateProcess failed with %x.\r\n", unsigned(error));
    return false;
  }
  if (exitCode) *exitCode = code;
  return true;
}

bool InstallOemINF(const WCHAR *infName) {
  g_messageWriter.Step(INSTALLATION_SOURCE, 112, L"Entering InstallOemINF function.\n");
  WCHAR systemDir[MAX_PATH], infPath[MAX_PATH], setupapiPath[MAX_PATH];
  if (!SystemDirectory(systemDir) || !FormatInto(setupapiPath, MAX_PATH, L"%ls\\setupapi.dll", systemDir)) return false;
  // The pnpdrvs folder is at the root of the system drive ("C:" of "C:\Windows\system32").
  const WCHAR drive[3] = {systemDir[0], systemDir[0] ? systemDir[1] : L'\0', L'\0'};
  bool havePath = infName && FormatInto(infPath, MAX_PATH, L"%ls\\VADORUREV\\pnpdrvs\\%ls", drive, infName);

  unique_hmodule setupapi;
  {
    ScopedErrorMode quiet(SEM_FAILCRITICALERRORS);
    setupapi.reset(LoadLibraryW(setupapiPath));
  }
  if (!setupapi) return false;
  auto copyOemInf = reinterpret_cast<SetupCopyOEMInfWFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(setupapi.get(), "SetupCopyOEMInfW")));
  bool accepted =
      havePath && copyOemInf && copyOemInf(infPath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr) != FALSE;
  setupapi.reset();
  g_messageWriter.Step(INSTALLATION_SOURCE, 141, L"Exiting InstallOemINF function.\n");
  return accepted;
}

DWORD RunOcdAgentCommand(const WCHAR *commandLine) {
  if (!commandLine) return kAgentNotStarted;
  // CreateProcessW may write to the command line and the title, so both are copies.
  std::wstring command;
  try {
    command = commandLine;
  } catch (...) {
    return kAgentNotStarted;
  }
  WCHAR title[] = L"QZ Intel OCD Agent";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.lpTitle = title;
  DWORD code = 0;
  if (!RunAndWait(command.data(), 0, &startup, &code)) return kAgentNotStarted;
  return code;
}
