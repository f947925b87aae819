// A machine is made of parts. Each part owns one kind of state (the registry, the device
// tree, the clock ...): its fields, its tables of machine.toml, its load, its save and the
// checks of what it reads. A part registers itself when winsim is loaded, so the machine
// knows parts only by name (machine.cpp lists the order they load in), and code reaches a
// part through the accessor its header declares (`Clock().Now()`), which answers the part
// of the open machine.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <toml++/toml.h>

#include "machine/machinefile.h"

namespace winsim {

// machine.toml and its directory while the parts load from them and save into them.
class MachineFile {
 public:
  MachineFile(std::filesystem::path root, std::string name, toml::table &config)
      : root_(std::move(root)), name_(std::move(name)), config_(config) {}

  const std::filesystem::path &Root() const { return root_; }
  const std::string &Name() const { return name_; }  // machine.toml's path, for messages
  toml::table &Config() { return config_; }

  // The mistakes of the load, a line each (AddMistake).
  std::string &Mistakes() { return mistakes_; }
  // The reader of machine.toml's top level: each part asks it for its own tables.
  TableReader &Top();
  // The reader of a top-level table whose keys belong to several parts ([machine]); an
  // absent table reads as an empty one.
  TableReader &Section(const char *table);
  // Once every part has read its keys: the tables and keys that no part knows.
  bool Finish();
  // The files a save writes, written together when every part has saved.
  DirectorySave &Files() { return files_; }

 private:
  std::filesystem::path root_;
  std::string name_;
  toml::table &config_;
  std::string mistakes_;
  std::unique_ptr<TableReader> top_;
  std::map<std::string, std::unique_ptr<TableReader>> sections_;
  const toml::table empty_;
  DirectorySave files_{root_};
};

class MachinePart {
 public:
  virtual ~MachinePart() = default;
  // Reads the part's tables and files. False when a mistake was found (each is added to
  // file.Mistakes()); the part is then left empty but usable, so the parts after it still
  // load and tell their own mistakes.
  virtual bool Load(MachineFile &file) = 0;
  // Writes the run-time state back into machine.toml's document (or the part's own file).
  virtual bool Save(MachineFile &file, std::string &error) {
    (void)file;
    (void)error;
    return true;
  }
};

// Registers a part under its name, at library load; answers the slot the machine keeps it
// in. The machine refuses to open when a registered part is missing from its load order.
size_t RegisterPart(const char *name, std::unique_ptr<MachinePart> (*make)());
// The part in `slot` of the open machine (a host error when no machine is open).
MachinePart &PartOfOpenMachine(size_t slot);

// A part's registration and accessor: `const PartSlot<MachineClock> g_clock("clock");` in
// the part's source, and `MachineClock &Clock() { return g_clock(); }`.
template <class P>
class PartSlot {
 public:
  explicit PartSlot(const char *name) : slot_(RegisterPart(name, [] { return std::unique_ptr<MachinePart>(new P); })) {}
  P &operator()() const { return static_cast<P &>(PartOfOpenMachine(slot_)); }

 private:
  size_t slot_;
};

}  // namespace winsim
