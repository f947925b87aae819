// kvnhost matrix: one package against a fleet of machines. Each machine runs on a fresh
// temporary state in kvnhost processes of its own (check; with --install also install, diff
// and a check after), several machines at once, and each gives one row: kvnhost's own JSON
// field names plus `machine`, `path`, `outcome` and `error`. The rows print as a table, JSON
// Lines, CSV, JUnit XML or one HTML page; JSON Lines of several runs (shards) concatenate and
// render again with --report. matrix_linux.cpp runs the machines; matrixreport.cpp holds the
// rows' outcomes and their forms.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct MatrixOptions {
  std::string packageDir;
  std::vector<std::string> machines;  // machine directories, or folders of them
  bool install = false;
  int jobs = 0;  // 0: the number of cores
  int timeoutSeconds = 120;
  int shard = 0, shards = 0;  // --shard K/N (0/0: every machine)
  std::string report;         // --report FILE.jsonl: render these rows instead of running
  std::string format = "table";
  std::string lang = "en";
};

// The outcomes of a row, in the order the table sorts them.
enum class Outcome { Failed, Restart, Installed, WillInstall, UpToDate, NothingToDo, NotSupported };
const char *OutcomeName(Outcome outcome);  // "failed", "restart", "installed", "will install", ...
// A row's outcome from its fields (error, install_result, preinstall_status, os_supported).
Outcome OutcomeOf(const nlohmann::json &row);

// Parses "K/N" (1 <= K <= N). False when it is not such a pair.
bool ParseShard(const std::string &text, int &shard, int &shards);
// Whether the machine at `position` (from 0, in the sorted list) belongs to shard K of N.
inline bool InShard(size_t position, int shard, int shards) {
  return shards == 0 || int(position % size_t(shards)) == shard - 1;
}

// Reads rows written as JSON Lines by an earlier run. False with "FILE:LINE: reason".
bool ReadMatrixReport(const std::string &file, std::vector<nlohmann::json> &rows, std::string &error);

// The rows in the format asked for; the table and the page sorted by outcome, then machine.
std::string MatrixOutput(std::vector<nlohmann::json> rows, const std::string &format, bool install);
// 0 every machine ran (and installed), 1 one could not run or its install failed, 3010 none
// failed but one needs a restart.
int MatrixExitStatus(const std::vector<nlohmann::json> &rows);

// Linux only: runs the machines (or renders --report) and prints the rows. The exit status.
int RunMatrix(const MatrixOptions &options);
