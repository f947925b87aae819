// machine.toml read once, strictly, into typed fields. Every table and key of the machine
// directory's contract is known here; a value of the wrong type, an unknown key, an
// impossible date or version, or an unknown enumeration text stops the load with one line
// "<file>:<line>: <table>: <key> <reason>". The tables whose behaviour other parts of winsim
// build ([wmi], [[services]], [programs.creates_service], [devices.behaviour]) are checked
// here too and kept typed for their users.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <toml++/toml.h>

namespace winsim {

// [os]: the defaults are a 64-bit Windows Server 2019 Standard.
struct OsSpec {
  DWORD major = 10, minor = 0, build = 17763;
  DWORD platformId = 2;  // VER_PLATFORM_WIN32_NT
  BYTE productType = 3;  // VER_NT_SERVER
  std::wstring csdVersion;
  WORD spMajor = 0, spMinor = 0;
  WORD suiteMask = 0x0110;
  DWORD productInfo = 7;  // PRODUCT_STANDARD_SERVER
  bool serverR2 = false;
  WORD nativeArchitecture = 9;   // PROCESSOR_ARCHITECTURE_AMD64
  WORD processArchitecture = 9;  // what the simulated process runs as (ia32_on_win64: 0)
  std::optional<std::wstring> currentVersion;
  std::vector<std::wstring> missingDlls, missingExports;
};

struct WmiSpec {
  bool available = true;
  std::wstring model = L"RS-220";
};

struct ServiceSpec {
  enum class State { Running, Stopped, StartPending };
  enum class OnStart { Runs, Pending, Fails, Stops };
  std::wstring name;
  State state = State::Stopped;
  OnStart onStart = OnStart::Runs;
  DWORD startError = 1053;  // ERROR_SERVICE_REQUEST_TIMEOUT
  // What the service control manager's own database holds where the registry was written
  // behind its back since the last boot (services.h); absent: the registry's value.
  std::optional<DWORD> startType;
  std::optional<bool> markedForDelete;
};

struct CreatesService {
  std::wstring whenArgs, name, displayName, binary;
  DWORD type = 16;  // SERVICE_WIN32_OWN_PROCESS
  DWORD startType = 2;
};

// [[key_security]]: a key's owner and access list, in force from the load on (or from the
// key's creation when it does not exist yet).
struct KeySecuritySpec {
  std::wstring path;        // as written
  std::vector<BYTE> owner;  // SID
  std::vector<BYTE> dacl;   // ACL image: the deny entries, then the allow entries
};

// [[file_security]]: a file's or folder's owner and explicit access list, or a folder that is
// a junction to another folder of the machine. The run-time table of what the machine's
// files carry besides what they inherit; saved back as [[file_security]] entries.
struct FileSecuritySpec {
  std::wstring path;           // full Windows path (a link's own path, not its target's)
  std::vector<BYTE> owner;     // SID; empty: Administrators
  bool hasDacl = false;        // an explicit access list (else only what the parent passes on)
  std::vector<BYTE> dacl;      // ACL image of the explicit entries
  bool protectedDacl = false;  // nothing inherited from the parent
  std::wstring linkTarget;     // a junction: the full path of the folder it points to
};

// The text of the account names a machine may use in access lists and their SIDs.
// A SID may also be written in its "S-1-5-21-..." form.
bool AccountSid(const std::string &name, std::vector<BYTE> &sid);
// The name AccountSid reads for a SID (its "S-1-..." form when it has no name).
std::string AccountName(const std::vector<BYTE> &sid);
// The [[file_security]] entries of the machine's run-time table, for machine.toml.
toml::array FileSecurityEntries(const std::vector<FileSecuritySpec> &table);

class Machine;

// Fills the machine's typed fields from machine.toml's table (every table but [[devices]],
// which devices.cpp reads with TableReader). Every table and entry is read: false with a line
// for each mistake found (`FILE:LINE: TABLE: KEY reason`), a mistake stopping only the rest of
// its own table or entry.
bool ReadMachineFile(const toml::table &config, const std::string &fileName, Machine &machine, std::string &error);

// Adds a line to the mistakes of a load.
void AddMistake(std::string &mistakes, const std::string &line);

// A machine directory's files: machine.toml parsed (a missing file is an empty table; a
// syntax error answers false with "FILE:LINE: reason"), and a file's bytes (false when it
// cannot be read).
bool ParseMachineToml(const std::filesystem::path &file, toml::table &out, std::string &error);
bool ReadFileBytes(const std::filesystem::path &file, std::string &out);

// Reads one TOML table strictly: each accessor checks the type of its key and remembers it,
// Done() refuses every key no accessor asked for. Mistakes are added as lines to the error
// text the reader was given, so that one load can tell them all. Missing keys leave the output as it was.
class TableReader {
 public:
  // `where` names the table in messages: "[os]", "[[faults]] entry 2", "driver." ...
  TableReader(const toml::table &table, std::string fileName, std::string where, std::string &error)
      : table_(table), file_(std::move(fileName)), where_(std::move(where)), error_(error) {}

  bool Has(const char *key) const { return table_.contains(key); }
  bool Text(const char *key, std::wstring &out);
  bool Text(const char *key, std::string &out);
  bool Texts(const char *key, std::vector<std::wstring> &out, bool dropEmpty = false);
  bool Flag(const char *key, bool &out);
  bool Number(const char *key, int64_t &out, int64_t min, int64_t max);
  bool Dword(const char *key, DWORD &out) { return Ranged(key, out, 0, 0xFFFFFFFFLL); }
  bool Word(const char *key, WORD &out) { return Ranged(key, out, 0, 0xFFFF); }
  // One of the texts of `names`; *out is the value paired with it.
  template <class E>
  bool Choice(const char *key, std::initializer_list<std::pair<const char *, E>> names, E &out);
  // A subtable ([os] ... or { ... }); null when absent (false only when it is not a table).
  bool Table(const char *key, const toml::table *&out);
  // An array of tables ([[x]]); null when absent.
  bool Tables(const char *key, const toml::array *&out);
  // Marks a key as known without reading it here.
  void Skip(const char *key) { known_.push_back(key); }
  bool Done();

  // Adds the reason for the value of `key` (or for the table itself when the key is absent)
  // to the mistakes; answers false.
  bool Fail(const char *key, const std::string &reason);
  bool WrongType(const char *key, const char *expected) { return Fail(key, std::string("must be ") + expected); }
  int LineOf(const char *key) const;
  const std::string &Where() const { return where_; }
  void SetWhere(std::string where) { where_ = std::move(where); }
  // Written before every key name in messages ("driver." for a subtable's keys).
  void SetKeyPrefix(std::string prefix) { prefix_ = std::move(prefix); }

 private:
  template <class T>
  bool Ranged(const char *key, T &out, int64_t min, int64_t max) {
    int64_t v = int64_t(out);
    if (!Number(key, v, min, max)) return false;
    out = T(v);
    return true;
  }
  const toml::node *Get(const char *key);

  const toml::table &table_;
  std::string file_, where_, prefix_;
  std::string &error_;
  std::vector<std::string> known_;
};

template <class E>
bool TableReader::Choice(const char *key, std::initializer_list<std::pair<const char *, E>> names, E &out) {
  std::string text;
  if (!Text(key, text)) return false;
  if (!Has(key)) return true;
  std::string all;
  for (auto &[name, value] : names) {
    if (text == name) {
      out = value;
      return true;
    }
    all += std::string(all.empty() ? "" : ", ") + "\"" + name + "\"";
  }
  return Fail(key, "\"" + text + "\" is not one of " + all);
}

}  // namespace winsim
