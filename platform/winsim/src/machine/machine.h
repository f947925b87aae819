// The open machine: a machine directory loaded into its parts (part.h), and written back
// into the directory when it closes. One machine is open per process; every Win32 call of
// winsim acts on it, through the accessors of the parts it uses.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "machine/part.h"

namespace winsim {

class Machine {
 public:
  Machine();
  ~Machine();

  const std::filesystem::path &Root() const { return root_; }
  const std::string &FileName() const { return fileName_; }  // machine.toml's path
  MachinePart &Part(size_t slot) { return *parts_[slot]; }

  // What the machine holds that Windows would never show together (machinecheck.cpp).
  std::vector<std::string> warnings;

 private:
  friend bool LoadMachine(const std::filesystem::path &dir, std::string &error);
  friend bool SaveMachine(std::string &error);
  bool Load(const std::filesystem::path &dir, std::string &error);
  bool Save(std::string &error);

  std::filesystem::path root_;
  std::string fileName_;
  toml::table config_;                               // machine.toml as read; saved back with the state
  std::vector<std::unique_ptr<MachinePart>> parts_;  // by slot
  std::vector<size_t> loadOrder_;
};

// Opens the machine of `dir`: its parts load in their order, each seeing the ones before it.
// False with every mistake found, a line each, and no machine open.
bool LoadMachine(const std::filesystem::path &dir, std::string &error);
// Writes the open machine's state back into its directory (false with the reason).
bool SaveMachine(std::string &error);
// Closes the open machine without writing anything.
void DropMachine();

// The open machine. Calling a Win32 function with no machine open is a host error:
// winsim says so on standard error and stops the process.
Machine &Current();
bool HasMachine();

}  // namespace winsim
