// The consistency warnings of a machine that loaded (winsim.h, MachineWarnings): facts of
// machine.toml and registry.reg that Windows would never show together, which a machine
// written by hand easily has and which make a run answer what no real server would. The
// machine loads all the same; each warning names the file and the entry.
//
// They are found without hooked calls, so that a warning changes nothing of a run's call
// trace or of the calls a fault counts.
#include <windows.h>

#include <string>
#include <vector>

#include "machine/devices.h"
#include "machine/machine.h"
#include "base/names.h"
#include "machine/registry.h"
#include "machine/system.h"
#include "session/machinecheck.h"
#include "machine/programs.h"
#include "winsim.h"

namespace winsim {
namespace {

constexpr DWORD kInboxDriver = 0x00100000;  // DNF_INBOX_DRIVER
constexpr const wchar_t *kCurrentVersionKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

RegKey *KeyAt(const std::wstring &path) {
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> key;
  return r.Open(r.Predefined(HKEY_LOCAL_MACHINE), path, &key) == ERROR_SUCCESS ? key.get() : nullptr;
}

bool FileOnMachine(const std::wstring &windowsPath) {
  std::error_code ec;
  std::filesystem::path host = HostPath(windowsPath);
  return !host.empty() && std::filesystem::is_regular_file(host, ec);
}

// A service's image as Windows resolves an ImagePath: "\SystemRoot\", "%SystemRoot%" and a
// path relative to the Windows folder; a driver without one is System32\drivers\<name>.sys.
std::wstring ImageOf(const std::wstring &service, RegKey &key, DWORD type) {
  std::optional<std::wstring> image = TextValue(key, L"ImagePath");
  if (!image || image->empty())
    return (type & SERVICE_DRIVER) ? L"C:\\Windows\\System32\\drivers\\" + service + L".sys" : std::wstring();
  std::wstring path = *image;
  if (!path.empty() && path[0] == L'"') path = path.substr(1, path.find(L'"', 1) - 1);
  if (path.rfind(L"\\??\\", 0) == 0) path.erase(0, 4);
  for (const wchar_t *root : {L"\\SystemRoot\\", L"%SystemRoot%\\", L"%windir%\\"})
    if (Upcased(path).rfind(Upcased(root), 0) == 0) return L"C:\\Windows\\" + path.substr(std::wcslen(root));
  if (path.size() > 1 && path[1] == L':') return path.substr(0, path.find(L' '));  // arguments follow a space
  return L"C:\\Windows\\" + path;
}

class Warnings {
 public:
  explicit Warnings(Machine &m) : m_(m) {}
  void Toml(const Device &d, const std::string &reason) {
    Add(m_.FileName() + ": [[devices]] entry " + std::to_string(d.entry + 1) + " ('" + ToUtf8(d.instanceId) +
        "'): " + reason);
  }
  void Key(const std::wstring &key, const std::string &reason) {
    Add((m_.Root() / "registry.reg").string() + ": [HKEY_LOCAL_MACHINE\\" + ToUtf8(key) + "]: " + reason);
  }
  void Add(const std::string &warning) { m_.warnings.push_back(warning); }

 private:
  Machine &m_;
};

void CheckDevices(Warnings &w) {
  for (const Device &d : Devices().devices) {
    if (!d.present || !d.driver) continue;
    const DeviceDriver &driver = *d.driver;
    // Windows' own drivers are described by their record; a driver someone installed has its
    // published INF, which installers read.
    if (!(driver.flags & kInboxDriver) && !driver.inf.empty() && !FileOnMachine(driver.inf))
      w.Toml(d, "driver.inf " + ToUtf8(driver.inf) + " is not on the machine");
    if (driver.service.empty()) continue;
    const std::wstring serviceKey = std::wstring(kServicesKeyPath) + L"\\" + driver.service;
    if (!KeyAt(serviceKey)) {
      w.Toml(d, "driver.service " + ToUtf8(driver.service) + " has no key in registry.reg");
      continue;
    }
    if (d.status != DeviceStatus::Started) continue;
    RegKey *list = KeyAt(serviceKey + L"\\Enum");
    bool listed = false;
    DWORD count = list ? DwordValue(*list, L"Count").value_or(0) : 0;
    for (DWORD i = 0; list && i < count && !listed; ++i)
      listed = EqualNoCase(TextValue(*list, std::to_wstring(i).c_str()).value_or(L""), d.instanceId);
    if (!listed)
      w.Key(serviceKey + L"\\Enum", "does not list the started device '" + ToUtf8(d.instanceId) +
                                        "' ([[devices]] entry " + std::to_string(d.entry + 1) + ")");
  }
}

void CheckServices(Warnings &w) {
  RegKey *services = KeyAt(kServicesKeyPath);
  if (!services) return;
  for (auto &[upcased, key] : services->subkeys) {
    const std::wstring path = std::wstring(kServicesKeyPath) + L"\\" + key->name;
    std::optional<DWORD> type = DwordValue(*key, L"Type");
    if (!type) continue;  // not a service: a key of settings
    const std::wstring image = ImageOf(key->name, *key, *type);
    if (image.empty())
      w.Key(path, "has no ImagePath");
    else if (!FileOnMachine(image))
      w.Key(path, "names the image " + ToUtf8(image) + ", which is not on the machine");
    // The device list names started devices of this service only (legacy nodes aside).
    RegKey *list = key->FindSubkey(L"Enum");
    DWORD count = list ? DwordValue(*list, L"Count").value_or(0) : 0;
    for (DWORD i = 0; i < count; ++i) {
      std::wstring id = TextValue(*list, std::to_wstring(i).c_str()).value_or(L"");
      if (Upcased(id).rfind(L"ROOT\\LEGACY_", 0) == 0) continue;
      const Device *d = Devices().ByInstanceId(id);
      if (!d || d->status != DeviceStatus::Started || !d->driver || !EqualNoCase(d->driver->service, key->name))
        w.Key(path + L"\\Enum", "lists '" + ToUtf8(id) + "', which is not a started device of the service");
    }
  }
}

// The release the registry records against [os]. Windows Server 2012 R2 reports 6.2 to
// programs without a compatibility manifest, while its registry says 6.3 build 9600.
void CheckVersion(Warnings &w) {
  RegKey *key = KeyAt(kCurrentVersionKey);
  if (!key) return;
  const OsSpec &os = System().os;
  const bool server2012R2Record =
      os.major == 6 && os.minor == 2 && TextValue(*key, L"CurrentVersion").value_or(L"") == L"6.3";
  if (server2012R2Record) return;
  std::wstring expected =
      std::to_wstring(std::min<DWORD>(os.major, 6)) + L"." + std::to_wstring(os.major >= 10 ? 3 : os.minor);
  if (auto version = TextValue(*key, L"CurrentVersion"); version && *version != expected)
    w.Key(kCurrentVersionKey, "CurrentVersion \"" + ToUtf8(*version) + "\" is not [os]'s " + std::to_string(os.major) +
                                  "." + std::to_string(os.minor) + " (\"" + ToUtf8(expected) + "\")");
  if (auto major = DwordValue(*key, L"CurrentMajorVersionNumber"); major && *major != os.major)
    w.Key(kCurrentVersionKey,
          "CurrentMajorVersionNumber " + std::to_string(*major) + " is not [os] major " + std::to_string(os.major));
  if (auto build = TextValue(*key, L"CurrentBuildNumber"); build && *build != std::to_wstring(os.build))
    w.Key(kCurrentVersionKey,
          "CurrentBuildNumber \"" + ToUtf8(*build) + "\" is not [os] build " + std::to_string(os.build));
}

// The programs a driver package is known to run, with the arguments it runs them with: a
// machine without a [[programs]] entry for one cannot model that step of an installation.
const struct {
  const wchar_t *name;
  const char *commandLine;
} kProgramsPackagesRun[] = {{L"direvo.exe", "direvo.exe /install"}};

void CheckPrograms(Machine &m, Warnings &w) {
  for (const auto &known : kProgramsPackagesRun) {
    bool described = false;
    for (const ProgramSpec &p : Programs().programs) described = described || EqualNoCase(p.name, known.name);
    if (!described)
      w.Add(m.FileName() + ": [[programs]]: no entry for " + ToUtf8(known.name) + ", which a package runs (\"" +
            known.commandLine + "\"); its start would not be modelled");
  }
}

}  // namespace

void CheckConsistency(Machine &m) {
  m.warnings.clear();
  Warnings w(m);
  CheckDevices(w);
  CheckServices(w);
  CheckPrograms(m, w);
  if (!FileOnMachine(L"C:\\Windows\\System32\\drivers\\ndis.sys"))
    w.Add(m.Root().string() + ": drive_c/Windows/System32/drivers/ndis.sys is missing (every Windows has it)");
  CheckVersion(w);
}

std::vector<std::string> MachineWarnings() { return HasMachine() ? Current().warnings : std::vector<std::string>(); }

}  // namespace winsim
