#include <filesystem>
#include <system_error>

#include <winsim.h>

#include "place.h"

namespace fs = std::filesystem;

bool EnterProbePlace(int argc, char **argv, std::string &error) {
  if (argc != 2) {
    error = "usage: winprobe MACHINE_DIR";
    return false;
  }
  fs::path machine = argv[1];
  std::error_code ec;
  fs::create_directories(machine / "drive_c" / "probe", ec);
  if (ec) {
    error = "cannot create " + (machine / "drive_c" / "probe").string() + ": " + ec.message();
    return false;
  }
  if (!winsim::OpenMachine(machine, error)) return false;
  winsim::SetProcess(L"C:\\probe\\winprobe.exe", L"\"C:\\probe\\winprobe.exe\"", L"C:\\probe");
  return true;
}

bool LeaveProbePlace(std::string &error) { return winsim::CloseMachine(&error); }
