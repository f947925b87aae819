// kvnhost machine new DIR [--from MACHINE]: a machine directory to start from. Without a
// machine to start from, a minimal and consistent one: Windows Server 2019 Standard x64 (the
// defaults of [os]) with one adapter on an older driver, the INF of that driver, its service
// key and the service's device list, the system files the component reads, and the agent
// program's entry. With one, a machine of that base, to which entries are added.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <toml++/toml.h>

#include "hostmachine.h"

namespace fs = std::filesystem;

namespace {

constexpr const char *kMachineToml = R"(# A machine for kvnhost (see the README's "Adding a machine" for every table).
# Windows Server 2019 Standard x64: the defaults of [os]. Change [os] for another release.

[machine]
computer_name = "SRV01"
clock = "2026-12-01T09:00:00"       # a fixed clock: runs repeat exactly

# The adapter, on the driver the package replaces. Its driver's INF is
# drive_c/Windows/INF/oem3.inf and its service's device list is in registry.reg.
[[devices]]
instance_id = 'PCI\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\4&1A2B3C4D&0&0008'
hardware_ids = ['PCI\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01', 'PCI\VEN_8086&DEV_1572&SUBSYS_00018086',
                'PCI\VEN_8086&DEV_1572&CC_020000', 'PCI\VEN_8086&DEV_1572&CC_0200']
compatible_ids = ['PCI\VEN_8086&DEV_1572&REV_01', 'PCI\VEN_8086&DEV_1572', 'PCI\VEN_8086', 'PCI\CC_020000']
class = "Net"
class_guid = "{4D36E972-E325-11CE-BFC1-08002BE10318}"
description = "Ethernet Network Adapter"
status = "started"
[devices.driver]
inf = 'C:\Windows\INF\oem3.inf'
section = "Z40E.ndi"
description = "Ethernet Network Adapter"
manufacturer = "Intel"
provider = "Intel"
version = "1.10.128.0"
date = "2019-05-01"
matching_id = 'PCI\VEN_8086&DEV_1572&SUBSYS_00018086'
service = "z40e"
# [devices.behaviour] says what its operations do: enable_fails, disable_fails,
# state_change_needs_restart, update_needs_reboot, update_error, stays_down.

# The package's agent: its "/install" run creates the agent's service.
[[programs]]
name = "direvo.exe"
exit_code = 0
runs_ms = 500
[programs.creates_service]
when_args = "/install"
name = "direvo"
display_name = "OCD Agent"
type = 16
start_type = 2
)";

constexpr const char *kRegistry = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\z40e]
"Type"=dword:00000001
"Start"=dword:00000003
"ErrorControl"=dword:00000001
"ImagePath"=hex(2):5c,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,\
  74,00,5c,00,53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,64,00,72,\
  00,69,00,76,00,65,00,72,00,73,00,5c,00,7a,00,34,00,30,00,65,00,36,00,34,00,\
  2e,00,73,00,79,00,73,00,00,00
"DisplayName"="Ethernet Network Adapter NDIS 6 driver"
"Group"="NDIS"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\z40e\Enum]
"0"="PCI\\VEN_8086&DEV_1572&SUBSYS_00018086&REV_01\\4&1A2B3C4D&0&0008"
"Count"=dword:00000001
"NextInstance"=dword:00000001
)";

constexpr const char *kOldInf = R"(; The adapter's installed driver, as published when it was installed.
[Version]
Signature   = "$Windows NT$"
Class       = Net
ClassGUID   = {4d36e972-e325-11ce-bfc1-08002be10318}
Provider    = %Intel%
DriverVer   = 05/01/2019,1.10.128.0

[Manufacturer]
%Intel%     = Intel, NTamd64.10.0

[Intel.NTamd64.10.0]
%Z40E.DeviceDesc% = Z40E.ndi, PCI\VEN_8086&DEV_1572&SUBSYS_00018086

[Z40E.ndi]
AddReg = Z40E.Reg

[Z40E.ndi.Services]
AddService = z40e, 2, Z40E.Service

[Z40E.Service]
ServiceType   = 1
StartType     = 3
ErrorControl  = 1
ServiceBinary = %12%\z40e64.sys

[Z40E.Reg]
HKR, Ndi, Service, 0, "z40e"

[Strings]
Intel = "Intel"
Z40E.DeviceDesc = "Ethernet Network Adapter"
)";

constexpr const char *kBinaries = R"(# The program images of this machine, made when it is copied into a state:
# path (under the machine directory)            type  file version      internal name  description
drive_c/Windows/System32/drivers/ndis.sys       drv   10.0.17763.1     ndis.sys       NDIS network driver interface
drive_c/Windows/System32/drivers/z40e64.sys     drv   1.10.128.0       z40e64.sys     Ethernet Network Adapter NDIS 6.x miniport
drive_c/Windows/System32/kernel32.dll           dll   10.0.17763.1     kernel32       Windows NT BASE API Client DLL
drive_c/Windows/System32/newdev.dll             dll   10.0.17763.1     newdev.dll     Add Hardware Device Library
drive_c/Windows/System32/setupapi.dll           dll   10.0.17763.1     setupapi       Windows Setup API
)";

bool WriteText(const fs::path &file, const std::string &text, std::string &error) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::binary);
  out << text;
  if (!out) {
    error = "cannot write " + file.string();
    return false;
  }
  return true;
}

}  // namespace

bool NewMachine(const std::string &dir, const std::string &from, std::string &error) {
  std::error_code ec;
  if (fs::exists(dir, ec)) {
    error = dir + " exists already: machine new writes a new directory";
    return false;
  }
  bool written;
  if (!from.empty()) {
    if (!fs::is_directory(from, ec)) {
      error = "machine directory " + from + " does not exist";
      return false;
    }
    toml::table base{{"base", fs::absolute(from, ec).lexically_normal().string()}};
    std::ostringstream text;
    text << "# A machine that starts from another one: its tables, registry.reg and drive_c/,\n"
            "# with what this directory adds or replaces (see the README's \"Adding a machine\").\n"
         << base << "\n\n# [[devices]] entries replace the base's of the same instance_id; remove = true drops one.\n";
    written = WriteText(fs::path(dir) / "machine.toml", text.str(), error);
  } else {
    const fs::path root(dir);
    written = WriteText(root / "machine.toml", kMachineToml, error) &&
              WriteText(root / "registry.reg", kRegistry, error) &&
              WriteText(root / "drive_c/Windows/INF/oem3.inf", kOldInf, error) &&
              WriteText(root / "binaries.txt", kBinaries, error);
  }
  if (!written) fs::remove_all(dir, ec);  // nothing half written is left
  return written;
}
