// What the scenario tests of kvnhost share: a scratch folder of their own, a text quoted for
// the shell, and one run of a program through the shell with its exit status and output.
#pragma once

#include <filesystem>
#include <string>

// A new folder under the temporary folder, removed with everything in it at destruction.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string &prefix);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder &) = delete;
  ScratchFolder &operator=(const ScratchFolder &) = delete;
  const std::filesystem::path &Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// `text` in single quotes for sh.
std::string ShellQuote(const std::string &text);

struct HostRun {
  int status = -1;  // the exit status; -1 when the program did not exit by itself
  std::string out, err;
};
// Runs `program args` through the shell (args as the shell reads them), its standard output
// and error kept in files of `scratch`.
HostRun RunProgram(const std::string &program, const std::string &args, const std::filesystem::path &scratch);
