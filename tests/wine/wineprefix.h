// Helpers of the Wine suite: running programs with a captured output, finding Wine and the
// Windows build, and a fresh Wine prefix per test.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace winetest {

struct RunResult {
  int exitCode = -1;
  std::string out;    // standard output, carriage returns removed
  std::string err;    // standard error, carriage returns removed
  std::string error;  // why the program could not be run or did not finish; empty when it did
  bool Finished() const { return error.empty(); }
  // "exit 3, stderr: ..." for failure messages.
  std::string Describe() const;
};

// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// Runs argv[0] (an absolute path) with the arguments in `cwd`, killing it after
// `timeoutSeconds`. Output goes through files in `scratch`, so daemons the program leaves
// behind cannot hold a pipe open.
RunResult Run(const std::vector<std::string> &argv, const EnvChanges &env, const std::filesystem::path &cwd,
              const std::filesystem::path &scratch, int timeoutSeconds = 120);

// wine64 and wineserver: /usr/lib/wine first (Debian's wine64 package), then PATH.
// Empty paths with a reason in `error` when Wine is not installed.
struct WineTools {
  std::filesystem::path wine64;
  std::filesystem::path wineserver;
};
bool FindWine(WineTools &tools, std::string &error);

// The Windows build's bin folder: $KVN_WINDOWS_BIN, else build/windows/bin of the source tree.
std::filesystem::path WindowsBin();
// False with a reason naming the missing file and how to build it.
bool RequireWindowsFiles(const std::vector<std::string> &names, std::string &error);

// Where a Windows path on drive C: lives below `driveC` on the host; existing components are
// matched without regard to case.
std::filesystem::path HostPath(const std::filesystem::path &driveC, const std::string &windowsPath);

// A Wine prefix made for one test: KVN_PREFIX_ROOT/<name> (WINEPREFIX) and a scratch folder
// beside it, both removed first. The destructor stops the prefix's wineserver (-k, then -w)
// and removes both folders unless KVN_KEEP_WINE_PREFIXES is set.
class WinePrefix {
 public:
  explicit WinePrefix(const std::string &name);
  ~WinePrefix();
  WinePrefix(const WinePrefix &) = delete;
  WinePrefix &operator=(const WinePrefix &) = delete;

  // False when the prefix could not be made; Error() says why.
  bool Ok() const { return error_.empty(); }
  const std::string &Error() const { return error_; }

  const std::filesystem::path &Prefix() const { return prefix_; }
  const std::filesystem::path &Scratch() const { return scratch_; }
  // Where a Windows path on drive C: lives on the host; existing components are matched
  // without regard to case.
  std::filesystem::path Host(const std::string &windowsPath) const;

  // Copies files or folders into a Windows folder (created when missing).
  bool CopyIn(const std::vector<std::filesystem::path> &sources, const std::string &windowsDir, std::string &error);
  // A package folder (the example package when empty) with kvncomp.dll and kvnhost.exe of
  // the Windows build, at C:\Package.
  bool InstallPackage(std::string &error, const std::filesystem::path &packageDir = {});

  // Ends the prefix's session as a restart does: its wineserver and every Windows process
  // stop; the next program starts a new session (services started anew from the registry).
  void EndSession();

  // Runs `wine64 PROGRAM ARGS...` with the current directory `windowsCwd`.
  RunResult Wine(const std::vector<std::string> &args, const std::string &windowsCwd, int timeoutSeconds = 120);

 private:
  EnvChanges Environment() const;

  WineTools tools_;
  std::filesystem::path prefix_;
  std::filesystem::path scratch_;
  std::string error_;
};

}  // namespace winetest
