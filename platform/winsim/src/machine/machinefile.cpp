#include "machine/machinefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/names.h"
#include "base/security.h"

namespace winsim {

// ---- TableReader ------------------------------------------------------------------------------

const toml::node *TableReader::Get(const char *key) {
  known_.push_back(key);
  return table_.get(key);
}

int TableReader::LineOf(const char *key) const {
  const toml::node *n = key ? table_.get(key) : nullptr;
  return int(n ? n->source().begin.line : table_.source().begin.line);
}

bool TableReader::Fail(const char *key, const std::string &reason) {
  std::string line = file_ + ":" + std::to_string(LineOf(key)) + ": ";
  if (!where_.empty()) line += where_ + ": ";
  if (key && *key) line += prefix_ + key + " ";
  AddMistake(error_, line + reason);
  return false;
}

void AddMistake(std::string &mistakes, const std::string &line) {
  if (!mistakes.empty()) mistakes += "\n";
  mistakes += line;
}

bool ParseMachineToml(const std::filesystem::path &file, toml::table &out, std::string &error) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return true;
  try {
    out = toml::parse_file(file.string());
  } catch (const toml::parse_error &e) {
    error = file.string() + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
    return false;
  }
  return true;
}

bool ReadFileBytes(const std::filesystem::path &file, std::string &out) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return in || in.eof();
}

const std::string *TableReader::String(const char *key) {
  const toml::node *n = Get(key);
  if (!n) return nullptr;
  if (!n->is_string()) {
    WrongType(key, "a text");
    return nullptr;
  }
  return &n->as_string()->get();
}

bool TableReader::Text(const char *key, std::string &out) {
  const std::string *text = String(key);
  if (text) out = *text;
  return text || !Has(key);
}

bool TableReader::Text(const char *key, std::wstring &out) {
  const std::string *text = String(key);
  if (text) out = FromUtf8(*text);
  return text || !Has(key);
}

bool TableReader::Texts(const char *key, std::vector<std::wstring> &out, bool dropEmpty) {
  const toml::node *n = Get(key);
  if (!n) return true;
  const toml::array *list = n->as_array();
  if (!list) return WrongType(key, "a list of texts");
  std::vector<std::wstring> texts;
  texts.reserve(list->size());
  for (const toml::node &item : *list) {
    if (!item.is_string()) return WrongType(key, "a list of texts");
    std::wstring text = FromUtf8(item.as_string()->get());
    if (text.find(L'\0') != std::wstring::npos) return Fail(key, "holds a NUL character");
    if (!text.empty() || !dropEmpty) texts.push_back(std::move(text));
  }
  out = std::move(texts);
  return true;
}

bool TableReader::Flag(const char *key, bool &out) {
  const toml::node *n = Get(key);
  if (!n) return true;
  if (!n->is_boolean()) return WrongType(key, "true or false");
  out = *n->value<bool>();
  return true;
}

bool TableReader::Number(const char *key, int64_t &out, int64_t min, int64_t max) {
  const toml::node *n = Get(key);
  if (!n) return true;
  if (!n->is_integer()) return WrongType(key, "a number");
  int64_t v = *n->value<int64_t>();
  if (v < min || v > max) {
    if (min == 0 && max == 0xFFFFFFFFLL) return Fail(key, std::to_string(v) + " does not fit 32 bits");
    return Fail(key, std::to_string(v) + " is not from " + std::to_string(min) + " to " + std::to_string(max));
  }
  out = v;
  return true;
}

bool TableReader::Table(const char *key, const toml::table *&out) {
  const toml::node *n = Get(key);
  out = nullptr;
  if (!n) return true;
  out = n->as_table();
  return out ? true : WrongType(key, (std::string("a table ([") + key + "])").c_str());
}

bool TableReader::Tables(const char *key, const toml::array *&out) {
  const toml::node *n = Get(key);
  out = nullptr;
  if (!n) return true;
  const toml::array *list = n->as_array();
  if (!list) return WrongType(key, (std::string("[[") + key + "]] tables").c_str());
  for (const toml::node &item : *list)
    if (!item.is_table()) return WrongType(key, (std::string("[[") + key + "]] tables").c_str());
  out = list;
  return true;
}

bool TableReader::Done() {
  bool done = true;
  for (auto &&[k, v] : table_) {
    std::string name(k.str());
    if (std::find(known_.begin(), known_.end(), name) != known_.end()) continue;
    std::string line =
        file_ + ":" + std::to_string(k.source().begin.line ? k.source().begin.line : v.source().begin.line) + ": ";
    if (!where_.empty()) line += where_ + ": ";
    AddMistake(error_, line + prefix_ + name + " is not a known key");
    done = false;
  }
  return done;
}

// ---- accounts ----------------------------------------------------------------------------------

bool AccountSid(const std::string &name, std::vector<BYTE> &sid) {
  static const struct {
    const char *name;
    BYTE authority;
    std::initializer_list<DWORD> rids;
  } accounts[] = {
      {"SYSTEM", 5, {18}},
      {"Administrators", 5, {32, 544}},
      {"Users", 5, {32, 545}},
      {"Everyone", 1, {0}},
      {"Authenticated Users", 5, {11}},
      {"TrustedInstaller", 5, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}},
  };
  for (const auto &a : accounts)
    if (EqualNoCase(FromUtf8(name), FromUtf8(a.name))) {
      sid = MakeSid(a.authority, a.rids);
      return true;
    }
  // "S-1-<authority>-<sub-authority>...": up to 15 sub-authorities.
  if (name.size() < 5 || (name.compare(0, 4, "S-1-") != 0 && name.compare(0, 4, "s-1-") != 0)) return false;
  std::vector<uint64_t> parts;
  size_t at = 4;
  while (at <= name.size()) {
    size_t end = name.find('-', at);
    if (end == std::string::npos) end = name.size();
    if (end == at || end - at > 10) return false;
    uint64_t v = 0;
    for (size_t i = at; i < end; ++i) {
      if (name[i] < '0' || name[i] > '9') return false;
      v = v * 10 + uint64_t(name[i] - '0');
    }
    if (v > 0xFFFFFFFFu) return false;
    parts.push_back(v);
    at = end + 1;
  }
  if (parts.size() < 2 || parts.size() > 16 || parts[0] > 255) return false;
  sid.assign(8 + 4 * (parts.size() - 1), 0);
  sid[0] = 1;
  sid[1] = BYTE(parts.size() - 1);
  sid[7] = BYTE(parts[0]);
  for (size_t i = 1; i < parts.size(); ++i)
    for (int b = 0; b < 4; ++b) sid[8 + 4 * (i - 1) + b] = BYTE(parts[i] >> (8 * b));
  return true;
}

std::string AccountName(const std::vector<BYTE> &sid) {
  for (const char *name :
       {"SYSTEM", "Administrators", "Users", "Everyone", "Authenticated Users", "TrustedInstaller"}) {
    std::vector<BYTE> known;
    if (AccountSid(name, known) && known == sid) return name;
  }
  if (sid.size() < 8) return "";
  std::string text = "S-1-" + std::to_string(sid[7]);
  for (size_t i = 8; i + 4 <= sid.size(); i += 4)
    text += "-" + std::to_string(uint32_t(sid[i]) | (uint32_t(sid[i + 1]) << 8) | (uint32_t(sid[i + 2]) << 16) |
                                 (uint32_t(sid[i + 3]) << 24));
  return text;
}

namespace {
const char *const kAccountNames =
    "\"SYSTEM\", \"Administrators\", \"Users\", \"Everyone\", "
    "\"Authenticated Users\" or \"TrustedInstaller\"";

}  // namespace

std::string EntryName(const char *table, size_t i) {
  return std::string("[[") + table + "]] entry " + std::to_string(i + 1);
}

namespace {

// An access text: "full", "read", "write", "read_write" (for files also "modify"), or an
// access mask.
bool ReadAccess(TableReader &r, const toml::table &t, ACCESS_MASK &mask, bool forFiles) {
  const toml::node *n = t.get("access");
  if (n && n->is_integer()) {
    DWORD v = 0;
    if (!r.Dword("access", v)) return false;
    mask = v;
    return true;
  }
  if (n && !n->is_string()) return r.WrongType("access", "a text or an access mask");
  if (!n) return r.Fail("access", "is missing");
  if (forFiles) {
    constexpr ACCESS_MASK kRead = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    return r.Choice<ACCESS_MASK>("access",
                                 {{"full", FILE_ALL_ACCESS},
                                  {"modify", 0x001301BF},
                                  {"read", kRead},
                                  {"write", FILE_GENERIC_WRITE},
                                  {"read_write", kRead | FILE_GENERIC_WRITE}},
                                 mask);
  }
  return r.Choice<ACCESS_MASK>(
      "access",
      {{"full", KEY_ALL_ACCESS}, {"read", KEY_READ}, {"write", KEY_WRITE}, {"read_write", KEY_READ | KEY_WRITE}}, mask);
}

}  // namespace

bool ReadAccessList(TableReader &r, const toml::table &t, const std::string &file, const std::string &where,
                    bool forFiles, std::vector<BYTE> &dacl, std::string &error) {
  struct Ace {
    bool allow;
    ACCESS_MASK mask;
    std::vector<BYTE> sid;
  };
  std::vector<Ace> aces;
  for (const char *list : {"deny", "allow"}) {
    const toml::node *n = r.Has(list) ? t.get(list) : nullptr;
    r.Skip(list);
    if (!n) continue;
    const toml::array *items = n->as_array();
    if (!items) return r.WrongType(list, "a list of { who = \"...\", access = \"...\" }");
    for (size_t j = 0; j < items->size(); ++j) {
      const toml::table *item = (*items)[j].as_table();
      if (!item) return r.WrongType(list, "a list of { who = \"...\", access = \"...\" }");
      TableReader a(*item, file, where + " " + list + " " + std::to_string(j + 1), error);
      std::string who;
      Ace ace{std::string(list) == "allow", 0, {}};
      if (!a.Text("who", who)) return false;
      if (!AccountSid(who, ace.sid)) return a.Fail("who", "\"" + who + "\" is not " + kAccountNames);
      if (!ReadAccess(a, *item, ace.mask, forFiles) || !a.Done()) return false;
      aces.push_back(std::move(ace));
    }
  }
  dacl.assign(8, 0);
  dacl[0] = ACL_REVISION;
  for (const Ace &a : aces) {
    if (forFiles)
      AddAceEx(dacl, a.allow, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, a.mask, a.sid);
    else
      AddAce(dacl, a.allow, a.mask, a.sid);
  }
  return true;
}

bool ReadAccount(TableReader &r, const char *key, std::vector<BYTE> &sid) {
  std::string name = "Administrators";
  if (!r.Text(key, name)) return false;
  if (!AccountSid(name, sid)) return r.Fail(key, "\"" + name + "\" is not " + kAccountNames);
  return true;
}

bool WriteFileAtomically(const std::filesystem::path &file, const std::string &content, std::string &error) {
  std::filesystem::path tmp = file;
  tmp += ".new";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
      error = "cannot write " + tmp.string();
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, file, ec);
  if (ec) {
    error = "cannot replace " + file.string() + ": " + ec.message();
    return false;
  }
  return true;
}

namespace {
const char kSaveMarker[] = ".winsim-saving";

// Writes and flushes a file (fsync: the bytes are on the disk before anything names them).
bool WriteFlushed(const std::filesystem::path &file, const std::string &content, std::string &error) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  for (size_t done = 0; ok && done < content.size();) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += size_t(n);
  }
  ok = ok && ::fsync(fd) == 0;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  if (!ok) error = "cannot write " + file.string() + ": " + std::strerror(errno);
  return ok;
}

// A step of a save, for the test that ends the process after each one (WINSIM_SAVE_STOP_AFTER).
void SaveStep() {
  static int steps = 0;
  static const int stopAfter = [] {
    const char *text = std::getenv("WINSIM_SAVE_STOP_AFTER");
    return text ? std::atoi(text) : 0;
  }();
  if (stopAfter > 0 && ++steps == stopAfter) _exit(138);
}
}  // namespace

bool DirectorySave::Commit(std::string &error) {
  std::string marker;
  for (const auto &[name, content] : files_) {
    std::filesystem::path fresh = root_ / (name + ".new");
    if (!WriteFlushed(fresh, content, error)) return false;
    SaveStep();
    marker += name + "\n";
  }
  if (!WriteFlushed(root_ / kSaveMarker, marker, error)) return false;
  SaveStep();
  for (const auto &[name, content] : files_) {
    std::error_code ec;
    std::filesystem::rename(root_ / (name + ".new"), root_ / name, ec);
    if (ec) {
      error = "cannot replace " + (root_ / name).string() + ": " + ec.message();
      return false;
    }
    SaveStep();
  }
  std::error_code ec;
  std::filesystem::remove(root_ / kSaveMarker, ec);
  SaveStep();
  return true;
}

void RecoverInterruptedSave(const std::filesystem::path &root) {
  std::error_code ec;
  std::string marker;
  if (ReadFileBytes(root / kSaveMarker, marker)) {
    // The new files were all written before the marker: finish the renames it lists.
    size_t start = 0;
    for (size_t end; (end = marker.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string name = marker.substr(start, end - start);
      if (name.empty() || name.find('/') != std::string::npos) continue;
      if (std::filesystem::exists(root / (name + ".new"), ec))
        std::filesystem::rename(root / (name + ".new"), root / name, ec);
    }
    std::filesystem::remove(root / kSaveMarker, ec);
    return;
  }
  // No marker: a save that did not get so far; its new files are not the machine's.
  for (const char *name : {"machine.toml.new", "registry.reg.new"}) std::filesystem::remove(root / name, ec);
}

}  // namespace winsim
