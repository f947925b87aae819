#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include <windows.h>
#include <winsim.h>

#include "hostmachine.h"

namespace fs = std::filesystem;

namespace {
fs::path ExecutableDirectory() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path() : self.parent_path();
}

bool CopyTree(const fs::path &from, const fs::path &to, std::string &error) {
  std::error_code ec;
  fs::create_directories(to, ec);
  fs::copy(from, to,
           fs::copy_options::recursive | fs::copy_options::overwrite_existing | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    error = "cannot copy " + from.string() + " to " + to.string() + ": " + ec.message();
    return false;
  }
  return true;
}

std::string ReadAll(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Relative paths of the regular files below a folder.
std::set<std::string> FilesBelow(const fs::path &root) {
  std::set<std::string> files;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return files;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec)) files.insert(fs::relative(it->path(), root, ec).generic_string());
  }
  return files;
}

std::string WindowsPathOf(const std::string &relative) {
  // "drive_c/Windows/x.sys" -> "C:\Windows\x.sys"
  std::string out;
  if (relative.rfind("drive_", 0) == 0 && relative.size() > 6) {
    out = std::string(1, char(std::toupper((unsigned char)relative[6]))) + ":";
    std::string rest = relative.substr(7);
    std::replace(rest.begin(), rest.end(), '/', '\\');
    out += rest.empty() ? "\\" : rest;
  } else {
    out = relative;
  }
  return out;
}
}  // namespace

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
  }
  bool fresh = !fs::exists(options.stateDir, ec);
  if (fresh) {
    if (!fs::is_directory(options.machineDir, ec)) {
      error = "machine directory " + options.machineDir + " does not exist";
      return false;
    }
    if (!CopyTree(options.machineDir, options.stateDir, error)) return false;
  } else if (!fs::is_directory(options.stateDir, ec)) {
    error = "state " + options.stateDir + " is not a directory";
    return false;
  }
  if (!winsim::OpenMachine(options.stateDir, error)) {
    // A machine that does not load leaves no state behind: the copy made for it goes, and
    // the message names the template's file, which is the one to correct.
    if (fresh) {
      std::string copy = fs::absolute(options.stateDir, ec).string();
      if (size_t at = error.find(copy); at != std::string::npos)
        error.replace(at, copy.size(), fs::absolute(options.machineDir, ec).string());
      fs::remove_all(options.stateDir, ec);
    }
    return false;
  }
  place.stateDir = fs::absolute(options.stateDir, ec).string();

  // The package, the component and the host's image go to C:\Package.
  fs::path package = winsim::HostPath(L"C:\\Package");
  if (package.empty() || !CopyTree(options.packageDir, package, error)) {
    if (error.empty()) error = "the machine has no drive C:";
    winsim::CloseMachine();
    return false;
  }
  fs::path bin = ExecutableDirectory();
  fs::copy_file(bin / "libkvncomp.so", package / "kvncomp.dll", fs::copy_options::overwrite_existing, ec);
  if (ec) {
    error = "cannot place the component: " + (bin / "libkvncomp.so").string() + ": " + ec.message();
    winsim::CloseMachine();
    return false;
  }
  fs::copy_file(bin / "kvnhost-image.exe", package / "kvnhost.exe", fs::copy_options::overwrite_existing, ec);

  place.packageDir = L"C:\\Package";
  place.componentPath = L"C:\\Package\\kvncomp.dll";
  std::wstring commandLine = L"\"C:\\Package\\kvnhost.exe\"" + options.switches;
  winsim::SetProcess(L"C:\\Package\\kvnhost.exe", commandLine, place.packageDir);
  return true;
}

bool LeaveMachine(std::string &error) { return winsim::CloseMachine(&error); }

bool DiffMachine(const HostOptions &options, std::string &report, std::string &error) {
  std::error_code ec;
  if (!fs::is_directory(options.machineDir, ec)) {
    error = "machine directory " + options.machineDir + " does not exist";
    return false;
  }
  if (options.stateDir.empty() || !fs::is_directory(options.stateDir, ec)) {
    error = "diff needs --state naming an existing machine state";
    return false;
  }
  std::ostringstream out;
  std::set<std::string> before = FilesBelow(options.machineDir);
  std::set<std::string> after = FilesBelow(options.stateDir);
  for (auto &f : after) {
    if (f.rfind("drive_", 0) != 0) continue;
    if (!before.count(f))
      out << "file added:    " << WindowsPathOf(f) << "\n";
    else if (ReadAll(fs::path(options.machineDir) / f) != ReadAll(fs::path(options.stateDir) / f))
      out << "file changed:  " << WindowsPathOf(f) << "\n";
  }
  for (auto &f : before)
    if (f.rfind("drive_", 0) == 0 && !after.count(f)) out << "file removed:  " << WindowsPathOf(f) << "\n";

  // Registry: lines of the exported text that appear or disappear.
  auto lines = [](const fs::path &p) {
    std::multiset<std::string> set;
    std::istringstream in(ReadAll(p));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) set.insert(line);
    }
    return set;
  };
  auto regBefore = lines(fs::path(options.machineDir) / "registry.reg");
  auto regAfter = lines(fs::path(options.stateDir) / "registry.reg");
  for (auto &l : regAfter)
    if (!regBefore.count(l)) out << "registry +     " << l << "\n";
  for (auto &l : regBefore)
    if (!regAfter.count(l)) out << "registry -     " << l << "\n";
  report = out.str();
  return true;
}
