#include "machine/devices.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>

#include "base/calendar.h"
#include "machine/system.h"
#include "machine/machinefile.h"
#include "base/names.h"
#include "machine/registry.h"

namespace winsim {

namespace {
const PartSlot<DeviceTree> g_devices("devices");

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

bool BadGuid(TableReader &r, const char *key, const std::wstring &text) {
  return r.Fail(key, "\"" + ToUtf8(text) + "\" is not a GUID such as {4D36E972-E325-11CE-BFC1-08002BE10318}");
}

bool ReadGuid(TableReader &r, const char *key, std::optional<GUID> &out) {
  std::wstring text;
  if (!r.Text(key, text)) return false;
  if (!r.Has(key)) return true;
  GUID g;
  if (!ParseGuid(text, g)) return BadGuid(r, key, text);
  out = g;
  return true;
}

bool ReadPendingStatus(TableReader &r, std::optional<DeviceStatus> &out) {
  if (!r.Has("pending_status")) return true;
  DeviceStatus status = DeviceStatus::Started;
  if (!r.Choice<DeviceStatus>("pending_status",
                              {{"started", DeviceStatus::Started},
                               {"disabled", DeviceStatus::Disabled},
                               {"not_started", DeviceStatus::NotStarted}},
                              status))
    return false;
  out = status;
  return true;
}

bool ReadDriver(TableReader &r, DeviceDriver &d) {
  r.SetKeyPrefix("driver.");
  std::string version, date;
  bool read = r.Text("inf", d.inf) & r.Text("section", d.section) & r.Text("description", d.description) &
              r.Text("manufacturer", d.manufacturer) & r.Text("provider", d.provider) &
              r.Text("matching_id", d.matchingId) & r.Text("service", d.service) & r.Text("key", d.key) &
              r.Dword("flags", d.flags) & r.Dword("rank", d.rank) & r.Text("version", version) & r.Text("date", date);
  if (!read) {
    r.Done();  // the unknown keys beside the wrong values
    return false;
  }
  if (r.Has("version")) {
    if (!ParseVersion(version, d.version))
      return r.Fail("version", "\"" + version + "\" is not a.b.c.d with parts from 0 to 65535");
    d.hasVersion = true;
  }
  if (r.Has("date")) {
    CivilDate day;
    if (!ParseIsoDate(date, day)) return r.Fail("date", "\"" + date + "\" is not a date YYYY-MM-DD");
    d.dateYear = day.year;
    d.dateMonth = day.month;
    d.dateDay = day.day;
    d.date = DaysFrom1601(day.year, day.month, day.day) * kTicksPerDay;
  }
  return r.Done();
}

bool ReadBehaviour(TableReader &r, DeviceBehaviour &b) {
  r.SetKeyPrefix("behaviour.");
  bool read = r.Flag("enable_fails", b.enableFails) & r.Flag("stays_down", b.staysDown) &
              r.Flag("disable_fails", b.disableFails) &
              r.Flag("state_change_needs_restart", b.stateChangeNeedsRestart) &
              r.Flag("update_needs_reboot", b.updateNeedsReboot) & r.Dword("update_error", b.updateError);
  return r.Done() & read;
}

bool ReadDevice(const toml::table &table, const std::string &file, size_t entry, Device &dev, std::string &error) {
  TableReader r(table, file, "[[devices]] entry " + std::to_string(entry + 1), error);
  dev.entry = entry;
  dev.devInst = DEVINST(entry + 1);
  if (!r.Has("instance_id")) return r.Fail("instance_id", "is missing");
  if (!r.Text("instance_id", dev.instanceId)) return false;
  if (dev.instanceId.empty()) return r.Fail("instance_id", "is empty");
  r.SetWhere(r.Where() + " ('" + ToUtf8(dev.instanceId) + "')");
  if (dev.instanceId.size() >= MAX_DEVICE_ID_LEN)
    return r.Fail("instance_id", "has " + std::to_string(dev.instanceId.size()) +
                                     " characters; it must be shorter than " + std::to_string(MAX_DEVICE_ID_LEN));
  // Enumerator, device ID and instance-specific ID: the form every device instance ID has.
  size_t first = dev.instanceId.find(L'\\');
  size_t second = first == std::wstring::npos ? first : dev.instanceId.find(L'\\', first + 1);
  if (first == 0 || second == std::wstring::npos || second == first + 1 || second + 1 == dev.instanceId.size() ||
      dev.instanceId.find(L'\\', second + 1) != std::wstring::npos)
    return r.Fail("instance_id", "is not of the form enumerator\\device\\instance");

  std::vector<std::wstring> interfaces;
  const toml::table *driver = nullptr, *behaviour = nullptr;
  bool read = r.Texts("hardware_ids", dev.hardwareIds, true) & r.Texts("compatible_ids", dev.compatibleIds, true) &
              r.Text("class", dev.className) & ReadGuid(r, "class_guid", dev.classGuid) &
              r.Text("description", dev.description) & r.Flag("present", dev.present) &
              r.Choice<DeviceStatus>("status",
                                     {{"started", DeviceStatus::Started},
                                      {"disabled", DeviceStatus::Disabled},
                                      {"problem", DeviceStatus::Problem},
                                      {"not_started", DeviceStatus::NotStarted}},
                                     dev.status) &
              r.Dword("problem", dev.problem) & r.Flag("private_problem", dev.privateProblem) &
              ReadPendingStatus(r, dev.pendingStatus) & r.Texts("interfaces", interfaces, true) &
              r.Table("driver", driver) & r.Table("behaviour", behaviour);
  // The checks across keys need the values; the subtables are read whatever the entry's
  // own keys held, so that one load tells all their mistakes.
  bool ok = read;
  for (size_t i = 0; read && ok && i < interfaces.size(); ++i) {
    GUID g;
    if (ParseGuid(interfaces[i], g))
      dev.interfaces.push_back(g);
    else
      ok = BadGuid(r, "interfaces", interfaces[i]);
  }
  if (read && dev.status == DeviceStatus::Problem && dev.problem == 0)
    ok = r.Fail("status", "\"problem\" needs a problem number (CM_PROB_*)");
  if (driver && !dev.classGuid) {
    // A class_guid that is there but wrong is told already.
    if (!r.Has("class_guid"))
      ok = r.Fail("driver", "([devices.driver]) needs the device's class_guid (its driver key is below it)");
  } else if (driver) {
    dev.driver.emplace();
    TableReader d(*driver, file, r.Where(), error);
    ok &= ReadDriver(d, *dev.driver);
  }
  if (behaviour) {
    TableReader b(*behaviour, file, r.Where(), error);
    ok &= ReadBehaviour(b, dev.behaviour);
  }
  return r.Done() & ok;
}

// ---- the registry mirror ---------------------------------------------------------------------

// A key of the layout every Windows has below `from`: found, or created as a parent that is
// saved only when something is put into it.
RegKey &LayoutKey(RegistryTree &r, RegKey &from, std::wstring_view path) {
  std::vector<std::wstring_view> names;
  KeyPathNames(path, names);
  RegKey *key = &from;
  for (std::wstring_view name : names) {
    std::shared_ptr<RegKey> child;
    bool created;
    r.Create(key, name, &child, &created, key->isVolatile);
    if (created) child->implicitParent = true;
    key = child.get();  // held by its parent
  }
  return *key;
}

// A device's own key (its Enum key or its driver key): an ordinary key of the registry, kept
// in registry.reg with whatever was written into it; created when missing.
RegKey &DeviceKey(RegistryTree &r, RegKey &parent, std::wstring_view path) {
  RegKey &key = LayoutKey(r, parent, path);
  key.implicitParent = false;
  return key;
}

std::vector<BYTE> DwordImage(DWORD value) {
  auto *bytes = reinterpret_cast<const BYTE *>(&value);
  return std::vector<BYTE>(bytes, bytes + sizeof value);
}

// Sets one of the values winsim derives from [[devices]], keeping its place among the
// key's values; an empty image removes it (the fact is not given).
void Refresh(RegKey &key, const wchar_t *name, DWORD type, std::vector<BYTE> data, bool present = true) {
  auto &values = key.values;
  auto it = std::find_if(values.begin(), values.end(), [&](const RegValue &v) { return EqualNoCase(v.name, name); });
  if (!present) {
    if (it != values.end()) values.erase(it);
    return;
  }
  if (it != values.end()) {
    it->type = type;
    it->data = std::move(data);
  } else {
    values.push_back(RegValue{name, type, std::move(data)});
  }
}

// The values of one key that winsim derives from the model, refreshed together (Refresh
// each). A key that holds no values yet (most devices' keys when a machine first loads) gets
// room for exactly these.
class DerivedValues {
 public:
  void Add(const wchar_t *name, DWORD type, std::vector<BYTE> data, bool present = true) {
    values_.at(count_++) = Value{name, type, std::move(data), present};
  }
  // A REG_SZ, absent when the text is empty.
  void Text(const wchar_t *name, std::wstring_view text) {
    Add(name, REG_SZ, text.empty() ? std::vector<BYTE>() : Utf16Image(text, true), !text.empty());
  }
  // A REG_MULTI_SZ, absent when the list is empty.
  void MultiText(const wchar_t *name, const std::vector<std::wstring> &entries) {
    Add(name, REG_MULTI_SZ, entries.empty() ? std::vector<BYTE>() : Utf16Image(MultiString(entries), false),
        !entries.empty());
  }
  void Dword(const wchar_t *name, DWORD value) { Add(name, REG_DWORD, DwordImage(value)); }
  void ApplyTo(RegKey &key) {
    if (key.values.empty()) {
      size_t present = 0;
      for (size_t i = 0; i < count_; ++i) present += values_[i].present;
      key.values.reserve(present);
    }
    for (size_t i = 0; i < count_; ++i) {
      Value &v = values_[i];
      Refresh(key, v.name, v.type, std::move(v.data), v.present);
    }
  }

 private:
  struct Value {
    const wchar_t *name = nullptr;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool present = false;
  };
  std::array<Value, 10> values_;  // the most any key of a device gets
  size_t count_ = 0;
};

std::wstring LowerCase(std::wstring text) {
  for (wchar_t &c : text)
    if (c >= L'A' && c <= L'Z') c = wchar_t(c + 32);
  return text;
}

std::wstring FileNameOf(const std::wstring &path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Writes the keys of devices. The layout keys they are below (Enum, Control\Class) are
// looked up once, when first needed, for every device one mirror writes.
class DeviceMirror {
 public:
  explicit DeviceMirror(RegistryTree &r) : r_(r) {}

  void Write(const Device &dev) {
    RegKey &key = DeviceKey(r_, EnumKey(), dev.instanceId);
    DerivedValues values;
    values.Text(L"DeviceDesc", dev.description);
    values.MultiText(L"HardwareID", dev.hardwareIds);
    values.MultiText(L"CompatibleIDs", dev.compatibleIds);
    values.Text(L"Class", dev.className);
    values.Text(L"ClassGUID", dev.classGuid ? GuidText(*dev.classGuid) : std::wstring());
    values.Text(L"Driver", dev.driver ? std::wstring_view(dev.driver->key) : std::wstring_view());
    values.Text(L"Mfg", dev.driver ? std::wstring_view(dev.driver->manufacturer) : std::wstring_view());
    values.Text(L"Service", dev.driver ? std::wstring_view(dev.driver->service) : std::wstring_view());
    // The flag is what the next boot reads: a disable waiting for the restart has it already.
    values.Dword(L"ConfigFlags",
                 dev.pendingStatus.value_or(dev.status) == DeviceStatus::Disabled ? kConfigFlagDisabled : 0);
    values.ApplyTo(key);
    if (dev.driver) WriteDriver(*dev.driver);
  }

 private:
  RegKey &EnumKey() {
    if (!enum_) enum_ = &LayoutKey(r_, *r_.Predefined(HKEY_LOCAL_MACHINE), kEnumKeyPath);
    return *enum_;
  }
  RegKey &ClassKey() {
    if (!class_) class_ = &LayoutKey(r_, *r_.Predefined(HKEY_LOCAL_MACHINE), kClassKeyPath);
    return *class_;
  }

  void WriteDriver(const DeviceDriver &d) {
    RegKey &key = DeviceKey(r_, ClassKey(), d.key);
    DerivedValues values;
    values.Text(L"InfPath", FileNameOf(d.inf));
    values.Text(L"InfSection", d.section);
    values.Text(L"DriverDesc", d.description);
    values.Text(L"ProviderName", d.provider);
    std::wstring version, date;
    if (d.hasVersion) {
      wchar_t text[32];
      std::swprintf(text, 32, L"%u.%u.%u.%u", unsigned(d.version[0]), unsigned(d.version[1]), unsigned(d.version[2]),
                    unsigned(d.version[3]));
      version = text;
    }
    values.Text(L"DriverVersion", version);
    std::vector<BYTE> dateData(8);
    if (d.dateYear) {
      wchar_t text[32];
      std::swprintf(text, 32, L"%d-%d-%d", d.dateMonth, d.dateDay, d.dateYear);
      date = text;
      for (int i = 0; i < 8; ++i) dateData[i] = BYTE(uint64_t(d.date) >> (8 * i));
    }
    values.Text(L"DriverDate", date);
    values.Add(L"DriverDateData", REG_BINARY, std::move(dateData), d.dateYear != 0);
    values.Text(L"MatchingDeviceId", LowerCase(d.matchingId));
    values.ApplyTo(key);
  }

  RegistryTree &r_;
  RegKey *enum_ = nullptr, *class_ = nullptr;
};

// The instance IDs a service's Enum key lists: values "0" ... Count-1 that hold text.
std::vector<std::wstring> ReadServiceList(RegKey &key) {
  std::vector<std::wstring> ids;
  const RegValue *count = key.FindValue(L"Count");
  DWORD n = 0;
  if (count && count->type == REG_DWORD && count->data.size() == sizeof n)
    std::memcpy(&n, count->data.data(), sizeof n);
  for (DWORD i = 0; i < n; ++i) {
    const RegValue *v = key.FindValue(std::to_wstring(i));
    if (!v || !IsStringType(v->type)) continue;
    std::wstring text = TextOfImage(v->data);
    ids.push_back(text.substr(0, text.find(L'\0')));
  }
  return ids;
}

void WriteServiceList(RegistryTree &r, RegKey &key, const std::vector<std::wstring> &ids) {
  // The old numbered values go; the list is written again from 0.
  auto &values = key.values;
  values.erase(std::remove_if(values.begin(), values.end(),
                              [](const RegValue &v) {
                                return !v.name.empty() && std::all_of(v.name.begin(), v.name.end(),
                                                                      [](wchar_t c) { return c >= L'0' && c <= L'9'; });
                              }),
               values.end());
  for (size_t i = 0; i < ids.size(); ++i) Refresh(key, std::to_wstring(i).c_str(), REG_SZ, Utf16Image(ids[i], true));
  Refresh(key, L"Count", REG_DWORD, DwordImage(DWORD(ids.size())));
  Refresh(key, L"NextInstance", REG_DWORD, DwordImage(DWORD(ids.size())));
  r.Touch(&key);
}

// Adds or removes one instance ID in a service's list; nothing when the service has no key.
void ChangeServiceList(RegistryTree &r, const std::wstring &service, const std::wstring &instanceId, bool add) {
  std::shared_ptr<RegKey> serviceKey;
  if (service.empty() ||
      r.Open(r.Predefined(HKEY_LOCAL_MACHINE), std::wstring(kServicesKeyPath) + L"\\" + service, &serviceKey))
    return;
  std::shared_ptr<RegKey> key;
  bool created = false;
  if (!add && !serviceKey->FindSubkey(L"Enum")) return;
  if (r.Create(serviceKey.get(), L"Enum", &key, &created, serviceKey->isVolatile)) return;
  std::vector<std::wstring> ids = ReadServiceList(*key);
  auto same = [&](const std::wstring &id) { return EqualNoCase(id, instanceId); };
  ids.erase(std::remove_if(ids.begin(), ids.end(), same), ids.end());
  if (add) ids.push_back(instanceId);
  WriteServiceList(r, *key, ids);
}

}  // namespace

DeviceListing ListingOf(const Device &device) {
  DeviceListing l;
  l.started = !device.removed && device.present && device.status == DeviceStatus::Started;
  if (device.driver) l.service = device.driver->service;
  return l;
}

void UpdateServiceLists(const Device &device, const DeviceListing &before) {
  DeviceListing after = ListingOf(device);
  bool wasListed = before.started && !before.service.empty();
  bool isListed = after.started && !after.service.empty();
  bool sameService = EqualNoCase(before.service, after.service);
  if (wasListed == isListed && (!isListed || sameService)) return;
  RegistryTree &r = Registry();
  if (wasListed) ChangeServiceList(r, before.service, device.instanceId, false);
  if (isListed) ChangeServiceList(r, after.service, device.instanceId, true);
}

void ListLegacyService(const std::wstring &service, bool started) {
  for (const Device &d : Devices().devices)
    if (!d.removed && d.driver && EqualNoCase(d.driver->service, service)) return;  // a PnP driver's service
  // Device nodes for non-PnP drivers are made up to Windows 7 and Server 2008 R2, not from
  // Windows 8 and Server 2012 on (winsim's reading: the documentation says such nodes exist
  // for non-PnP drivers, not from which version they stopped).
  const OsSpec &os = System().os;
  if (os.major > 6 || (os.major == 6 && os.minor >= 2)) return;
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> serviceKey;
  if (service.empty() ||
      r.Open(r.Predefined(HKEY_LOCAL_MACHINE), std::wstring(kServicesKeyPath) + L"\\" + service, &serviceKey))
    return;
  const RegValue *type = serviceKey->FindValue(L"Type");
  DWORD typeBits = 0;
  if (type && type->type == REG_DWORD && type->data.size() >= 4) std::memcpy(&typeBits, type->data.data(), 4);
  if (!(typeBits & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER))) return;  // not a driver
  std::wstring instanceId = L"ROOT\\LEGACY_" + Upcased(service) + L"\\0000";
  if (started) {
    // The node stays when the driver stops, as Windows keeps it until it is removed.
    RegKey &node = DeviceKey(r, LayoutKey(r, *r.Predefined(HKEY_LOCAL_MACHINE), kEnumKeyPath), instanceId);
    const RegValue *display = serviceKey->FindValue(L"DisplayName");
    std::wstring description = display && IsStringType(display->type) ? TextOfImage(display->data) : service;
    DerivedValues values;
    values.Text(L"DeviceDesc", description.substr(0, description.find(L'\0')));
    values.Text(L"Service", service);
    values.Text(L"Class", L"LegacyDriver");
    values.Text(L"ClassGUID", L"{8ECC055D-047F-11D1-A537-0000F8753ED1}");
    values.Dword(L"Legacy", 1);
    values.ApplyTo(node);
  }
  ChangeServiceList(r, service, instanceId, started);
}

void StartWaitingDevices(const std::wstring &service) {
  for (Device &d : Devices().devices) {
    if (d.removed || !d.present || !d.driver || !EqualNoCase(d.driver->service, service) ||
        d.status != DeviceStatus::NotStarted || d.pendingStatus != DeviceStatus::Started)
      continue;
    const DeviceListing before = ListingOf(d);
    d.status = DeviceStatus::Started;
    d.pendingStatus.reset();
    d.changed = true;
    MirrorDevice(d);
    UpdateServiceLists(d, before);
  }
}

// ---- Device -------------------------------------------------------------------------------------

DWORDLONG DeviceDriver::PackedVersion() const {
  return (DWORDLONG(version[0]) << 48) | (DWORDLONG(version[1]) << 32) | (DWORDLONG(version[2]) << 16) | version[3];
}

std::wstring Device::Enumerator() const { return instanceId.substr(0, instanceId.find(L'\\')); }

bool Device::Running() const {
  return status == DeviceStatus::Started || (status == DeviceStatus::Problem && problem == CM_PROB_NEED_RESTART);
}

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
  if (pendingStatus) bits |= DN_NEED_RESTART;
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

DeviceTree &Devices() { return g_devices(); }

Device *DeviceTree::ByDevInst(DEVINST devInst) {
  if (devInst == 0 || devInst > devices.size() || devices[devInst - 1].removed) return nullptr;
  return &devices[devInst - 1];
}

Device *DeviceTree::ByInstanceId(std::wstring_view instanceId) {
  for (Device &d : devices)
    if (!d.removed && EqualNoCase(d.instanceId, instanceId)) return &d;
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

// ---- load, mirror, save ---------------------------------------------------------------------------

void MirrorDevice(const Device &dev) { DeviceMirror(Registry()).Write(dev); }

bool DeviceTree::Load(MachineFile &file) {
  std::string &error = file.Mistakes();
  const toml::array *list = nullptr;
  if (!file.Top().Tables("devices", list)) return false;
  if (!list) return true;
  std::unordered_map<std::wstring, size_t> entryOf;  // upcased instance ID -> entry
  entryOf.reserve(list->size());
  devices.reserve(list->size());
  bool ok = true;  // every entry is read, to tell all the mistakes
  for (size_t i = 0; i < list->size(); ++i) {
    const toml::table &t = *(*list)[i].as_table();
    Device dev;
    if (!ReadDevice(t, file.Name(), i, dev, error)) {
      ok = false;
      continue;
    }
    auto [other, unique] = entryOf.emplace(Upcased(dev.instanceId), i);
    if (!unique) {
      TableReader r(t, file.Name(),
                    "[[devices]] entry " + std::to_string(i + 1) + " ('" + ToUtf8(dev.instanceId) + "')", error);
      ok = r.Fail("instance_id", "is also entry " + std::to_string(other->second + 1) + "'s (without regard to case)");
      continue;
    }
    devices.push_back(std::move(dev));
  }
  if (!ok) return false;

  // Driver keys are numbered per setup class in the order of the devices, as Windows
  // numbers them when it installs them one after the other.
  // A key given in the entry (a driver installed during an earlier run) is kept and skipped.
  std::map<std::wstring, unsigned> nextDriverKey;
  std::set<std::wstring> given;
  for (Device &dev : devices)
    if (dev.driver && !dev.driver->key.empty()) given.insert(Upcased(dev.driver->key));
  for (Device &dev : devices) {
    if (!dev.driver || !dev.driver->key.empty()) continue;
    std::wstring guid = GuidText(*dev.classGuid);
    do {
      wchar_t number[16];
      std::swprintf(number, 16, L"%04u", nextDriverKey[guid]++);
      dev.driver->key = guid + L"\\" + number;
    } while (given.count(Upcased(dev.driver->key)));
  }
  DeviceMirror mirror(Registry());
  for (const Device &dev : devices) mirror.Write(dev);
  return true;
}

// The run-time state of a device into its entry; a created device's identity too.
void WriteEntry(const Device &dev, toml::table &t) {
  if (dev.created) {
    t.insert_or_assign("instance_id", ToUtf8(dev.instanceId));
    auto texts = [](const std::vector<std::wstring> &list) {
      toml::array a;
      for (const std::wstring &s : list) a.push_back(ToUtf8(s));
      return a;
    };
    if (!dev.hardwareIds.empty()) t.insert_or_assign("hardware_ids", texts(dev.hardwareIds));
    if (!dev.compatibleIds.empty()) t.insert_or_assign("compatible_ids", texts(dev.compatibleIds));
    if (!dev.className.empty()) t.insert_or_assign("class", ToUtf8(dev.className));
    if (dev.classGuid) t.insert_or_assign("class_guid", ToUtf8(GuidText(*dev.classGuid, true)));
  }
  if (dev.created || !dev.description.empty()) t.insert_or_assign("description", ToUtf8(dev.description));
  t.insert_or_assign("present", dev.present);
  t.insert_or_assign("status", StatusName(dev.status));
  if (dev.status == DeviceStatus::Problem)
    t.insert_or_assign("problem", int64_t(dev.problem));
  else
    t.erase("problem");
  t.insert_or_assign("private_problem", dev.privateProblem);
  if (dev.pendingStatus)
    t.insert_or_assign("pending_status", StatusName(*dev.pendingStatus));
  else
    t.erase("pending_status");
  if (!dev.driver) {
    t.erase("driver");
    return;
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
  if (!d.service.empty()) driver.insert("service", ToUtf8(d.service));
  driver.insert("key", ToUtf8(d.key));
  t.insert_or_assign("driver", std::move(driver));
}

bool DeviceTree::Save(MachineFile &file, std::string &) {
  toml::table &config = file.Config();
  if (!config["devices"].as_array()) {
    bool anyCreated = false;
    for (const Device &dev : devices) anyCreated = anyCreated || (dev.created && !dev.removed);
    if (!anyCreated) return true;
    config.insert_or_assign("devices", toml::array{});
  }
  toml::array *list = config["devices"].as_array();
  const size_t loaded = list->size();
  for (const Device &dev : devices) {
    toml::table *t = dev.changed && !dev.created && dev.entry < loaded ? (*list)[dev.entry].as_table() : nullptr;
    if (t) WriteEntry(dev, *t);
  }
  // Removed devices last, from the back, so the entries before them keep their places.
  for (auto it = devices.rbegin(); it != devices.rend(); ++it)
    if (it->removed && !it->created && it->entry < loaded) list->erase(list->begin() + ptrdiff_t(it->entry));
  // Devices the run created and registered follow the machine's own.
  for (const Device &dev : devices)
    if (dev.created && dev.registered && !dev.removed) {
      toml::table t;
      WriteEntry(dev, t);
      list->push_back(std::move(t));
    }
  return true;
}

}  // namespace winsim
