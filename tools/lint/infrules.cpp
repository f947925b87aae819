// The INF's own rules: [Version], the models a 64-bit Windows reads, every section the install
// reaches from them (or from install.xml, or as the component's whole-INF install reaches them),
// the files the lists copy and where to, the services, the string keys, and what nothing reaches.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "checks.h"

namespace lint {

namespace {

// The classes Windows defines that driver packages use, with their GUIDs.
struct KnownClass {
  const wchar_t *name, *guid;
};
constexpr KnownClass kClasses[] = {
    {L"Net", L"{4d36e972-e325-11ce-bfc1-08002be10318}"},
    {L"NetClient", L"{4d36e973-e325-11ce-bfc1-08002be10318}"},
    {L"NetService", L"{4d36e974-e325-11ce-bfc1-08002be10318}"},
    {L"NetTrans", L"{4d36e975-e325-11ce-bfc1-08002be10318}"},
    {L"System", L"{4d36e97d-e325-11ce-bfc1-08002be10318}"},
    {L"SCSIAdapter", L"{4d36e97b-e325-11ce-bfc1-08002be10318}"},
    {L"HDC", L"{4d36e96a-e325-11ce-bfc1-08002be10318}"},
    {L"DiskDrive", L"{4d36e967-e325-11ce-bfc1-08002be10318}"},
    {L"Display", L"{4d36e968-e325-11ce-bfc1-08002be10318}"},
    {L"Media", L"{4d36e96c-e325-11ce-bfc1-08002be10318}"},
    {L"Ports", L"{4d36e978-e325-11ce-bfc1-08002be10318}"},
    {L"USB", L"{36fc9e60-c465-11cf-8056-444553540000}"},
    {L"LegacyDriver", L"{8ecc055d-047f-11d1-a537-0000f8753ed1}"},
    {L"Extension", L"{e2f84ce7-8efa-411c-aa69-97454ca4cb57}"},
    {L"SoftwareComponent", L"{5c4c3332-344d-483c-8739-259e934c9cc8}"},
};

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

std::string OpenErrorText(DWORD error) {
  switch (error) {
    case ERROR_EXPECTED_SECTION_NAME: return "ERROR_EXPECTED_SECTION_NAME";
    case ERROR_BAD_SECTION_NAME_LINE: return "ERROR_BAD_SECTION_NAME_LINE";
    case ERROR_SECTION_NAME_TOO_LONG: return "ERROR_SECTION_NAME_TOO_LONG";
    case ERROR_GENERAL_SYNTAX: return "ERROR_GENERAL_SYNTAX";
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case ERROR_NOT_ENOUGH_MEMORY: return "ERROR_NOT_ENOUGH_MEMORY";
    default: return Hex(error);
  }
}

bool IsDate(const std::wstring &text) {
  unsigned month = 0, day = 0, year = 0;
  wchar_t rest = 0;
  if (std::swscanf(text.c_str(), L"%u/%u/%u%lc", &month, &day, &year, &rest) != 3) return false;
  static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1980 || year > 9999 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return !(month == 2 && day == 29 && !leap);
}

bool IsFourPartVersion(const std::wstring &text) {
  unsigned parts = 0;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find(L'.', start);
    std::wstring part = text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
    if (part.empty() || part.size() > 5) return false;
    for (wchar_t c : part)
      if (c < L'0' || c > L'9') return false;
    if (std::stoul(part) > 65535) return false;
    ++parts;
    if (dot == std::wstring::npos) break;
    start = dot + 1;
  }
  return parts == 4;
}

std::wstring BaseName(const std::wstring &path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// `before`, the text, `after`, appended one by one (GCC 12 warns wrongly of literal + string).
std::string Around(const char *before, const std::wstring &text, const char *after) {
  std::string out = before;
  out += Narrow(text);
  out += after;
  return out;
}

bool IsStringsSection(const std::wstring &name) {
  return EqualNoCase(name, L"Strings") || StartsWithNoCase(name, L"Strings.");
}

// Walks the sections an install reaches, marking each, reporting what is missing.
class Walk {
 public:
  Walk(const Package &package, InfFacts &inf, Findings &findings) : package_(package), inf_(inf), findings_(findings) {}

  void Mark(const std::wstring &name) { used_.insert(Upper(name)); }
  bool Used(const std::wstring &name) const { return used_.count(Upper(name)) != 0; }

  // An install section and its own directives (an absent one is reported at `from`).
  void InstallSection(const std::wstring &name, const Place &from, const char *what) {
    const InfSection *section = Reference(name, from, what);
    if (section) Directives(*section);
  }
  // The "DDInstall.xxx" sections of an install section (Services, CoInstallers, HW, ...).
  void CompanionSections(const std::wstring &install) {
    for (const InfSection &s : inf_.sections)
      if (StartsWithNoCase(s.name, install + L".") && !Used(s.name)) {
        Mark(s.name);
        Directives(s);
      }
  }
  // The services' install sections, for the ServiceBinary rule once every list is known.
  const std::vector<const InfSection *> &Services() const { return services_; }
  // Every section the component's whole-INF install (no section named) works on.
  void WholeInfRoots() {
    for (const InfSection &s : inf_.sections)
      if (s.First(L"CopyFiles") || s.First(L"AddService") ||
          Upper(s.name).find(L".SOFTWARESETTINGS") != std::wstring::npos) {
        if (Used(s.name)) continue;
        Mark(s.name);
        Directives(s);
      }
  }

 private:
  const InfSection *Reference(const std::wstring &name, const Place &from, const char *what) {
    const InfSection *section = inf_.Find(name);
    if (!section) {
      findings_.Add("KVN308", from, std::string(what) + " [" + Narrow(name) + "] does not exist");
      return nullptr;
    }
    Mark(section->name);
    return section;
  }

  void Directives(const InfSection &section) {
    if (done_.count(Upper(section.name))) return;
    done_.insert(Upper(section.name));
    for (const InfLine &line : section.lines) {
      if (!line.hasKey) continue;
      const std::wstring &key = line.key;
      const Place at = inf_.At(line);
      if (EqualNoCase(key, L"CopyFiles") || EqualNoCase(key, L"DelFiles") || EqualNoCase(key, L"RenFiles")) {
        const bool copy = EqualNoCase(key, L"CopyFiles");
        for (const std::wstring &field : line.fields) {
          if (field.empty()) continue;
          if (copy && field[0] == L'@') {
            SourceFile(field.substr(1), at);
            Destination(L"DefaultDestDir", at, field);
            continue;
          }
          const InfSection *list = Reference(field, at, copy ? "CopyFiles list" : "file list");
          if (!list) continue;
          Destination(list->name, inf_.At(*list), list->name);
          if (copy && !listed_.count(Upper(list->name))) {
            listed_.insert(Upper(list->name));
            for (const InfLine &file : list->lines) {
              const std::wstring *target = file.Field(1);
              const std::wstring *source = file.Field(2) && !file.Field(2)->empty() ? file.Field(2) : target;
              if (!source || source->empty()) continue;
              SourceFile(*source, inf_.At(file));
              inf_.copiedFiles.push_back(target && !target->empty() ? *target : *source);
            }
          }
        }
      } else if (EqualNoCase(key, L"AddReg") || EqualNoCase(key, L"DelReg") || EqualNoCase(key, L"BitReg") ||
                 EqualNoCase(key, L"AddProperty") || EqualNoCase(key, L"DelProperty") ||
                 EqualNoCase(key, L"UpdateInis") || EqualNoCase(key, L"Ini2Reg")) {
        for (const std::wstring &field : line.fields)
          if (!field.empty()) Reference(field, at, (Narrow(key) + " section").c_str());
      } else if (EqualNoCase(key, L"AddService")) {
        AddService(line);
      }
    }
  }

  void AddService(const InfLine &line) {
    const Place at = inf_.At(line);
    const std::wstring *name = line.Field(1);
    if (name && !name->empty()) inf_.serviceNames.push_back(*name);
    const std::wstring *install = line.Field(3);
    if (!install || install->empty()) return;  // a null service (",2") installs none
    if (const InfSection *section = Reference(*install, at, "AddService install section")) {
      Directives(*section);
      services_.push_back(section);
    }
    if (const std::wstring *log = line.Field(4); log && !log->empty())
      if (const InfSection *section = Reference(*log, at, "AddService event-log section")) Directives(*section);
  }

  // A file a list copies: listed in [SourceDisksFiles] and present in the package.
  void SourceFile(const std::wstring &name, const Place &at) {
    const bool listed = inf_.First(L"SourceDisksFiles", name) || inf_.First(L"SourceDisksFiles.amd64", name);
    if (!listed)
      findings_.Add("KVN310", at, Narrow(name) + " is not listed in [SourceDisksFiles]");
    else if (!package_.Find(name))
      findings_.Add("KVN310", at, Narrow(name) + " is not in the package");
  }

  void Destination(const std::wstring &list, const Place &at, const std::wstring &shown) {
    if (inf_.First(L"DestinationDirs", list) || inf_.First(L"DestinationDirs", L"DefaultDestDir")) return;
    const std::string key = Narrow(shown) + (shown[0] == L'@' ? " (a single file)" : "");
    if (reportedDestinations_.insert(Upper(shown)).second)
      findings_.Add("KVN311", at, key + " has no destination: no [DestinationDirs] line for it and no DefaultDestDir");
  }

  const Package &package_;
  InfFacts &inf_;
  Findings &findings_;
  std::set<std::wstring> used_, done_, listed_, reportedDestinations_;
  std::vector<const InfSection *> services_;
};

void CheckVersion(const Package &package, InfFacts &inf, Findings &findings) {
  const InfSection *version = inf.Find(L"Version");
  const Place top = version ? inf.At(*version) : Place{inf.file, 0};
  auto text = [&](const wchar_t *key) -> std::wstring {
    const InfLine *line = version ? version->First(key) : nullptr;
    return line && line->Field(1) ? *line->Field(1) : L"";
  };
  auto placeOf = [&](const wchar_t *key) {
    const InfLine *line = version ? version->First(key) : nullptr;
    return line ? inf.At(*line) : top;
  };

  const std::wstring cls = text(L"Class"), guid = text(L"ClassGUID");
  if (cls.empty() || guid.empty()) {
    findings.Add("KVN303", top, std::string("[Version] has no ") + (cls.empty() ? "Class" : "ClassGUID"));
  } else {
    for (const KnownClass &known : kClasses) {
      const bool sameName = EqualNoCase(cls, known.name), sameGuid = EqualNoCase(guid, known.guid);
      if (sameName != sameGuid) {
        findings.Add("KVN303", placeOf(sameName ? L"ClassGUID" : L"Class"),
                     "Class " + Narrow(cls) + " and ClassGUID " + Narrow(guid) + " disagree: " + Narrow(known.name) +
                         " is " + Narrow(known.guid));
        break;
      }
    }
  }
  if (text(L"Provider").empty()) findings.Add("KVN304", top, "[Version] has no Provider");

  const InfLine *driverVer = version ? version->First(L"DriverVer") : nullptr;
  inf.driverVerLine = driverVer;
  if (!driverVer) {
    findings.Add("KVN305", top, "[Version] has no DriverVer");
  } else {
    const std::wstring date = driverVer->Field(1) ? *driverVer->Field(1) : L"";
    const std::wstring number = driverVer->Field(2) ? *driverVer->Field(2) : L"";
    inf.driverVersion = number;
    if (!IsDate(date))
      findings.Add("KVN305", inf.At(*driverVer), "DriverVer date \"" + Narrow(date) + "\" is not a date mm/dd/yyyy");
    if (!IsFourPartVersion(number))
      findings.Add("KVN305", inf.At(*driverVer),
                   "DriverVer version \"" + Narrow(number) + "\" is not four numbers (0 to 65535) joined by dots");
  }

  std::wstring catalog = text(L"CatalogFile.NTamd64");
  if (catalog.empty()) catalog = text(L"CatalogFile");
  if (catalog.empty())
    findings.Add("KVN306", top, "[Version] has no CatalogFile");
  else if (!package.Find(catalog))
    findings.Add("KVN306", placeOf(L"CatalogFile"),
                 std::string("catalog ") + Narrow(catalog) + " is not in the package");
}

// The 64-bit models sections of [Manufacturer] and their lines.
void CheckModels(const PackageFacts &facts, InfFacts &inf, Walk &walk, Findings &findings) {
  const InfSection *manufacturer = inf.Find(L"Manufacturer");
  const int type = facts.install.nInstallType;
  if (!manufacturer) {
    if (type == INSTALL_PNP || type == INSTALL_VIRTUAL)
      findings.Add("KVN307", {inf.file, 0},
                   "the INF has no [Manufacturer] section: a PNP or VIRTUAL install needs models");
    return;
  }
  for (const InfLine &line : manufacturer->lines) {
    const std::wstring *base = line.Field(1);
    if (!base || base->empty()) continue;
    walk.Mark(*base);  // read by 32-bit Windows when undecorated
    bool decorated = false;
    for (size_t f = 2; f <= line.fields.size(); ++f) {
      const std::wstring &decoration = line.fields[f - 1];
      walk.Mark(*base + L"." + decoration);
      if (!StartsWithNoCase(decoration, L"NTamd64")) continue;
      decorated = true;
      const InfSection *models = inf.Find(*base + L"." + decoration);
      if (!models) {
        findings.Add("KVN307", inf.At(line),
                     "models section [" + Narrow(*base + L"." + decoration) + "] does not exist");
        continue;
      }
      for (const InfLine &model : models->lines) inf.models.push_back({&model, model.Field(1) ? *model.Field(1) : L""});
    }
    if (!decorated)
      findings.Add("KVN307", inf.At(line),
                   "models " + Narrow(*base) + " are not decorated for 64-bit Windows (" + Narrow(*base) + ",NTamd64)");
  }
  // Each model's install section as a 64-bit Windows picks it, and its companion sections.
  std::set<std::wstring> installs;
  for (const InfFacts::Model &model : inf.models) {
    std::wstring install = model.section;
    for (const wchar_t *suffix : {L".NTamd64", L".NT"})
      if (inf.Find(model.section + suffix)) {
        install = model.section + suffix;
        break;
      }
    if (install.empty() || !installs.insert(install).second) continue;
    walk.InstallSection(install, inf.At(*model.line), "install section");
    walk.CompanionSections(install);
  }
}

void CheckStringKeys(const InfFacts &inf, Findings &findings) {
  for (const InfSection &section : inf.sections) {
    if (IsStringsSection(section.name)) continue;
    for (const InfLine &line : section.lines) {
      std::set<std::wstring> undefined;
      auto scan = [&](const std::wstring &text) {
        for (size_t open = text.find(L'%'); open != std::wstring::npos; open = text.find(L'%', open + 1)) {
          size_t close = text.find(L'%', open + 1);
          if (close == std::wstring::npos) break;
          const std::wstring name = text.substr(open + 1, close - open - 1);
          if (!name.empty() && name.find_first_of(L" \t\\,;\"") == std::wstring::npos &&
              line.raw.find(L"%%" + name + L"%%") == std::wstring::npos)
            undefined.insert(name);
          open = close;
        }
      };
      if (line.hasKey) scan(line.key);
      for (const std::wstring &field : line.fields) scan(field);
      for (const std::wstring &name : undefined)
        findings.Add("KVN312", inf.At(line), Around("%", name, "% is not defined in [Strings]"));
    }
  }
}

}  // namespace

void CheckInf(const Package &package, const PackageFacts &facts, InfFacts &inf, Findings &findings) {
  if (!inf.open) {
    if (inf.openError == ERROR_WRONG_INF_STYLE)
      findings.Add("KVN302", {inf.file, inf.errorLine},
                   "SetupAPI refuses the INF (ERROR_WRONG_INF_STYLE): [Version] has no Signature of \"$Windows NT$\" "
                   "or \"$Chicago$\"");
    else
      findings.Add("KVN301", {inf.file, inf.errorLine},
                   "SetupOpenInfFileW fails: " + OpenErrorText(inf.openError) +
                       (inf.errorLine ? " at line " + std::to_string(inf.errorLine) : ""));
    return;
  }
  CheckVersion(package, inf, findings);

  Walk walk(package, inf, findings);
  for (const wchar_t *always :
       {L"Version", L"Manufacturer", L"DestinationDirs", L"SourceDisksNames", L"SourceDisksNames.amd64",
        L"SourceDisksFiles", L"SourceDisksFiles.amd64", L"ControlFlags", L"PackageInfo", L"SignatureAttributes"})
    walk.Mark(always);
  for (const InfSection &s : inf.sections)
    if (IsStringsSection(s.name) || StartsWithNoCase(s.name, L"ClassInstall32") ||
        StartsWithNoCase(s.name, L"DefaultInstall") || StartsWithNoCase(s.name, L"DefaultUninstall")) {
      walk.Mark(s.name);
      walk.InstallSection(s.name, inf.At(s), "section");
    }
  CheckModels(facts, inf, walk, findings);
  // The section install.xml names is installed with its .Services and .SoftwareSettings;
  // without one, the component's whole-INF install reaches its own roots.
  const std::wstring section = facts.install.strInfSection.GetString();
  if (!section.empty()) {
    walk.InstallSection(section, {"install.xml", facts.infElementLine}, "the install.xml section");
    for (const wchar_t *suffix : {L".Services", L".SoftwareSettings"})
      if (inf.Find(section + suffix)) walk.InstallSection(section + suffix, {"install.xml", 0}, "section");
  } else if (facts.install.nInstallType == INSTALL_LEGACY || facts.install.nInstallType == INSTALL_VIRTUAL) {
    walk.WholeInfRoots();
  }

  // Each service runs a file the INF copies.
  for (const InfSection *service : walk.Services()) {
    const InfLine *binary = service->First(L"ServiceBinary");
    if (!binary || !binary->Field(1) || binary->Field(1)->empty()) {
      findings.Add("KVN309", inf.At(*service), std::string("[") + Narrow(service->name) + "] has no ServiceBinary");
      continue;
    }
    const std::wstring file = BaseName(*binary->Field(1));
    inf.serviceBinaries.push_back(file);
    bool copied = false;
    for (const std::wstring &c : inf.copiedFiles) copied = copied || EqualNoCase(c, file);
    if (!copied)
      findings.Add("KVN309", inf.At(*binary),
                   "ServiceBinary runs " + Narrow(file) + ", which no CopyFiles list of the INF copies");
  }

  CheckStringKeys(inf, findings);
  for (const InfSection &s : inf.sections)
    if (!walk.Used(s.name)) findings.Add("KVN313", inf.At(s), Around("nothing refers to [", s.name, "]"));
}

}  // namespace lint
