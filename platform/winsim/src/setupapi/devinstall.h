// Installing a driver from an INF file on a device, shared by the class installer
// (DIF_INSTALLDEVICE, setupapi.cpp) and the driver update of newdev.dll (newdev.cpp).
//
// An INF's driver nodes are the lines of its models sections: the [Manufacturer] line names a
// models section and the decorations it comes in ("NTamd64", "NTamd64.10.0"); the one that
// fits the machine's OS best is read (an undecorated section only on 32-bit Windows, as
// Windows requires decorated models elsewhere). Each line "description = install section,
// hardware ID[, compatible IDs]" is one node. Matching is without regard to case.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "machine/devices.h"

namespace winsim {

struct InfDriverNode {
  DeviceDriver driver;      // inf (the full path read), section (as the model names it), texts, version, date
  std::wstring sectionExt;  // the decoration of the install section found (".NTamd64", or empty)
  std::wstring hardwareId;  // the model's hardware ID
  std::vector<std::wstring> compatibleIds;
  std::optional<GUID> classGuid;  // [Version] ClassGuid
  std::wstring className;         // [Version] Class
  bool signedPackage = false;     // the package has the catalogue its INF names
  BYTE featureScore = 0xFF;       // the install section's FeatureScore, 0xFF without one
};

// The driver nodes of an INF file for this machine's OS, in the file's order. ERROR_SUCCESS,
// or the error of opening or reading the file.
DWORD ReadInfDriverNodes(const std::wstring &infPath, std::vector<InfDriverNode> &out);

// The rank of a node for a device, on Windows' scale (lower is better). From Windows Vista on
// it is 0xSSGGTHHH: the signature score SS (0x00 for a package with the catalogue its INF
// names, which winsim takes for signed without checking a signature; 0x80 without, as
// SIGNERSCORE_UNSIGNED), the feature score GG (the install section's FeatureScore, 0xFF
// without one) and the identifier score THHH: 0x0000-0x0FFF a hardware ID of the device is
// the model's hardware ID, 0x1000-0x1FFF one of the model's compatible IDs, 0x2000-0x2FFF a
// compatible ID of the device is the model's hardware ID, 0x3000-0x3FFF one of its compatible
// IDs, each step down either list adding to it. Before Vista the rank is the identifier score,
// plus 0x8000 (DRIVER_UNTRUSTED_RANK) for an unsigned package. Nothing when no ID matches;
// `matched` receives the INF's ID that matched.
std::optional<DWORD> RankFor(const InfDriverNode &node, const Device &device, std::wstring *matched = nullptr);

// Whether a candidate driver is better than the installed one: a lower rank, then a later
// date, then a higher version.
bool IsBetterDriver(const DeviceDriver &candidate, const DeviceDriver &installed);

// Installs the node on the device: the INF published as oemN.inf, the install section's
// CopyFiles lists copied to their DestinationDirs (unless `how` says DI_NOFILECOPY), the
// .Services section's services (its ASSOCSERVICE line names the device's service), the
// section's AddReg with HKR the driver key and the .HW section's with HKR the device's
// "Device Parameters" key, the driver record and its key's values replaced, and the device
// restarted on its new driver. `reboot` is set when files in use are replaced at the next
// restart or the device asks for one. ERROR_SUCCESS or the error of the step that failed
// (the device keeps its former driver when a step before the record fails).
struct NodeInstall {
  bool copyFiles = true;  // false: DI_NOFILECOPY
  // false: DI_DONOTCALLCONFIGMG. The configuration manager is not asked to restart the
  // device: it takes its new driver when its service starts or at the restart.
  bool startDevice = true;
};
DWORD InstallDriverNode(Device &device, InfDriverNode node, const NodeInstall &how, bool &reboot);

// DIF_INSTALLDEVICE without a selected driver: the device keeps no driver and no service, and
// reports that its drivers are not installed.
void InstallNullDriver(Device &device);

}  // namespace winsim
