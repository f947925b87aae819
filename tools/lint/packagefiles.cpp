// The package definition, the installation description and the dependency file, each read
// with the component's own reader and then checked element by element.
#include <windows.h>

#include <cwctype>
#include <string>

#include "checks.h"
#include "devices/hardwareid.h"
#include "osinfo/editions.h"
#include "package/dependency.h"
#include "support/messages.h"

namespace lint {

namespace {

std::wstring Text(const CKvnXMLNode *node) {
  const WCHAR *text = node ? XmlNodeText(node) : nullptr;
  return text ? text : L"";
}
std::wstring Attribute(const CKvnXMLNode *node, const WCHAR *name) {
  const WCHAR *value = node ? node->GetAttribute(name) : nullptr;
  return value ? value : L"";
}
unsigned LineOf(const CKvnXMLNode *node) { return node ? node->GetLine() : 0; }

// Each element of `parent` named `name`, in the order the component visits them.
template <typename Visit>
void EachChild(const CKvnXMLNode *parent, const WCHAR *name, Visit visit) {
  for (CKvnXMLNode *c = parent ? parent->GetFirstChild() : nullptr; c; c = c->GetNextSibling())
    if (std::wcscmp(c->GetName(), name) == 0) visit(c);
}

bool IsHexCode(const std::wstring &text) {
  if (text.size() != 4) return false;
  for (wchar_t c : text)
    if (!std::iswxdigit(wint_t(c))) return false;
  return true;
}

bool IsNumber(const std::wstring &text, unsigned long max) {
  if (text.empty() || text.size() > 5) return false;
  for (wchar_t c : text)
    if (c < L'0' || c > L'9') return false;
  return std::stoul(text) <= max;
}

// A load that failed: the parser's place and words when it rejected the file.
void ReportLoad(int result, const CKvnXMLReader &xml, const std::string &file, Findings &findings) {
  if (result == XML_LOAD_REJECTED) {
    const CKvnXMLReader::ParseError &e = xml.GetParseError();
    findings.Add("KVN103", {file, e.line},
                 "not well-formed XML: " + Narrow(e.text) +
                     (e.line ? " (line " + std::to_string(e.line) + ", column " + std::to_string(e.column) + ")" : ""));
  } else {
    findings.Add("KVN103", {file, 0}, "cannot be read (load result " + std::to_string(result) + ")");
  }
}

void CheckDefinition(const std::string &file, PackageFacts &facts, Findings &findings) {
  const CKvnXMLReader &xml = facts.definitionXml;
  CKvnXMLNode *package = xml.FindChild(nullptr, L"kvn_package");
  const unsigned top = LineOf(package);
  auto missing = [&](const char *what) {
    findings.Add("KVN104", {file, top}, std::string("kvn_package has no ") + what);
  };
  if (!xml.FindChild(package, L"filename")) missing("filename element (the log file is named after it)");

  // Names and descriptions: English is the fallback of every language; the others are notes.
  CKvnXMLNode *names = xml.FindChild(package, L"name");
  CKvnXMLNode *descriptions = xml.FindChild(package, L"description");
  auto has = [&](CKvnXMLNode *parent, const WCHAR *element, const WCHAR *lang) {
    return parent && xml.FindChild(parent, element, L"lang", lang);
  };
  if (!has(names, L"name_xlate", L"en")) missing("English name (name_xlate lang=\"en\")");
  if (!has(descriptions, L"description_xlate", L"en")) missing("English description (description_xlate lang=\"en\")");
  for (const WCHAR *lang : kLanguageCodes) {
    std::string lacks;
    if (!has(names, L"name_xlate", lang)) lacks = "name";
    if (!has(descriptions, L"description_xlate", lang)) lacks += lacks.empty() ? "description" : " and description";
    if (!lacks.empty())
      findings.Add("KVN108", {file, top},
                   "no " + lacks + " in \"" + Narrow(lang) + "\": the component answers English");
  }
  EachChild(descriptions, L"description_xlate", [&](const CKvnXMLNode *d) {
    const CKvnXMLNode *first = d->GetFirstChild();
    if (!first || std::wcscmp(first->GetName(), L"#CDATA") != 0)
      findings.Add("KVN109", {file, LineOf(d)},
                   "description_xlate lang=\"" + Narrow(Attribute(d, L"lang")) +
                       "\" is not a CDATA section: the component answers no description");
  });

  CKvnXMLNode *version = xml.FindChild(package, L"version");
  if (!version || !version->GetAttribute(L"value")) {
    missing("version value (the installed version is compared with it)");
  } else {
    facts.version = Attribute(version, L"value");
    facts.versionLine = LineOf(version);
    unsigned parts = 0;
    bool numbers = true;
    for (size_t start = 0;; ++parts) {
      size_t dot = facts.version.find(L'.', start);
      numbers = numbers && IsNumber(facts.version.substr(start, dot - start), 65535);
      if (dot == std::wstring::npos) break;
      start = dot + 1;
    }
    if (!numbers || parts != 3)
      findings.Add("KVN105", {file, facts.versionLine},
                   "version \"" + Narrow(facts.version) + "\" is not four numbers (0 to 65535) joined by dots");
  }

  // Supported devices, formed as the component forms their hardware IDs.
  CKvnXMLNode *prerequisites = xml.FindChild(package, L"prerequisites");
  CKvnXMLNode *devices = xml.FindChild(prerequisites, L"supported_devices");
  EachChild(devices, L"supported_devices_and", [&](CKvnXMLNode *entry) {
    CKvnXMLNode *device = xml.FindChild(entry, L"supported_device");
    if (!device) return;
    const std::wstring type = Attribute(device, L"type");
    const unsigned line = LineOf(device);
    auto data = [&](const WCHAR *name) -> const CKvnXMLNode * {
      return xml.FindChild(device, L"supported_device_data", L"name", name);
    };
    SupportedDevice supported{L"", line};
    if (EqualNoCase(type, L"pci")) {
      std::wstring code;
      std::string wrong;
      for (const WCHAR *part : {L"ven", L"dev", L"subven", L"subdev"}) {
        const CKvnXMLNode *d = data(part);
        const bool optional = part[0] == L's';
        if (!d && optional) continue;
        if (!IsHexCode(Text(d))) wrong += (wrong.empty() ? "" : ", ") + Narrow(part) + " \"" + Narrow(Text(d)) + "\"";
        code += Text(d);
      }
      if (!data(L"subven") != !data(L"subdev"))
        wrong += (wrong.empty() ? "" : ", ") + std::string("subven without subdev");
      if (!wrong.empty())
        findings.Add("KVN106", {file, line}, "pci device codes are not four hexadecimal digits each: " + wrong);
      // A device whose codes are wrong is told once, here, not again as a device without models.
      if (wrong.empty()) supported.hardwareId = MakeHardwareId(code.c_str()).GetString();
    } else if (EqualNoCase(type, L"eisa") || EqualNoCase(type, L"pnp") || EqualNoCase(type, L"scsi")) {
      const CKvnXMLNode *first = xml.FindChild(device, L"supported_device_data");
      if (!first || !EqualNoCase(Attribute(first, L"name"), L"id") || Text(first).empty())
        findings.Add("KVN106", {file, line}, Narrow(type) + " device has no id: the component lists nothing for it");
      else if (EqualNoCase(type, L"eisa"))
        supported.hardwareId = MakeHardwareId(Text(first).c_str()).GetString();
      else if (EqualNoCase(type, L"pnp"))
        supported.hardwareId = Text(first);
    } else {
      findings.Add("KVN106", {file, line},
                   "supported_device type \"" + Narrow(type) + "\" is not pci, eisa, scsi or pnp: it is ignored");
    }
    if (!EqualNoCase(type, L"scsi")) facts.devices.push_back(supported);
  });

  // Supported operating systems.
  CKvnXMLNode *systems = xml.FindChild(prerequisites, L"supported_operating_systems");
  bool anySystem = false;
  EachChild(systems, L"supported_operating_system", [&](const CKvnXMLNode *os) {
    anySystem = true;
    std::string wrong;
    const std::wstring platform = Attribute(os, L"platform");
    if (platform != L"nt" && platform != L"nt64" && platform != L"nt_x86-64")
      wrong = "platform \"" + Narrow(platform) + "\" (nt, nt64, nt_x86-64)";
    const std::wstring major = Attribute(os, L"major"), minor = Attribute(os, L"minor");
    static const wchar_t *const kReleases[] = {L"5.0", L"5.1", L"5.2", L"6.0", L"6.1", L"6.2", L"6.3", L"10.0"};
    bool known = major.empty() && minor.empty();
    for (const wchar_t *release : kReleases) known = known || major + L"." + minor == release;
    if (!known && !(minor.empty() && (major == L"5" || major == L"6" || major == L"10")))
      wrong += (wrong.empty() ? "" : ", ") + std::string("version ") + Narrow(major) + "." + Narrow(minor);
    const WCHAR *edition = os->GetAttribute(L"edition");
    if (edition && EditionCodeFromName(edition) == 0)
      wrong += (wrong.empty() ? "" : ", ") + std::string("edition \"") + Narrow(edition) + "\"";
    const std::wstring sr = Attribute(os, L"sr");
    if (os->GetAttribute(L"sr") && !IsNumber(sr, 65535))
      wrong += (wrong.empty() ? "" : ", ") + std::string("service pack \"") + Narrow(sr) + "\"";
    if (!wrong.empty())
      findings.Add("KVN107", {file, LineOf(os)}, "unknown " + wrong + ": the entry matches no Windows");
  });
  if (!anySystem) missing("supported_operating_system (no Windows is supported)");
}

void CheckInstallDescription(const Package &package, PackageFacts &facts, Findings &findings) {
  const std::wstring name = package.Find(L"install.xml").value_or(L"");
  if (name.empty()) {
    findings.Add("KVN201", {"install.xml", 0},
                 "the package has no install.xml: the component has no INF to install on a machine without Intel "
                 "z40e devices");
    return;
  }
  const std::string file = Narrow(name);
  CKvnXMLReader xml;
  int loaded = xml.Load(package.PathOf(name).c_str());
  if (loaded != XML_LOAD_OK) {
    ReportLoad(loaded, xml, file, findings);
    return;
  }
  facts.installRead = ReadInstallDescriptionFile(package.PathOf(name).c_str(), facts.install) == XML_LOAD_OK;
  CKvnXMLNode *root = xml.FindChild(nullptr, L"kvn_install");
  CKvnXMLNode *information = xml.FindChild(root, L"inf_information");
  CKvnXMLNode *element = xml.FindChild(information, L"inf_file");
  if (!element) {
    findings.Add("KVN201", {file, LineOf(information ? information : root)},
                 !root ? "the document element is not kvn_install"
                       : "no inf_information/inf_file element: the component reads no INF on this Windows");
    return;
  }
  facts.infElementLine = LineOf(element);
  if (facts.install.nInstallType == INSTALL_NONE)
    findings.Add("KVN202", {file, facts.infElementLine},
                 "installation type \"" + Narrow(Attribute(element, L"type")) + "\" is not LEGACY, PNP or VIRTUAL");
  const std::wstring inf = facts.install.strInfFile.GetString();
  if (inf.empty()) {
    findings.Add("KVN203", {file, facts.infElementLine}, "inf_file names no INF (filename attribute)");
  } else if (std::optional<std::wstring> found = package.Find(inf)) {
    facts.infFile = *found;
  } else {
    findings.Add("KVN203", {file, facts.infElementLine},
                 std::string("names ") + Narrow(inf) + ", which is not in the package");
  }
}

void CheckDependencies(const Package &package, Findings &findings) {
  const std::optional<std::wstring> name = package.Find(L"dependency.xml");
  if (!name) return;
  const std::string file = Narrow(*name);
  CKvnXMLReader xml;
  int loaded = xml.Load(package.PathOf(*name).c_str());
  if (loaded != XML_LOAD_OK) {
    ReportLoad(loaded, xml, file, findings);
    return;
  }
  CKvnXMLNode *root = xml.FindChild(nullptr, L"componentdependencies");
  CKvnXMLNode *hardware = xml.FindChild(root, L"dependent_hardware");
  CKvnXMLNode *platforms = xml.FindChild(hardware, L"platforms");
  bool model = false;
  EachChild(platforms, L"platform", [&](const CKvnXMLNode *p) { model = model || !Attribute(p, L"model").empty(); });
  if (!model)
    findings.Add("KVN204",
                 {file, LineOf(platforms  ? platforms
                               : hardware ? hardware
                                          : root)},
                 !platforms ? "no componentdependencies/dependent_hardware/platforms chain"
                            : "platforms lists no model: every computer is \"System model not supported.\"");
}

}  // namespace

void CheckPackageFiles(const Package &package, PackageFacts &facts, Findings &findings) {
  // Every vq*.xml is loaded, as the component's search loads them; the one it finds is read.
  int holding = 0;
  bool rejected = false;
  for (const std::wstring &name : package.files) {
    if (!StartsWithNoCase(name, L"vq") || name.size() < 6 || !EqualNoCase(name.substr(name.size() - 4), L".xml"))
      continue;
    CKvnXMLReader xml;
    int loaded = xml.Load(package.PathOf(name).c_str());
    if (loaded != XML_LOAD_OK) {
      ReportLoad(loaded, xml, Narrow(name), findings);
      rejected = true;
      continue;
    }
    if (xml.FindChild(nullptr, L"kvn_package")) ++holding;
  }
  WCHAR found[MAX_PATH] = L"";
  if (FindPackageDefinition(found)) {
    facts.definitionFile = Narrow(found);
    if (holding > 1)
      findings.Add("KVN102", {facts.definitionFile, 0},
                   std::to_string(holding) + " vq*.xml files hold kvn_package; the component reads " +
                       facts.definitionFile + ", the first the directory lists");
    facts.definitionRead = ReadPackageDefinitionFile(facts.definitionXml, found, facts.definition) == XML_LOAD_OK;
    if (facts.definitionRead) CheckDefinition(facts.definitionFile, facts, findings);
  } else if (!rejected) {
    findings.Add("KVN101", {"", 0}, "no vq*.xml file with a kvn_package document element");
  }
  CheckInstallDescription(package, facts, findings);
  CheckDependencies(package, findings);
  // Without install.xml the INF checked is the package's only one, when it has one.
  if (facts.infFile.empty() && !package.Find(L"install.xml")) {
    for (const std::wstring &name : package.files)
      if (name.size() > 4 && EqualNoCase(name.substr(name.size() - 4), L".inf")) {
        facts.infFile = name;
        break;
      }
  }
}

}  // namespace lint
