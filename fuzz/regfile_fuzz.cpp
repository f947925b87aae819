// winsim's registry.reg reader: a machine opened over the input as its registry.reg. A
// file that loads is written back in canonical form when the machine closes, and that text
// must load again and be written back byte for byte the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include <winsim.h>

#include "fuzzmachine.h"

namespace {

// Opens the machine on its registry.reg and closes it again; the text written back, or
// nothing (`loaded` false) when the file does not load.
std::string LoadAndSave(bool &loaded) {
  std::string error;
  loaded = winsim::OpenMachine(fuzz::MachineDir(), error);
  if (!loaded) return {};
  if (!winsim::CloseMachine(&error)) fuzz::Fail("the registry was not written back: " + error);
  return fuzz::ReadHostFile(fuzz::MachineDir() / "registry.reg");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (winsim::IsMachineOpen()) winsim::CloseMachine();
  const auto file = fuzz::MachineDir() / "registry.reg";
  fuzz::WriteHostFile(file, fuzz::Bytes(data, size));
  bool loaded = false;
  std::string canonical = LoadAndSave(loaded);
  if (!loaded) return 0;
  std::string again = LoadAndSave(loaded);
  if (!loaded) fuzz::Fail("the registry.reg written back does not load");
  if (again != canonical) fuzz::Fail("the registry.reg written back changes when loaded and written again");
  return 0;
}
