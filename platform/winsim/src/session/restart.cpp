// A restart of the simulated machine: what Windows completes while it shuts down and boots.
//
// In order: the Session Manager carries out PendingFileRenameOperations pair by pair
// (a rename, a replacement when the target starts with '!', a deletion when the target is
// empty; a pair that fails is skipped, as Windows skips it) and deletes the value; services
// whose keys hold DeleteFlag = 1 lose their keys and run-time state, and the service control
// manager reads its database (start types, deletion marks) from the registry again; devices
// waiting for a restart take the status their waiting change gives them (a device that
// cannot be stopped), or start on their driver (problem CM_PROB_NEED_RESTART, or a driver
// installed without the configuration manager), or keep a failed installation
// (CM_PROB_FAILED_INSTALL) when they have none; volatile keys go; the clock moves on by the
// time the restart takes. The processes that held files locked end with the shutdown, so the
// pending operations run without the locks of [[locked_files]], which hold again afterwards.
// Not modelled: services starting and stopping with the restart (their run-time state is
// kept), PendingFileRenameOperations2, boot-time programs.
#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/calendar.h"
#include "machine/devices.h"
#include "machine/clock.h"
#include "machine/filesystem.h"
#include "machine/machine.h"
#include "base/names.h"
#include "machine/registry.h"
#include "machine/services.h"
#include "winsim.h"

namespace winsim {
namespace {

constexpr DWORD kProblemNeedRestart = 14;  // CM_PROB_NEED_RESTART
constexpr int64_t kRestartSeconds = 120;

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::wstring NtToDos(std::wstring path) {
  if (path.rfind(L"\\??\\", 0) == 0) path.erase(0, 4);
  return path;
}

// The strings of a REG_MULTI_SZ image (UTF-16 code units kept as they are), empty ones included (a deletion's target is
// one); the list ends at the double terminator.
std::vector<std::wstring> MultiStrings(const std::vector<BYTE> &data) {
  std::vector<std::wstring> out;
  std::wstring current;
  size_t units = data.size() / 2;  // the image is UTF-16LE, whatever the host's wchar_t
  for (size_t i = 0; i < units; ++i) {
    wchar_t c = wchar_t(data[2 * i] | data[2 * i + 1] << 8);
    if (c) {
      current += wchar_t(c);
      continue;
    }
    out.push_back(current);
    current.clear();
  }
  if (!current.empty()) out.push_back(current);
  // The list's own terminator shows up as a last empty string after an even count.
  if (out.size() % 2 == 1 && out.back().empty()) out.pop_back();
  return out;
}

void PendingFileOperations(std::vector<RestartStep> &steps) {
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> key;
  if (r.Open(r.Predefined(HKEY_LOCAL_MACHINE), kSessionManager, &key) != ERROR_SUCCESS) return;
  RegValue *value = key->FindValue(L"PendingFileRenameOperations");
  if (!value) return;
  std::vector<std::wstring> strings = MultiStrings(value->data);
  std::vector<LockedFile> locks = std::exchange(FileSystem().lockedFiles, {});
  for (size_t i = 0; i + 1 < strings.size(); i += 2) {
    std::wstring from = NtToDos(strings[i]), to = strings[i + 1];
    RestartStep step;
    BOOL ok;
    if (to.empty()) {
      step.kind = "delete";
      step.what = ToUtf8(from);
      DWORD attributes = GetFileAttributesW(from.c_str());
      ok = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
               ? RemoveDirectoryW(from.c_str())
               : DeleteFileW(from.c_str());
    } else {
      bool replace = to[0] == L'!';
      to = NtToDos(replace ? to.substr(1) : to);
      step.kind = replace ? "replace" : "rename";
      step.what = ToUtf8(from) + " -> " + ToUtf8(to);
      ok = MoveFileExW(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0);
    }
    step.error = ok ? 0 : GetLastError();
    steps.push_back(step);
  }
  FileSystem().lockedFiles = std::move(locks);
  std::erase_if(key->values, [](const RegValue &v) { return EqualNoCase(v.name, L"PendingFileRenameOperations"); });
  r.Touch(key.get());
}

void DeletedServices(std::vector<RestartStep> &steps) {
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> services;
  if (r.Open(r.Predefined(HKEY_LOCAL_MACHINE), L"SYSTEM\\CurrentControlSet\\Services", &services) != ERROR_SUCCESS)
    return;
  std::vector<RegKey *> marked;
  for (auto &[upper, key] : services->subkeys) {
    RegValue *flag = key->FindValue(L"DeleteFlag");
    if (flag && flag->type == REG_DWORD && flag->data.size() == 4 && flag->data[0] == 1 && !flag->data[1] &&
        !flag->data[2] && !flag->data[3] && key->FindValue(L"Type"))
      marked.push_back(key.get());
  }
  for (RegKey *key : marked) {
    steps.push_back({"service removed", ToUtf8(key->name), 0});
    Services().runtime.erase(Upcased(key->name));
    Services().changed = true;
    r.Remove(key);
  }
}

// The status a device's waiting change gives it, or started for one that waited with problem
// CM_PROB_NEED_RESTART; a device to start without a driver keeps a failed installation.
void WaitingDevices(std::vector<RestartStep> &steps) {
  for (Device &d : Devices().devices) {
    if (d.removed || !d.present) continue;
    const bool needRestart = d.status == DeviceStatus::Problem && d.problem == kProblemNeedRestart;
    if (!d.pendingStatus && !needRestart) continue;
    DeviceListing before = ListingOf(d);
    const DeviceStatus next = d.pendingStatus.value_or(DeviceStatus::Started);
    d.pendingStatus.reset();
    if (next != DeviceStatus::Started) {
      d.status = next;
      d.problem = 0;
      steps.push_back({next == DeviceStatus::Disabled ? "device disabled" : "device stopped", ToUtf8(d.instanceId), 0});
    } else if (d.driver) {
      d.status = DeviceStatus::Started;
      d.problem = 0;
      steps.push_back({"device started", ToUtf8(d.instanceId), 0});
    } else {
      d.status = DeviceStatus::Problem;
      d.problem = CM_PROB_FAILED_INSTALL;
      steps.push_back({"device has no driver", ToUtf8(d.instanceId) + " (problem 28, CM_PROB_FAILED_INSTALL)", 0});
    }
    d.changed = true;
    MirrorDevice(d);
    UpdateServiceLists(d, before);
  }
}

void VolatileKeys(RegKey &key, std::vector<RegKey *> &out) {
  for (auto &[upper, child] : key.subkeys) {
    if (child->isVolatile)
      out.push_back(child.get());
    else
      VolatileKeys(*child, out);
  }
}

void MoveClock(std::vector<RestartStep> &steps) {
  if (!Clock().Fixed()) {
    steps.push_back({"clock", "the host's clock: it moves on by itself", 0});
    return;
  }
  int64_t after = Clock().LocalFromUtc(Clock().Now()) + kRestartSeconds * kTicksPerSecond;
  Clock().StartNextAt(after);
  steps.push_back(
      {"clock", IsoDateTimeText(after) + " (" + std::to_string(kRestartSeconds) + " s for the restart)", 0});
}

}  // namespace

bool RestartMachine(std::vector<RestartStep> &steps, std::string &error) {
  if (!HasMachine()) {
    error = "no machine is open";
    return false;
  }
  PendingFileOperations(steps);
  DeletedServices(steps);
  Services().Boot();
  WaitingDevices(steps);
  std::vector<RegKey *> volatileKeys;
  for (RegKey *root : Registry().Roots()) VolatileKeys(*root, volatileKeys);
  for (RegKey *key : volatileKeys) {
    steps.push_back({"volatile key removed", ToUtf8(key->Path()), 0});
    Registry().Remove(key);
  }
  MoveClock(steps);
  return true;
}

}  // namespace winsim
