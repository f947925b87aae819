// The Linux host's machine: the --state copy of the --machine template opened in winsim, with
// the package, the component and the host's image in C:\Package.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <winsim.h>

#include "hostfiles.h"
#include "hostmachine.h"

namespace fs = std::filesystem;

namespace {
using hostfiles::ExecutableDirectory;
using hostfiles::LinkFile;
using hostfiles::LinkTree;

const char kOriginFile[] = ".kvnhost-origin";
const char kPromptsFile[] = ".kvnhost-prompts";

bool WriteStateOrigin(const HostOptions &options, std::string &error) {
  std::error_code ec;
  std::ofstream out(fs::path(options.stateDir) / kOriginFile);
  out << "machine=" << fs::absolute(options.machineDir, ec).string() << "\n"
      << "package=" << fs::absolute(options.packageDir, ec).string() << "\n";
  out.close();
  if (!out) error = "cannot write " + (fs::path(options.stateDir) / kOriginFile).string();
  return bool(out);
}
}  // namespace

bool ReadStateOrigin(const std::string &stateDir, std::string &machineDir, std::string &packageDir) {
  std::ifstream in(fs::path(stateDir) / kOriginFile);
  bool found = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("machine=", 0) == 0) machineDir = line.substr(8), found = true;
    if (line.rfind("package=", 0) == 0) packageDir = line.substr(8);
  }
  return found;
}

bool RecordPrompts(const std::string &stateDir, const std::string &command, const std::vector<std::string> &prompts,
                   std::string &error) {
  if (prompts.empty()) return true;
  const fs::path file = fs::path(stateDir) / kPromptsFile;
  std::ofstream out(file, std::ios::app);
  for (const std::string &prompt : prompts) out << command << ": " << prompt << "\n";
  out.close();
  if (!out) error = "cannot write " + file.string();
  return bool(out);
}

std::vector<std::string> ReadRecordedPrompts(const std::string &stateDir) {
  std::ifstream in(fs::path(stateDir) / kPromptsFile);
  std::vector<std::string> prompts;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) prompts.push_back(line);
  return prompts;
}

void RemoveTemporaryState(const HostPlace &place) {
  std::error_code ec;
  if (place.temporary && !place.stateDir.empty()) fs::remove_all(place.stateDir, ec);
}

std::string DefaultPackageDir() { return KVN_DEFAULT_PACKAGE; }

// winsim's process gets its command line from SetProcess: nothing to restart.
bool RunWithHostSwitches(const HostOptions &, int &) { return false; }

bool EnterMachine(HostOptions &options, HostPlace &place, std::string &error) {
  std::error_code ec;
  if (!fs::is_directory(options.packageDir, ec)) {
    error = "package directory " + options.packageDir + " does not exist";
    return false;
  }
  if (options.stateDir.empty()) {
    std::string pattern = (fs::temp_directory_path(ec) / "kvnhost-state.XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      error = "cannot create a state directory under " + fs::temp_directory_path(ec).string();
      return false;
    }
    fs::remove(pattern, ec);
    options.stateDir = pattern;
    place.temporary = true;
  }
  bool fresh = !fs::exists(options.stateDir, ec);
  if (fresh) {
    if (!fs::is_directory(options.machineDir, ec)) {
      error = "machine directory " + options.machineDir + " does not exist";
      return false;
    }
    if (!winsim::CopyMachine(options.machineDir, options.stateDir, error)) return false;
    if (!WriteStateOrigin(options, error)) {
      fs::remove_all(options.stateDir, ec);
      return false;
    }
  } else if (!fs::is_directory(options.stateDir, ec)) {
    error = "state " + options.stateDir + " is not a directory";
    return false;
  }
  if (!winsim::OpenMachine(options.stateDir, error)) {
    // A machine that does not load leaves no state behind: the copy made for it goes, and
    // the message names the template's file, which is the one to correct.
    if (fresh) {
      std::string copy = fs::absolute(options.stateDir, ec).string();
      std::string original = fs::absolute(options.machineDir, ec).string();
      for (size_t at = error.find(copy); at != std::string::npos; at = error.find(copy, at + original.size()))
        error.replace(at, copy.size(), original);
      fs::remove_all(options.stateDir, ec);
    }
    return false;
  }
  place.stateDir = fs::absolute(options.stateDir, ec).string();

  // The package, the component and the host's image go to C:\Package, linked rather than
  // copied: winsim gives a file data of its own before the machine writes it.
  fs::path package = winsim::HostPath(L"C:\\Package");
  if (package.empty() || !LinkTree(options.packageDir, package, error)) {
    if (error.empty()) error = "the machine has no drive C:";
    winsim::CloseMachine();
    return false;
  }
  if (options.packageOnly) {
    place.packageDir = L"C:\\Package";
    winsim::SetProcess(L"C:\\Package\\kvnhost.exe", L"\"C:\\Package\\kvnhost.exe\"", place.packageDir);
    return true;
  }
  fs::path bin = ExecutableDirectory();
  if (!LinkFile(bin / "libkvncomp.so", package / "kvncomp.dll", error)) {
    error = "cannot place the component: " + error;
    winsim::CloseMachine();
    return false;
  }
  LinkFile(bin / "kvnhost-image.exe", package / "kvnhost.exe", error);
  error.clear();

  place.packageDir = L"C:\\Package";
  place.componentPath = L"C:\\Package\\kvncomp.dll";
  std::wstring commandLine = L"\"C:\\Package\\kvnhost.exe\"" + options.switches;
  winsim::SetProcess(L"C:\\Package\\kvnhost.exe", commandLine, place.packageDir);
  return true;
}

bool EnterPackageOnly(HostOptions &options, HostPlace &place, std::string &error) {
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "kvnhost-lint.XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    error = "cannot create a directory under " + fs::temp_directory_path(ec).string();
    return false;
  }
  const fs::path bare = pattern;
  fs::create_directories(bare / "drive_c", ec);
  std::ofstream(bare / "machine.toml") << "[machine]\nclock = \"2026-12-01T09:00:00\"\n";
  options.machineDir = bare.string();
  options.stateDir.clear();
  options.packageOnly = true;
  const bool entered = EnterMachine(options, place, error);
  fs::remove_all(bare, ec);  // the state is a copy of it
  return entered;
}

bool LeaveMachine(std::string &error) { return winsim::CloseMachine(&error); }

std::vector<std::string> MachineLoadWarnings() {
  return winsim::IsMachineOpen() ? winsim::MachineWarnings() : std::vector<std::string>();
}

std::vector<std::string> SimulatorNotes() {
  return winsim::IsMachineOpen() ? winsim::SimulatorNotes() : std::vector<std::string>();
}

std::vector<std::string> MachinePrompts() {
  return winsim::IsMachineOpen() ? winsim::Prompts() : std::vector<std::string>();
}
