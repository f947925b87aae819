#include "machine/programs.h"

namespace winsim {

namespace {
const PartSlot<ProgramTable> g_programs("programs");

bool ReadProgram(const toml::table &t, const std::string &file, size_t i, ProgramSpec &p, std::string &error) {
  TableReader r(t, file, EntryName("programs", i), error);
  const toml::table *creates = nullptr;
  bool read = r.Text("name", p.name) & r.Dword("exit_code", p.exitCode) & r.Number("runs_ms", p.runsMs, 0, INT64_MAX) &
              r.Flag("never_exits", p.neverExits) & r.Table("creates_service", creates);
  if (!read) {
    r.Done();  // the unknown keys beside the wrong values
    return false;
  }
  if (p.name.empty()) return r.Fail("name", "is missing");
  if (creates) {
    TableReader c(*creates, file, EntryName("programs", i) + " creates_service", error);
    CreatesService s;
    bool read = c.Text("when_args", s.whenArgs) & c.Text("name", s.name) & c.Text("display_name", s.displayName) &
                c.Text("binary", s.binary) & c.Dword("type", s.type) & c.Dword("start_type", s.startType);
    if (!read) {
      c.Done();  // the unknown keys beside the wrong values
      return false;
    }
    if (s.name.empty()) return c.Fail("name", "is missing");
    if (s.startType > 4) return c.Fail("start_type", std::to_string(s.startType) + " is not from 0 to 4");
    if (!c.Done()) return false;
    p.createsService = std::move(s);
  }
  p.raw = t;
  return r.Done();
}

}  // namespace

ProgramTable &Programs() { return g_programs(); }

bool ProgramTable::Load(MachineFile &file) {
  const toml::array *list = nullptr;
  if (!file.Top().Tables("programs", list)) return false;
  return ReadEntries(list, programs, [&](const toml::table &t, size_t i, ProgramSpec &p) {
    return ReadProgram(t, file.Name(), i, p, file.Mistakes());
  });
}

}  // namespace winsim
