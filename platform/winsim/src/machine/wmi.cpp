#include "machine/wmi.h"

namespace winsim {

namespace {
const PartSlot<WmiState> g_wmi("wmi");
}  // namespace

WmiState &Wmi() { return g_wmi(); }

bool WmiState::Load(MachineFile &file) {
  const toml::table *wmi = nullptr;
  if (!file.Top().Table("wmi", wmi)) return false;
  if (!wmi) return true;
  TableReader r(*wmi, file.Name(), "[wmi]", file.Mistakes());
  bool read = r.Flag("available", available) & r.Text("model", model);
  return r.Done() & read;
}

}  // namespace winsim
