// [[services]]: the run-time state of the services the devices and the package name and of
// the agent service; their keys, event-log sources and legacy device keys go to the
// registry step, their images to the version resources.
#include <windows.h>

#include "capture.h"
#include "support/handles.h"

namespace kvncapture {
namespace {

const wchar_t kServicesPath[] = L"SYSTEM\\CurrentControlSet\\Services\\";
const wchar_t kMachine[] = L"HKEY_LOCAL_MACHINE\\";
const wchar_t kAgentService[] = L"direvo";  // the agent every package installs

// The files of Windows the component loads or reads the version of.
constexpr const wchar_t *kSystemFiles[] = {L"System32\\drivers\\ndis.sys", L"System32\\kernel32.dll",
                                           L"System32\\newdev.dll",        L"System32\\setupapi.dll",
                                           L"System32\\direvo.exe",        L"System32\\drivers\\vode64r.sys"};

std::wstring WindowsDirectory() {
  WCHAR dir[MAX_PATH] = L"";
  UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
  return n && n < MAX_PATH ? std::wstring(dir) : std::wstring(L"C:\\Windows");
}

bool StartsWith(const std::wstring &text, const wchar_t *prefix) {
  size_t n = std::char_traits<wchar_t>::length(prefix);
  return text.size() >= n && SameText(text.substr(0, n), prefix);
}

// The file an ImagePath names, as the service control manager and the kernel read it: a
// quoted path or the text up to its first blank, "\SystemRoot\" and a path relative to
// the Windows folder resolved, "\??\" dropped, variables expanded.
std::wstring ImageFile(std::wstring image) {
  if (!image.empty() && image[0] == L'"') {
    size_t close = image.find(L'"', 1);
    image = image.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
  } else {
    size_t blank = image.find(L' ');
    size_t dot = image.rfind(L'.', blank);
    if (blank != std::wstring::npos && dot != std::wstring::npos && blank - dot == 4) image.resize(blank);
  }
  WCHAR expanded[MAX_PATH] = L"";
  DWORD n = ExpandEnvironmentStringsW(image.c_str(), expanded, MAX_PATH);
  if (n && n <= MAX_PATH) image = expanded;
  if (StartsWith(image, L"\\??\\")) image.erase(0, 4);
  if (StartsWith(image, L"\\SystemRoot\\")) return WindowsDirectory() + image.substr(11);
  if (image.size() > 1 && image[1] != L':' && image[0] != L'\\') return WindowsDirectory() + L"\\" + image;
  return image;
}

const char *StateName(DWORD state) {
  switch (state) {
    case SERVICE_RUNNING: return "running";
    case SERVICE_START_PENDING: return "start_pending";
    default: return "stopped";
  }
}

}  // namespace

void CaptureServices(MachineCapture &capture) {
  capture.services.Add(kAgentService);
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    capture.Omit("[[services]]: OpenSCManagerW failed with " + ErrorText(GetLastError()) +
                 "; no service's state is recorded");
  }
  size_t count = 0;
  for (const std::wstring &name : capture.services.Names()) {
    // Whatever the SCM answers, the keys are the registry's: a service that exists has them.
    capture.registryTrees.Add(kMachine + std::wstring(kServicesPath) + name);
    capture.registryTrees.Add(kMachine + std::wstring(kServicesPath) + L"EventLog\\System\\" + name);
    capture.registryTrees.Add(std::wstring(kMachine) + L"SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_" + name);
    std::wstring image = TextValue(HKEY_LOCAL_MACHINE, kServicesPath + name, L"ImagePath");
    if (!image.empty()) capture.versionFiles.Add(ImageFile(image));
    if (!manager) continue;
    unique_schandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
      DWORD error = GetLastError();
      if (error != ERROR_SERVICE_DOES_NOT_EXIST)
        capture.Omit("service " + Utf8Of(name) + ": OpenServiceW failed with " + ErrorText(error) +
                     "; its state is left out");
      continue;
    }
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.get(), &status)) {
      capture.Omit("service " + Utf8Of(name) + ": QueryServiceStatus failed with " + ErrorText(GetLastError()) +
                   "; its state is left out");
      continue;
    }
    capture.toml +=
        "[[services]]\nname = " + TomlString(name) + "\nstate = \"" + StateName(status.dwCurrentState) + "\"\n\n";
    ++count;
  }
  const std::wstring windows = WindowsDirectory();
  for (const wchar_t *file : kSystemFiles) capture.versionFiles.Add(windows + L"\\" + file);
  capture.summary.push_back(std::to_string(count) + " services' state (the devices', the package's and the agent's)");
}

}  // namespace kvncapture
