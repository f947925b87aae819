// The rules between the package's files: the devices the package definition supports and the
// INF's models, the three versions the component compares, the installation type against the
// INF, the files the adapter flow stages, and the machine type of the package's binaries.
#include <windows.h>

#include <string>
#include <vector>

#include "adapter/driverfile.h"
#include "adapter/installation.h"
#include "checks.h"
#include "support/fileversion.h"
#include "support/handles.h"

namespace lint {

namespace {

// The numbers of a dotted version; empty when a part is no number.
std::vector<unsigned long> VersionParts(const std::wstring &text) {
  std::vector<unsigned long> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find(L'.', start);
    std::wstring part = text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
    if (part.empty() || part.size() > 9 || part.find_first_not_of(L"0123456789") != std::wstring::npos) return {};
    parts.push_back(std::stoul(part));
    if (dot == std::wstring::npos) return parts;
    start = dot + 1;
  }
}

// The hardware IDs of a models line (field 2 on).
std::vector<std::wstring> ModelIds(const InfLine &line) {
  std::vector<std::wstring> ids;
  for (size_t f = 2; f <= line.fields.size(); ++f)
    if (!line.fields[f - 1].empty()) ids.push_back(line.fields[f - 1]);
  return ids;
}

void CheckDevices(const PackageFacts &facts, const InfFacts &inf, Findings &findings) {
  const Place definition{facts.definitionFile, 0};
  for (const SupportedDevice &device : facts.devices) {
    if (device.hardwareId.empty()) continue;
    bool modelled = false;
    for (const InfFacts::Model &model : inf.models)
      for (const std::wstring &id : ModelIds(*model.line))
        modelled = modelled || StartsWithNoCase(id, device.hardwareId);
    if (!modelled)
      findings.Add("KVN401", {facts.definitionFile, device.line},
                   "supported device " + Narrow(device.hardwareId) + " has no models line in " + inf.file,
                   {{inf.file, inf.Find(L"Manufacturer") ? inf.Find(L"Manufacturer")->headerLine : 0}});
  }
  for (const InfFacts::Model &model : inf.models)
    for (const std::wstring &id : ModelIds(*model.line)) {
      if (!StartsWithNoCase(id, L"PCI\\VEN_8086&")) continue;
      bool supported = false;
      for (const SupportedDevice &device : facts.devices)
        supported = supported || (!device.hardwareId.empty() && StartsWithNoCase(id, device.hardwareId));
      if (!supported)
        findings.Add("KVN402", inf.At(*model.line),
                     Narrow(id) + " is not a supported device of " + facts.definitionFile, {definition});
    }
}

void CheckVersions(const Package &package, const PackageFacts &facts, const InfFacts &inf, Findings &findings) {
  const std::vector<unsigned long> packageVersion = VersionParts(facts.version);
  if (packageVersion.size() != 4) return;  // told by the version rule
  const Place definition{facts.definitionFile, facts.versionLine};
  if (inf.driverVerLine) {
    const std::vector<unsigned long> driverVer = VersionParts(inf.driverVersion);
    if (driverVer.size() == 4 && driverVer != packageVersion)
      findings.Add("KVN403", definition,
                   "package version " + Narrow(facts.version) + " is not the INF's DriverVer version " +
                       Narrow(inf.driverVersion),
                   {inf.At(*inf.driverVerLine)});
  }
  // The driver file of the service install.xml names, else of the first service.
  std::wstring binary;
  const std::wstring wanted = facts.install.strServiceName.GetString();
  for (size_t i = 0; i < inf.serviceNames.size() && i < inf.serviceBinaries.size(); ++i)
    if (binary.empty() || EqualNoCase(inf.serviceNames[i], wanted)) {
      binary = inf.serviceBinaries[i];
      if (EqualNoCase(inf.serviceNames[i], wanted)) break;
    }
  const std::optional<std::wstring> file = binary.empty() ? std::nullopt : package.Find(binary);
  if (!file) return;
  CFileVersion version(package.PathOf(*file).c_str());
  if (!version.HasVersion()) return;
  const std::wstring resource = version.GetFileVersionText().GetString();
  if (VersionParts(resource) != packageVersion)
    findings.Add("KVN403", definition,
                 "package version " + Narrow(facts.version) + " is not the file version " + Narrow(resource) + " of " +
                     Narrow(*file) + ", the driver the service runs: every check after an install answers \"Older\"",
                 {{Narrow(*file), 0}});
}

void CheckInstallationType(const PackageFacts &facts, const InfFacts &inf, Findings &findings) {
  const Place at{"install.xml", facts.infElementLine};
  const Place infPlace{inf.file, 0};
  switch (facts.install.nInstallType) {
    case INSTALL_PNP:
      if (inf.Find(L"Manufacturer") && inf.models.empty())
        findings.Add("KVN404", at, "a PNP installation needs models lines; " + inf.file + " has none", {infPlace});
      break;
    case INSTALL_LEGACY:
      if (inf.serviceNames.empty())
        findings.Add("KVN404", at, "a LEGACY installation needs an AddService; " + inf.file + " has none", {infPlace});
      break;
    case INSTALL_VIRTUAL: {
      bool root = false;
      for (const InfFacts::Model &model : inf.models)
        for (const std::wstring &id : ModelIds(*model.line)) root = root || StartsWithNoCase(id, L"ROOT\\");
      if (!root)
        findings.Add("KVN404", at, "a VIRTUAL installation needs a root device (a ROOT\\ hardware ID in the models)",
                     {infPlace});
      break;
    }
    default: return;
  }
  const std::wstring service = facts.install.strServiceName.GetString();
  bool added = service.empty();
  for (const std::wstring &name : inf.serviceNames) added = added || EqualNoCase(name, service);
  if (!added)
    findings.Add("KVN404", at,
                 std::string("service_name ") + Narrow(service) + " is not a service " + inf.file + " adds",
                 {infPlace});
}

// The adapter flow's staged files: the agent's always, the driver file sets on machines with
// Intel z40e devices (an error for a package of those devices, a warning for any other).
void CheckStagedFiles(const Package &package, const PackageFacts &facts, const InfFacts *inf, Findings &findings) {
  const Place where{facts.definitionFile.empty() ? std::string(".") : facts.definitionFile, 0};
  std::string missing;
  for (const DriverFilePair &pair : kAgentFileSet)
    if (!package.Find(pair.sourceName)) missing += (missing.empty() ? "" : ", ") + Narrow(pair.sourceName);
  if (!missing.empty())
    findings.Add("KVN405", where,
                 "the agent's files " + missing +
                     " are not in the package: an install on a machine without Intel "
                     "z40e devices fails");
  bool forIntel = false;
  auto intel = [](const std::wstring &id) {
    for (const WCHAR *prefix : kIntelDevicePrefixes)
      if (StartsWithNoCase(id, prefix)) return true;
    return false;
  };
  for (const SupportedDevice &device : facts.devices) forIntel = forIntel || intel(device.hardwareId);
  if (inf)
    for (const InfFacts::Model &model : inf->models)
      for (const std::wstring &id : ModelIds(*model.line)) forIntel = forIntel || intel(id);
  missing.clear();
  std::vector<std::wstring> seen;
  auto need = [&](const DriverFilePair *set, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      std::wstring name = set[i].sourceName;
      bool again = false;
      for (const std::wstring &s : seen) again = again || EqualNoCase(s, name);
      if (again) continue;
      seen.push_back(name);
      if (!package.Find(name)) missing += (missing.empty() ? "" : ", ") + Narrow(name);
    }
  };
  need(kFullDriverFileSet, std::size(kFullDriverFileSet));
  need(kServer2012DriverFileSet, std::size(kServer2012DriverFileSet));
  if (!missing.empty())
    findings.Add("KVN405", where,
                 "the driver files " + missing +
                     " are not in the package: on a machine with Intel z40e devices the install updates them from " +
                     "z40e64.inf and stages them, and fails",
                 {}, forIntel ? Severity::Error : Severity::Warning);
}

// The machine type of a PE file: 0 when the file is no PE image.
WORD MachineOf(const std::wstring &path) {
  unique_hfile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 0;
  unsigned char header[4096] = {};
  DWORD read = 0;
  if (!ReadFile(file.get(), header, sizeof header, &read, nullptr) || read < 0x40) return 0;
  if (header[0] != 'M' || header[1] != 'Z') return 0;
  const DWORD pe = header[0x3C] | (header[0x3D] << 8) | (header[0x3E] << 16) | (DWORD(header[0x3F]) << 24);
  if (pe > read - 6 || header[pe] != 'P' || header[pe + 1] != 'E' || header[pe + 2] || header[pe + 3]) return 0;
  return WORD(header[pe + 4] | (header[pe + 5] << 8));
}

void CheckMachineTypes(const Package &package, Findings &findings) {
  for (const std::wstring &name : package.files) {
    if (name.size() < 5) continue;
    const std::wstring ext = name.substr(name.size() - 4);
    if (!EqualNoCase(ext, L".sys") && !EqualNoCase(ext, L".dll") && !EqualNoCase(ext, L".exe")) continue;
    const WORD machine = MachineOf(package.PathOf(name));
    if (machine == 0x8664) continue;
    char code[8];
    std::snprintf(code, sizeof code, "0x%04X", unsigned(machine));
    findings.Add("KVN406", {Narrow(name), 0},
                 machine ? "is a PE file for machine " + std::string(code) + (machine == 0x14C ? " (x86)" : "") +
                               ", not x64 (0x8664)"
                         : std::string("is not a PE file"));
  }
}

}  // namespace

void CheckAcross(const Package &package, const PackageFacts &facts, const InfFacts *inf, Findings &findings) {
  if (inf && facts.definitionRead) {
    if (facts.install.nInstallType == INSTALL_PNP) CheckDevices(facts, *inf, findings);
    CheckVersions(package, facts, *inf, findings);
  }
  if (inf) CheckInstallationType(facts, *inf, findings);
  CheckStagedFiles(package, facts, inf, findings);
  CheckMachineTypes(package, findings);
}

}  // namespace lint
