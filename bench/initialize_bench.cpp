// kvnbench: how long the component's initialisation takes on machines with many devices.
//
// For each size it writes a machine: the default example machine (its [os], [machine],
// registry and drive C:) with N generated devices of several setup classes, among them a
// handful of supported adapters, and the example package with the component at C:\Package.
// Then it loads the component as a host does (LoadLibraryW of C:\Package\kvncomp.dll with
// C:\Package as the current directory; DllMain reads the package definition and builds the
// PnP device list) and unloads it, and reports the best of k runs.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <toml++/toml.h>
#include <windows.h>
#include <pewriter.h>
#include <winsim.h>

#include "framework/hostinterface.h"

namespace fs = std::filesystem;

namespace {

constexpr UINT kPackageVersionProperty = 4;
const wchar_t kComponent[] = L"C:\\Package\\kvncomp.dll";
const wchar_t kHostImage[] = L"C:\\Package\\kvnhost.exe";
const wchar_t kPackageDir[] = L"C:\\Package";

struct SetupError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::vector<int> sizes;
  int repeat = 5;
  bool keep = false;
  fs::path package = KVN_EXAMPLE_PACKAGE;
  fs::path machine = KVN_DEFAULT_MACHINE;
  fs::path component = KVN_COMPONENT_LIBRARY;
};

const char kUsage[] =
    "usage: kvnbench [--repeat K] [--keep] [--package DIR] [--machine DIR] [SIZE...]\n"
    "  times LoadLibraryW + FreeLibrary of the component (its initialisation) on generated\n"
    "  machines of SIZE devices each (default 100 1000 10000), best of K runs (default 5)\n"
    "  --package DIR  the package copied to C:\\Package (default: the built example package)\n"
    "  --machine DIR  the machine whose [os], [machine], registry and drive C: are used\n"
    "                 (default: the built default example machine)\n"
    "  --keep         keep the generated machines and print where they are\n";

bool ParseCount(const char *text, int low, int high, int &out) {
  char *end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < low || v > high) return false;
  out = int(v);
  return true;
}

// Answers 0 to go on, or the exit status.
int ParseOptions(int argc, char **argv, Options &o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char *name) -> const char * {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kvnbench: %s needs a value\n%s", name, kUsage);
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (a == "--keep") {
      o.keep = true;
    } else if (a == "--repeat") {
      const char *v = value("--repeat");
      if (!v) return 2;
      if (!ParseCount(v, 1, 1000, o.repeat)) {
        std::fprintf(stderr, "kvnbench: --repeat %s is not a number from 1 to 1000\n", v);
        return 2;
      }
    } else if (a == "--package" || a == "--machine") {
      const char *v = value(a.c_str());
      if (!v) return 2;
      (a == "--package" ? o.package : o.machine) = v;
    } else {
      int n = 0;
      if (!ParseCount(a.c_str(), 1, 1000000, n)) {
        std::fprintf(stderr, "kvnbench: %s is neither an option nor a device count from 1 to 1000000\n%s", a.c_str(),
                     kUsage);
        return 2;
      }
      o.sizes.push_back(n);
    }
  }
  if (o.sizes.empty()) o.sizes = {100, 1000, 10000};
  return 0;
}

// ---- the generated machine -------------------------------------------------------------------

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

std::string TomlList(const std::vector<std::string> &items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", '" : "'") + items[i] + "'";
  return out + "]";
}

struct DeviceText {
  std::string instance, cls, guid, description;
  std::vector<std::string> hardware, compatible;
  std::string inf, section, matching, version = "10.0.17763.1", date = "2006-06-21";
  bool inbox = true;
};

void Append(std::string &out, const DeviceText &d) {
  out += "[[devices]]\ninstance_id = '" + d.instance + "'\nhardware_ids = " + TomlList(d.hardware) +
         "\ncompatible_ids = " + TomlList(d.compatible) + "\nclass = \"" + d.cls + "\"\nclass_guid = \"" + d.guid +
         "\"\ndescription = \"" + d.description +
         "\"\npresent = true\nstatus = \"started\"\n[devices.driver]\ninf = '" + d.inf + "'\nsection = \"" + d.section +
         "\"\ndescription = \"" + d.description + "\"\nmanufacturer = \"" +
         (d.inbox ? "(Standard system devices)" : "Intel") + "\"\nprovider = \"" + (d.inbox ? "Microsoft" : "Intel") +
         "\"\nversion = \"" + d.version + "\"\ndate = \"" + d.date + "\"\nflags = " + (d.inbox ? "0x100000" : "0") +
         "\nmatching_id = '" + d.matching + "'\n\n";
}

// An ordinary device of one of four kinds (chipset function, network adapter of another
// vendor, USB device, disk), each with 4 hardware IDs and 4 compatible IDs.
DeviceText OrdinaryDevice(int i) {
  DeviceText d;
  std::string serial = Hex(unsigned(i), 8);
  switch (i % 4) {
    case 0: {
      std::string id = "PCI\\VEN_8086&DEV_" + Hex(0xA000u + unsigned(i / 4) % 0x1000u, 4);
      d.instance = id + "&SUBSYS_00008086&REV_09\\3&11583659&0&" + serial;
      d.hardware = {id + "&SUBSYS_00008086&REV_09", id + "&SUBSYS_00008086", id + "&CC_088000", id + "&CC_0880"};
      d.compatible = {id + "&REV_09", id, "PCI\\VEN_8086", "PCI\\CC_088000"};
      d.cls = "System", d.guid = "{4D36E97D-E325-11CE-BFC1-08002BE10318}", d.description = "Base System Device";
      d.inf = "C:\\Windows\\INF\\machine.inf", d.section = "NO_DRV", d.matching = "PCI\\CC_088000";
      break;
    }
    case 1: {
      std::string id = "PCI\\VEN_14E4&DEV_" + Hex(0x1600u + unsigned(i / 4) % 0x100u, 4);
      d.instance = id + "&SUBSYS_165F14E4&REV_00\\0000" + serial + "FFFE" + serial.substr(0, 4) + "00";
      d.hardware = {id + "&SUBSYS_165F14E4&REV_00", id + "&SUBSYS_165F14E4", id + "&CC_020000", id + "&CC_0200"};
      d.compatible = {id + "&REV_00", id, "PCI\\VEN_14E4", "PCI\\CC_020000"};
      d.cls = "Net", d.guid = "{4D36E972-E325-11CE-BFC1-08002BE10318}", d.description = "Gigabit Ethernet";
      d.inf = "C:\\Windows\\INF\\b57nd60a.inf", d.section = "BCM5720A0", d.matching = id;
      d.version = "17.2.0.0", d.date = "2017-06-29";
      break;
    }
    case 2: {
      std::string id = "USB\\VID_046B&PID_" + Hex(0xFF00u + unsigned(i / 4) % 0x100u, 4);
      d.instance = id + "\\" + serial;
      d.hardware = {id + "&REV_0100", id, id + "&REV_0100&MI_00", id + "&MI_00"};
      d.compatible = {"USB\\Class_03&SubClass_01&Prot_01", "USB\\Class_03&SubClass_01", "USB\\Class_03",
                      "USB\\COMPOSITE"};
      d.cls = "USB", d.guid = "{36FC9E60-C465-11CF-8056-444553540000}", d.description = "USB Composite Device";
      d.inf = "C:\\Windows\\INF\\usb.inf", d.section = "Composite.Dev.NT", d.matching = "USB\\COMPOSITE";
      break;
    }
    default: {
      std::string product = "MR9361-" + Hex(unsigned(i / 4) % 0x10000u, 4) + "____";
      d.instance = "SCSI\\DISK&VEN_LSI&PROD_MR9361\\5&3B5E2D1C&0&" + serial;
      d.hardware = {"SCSI\\DiskLSI_____" + product + "4.68", "SCSI\\DiskLSI_____" + product, "SCSI\\DiskLSI_____",
                    "GenDisk"};
      d.compatible = {"SCSI\\Disk", "SCSI\\RAW", "SCSI\\LSI_____" + product + "4", "LSI_____" + product + "4"};
      d.cls = "DiskDrive", d.guid = "{4D36E967-E325-11CE-BFC1-08002BE10318}", d.description = "Disk drive";
      d.inf = "C:\\Windows\\INF\\disk.inf", d.section = "disk_install.NT", d.matching = "GenDisk";
      break;
    }
  }
  return d;
}

// A supported adapter: the default machine's 1572 with its older driver.
DeviceText SupportedAdapter(int i) {
  DeviceText d;
  const std::string id = "PCI\\VEN_8086&DEV_1572";
  d.instance = id + "&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&" + Hex(unsigned(i), 8);
  d.hardware = {id + "&SUBSYS_00018086&REV_01", id + "&SUBSYS_00018086", id + "&CC_020000", id + "&CC_0200"};
  d.compatible = {id + "&REV_01", id, "PCI\\VEN_8086", "PCI\\CC_020000"};
  d.cls = "Net", d.guid = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
  d.description = "Ethernet Network Adapter";
  d.inf = "C:\\Windows\\INF\\oem3.inf", d.section = "Z40E.ndi", d.matching = id + "&SUBSYS_00018086";
  d.version = "1.10.128.0", d.date = "2019-05-01", d.inbox = false;
  return d;
}

constexpr int kSupportedAdapters = 4;

// The devices of a machine of `count` devices: the supported adapters spread evenly.
std::string DevicesText(int count) {
  int adapters = std::min(count, kSupportedAdapters);
  std::string out;
  out.reserve(size_t(count) * 1100);
  int next = 0;
  for (int i = 0; i < count; ++i) {
    bool adapter = next < adapters && i == (count * (2 * next + 1)) / (2 * adapters);
    Append(out, adapter ? SupportedAdapter(i) : OrdinaryDevice(i));
    if (adapter) ++next;
  }
  return out;
}

void CopyTree(const fs::path &from, const fs::path &to) {
  std::error_code ec;
  fs::create_directories(to, ec);
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  if (ec) throw SetupError("cannot copy " + from.string() + " to " + to.string() + ": " + ec.message());
}

// The template's machine.toml without its devices, then the generated ones.
void WriteMachineToml(const fs::path &templateDir, const fs::path &dir, int count) {
  toml::table config;
  try {
    config = toml::parse_file((templateDir / "machine.toml").string());
  } catch (const toml::parse_error &e) {
    throw SetupError((templateDir / "machine.toml").string() + ": " + std::string(e.description()));
  }
  config.erase("devices");
  std::ostringstream text;
  text << "# Generated by kvnbench: the template's settings and " << count << " devices.\n" << config << "\n\n";
  std::ofstream out(dir / "machine.toml", std::ios::binary);
  out << text.str() << DevicesText(count);
  if (!out.flush()) throw SetupError("cannot write " + (dir / "machine.toml").string());
}

// Fills `dir` (set first, so the caller can remove it on failure) with a machine of `count`
// devices and the package at C:\Package; the machine is open in winsim when this returns.
void CreateMachine(const Options &o, int count, fs::path &dir) {
  std::string pattern = (fs::temp_directory_path() / "kvnbench.XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw SetupError("cannot create a machine directory under " + pattern);
  dir = pattern;
  CopyTree(o.machine, dir);
  WriteMachineToml(o.machine, dir, count);

  std::string error;
  if (!winsim::OpenMachine(dir, error)) throw SetupError("the generated machine " + dir.string() + ": " + error);
  fs::path package = winsim::HostPath(kPackageDir);
  if (package.empty()) throw SetupError("the machine has no drive C:");
  CopyTree(o.package, package);
  std::error_code ec;
  fs::copy_file(o.component, package / "kvncomp.dll", fs::copy_options::overwrite_existing, ec);
  if (ec) throw SetupError("cannot place the component " + o.component.string() + ": " + ec.message());
  mkpe::VersionInfo image;
  mkpe::ParseVersion("1.0.0.0", image.fileVersion);
  image.productVersion = image.fileVersion;
  image.internalName = "kvnhost";
  if (!mkpe::WriteImage(winsim::HostPath(kHostImage).string(), &image, mkpe::FileType::App, &error))
    throw SetupError("cannot write the host image: " + error);
}

// ---- the measurement -----------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

std::string ReadAll(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void RequirePackageRead(HMODULE module) {
  auto getProperty =
      reinterpret_cast<GetPropertyFn>(reinterpret_cast<void (*)()>(GetProcAddress(module, "GetProperty")));
  if (!getProperty) throw SetupError("the component has no GetProperty export");
  WCHAR version[64] = L"";
  if (getProperty(kPackageVersionProperty, version, 64, 0) != 1 || !version[0])
    throw SetupError("the component did not read the package definition at C:\\Package (no package version)");
}

// One load with /verbose_log, not timed: the component loads and reads the package; answers
// what its verbose log says of the device list.
std::string WarmUp() {
  winsim::SetProcess(kHostImage, L"\"C:\\Package\\kvnhost.exe\" /verbose_log", kPackageDir);
  HMODULE module = LoadLibraryW(kComponent);
  if (!module) throw SetupError("LoadLibraryW of the component failed with error " + std::to_string(GetLastError()));
  RequirePackageRead(module);
  FreeLibrary(module);

  std::string state = "not attempted";
  std::error_code ec;
  fs::path logs = winsim::HostPath(L"C:\\vadorurev\\log");
  for (auto &e : fs::directory_iterator(logs, ec)) {
    std::string text = ReadAll(e.path());
    if (text.find("Building PnP device list... Done.") != std::string::npos) state = "built";
    if (text.find("Building PnP device list... Failed!") != std::string::npos) state = "failed";
  }
  fs::remove_all(logs, ec);
  return state;
}

// LoadLibraryW + FreeLibrary, best of `repeat`; each load is checked (outside the timing).
double BestMilliseconds(int repeat) {
  winsim::SetProcess(kHostImage, L"\"C:\\Package\\kvnhost.exe\"", kPackageDir);
  double best = 0;
  for (int k = 0; k < repeat; ++k) {
    Clock::time_point t0 = Clock::now();
    HMODULE module = LoadLibraryW(kComponent);
    Clock::time_point t1 = Clock::now();
    if (!module) throw SetupError("LoadLibraryW of the component failed with error " + std::to_string(GetLastError()));
    RequirePackageRead(module);
    Clock::time_point t2 = Clock::now();
    BOOL freed = FreeLibrary(module);
    Clock::time_point t3 = Clock::now();
    if (!freed) throw SetupError("FreeLibrary of the component failed with error " + std::to_string(GetLastError()));
    double ms = std::chrono::duration<double, std::milli>((t1 - t0) + (t3 - t2)).count();
    if (k == 0 || ms < best) best = ms;
  }
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (int status = ParseOptions(argc, argv, o)) return status < 0 ? 0 : status;

  std::printf("kvnbench: LoadLibraryW + FreeLibrary of %ls (the initialisation in DllMain), best of %d\n", kComponent,
              o.repeat);
  std::printf("%8s  %10s  %13s  %s\n", "devices", "ms total", "us per device", "PnP device list");
  std::fflush(stdout);
  for (int count : o.sizes) {
    fs::path dir;
    try {
      CreateMachine(o, count, dir);
      std::string deviceList = WarmUp();
      double ms = BestMilliseconds(o.repeat);
      std::string error;
      if (!winsim::CloseMachine(&error)) throw SetupError("cannot close the machine: " + error);
      std::printf("%8d  %10.3f  %13.3f  %s\n", count, ms, ms * 1000.0 / count, deviceList.c_str());
      std::fflush(stdout);
    } catch (const std::exception &e) {
      if (winsim::IsMachineOpen()) winsim::CloseMachine();
      std::fprintf(stderr, "kvnbench: %d devices: %s\n", count, e.what());
      std::error_code ec;
      if (!o.keep && !dir.empty()) fs::remove_all(dir, ec);
      return 1;
    }
    if (o.keep) {
      std::printf("          machine kept in %s\n", dir.c_str());
    } else {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  }
  return 0;
}
