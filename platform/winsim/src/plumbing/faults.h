// The machine's fault table ([[faults]]): which hooked calls fail and with what error
// (hooks.h applies it), and the count of the run's hooked calls that `nth` counts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "machine/part.h"

namespace winsim {

struct Fault {
  std::string function;  // "*": any hooked function
  int64_t nth = 0;       // 0: every matching call
  std::wstring whenArgContains;
  uint32_t error = 0;
  bool errorGiven = false;  // false: ERROR_GEN_FAILURE, or for "*" the function's typical error
  bool crash = false;       // kind = "crash": the process ends at the call instead
  bool power = false;       // a crash that is a power cut: unflushed writes lost, then a restart
  int64_t seen = 0;
};

class FaultTable : public MachinePart {
 public:
  std::vector<Fault> faults;
  int64_t hookedCalls = 0;  // the hooked calls of the run so far
  // The machine's restart after a power cut; the session that opens the machine sets it.
  std::function<bool(std::string &error)> restartAfterPowerCut;

  // True when an entry is a power cut: the file calls then keep what the disk holds.
  bool PowerCutArmed() const;

  // Every entry must name a hooked function (not an unknown name, nor one of those that
  // cannot fail on Windows): "file:line: [[faults]] entry N: function \"Name\" ..." otherwise.
  bool Load(MachineFile &file) override;
};

// The open machine's fault table.
FaultTable &Faults();

// A crash fault's end of the process at hooked call `call` of `function`: what the machine did
// stays done and is saved as it is, the process's handles and open files are closed, no
// library is told and nothing after the call runs; one line on standard error, exit status
// 137 (the status of a killed process). A power cut first loses the file writes not yet
// flushed and restarts the machine, as a restart after the power comes back would.
[[noreturn]] void EndProcessAsCrashed(int64_t call, const char *function, bool power);

}  // namespace winsim
