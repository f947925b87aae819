#include <windows.h>

#include <string>
#include <vector>

#include "support/cstr.h"
#include "support/handles.h"
#include "hostmachine.h"
#include "utf8text.h"

namespace {
std::wstring ExecutablePath() {
  WCHAR path[MAX_PATH] = L"";
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

}  // namespace

std::string DefaultPackageDir() {
  std::wstring exe = ExecutablePath();
  size_t slash = exe.rfind(L'\\');
  return toolcommon::Utf8(slash == std::wstring::npos ? L"." : exe.substr(0, slash));
}

bool RunWithHostSwitches(const HostOptions &options, int &exitCode) {
  const WCHAR *own = GetCommandLineW();
  std::wstring missing;
  for (const WCHAR *sw : {L"/verbose_log", L"/no_overwrite", L"/consoleout"})
    if (CStr(options.switches.c_str()).FindNoCase(sw) >= 0 && CStr(own).FindNoCase(sw) < 0)
      missing += std::wstring(L" ") + sw;
  if (missing.empty()) return false;
  std::wstring commandLine = std::wstring(own) + missing;
  std::vector<WCHAR> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::wstring exe = ExecutablePath();
  if (!CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    exitCode = 2;
    return true;
  }
  unique_handle process(info.hProcess);
  unique_handle thread(info.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 2;
  GetExitCodeProcess(process.get(), &code);
  exitCode = int(code);
  return true;
}

bool EnterMachine(HostOptions &options, HostPlace &place, std::string &error) {
  int n = MultiByteToWideChar(CP_UTF8, 0, options.packageDir.c_str(), -1, nullptr, 0);
  std::wstring dir(size_t(n > 0 ? n : 1), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, options.packageDir.c_str(), -1, dir.data(), n);
  dir.resize(dir.size() - 1);
  WCHAR full[MAX_PATH];
  DWORD len = GetFullPathNameW(dir.c_str(), MAX_PATH, full, nullptr);
  DWORD attributes = len && len < MAX_PATH ? GetFileAttributesW(full) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = "package directory " + options.packageDir + " does not exist";
    return false;
  }
  place.packageDir = full;
  if (!place.packageDir.empty() && place.packageDir.back() == L'\\') place.packageDir.pop_back();
  place.componentPath = place.packageDir + L"\\kvncomp.dll";
  if (!SetCurrentDirectoryW(full)) {
    error = "cannot enter the package directory " + options.packageDir;
    return false;
  }
  return true;
}

bool EnterPackageOnly(HostOptions &options, HostPlace &place, std::string &error) {
  return EnterMachine(options, place, error);
}

bool LeaveMachine(std::string &) { return true; }

std::vector<std::string> MachinePrompts() { return {}; }
std::vector<std::string> MachineLoadWarnings() { return {}; }
std::vector<std::string> SimulatorNotes() { return {}; }

bool DiffMachine(const HostOptions &, MachineDiff &, std::string &error) {
  error = "diff is only available with a simulated machine (Linux)";
  return false;
}

bool RebootMachine(const HostOptions &, std::vector<RebootStep> &, std::string &error) {
  error = "reboot is only available with a simulated machine (Linux)";
  return false;
}
