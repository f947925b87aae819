// The reading and writing of a machine directory's files, shared by the machine's parts:
// machine.toml read strictly, each part reading its own tables with a TableReader. A value
// of the wrong type, an unknown key, an impossible date or version, or an unknown
// enumeration text is a mistake told as one line "<file>:<line>: <table>: <key> <reason>";
// every table and entry is read, so that one load tells all the mistakes.
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

// The text of the account names a machine may use in access lists and their SIDs.
// A SID may also be written in its "S-1-5-21-..." form.
bool AccountSid(const std::string &name, std::vector<BYTE> &sid);
// The name AccountSid reads for a SID (its "S-1-..." form when it has no name).
std::string AccountName(const std::vector<BYTE> &sid);

// Writes a file of the machine directory through a ".new" file renamed over it, so a
// failed write never leaves half a file. False with a reason on failure.
bool WriteFileAtomically(const std::filesystem::path &file, const std::string &content, std::string &error);

// The files a machine's save writes, written as one: each is written under a ".new" name and
// flushed, then the marker ".winsim-saving" lists them (flushed), then each is renamed over its
// file, then the marker goes. RecoverInterruptedSave, before a machine loads, completes the
// renames a marker lists, or removes the ".new" files of a save that never wrote its marker:
// a machine directory is always wholly its old state or wholly its new one.
class DirectorySave {
 public:
  explicit DirectorySave(std::filesystem::path root) : root_(std::move(root)) {}
  // `name` is relative to the directory ("registry.reg").
  void Add(std::string name, std::string content) { files_.emplace_back(std::move(name), std::move(content)); }
  bool Commit(std::string &error);

 private:
  std::filesystem::path root_;
  std::vector<std::pair<std::string, std::string>> files_;
};
void RecoverInterruptedSave(const std::filesystem::path &root);

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
  // The text of `key` as the document holds it; null when absent or not a text (a mistake).
  const std::string *String(const char *key);

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

// "[[table]] entry N" for the i-th entry (from 0) of an array of tables, in messages.
std::string EntryName(const char *table, size_t i);

// An account key of an entry ("owner"), "Administrators" when absent, into its SID.
bool ReadAccount(TableReader &r, const char *key, std::vector<BYTE> &sid);

// The deny and allow lists of a [[key_security]] or [[file_security]] entry, deny entries
// first, into an ACL image (file entries are passed on to what is created inside).
bool ReadAccessList(TableReader &r, const toml::table &t, const std::string &file, const std::string &where,
                    bool forFiles, std::vector<BYTE> &dacl, std::string &error);

// Reads each entry of an array of tables with `read(table, index, entry)`, keeping those
// that read without a mistake; false when any had one.
template <class T, class Read>
bool ReadEntries(const toml::array *list, std::vector<T> &out, Read read) {
  bool ok = true;
  for (size_t i = 0; list && i < list->size(); ++i) {
    T entry;
    if (read(*(*list)[i].as_table(), i, entry))
      out.push_back(std::move(entry));
    else
      ok = false;
  }
  return ok;
}

}  // namespace winsim
