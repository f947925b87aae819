// kvnhost reboot on Linux: the --state machine restarted by winsim and written back.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <winsim.h>

#include "hostmachine.h"

namespace fs = std::filesystem;

bool RebootMachine(const HostOptions &options, std::vector<RebootStep> &steps, std::string &error) {
  std::error_code ec;
  if (options.stateDir.empty() || !fs::is_directory(options.stateDir, ec)) {
    error = "reboot needs --state naming an existing machine state";
    return false;
  }
  if (!winsim::OpenMachine(options.stateDir, error)) return false;
  std::vector<winsim::RestartStep> done;
  bool ok = winsim::RestartMachine(done, error);
  std::string closeError;
  if (!winsim::CloseMachine(&closeError) && ok) {
    error = closeError;
    ok = false;
  }
  for (auto &step : done) steps.push_back({step.kind, step.what, step.error});
  return ok;
}
