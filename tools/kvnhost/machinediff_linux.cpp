// kvnhost diff on Linux: what the runs changed in the --state machine compared with the
// --machine template, as a run starts from it: files, registry lines, services and devices.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <toml++/toml.h>

#include <winsim.h>

#include "hostfiles.h"
#include "hostmachine.h"

namespace fs = std::filesystem;

namespace {
using hostfiles::ReadAll;

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

std::string Upper(std::string text) {
  for (char &c : text) c = char(std::toupper((unsigned char)c));
  return text;
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

// ---- services: their keys in registry.reg and their run-time state in machine.toml ----------

// registry.reg as UTF-8 text (the template may be UTF-16LE with a BOM; its characters
// outside ASCII are not needed to tell services apart and become '?').
std::string RegistryText(const fs::path &file) {
  std::string raw = ReadAll(file);
  if (raw.size() < 2 || (unsigned char)raw[0] != 0xFF || (unsigned char)raw[1] != 0xFE) return raw;
  std::string out;
  for (size_t i = 2; i + 1 < raw.size(); i += 2) {
    unsigned unit = (unsigned char)raw[i] | (unsigned char)raw[i + 1] << 8;
    out += unit < 0x80 ? char(unit) : '?';
  }
  return out;
}

struct ServiceFacts {
  std::string name;                                                   // as written
  std::map<std::string, std::pair<std::string, std::string>> values;  // upcased name -> (name, data) as written
  std::string state = "stopped";
};

// The services of a machine directory: keys one level below ...\Services holding a Type
// value, by upcased name.
std::map<std::string, ServiceFacts> ServicesOf(const fs::path &dir) {
  static const std::string prefix = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CURRENTCONTROLSET\\SERVICES\\";
  std::map<std::string, ServiceFacts> keys;
  std::istringstream in(RegistryText(dir / "registry.reg"));
  std::string line, pending;
  ServiceFacts *current = nullptr;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!pending.empty()) {
      size_t start = line.find_first_not_of(' ');
      line = pending + (start == std::string::npos ? "" : line.substr(start));
      pending.clear();
    }
    if (!line.empty() && line.back() == '\\' && line.find('=') != std::string::npos) {
      line.pop_back();
      pending = line;
      continue;
    }
    if (!line.empty() && line[0] == '[') {
      current = nullptr;
      std::string upper = Upper(line);
      if (upper.rfind(prefix, 0) == 0 && line.back() == ']') {
        std::string name = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        if (!name.empty() && name.find('\\') == std::string::npos) {
          current = &keys[Upper(name)];
          current->name = name;
        }
      }
      continue;
    }
    if (!current || line.size() < 3 || line[0] != '"') continue;
    size_t close = 1;
    while (close < line.size() && (line[close] != '"' || line[close - 1] == '\\')) ++close;
    if (close + 1 >= line.size() || line[close + 1] != '=') continue;
    current->values[Upper(line.substr(1, close - 1))] = {line.substr(1, close - 1), line.substr(close + 2)};
  }
  std::map<std::string, ServiceFacts> services;
  for (auto &[upper, facts] : keys)
    if (facts.values.count("TYPE")) services[upper] = facts;

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

// "service added:   NAME", "service changed: NAME: Start, DeleteFlag, state stopped -> running".
void DiffServices(const fs::path &before, const fs::path &after, std::ostream &out) {
  auto was = ServicesOf(before), is = ServicesOf(after);
  for (auto &[upper, facts] : is) {
    auto old = was.find(upper);
    if (old == was.end()) {
      out << "service added:   " << facts.name << "\n";
      continue;
    }
    std::vector<std::string> changes;
    for (auto &[value, data] : facts.values) {
      auto prior = old->second.values.find(value);
      if (prior == old->second.values.end() || prior->second.second != data.second) changes.push_back(data.first);
    }
    for (auto &[value, data] : old->second.values)
      if (!facts.values.count(value)) changes.push_back(data.first + " removed");
    if (old->second.state != facts.state) changes.push_back("state " + old->second.state + " -> " + facts.state);
    if (changes.empty()) continue;
    out << "service changed: " << facts.name << ":";
    for (size_t i = 0; i < changes.size(); ++i) out << (i ? ", " : " ") << changes[i];
    out << "\n";
  }
  for (auto &[upper, facts] : was)
    if (!is.count(upper)) out << "service removed: " << facts.name << "\n";
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
void DiffDevices(const fs::path &before, const fs::path &after, std::ostream &out) {
  auto was = DevicesOf(before), is = DevicesOf(after);
  for (auto &[upper, facts] : is) {
    auto old = was.find(upper);
    if (old == was.end()) {
      out << "device added:   " << facts.id << ": driver " << facts.driver << ", " << facts.status << "\n";
      continue;
    }
    std::vector<std::string> changes;
    if (old->second.driver != facts.driver) changes.push_back("driver " + old->second.driver + " -> " + facts.driver);
    if (old->second.status != facts.status) changes.push_back("status " + old->second.status + " -> " + facts.status);
    if (changes.empty()) continue;
    out << "device changed: " << facts.id << ":";
    for (size_t i = 0; i < changes.size(); ++i) out << (i ? ", " : " ") << changes[i];
    out << "\n";
  }
  for (auto &[upper, facts] : was)
    if (!is.count(upper)) out << "device removed: " << facts.id << "\n";
}
}  // namespace

bool DiffMachine(const HostOptions &options, std::string &report, std::string &error) {
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
  const fs::path machine = start.dir;
  std::ostringstream out;
  std::set<std::string> before = FilesBelow(machine);
  std::set<std::string> after = FilesBelow(options.stateDir);
  for (auto &f : after) {
    if (f.rfind("drive_", 0) != 0) continue;
    if (!before.count(f))
      out << "file added:    " << WindowsPathOf(f) << "\n";
    else if (ReadAll(machine / f) != ReadAll(fs::path(options.stateDir) / f))
      out << "file changed:  " << WindowsPathOf(f) << "\n";
    else
      continue;
    ShowLinkFile(f, fs::path(options.stateDir) / f, out);
  }
  for (auto &f : before)
    if (f.rfind("drive_", 0) == 0 && !after.count(f)) out << "file removed:  " << WindowsPathOf(f) << "\n";

  // Registry: lines of the exported text that appear or disappear.
  auto lines = [](const fs::path &p) {
    std::multiset<std::string> set;
    std::istringstream in(ReadAll(p));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) set.insert(line);
    }
    return set;
  };
  auto regBefore = lines(machine / "registry.reg");
  auto regAfter = lines(fs::path(options.stateDir) / "registry.reg");
  for (auto &l : regAfter)
    if (!regBefore.count(l)) out << "registry +     " << l << "\n";
  for (auto &l : regBefore)
    if (!regAfter.count(l)) out << "registry -     " << l << "\n";
  DiffServices(machine, options.stateDir, out);
  DiffDevices(machine, options.stateDir, out);
  report = out.str();
  return true;
}
