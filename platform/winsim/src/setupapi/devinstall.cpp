#include "setupapi/devinstall.h"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <type_traits>

#include "base/calendar.h"
#include "setupapi/inf.h"
#include "base/names.h"
#include "plumbing/owners.h"
#include "plumbing/paths.h"
#include "machine/registry.h"
#include "machine/devices.h"
#include "machine/system.h"
#include "base/diagnostics.h"

namespace winsim {

namespace {

// The first field of the first line with that key, or empty.
std::wstring ValueOf(const InfData &data, const wchar_t *section, const wchar_t *key) {
  const InfSection *s = data.Find(section);
  if (s)
    for (const InfLine &line : s->lines)
      if (line.hasKey && EqualNoCase(line.key, key)) return std::wstring(line.fields.front());
  return L"";
}

std::vector<std::wstring> Split(std::wstring_view text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.emplace_back(text.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start));
    if (end == std::wstring_view::npos) return parts;
    start = end + 1;
  }
}

bool Number(std::wstring_view text, unsigned long &value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of(L"0123456789") != std::wstring_view::npos) return false;
  value = std::stoul(std::wstring(text));
  return true;
}

const wchar_t *ArchitectureName(WORD architecture) {
  switch (architecture) {
    case 0: return L"x86";
    case 5: return L"arm";
    case 6: return L"ia64";
    case 9: return L"amd64";
    case 12: return L"arm64";
    default: return L"";
  }
}

// How well a models-section decoration ("NTamd64.10.0...1") fits the OS: -1 when it does
// not apply, otherwise higher for an architecture named and a later OS version.
long DecorationScore(std::wstring_view decoration, const OsSpec &os) {
  std::vector<std::wstring> parts = Split(decoration, L'.');
  if (parts[0].size() < 2 || !EqualNoCase(parts[0].substr(0, 2), L"NT")) return -1;
  std::wstring arch = parts[0].substr(2);
  if (!arch.empty() && !EqualNoCase(arch, ArchitectureName(os.nativeArchitecture))) return -1;
  unsigned long major = 0, minor = 0, product = 0, build = 0;
  if (parts.size() > 1 && !parts[1].empty() && (!Number(parts[1], major) || major > os.major)) return -1;
  if (parts.size() > 2 && !parts[2].empty() && (!Number(parts[2], minor) || (major == os.major && minor > os.minor)))
    return -1;
  if (parts.size() > 3 && !parts[3].empty() && (!Number(parts[3], product) || product != os.productType)) return -1;
  if (parts.size() > 5 && !parts[5].empty() && (!Number(parts[5], build) || build > os.build)) return -1;
  return (arch.empty() ? 0 : 0x40000000L) + long(std::min(major, 255ul) << 16) + long(std::min(minor, 255ul) << 8) +
         (product ? 2 : 0) + (build ? 1 : 0);
}

// DriverVer = mm/dd/yyyy[,a.b.c.d]
void ReadDriverVer(const InfData &data, DeviceDriver &d) {
  const InfSection *version = data.Find(L"Version");
  if (!version) return;
  for (const InfLine &line : version->lines) {
    if (!line.hasKey || !EqualNoCase(line.key, L"DriverVer")) continue;
    std::vector<std::wstring> date = Split(line.fields[0], L'/');
    unsigned long m = 0, day = 0, y = 0;
    if (date.size() == 3 && Number(date[0], m) && Number(date[1], day) && Number(date[2], y) && m >= 1 && m <= 12 &&
        day >= 1 && day <= 31 && y >= 1601) {
      d.dateYear = int(y), d.dateMonth = int(m), d.dateDay = int(day);
      d.date = DaysFrom1601(d.dateYear, d.dateMonth, d.dateDay) * kTicksPerDay;
    }
    if (const std::wstring_view *v = Field(line, 2)) {
      std::vector<std::wstring> parts = Split(*v, L'.');
      unsigned long part = 0;
      bool ok = !parts.empty() && parts.size() <= 4;
      for (size_t i = 0; ok && i < parts.size(); ++i) {
        ok = Number(parts[i], part) && part <= 0xFFFF;
        if (ok) d.version[i] = WORD(part);
      }
      d.hasVersion = ok;
      if (!ok) std::fill(std::begin(d.version), std::end(d.version), WORD(0));
    }
    return;
  }
}

// The install section's decorated name that exists: .NT<arch>, then .NT, then none.
bool FindInstallSection(const InfData &data, std::wstring_view base, const OsSpec &os, std::wstring &ext) {
  for (std::wstring candidate :
       {std::wstring(L".NT") + ArchitectureName(os.nativeArchitecture), std::wstring(L".NT"), std::wstring()}) {
    if (data.Find(std::wstring(base) + candidate)) {
      ext = candidate;
      return true;
    }
  }
  return false;
}

// ---- file lists ---------------------------------------------------------------------------

struct Destination {
  unsigned dirid = 0;
  std::wstring subdir;
};

bool DestinationOf(const InfData &data, std::wstring_view list, Destination &out) {
  const InfSection *dirs = data.Find(L"DestinationDirs");
  const InfLine *found = nullptr, *fallback = nullptr;
  if (dirs)
    for (const InfLine &line : dirs->lines) {
      if (!line.hasKey) continue;
      if (EqualNoCase(line.key, list)) found = &line;
      if (EqualNoCase(line.key, L"DefaultDestDir")) fallback = &line;
    }
  const InfLine *use = found ? found : fallback;
  if (!use) {
    out.dirid = 11;  // Windows' default when the INF names none: the system folder
    return true;
  }
  unsigned long id = 0;
  if (!Number(use->fields[0], id)) return false;
  out.dirid = unsigned(id);
  if (const std::wstring_view *sub = Field(*use, 2)) out.subdir = *sub;
  return true;
}

// Where a file of the package is: the INF's folder, the path of its source disk and the
// subfolder SourceDisksFiles gives it.
std::wstring SourceOf(const InfData &data, const std::wstring &infDir, const std::wstring &name, const OsSpec &os) {
  std::wstring arch = std::wstring(L".") + ArchitectureName(os.nativeArchitecture);
  auto lineOf = [&](const wchar_t *section, std::wstring_view key) -> const InfLine * {
    for (std::wstring s : {std::wstring(section) + arch, std::wstring(section)})
      if (const InfSection *sec = data.Find(s))
        for (const InfLine &line : sec->lines)
          if (line.hasKey && EqualNoCase(line.key, key)) return &line;
    return nullptr;
  };
  std::wstring path = infDir;
  auto append = [&](std::wstring_view part) {
    size_t start = part.find_first_not_of(L"\\");
    if (start == std::wstring_view::npos) return;
    path += L"\\";
    path += part.substr(start);
  };
  if (const InfLine *file = lineOf(L"SourceDisksFiles", name)) {
    if (const InfLine *disk = lineOf(L"SourceDisksNames", file->fields[0]))
      if (const std::wstring_view *diskPath = Field(*disk, 4)) append(*diskPath);
    if (const std::wstring_view *sub = Field(*file, 2)) append(*sub);
  }
  return path + L"\\" + name;
}

DWORD CreateFolders(const std::wstring &folder) {
  std::wstring parent = ParentOf(folder);
  if (!parent.empty() && parent != folder && GetFileAttributesW(parent.c_str()) == INVALID_FILE_ATTRIBUTES)
    if (DWORD e = CreateFolders(parent)) return e;
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return GetLastError();
  return ERROR_SUCCESS;
}

bool InUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE;
}

// One file: copied over the destination; a destination in use gets the new file under a
// temporary name beside it, moved over it at the next restart.
DWORD CopyOne(const std::wstring &source, const std::wstring &folder, const std::wstring &name, bool &reboot) {
  if (DWORD e = CreateFolders(folder)) return e;
  std::wstring target = folder + L"\\" + name;
  if (CopyFileW(source.c_str(), target.c_str(), FALSE)) return ERROR_SUCCESS;
  DWORD error = GetLastError();
  if (!InUse(error)) return error;
  WCHAR temp[MAX_PATH];
  if (!GetTempFileNameW(folder.c_str(), L"SET", 0, temp)) return GetLastError();
  if (!CopyFileW(source.c_str(), temp, FALSE) ||
      !MoveFileExW(temp, target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
    DWORD e = GetLastError();
    DeleteFileW(temp);
    return e;
  }
  reboot = true;
  return ERROR_SUCCESS;
}

// Each file the install section's CopyFiles names, as source path, destination folder and
// name: "@file" to the DefaultDestDir, or file-list sections whose lines are
// "destination[, source[, temporary[, flags]]]". Stops at the first error `visit` answers.
template <typename Visit>
DWORD ForEachFileCopy(const InfFile &inf, const InfSection &install, const OsSpec &os, Visit visit) {
  const DirIds dirIds = MachineDirIds(inf.path);
  const std::wstring infDir = ParentOf(inf.path);
  auto folderOf = [&](std::wstring_view list, std::wstring &folder) -> DWORD {
    Destination dest;
    if (!DestinationOf(inf.data, list, dest)) return ERROR_INVALID_DATA;
    auto it = dirIds.find(dest.dirid);
    if (it == dirIds.end()) {
      NotModelled("UpdateDriverForPlugAndPlayDevicesW", "DIRID " + std::to_string(dest.dirid));
      return ERROR_CALL_NOT_IMPLEMENTED;
    }
    folder = it->second;
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    if (!dest.subdir.empty()) folder += L"\\" + dest.subdir;
    return ERROR_SUCCESS;
  };
  for (const InfLine &line : install.lines) {
    if (!line.hasKey || !EqualNoCase(line.key, L"CopyFiles")) continue;
    for (std::wstring_view entry : line.fields) {
      if (entry.empty()) continue;
      std::wstring folder;
      if (entry[0] == L'@') {
        std::wstring name(entry.substr(1));
        if (DWORD e = folderOf(L"DefaultDestDir", folder)) return e;
        if (DWORD e = visit(SourceOf(inf.data, infDir, name, os), folder, name)) return e;
        continue;
      }
      const InfSection *list = inf.data.Find(entry);
      if (!list) return ERROR_SECTION_NOT_FOUND;
      if (DWORD e = folderOf(entry, folder)) return e;
      for (const InfLine &file : list->lines) {
        std::wstring target(file.hasKey ? file.key : file.fields[0]);
        const std::wstring_view *source = file.hasKey ? Field(file, 1) : Field(file, 2);
        std::wstring from = source && !source->empty() ? std::wstring(*source) : target;
        if (target.empty()) continue;
        if (DWORD e = visit(SourceOf(inf.data, infDir, from, os), folder, target)) return e;
      }
    }
  }
  return ERROR_SUCCESS;
}

bool IsFile(const std::wstring &path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The catalogue the INF names for this machine ([Version] CatalogFile.NT<arch>, else
// CatalogFile.NT, else CatalogFile), as a path beside the INF; empty when it names none.
std::wstring CatalogOf(const InfFile &inf, const OsSpec &os) {
  for (std::wstring key : {std::wstring(L"CatalogFile.NT") + ArchitectureName(os.nativeArchitecture),
                           std::wstring(L"CatalogFile.NT"), std::wstring(L"CatalogFile")}) {
    std::wstring name = ValueOf(inf.data, L"Version", key.c_str());
    if (!name.empty()) return ParentOf(inf.path) + L"\\" + name;
  }
  return L"";
}

// A driver package is staged all or nothing, as the driver store imports it: a catalogue the
// INF names or a file its install section copies that the package lacks fails the
// installation before anything of the machine changes. No document names the error Windows
// answers then; winsim answers ERROR_FILE_NOT_FOUND.
DWORD CheckPackageWhole(const InfFile &inf, const InfSection &install, const OsSpec &os) {
  std::wstring catalog = CatalogOf(inf, os);
  if (!catalog.empty() && !IsFile(catalog)) return ERROR_FILE_NOT_FOUND;
  return ForEachFileCopy(inf, install, os, [](const std::wstring &source, const std::wstring &, const std::wstring &) {
    return IsFile(source) ? DWORD(ERROR_SUCCESS) : DWORD(ERROR_FILE_NOT_FOUND);
  });
}

// ---- keys ------------------------------------------------------------------------------------

// The lowest NNNN below Control\Class\{guid} that no key and no device's driver has.
std::wstring NewDriverKey(const GUID &guid) {
  std::wstring classPath = std::wstring(kClassKeyPath) + L"\\" + GuidText(guid);
  for (unsigned n = 0;; ++n) {
    wchar_t number[16];
    std::swprintf(number, 16, L"%04u", n);
    std::wstring key = GuidText(guid) + L"\\" + number;
    bool taken = false;
    for (const Device &d : Devices().devices)
      taken = taken || (!d.removed && d.driver && EqualNoCase(d.driver->key, key));
    HKEY existing = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (classPath + L"\\" + number).c_str(), 0, KEY_READ, &existing) ==
        ERROR_SUCCESS) {
      RegCloseKey(existing);
      taken = true;
    }
    if (!taken) return key;
  }
}

DWORD ApplyAddReg(HINF hinf, const std::wstring &section, const std::wstring &keyPath) {
  HKEY raw = nullptr;
  LSTATUS e =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr);
  if (e != ERROR_SUCCESS) return DWORD(e);
  KeyOwner key(raw);
  if (!SetupInstallFromInfSectionW(nullptr, hinf, section.c_str(), SPINST_REGISTRY, key.get(), nullptr, 0, nullptr,
                                   nullptr, nullptr, nullptr))
    return GetLastError();
  return ERROR_SUCCESS;
}

}  // namespace

DWORD ReadInfDriverNodes(const std::wstring &infPath, std::vector<InfDriverNode> &out) {
  UINT errorLine = 0;
  HINF h = SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  InfOwner owner(h);
  std::shared_ptr<InfFile> inf = FindInf(h);
  const InfData &data = inf->data;
  const OsSpec &os = System().os;

  InfDriverNode common;
  common.driver.inf = inf->path;
  common.driver.provider = ValueOf(data, L"Version", L"Provider");
  common.className = ValueOf(data, L"Version", L"Class");
  GUID guid;
  if (ParseGuid(ValueOf(data, L"Version", L"ClassGuid"), guid)) common.classGuid = guid;
  ReadDriverVer(data, common.driver);
  std::wstring catalog = CatalogOf(*inf, os);
  common.signedPackage = !catalog.empty() && IsFile(catalog);

  const InfSection *manufacturers = data.Find(L"Manufacturer");
  if (!manufacturers) return ERROR_SUCCESS;
  for (const InfLine &mfg : manufacturers->lines) {
    const std::wstring base(mfg.fields[0]);
    std::wstring models;
    long best = -1;
    for (size_t i = 1; i < mfg.fields.size(); ++i) {
      long score = DecorationScore(mfg.fields[i], os);
      std::wstring decorated = base + L"." + std::wstring(mfg.fields[i]);
      if (score > best && data.Find(decorated)) best = score, models = decorated;
    }
    if (best < 0) {
      if (os.nativeArchitecture != 0) continue;  // 64-bit Windows reads only decorated models
      models = base;
    }
    const InfSection *section = data.Find(models);
    if (!section) continue;
    for (const InfLine &line : section->lines) {
      const std::wstring_view *install = Field(line, 1), *hardwareId = Field(line, 2);
      if (!line.hasKey || !install || install->empty() || !hardwareId || hardwareId->empty()) continue;
      InfDriverNode node = common;
      node.driver.description = line.key;
      node.driver.manufacturer = mfg.hasKey ? mfg.key : base;
      node.driver.section = *install;
      node.hardwareId = *hardwareId;
      for (size_t i = 3; i <= line.fields.size(); ++i)
        if (!line.fields[i - 1].empty()) node.compatibleIds.emplace_back(line.fields[i - 1]);
      if (!FindInstallSection(data, *install, os, node.sectionExt)) continue;  // Windows drops such a node
      // FeatureScore=xFD (or 0xFD) in the install section itself.
      std::wstring feature = ValueOf(data, (std::wstring(*install) + node.sectionExt).c_str(), L"FeatureScore");
      if (feature.size() > 1 && (feature[0] == L'x' || feature[0] == L'X')) feature = L"0" + feature;
      INT score = 0;
      if (!feature.empty() && ParseInfInt(feature, &score) && score >= 0 && score <= 0xFF)
        node.featureScore = BYTE(score);
      out.push_back(std::move(node));
    }
  }
  return ERROR_SUCCESS;
}

std::optional<DWORD> RankFor(const InfDriverNode &node, const Device &device, std::wstring *matched) {
  auto step = [](size_t i, DWORD limit) { return DWORD(std::min<size_t>(i, limit)); };
  const DWORD scores = System().os.major >= 6
                           ? (node.signedPackage ? 0u : 0x80000000u) | (DWORD(node.featureScore) << 16)
                           : (node.signedPackage ? 0u : 0x8000u);
  auto found = [&](const std::wstring &id, DWORD identifier) -> std::optional<DWORD> {
    if (matched) *matched = id;
    return scores | identifier;
  };
  for (size_t i = 0; i < device.hardwareIds.size(); ++i)
    if (EqualNoCase(device.hardwareIds[i], node.hardwareId)) return found(node.hardwareId, step(i, 0xFFF));
  for (size_t i = 0; i < device.hardwareIds.size(); ++i)
    for (size_t j = 0; j < node.compatibleIds.size(); ++j)
      if (EqualNoCase(device.hardwareIds[i], node.compatibleIds[j]))
        return found(node.compatibleIds[j], 0x1000 + (step(j, 0xF) << 8) + step(i, 0xFF));
  for (size_t i = 0; i < device.compatibleIds.size(); ++i)
    if (EqualNoCase(device.compatibleIds[i], node.hardwareId)) return found(node.hardwareId, 0x2000 + step(i, 0xFFF));
  for (size_t i = 0; i < device.compatibleIds.size(); ++i)
    for (size_t j = 0; j < node.compatibleIds.size(); ++j)
      if (EqualNoCase(device.compatibleIds[i], node.compatibleIds[j]))
        return found(node.compatibleIds[j], 0x3000 + (step(j, 0xF) << 8) + step(i, 0xFF));
  return std::nullopt;
}

bool IsBetterDriver(const DeviceDriver &candidate, const DeviceDriver &installed) {
  if (candidate.rank != installed.rank) return candidate.rank < installed.rank;
  if (candidate.date != installed.date) return candidate.date > installed.date;
  return candidate.PackedVersion() > installed.PackedVersion();
}

DWORD InstallDriverNode(Device &device, InfDriverNode node, const NodeInstall &how, bool &reboot) {
  const OsSpec &os = System().os;
  UINT errorLine = 0;
  HINF h = SetupOpenInfFileW(node.driver.inf.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  InfOwner owner(h);
  std::shared_ptr<InfFile> inf = FindInf(h);
  const std::wstring section = node.driver.section + node.sectionExt;
  const InfSection *install = inf->data.Find(section);
  if (!install) return ERROR_SECTION_NOT_FOUND;
  const InfSection installCopy = *install;  // an Include below may move the sections
  if (DWORD e = CheckPackageWhole(*inf, installCopy, os)) return e;

  WCHAR published[MAX_PATH];
  if (!SetupCopyOEMInfW(node.driver.inf.c_str(), nullptr, SPOST_PATH, 0, published, MAX_PATH, nullptr, nullptr))
    return GetLastError();
  if (how.copyFiles)
    if (DWORD e = ForEachFileCopy(*inf, installCopy, os,
                                  [&](const std::wstring &source, const std::wstring &folder,
                                      const std::wstring &name) { return CopyOne(source, folder, name, reboot); }))
      return e;

  std::wstring service;
  const std::wstring servicesSection = section + L".Services";
  if (const InfSection *services = inf->data.Find(servicesSection)) {
    for (const InfLine &line : services->lines) {
      INT flags = 0;
      if (line.hasKey && EqualNoCase(line.key, L"AddService") && Field(line, 2) &&
          ParseInfInt(*Field(line, 2), &flags) && (flags & SPSVCINST_ASSOCSERVICE))
        service = line.fields[0];
    }
    if (!SetupInstallServicesFromInfSectionW(h, servicesSection.c_str(), 0)) return GetLastError();
  }

  // The device takes the INF's setup class; its driver key is kept within the class.
  std::optional<GUID> classGuid = node.classGuid ? node.classGuid : device.classGuid;
  if (!classGuid) return ERROR_INVALID_CLASS;
  std::wstring key;
  if (device.driver && device.classGuid && *device.classGuid == *classGuid)
    key = device.driver->key;
  else
    key = NewDriverKey(*classGuid);
  const std::wstring keyPath = std::wstring(kClassKeyPath) + L"\\" + key;
  if (DWORD e = ApplyAddReg(h, section, keyPath)) return e;
  const std::wstring hwSection = section + L".HW";
  if (inf->data.Find(hwSection))
    if (DWORD e =
            ApplyAddReg(h, hwSection, std::wstring(kEnumKeyPath) + L"\\" + device.instanceId + L"\\Device Parameters"))
      return e;

  const DeviceListing before = ListingOf(device);
  if (device.driver && !EqualNoCase(device.driver->key, key)) {
    // The old class's driver key goes with the old driver.
    RegistryTree &r = Registry();
    std::shared_ptr<RegKey> old;
    if (r.Open(r.Predefined(HKEY_LOCAL_MACHINE), std::wstring(kClassKeyPath) + L"\\" + device.driver->key, &old) ==
        ERROR_SUCCESS)
      r.Remove(old.get());
  }
  DeviceDriver record = node.driver;
  record.inf = published;
  record.service = service;
  record.key = key;
  device.driver = record;
  device.classGuid = classGuid;
  if (!node.className.empty()) device.className = node.className;
  device.description = node.driver.description;
  if (device.status != DeviceStatus::Disabled) {
    // The device is restarted on its new driver, unless it can only take it at a restart: a
    // running device that cannot be stopped keeps its old driver until then, and asks for it.
    const bool cannotStop = device.behaviour.updateNeedsReboot || device.behaviour.stateChangeNeedsRestart;
    if (device.Running() && cannotStop) {
      device.status = DeviceStatus::Problem;
      device.problem = CM_PROB_NEED_RESTART;
      reboot = true;
    } else if (!how.startDevice) {
      // Nobody asks the configuration manager to restart the device: a running one goes on
      // with its old driver, and either takes the new one when its service starts or at the
      // restart; no document says a restart flag follows, and none is set.
      if (!device.Running()) {
        device.status = DeviceStatus::NotStarted;
        device.problem = 0;
      }
      if (!device.pendingStatus) device.pendingStatus = DeviceStatus::Started;
    } else if (device.behaviour.staysDown) {
      device.status = DeviceStatus::NotStarted;
      device.problem = 0;
    } else {
      device.status = DeviceStatus::Started;
      device.problem = 0;
      if (device.pendingStatus == DeviceStatus::Started) device.pendingStatus.reset();
    }
  }
  device.changed = true;
  MirrorDevice(device);
  // Windows records the decoration of the install section beside its name.
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_SET_VALUE, &raw) == ERROR_SUCCESS) {
    KeyOwner driverKey(raw);
    if (!node.sectionExt.empty())
      RegSetValueExW(driverKey.get(), L"InfSectionExt", 0, REG_SZ,
                     reinterpret_cast<const BYTE *>(node.sectionExt.c_str()),
                     DWORD((node.sectionExt.size() + 1) * sizeof(WCHAR)));
  }
  UpdateServiceLists(device, before);
  return ERROR_SUCCESS;
}

void InstallNullDriver(Device &device) {
  const DeviceListing before = ListingOf(device);
  if (device.driver) {
    RegistryTree &r = Registry();
    std::shared_ptr<RegKey> old;
    if (r.Open(r.Predefined(HKEY_LOCAL_MACHINE), std::wstring(kClassKeyPath) + L"\\" + device.driver->key, &old) ==
        ERROR_SUCCESS)
      r.Remove(old.get());
  }
  device.driver.reset();
  if (device.status != DeviceStatus::Disabled) {
    device.status = DeviceStatus::Problem;
    device.problem = CM_PROB_FAILED_INSTALL;
  }
  device.changed = true;
  MirrorDevice(device);
  UpdateServiceLists(device, before);
}

}  // namespace winsim
