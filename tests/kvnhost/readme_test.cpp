// The README's commands run as written: each line of its sh blocks that runs a built program
// (build/linux/bin/...) is run from the source folder with this build's programs, its /tmp
// folders moved into a scratch folder of the test, and must succeed.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> ReadmeCommands() {
  std::ifstream in(fs::path(KVN_SOURCE_DIR) / "README.md");
  std::vector<std::string> commands;
  bool inShell = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("```", 0) == 0) {
      inShell = !inShell && line == "```sh";
      continue;
    }
    if (inShell && line.rfind("build/linux/bin/", 0) == 0) commands.push_back(line);
  }
  return commands;
}

TEST(Readme, ItsCommandsRunAsWritten) {
  std::string pattern = (fs::temp_directory_path() / "readme-test.XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path scratch = pattern;
  const std::vector<std::string> commands = ReadmeCommands();
  EXPECT_GE(commands.size(), 3u) << "the README shows too few commands";
  for (const std::string &command : commands) {
    SCOPED_TRACE(command);
    // This build's programs and examples stand in for build/linux's.
    std::string moved = std::regex_replace(command, std::regex("/tmp/"), scratch.string() + "/");
    moved = std::regex_replace(moved, std::regex("build/linux/"), std::string(KVN_BINARY_DIR) + "/");
    const std::string line =
        "cd '" + std::string(KVN_SOURCE_DIR) + "' && " + moved + " >/dev/null 2>" + (scratch / "err.txt").string();
    int raw = std::system(line.c_str());
    std::ifstream err(scratch / "err.txt");
    std::stringstream text;
    text << err.rdbuf();
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << text.str();
  }
  std::error_code ec;
  fs::remove_all(scratch, ec);
}

}  // namespace
