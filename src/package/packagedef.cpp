// The package definition file ("vq*.xml", document element "kvn_package"): finding it,
// reading it, and the name, description and version texts it holds.
#include "package/packagedef.h"

#include <cwchar>
#include <cwctype>
#include <limits>

#include "devices/hardwareid.h"
#include "osinfo/editions.h"
#include "support/fileversion.h"
#include "support/handles.h"

namespace {
// A decimal number as the runtime's conversion reads it: leading white space and a sign,
// digits up to the first other character; no digits give 0.
int DecimalValue(const WCHAR *text) {
  if (!text) return 0;
  while (std::iswspace(wint_t(*text))) ++text;
  bool negative = *text == L'-';
  if (*text == L'-' || *text == L'+') ++text;
  long long value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    value = value * 10 + (*text - L'0');
    if (value > std::numeric_limits<int>::max()) value = std::numeric_limits<int>::max();
  }
  return int(negative ? -value : value);
}

// A named child of a node that was found; null under a missing node (the reader's own
// search would take a missing parent for the document root).
CKvnXMLNode *Child(const CKvnXMLReader &xml, CKvnXMLNode *parent, const WCHAR *name) {
  return parent ? xml.FindChild(parent, name) : nullptr;
}

bool IsYes(const WCHAR *value) { return value && CStr(value).CompareNoCase(L"yes") == 0; }

// The sibling walk the readers use: `first` and every later sibling named `name`.
template <class F>
void ForEachNamed(CKvnXMLNode *first, const WCHAR *name, F &&visit) {
  for (CKvnXMLNode *n = first; n; n = n->GetNextSibling())
    if (!name || std::wcscmp(n->GetName(), name) == 0) visit(n);
}
}  // namespace

bool FindPackageDefinition(WCHAR *path) {
  if (!path) return false;
  WIN32_FIND_DATAW found;
  unique_hfind search(FindFirstFileW(L"vq*.xml", &found));
  if (!search) return false;
  do {
    CKvnXMLReader reader;
    if (reader.Load(found.cFileName) != XML_LOAD_OK || !reader.IsLoaded()) continue;
    if (reader.FindChild(nullptr, L"kvn_package")) {
      CopyText(path, MAX_PATH, found.cFileName);
      return true;
    }
  } while (FindNextFileW(search.get(), &found));
  return false;
}

int ReadPackageDefinitionFile(CKvnXMLReader &xml, const WCHAR *path, PackageDefinition &definition) {
  if (int result = xml.Load(path)) return result;
  if (!xml.IsLoaded()) return XML_LOAD_CANNOT_OPEN;
  CKvnXMLNode *package = xml.FindChild(nullptr, L"kvn_package");
  if (!package) return XML_LOAD_OK;

  // The package's own file name without its four-character extension.
  if (CKvnXMLNode *filename = xml.FindChild(package, L"filename")) {
    const CKvnXMLNode *first = filename->GetFirstChild();
    CopyText(definition.szPackageFileName, ARRAYSIZE(definition.szPackageFileName), first ? first->GetText() : nullptr);
    size_t n = std::wcslen(definition.szPackageFileName);
    definition.szPackageFileName[n > 4 ? n - 4 : 0] = L'\0';
  }

  // The installed file: the first candidate that exists, else the first with a path.
  if (CKvnXMLNode *keys = xml.FindChild(package, L"sw_keys")) {
    CStr fileName;
    for (CKvnXMLNode *candidate = xml.FindChild(keys, L"sw_keys_and"); candidate;
         candidate = candidate->GetNextSibling()) {
      CKvnXMLNode *key = candidate->FindChild(L"sw_key");
      if (!key) continue;
      if (const WCHAR *name = key->GetAttribute(L"name")) fileName = name;
      const WCHAR *dir = XmlNodeText(key->FindChild(L"sw_key_expectedpath"));
      if (!dir) continue;
      size_t length = std::wcslen(dir);
      bool endsWithSlash = length && dir[length - 1] == L'\\';
      CStr joined(dir);
      if (!endsWithSlash) joined += L"\\";
      joined += fileName;
      WCHAR expanded[MAX_PATH];
      DWORD needed = ExpandEnvironmentStringsW(joined, expanded, MAX_PATH);
      if (needed == 0 || needed > MAX_PATH) continue;
      if (definition.strSoftwareKeyPath.IsEmpty()) definition.strSoftwareKeyPath = expanded;
      if (FileExists(expanded)) {
        definition.strSoftwareKeyPath = expanded;
        break;
      }
    }
  }

  if (CKvnXMLNode *install = Child(xml, Child(xml, package, L"installation"), L"install")) {
    if (CKvnXMLNode *caps = xml.FindChild(install, L"install_caps"))
      if (const WCHAR *silent = caps->GetAttribute(L"silent")) definition.bSilentCapable = IsYes(silent);
    if (CKvnXMLNode *reboot = xml.FindChild(install, L"reboot_required"))
      if (const WCHAR *value = reboot->GetAttribute(L"value")) definition.bRebootRequired = IsYes(value);
  }

  CKvnXMLNode *prerequisites = Child(xml, package, L"prerequisites");
  if (CKvnXMLNode *disk = Child(xml, prerequisites, L"required_diskspace"))
    if (const WCHAR *kb = disk->GetAttribute(L"size_kb")) definition.nRequiredDiskKb = UINT(DecimalValue(kb));

  if (CKvnXMLNode *devices = Child(xml, prerequisites, L"supported_devices")) {
    ForEachNamed(xml.FindChild(devices, L"supported_devices_and"), L"supported_devices_and", [&](CKvnXMLNode *entry) {
      CKvnXMLNode *device = entry->FindChild(L"supported_device");
      CStr type(device ? device->GetAttribute(L"type") : nullptr);
      if (!device || type.IsEmpty()) return;
      if (type.CompareNoCase(L"pci") == 0) {
        CStr code;
        for (const WCHAR *part : {L"ven", L"dev", L"subven", L"subdev"})
          if (const WCHAR *text = XmlNodeText(xml.FindChild(device, L"supported_device_data", L"name", part)))
            code += text;
        definition.supportedDevices.Add(MakeHardwareId(code));
        return;
      }
      CKvnXMLNode *data = device->FindChild(L"supported_device_data");
      const WCHAR *name = data ? data->GetAttribute(L"name") : nullptr;
      const WCHAR *text = XmlNodeText(data);
      if (!name || CStr(name).CompareNoCase(L"id") != 0 || !text) return;
      if (type.CompareNoCase(L"eisa") == 0)
        definition.supportedDevices.Add(MakeHardwareId(text));
      else if (type.CompareNoCase(L"scsi") == 0)
        definition.scsiIds.Add(CStr(text));
      else if (type.CompareNoCase(L"pnp") == 0)
        definition.supportedDevices.Add(CStr(text));
    });
  }

  if (CKvnXMLNode *systems = Child(xml, prerequisites, L"supported_operating_systems")) {
    ForEachNamed(xml.FindChild(systems, L"supported_operating_system"), L"supported_operating_system",
                 [&](CKvnXMLNode *entry) {
                   OSDescriptor os{};
                   os.nMajor = os.nMinor = os.nServicePack = -1;
                   CopyText(os.szOSName, ARRAYSIZE(os.szOSName), entry->GetAttribute(L"platform"));
                   if (const WCHAR *v = entry->GetAttribute(L"major")) os.nMajor = DecimalValue(v);
                   if (const WCHAR *v = entry->GetAttribute(L"minor")) os.nMinor = DecimalValue(v);
                   if (const WCHAR *v = entry->GetAttribute(L"sr")) os.nServicePack = DecimalValue(v);
                   os.nEdition = EditionCodeFromName(entry->GetAttribute(L"edition"));
                   definition.supportedOS.push_back(os);
                 });
  }
  return XML_LOAD_OK;
}

// Under kvn_package/`group`, the `entry` element of the requested language, or only when
// there is none, the English one.
static CKvnXMLNode *LocalisedEntry(const CKvnXMLReader &xml, const WCHAR *group, const WCHAR *entry,
                                   const WCHAR *languageCode) {
  CKvnXMLNode *parent = Child(xml, xml.FindChild(nullptr, L"kvn_package"), group);
  if (!parent) return nullptr;
  CKvnXMLNode *found = xml.FindChild(parent, entry, L"lang", languageCode ? languageCode : L"");
  return found ? found : xml.FindChild(parent, entry, L"lang", L"en");
}

const WCHAR *PackageNameText(const CKvnXMLReader &xml, const WCHAR *languageCode) {
  return XmlNodeText(LocalisedEntry(xml, L"name", L"name_xlate", languageCode));
}

const WCHAR *PackageDescriptionText(const CKvnXMLReader &xml, const WCHAR *languageCode) {
  CKvnXMLNode *entry = LocalisedEntry(xml, L"description", L"description_xlate", languageCode);
  CKvnXMLNode *cdata = entry ? entry->FindChild(L"#CDATA") : nullptr;
  return cdata ? cdata->GetText() : nullptr;
}

const WCHAR *PackageVersionText(const CKvnXMLReader &xml) {
  CKvnXMLNode *version = Child(xml, xml.FindChild(nullptr, L"kvn_package"), L"version");
  return version ? version->GetAttribute(L"value") : nullptr;
}
