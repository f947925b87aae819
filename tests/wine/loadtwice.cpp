// loadtwice.exe: loads kvncomp.dll, calls it and frees it, twice in one process, as a setup
// engine does when it asks a component twice. Prints one JSON object with a record per round.
//   loadtwice.exe [DLL]   (default: kvncomp.dll beside loadtwice.exe)
#include <windows.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "framework/hostinterface.h"

namespace {
std::wstring DefaultComponent() {
  WCHAR path[MAX_PATH] = L"";
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring self(path, n);
  size_t slash = self.rfind(L'\\');
  return (slash == std::wstring::npos ? std::wstring() : self.substr(0, slash + 1)) + L"kvncomp.dll";
}

template <class T>
T Export(HMODULE module, const char *name) {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

nlohmann::json Round(const std::wstring &path) {
  nlohmann::json r;
  r["loaded_before"] = GetModuleHandleW(L"kvncomp.dll") != nullptr;
  HMODULE module = LoadLibraryW(path.c_str());
  r["load"] = module != nullptr;
  if (!module) {
    r["load_error"] = unsigned(GetLastError());
    return r;
  }
  int exports = 0;
  for (const char *name :
       {"GetInterfaceVersion", "GetProperty", "IsOSSupported", "IsInstalled", "GetVersionStatus", "Install"})
    exports += GetProcAddress(module, name) != nullptr;
  r["exports_found"] = exports;

  auto getInterfaceVersion = Export<GetInterfaceVersionFn>(module, "GetInterfaceVersion");
  auto getProperty = Export<GetPropertyFn>(module, "GetProperty");
  if (getInterfaceVersion) {
    int version = 0;
    r["interface_version_result"] = getInterfaceVersion(&version);
    r["interface_version"] = version;
  }
  if (getProperty) {
    int value = -1;
    r["constant_property_result"] = getProperty(8, &value, sizeof value, 0);
    r["constant_property"] = value;
  }
  r["free"] = FreeLibrary(module) != 0;
  r["loaded_after"] = GetModuleHandleW(L"kvncomp.dll") != nullptr;
  return r;
}
}  // namespace

int main(int argc, char **argv) {
  std::wstring path = DefaultComponent();
  if (argc > 1) {
    WCHAR given[MAX_PATH] = L"";
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, given, MAX_PATH);
    path = given;
  }
  nlohmann::json out = nlohmann::json::array();
  out.push_back(Round(path));
  out.push_back(Round(path));
  std::printf("%s\n", out.dump(2).c_str());
  return 0;
}
