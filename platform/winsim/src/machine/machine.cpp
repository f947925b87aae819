#include "machine/machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "machine/machinefile.h"

namespace winsim {

namespace {
// The parts in the order they load: each may use those above it while it loads (the
// process's environment names the computer, the devices write their keys into the
// registry, the services read theirs). They save in the reverse order.
const char *const kLoadOrder[] = {
    "system",       // [os], [machine] computer_name, locales, code page
    "clock",        // [machine] clock, timezone_bias_minutes
    "process",      // the environment ([env])
    "file system",  // [[locked_files]], [file_attributes], [[file_security]], [machine] free_disk
    "wmi",          // [wmi]
    "programs",     // [[programs]]
    "faults",       // [[faults]]
    "registry",     // registry.reg, protected_keys, [[key_security]]
    "devices",      // [[devices]]
    "services",     // [[services]], [machine] service_lock_held_ms
};

struct RegisteredPart {
  const char *name;
  std::unique_ptr<MachinePart> (*make)();
};

std::vector<RegisteredPart> &Registered() {
  static std::vector<RegisteredPart> parts;
  return parts;
}

std::unique_ptr<Machine> g_machine;
}  // namespace

// ---- machine.toml while the parts read it --------------------------------------------------

TableReader &MachineFile::Top() {
  if (!top_) top_ = std::make_unique<TableReader>(config_, name_, "", mistakes_);
  return *top_;
}

TableReader &MachineFile::Section(const char *table) {
  auto &reader = sections_[table];
  if (!reader) {
    const toml::table *t = nullptr;
    Top().Table(table, t);
    reader = std::make_unique<TableReader>(t ? *t : empty_, name_, std::string("[") + table + "]", mistakes_);
  }
  return *reader;
}

bool MachineFile::Finish() {
  bool done = Top().Done();
  for (auto &[name, reader] : sections_) done &= reader->Done();
  return done;
}

// ---- the parts -----------------------------------------------------------------------------

size_t RegisterPart(const char *name, std::unique_ptr<MachinePart> (*make)()) {
  Registered().push_back({name, make});
  return Registered().size() - 1;
}

MachinePart &PartOfOpenMachine(size_t slot) { return Current().Part(slot); }

Machine::Machine() {
  const auto &registered = Registered();
  for (const RegisteredPart &r : registered) parts_.push_back(r.make());
  for (const char *name : kLoadOrder)
    for (size_t slot = 0; slot < registered.size(); ++slot)
      if (std::strcmp(registered[slot].name, name) == 0) loadOrder_.push_back(slot);
  if (loadOrder_.size() != registered.size()) {
    std::fputs("winsim: a machine part is missing from the load order (machine.cpp)\n", stderr);
    std::abort();
  }
}

Machine::~Machine() = default;

bool Machine::Load(const std::filesystem::path &dir, std::string &error) {
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    error = "machine directory " + dir.string() + " does not exist";
    return false;
  }
  root_ = std::filesystem::absolute(dir, ec);
  // A save the process did not live to finish is completed, or undone, first.
  RecoverInterruptedSave(root_);
  std::filesystem::path file = root_ / "machine.toml";
  if (!ParseMachineToml(file, config_, error)) return false;
  if (!std::filesystem::is_directory(root_ / "drive_c", ec)) {
    error = "machine directory " + root_.string() + " has no drive_c folder";
    return false;
  }
  fileName_ = file.string();

  MachineFile machineFile(root_, fileName_, config_);
  // A machine that starts from another one is merged into one machine by CopyMachine.
  if (machineFile.Top().Has("base")) {
    machineFile.Top().Fail("base", "a machine with a base opens as a copy (kvnhost --machine, winsim::CopyMachine)");
    error = machineFile.Mistakes();
    return false;
  }
  // Every part is read, so that one load tells all the mistakes (each a line).
  bool ok = true;
  for (size_t slot : loadOrder_) ok &= parts_[slot]->Load(machineFile);
  ok &= machineFile.Finish();
  if (!ok) error = machineFile.Mistakes();
  return ok;
}

bool Machine::Save(std::string &error) {
  MachineFile machineFile(root_, fileName_, config_);
  for (auto it = loadOrder_.rbegin(); it != loadOrder_.rend(); ++it)
    if (!parts_[*it]->Save(machineFile, error)) return false;
  std::ostringstream text;
  text << config_ << "\n";
  machineFile.Files().Add("machine.toml", text.str());
  return machineFile.Files().Commit(error);
}

// ---- the open machine ----------------------------------------------------------------------

bool LoadMachine(const std::filesystem::path &dir, std::string &error) {
  // The machine is open while it loads: a part reaches the parts before it through their
  // accessors.
  g_machine = std::make_unique<Machine>();
  if (g_machine->Load(dir, error)) return true;
  g_machine.reset();
  return false;
}

bool SaveMachine(std::string &error) { return g_machine && g_machine->Save(error); }

void DropMachine() { g_machine.reset(); }

Machine &Current() {
  if (!g_machine) {
    std::fputs("winsim: a Win32 function was called with no machine open (winsim::OpenMachine)\n", stderr);
    std::abort();
  }
  return *g_machine;
}

bool HasMachine() { return g_machine != nullptr; }

}  // namespace winsim
