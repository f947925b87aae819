// The machine.toml loader: a machine opened over the input as its machine.toml. A machine
// that opens is closed (its state written back) and must open again from what was written.
#include <cstddef>
#include <cstdint>
#include <string>

#include <winsim.h>

#include "fuzzmachine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (winsim::IsMachineOpen()) winsim::CloseMachine();
  const auto dir = fuzz::MachineDir();
  std::error_code ec;
  std::filesystem::remove(dir / "registry.reg", ec);
  fuzz::WriteHostFile(dir / "machine.toml", fuzz::Bytes(data, size));
  std::string error;
  if (!winsim::OpenMachine(dir, error)) return 0;
  if (!winsim::CloseMachine(&error)) fuzz::Fail("the machine was not written back: " + error);
  if (!winsim::OpenMachine(dir, error)) fuzz::Fail("the machine written back does not open: " + error);
  winsim::CloseMachine();
  return 0;
}
