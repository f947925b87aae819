#include <unistd.h>

#include <system_error>

#include <winsim.h>

#include "place.h"

namespace fs = std::filesystem;

namespace kvncapture {
namespace {

fs::path g_copy;  // the copy of the --machine directory the capture reads

fs::path NewTemporaryFolder(const char *purpose) {
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  return base / ("kvncapture-" + std::string(purpose) + "-" + std::to_string(getpid()));
}

}  // namespace

bool EnterCapturePlace(const std::string &machineDir, const std::string &packageDir, std::wstring &packageOnMachine,
                       std::string &error) {
  if (machineDir.empty()) {
    error = "--machine DIR is needed: the Linux build captures a winsim machine";
    return false;
  }
  g_copy = NewTemporaryFolder("machine");
  std::error_code ec;
  fs::remove_all(g_copy, ec);
  if (!winsim::CopyMachine(machineDir, g_copy, error)) return false;
  packageOnMachine.clear();
  if (!packageDir.empty()) {
    fs::copy(packageDir, g_copy / "drive_c" / "Package", fs::copy_options::recursive, ec);
    if (ec) {
      error = "--package " + packageDir + ": " + ec.message();
      LeaveCapturePlace();
      return false;
    }
    packageOnMachine = L"C:\\Package";
  }
  if (!winsim::OpenMachine(g_copy, error)) {
    LeaveCapturePlace();
    return false;
  }
  winsim::SetProcess(L"C:\\Windows\\Temp\\kvncapture.exe", L"\"C:\\Windows\\Temp\\kvncapture.exe\"",
                     L"C:\\Windows\\Temp");
  return true;
}

void LeaveCapturePlace() {
  if (winsim::IsMachineOpen()) winsim::CloseMachine();
  std::error_code ec;
  if (!g_copy.empty()) fs::remove_all(g_copy, ec);
  g_copy.clear();
}

bool CaptureLoads(const fs::path &out, std::string &error) {
  fs::path copy = NewTemporaryFolder("check");
  std::error_code ec;
  fs::remove_all(copy, ec);
  bool ok = winsim::CopyMachine(out, copy, error) && winsim::OpenMachine(copy, error);
  if (winsim::IsMachineOpen()) winsim::CloseMachine();
  fs::remove_all(copy, ec);
  return ok;
}

}  // namespace kvncapture
