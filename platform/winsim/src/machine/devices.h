// The devices of the simulated machine: machine.toml's [[devices]] entries with their
// identifiers, setup class, device interface classes, configuration-manager state and the
// driver installed for each. Each fact has one home. [[devices]] holds a device's identity,
// its status and its driver record; at load the values derived from them are refreshed into
// the keys where Windows keeps them, HKLM\SYSTEM\CurrentControlSet\Enum\<instance ID> and
// the driver key Control\Class\{class GUID}\NNNN. Those are ordinary keys of the registry,
// saved in registry.reg with everything else written into them (an INF's AddReg below the
// driver key survives the run). Run-time changes of a device go back into machine.toml
// (SaveDevices).
//
// [[devices]] keys (all optional but instance_id; a key of the wrong type is a load error):
//   instance_id     enumerator\device\instance, shorter than MAX_DEVICE_ID_LEN, unique
//                   without regard to case
//   hardware_ids, compatible_ids
//                   lists of texts, in the device's order. A REG_MULTI_SZ cannot hold an empty
//                   string (it would end the list), so empty entries are left out; a list
//                   left empty gives the device no such property.
//   class, class_guid ("{...}"), interfaces (device interface class GUIDs), description
//   present         default true; a device that is not present has no device node
//   status          "started" (default) | "disabled" | "problem" | "not_started"
//   problem         CM_PROB_* number, required (nonzero) with status = "problem"
//   private_problem DN_PRIVATE_PROBLEM
//   pending_status  "started" | "disabled" | "not_started": the status a change that waits
//                   for the restart gives the device then (written by winsim; the device
//                   reports DN_NEED_RESTART meanwhile)
//   [devices.driver]    the installed driver: inf (full path), section, description,
//                   manufacturer, provider, version "a.b.c.d" (16-bit parts), date
//                   "YYYY-MM-DD", flags (DNF_*), rank, matching_id; needs the class_guid
//                   service (the function driver's service), key (its driver key
//                   "{class guid}\NNNN"; by default numbered per class in [[devices]] order)
//   [devices.behaviour] enable_fails, stays_down, disable_fails, state_change_needs_restart,
//                   update_needs_reboot (true or false), update_error (a number)
// An unknown key is a load error, as everywhere in machine.toml.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <guiddef.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <toml++/toml.h>

#include "machine/part.h"

namespace winsim {

enum class DeviceStatus { Started, Disabled, Problem, NotStarted };

struct DeviceDriver {
  std::wstring inf;  // full Windows path of the INF file
  std::wstring section, description, manufacturer, provider, matchingId;
  WORD version[4] = {};                          // most significant first
  bool hasVersion = false;                       // version given
  int dateYear = 0, dateMonth = 0, dateDay = 0;  // 0: no date given
  int64_t date = 0;                              // FILETIME units: midnight UTC of the date
  DWORD flags = 0;                               // SP_DRVINSTALL_PARAMS.Flags (DNF_*)
  DWORD rank = 0;
  std::wstring service;  // the function driver's service (Enum\<instance>\Service)
  std::wstring key;      // "{class guid}\NNNN" below Control\Class (the registry's Driver value)

  DWORDLONG PackedVersion() const;  // SP_DRVINFO_DATA_V2_W.DriverVersion
};

// [devices.behaviour]: faults and effects of the device's operations.
struct DeviceBehaviour {
  bool enableFails = false;  // DIF_PROPERTYCHANGE enable fails
  // Once down the device does not come back: an enable or start through DIF_PROPERTYCHANGE
  // succeeds and changes nothing, and a new driver leaves it stopped instead of restarting it.
  bool staysDown = false;
  bool disableFails = false;
  // The device cannot be stopped: a state change answers DI_NEEDRESTART, and the device runs
  // as it is until the restart, when the change takes effect; a driver update while it runs
  // reports a reboot.
  bool stateChangeNeedsRestart = false;
  bool updateNeedsReboot = false;  // a driver update while the device runs reports a reboot
  DWORD updateError = 0;           // non-zero: the update of this device fails with it
};

struct Device {
  size_t entry = 0;     // position among machine.toml's [[devices]]
  DEVINST devInst = 0;  // entry + 1: stable for the machine
  std::wstring instanceId;
  std::vector<std::wstring> hardwareIds, compatibleIds;
  std::wstring className;
  std::optional<GUID> classGuid;
  std::vector<GUID> interfaces;
  std::wstring description;
  bool present = true;
  DeviceStatus status = DeviceStatus::Started;
  DWORD problem = 0;  // CM_PROB_* given with status "problem"
  bool privateProblem = false;
  // The status a change that waits for the restart gives the device then: a state change of
  // a device that cannot be stopped, or a driver installed without calling the configuration
  // manager (the device starts with its service, or at the restart).
  std::optional<DeviceStatus> pendingStatus;
  std::optional<DeviceDriver> driver;
  DeviceBehaviour behaviour;
  bool changed = false;  // run-time state differs from machine.toml: SaveDevices writes it
  // SetupDiRemoveDevice took it off the machine: no lookup finds it, its Enum key is gone,
  // and SaveDevices drops its entry.
  bool removed = false;
  // Created by SetupDiCreateDeviceInfoW during the run (SaveDevices adds its entry). Until it
  // is registered it has no Enum key, and it goes with the set that created it.
  bool created = false;
  bool registered = true;

  std::wstring Enumerator() const;  // the instance ID's first part ("PCI")
  // Runs a function driver now: started, or waiting for the restart to take a new driver.
  bool Running() const;
  // The configuration manager's view: DN_* bits and the problem number.
  ULONG StatusBits() const;
  ULONG ProblemNumber() const;
  bool Exposes(const GUID &interfaceClass) const;
};

// The device part. Load: the devices of machine.toml's [[devices]] and their registry keys
// (after the registry); a mistake of an entry names the entry and the key. Save: the
// run-time state of the devices that changed back into machine.toml's entries.
class DeviceTree : public MachinePart {
 public:
  std::vector<Device> devices;  // machine.toml's order, which is the order SetupAPI numbers them

  Device *ByDevInst(DEVINST devInst);
  Device *ByInstanceId(std::wstring_view instanceId);

  bool Load(MachineFile &file) override;
  bool Save(MachineFile &file, std::string &error) override;
};

// The open machine's devices.
DeviceTree &Devices();

// Refreshes the values of a device's Enum key and driver key that come from the model,
// creating the keys when missing and leaving every other value and subkey as it is (at load,
// and after its state or its driver changed).
void MirrorDevice(const Device &device);

// What a service's device list (Services\<service>\Enum) says of a device: listed when it
// is started and its function driver is a service.
struct DeviceListing {
  bool started = false;
  std::wstring service;
};
DeviceListing ListingOf(const Device &device);

// After a run-time change of a device (started, stopped, disabled, enabled, removed, or given
// a driver of another service), updates the device lists of the services it left and joined,
// as the PnP manager does: HKLM\SYSTEM\CurrentControlSet\Services\<service>\Enum holds
// Count, NextInstance and the values 0 ... Count-1 with the instance IDs of the service's
// started devices. A list is the registry's own: it is changed here and never rebuilt, so a
// stale list in registry.reg stays as it is until a change touches it. A service without a
// key gains no list.
void UpdateServiceLists(const Device &device, const DeviceListing &before);

// A driver service (kernel or file system) that no device of the machine names as its function
// driver is a legacy (non-PnP) one: up to Windows 7 / Server 2008 R2, when it starts its device
// node Enum\ROOT\LEGACY_<SERVICE>\0000 is made (it stays) and its list holds it, and the list
// loses it when it stops. Later Windows make no such node; other services have none.
void ListLegacyService(const std::wstring &service, bool started);

// The start of a service starts the devices that have it as their function driver and wait,
// not started, for their driver to be loaded (pendingStatus "started").
void StartWaitingDevices(const std::wstring &service);

// Where the registry keeps devices and drivers, below HKEY_LOCAL_MACHINE.
constexpr const wchar_t *kEnumKeyPath = L"SYSTEM\\CurrentControlSet\\Enum";
constexpr const wchar_t *kClassKeyPath = L"SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr const wchar_t *kServicesKeyPath = L"SYSTEM\\CurrentControlSet\\Services";

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" <-> GUID. The registry writes GUIDs in lower case.
std::wstring GuidText(const GUID &guid, bool upperCase = false);
bool ParseGuid(std::wstring_view text, GUID &guid);

}  // namespace winsim
