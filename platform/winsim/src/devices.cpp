#include "devices.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "machine.h"
#include "names.h"
#include "registry.h"

namespace winsim {

namespace {

constexpr DWORD kConfigFlagDisabled = 0x00000001;  // CONFIGFLAG_DISABLED

const char *StatusName(DeviceStatus status) {
  switch (status) {
    case DeviceStatus::Started: return "started";
    case DeviceStatus::Disabled: return "disabled";
    case DeviceStatus::Problem: return "problem";
    case DeviceStatus::NotStarted: return "not_started";
  }
  return "started";
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Days from 1601-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFrom1601(int y, int m, int d) {
  int64_t days = 0;
  int64_t years = y - 1601;
  days += years * 365 + years / 4 - years / 100 + years / 400;
  for (int i = 1; i < m; ++i) days += DaysInMonth(y, i);
  return days + d - 1;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// "a.b.c.d", four decimal parts of 16 bits each.
bool ParseVersion(const std::string &text, WORD (&parts)[4]) {
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    size_t end = i < 3 ? text.find('.', start) : text.size();
    if (end == std::string::npos) return false;
    std::string_view part(text.data() + start, end - start);
    if (!AllDigits(part) || part.size() > 5) return false;
    unsigned long value = std::stoul(std::string(part));
    if (value > 0xFFFF) return false;
    parts[i] = WORD(value);
    start = end + 1;
  }
  return true;
}

// "YYYY-MM-DD".
bool ParseDate(const std::string &text, DeviceDriver &d) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  std::string_view s(text);
  if (!AllDigits(s.substr(0, 4)) || !AllDigits(s.substr(5, 2)) || !AllDigits(s.substr(8, 2))) return false;
  int y = std::stoi(text.substr(0, 4)), m = std::stoi(text.substr(5, 2)), day = std::stoi(text.substr(8, 2));
  if (y < 1601 || m < 1 || m > 12 || day < 1 || day > DaysInMonth(y, m)) return false;
  d.dateYear = y;
  d.dateMonth = m;
  d.dateDay = day;
  d.date = DaysFrom1601(y, m, day) * 86400LL * 10000000LL;
  return true;
}

// Reads the keys of one table of a [[devices]] entry, naming the entry and the key in the
// one-line reason it gives for a wrong one.
class EntryReader {
 public:
  EntryReader(const toml::table &table, size_t entry, std::string prefix, std::string &error)
      : table_(table), entry_(entry), prefix_(std::move(prefix)), error_(error) {}

  void Name(const std::wstring &instanceId) { instanceId_ = instanceId; }

  bool Fail(const std::string &what) {
    std::string where = "machine.toml: [[devices]] entry " + std::to_string(entry_ + 1);
    if (!instanceId_.empty()) where += " ('" + ToUtf8(instanceId_) + "')";
    error_ = where + ": " + what;
    return false;
  }
  bool WrongType(const char *key, const char *expected) { return Fail(prefix_ + key + " must be " + expected); }

  bool Has(const char *key) const { return table_.contains(key); }

  bool Text(const char *key, std::wstring &out) {
    const toml::node *n = table_.get(key);
    if (!n) return true;
    auto s = n->value<std::string>();
    if (!n->is_string() || !s) return WrongType(key, "a text");
    out = FromUtf8(*s);
    return true;
  }

  bool Texts(const char *key, std::vector<std::wstring> &out) {
    const toml::node *n = table_.get(key);
    if (!n) return true;
    const toml::array *list = n->as_array();
    if (!list) return WrongType(key, "a list of texts");
    for (const toml::node &item : *list) {
      auto s = item.value<std::string>();
      if (!item.is_string() || !s) return WrongType(key, "a list of texts");
      std::wstring text = FromUtf8(*s);
      if (text.find(L'\0') != std::wstring::npos) return Fail(prefix_ + key + " holds a NUL character");
      if (!text.empty()) out.push_back(std::move(text));  // a REG_MULTI_SZ cannot hold an empty string
    }
    return true;
  }

  bool Flag(const char *key, bool &out) {
    const toml::node *n = table_.get(key);
    if (!n) return true;
    if (!n->is_boolean()) return WrongType(key, "true or false");
    out = *n->value<bool>();
    return true;
  }

  bool Number(const char *key, DWORD &out) {
    const toml::node *n = table_.get(key);
    if (!n) return true;
    if (!n->is_integer()) return WrongType(key, "a number");
    int64_t v = *n->value<int64_t>();
    if (v < 0 || v > 0xFFFFFFFFLL) return Fail(prefix_ + key + " " + std::to_string(v) + " does not fit 32 bits");
    out = DWORD(v);
    return true;
  }

  bool Guid(const char *key, std::optional<GUID> &out) {
    std::wstring text;
    if (!Text(key, text)) return false;
    if (!Has(key)) return true;
    GUID g;
    if (!ParseGuid(text, g)) return BadGuid(key, text);
    out = g;
    return true;
  }

  bool BadGuid(const char *key, const std::wstring &text) {
    return Fail(prefix_ + key + " \"" + ToUtf8(text) +
                "\" is not a GUID such as {4D36E972-E325-11CE-BFC1-08002BE10318}");
  }

 private:
  const toml::table &table_;
  size_t entry_;
  std::string prefix_;
  std::string &error_;
  std::wstring instanceId_;
};

bool ReadDriver(const toml::table &table, size_t entry, const std::wstring &instanceId, DeviceDriver &d,
                std::string &error) {
  EntryReader r(table, entry, "driver.", error);
  r.Name(instanceId);
  if (!r.Text("inf", d.inf) || !r.Text("section", d.section) || !r.Text("description", d.description) ||
      !r.Text("manufacturer", d.manufacturer) || !r.Text("provider", d.provider) ||
      !r.Text("matching_id", d.matchingId) || !r.Number("flags", d.flags) || !r.Number("rank", d.rank))
    return false;
  std::wstring version, date;
  if (!r.Text("version", version) || !r.Text("date", date)) return false;
  if (r.Has("version")) {
    if (!ParseVersion(ToUtf8(version), d.version))
      return r.Fail("driver.version \"" + ToUtf8(version) + "\" is not a.b.c.d with parts from 0 to 65535");
    d.hasVersion = true;
  }
  if (r.Has("date") && !ParseDate(ToUtf8(date), d))
    return r.Fail("driver.date \"" + ToUtf8(date) + "\" is not a date YYYY-MM-DD");
  return true;
}

bool ReadDevice(const toml::table &table, size_t entry, Device &dev, std::string &error) {
  EntryReader r(table, entry, "", error);
  dev.entry = entry;
  dev.devInst = DEVINST(entry + 1);
  if (!r.Has("instance_id")) return r.Fail("instance_id is missing");
  if (!r.Text("instance_id", dev.instanceId)) return false;
  if (dev.instanceId.empty()) return r.Fail("instance_id is empty");
  r.Name(dev.instanceId);
  if (dev.instanceId.size() >= MAX_DEVICE_ID_LEN)
    return r.Fail("instance_id has " + std::to_string(dev.instanceId.size()) + " characters; it must be shorter than " +
                  std::to_string(MAX_DEVICE_ID_LEN));
  // Enumerator, device ID and instance-specific ID: the form every device instance ID has.
  size_t first = dev.instanceId.find(L'\\');
  size_t second = first == std::wstring::npos ? first : dev.instanceId.find(L'\\', first + 1);
  if (first == 0 || second == std::wstring::npos || second == first + 1 || second + 1 == dev.instanceId.size() ||
      dev.instanceId.find(L'\\', second + 1) != std::wstring::npos)
    return r.Fail("instance_id is not of the form enumerator\\device\\instance");

  std::wstring status;
  if (!r.Texts("hardware_ids", dev.hardwareIds) || !r.Texts("compatible_ids", dev.compatibleIds) ||
      !r.Text("class", dev.className) || !r.Guid("class_guid", dev.classGuid) ||
      !r.Text("description", dev.description) || !r.Flag("present", dev.present) || !r.Text("status", status) ||
      !r.Number("problem", dev.problem) || !r.Flag("private_problem", dev.privateProblem))
    return false;

  std::vector<std::wstring> interfaces;
  if (!r.Texts("interfaces", interfaces)) return false;
  for (const std::wstring &text : interfaces) {
    GUID g;
    if (!ParseGuid(text, g)) return r.BadGuid("interfaces", text);
    dev.interfaces.push_back(g);
  }

  if (r.Has("status")) {
    static const DeviceStatus all[] = {DeviceStatus::Started, DeviceStatus::Disabled, DeviceStatus::Problem,
                                       DeviceStatus::NotStarted};
    bool known = false;
    for (DeviceStatus s : all)
      if (ToUtf8(status) == StatusName(s)) {
        dev.status = s;
        known = true;
      }
    if (!known)
      return r.Fail("status \"" + ToUtf8(status) +
                    "\" is not \"started\", \"disabled\", \"problem\" or \"not_started\"");
  }
  if (dev.status == DeviceStatus::Problem && dev.problem == 0)
    return r.Fail("status \"problem\" needs a problem number (CM_PROB_*)");

  if (const toml::node *n = table.get("driver")) {
    const toml::table *t = n->as_table();
    if (!t) return r.WrongType("driver", "a table ([devices.driver])");
    if (!dev.classGuid) return r.Fail("[devices.driver] needs the device's class_guid (its driver key is below it)");
    dev.driver.emplace();
    if (!ReadDriver(*t, entry, dev.instanceId, *dev.driver, error)) return false;
  }
  if (const toml::node *n = table.get("behaviour")) {
    const toml::table *t = n->as_table();
    if (!t) return r.WrongType("behaviour", "a table ([devices.behaviour])");
    dev.behaviour = *t;
  }
  return true;
}

// ---- the registry mirror ---------------------------------------------------------------------

// A key of the layout every Windows has: found, or created as a parent that is saved only
// when something is put into it.
std::shared_ptr<RegKey> LayoutKey(Registry &r, std::wstring_view path) {
  std::shared_ptr<RegKey> key = r.Predefined(HKEY_LOCAL_MACHINE)->shared_from_this();
  size_t i = 0;
  while (i < path.size()) {
    size_t end = std::min(path.find(L'\\', i), path.size());
    std::wstring_view name = path.substr(i, end - i);
    if (RegKey *next = key->FindSubkey(name)) {
      key = next->shared_from_this();
    } else {
      std::shared_ptr<RegKey> child;
      bool created;
      r.Create(key.get(), name, &child, &created, key->isVolatile);
      child->implicitParent = true;
      key = child;
    }
    i = end + 1;
  }
  return key;
}

// A new, empty volatile key at `path` below `parent`. A key already there (registry.reg
// may hold one from an older run or a hand-made file) is deleted with everything below it:
// machine.toml is the only description of the devices, so its version wins. The keys on the
// way are the registry's own layout (enumerator, device ID): missing ones are created
// volatile, and those that hold no values are saved only while something saved is below them.
std::shared_ptr<RegKey> FreshVolatileKey(Registry &r, RegKey *parent, std::wstring_view path) {
  std::shared_ptr<RegKey> key = parent->shared_from_this();
  size_t i = 0;
  for (;;) {
    size_t end = std::min(path.find(L'\\', i), path.size());
    std::wstring_view name = path.substr(i, end - i);
    RegKey *next = key->FindSubkey(name);
    if (end == path.size()) {
      if (next) r.Remove(next);
      next = nullptr;
    }
    if (next) {
      if (next->values.empty()) next->implicitParent = true;
      key = next->shared_from_this();
    } else {
      std::shared_ptr<RegKey> child;
      bool created;
      r.Create(key.get(), name, &child, &created, true);
      key = child;
    }
    if (end == path.size()) return key;
    i = end + 1;
  }
}

void AddText(RegKey &key, const wchar_t *name, const std::wstring &text) {
  key.values.push_back(RegValue{name, REG_SZ, Utf16Image(text, true)});
}

void AddMultiText(RegKey &key, const wchar_t *name, const std::vector<std::wstring> &entries) {
  key.values.push_back(RegValue{name, REG_MULTI_SZ, Utf16Image(MultiString(entries), false)});
}

void AddBinary(RegKey &key, const wchar_t *name, DWORD type, const void *data, size_t size) {
  auto *p = static_cast<const BYTE *>(data);
  key.values.push_back(RegValue{name, type, std::vector<BYTE>(p, p + size)});
}

std::wstring LowerCase(std::wstring text) {
  for (wchar_t &c : text)
    if (c >= L'A' && c <= L'Z') c = wchar_t(c + 32);
  return text;
}

std::wstring FileNameOf(const std::wstring &path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void MirrorDriver(Registry &r, const Device &dev) {
  const DeviceDriver &d = *dev.driver;
  size_t slash = d.key.find(L'\\');
  std::shared_ptr<RegKey> classKey = LayoutKey(r, std::wstring(kClassKeyPath) + L"\\" + d.key.substr(0, slash));
  std::shared_ptr<RegKey> key = FreshVolatileKey(r, classKey.get(), d.key.substr(slash + 1));
  if (!d.inf.empty()) AddText(*key, L"InfPath", FileNameOf(d.inf));
  if (!d.section.empty()) AddText(*key, L"InfSection", d.section);
  if (!d.description.empty()) AddText(*key, L"DriverDesc", d.description);
  if (!d.provider.empty()) AddText(*key, L"ProviderName", d.provider);
  if (d.hasVersion) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%u.%u.%u.%u", unsigned(d.version[0]), unsigned(d.version[1]), unsigned(d.version[2]),
                  unsigned(d.version[3]));
    AddText(*key, L"DriverVersion", text);
  }
  if (d.dateYear) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%d-%d-%d", d.dateMonth, d.dateDay, d.dateYear);
    AddText(*key, L"DriverDate", text);
    BYTE data[8];
    for (int i = 0; i < 8; ++i) data[i] = BYTE(uint64_t(d.date) >> (8 * i));
    AddBinary(*key, L"DriverDateData", REG_BINARY, data, sizeof data);
  }
  if (!d.matchingId.empty()) AddText(*key, L"MatchingDeviceId", LowerCase(d.matchingId));
}

}  // namespace

// ---- Device -------------------------------------------------------------------------------------

DWORDLONG DeviceDriver::PackedVersion() const {
  return (DWORDLONG(version[0]) << 48) | (DWORDLONG(version[1]) << 32) | (DWORDLONG(version[2]) << 16) | version[3];
}

std::wstring Device::Enumerator() const { return instanceId.substr(0, instanceId.find(L'\\')); }

ULONG Device::StatusBits() const {
  // Every device node of an NT-based Windows has these two.
  ULONG bits = DN_NT_ENUMERATOR | DN_NT_DRIVER;
  if (EqualNoCase(Enumerator(), L"ROOT")) bits |= DN_ROOT_ENUMERATED;
  switch (status) {
    case DeviceStatus::Started: bits |= DN_DRIVER_LOADED | DN_STARTED | DN_DISABLEABLE; break;
    case DeviceStatus::Disabled:
    case DeviceStatus::Problem: bits |= DN_HAS_PROBLEM | DN_DISABLEABLE; break;
    case DeviceStatus::NotStarted: break;
  }
  if (privateProblem) bits |= DN_PRIVATE_PROBLEM;
  return bits;
}

ULONG Device::ProblemNumber() const {
  switch (status) {
    case DeviceStatus::Disabled: return CM_PROB_DISABLED;
    case DeviceStatus::Problem: return problem;
    default: return 0;
  }
}

bool Device::Exposes(const GUID &interfaceClass) const {
  for (const GUID &g : interfaces)
    if (g == interfaceClass) return true;
  return false;
}

Device *DeviceTree::ByDevInst(DEVINST devInst) {
  if (devInst == 0 || devInst > devices.size()) return nullptr;
  return &devices[devInst - 1];
}

Device *DeviceTree::ByInstanceId(std::wstring_view instanceId) {
  for (Device &d : devices)
    if (EqualNoCase(d.instanceId, instanceId)) return &d;
  return nullptr;
}

// ---- GUIDs and multi-strings -----------------------------------------------------------------

std::wstring GuidText(const GUID &g, bool upperCase) {
  wchar_t text[40];
  std::swprintf(text, 40,
                upperCase ? L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}"
                          : L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                unsigned(g.Data1), unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool ParseGuid(std::wstring_view text, GUID &guid) {
  // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
  if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
  uint8_t nibbles[32];
  size_t n = 0;
  for (size_t i = 1; i < 37; ++i) {
    wchar_t c = text[i];
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (c != L'-') return false;
      continue;
    }
    int v = (c >= L'0' && c <= L'9')   ? c - L'0'
            : (c >= L'a' && c <= L'f') ? c - L'a' + 10
            : (c >= L'A' && c <= L'F') ? c - L'A' + 10
                                       : -1;
    if (v < 0) return false;
    nibbles[n++] = uint8_t(v);
  }
  auto field = [&](size_t at, size_t count) {
    uint32_t v = 0;
    for (size_t i = 0; i < count; ++i) v = (v << 4) | nibbles[at + i];
    return v;
  };
  guid.Data1 = field(0, 8);
  guid.Data2 = WORD(field(8, 4));
  guid.Data3 = WORD(field(12, 4));
  for (int i = 0; i < 8; ++i) guid.Data4[i] = BYTE(field(16 + 2 * i, 2));
  return true;
}

std::wstring MultiString(const std::vector<std::wstring> &entries) {
  std::wstring text;
  for (const std::wstring &e : entries) {
    text += e;
    text += L'\0';
  }
  text += L'\0';
  return text;
}

// ---- load, mirror, save ---------------------------------------------------------------------------

void MirrorDevice(Machine &machine, const Device &dev) {
  Registry &r = *machine.registry;
  std::shared_ptr<RegKey> enumKey = LayoutKey(r, kEnumKeyPath);
  std::shared_ptr<RegKey> key = FreshVolatileKey(r, enumKey.get(), dev.instanceId);
  if (!dev.description.empty()) AddText(*key, L"DeviceDesc", dev.description);
  if (!dev.hardwareIds.empty()) AddMultiText(*key, L"HardwareID", dev.hardwareIds);
  if (!dev.compatibleIds.empty()) AddMultiText(*key, L"CompatibleIDs", dev.compatibleIds);
  if (!dev.className.empty()) AddText(*key, L"Class", dev.className);
  if (dev.classGuid) AddText(*key, L"ClassGUID", GuidText(*dev.classGuid));
  if (dev.driver) {
    AddText(*key, L"Driver", dev.driver->key);
    if (!dev.driver->manufacturer.empty()) AddText(*key, L"Mfg", dev.driver->manufacturer);
  }
  DWORD configFlags = dev.status == DeviceStatus::Disabled ? kConfigFlagDisabled : 0;
  AddBinary(*key, L"ConfigFlags", REG_DWORD, &configFlags, sizeof configFlags);
  if (dev.driver) MirrorDriver(r, dev);
}

bool LoadDevices(Machine &machine, std::string &error) {
  machine.devices = std::make_shared<DeviceTree>();
  const toml::node *node = machine.config.get("devices");
  if (!node) return true;
  const toml::array *list = node->as_array();
  if (!list) {
    error = "machine.toml: devices must be [[devices]] tables";
    return false;
  }
  std::vector<Device> &devices = machine.devices->devices;
  std::map<std::wstring, size_t> entryOf;  // upcased instance ID -> entry
  for (size_t i = 0; i < list->size(); ++i) {
    const toml::table *t = (*list)[i].as_table();
    if (!t) {
      error = "machine.toml: devices must be [[devices]] tables (entry " + std::to_string(i + 1) + " is not)";
      return false;
    }
    Device dev;
    if (!ReadDevice(*t, i, dev, error)) return false;
    auto [other, unique] = entryOf.emplace(Upcased(dev.instanceId), i);
    if (!unique) {
      error = "machine.toml: [[devices]] entry " + std::to_string(i + 1) + " ('" + ToUtf8(dev.instanceId) +
              "'): instance_id is also entry " + std::to_string(other->second + 1) + "'s (without regard to case)";
      return false;
    }
    devices.push_back(std::move(dev));
  }

  // Driver keys are numbered per setup class in the order of the devices, as Windows
  // numbers them when it installs them one after the other.
  std::map<std::wstring, unsigned> nextDriverKey;
  for (Device &dev : devices) {
    if (!dev.driver) continue;
    std::wstring guid = GuidText(*dev.classGuid);
    wchar_t number[16];
    std::swprintf(number, 16, L"%04u", nextDriverKey[guid]++);
    dev.driver->key = guid + L"\\" + number;
  }
  for (const Device &dev : devices) MirrorDevice(machine, dev);
  return true;
}

void SaveDevices(Machine &machine) {
  if (!machine.devices) return;
  toml::array *list = machine.config["devices"].as_array();
  if (!list) return;
  for (const Device &dev : machine.devices->devices) {
    toml::table *t = dev.changed && dev.entry < list->size() ? (*list)[dev.entry].as_table() : nullptr;
    if (!t) continue;
    t->insert_or_assign("present", dev.present);
    t->insert_or_assign("status", StatusName(dev.status));
    if (dev.status == DeviceStatus::Problem)
      t->insert_or_assign("problem", int64_t(dev.problem));
    else
      t->erase("problem");
    t->insert_or_assign("private_problem", dev.privateProblem);
    if (!dev.driver) {
      t->erase("driver");
      continue;
    }
    const DeviceDriver &d = *dev.driver;
    toml::table driver;
    driver.insert("inf", ToUtf8(d.inf));
    driver.insert("section", ToUtf8(d.section));
    driver.insert("description", ToUtf8(d.description));
    driver.insert("manufacturer", ToUtf8(d.manufacturer));
    driver.insert("provider", ToUtf8(d.provider));
    if (d.hasVersion) {
      char text[32];
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(d.version[0]), unsigned(d.version[1]),
                    unsigned(d.version[2]), unsigned(d.version[3]));
      driver.insert("version", std::string(text));
    }
    if (d.dateYear) {
      char text[16];
      std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.dateYear, d.dateMonth, d.dateDay);
      driver.insert("date", std::string(text));
    }
    driver.insert("flags", int64_t(d.flags));
    driver.insert("rank", int64_t(d.rank));
    driver.insert("matching_id", ToUtf8(d.matchingId));
    t->insert_or_assign("driver", std::move(driver));
  }
}

}  // namespace winsim
