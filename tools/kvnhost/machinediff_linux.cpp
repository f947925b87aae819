// kvnhost diff on Linux: what the runs changed in the --state machine compared with the
// machine it was made from, as a run starts from it, grouped by kind: devices, services,
// files (a shell link with its lines), registry (each key with its values before and after,
// decoded by type), the file operations waiting for the restart, and the prompts the runs met.
// Each change is also an item for --json, and the registry's changes can be written as a .reg
// file that regedit applies.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <toml++/toml.h>

#include <winsim.h>

#include "hostfiles.h"
#include "hostmachine.h"
#include "pending.h"
#include "regtext.h"
#include "utf8text.h"

namespace fs = std::filesystem;

namespace {
using hostfiles::ReadAll;

std::string Upper(std::string text) {
  for (char &c : text) c = char(std::toupper((unsigned char)c));
  return text;
}

using Text = std::optional<std::string>;

DiffItem Item(const char *kind, std::string key, std::string value, const char *change, Text before, Text after,
              std::string type = {}) {
  DiffItem item;
  item.kind = kind;
  item.key = std::move(key);
  item.value = std::move(value);
  item.type = std::move(type);
  item.change = change;
  item.before = std::move(before);
  item.after = std::move(after);
  return item;
}

// ---- files -------------------------------------------------------------------------------

// Relative paths of the regular files below a folder.
std::set<std::string> FilesBelow(const fs::path &root) {
  std::set<std::string> files;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return files;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec)) files.insert(fs::relative(it->path(), root, ec).generic_string());
  }
  return files;
}

std::string WindowsPathOf(const std::string &relative) {
  // "drive_c/Windows/x.sys" -> "C:\Windows\x.sys"
  std::string out;
  if (relative.rfind("drive_", 0) == 0 && relative.size() > 6) {
    out = std::string(1, char(std::toupper((unsigned char)relative[6]))) + ":";
    std::string rest = relative.substr(7);
    std::replace(rest.begin(), rest.end(), '/', '\\');
    out += rest.empty() ? "\\" : rest;
  } else {
    out = relative;
  }
  return out;
}

// A shell link file as winsim writes it is a short text: its lines, indented, show what the
// link points at. Other files (a binary link from elsewhere too) show nothing.
void ShowLinkFile(const std::string &relative, const fs::path &file, std::ostream &out) {
  if (relative.size() < 4 || Upper(relative.substr(relative.size() - 4)) != ".LNK") return;
  std::string text = ReadAll(file);
  if (text.size() > 8192 || text.rfind("[winsim shell link]", 0) != 0) return;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out << "               " << line << "\n";
  }
}

void DiffFiles(const fs::path &before, const fs::path &after, std::ostream &out, std::vector<DiffItem> &items) {
  std::set<std::string> was = FilesBelow(before), is = FilesBelow(after);
  auto note = [&](const char *change, const std::string &relative) {
    out << "file " << change << ":" << std::string(9 - std::char_traits<char>::length(change), ' ')
        << WindowsPathOf(relative) << "\n";
    DiffItem item = Item("file", "", "", change, std::nullopt, std::nullopt);
    item.path = WindowsPathOf(relative);
    items.push_back(item);
  };
  for (auto &f : is) {
    if (f.rfind("drive_", 0) != 0) continue;
    if (!was.count(f))
      note("added", f);
    else if (ReadAll(before / f) != ReadAll(after / f))
      note("changed", f);
    else
      continue;
    ShowLinkFile(f, after / f, out);
  }
  for (auto &f : was)
    if (f.rfind("drive_", 0) == 0 && !is.count(f)) note("removed", f);
}

// ---- the registry -------------------------------------------------------------------------

struct Value {
  std::wstring name;  // as written
  unsigned long type = 0;
  std::vector<unsigned char> data;
};
struct Key {
  std::string path;                     // as written
  std::map<std::string, Value> values;  // by upcased name
};
using Registry = std::map<std::string, Key>;  // by upcased path

bool RegistryOf(const fs::path &dir, Registry &registry, std::string &error) {
  std::vector<winsim::RegistryFileValue> values;
  if (!winsim::ReadRegistryFile(dir / "registry.reg", values, error)) return false;
  for (auto &v : values) {
    Key &key = registry[Upper(v.key)];
    key.path = v.key;
    if (!v.keyOnly) key.values[Upper(toolcommon::Utf8(v.name))] = {v.name, v.type, std::move(v.data)};
  }
  return true;
}

const char *TypeName(unsigned long type) {
  switch (type) {
    case 0: return "REG_NONE";
    case 1: return "REG_SZ";
    case 2: return "REG_EXPAND_SZ";
    case 3: return "REG_BINARY";
    case 4: return "REG_DWORD";
    case 7: return "REG_MULTI_SZ";
    case 11: return "REG_QWORD";
    default: return "REG_?";
  }
}

std::string Quoted(const std::wstring &text) {
  std::string out = "\"";
  for (char c : toolcommon::Utf8(text)) out += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
  return out + "\"";
}

// A value's data as a person reads it: strings as text (an expandable one marked, a
// multi-string as a list), numbers in hex and decimal, everything else in hex.
std::string ValueText(const Value &v) {
  char number[64];
  if (v.type == 4 && v.data.size() == 4) {
    uint32_t n = v.data[0] | v.data[1] << 8 | v.data[2] << 16 | uint32_t(v.data[3]) << 24;
    std::snprintf(number, sizeof number, "0x%08x (%u)", n, n);
    return number;
  }
  if (v.type == 11 && v.data.size() == 8) {
    uint64_t n = 0;
    for (int i = 7; i >= 0; --i) n = n << 8 | v.data[size_t(i)];
    std::snprintf(number, sizeof number, "0x%016llx (%llu)", (unsigned long long)n, (unsigned long long)n);
    return number;
  }
  if (v.type == 1 || v.type == 2 || v.type == 7) {
    std::wstring text = toolcommon::TextOfUtf16Le(v.data.data(), v.data.size());
    if (v.type != 7) {
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      return (v.type == 2 ? "expand:" : "") + Quoted(text);
    }
    std::string list = "[";
    size_t start = 0;
    while (start < text.size() && text[start] != L'\0') {
      size_t end = text.find(L'\0', start);
      if (end == std::wstring::npos) end = text.size();
      list += (list.size() > 1 ? ", " : "") + Quoted(text.substr(start, end - start));
      start = end + 1;
    }
    return "multi:" + list + "]";
  }
  std::string hex = v.type == 3 ? "hex:" : std::string("hex(") + std::to_string(v.type) + "):";
  for (size_t i = 0; i < v.data.size() && i < 64; ++i) {
    std::snprintf(number, sizeof number, "%s%02x", i ? "," : "", unsigned(v.data[i]));
    hex += number;
  }
  if (v.data.size() > 64) hex += ",... (" + std::to_string(v.data.size()) + " bytes)";
  return hex;
}

// The registry's changes under their keys, and the same as regedit would apply them.
void DiffRegistry(const Registry &was, const Registry &is, std::ostream &out, std::vector<DiffItem> &items,
                  std::wstring &reg) {
  auto regName = [](const std::wstring &name) { return name.empty() ? std::wstring(L"@") : L"\"" + name + L"\""; };
  auto shownName = [](const std::wstring &name) { return name.empty() ? std::string("@") : Quoted(name); };
  for (const auto &[upper, key] : is) {
    auto old = was.find(upper);
    const std::wstring wide = winsim::FromUtf8(key.path);
    if (old == was.end()) {
      out << "registry added:   [" << key.path << "]\n";
      items.push_back(Item("registry", key.path, "", "added", std::nullopt, std::nullopt));
      reg += L"[" + wide + L"]\r\n";
      for (const auto &[n, v] : key.values) {
        out << "    " << shownName(v.name) << ": " << ValueText(v) << "\n";
        items.push_back(Item("registry", key.path, toolcommon::Utf8(v.name), "added", std::nullopt, ValueText(v),
                             TypeName(v.type)));
        toolcommon::AppendRegValue(reg, v.name, uint32_t(v.type), v.data);
      }
      reg += L"\r\n";
      continue;
    }
    std::ostringstream lines;
    std::wstring keyReg;
    for (const auto &[n, v] : key.values) {
      auto prior = old->second.values.find(n);
      if (prior != old->second.values.end() && prior->second.type == v.type && prior->second.data == v.data) continue;
      std::string before = prior == old->second.values.end() ? "" : ValueText(prior->second);
      lines << "    " << shownName(v.name) << ": " << (before.empty() ? "(none)" : before) << " -> " << ValueText(v)
            << "\n";
      items.push_back(Item("registry", key.path, toolcommon::Utf8(v.name), before.empty() ? "added" : "changed",
                           before.empty() ? Text() : Text(before), ValueText(v), TypeName(v.type)));
      toolcommon::AppendRegValue(keyReg, v.name, uint32_t(v.type), v.data);
    }
    for (const auto &[n, v] : old->second.values) {
      if (key.values.count(n)) continue;
      lines << "    " << shownName(v.name) << ": " << ValueText(v) << " -> (none)\n";
      items.push_back(Item("registry", key.path, toolcommon::Utf8(v.name), "removed", ValueText(v), std::nullopt,
                           TypeName(v.type)));
      keyReg += regName(v.name) + L"=-\r\n";
    }
    if (lines.str().empty()) continue;
    out << "registry changed: [" << key.path << "]\n" << lines.str();
    reg += L"[" + wide + L"]\r\n" + keyReg + L"\r\n";
  }
  for (const auto &[upper, key] : was) {
    if (is.count(upper)) continue;
    out << "registry removed: [" << key.path << "]\n";
    items.push_back(Item("registry", key.path, "", "removed", std::nullopt, std::nullopt));
    reg += L"[-" + winsim::FromUtf8(key.path) + L"]\r\n\r\n";
  }
}

// The file operations waiting for the restart that the runs added (or that went), in the
// words reboot uses.
void DiffPendingOperations(const Registry &was, const Registry &is, std::ostream &out, std::vector<DiffItem> &items) {
  auto operations = [](const Registry &registry) {
    std::vector<std::string> list;
    auto key = registry.find("HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\SESSION MANAGER");
    if (key == registry.end()) return list;
    auto value = key->second.values.find("PENDINGFILERENAMEOPERATIONS");
    if (value == key->second.values.end() || value->second.type != 7) return list;
    std::wstring text = toolcommon::TextOfUtf16Le(value->second.data.data(), value->second.data.size());
    std::vector<std::wstring> strings;
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find(L'\0', start);
      if (end == std::wstring::npos) end = text.size();
      strings.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    for (const PendingItem &item : PendingFileOperations(strings)) list.push_back(item.kind + ": " + item.what);
    return list;
  };
  std::vector<std::string> before = operations(was), after = operations(is);
  for (const std::string &op : after)
    if (std::find(before.begin(), before.end(), op) == before.end()) {
      out << "pending restart:  " << op << "\n";
      items.push_back(Item("pending restart", "", "", "added", std::nullopt, op));
    }
  for (const std::string &op : before)
    if (std::find(after.begin(), after.end(), op) == after.end()) {
      out << "pending restart:  " << op << " (done or dropped)\n";
      items.push_back(Item("pending restart", "", "", "removed", op, std::nullopt));
    }
}

// ---- services: their keys and their run-time state -------------------------------------------

const std::string kServicesPrefix = "HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\";

struct ServiceFacts {
  std::string name;  // as written
  const Key *key = nullptr;
  std::string state = "stopped";
};

// The services of a machine directory: keys one level below ...\Services holding a Type
// value, by upcased name, with their run-time state from machine.toml.
std::map<std::string, ServiceFacts> ServicesOf(const fs::path &dir, const Registry &registry) {
  std::map<std::string, ServiceFacts> services;
  for (const auto &[upper, key] : registry) {
    if (upper.rfind(kServicesPrefix, 0) != 0 || !key.values.count("TYPE")) continue;
    std::string name = key.path.substr(kServicesPrefix.size());
    if (name.empty() || name.find('\\') != std::string::npos) continue;
    services[Upper(name)] = {name, &key};
  }
  try {
    toml::table config = toml::parse_file((dir / "machine.toml").string());
    if (const toml::array *list = config["services"].as_array())
      for (const toml::node &entry : *list) {
        const toml::table *t = entry.as_table();
        auto name = t ? (*t)["name"].value<std::string>() : std::nullopt;
        auto it = name ? services.find(Upper(*name)) : services.end();
        if (it != services.end()) it->second.state = (*t)["state"].value_or(std::string("stopped"));
      }
  } catch (const toml::parse_error &) {
    // A machine that does not load has no run-time state to compare.
  }
  return services;
}

// "service added:   NAME", "service changed: NAME" with each changed value before and after.
void DiffServices(const fs::path &before, const Registry &wasRegistry, const fs::path &after,
                  const Registry &isRegistry, std::ostream &out, std::vector<DiffItem> &items) {
  auto was = ServicesOf(before, wasRegistry), is = ServicesOf(after, isRegistry);
  for (auto &[upper, facts] : is) {
    auto old = was.find(upper);
    if (old == was.end()) {
      out << "service added:   " << facts.name << "\n";
      items.push_back(Item("service", facts.name, "", "added", std::nullopt, std::nullopt));
      continue;
    }
    std::ostringstream lines;
    auto change = [&](const std::string &value, const std::string &from, const std::string &to) {
      lines << "    " << value << ": " << (from.empty() ? "(none)" : from) << " -> " << (to.empty() ? "(none)" : to)
            << "\n";
      items.push_back(Item("service", facts.name, value,
                           from.empty() ? "added"
                           : to.empty() ? "removed"
                                        : "changed",
                           from.empty() ? Text() : Text(from), to.empty() ? Text() : Text(to)));
    };
    const auto &nowValues = facts.key->values, &thenValues = old->second.key->values;
    for (auto &[n, v] : nowValues) {
      auto prior = thenValues.find(n);
      if (prior == thenValues.end() || prior->second.data != v.data || prior->second.type != v.type)
        change(toolcommon::Utf8(v.name), prior == thenValues.end() ? "" : ValueText(prior->second), ValueText(v));
    }
    for (auto &[n, v] : thenValues)
      if (!nowValues.count(n)) change(toolcommon::Utf8(v.name), ValueText(v), "");
    if (old->second.state != facts.state) change("state", old->second.state, facts.state);
    if (!lines.str().empty()) out << "service changed: " << facts.name << "\n" << lines.str();
  }
  for (auto &[upper, facts] : was)
    if (!is.count(upper)) {
      out << "service removed: " << facts.name << "\n";
      items.push_back(Item("service", facts.name, "", "removed", std::nullopt, std::nullopt));
    }
}

// ---- devices: their entries in machine.toml -------------------------------------------------

struct DeviceFacts {
  std::string id;      // as written
  std::string status;  // "started", "problem 28", "not present", "started (disabled at the restart)"
  std::string driver;  // "oem3.inf 1.2.0.0 2026-01-01 (service kvnnet)", or "none"
};

std::string DriverText(const toml::table *driver) {
  if (!driver) return "none";
  std::string inf = (*driver)["inf"].value_or(std::string());
  if (size_t slash = inf.find_last_of("\\/"); slash != std::string::npos) inf = inf.substr(slash + 1);
  std::string text = inf.empty() ? "(no INF)" : inf;
  for (const char *key : {"section", "version", "date"})
    if (auto v = (*driver)[key].value<std::string>(); v && !v->empty()) text += " " + *v;
  if (auto service = (*driver)["service"].value<std::string>(); service && !service->empty())
    text += " (service " + *service + ")";
  return text;
}

// The devices of a machine directory, by upcased instance ID.
std::map<std::string, DeviceFacts> DevicesOf(const fs::path &dir) {
  std::map<std::string, DeviceFacts> devices;
  try {
    toml::table config = toml::parse_file((dir / "machine.toml").string());
    if (const toml::array *list = config["devices"].as_array())
      for (const toml::node &entry : *list) {
        const toml::table *t = entry.as_table();
        auto id = t ? (*t)["instance_id"].value<std::string>() : std::nullopt;
        if (!id) continue;
        DeviceFacts facts;
        facts.id = *id;
        facts.status = (*t)["status"].value_or(std::string("started"));
        if (facts.status == "problem") facts.status += " " + std::to_string((*t)["problem"].value_or(int64_t(0)));
        if (auto pending = (*t)["pending_status"].value<std::string>())
          facts.status += " (" + *pending + " at the restart)";
        if (!(*t)["present"].value_or(true)) facts.status = "not present";
        facts.driver = DriverText((*t)["driver"].as_table());
        devices[Upper(*id)] = facts;
      }
  } catch (const toml::parse_error &) {
    // A machine that does not load has no devices to compare.
  }
  return devices;
}

// "device added:   ROOT\X\0000: driver ..., started",
// "device changed: PCI\...: driver a -> b, status disabled -> started", "device removed: ...".
void DiffDevices(const fs::path &before, const fs::path &after, std::ostream &out, std::vector<DiffItem> &items) {
  auto was = DevicesOf(before), is = DevicesOf(after);
  for (auto &[upper, facts] : is) {
    auto old = was.find(upper);
    if (old == was.end()) {
      out << "device added:   " << facts.id << ": driver " << facts.driver << ", " << facts.status << "\n";
      items.push_back(
          Item("device", facts.id, "", "added", std::nullopt, "driver " + facts.driver + ", " + facts.status));
      continue;
    }
    std::vector<std::string> changes;
    if (old->second.driver != facts.driver) {
      changes.push_back("driver " + old->second.driver + " -> " + facts.driver);
      items.push_back(Item("device", facts.id, "driver", "changed", old->second.driver, facts.driver));
    }
    if (old->second.status != facts.status) {
      changes.push_back("status " + old->second.status + " -> " + facts.status);
      items.push_back(Item("device", facts.id, "status", "changed", old->second.status, facts.status));
    }
    if (changes.empty()) continue;
    out << "device changed: " << facts.id << ":";
    for (size_t i = 0; i < changes.size(); ++i) out << (i ? ", " : " ") << changes[i];
    out << "\n";
  }
  for (auto &[upper, facts] : was)
    if (!is.count(upper)) {
      out << "device removed: " << facts.id << "\n";
      items.push_back(Item("device", facts.id, "", "removed", std::nullopt, std::nullopt));
    }
}
}  // namespace

bool DiffMachine(const HostOptions &options, MachineDiff &diff, std::string &error) {
  std::error_code ec;
  if (!fs::is_directory(options.machineDir, ec)) {
    error = "machine directory " + options.machineDir + " does not exist";
    return false;
  }
  if (options.stateDir.empty() || !fs::is_directory(options.stateDir, ec)) {
    error = "diff needs --state naming an existing machine state";
    return false;
  }
  // The state is compared with the machine as a run starts from it: its base chain merged
  // and its listed images made, in a copy that goes afterwards.
  std::string pattern = (fs::temp_directory_path(ec) / "kvnhost-diff.XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    error = "cannot create a directory under " + fs::temp_directory_path(ec).string();
    return false;
  }
  fs::remove(pattern, ec);
  struct Scratch {
    fs::path dir;
    ~Scratch() {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
    }
  } start{pattern};
  if (!winsim::CopyMachine(options.machineDir, start.dir, error)) return false;
  const fs::path machine = start.dir, state = options.stateDir;
  Registry was, is;
  if (!RegistryOf(machine, was, error) || !RegistryOf(state, is, error)) return false;

  std::ostringstream out;
  DiffDevices(machine, state, out, diff.items);
  DiffServices(machine, was, state, is, out, diff.items);
  DiffFiles(machine, state, out, diff.items);
  std::wstring reg;
  DiffRegistry(was, is, out, diff.items, reg);
  DiffPendingOperations(was, is, out, diff.items);
  // What the runs would have asked a user on Windows is no change of the machine, but it is
  // part of what the runs did: kvnhost recorded it in the state.
  for (const std::string &prompt : ReadRecordedPrompts(options.stateDir)) {
    out << "prompt:           " << prompt << "\n";
    DiffItem item = Item("prompt", "", "", "added", std::nullopt, prompt);
    diff.items.push_back(item);
  }
  diff.report = out.str();
  diff.regFile = toolcommon::Utf8(L"Windows Registry Editor Version 5.00\r\n\r\n" + reg);
  return true;
}
