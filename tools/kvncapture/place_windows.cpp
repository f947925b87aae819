#include <windows.h>

#include "place.h"

namespace kvncapture {

bool EnterCapturePlace(const std::string &machineDir, const std::string &packageDir, std::wstring &packageOnMachine,
                       std::string &error) {
  if (!machineDir.empty()) {
    error = "--machine is for the Linux build; on Windows kvncapture captures the machine it runs on";
    return false;
  }
  packageOnMachine.clear();
  if (packageDir.empty()) return true;
  std::wstring given = std::filesystem::path(packageDir).wstring();
  WCHAR full[MAX_PATH];
  DWORD n = GetFullPathNameW(given.c_str(), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) {
    error = "--package " + packageDir + ": not a usable path";
    return false;
  }
  packageOnMachine = full;
  while (packageOnMachine.size() > 3 && packageOnMachine.back() == L'\\') packageOnMachine.pop_back();
  return true;
}

void LeaveCapturePlace() {}

bool CaptureLoads(const std::filesystem::path &, std::string &) { return true; }

}  // namespace kvncapture
