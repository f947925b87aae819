// newdev.dll: the driver update of the present devices that match a hardware ID.
//
// UpdateDriverForPlugAndPlayDevicesW reads the INF's driver nodes for the machine's OS, and
// for every present device that has the ID among its hardware or compatible IDs (without
// regard to case) takes the node that ranks best for it (then the latest date, the highest
// version). Without INSTALLFLAG_FORCE a device keeps its driver unless that node is better;
// the others get the node installed (devinstall.h). With bRebootRequired null a restart that
// is needed is a prompt on Windows: winsim records it (RecordPrompt) and goes on as if nobody
// answered.
#include <windows.h>
#include <newdev.h>

#include "setupapi/devinstall.h"
#include "machine/devices.h"
#include "plumbing/hooks.h"
#include "base/names.h"
#include "machine/system.h"
#include "plumbing/calls.h"

using namespace winsim;

namespace {

bool HasId(const Device &d, std::wstring_view id) {
  for (const auto *list : {&d.hardwareIds, &d.compatibleIds})
    for (const std::wstring &own : *list)
      if (EqualNoCase(own, id)) return true;
  return false;
}

// The node of the INF that ranks best for the device, with its rank and the ID it matched.
std::optional<InfDriverNode> BestNode(const std::vector<InfDriverNode> &nodes, const Device &device) {
  std::optional<InfDriverNode> best;
  for (const InfDriverNode &node : nodes) {
    std::wstring matched;
    std::optional<DWORD> rank = RankFor(node, device, &matched);
    if (!rank) continue;
    InfDriverNode candidate = node;
    candidate.driver.rank = *rank;
    candidate.driver.matchingId = matched;
    if (!best || IsBetterDriver(candidate.driver, best->driver)) best = std::move(candidate);
  }
  return best;
}

}  // namespace

extern "C" {

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired) {
  WINSIM_ENTRY("newdev.dll", UpdateDriverForPlugAndPlayDevicesW, FALSE, HardwareId, FullInfPath);
  (void)hwndParent;  // nothing is shown
  if (InstallFlags & ~DWORD(INSTALLFLAG_BITS)) return Fail(ERROR_INVALID_FLAGS, FALSE);
  if (!HardwareId || !*HardwareId || !FullInfPath || !*FullInfPath) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const OsSpec &os = System().os;
  if (os.processArchitecture != os.nativeArchitecture) return Fail(ERROR_IN_WOW64, FALSE);
  DWORD attributes = GetFileAttributesW(FullInfPath);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return Fail(ERROR_FILE_NOT_FOUND, FALSE);

  std::vector<DEVINST> matching;
  for (const Device &d : Devices().devices)
    if (!d.removed && d.registered && d.present && HasId(d, HardwareId)) matching.push_back(d.devInst);
  if (matching.empty()) return Fail(ERROR_NO_SUCH_DEVINST, FALSE);

  std::vector<InfDriverNode> nodes;
  if (DWORD e = ReadInfDriverNodes(FullInfPath, nodes)) return Fail(e, FALSE);
  bool reboot = false, installed = false;
  for (DEVINST devInst : matching) {
    Device *d = Devices().ByDevInst(devInst);
    if (!d) continue;
    if (d->behaviour.updateError) return Fail(d->behaviour.updateError, FALSE);
    std::optional<InfDriverNode> node = BestNode(nodes, *d);
    if (!node) continue;
    if (!(InstallFlags & INSTALLFLAG_FORCE) && d->driver && !IsBetterDriver(node->driver, *d->driver)) continue;
    if (DWORD e = InstallDriverNode(*d, std::move(*node), NodeInstall{}, reboot)) return Fail(e, FALSE);
    installed = true;
  }
  // No device took the driver: none was better than what it has (or the INF has none for it).
  if (!installed) return Fail(ERROR_NO_MORE_ITEMS, FALSE);
  if (bRebootRequired)
    *bRebootRequired = reboot ? TRUE : FALSE;
  else if (reboot)
    // With no variable to take the answer, Windows asks the user to restart the computer.
    RecordPrompt("UpdateDriverForPlugAndPlayDevicesW",
                 "a restart is needed and bRebootRequired is NULL: Windows would ask the user to restart now");
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // extern "C"
