#include "machine/machinefile.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <sstream>

#include "base/calendar.h"
#include "machine/machine.h"
#include "base/names.h"
#include "machine/registry.h"

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

bool TableReader::Text(const char *key, std::string &out) {
  const toml::node *n = Get(key);
  if (!n) return true;
  if (!n->is_string()) return WrongType(key, "a text");
  out = *n->value<std::string>();
  return true;
}

bool TableReader::Text(const char *key, std::wstring &out) {
  std::string text;
  if (!Text(key, text)) return false;
  if (Has(key)) out = FromUtf8(text);
  return true;
}

bool TableReader::Texts(const char *key, std::vector<std::wstring> &out, bool dropEmpty) {
  const toml::node *n = Get(key);
  if (!n) return true;
  const toml::array *list = n->as_array();
  if (!list) return WrongType(key, "a list of texts");
  std::vector<std::wstring> texts;
  for (const toml::node &item : *list) {
    if (!item.is_string()) return WrongType(key, "a list of texts");
    std::wstring text = FromUtf8(*item.value<std::string>());
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

toml::array FileSecurityEntries(const std::vector<FileSecuritySpec> &table) {
  toml::array out;
  for (const FileSecuritySpec &e : table) {
    toml::table t;
    t.insert("path", ToUtf8(e.path));
    if (!e.linkTarget.empty()) {
      t.insert("link_target", ToUtf8(e.linkTarget));
    } else {
      t.insert("owner", AccountName(e.owner.empty() ? MakeSid(5, {32, 544}) : e.owner));
      if (e.protectedDacl) t.insert("protected", true);
      if (e.hasDacl) {
        toml::array allow, deny;
        const std::vector<BYTE> &a = e.dacl;
        size_t count = a.size() >= 8 ? size_t(a[4] | (a[5] << 8)) : 0, at = 8;
        for (size_t i = 0; i < count && at + 8 <= a.size(); ++i) {
          size_t size = size_t(a[at + 2] | (a[at + 3] << 8));
          if (size < 16 || at + size > a.size()) break;
          DWORD mask = DWORD(a[at + 4] | (a[at + 5] << 8) | (a[at + 6] << 16) | (DWORD(a[at + 7]) << 24));
          std::vector<BYTE> sid(a.begin() + long(at + 8), a.begin() + long(at + size));
          toml::table ace;
          ace.insert("who", AccountName(sid));
          ace.insert("access", int64_t(mask));
          (a[at] == ACCESS_ALLOWED_ACE_TYPE ? allow : deny).push_back(std::move(ace));
          at += size;
        }
        if (!deny.empty()) t.insert("deny", std::move(deny));
        t.insert("allow", std::move(allow));
      }
    }
    out.push_back(std::move(t));
  }
  return out;
}

namespace {

const char *const kAccountNames =
    "\"SYSTEM\", \"Administrators\", \"Users\", \"Everyone\", "
    "\"Authenticated Users\" or \"TrustedInstaller\"";

std::string Entry(const char *table, size_t i) {
  return std::string("[[") + table + "]] entry " + std::to_string(i + 1);
}

bool ReadOs(const toml::table &t, const std::string &file, OsSpec &os, std::string &error) {
  TableReader r(t, file, "[os]", error);
  if (!r.Dword("major", os.major) || !r.Dword("minor", os.minor) || !r.Dword("build", os.build) ||
      !r.Dword("platform_id", os.platformId) || !r.Word("sp_major", os.spMajor) || !r.Word("sp_minor", os.spMinor) ||
      !r.Word("suite_mask", os.suiteMask) || !r.Dword("product_info", os.productInfo) ||
      !r.Flag("server_r2", os.serverR2) || !r.Text("csd_version", os.csdVersion) ||
      !r.Choice<BYTE>("product_type", {{"workstation", 1}, {"domain_controller", 2}, {"server", 3}}, os.productType) ||
      !r.Texts("missing_dlls", os.missingDlls) || !r.Texts("missing_exports", os.missingExports))
    return false;
  for (const std::wstring &e : os.missingExports)
    if (e.find(L'!') == std::wstring::npos || e.front() == L'!' || e.back() == L'!')
      return r.Fail("missing_exports", "\"" + ToUtf8(e) + "\" is not dll!function");
  // Any text: the registry value is what the machine states, however odd.
  if (r.Has("current_version")) {
    std::wstring v;
    if (!r.Text("current_version", v)) return false;
    os.currentVersion = v;
  }
  if (const toml::node *n = t.get("architecture"); n && n->is_integer()) {
    WORD a = 0;
    if (!r.Word("architecture", a)) return false;
    os.nativeArchitecture = os.processArchitecture = a;
  } else {
    enum class Arch { Intel, Ia64, Amd64, Ia32OnWin64 } arch = Arch::Amd64;
    if (n && !n->is_string()) return r.WrongType("architecture", "a text or a number");
    if (!r.Choice<Arch>("architecture",
                        {{"intel", Arch::Intel},
                         {"ia64", Arch::Ia64},
                         {"amd64", Arch::Amd64},
                         {"ia32_on_win64", Arch::Ia32OnWin64}},
                        arch))
      return false;
    switch (arch) {
      case Arch::Intel: os.nativeArchitecture = os.processArchitecture = 0; break;
      case Arch::Ia64: os.nativeArchitecture = os.processArchitecture = 6; break;
      case Arch::Amd64: os.nativeArchitecture = os.processArchitecture = 9; break;
      case Arch::Ia32OnWin64:
        os.nativeArchitecture = 9;
        os.processArchitecture = 0;
        break;
    }
  }
  return r.Done();
}

bool ReadMachineTable(const toml::table &t, const std::string &file, Machine &m, std::string &error) {
  TableReader r(t, file, "[machine]", error);
  std::string clock;
  int64_t bias = m.timezoneBiasMinutes;
  const toml::table *disks = nullptr;
  if (!r.Text("computer_name", m.computerName) || !r.Text("user_locale", m.userLocale) ||
      !r.Number("timezone_bias_minutes", bias, -24 * 60, 24 * 60) || !r.Table("free_disk", disks) ||
      !r.Number("service_lock_held_ms", m.serviceLockHeldMs, 0, INT64_MAX))
    return false;
  m.systemLocale = m.userLocale;
  DWORD codePage = m.ansiCodePage;
  if (!r.Text("system_locale", m.systemLocale) || !r.Dword("ansi_code_page", codePage)) return false;
  m.ansiCodePage = codePage;
  m.timezoneBiasMinutes = int(bias);
  if (m.computerName.empty() || m.computerName.size() > 15)
    return r.Fail("computer_name", "must have 1 to 15 characters");
  if (const toml::node *n = t.get("clock"); n && !n->is_string())
    return r.WrongType("clock", "a text \"YYYY-MM-DDTHH:MM:SS\"");
  if (!r.Text("clock", clock)) return false;
  if (r.Has("clock")) {
    int64_t local;
    if (!ParseIsoDateTime(clock, local)) return r.Fail("clock", "\"" + clock + "\" is not a time YYYY-MM-DDTHH:MM:SS");
    m.fixedClock = true;
    m.clockStartUtc = local + int64_t(m.timezoneBiasMinutes) * 60 * kTicksPerSecond;
  }
  if (disks) {
    TableReader d(*disks, file, "[machine] free_disk", error);
    for (auto &&[k, v] : *disks) {
      std::string drive(k.str());
      int64_t bytes = 0;
      bool letter = drive.size() == 2 && drive[1] == ':' && std::isalpha(static_cast<unsigned char>(drive[0]));
      if (!letter) return d.Fail(drive.c_str(), "is not a drive such as \"C:\"");
      if (!d.Number(drive.c_str(), bytes, 0, INT64_MAX)) return false;
      m.freeDisk[Upcased(FromUtf8(drive))] = uint64_t(bytes);
    }
  }
  return r.Done();
}

bool ReadFault(const toml::table &t, const std::string &file, size_t i, Fault &f, std::string &error) {
  TableReader r(t, file, Entry("faults", i), error);
  int64_t error64 = ERROR_GEN_FAILURE;
  if (!r.Text("function", f.function) || !r.Number("nth", f.nth, 0, INT64_MAX) ||
      !r.Text("when_arg_contains", f.whenArgContains) || !r.Number("error", error64, 0, 0xFFFFFFFFLL))
    return false;
  f.error = uint32_t(error64);
  f.errorGiven = t.contains("error");
  if (f.function.empty()) return r.Fail("function", "is missing: a [[faults]] entry names the function it fails");
  return r.Done();
}

bool ReadLockedFile(const toml::table &t, const std::string &file, size_t i, LockedFile &lf, std::string &error) {
  TableReader r(t, file, Entry("locked_files", i), error);
  if (!r.Text("path", lf.path) || !r.Dword("error", lf.error) || !r.Flag("rename", lf.rename)) return false;
  if (lf.path.empty()) return r.Fail("path", "is missing");
  if (lf.error == ERROR_SUCCESS) return r.Fail("error", "must not be 0");
  return r.Done();
}

bool ReadProgram(const toml::table &t, const std::string &file, size_t i, ProgramSpec &p, std::string &error) {
  TableReader r(t, file, Entry("programs", i), error);
  const toml::table *creates = nullptr;
  if (!r.Text("name", p.name) || !r.Dword("exit_code", p.exitCode) || !r.Number("runs_ms", p.runsMs, 0, INT64_MAX) ||
      !r.Flag("never_exits", p.neverExits) || !r.Table("creates_service", creates))
    return false;
  if (p.name.empty()) return r.Fail("name", "is missing");
  if (creates) {
    TableReader c(*creates, file, Entry("programs", i) + " creates_service", error);
    CreatesService s;
    if (!c.Text("when_args", s.whenArgs) || !c.Text("name", s.name) || !c.Text("display_name", s.displayName) ||
        !c.Text("binary", s.binary) || !c.Dword("type", s.type) || !c.Dword("start_type", s.startType))
      return false;
    if (s.name.empty()) return c.Fail("name", "is missing");
    if (s.startType > 4) return c.Fail("start_type", std::to_string(s.startType) + " is not from 0 to 4");
    if (!c.Done()) return false;
    p.createsService = std::move(s);
  }
  p.raw = t;
  return r.Done();
}

bool ReadService(const toml::table &t, const std::string &file, size_t i, ServiceSpec &s, std::string &error) {
  TableReader r(t, file, Entry("services", i), error);
  using State = ServiceSpec::State;
  using OnStart = ServiceSpec::OnStart;
  if (!r.Text("name", s.name) ||
      !r.Choice<State>(
          "state", {{"running", State::Running}, {"stopped", State::Stopped}, {"start_pending", State::StartPending}},
          s.state) ||
      !r.Choice<OnStart>("on_start",
                         {{"runs", OnStart::Runs},
                          {"pending", OnStart::Pending},
                          {"fails", OnStart::Fails},
                          {"stops", OnStart::Stops}},
                         s.onStart) ||
      !r.Dword("start_error", s.startError))
    return false;
  if (s.name.empty()) return r.Fail("name", "is missing");
  if (r.Has("start_type")) {
    DWORD start = 0;
    if (!r.Dword("start_type", start)) return false;
    if (start > SERVICE_DISABLED) return r.Fail("start_type", std::to_string(start) + " is not from 0 to 4");
    s.startType = start;
  }
  if (r.Has("marked_for_delete")) {
    bool marked = false;
    if (!r.Flag("marked_for_delete", marked)) return false;
    s.markedForDelete = marked;
  }
  return r.Done();
}

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

// The deny and allow lists of a [[key_security]] or [[file_security]] entry, deny entries
// first, into an ACL image (file entries are passed on to what is created inside).
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

bool ReadFileSecurity(const toml::table &t, const std::string &file, size_t i, FileSecuritySpec &f,
                      std::string &error) {
  std::string where = Entry("file_security", i);
  TableReader r(t, file, where, error);
  std::string owner = "Administrators";
  if (!r.Text("path", f.path) || !r.Text("owner", owner) || !r.Flag("protected", f.protectedDacl) ||
      !r.Text("link_target", f.linkTarget))
    return false;
  if (f.path.empty()) return r.Fail("path", "is missing");
  if (f.path.size() < 4 || f.path[1] != L':' || f.path[2] != L'\\')
    return r.Fail("path", "must be a full path below a drive root (\"C:\\\\...\")");
  if (!AccountSid(owner, f.owner)) return r.Fail("owner", "\"" + owner + "\" is not " + kAccountNames);
  if (r.Has("link_target")) {
    if (f.linkTarget.size() < 3 || f.linkTarget[1] != L':' || f.linkTarget[2] != L'\\')
      return r.Fail("link_target", "must be a full path (\"C:\\\\...\")");
    for (const char *other : {"owner", "protected", "allow", "deny"})
      if (r.Has(other)) return r.Fail(other, "does not go with link_target: a junction is only its target");
  }
  f.hasDacl = r.Has("allow") || r.Has("deny");
  if (!ReadAccessList(r, t, file, where, true, f.dacl, error)) return false;
  if (!f.hasDacl) f.dacl.clear();
  if (f.protectedDacl && !f.hasDacl) return r.Fail("protected", "needs the entry's own allow list");
  return r.Done();
}

bool ReadKeySecurity(const toml::table &t, const std::string &file, size_t i, KeySecuritySpec &k, std::string &error) {
  std::string where = Entry("key_security", i);
  TableReader r(t, file, where, error);
  std::string owner = "Administrators";
  if (!r.Text("path", k.path) || !r.Text("owner", owner)) return false;
  if (k.path.empty()) return r.Fail("path", "is missing");
  if (!AccountSid(owner, k.owner)) return r.Fail("owner", "\"" + owner + "\" is not " + kAccountNames);
  if (!ReadAccessList(r, t, file, where, false, k.dacl, error)) return false;
  if (!r.Has("allow") && !r.Has("deny")) return r.Fail("allow", "is missing: the key's access list");
  return r.Done();
}

}  // namespace

// Reads each entry of an array of tables, keeping those that read without a mistake.
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

bool ReadMachineFile(const toml::table &config, const std::string &file, Machine &m, std::string &error) {
  TableReader top(config, file, "", error);
  // A machine that starts from another one is merged into one machine by CopyMachine.
  if (top.Has("base"))
    return top.Fail("base", "a machine with a base opens as a copy (kvnhost --machine, winsim::CopyMachine)");
  const toml::table *os = nullptr, *machine = nullptr, *env = nullptr, *wmi = nullptr, *attributes = nullptr;
  const toml::array *faults = nullptr, *locked = nullptr, *programs = nullptr, *services = nullptr,
                    *keySecurity = nullptr, *fileSecurity = nullptr, *devices = nullptr;
  // Every table and entry is read, so that one load tells all the mistakes (each a line); a
  // mistake stops only the rest of its own table or entry.
  // [[devices]] entries are read by devices.cpp, once the registry they are mirrored into is loaded.
  bool ok = top.Tables("devices", devices) & top.Table("os", os) & top.Table("machine", machine) &
            top.Table("env", env) & top.Table("wmi", wmi) & top.Table("file_attributes", attributes) &
            top.Tables("faults", faults) & top.Tables("locked_files", locked) & top.Tables("programs", programs) &
            top.Tables("services", services) & top.Tables("key_security", keySecurity) &
            top.Tables("file_security", fileSecurity) & top.Texts("protected_keys", m.protectedKeys) & top.Done();
  m.hasProtectedKeys = top.Has("protected_keys");
  for (const std::wstring &k : m.protectedKeys)
    if (k.empty()) ok = top.Fail("protected_keys", "holds an empty key path");

  if (os && !ReadOs(*os, file, m.os, error)) ok = false;
  if (machine && !ReadMachineTable(*machine, file, m, error)) ok = false;
  m.environment[L"COMPUTERNAME"] = {L"COMPUTERNAME", m.computerName};
  if (env) {
    TableReader r(*env, file, "[env]", error);
    for (auto &&[k, v] : *env) {
      std::string name(k.str());
      std::wstring value;
      if (!r.Text(name.c_str(), value)) {
        ok = false;
        continue;
      }
      std::wstring wide = FromUtf8(name);
      m.environment[Upcased(wide)] = {wide, value};
    }
  }
  if (wmi) {
    TableReader r(*wmi, file, "[wmi]", error);
    if (!r.Flag("available", m.wmi.available) || !r.Text("model", m.wmi.model) || !r.Done()) ok = false;
  }
  if (attributes) {
    TableReader r(*attributes, file, "[file_attributes]", error);
    for (auto &&[k, v] : *attributes) {
      std::string path(k.str());
      DWORD value = 0;
      if (!r.Dword(path.c_str(), value)) {
        ok = false;
        continue;
      }
      m.fileAttributes[FromUtf8(path)] = value;
    }
  }
  ok &= ReadEntries(faults, m.faults,
                    [&](const toml::table &t, size_t i, Fault &f) { return ReadFault(t, file, i, f, error); });
  ok &= ReadEntries(locked, m.lockedFiles, [&](const toml::table &t, size_t i, LockedFile &f) {
    return ReadLockedFile(t, file, i, f, error);
  });
  ok &= ReadEntries(programs, m.programs,
                    [&](const toml::table &t, size_t i, ProgramSpec &p) { return ReadProgram(t, file, i, p, error); });
  ok &= ReadEntries(services, m.services,
                    [&](const toml::table &t, size_t i, ServiceSpec &s) { return ReadService(t, file, i, s, error); });
  ok &= ReadEntries(keySecurity, m.keySecurity, [&](const toml::table &t, size_t i, KeySecuritySpec &k) {
    return ReadKeySecurity(t, file, i, k, error);
  });
  ok &= ReadEntries(fileSecurity, m.fileSecurity, [&](const toml::table &t, size_t i, FileSecuritySpec &f) {
    if (!ReadFileSecurity(t, file, i, f, error)) return false;
    for (const FileSecuritySpec &other : m.fileSecurity)
      if (EqualNoCase(other.path, f.path))
        return TableReader(t, file, Entry("file_security", i), error)
            .Fail("path", "\"" + ToUtf8(f.path) + "\" has an entry already");
    return true;
  });
  return ok;
}

}  // namespace winsim
