// SetupAPI's installation calls over an open INF: SetupInstallFromInfSectionW (the registry
// directives, Include and Needs), SetupInstallServicesFromInfSectionW (AddService and
// DelService), and SetupCopyOEMInfW, which publishes an INF. They act through winsim's own
// registry, SCM and file calls, so their effects land where Windows keeps them: values under
// the roots an AddReg line names, services under Services\<name>, event-log sources under
// Services\EventLog\<log>\<source>, published INF files in %windir%\INF.
//
// Modelled: AddReg and DelReg with every FLG_ADDREG and FLG_DELREG form (HKR is the given
// relative key root; 64BITKEY and 32BITKEY are accepted, the registry has one view).
// Recorded, not applied: UpdateInis, UpdateIniFields, Ini2Reg, LogConfig and ProfileItems
// (SPINST_INIFILES, SPINST_INI2REG, SPINST_LOGCONFIG, SPINST_PROFILEITEMS) are listed under
// HKLM\SOFTWARE\winsim\SetupDirectives\<INF file>\<section>, one REG_MULTI_SZ value per
// directive naming its sections, so a machine shows what an installation asked for.
// Not modelled (NotModelled, ERROR_CALL_NOT_IMPLEMENTED, before anything is changed): file
// directives under SPINST_FILES, BitReg, RegisterDlls/UnregisterDlls, CopyINF,
// AddProperty/DelProperty, a device's own keys (DeviceInfoSet), load order tags
// (SPSVCINST_TAGTOFRONT for a service in a group), the PNF files SetupCopyOEMInfW would
// write beside a published INF and its catalog-only form.
#include <windows.h>
#include <setupapi.h>
#include <winreg.h>
#include <winsvc.h>

#include <cwchar>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "kernel32/files.h"
#include "plumbing/hooks.h"
#include "setupapi/inf.h"
#include "setupapi/infparse.h"
#include "base/names.h"
#include "plumbing/owners.h"
#include "plumbing/paths.h"
#include "plumbing/calls.h"
#include "machine/registry.h"
#include "base/diagnostics.h"

using namespace winsim;

namespace {

constexpr const wchar_t *kServicesKey = L"SYSTEM\\CurrentControlSet\\Services";

// ---- reading sections ------------------------------------------------------------------

// Every field of every line with that key, in order (the sections a directive names).
std::vector<std::wstring> DirectiveFields(const InfSection &section, const wchar_t *key) {
  std::vector<std::wstring> out;
  for (const InfLine &line : section.lines)
    if (line.hasKey && EqualNoCase(line.key, key))
      for (std::wstring_view f : line.fields)
        if (!f.empty()) out.emplace_back(f);
  return out;
}

const InfLine *FirstLine(const InfSection &section, const wchar_t *key) {
  for (const InfLine &line : section.lines)
    if (line.hasKey && EqualNoCase(line.key, key)) return &line;
  return nullptr;
}

// ---- registry ----------------------------------------------------------------------------
HKEY RootOf(std::wstring_view name, HKEY relative) {
  if (EqualNoCase(name, L"HKCR")) return HKEY_CLASSES_ROOT;
  if (EqualNoCase(name, L"HKCU")) return HKEY_CURRENT_USER;
  if (EqualNoCase(name, L"HKLM")) return HKEY_LOCAL_MACHINE;
  if (EqualNoCase(name, L"HKU")) return HKEY_USERS;
  if (EqualNoCase(name, L"HKR")) return relative;
  return nullptr;
}

LSTATUS SetValue(HKEY key, const std::wstring &name, DWORD type, const void *data, size_t bytes) {
  return RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE *>(data), DWORD(bytes));
}

LSTATUS SetTextValue(HKEY key, const std::wstring &name, DWORD type, const std::wstring &textWithNuls) {
  return SetValue(key, name, type, textWithNuls.data(), textWithNuls.size() * sizeof(WCHAR));
}

// The strings of a REG_MULTI_SZ value; false when the value is missing or of another type.
bool ReadMultiSz(HKEY key, const std::wstring &name, std::vector<std::wstring> &out) {
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_MULTI_SZ)
    return false;
  std::wstring data(bytes / sizeof(WCHAR) + 1, L'\0');
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &bytes) !=
      ERROR_SUCCESS)
    return false;
  data.resize(bytes / sizeof(WCHAR));
  out.clear();
  for (size_t p = 0; p < data.size() && data[p];) {
    size_t end = data.find(L'\0', p);
    if (end == std::wstring::npos) end = data.size();
    out.push_back(data.substr(p, end - p));
    p = end + 1;
  }
  return true;
}

// Deletes a key with everything below it (ERROR_SUCCESS when it does not exist). An empty
// path empties `parent` itself instead: its subkeys and values go, the key stays.
LSTATUS DeleteTree(HKEY parent, const std::wstring &path, REGSAM view) {
  HKEY raw = nullptr;
  LSTATUS e = RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | KEY_SET_VALUE | DELETE | view, &raw);
  if (e == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (e != ERROR_SUCCESS) return e;
  KeyOwner key(raw);
  for (;;) {
    WCHAR name[256];
    DWORD size = 256;
    e = RegEnumKeyExW(key.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (e == ERROR_NO_MORE_ITEMS) break;
    if (e != ERROR_SUCCESS) return e;
    if ((e = DeleteTree(key.get(), name, view)) != ERROR_SUCCESS) return e;
  }
  if (!path.empty()) {
    key.reset();
    return RegDeleteKeyW(parent, path.c_str());
  }
  std::vector<WCHAR> name(16384);  // the longest value name and its NUL
  for (;;) {
    DWORD size = DWORD(name.size());
    e = RegEnumValueW(key.get(), 0, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
    if (e == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (e != ERROR_SUCCESS) return e;
    if ((e = RegDeleteValueW(key.get(), name.data())) != ERROR_SUCCESS) return e;
  }
}

// The registry type an AddReg flag value stands for.
DWORD AddRegType(DWORD flags) {
  switch (flags & FLG_ADDREG_TYPE_MASK) {
    case FLG_ADDREG_TYPE_SZ: return REG_SZ;
    case FLG_ADDREG_TYPE_MULTI_SZ: return REG_MULTI_SZ;
    case FLG_ADDREG_TYPE_EXPAND_SZ: return REG_EXPAND_SZ;
    case FLG_ADDREG_TYPE_BINARY: return REG_BINARY;
    case FLG_ADDREG_TYPE_DWORD: return REG_DWORD;
    case FLG_ADDREG_TYPE_NONE: return REG_NONE;
    default: return flags >> 16;  // any other type, its data given as bytes
  }
}

// Bytes of fields 5 onward, each a hexadecimal byte; false for a field that is not one.
bool BinaryFields(const InfLine &line, std::vector<BYTE> &out) {
  for (size_t i = 5; i <= line.fields.size(); ++i) {
    const std::wstring f(line.fields[i - 1]);  // NUL-terminated for wcstoul
    wchar_t *end = nullptr;
    unsigned long v = std::wcstoul(f.c_str(), &end, 16);
    if (f.empty() || *end || v > 0xFF) return false;
    out.push_back(BYTE(v));
  }
  return true;
}

// One AddReg or DelReg line: "root, [subkey], [value name], [flags], [value]...". A line
// whose root is unknown (or HKR without a relative root) is skipped; a line of the other
// directive's kind (by FLG_ADDREG_DELREG_BIT) is ignored. Answers ERROR_SUCCESS or the
// registry's error.
DWORD ApplyRegLine(const InfLine &line, HKEY relative, bool deleting) {
  const std::wstring_view *rootName = Field(line, 1);
  HKEY root = rootName ? RootOf(*rootName, relative) : nullptr;
  if (!root) return ERROR_SUCCESS;
  std::wstring subkey(Field(line, 2) ? *Field(line, 2) : L"");
  std::wstring value(Field(line, 3) ? *Field(line, 3) : L"");
  INT parsed = 0;
  if (!Field(line, 4) || !ParseInfInt(*Field(line, 4), &parsed)) parsed = 0;
  DWORD flags = DWORD(parsed);
  if (!deleting && (flags & FLG_ADDREG_DELREG_BIT)) return ERROR_SUCCESS;
  if (deleting) {
    if (!flags)
      flags = FLG_ADDREG_DELREG_BIT;
    else if (!(flags & FLG_ADDREG_DELREG_BIT))
      return ERROR_SUCCESS;
  }
  REGSAM view = (flags & FLG_ADDREG_64BITKEY) ? KEY_WOW64_64KEY : (flags & FLG_ADDREG_32BITKEY) ? KEY_WOW64_32KEY : 0;
  bool removes = flags & (FLG_ADDREG_DELREG_BIT | FLG_ADDREG_DELVAL);
  if (removes && (value.empty() || (flags & FLG_ADDREG_KEYONLY_COMMON))) return DeleteTree(root, subkey, view);

  HKEY raw = nullptr;
  LSTATUS e;
  if (deleting || (flags & FLG_ADDREG_OVERWRITEONLY)) {
    e = RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE | view, &raw);
    if (e == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;  // nothing to change
  } else {
    e = RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | view, nullptr, &raw,
                        nullptr);
  }
  if (e != ERROR_SUCCESS) return e;
  KeyOwner key(raw);

  if (removes) {
    if ((flags & FLG_DELREG_MULTI_SZ_DELSTRING) == FLG_DELREG_MULTI_SZ_DELSTRING) {
      const std::wstring_view *gone = Field(line, 5);
      std::vector<std::wstring> strings, kept;
      if (!gone || gone->empty() || !ReadMultiSz(key.get(), value, strings)) return ERROR_SUCCESS;
      for (const std::wstring &s : strings)
        if (!EqualNoCase(s, *gone)) kept.push_back(s);
      if (kept.size() == strings.size()) return ERROR_SUCCESS;
      return SetTextValue(key.get(), value, REG_MULTI_SZ, MultiString(kept));
    }
    e = RegDeleteValueW(key.get(), value.c_str());
    return e == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : e;
  }
  if (flags & (FLG_ADDREG_KEYONLY | FLG_ADDREG_KEYONLY_COMMON)) return ERROR_SUCCESS;
  if (flags & (FLG_ADDREG_NOCLOBBER | FLG_ADDREG_OVERWRITEONLY)) {
    bool exists = RegQueryValueExW(key.get(), value.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    if (exists && (flags & FLG_ADDREG_NOCLOBBER)) return ERROR_SUCCESS;
    if (!exists && (flags & FLG_ADDREG_OVERWRITEONLY)) return ERROR_SUCCESS;
  }
  DWORD type = AddRegType(flags);
  if (!(flags & FLG_ADDREG_BINVALUETYPE) || (type == REG_DWORD && line.fields.size() == 5)) {
    if (type == REG_MULTI_SZ) {
      std::vector<std::wstring> strings;
      for (size_t i = 5; i <= line.fields.size() && !line.fields[i - 1].empty(); ++i)
        strings.emplace_back(line.fields[i - 1]);
      if (flags & FLG_ADDREG_APPEND) {
        // Each string not already there (compared without regard to case) goes at the end;
        // a value that is missing or of another type stays as it is.
        std::vector<std::wstring> existing;
        if (strings.empty() || !ReadMultiSz(key.get(), value, existing)) return ERROR_SUCCESS;
        size_t before = existing.size();
        for (const std::wstring &s : strings) {
          bool present = false;
          for (const std::wstring &x : existing) present = present || EqualNoCase(x, s);
          if (!present) existing.push_back(s);
        }
        if (existing.size() == before) return ERROR_SUCCESS;
        return SetTextValue(key.get(), value, REG_MULTI_SZ, MultiString(existing));
      }
      if (strings.empty()) return SetTextValue(key.get(), value, type, std::wstring(1, L'\0'));
      std::wstring image = MultiString(strings);
      return SetTextValue(key.get(), value, type, image);
    }
    const std::wstring_view *text = Field(line, 5);
    if (type == REG_DWORD) {
      DWORD number = text ? DWORD(std::wcstoul(std::wstring(*text).c_str(), nullptr, 0)) : 0;
      return SetValue(key.get(), value, REG_DWORD, &number, sizeof number);
    }
    return SetTextValue(key.get(), value, type, (text ? std::wstring(*text) : std::wstring()) + L'\0');
  }
  std::vector<BYTE> bytes;
  if (!BinaryFields(line, bytes)) return ERROR_INVALID_DATA;
  return SetValue(key.get(), value, type, bytes.data(), bytes.size());
}

// The DelReg, then the AddReg sections a section names, line by line. A named section that
// does not exist adds nothing.
DWORD ApplyRegistryDirectives(const InfFile &inf, const InfSection &section, HKEY relative) {
  for (bool deleting : {true, false}) {
    for (const std::wstring &name : DirectiveFields(section, deleting ? L"DelReg" : L"AddReg")) {
      const InfSection *lines = inf.data.Find(name);
      if (!lines) continue;
      for (const InfLine &line : lines->lines)
        if (DWORD e = ApplyRegLine(line, relative, deleting)) return e;
    }
  }
  return ERROR_SUCCESS;
}

// ---- recorded directives -----------------------------------------------------------------
DWORD RecordDirective(const InfFile &inf, const InfSection &section, const wchar_t *directive) {
  std::vector<std::wstring> named = DirectiveFields(section, directive);
  if (named.empty()) return ERROR_SUCCESS;
  std::wstring path = L"SOFTWARE\\winsim\\SetupDirectives\\" + LastName(inf.path) + L"\\" + section.name;
  HKEY raw = nullptr;
  LSTATUS e = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                              &raw, nullptr);
  if (e != ERROR_SUCCESS) return e;
  KeyOwner key(raw);
  std::vector<std::wstring> recorded;
  ReadMultiSz(key.get(), directive, recorded);
  for (const std::wstring &n : named) {
    bool present = false;
    for (const std::wstring &r : recorded) present = present || EqualNoCase(r, n);
    if (!present) recorded.push_back(n);
  }
  return SetTextValue(key.get(), directive, REG_MULTI_SZ, MultiString(recorded));
}

// ---- Include and Needs -----------------------------------------------------------------
// Appends the sections of an included INF (found as SetupOpenInfFileW finds a bare name) to
// the open one, as SetupOpenAppendInfFileW does; an INF already appended is not read again.
DWORD AppendInf(InfFile &inf, const std::wstring &name) {
  std::wstring path = InfLocation(name);
  DWORD error = 0;
  std::wstring full = FullPath(path, &error);
  if (full.empty()) return error;
  if (EqualNoCase(full, inf.path)) return ERROR_SUCCESS;
  for (const std::wstring &done : inf.appended)
    if (EqualNoCase(done, full)) return ERROR_SUCCESS;
  std::string bytes;
  if (!ReadWholeFile(full, bytes, &error)) return error;
  InfData added;
  UINT line = 0;
  if (DWORD e = ParseMachineInf(bytes, full, added, &line)) return e;
  for (InfSection &s : added.sections) {
    auto it = inf.data.index.find(Upcased(s.name));
    if (it != inf.data.index.end()) {
      auto &lines = inf.data.sections[it->second].lines;
      lines.insert(lines.end(), s.lines.begin(), s.lines.end());
    } else {
      inf.data.index[Upcased(s.name)] = inf.data.sections.size();
      inf.data.sections.push_back(std::move(s));
    }
  }
  // The appended lines view the appended file's text: the open INF keeps it from now on.
  for (auto &text : added.texts) inf.data.texts.push_back(std::move(text));
  inf.appended.push_back(full);
  return ERROR_SUCCESS;
}

struct InstallRequest {
  UINT flags;
  HKEY relative;
  std::vector<std::wstring> active;  // the sections being installed, outermost first (Needs cycles)
};

bool SectionHas(const InfSection &section, std::initializer_list<const wchar_t *> keys) {
  for (const wchar_t *key : keys)
    if (FirstLine(section, key)) return true;
  return false;
}

// What this section asks for under these flags that winsim does not model: null when
// nothing.
const char *Unmodelled(const InfSection &section, UINT flags) {
  if ((flags & SPINST_FILES) && SectionHas(section, {L"CopyFiles", L"DelFiles", L"RenFiles"}))
    return "the file directives (SPINST_FILES)";
  if ((flags & SPINST_BITREG) && SectionHas(section, {L"BitReg"})) return "BitReg";
  if ((flags & SPINST_REGSVR) && SectionHas(section, {L"RegisterDlls"})) return "RegisterDlls";
  if ((flags & SPINST_UNREGSVR) && SectionHas(section, {L"UnregisterDlls"})) return "UnregisterDlls";
  if ((flags & SPINST_COPYINF) && SectionHas(section, {L"CopyINF"})) return "CopyINF";
  if ((flags & SPINST_PROPERTIES) && SectionHas(section, {L"AddProperty", L"DelProperty"}))
    return "AddProperty and DelProperty";
  return nullptr;
}

// Installs one section: its Include files and Needs sections first, then its directives.
DWORD InstallSection(InfFile &inf, const std::wstring &name, InstallRequest &request) {
  for (const std::wstring &active : request.active)
    if (EqualNoCase(active, name)) return ERROR_SUCCESS;  // a Needs cycle: already under way
  const InfSection *found = inf.data.Find(name);
  if (!found) return ERROR_SECTION_NOT_FOUND;
  // The section's lines are copied: an Include may add sections and move them.
  InfSection section = *found;
  if (const char *what = Unmodelled(section, request.flags)) {
    NotModelled("SetupInstallFromInfSectionW", what);
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  if (!(request.flags & SPINST_SINGLESECTION)) {
    for (const std::wstring &file : DirectiveFields(section, L"Include"))
      if (DWORD e = AppendInf(inf, file)) return e;
    request.active.push_back(name);
    for (const std::wstring &needed : DirectiveFields(section, L"Needs"))
      if (DWORD e = InstallSection(inf, needed, request)) return e;
    request.active.pop_back();
  }
  if (request.flags & SPINST_INIFILES) {
    if (DWORD e = RecordDirective(inf, section, L"UpdateInis")) return e;
    if (DWORD e = RecordDirective(inf, section, L"UpdateIniFields")) return e;
  }
  if (request.flags & SPINST_INI2REG)
    if (DWORD e = RecordDirective(inf, section, L"Ini2Reg")) return e;
  if (request.flags & SPINST_LOGCONFIG)
    if (DWORD e = RecordDirective(inf, section, L"LogConfig")) return e;
  if (request.flags & SPINST_REGISTRY)
    if (DWORD e = ApplyRegistryDirectives(inf, section, request.relative)) return e;
  if (request.flags & SPINST_PROFILEITEMS)
    if (DWORD e = RecordDirective(inf, section, L"ProfileItems")) return e;
  return ERROR_SUCCESS;
}

// ---- services ------------------------------------------------------------------------------
// A service's key, opened for the registry directives of its install section.
DWORD OpenKeyBelow(HKEY root, const std::wstring &path, bool create, KeyOwner &out) {
  HKEY raw = nullptr;
  LSTATUS e = create ? RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr)
                     : RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS, &raw);
  if (e == ERROR_SUCCESS) out.reset(raw);
  return DWORD(e);
}

bool HasValue(HKEY key, const wchar_t *name) {
  return RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// AddService's event-log type defaults to System, the log of device drivers.
std::wstring EventLogKey(std::wstring_view log, std::wstring_view source) {
  return std::wstring(kServicesKey) + L"\\EventLog\\" + std::wstring(log.empty() ? L"System" : log) + L"\\" +
         std::wstring(source);
}

// What an AddService line's install section describes.
struct ServiceInstall {
  INT type = 0, start = 0, errorControl = 0;
  std::wstring binary;
  std::optional<std::wstring> displayName, description, group, startName;
  std::wstring dependencies;  // a double-NUL list; empty when the section names none
};

// The four required keys and the optional ones; ERROR_BAD_SERVICE_INSTALLSECT when a
// required key is missing or not a number.
DWORD ReadServiceInstall(const InfSection &section, ServiceInstall &out) {
  struct Required {
    const wchar_t *key;
    INT *value;
  } numbers[] = {{L"ServiceType", &out.type}, {L"StartType", &out.start}, {L"ErrorControl", &out.errorControl}};
  for (const Required &r : numbers) {
    const InfLine *line = FirstLine(section, r.key);
    if (!line || !Field(*line, 1) || !ParseInfInt(*Field(*line, 1), r.value)) return ERROR_BAD_SERVICE_INSTALLSECT;
  }
  const InfLine *binary = FirstLine(section, L"ServiceBinary");
  if (!binary || !Field(*binary, 1) || Field(*binary, 1)->empty()) return ERROR_BAD_SERVICE_INSTALLSECT;
  out.binary = *Field(*binary, 1);
  auto optional = [&](const wchar_t *key) -> std::optional<std::wstring> {
    const InfLine *line = FirstLine(section, key);
    if (!line || !Field(*line, 1)) return std::nullopt;
    return std::wstring(*Field(*line, 1));
  };
  out.displayName = optional(L"DisplayName");
  out.description = optional(L"Description");
  out.group = optional(L"LoadOrderGroup");
  out.startName = optional(L"StartName");
  if (const InfLine *deps = FirstLine(section, L"Dependencies")) {
    for (std::wstring_view d : deps->fields)
      if (!d.empty()) out.dependencies.append(d).push_back(L'\0');
    if (!out.dependencies.empty()) out.dependencies += L'\0';
  }
  return ERROR_SUCCESS;
}

// One AddService line: "name, [flags], install section[, event-log section[, [log][, source]]]".
// A new service is created; one that exists is reconfigured, keeping what the NOCLOBBER
// flags protect. Then the install section's registry directives (HKR = the service's key)
// and the event-log section's (HKR = Services\EventLog\<log>\<source>).
DWORD AddService(SC_HANDLE scm, const InfFile &inf, const InfLine &line, DWORD callFlags) {
  const std::wstring_view *name = Field(line, 1);
  const std::wstring_view *sectionName = Field(line, 3);
  if (!name || name->empty() || !sectionName || sectionName->empty()) return ERROR_SUCCESS;
  const std::wstring serviceName(*name);
  INT lineFlags = 0;
  if (!Field(line, 2) || !ParseInfInt(*Field(line, 2), &lineFlags)) lineFlags = 0;
  DWORD flags = DWORD(lineFlags) | callFlags;
  const InfSection *section = inf.data.Find(*sectionName);
  if (!section) return ERROR_BAD_SERVICE_INSTALLSECT;
  ServiceInstall want;
  if (DWORD e = ReadServiceInstall(*section, want)) return e;
  if ((flags & SPSVCINST_TAGTOFRONT) && want.group && !want.group->empty()) {
    NotModelled("SetupInstallServicesFromInfSectionW", "load order tags (SPSVCINST_TAGTOFRONT)");
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  const wchar_t *deps = want.dependencies.empty() ? nullptr : want.dependencies.c_str();
  auto text = [](const std::optional<std::wstring> &s) { return s ? s->c_str() : nullptr; };
  std::wstring keyPath = std::wstring(kServicesKey) + L"\\" + serviceName;

  ScOwner service(CreateServiceW(scm, serviceName.c_str(), text(want.displayName), SERVICE_ALL_ACCESS, DWORD(want.type),
                                 DWORD(want.start), DWORD(want.errorControl), want.binary.c_str(), text(want.group),
                                 nullptr, deps, text(want.startName), nullptr));
  KeyOwner key;
  if (service) {
    if (DWORD e = OpenKeyBelow(HKEY_LOCAL_MACHINE, keyPath, false, key)) return e;
    if (want.description)
      if (DWORD e = SetTextValue(key.get(), L"Description", REG_SZ, *want.description + L'\0')) return e;
  } else {
    if (GetLastError() != ERROR_SERVICE_EXISTS) return GetLastError();
    service.reset(OpenServiceW(scm, serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service) return GetLastError();
    if (DWORD e = OpenKeyBelow(HKEY_LOCAL_MACHINE, keyPath, false, key)) return e;
    // The SCM keeps the configuration in the service's key: what is there decides what the
    // NOCLOBBER flags keep.
    DWORD start = (flags & SPSVCINST_NOCLOBBER_STARTTYPE) ? SERVICE_NO_CHANGE : DWORD(want.start);
    DWORD errorControl = (flags & SPSVCINST_NOCLOBBER_ERRORCONTROL) ? SERVICE_NO_CHANGE : DWORD(want.errorControl);
    const wchar_t *display = text(want.displayName);
    if ((flags & SPSVCINST_NOCLOBBER_DISPLAYNAME) && HasValue(key.get(), L"DisplayName")) display = nullptr;
    const wchar_t *group = text(want.group);
    if ((flags & SPSVCINST_NOCLOBBER_LOADORDERGROUP) && HasValue(key.get(), L"Group")) group = nullptr;
    if ((flags & SPSVCINST_NOCLOBBER_DEPENDENCIES) &&
        (HasValue(key.get(), L"DependOnService") || HasValue(key.get(), L"DependOnGroup")))
      deps = nullptr;
    if (!ChangeServiceConfigW(service.get(), DWORD(want.type), start, errorControl, want.binary.c_str(), group, nullptr,
                              deps, text(want.startName), nullptr, display))
      return GetLastError();
    bool keepDescription = (flags & SPSVCINST_NOCLOBBER_DESCRIPTION) && HasValue(key.get(), L"Description");
    if (want.description && !keepDescription)
      if (DWORD e = SetTextValue(key.get(), L"Description", REG_SZ, *want.description + L'\0')) return e;
  }
  if (DWORD e = ApplyRegistryDirectives(inf, *section, key.get())) return e;

  if (const std::wstring_view *logSection = Field(line, 4); logSection && !logSection->empty()) {
    const InfSection *events = inf.data.Find(*logSection);
    if (!events) return ERROR_SECTION_NOT_FOUND;
    const std::wstring_view *log = Field(line, 5), *source = Field(line, 6);
    KeyOwner eventKey;
    std::wstring path = EventLogKey(log ? *log : L"", source && !source->empty() ? *source : *name);
    if (DWORD e = OpenKeyBelow(HKEY_LOCAL_MACHINE, path, true, eventKey)) return e;
    if (DWORD e = ApplyRegistryDirectives(inf, *events, eventKey.get())) return e;
  }
  if ((flags & SPSVCINST_STARTSERVICE) && !StartServiceW(service.get(), 0, nullptr) &&
      GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return GetLastError();
  return ERROR_SUCCESS;
}

// One DelService line: "name, [flags], [log], [source]". A service that does not exist is
// not an error; SPSVCINST_STOPSERVICE stops it first, SPSVCINST_DELETEEVENTLOGENTRY removes
// its event-log source. A service still running when it is deleted is only marked for
// deletion until the restart: `*restart` is set then.
DWORD DelService(SC_HANDLE scm, const InfLine &line, DWORD callFlags, bool *restart) {
  const std::wstring_view *name = Field(line, 1);
  if (!name || name->empty()) return ERROR_SUCCESS;
  const std::wstring serviceName(*name);
  INT lineFlags = 0;
  if (!Field(line, 2) || !ParseInfInt(*Field(line, 2), &lineFlags)) lineFlags = 0;
  DWORD flags = DWORD(lineFlags) | callFlags;
  ScOwner service(OpenServiceW(scm, serviceName.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service) {
    SERVICE_STATUS status;
    if (flags & SPSVCINST_STOPSERVICE) ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) return GetLastError();
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) *restart = true;
  } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
    return GetLastError();
  }
  if (flags & SPSVCINST_DELETEEVENTLOGENTRY) {
    const std::wstring_view *log = Field(line, 3), *source = Field(line, 4);
    std::wstring path = EventLogKey(log ? *log : L"", source && !source->empty() ? *source : *name);
    if (DWORD e = DeleteTree(HKEY_LOCAL_MACHINE, path, 0)) return e;
  }
  return ERROR_SUCCESS;
}

// ---- published INF files -------------------------------------------------------------------
bool IsOemInfName(const std::wstring &name) {
  if (name.size() < 8 || !EqualNoCase(name.substr(0, 3), L"oem") || !EqualNoCase(name.substr(name.size() - 4), L".inf"))
    return false;
  for (size_t i = 3; i < name.size() - 4; ++i)
    if (name[i] < L'0' || name[i] > L'9') return false;
  return true;
}

// The oemN.inf names of the INF folder, found through FindFirstFileW.
std::vector<std::wstring> PublishedInfs(const std::wstring &folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\oem*.inf").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsOemInfName(data.cFileName))
      names.push_back(data.cFileName);
  while (FindNextFileW(find, &data));
  FindClose(find);
  return names;
}

}  // namespace

extern "C" {

BOOL WINAPI SetupInstallFromInfSectionW(HWND Owner, HINF InfHandle, PCWSTR SectionName, UINT Flags,
                                        HKEY RelativeKeyRoot, PCWSTR SourceRootPath, UINT CopyFlags,
                                        PSP_FILE_CALLBACK_W MsgHandler, PVOID Context, HDEVINFO DeviceInfoSet,
                                        PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_ENTRY("setupapi.dll", SetupInstallFromInfSectionW, FALSE, SectionName, SourceRootPath);
  (void)Owner, (void)CopyFlags, (void)MsgHandler, (void)Context, (void)DeviceInfoData;
  auto inf = FindInf(InfHandle);
  if (!inf) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!SectionName) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (DeviceInfoSet && DeviceInfoSet != INVALID_HANDLE_VALUE) {
    NotModelled("SetupInstallFromInfSectionW", "a device's keys as the relative root (DeviceInfoSet)");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  InstallRequest request{Flags, RelativeKeyRoot, {}};
  if (DWORD e = InstallSection(*inf, SectionName, request)) return Fail(e, FALSE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// The AddService lines in order, then the DelService lines; the first failure ends the call
// with its error (what earlier lines did stays). The SPSVCINST flags of the call add to
// those of each line.
BOOL WINAPI SetupInstallServicesFromInfSectionW(HINF InfHandle, PCWSTR SectionName, DWORD Flags) {
  WINSIM_ENTRY("setupapi.dll", SetupInstallServicesFromInfSectionW, FALSE, SectionName);
  auto inf = FindInf(InfHandle);
  if (!inf) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!SectionName) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const InfSection *section = inf->data.Find(SectionName);
  if (!section || section->lines.empty()) return Fail(ERROR_SECTION_NOT_FOUND, FALSE);
  ScOwner scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) return FALSE;
  bool restart = false;
  for (const wchar_t *directive : {L"AddService", L"DelService"}) {
    for (const InfLine &line : section->lines) {
      if (!line.hasKey || !EqualNoCase(line.key, directive)) continue;
      DWORD e = directive[0] == L'A' ? AddService(scm.get(), *inf, line, Flags)
                                     : DelService(scm.get(), line, Flags, &restart);
      if (e) return Fail(e, FALSE);
    }
  }
  // Success tells through the last error whether a restart is needed.
  SetLastError(restart ? ERROR_SUCCESS_REBOOT_REQUIRED : ERROR_SUCCESS);
  return TRUE;
}

// Publishes an INF as %windir%\INF\oemN.inf (the lowest free N). An INF whose bytes equal a
// published one is not copied again: the call answers that name (SP_COPY_NOOVERWRITE makes
// it fail with ERROR_FILE_EXISTS, still giving the name). SP_COPY_REPLACEONLY publishes
// nothing new (ERROR_FILE_NOT_FOUND when no copy exists yet). The name goes to the caller's
// buffer when it fits (ERROR_INSUFFICIENT_BUFFER otherwise, after the copy), its size with
// the NUL to *RequiredSize, and *DestinationInfFileNameComponent points at its file name.
BOOL WINAPI SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation, DWORD OEMSourceMediaType,
                             DWORD CopyStyle, PWSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                             PDWORD RequiredSize, PWSTR *DestinationInfFileNameComponent) {
  WINSIM_ENTRY("setupapi.dll", SetupCopyOEMInfW, FALSE, SourceInfFileName, OEMSourceMediaLocation);
  if (!SourceInfFileName || OEMSourceMediaType > SPOST_URL) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (CopyStyle & SP_COPY_OEMINF_CATALOG_ONLY) {
    NotModelled("SetupCopyOEMInfW", "SP_COPY_OEMINF_CATALOG_ONLY (catalog files)");
    return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  }
  DWORD error = 0;
  std::wstring source = FullPath(SourceInfFileName, &error);
  if (source.empty()) return Fail(error, FALSE);
  std::string bytes;
  if (!ReadWholeFile(source, bytes, &error)) return Fail(error, FALSE);
  InfData parsed;
  UINT line = 0;
  if (DWORD e = ParseMachineInf(bytes, source, parsed, &line)) return Fail(e, FALSE);

  const std::wstring folder = MachineDirIds(L"")[17];
  std::wstring target;
  std::vector<std::wstring> published = PublishedInfs(folder);
  for (const std::wstring &name : published) {
    std::string other;
    DWORD ignored = 0;
    if (ReadWholeFile(folder + L"\\" + name, other, &ignored) && other == bytes) {
      target = folder + L"\\" + name;
      break;
    }
  }
  BOOL ok = TRUE;
  DWORD failure = ERROR_SUCCESS;
  if (!target.empty()) {
    if (CopyStyle & SP_COPY_NOOVERWRITE) ok = FALSE, failure = ERROR_FILE_EXISTS;
  } else {
    if (CopyStyle & SP_COPY_REPLACEONLY) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
    std::set<std::wstring> taken;
    for (const std::wstring &name : published) taken.insert(Upcased(name));
    for (unsigned n = 0; target.empty(); ++n) {
      std::wstring name = L"oem" + std::to_wstring(n) + L".inf";
      if (!taken.count(Upcased(name))) target = folder + L"\\" + name;
    }
    // Every Windows has the folder; a machine made without it gets it here.
    for (const std::wstring &dir : {ParentOf(folder), folder})
      if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return FALSE;
    if (!CopyFileW(source.c_str(), target.c_str(), TRUE)) return FALSE;
  }
  if (ok && (CopyStyle & SP_COPY_DELETESOURCE) && !EqualNoCase(source, target)) DeleteFileW(source.c_str());
  DWORD size = DWORD(target.size() + 1);
  if (RequiredSize) *RequiredSize = size;
  if (DestinationInfFileName) {
    if (DestinationInfFileNameSize < size) return Fail(ok ? DWORD(ERROR_INSUFFICIENT_BUFFER) : failure, FALSE);
    target.copy(DestinationInfFileName, target.size());
    DestinationInfFileName[target.size()] = L'\0';
    if (DestinationInfFileNameComponent)
      *DestinationInfFileNameComponent = DestinationInfFileName + target.rfind(L'\\') + 1;
  }
  if (!ok) return Fail(failure, FALSE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // extern "C"
