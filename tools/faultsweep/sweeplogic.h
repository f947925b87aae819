// The decisions of the fault sweep that need no process: reading the call trace, choosing
// the fault points, and whether a device's change of state is one a run may make.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace faultsweep {

// One hooked call of the counting run.
struct Call {
  long long n = 0;
  std::string function;
  std::string site;    // "module+0xOFFSET"
  std::string symbol;  // the module's own name for the caller, when it exports one
};

// The calls of the first machine a trace file records (see platform/winsim's README); none
// when the file cannot be read.
std::vector<Call> ReadTrace(const std::filesystem::path &file);

// The fault points, in call order: every call ("full"), or for each function and call site
// its first and its last call ("grouped"), or none ("baseline": the unfaulted run alone).
std::vector<const Call *> FaultPoints(const std::vector<Call> &calls, const std::string &mode);

// A device's status as machine.toml records it.
struct DeviceState {
  std::string status = "started";
  long long problem = 0;
  std::string pending;  // the status a change waiting for the restart gives it then
  bool operator==(const DeviceState &) const = default;
  std::string Text() const {
    std::string text = problem ? status + " (problem " + std::to_string(problem) + ")" : status;
    return pending.empty() ? text : text + ", " + pending + " at the restart";
  }
};

// Whether a device may have gone from `before` to `now` in a run that exited with `code`: a
// started device is started again, or waits for a restart the run asked for (3010); a
// disabled one stays disabled (the administrator's choice); one that did not work may work now.
// A change waiting for the restart counts as made, and only a run that asked for it may leave one.
bool AcceptableChange(const DeviceState &before, const DeviceState &now, int code);

}  // namespace faultsweep
