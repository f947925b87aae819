// The layers of src/ and of winsim's sources: every include names its folder, folders
// include only their own layer or those below it, and no platform conditional is left in
// product code (where the Windows runtime and winsim differ, CMake builds one file of a pair).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {
using Layers = std::map<std::string, std::set<std::string>>;

// The folders each folder of src/ may include from (its own always).
const Layers kMayInclude = {
    {"support", {}},
    {"package", {"support", "osinfo", "devices", "system"}},
    {"osinfo", {"support", "package", "devices", "system"}},
    {"devices", {"support", "package", "osinfo", "system"}},
    {"driverinstall", {"support", "package", "osinfo", "devices", "system"}},
    {"system", {"support", "package", "osinfo", "devices"}},
    {"framework", {"support", "package", "osinfo", "devices", "driverinstall", "system"}},
    {"adapter", {"support", "package", "osinfo", "devices", "driverinstall", "system", "framework"}},
};

// winsim, top to bottom: the opening and closing of a machine; the system DLLs, each over
// the DLLs it imports; the plumbing of the calls (entry lines, faults, handles, paths); the
// machine model (its parts and its files); the base helpers (texts, dates, PE images).
const std::set<std::string> kWinsimBelowDlls = {"plumbing", "machine", "base"};
std::set<std::string> Over(std::set<std::string> dlls) {
  dlls.insert(kWinsimBelowDlls.begin(), kWinsimBelowDlls.end());
  return dlls;
}
const Layers kWinsimMayInclude = {
    {"base", {}},
    {"machine", {"base"}},
    {"plumbing", {"machine", "base"}},
    {"kernel32", Over({})},
    {"advapi32", Over({"kernel32"})},
    {"version", Over({"kernel32"})},
    {"cfgmgr32", Over({"kernel32", "advapi32"})},
    {"ole32", Over({"kernel32", "advapi32"})},
    {"shell32", Over({"kernel32", "advapi32", "ole32"})},
    {"setupapi", Over({"kernel32", "advapi32", "cfgmgr32", "shell32"})},
    {"newdev", Over({"kernel32", "advapi32", "cfgmgr32", "setupapi"})},
    {"session", Over({"kernel32", "advapi32", "version", "cfgmgr32", "ole32", "shell32", "setupapi", "newdev"})},
};

// Checks one source file's lines; `folder` is its folder under the tree's root. Platform
// conditionals are looked for in product code only (winsim is the Linux side).
std::vector<std::string> Problems(const std::string &folder, std::istream &in, const Layers &layers = kMayInclude) {
  static const std::regex quoted(R"re(^\s*#\s*include\s*"([^"]*)")re");
  static const std::regex platform(
      R"re(^\s*#\s*(if|ifdef|ifndef|elif)\b.*(_WIN32|_WIN64|__linux__|WIN32|_MSC_VER|__MINGW)\b)re");
  std::vector<std::string> problems;
  auto allowed = layers.find(folder);
  const bool product = &layers == &kMayInclude;
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_search(line, m, quoted)) {
      std::string path = m[1];
      size_t slash = path.find('/');
      // winsim's own public header and the libraries it links are named by their file.
      static const std::set<std::string> winsimLibraries = {"winsim.h", "pewriter.h", "utf8text.h", "regtext.h"};
      if (slash == std::string::npos && !product && winsimLibraries.count(path)) continue;
      if (slash == std::string::npos) {
        problems.push_back("not rooted at src/: " + line);
        continue;
      }
      std::string target = path.substr(0, slash);
      if (allowed == layers.end())
        problems.push_back("folder " + folder + " has no layer");
      else if (target != folder && !allowed->second.count(target))
        problems.push_back(folder + "/ may not include " + target + "/: " + line);
    } else if (product && std::regex_search(line, platform)) {
      problems.push_back("platform conditional: " + line);
    }
  }
  return problems;
}
}  // namespace

TEST(Layers, TheCheckFindsEachKindOfFault) {
  const struct {
    const char *folder;
    const char *text;
    size_t problems;
    bool winsim = false;
  } cases[] = {
      {"package", "#include \"support/cstr.h\"\n#include \"osinfo/ossupport.h\"\n#include <windows.h>\n", 0},
      {"framework", "#include \"package/kvnxml.h\"\n#include \"framework/basecomp.h\"\n", 0},
      {"adapter", "#include \"framework/basecomp.h\"\n", 0},
      {"package", "#include \"framework/basecomp.h\"\n", 1},
      {"framework", "#include \"adapter/component.h\"\n", 1},
      {"support", "#include \"devices/w2kdevinst.h\"\n", 1},
      {"devices", "#include \"cstr.h\"\n", 1},
      {"support", "#ifdef _WIN32\n#endif\n", 1},
      {"osinfo", "  #if defined(__linux__)\n", 1},
      {"osinfo", "#ifndef WIN32_LEAN_AND_MEAN\n", 0},
      {"tools", "#include \"support/cstr.h\"\n", 1},
      {"setupapi", "#include \"kernel32/files.h\"\n#include \"machine/devices.h\"\n", 0, true},
      {"machine", "#include \"plumbing/hooks.h\"\n", 1, true},
      {"kernel32", "#include \"setupapi/inf.h\"\n#include \"session/machinecheck.h\"\n", 2, true},
      {"base", "#ifdef _WIN32\n#include \"names.h\"\n", 1, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    std::istringstream in(c.text);
    EXPECT_EQ(Problems(c.folder, in, c.winsim ? kWinsimMayInclude : kMayInclude).size(), c.problems);
  }
}

TEST(Layers, SourceFoldersDependDownwardOnly) {
  const struct {
    fs::path root;
    const Layers &layers;
  } trees[] = {
      {fs::path(KVN_SOURCE_DIR) / "src", kMayInclude},
      {fs::path(KVN_SOURCE_DIR) / "platform" / "winsim" / "src", kWinsimMayInclude},
  };
  for (const auto &tree : trees) {
    ASSERT_TRUE(fs::is_directory(tree.root)) << tree.root;
    size_t files = 0;
    for (const auto &entry : fs::recursive_directory_iterator(tree.root)) {
      std::string ext = entry.path().extension().string();
      if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
      ++files;
      std::string folder = fs::relative(entry.path(), tree.root).begin()->string();
      std::ifstream in(entry.path());
      for (const std::string &problem : Problems(folder, in, tree.layers))
        ADD_FAILURE() << entry.path().string() << ": " << problem;
    }
    EXPECT_GT(files, 30u) << tree.root;
  }
}

// The host harness knows the component only through the host interface (and the log class
// it hands over): nothing else of src/. The one exception is devices.cpp, which finds the
// devices the component would work on with the component's own device enumerator and package
// reader, so that its rules are never written a second time; and pending.cpp, which looks
// for the adapter journal where the component keeps it.
TEST(Layers, TheHostIncludesOnlyTheHostInterfaceAndSupport) {
  static const std::regex quoted(R"re(^\s*#\s*include\s*"([^"]*/[^"]*)")re");
  const fs::path host = fs::path(KVN_SOURCE_DIR) / "tools" / "kvnhost";
  size_t includes = 0;
  for (const auto &entry : fs::directory_iterator(host)) {
    if (entry.path().extension() != ".cpp" && entry.path().extension() != ".h") continue;
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) {
      std::smatch m;
      if (!std::regex_search(line, m, quoted)) continue;
      ++includes;
      std::string path = m[1];
      const bool readers = (entry.path().filename() == "devices.cpp" &&
                            (path.rfind("devices/", 0) == 0 || path == "package/packagedef.h" ||
                             path == "adapter/driverfile.h" || path == "adapter/installation.h")) ||
                           (entry.path().filename() == "pending.cpp" && path == "adapter/journal.h");
      EXPECT_TRUE(path == "framework/hostinterface.h" || path.rfind("support/", 0) == 0 || readers)
          << entry.path().string() << ": " << line;
    }
  }
  EXPECT_GT(includes, 0u);
}
