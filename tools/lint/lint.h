// kvnhost lint: a driver package checked before it meets a machine. The package files are read
// with the component's own readers (package definition, installation description, dependency
// file) and the INF through SetupAPI as the component opens it, so on Windows the findings are
// those of Windows' own INF parser and on Linux those of the simulated one. Ordinary Win32 code:
// the package directory is a path of the running system.
#pragma once

#include <string>
#include <vector>

namespace lint {

enum class Severity { Error, Warning, Note };
const char *SeverityName(Severity severity);  // "error", "warning", "note"

// One rule: its ID, its severity, a short name and the help text that says what to do.
struct Rule {
  const char *id;
  Severity severity;
  const char *name;
  const char *help;
};
// Every rule, in the order of their IDs.
const std::vector<Rule> &Rules();
const Rule *FindRule(const std::string &id);

// A place in the package: a file name relative to the package directory and a line (1-based;
// 0 when the finding is about the file as a whole or something it lacks).
struct Place {
  std::string file;
  unsigned line = 0;
};

// One finding of one rule. `related` is the other place of a rule that compares two files.
struct Finding {
  std::string rule;
  Severity severity = Severity::Error;
  Place place;
  std::string message;
  std::vector<Place> related;
};

struct Result {
  std::vector<Finding> findings;  // grouped by file, in the order the files were read
  bool readable = true;           // false: no package files at all; `error` says why, of the directory
  std::string error;
};

// Lints the package in `packageDir` (a directory of the running system). Never throws; a
// package that cannot be read at all gives readable = false.
Result LintPackage(const std::wstring &packageDir);

}  // namespace lint
