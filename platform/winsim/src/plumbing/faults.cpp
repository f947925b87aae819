#include "plumbing/faults.h"

#include <unistd.h>

#include <cstdio>

#include "machine/filesystem.h"
#include "machine/machine.h"
#include "plumbing/handles.h"
#include "plumbing/hooks.h"

namespace winsim {

namespace {
const PartSlot<FaultTable> g_faults("faults");

bool ReadFault(const toml::table &t, const std::string &file, size_t i, Fault &f, std::string &error) {
  TableReader r(t, file, EntryName("faults", i), error);
  int64_t error64 = ERROR_GEN_FAILURE;
  std::string kind = "fail";
  bool read = r.Text("function", f.function) & r.Number("nth", f.nth, 0, INT64_MAX) &
              r.Text("when_arg_contains", f.whenArgContains) & r.Number("error", error64, 0, 0xFFFFFFFFLL) &
              r.Text("kind", kind) & r.Flag("power", f.power);
  if (!read) {
    r.Done();  // the unknown keys beside the wrong values
    return false;
  }
  f.error = uint32_t(error64);
  f.errorGiven = t.contains("error");
  if (kind != "fail" && kind != "crash") return r.Fail("kind", "is \"" + kind + "\", not \"fail\" or \"crash\"");
  f.crash = kind == "crash";
  if (f.power && !f.crash) return r.Fail("power", "is true, but only a kind = \"crash\" entry can be a power cut");
  if (f.function.empty()) return r.Fail("function", "is missing: a [[faults]] entry names the function it fails");
  return r.Done();
}

// Where an entry names a function that no fault can fail.
bool CheckFunction(const Fault &f, const toml::table &t, const std::string &file, size_t i, std::string &error) {
  if (f.function == "*") return true;
  const EntryPoint *e = FindEntry(f.function);
  if (e && e->canFail) return true;
  std::string line = file;
  if (auto at = t.source().begin.line) line += ":" + std::to_string(at);
  AddMistake(error, line + ": " + EntryName("faults", i) + ": function \"" + f.function + "\" " +
                        (e ? "cannot fail on Windows" : "is not a function winsim can fail (no fault hook)"));
  return false;
}
}  // namespace

FaultTable &Faults() { return g_faults(); }

bool FaultTable::PowerCutArmed() const {
  for (const Fault &f : faults)
    if (f.power) return true;
  return false;
}

void EndProcessAsCrashed(int64_t call, const char *function, bool power) {
  ReleaseAllObjects();
  std::string error;
  if (power) {
    size_t lost = FileSystem().LoseUnflushedWrites();
    std::fprintf(stderr, "winsim: the power went: %zu file(s) lost the writes not flushed; the machine restarts\n",
                 lost);
    FaultTable &table = Faults();
    if (table.restartAfterPowerCut && !table.restartAfterPowerCut(error))
      std::fprintf(stderr, "winsim: the machine could not restart: %s\n", error.c_str());
  }
  if (!SaveMachine(error)) std::fprintf(stderr, "winsim: the machine could not be saved: %s\n", error.c_str());
  std::fprintf(stderr, "winsim: the process ended at call %lld (%s) as a crash fault asked\n",
               static_cast<long long>(call), function);
  std::fflush(stderr);
  CloseCallTrace();  // the trace holds the call the process ended at
  _exit(137);
}

bool FaultTable::Load(MachineFile &file) {
  const toml::array *list = nullptr;
  if (!file.Top().Tables("faults", list)) return false;
  return ReadEntries(list, faults, [&](const toml::table &t, size_t i, Fault &f) {
    return ReadFault(t, file.Name(), i, f, file.Mistakes()) && CheckFunction(f, t, file.Name(), i, file.Mistakes());
  });
}

}  // namespace winsim
