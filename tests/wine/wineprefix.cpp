#include "wineprefix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace fs = std::filesystem;

namespace winetest {

namespace {
std::string ReadFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

std::string Lower(std::string text) {
  for (auto &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> BuildEnvironment(const EnvChanges &changes) {
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    if (!changes.count(name)) env.push_back(entry);
  }
  for (auto &[name, value] : changes)
    if (value) env.push_back(name + "=" + *value);
  return env;
}

bool IsExecutable(const fs::path &path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

fs::path OnPath(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && IsExecutable(fs::path(dir) / name)) return fs::path(dir) / name;
  return {};
}

int g_runCounter = 0;

// Sends SIGKILL to every process whose environment holds WINEPREFIX=prefix. True when
// there was one.
bool KillProcessesOfPrefix(const fs::path &prefix) {
  const std::string wanted = "WINEPREFIX=" + prefix.string();
  bool found = false;
  std::error_code ec;
  for (auto &entry : fs::directory_iterator("/proc", ec)) {
    std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return std::isdigit((unsigned char)c); }))
      continue;
    pid_t pid = pid_t(std::stol(name));
    if (pid == getpid()) continue;
    std::ifstream in(entry.path() / "environ", std::ios::binary);
    std::string variable;
    while (std::getline(in, variable, '\0'))
      if (variable == wanted) {
        kill(pid, SIGKILL);
        found = true;
        break;
      }
  }
  return found;
}
}  // namespace

std::string RunResult::Describe() const {
  if (!error.empty()) return error;
  std::string text = "exit status " + std::to_string(exitCode);
  if (!err.empty()) text += ", standard error:\n" + err;
  if (!out.empty()) text += "\nstandard output:\n" + out;
  return text;
}

RunResult Run(const std::vector<std::string> &argv, const EnvChanges &env, const fs::path &cwd, const fs::path &scratch,
              int timeoutSeconds) {
  RunResult result;
  std::error_code ec;
  fs::create_directories(scratch, ec);
  std::string stem = "run" + std::to_string(getpid()) + "-" + std::to_string(++g_runCounter);
  fs::path outFile = scratch / (stem + ".out");
  fs::path errFile = scratch / (stem + ".err");

  std::vector<std::string> envText = BuildEnvironment(env);
  std::vector<char *> envp;
  for (auto &e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char *> argp;
  for (auto &a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    result.error = "cannot start " + argv[0] + ": " + std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    // A process group of its own, so a timeout can stop what it started.
    setpgid(0, 0);
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || chdir(cwd.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  while (true) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) {
      result.error = "lost " + argv[0] + ": " + std::strerror(errno);
      return result;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.error = argv[0] + " did not finish within " + std::to_string(timeoutSeconds) + " s";
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  result.out = ReadFile(outFile);
  result.err = ReadFile(errFile);
  fs::remove(outFile, ec);
  fs::remove(errFile, ec);
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
    if (result.exitCode == 126) result.error = "cannot prepare to run " + argv[0] + " in " + cwd.string();
    if (result.exitCode == 127 && !IsExecutable(argv[0])) result.error = "cannot execute " + argv[0];
  } else {
    result.error = argv[0] + " ended by signal " + std::to_string(WTERMSIG(status));
  }
  return result;
}

bool FindWine(WineTools &tools, std::string &error) {
  tools.wine64 = IsExecutable("/usr/lib/wine/wine64") ? fs::path("/usr/lib/wine/wine64") : OnPath("wine64");
  if (tools.wine64.empty()) {
    error = "wine64 is not installed (neither /usr/lib/wine/wine64 nor wine64 on PATH): apt-get install wine64";
    return false;
  }
  fs::path beside = tools.wine64.parent_path() / "wineserver";
  tools.wineserver = IsExecutable(beside) ? beside : OnPath("wineserver");
  if (tools.wineserver.empty()) {
    error = "wineserver is not installed beside " + tools.wine64.string() + " nor on PATH";
    return false;
  }
  return true;
}

fs::path WindowsBin() {
  const char *given = std::getenv("KVN_WINDOWS_BIN");
  return (given && *given) ? fs::path(given) : fs::path(KVN_WINDOWS_BIN);
}

bool RequireWindowsFiles(const std::vector<std::string> &names, std::string &error) {
  for (auto &name : names) {
    fs::path file = WindowsBin() / name;
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
      error = "the Windows build is missing " + file.string() +
              ": build it first (cmake --preset windows && cmake --build --preset windows), "
              "or point KVN_WINDOWS_BIN at its bin folder";
      return false;
    }
  }
  return true;
}

WinePrefix::WinePrefix(const std::string &name) {
  fs::path root = KVN_PREFIX_ROOT;
  prefix_ = root / name;
  scratch_ = root / (name + ".scratch");
  if (!FindWine(tools_, error_)) return;
  std::error_code ec;
  fs::remove_all(prefix_, ec);
  fs::remove_all(scratch_, ec);
  fs::create_directories(root, ec);
  fs::create_directories(scratch_, ec);
  if (ec) {
    error_ = "cannot create " + scratch_.string() + ": " + ec.message();
    return;
  }
  RunResult boot = Run({tools_.wine64.string(), "wineboot", "-i"}, Environment(), scratch_, scratch_, 180);
  if (!boot.Finished() || boot.exitCode != 0) {
    error_ = "wineboot -i failed for the prefix " + prefix_.string() + ": " + boot.Describe();
    return;
  }
  if (!fs::is_directory(prefix_ / "drive_c" / "windows" / "system32", ec)) {
    error_ = "wineboot -i left no drive_c/windows/system32 in " + prefix_.string() + ": " + boot.Describe();
    return;
  }
  // Wine 8's SetupAPI builds a device's driver list from the INF folder even when asked for
  // the installed driver only, and SetupDiGetDriverInstallParamsW, which the component then
  // calls, is an unimplemented stub there that ends the process. Without INF files in the
  // prefix Wine's own devices (HID, bus and monitor) report no driver, as a device without
  // an installed driver does; the device list is still enumerated and read.
  for (auto &entry : fs::directory_iterator(prefix_ / "drive_c" / "windows" / "inf", ec)) {
    std::string extension = entry.path().extension().string();
    for (char &c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".inf" || extension == ".pnf") fs::remove(entry.path(), ec);
  }
}

WinePrefix::~WinePrefix() {
  if (!tools_.wineserver.empty() && fs::exists(prefix_)) {
    // A process that was starting while the server went down can miss the kill and wait
    // for it forever: those carry this prefix in their environment and are stopped by id.
    for (int round = 0; round < 3; ++round) {
      Run({tools_.wineserver.string(), "-k"}, Environment(), scratch_, scratch_, 60);
      Run({tools_.wineserver.string(), "-w"}, Environment(), scratch_, scratch_, 60);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!KillProcessesOfPrefix(prefix_)) break;
    }
  }
  const char *keep = std::getenv("KVN_KEEP_WINE_PREFIXES");
  if (keep && *keep) return;
  std::error_code ec;
  fs::remove_all(prefix_, ec);
  fs::remove_all(scratch_, ec);
}

EnvChanges WinePrefix::Environment() const {
  return {{"WINEPREFIX", prefix_.string()},
          {"WINEDEBUG", "-all"},
          {"WINEDLLOVERRIDES", "mscoree,mshtml="},
          {"DISPLAY", std::nullopt},
          {"WAYLAND_DISPLAY", std::nullopt}};
}

fs::path HostPath(const fs::path &driveC, const std::string &windowsPath) {
  std::string rest = windowsPath;
  if (rest.size() >= 2 && std::tolower(static_cast<unsigned char>(rest[0])) == 'c' && rest[1] == ':')
    rest = rest.substr(2);
  fs::path current = driveC;
  std::istringstream parts(rest);
  std::string part;
  std::error_code ec;
  while (std::getline(parts, part, '\\')) {
    if (part.empty()) continue;
    fs::path next = current / part;
    if (!fs::exists(next, ec) && fs::is_directory(current, ec))
      for (auto &entry : fs::directory_iterator(current, ec))
        if (Lower(entry.path().filename().string()) == Lower(part)) {
          next = entry.path();
          break;
        }
    current = next;
  }
  return current;
}

fs::path WinePrefix::Host(const std::string &windowsPath) const { return HostPath(prefix_ / "drive_c", windowsPath); }

bool WinePrefix::CopyIn(const std::vector<fs::path> &sources, const std::string &windowsDir, std::string &error) {
  fs::path dir = Host(windowsDir);
  std::error_code ec;
  fs::create_directories(dir, ec);
  for (auto &source : sources) {
    fs::path target = fs::is_directory(source, ec) ? dir : dir / source.filename();
    fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    if (ec) {
      error = "cannot copy " + source.string() + " to " + target.string() + ": " + ec.message();
      return false;
    }
  }
  return true;
}

bool WinePrefix::InstallPackage(std::string &error, const fs::path &packageDir) {
  std::error_code ec;
  fs::path dir = packageDir.empty() ? fs::path(KVN_PACKAGE_DIR) : packageDir;
  if (!fs::is_directory(dir, ec)) {
    error = "the example package is missing: " + dir.string() + " (build the target examples)";
    return false;
  }
  if (!RequireWindowsFiles({"kvncomp.dll", "kvnhost.exe"}, error)) return false;
  return CopyIn({dir, WindowsBin() / "kvncomp.dll", WindowsBin() / "kvnhost.exe"}, "C:\\Package", error);
}

void WinePrefix::EndSession() {
  Run({tools_.wineserver.string(), "-k"}, Environment(), scratch_, scratch_, 60);
  Run({tools_.wineserver.string(), "-w"}, Environment(), scratch_, scratch_, 60);
}

RunResult WinePrefix::Wine(const std::vector<std::string> &args, const std::string &windowsCwd, int timeoutSeconds) {
  std::vector<std::string> argv{tools_.wine64.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, Environment(), Host(windowsCwd), scratch_, timeoutSeconds);
}

}  // namespace winetest
