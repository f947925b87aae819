// The generated machines of kvnbench: the template's settings, registry and drive C:, many
// devices of several setup classes, among them supported adapters of the example package.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <toml++/toml.h>
#include <windows.h>
#include <pewriter.h>
#include <winsim.h>

#include "bench.h"

namespace bench {

const wchar_t kComponent[] = L"C:\\Package\\kvncomp.dll";
const wchar_t kHostImage[] = L"C:\\Package\\kvnhost.exe";
const wchar_t kPackageDir[] = L"C:\\Package";

namespace {

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

// The devices of a machine of `count` devices: the supported adapters spread evenly.
std::string DevicesText(int count, int adapters) {
  adapters = std::min(count, adapters);
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
void WriteMachineToml(const fs::path &templateDir, const fs::path &dir, int count, int adapters) {
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
  out << text.str() << DevicesText(count, adapters);
  if (!out.flush()) throw SetupError("cannot write " + (dir / "machine.toml").string());
}

}  // namespace

void WriteMachine(const Options &o, int count, int adapters, const fs::path &dir) {
  CopyTree(o.machine, dir);
  WriteMachineToml(o.machine, dir, count, adapters);
  // C:\Package: a folder the template machines do not have, so its name is new on drive C:.
  fs::path package = dir / "drive_c" / "Package";
  fs::path host = package / "kvnhost.exe";
  CopyTree(o.package, package);
  std::error_code ec;
  fs::copy_file(o.component, package / "kvncomp.dll", fs::copy_options::overwrite_existing, ec);
  if (ec) throw SetupError("cannot place the component " + o.component.string() + ": " + ec.message());
  mkpe::VersionInfo image;
  mkpe::ParseVersion("1.0.0.0", image.fileVersion);
  image.productVersion = image.fileVersion;
  image.internalName = "kvnhost";
  std::string error;
  if (!mkpe::WriteImage(host.string(), &image, mkpe::FileType::App, &error))
    throw SetupError("cannot write the host image: " + error);
}

void OpenMachine(const fs::path &dir) {
  std::string error;
  if (!winsim::OpenMachine(dir, error)) throw SetupError("the machine " + dir.string() + ": " + error);
}

void CloseMachine() {
  std::string error;
  if (!winsim::CloseMachine(&error)) throw SetupError("cannot close the machine: " + error);
}

}  // namespace bench
