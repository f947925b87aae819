// The registry model and the Reg* functions of winreg.h. They return their error (an
// LSTATUS) and never touch the last error; an injected fault is returned the same way.
#include "machine/registry.h"

#include <algorithm>
#include <cstring>

#include "plumbing/hooks.h"
#include "machine/clock.h"
#include "machine/machine.h"
#include "base/names.h"
#include "machine/system.h"
#include "plumbing/calls.h"

namespace winsim {

namespace {
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr ACCESS_MASK kAccessSystemSecurity = 0x01000000;
constexpr ACCESS_MASK kWow64Flags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr DWORD kRegOptionCreateLink = 0x00000002;
constexpr DWORD kRegOptionBackupRestore = 0x00000004;
constexpr DWORD kRrfSubkeyWow6464 = 0x00010000;
constexpr DWORD kRrfSubkeyWow6432 = 0x00020000;
constexpr const wchar_t *kClassesRoot = L"SOFTWARE\\Classes";
constexpr const wchar_t *kCurrentConfig = L"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current";

uintptr_t g_nextHandle = 0x40000;  // never reused, so a handle of a closed machine stays invalid

bool Same(HKEY a, HKEY b) { return a == b; }

std::shared_ptr<RegKey> NewKey(std::wstring name, RegKey *parent, int64_t now) {
  auto k = std::make_shared<RegKey>();
  k->name = std::move(name);
  k->parent = parent;
  k->lastWrite = now;
  return k;
}
}  // namespace

// ---- RegKey ---------------------------------------------------------------------------------

std::wstring RegKey::Path() const {
  std::wstring path = name;
  for (const RegKey *p = parent; p; p = p->parent) path = p->name + L"\\" + path;
  return path;
}

RegValue *RegKey::FindValue(std::wstring_view valueName) {
  for (auto &v : values)
    if (EqualNoCase(v.name, valueName)) return &v;
  return nullptr;
}

RegKey *RegKey::FindSubkey(std::wstring_view keyName) const {
  auto it = subkeys.find(Upcased(keyName));
  return it == subkeys.end() ? nullptr : it->second.get();
}

std::vector<BYTE> RegKey::DaclImage() const {
  switch (dacl) {
    case Dacl::Default: return KeyDacl(false);
    case Dacl::Protected: return KeyDacl(true);
    case Dacl::Custom: break;
  }
  return customDacl;
}

bool RegKey::DeletionRefused() const { return !DaclGrantsAdministratorsDelete(DaclImage()); }

ACCESS_MASK RegKey::AccessAllowed() const { return KeyAccessAllowed(DaclImage(), owner); }

// ---- Registry -------------------------------------------------------------------------------

RegistryTree::RegistryTree() {
  int64_t now = 0;
  hklm_ = NewKey(L"HKEY_LOCAL_MACHINE", nullptr, now);
  hkcu_ = NewKey(L"HKEY_CURRENT_USER", nullptr, now);
  hku_ = NewKey(L"HKEY_USERS", nullptr, now);
}

RegKey *RegistryTree::Predefined(HKEY hkey) {
  std::shared_ptr<RegKey> view;
  bool created;
  if (Same(hkey, HKEY_LOCAL_MACHINE)) return hklm_.get();
  if (Same(hkey, HKEY_CURRENT_USER)) return hkcu_.get();
  if (Same(hkey, HKEY_USERS)) return hku_.get();
  if (Same(hkey, HKEY_CLASSES_ROOT)) return Create(hklm_.get(), kClassesRoot, &view, &created) ? nullptr : view.get();
  if (Same(hkey, HKEY_CURRENT_CONFIG))
    return Create(hklm_.get(), kCurrentConfig, &view, &created) ? nullptr : view.get();
  return nullptr;
}

RegKey *RegistryTree::RootByName(std::wstring_view rootName) {
  static const struct {
    const wchar_t *full, *shortName;
    HKEY hkey;
  } roots[] = {
      {L"HKEY_LOCAL_MACHINE", L"HKLM", HKEY_LOCAL_MACHINE},   {L"HKEY_CURRENT_USER", L"HKCU", HKEY_CURRENT_USER},
      {L"HKEY_CLASSES_ROOT", L"HKCR", HKEY_CLASSES_ROOT},     {L"HKEY_USERS", L"HKU", HKEY_USERS},
      {L"HKEY_CURRENT_CONFIG", L"HKCC", HKEY_CURRENT_CONFIG},
  };
  for (auto &r : roots)
    if (EqualNoCase(rootName, r.full) || EqualNoCase(rootName, r.shortName)) return Predefined(r.hkey);
  return nullptr;
}

std::vector<RegKey *> RegistryTree::Roots() const { return {hkcu_.get(), hklm_.get(), hku_.get()}; }

bool KeyPathNames(std::wstring_view path, std::vector<std::wstring_view> &names) {
  names.clear();
  if (!path.empty() && path[0] == L'\\') return false;
  size_t i = 0;
  while (i < path.size()) {
    size_t end = std::min(path.find(L'\\', i), path.size());
    if (end > i) names.push_back(path.substr(i, end - i));
    i = end + 1;
  }
  return true;
}

DWORD RegistryTree::Open(RegKey *from, std::wstring_view path, std::shared_ptr<RegKey> *out) const {
  std::vector<std::wstring_view> names;
  if (!KeyPathNames(path, names)) return ERROR_BAD_PATHNAME;
  RegKey *key = from;
  for (std::wstring_view name : names)
    if (!(key = key->FindSubkey(name))) return ERROR_FILE_NOT_FOUND;
  *out = key->shared_from_this();
  return ERROR_SUCCESS;
}

RegKey *RegistryTree::Deepest(RegKey *from, std::wstring_view path, bool *complete) const {
  std::vector<std::wstring_view> names;
  *complete = false;
  if (!KeyPathNames(path, names)) return nullptr;
  RegKey *key = from;
  for (std::wstring_view name : names) {
    RegKey *next = key->FindSubkey(name);
    if (!next) return key;
    key = next;
  }
  *complete = true;
  return key;
}

DWORD RegistryTree::Create(RegKey *from, std::wstring_view path, std::shared_ptr<RegKey> *out, bool *created,
                           bool isVolatile) {
  std::vector<std::wstring_view> names;
  if (!KeyPathNames(path, names)) return ERROR_BAD_PATHNAME;
  std::shared_ptr<RegKey> key = from->shared_from_this();
  *created = false;
  for (std::wstring_view name : names) {
    if (RegKey *next = key->FindSubkey(name)) {
      key = next->shared_from_this();
      *created = false;
      continue;
    }
    // The keys below this one are all new: the one they would hang under decides.
    if (key->isVolatile && !isVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
    auto child = NewKey(std::wstring(name), key.get(), Now());
    child->isVolatile = isVolatile;
    key->subkeys[Upcased(name)] = child;
    Touch(key.get());
    BindProtected(child.get());
    key = child;
    *created = true;
  }
  *out = std::move(key);
  return ERROR_SUCCESS;
}

void RegistryTree::BindProtected(RegKey *key) {
  if (protectedList.empty()) return;
  std::wstring path = key->Path();
  for (auto &entry : protectedList)
    if (!entry.key && EqualNoCase(entry.path, path)) {
      entry.key = key->shared_from_this();
      if (entry.custom) {
        key->dacl = RegKey::Dacl::Custom;
        key->customDacl = entry.dacl;
        key->owner = entry.owner;
      } else if (key->dacl == RegKey::Dacl::Default) {
        key->dacl = RegKey::Dacl::Protected;
      }
    }
}

void RegistryTree::Remove(RegKey *key) {
  std::shared_ptr<RegKey> keep = key->shared_from_this();
  if (key->parent) {
    key->parent->subkeys.erase(Upcased(key->name));
    Touch(key->parent);
  }
  // Deepest first, so every key of the subtree is detached and marked.
  while (!key->subkeys.empty()) Remove(key->subkeys.begin()->second.get());
  key->parent = nullptr;
  key->deleted = true;
}

void RegistryTree::Touch(RegKey *key) const { key->lastWrite = Now(); }

HKEY RegistryTree::AddHandle(std::shared_ptr<RegKey> key, ACCESS_MASK access) {
  uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  handles_[value] = OpenKey{std::move(key), access};
  return reinterpret_cast<HKEY>(value);
}

RegistryTree::OpenKey *RegistryTree::FindHandle(HKEY hkey) {
  auto it = handles_.find(reinterpret_cast<uintptr_t>(hkey));
  if (it != handles_.end()) return &it->second;
  if (closed_.count(reinterpret_cast<uintptr_t>(hkey))) UsedAfterClose(hkey);
  return nullptr;
}

bool RegistryTree::CloseHandle(HKEY hkey) {
  if (!FindHandle(hkey)) return false;
  handles_.erase(reinterpret_cast<uintptr_t>(hkey));
  closed_.insert(reinterpret_cast<uintptr_t>(hkey));
  return true;
}

int64_t RegistryTree::Now() const { return clocked_ ? Clock().Now() : 0; }

// ---- value data -------------------------------------------------------------------------------

std::optional<DWORD> DwordValue(const RegKey &key, const wchar_t *name) {
  const RegValue *v = const_cast<RegKey &>(key).FindValue(name);
  if (!v || v->type != REG_DWORD || v->data.size() < 4) return std::nullopt;
  return DWORD(v->data[0]) | DWORD(v->data[1]) << 8 | DWORD(v->data[2]) << 16 | DWORD(v->data[3]) << 24;
}

std::optional<std::wstring> TextValue(const RegKey &key, const wchar_t *name) {
  const RegValue *v = const_cast<RegKey &>(key).FindValue(name);
  if (!v || !IsStringType(v->type)) return std::nullopt;
  std::wstring text = TextOfImage(v->data);
  return text.substr(0, text.find(L'\0'));
}

void SetValue(RegKey &key, const wchar_t *name, DWORD type, std::vector<BYTE> data) {
  if (RegValue *v = key.FindValue(name)) {
    v->type = type;
    v->data = std::move(data);
  } else {
    key.values.push_back(RegValue{name, type, std::move(data)});
  }
  Registry().Touch(&key);
}

void SetDword(RegKey &key, const wchar_t *name, DWORD value) {
  SetValue(key, name, REG_DWORD, {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)});
}

void SetText(RegKey &key, const wchar_t *name, const std::wstring &text, DWORD type) {
  SetValue(key, name, type, Utf16Image(text, true));
}

void SetMultiText(RegKey &key, const wchar_t *name, const std::vector<std::wstring> &entries) {
  SetValue(key, name, REG_MULTI_SZ, Utf16Image(MultiString(entries), false));
}

void RemoveValue(RegKey &key, const wchar_t *name) {
  auto &values = key.values;
  values.erase(
      std::remove_if(values.begin(), values.end(), [&](const RegValue &v) { return EqualNoCase(v.name, name); }),
      values.end());
}

std::wstring MultiString(const std::vector<std::wstring> &entries) {
  std::wstring text;
  for (const std::wstring &e : entries) {
    text += e;
    text += L'\0';
  }
  text += L'\0';
  return text;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<BYTE> Utf16Image(std::wstring_view text, bool terminate) {
  std::vector<BYTE> out;
  out.reserve((text.size() + 1) * 2);
  auto unit = [&](uint32_t u) {
    out.push_back(BYTE(u & 0xFF));
    out.push_back(BYTE(u >> 8));
  };
  for (wchar_t wc : text) {
    uint32_t c = uint32_t(wc);
    if (c > 0x10FFFF) c = 0xFFFD;
    if (c >= 0x10000) {
      c -= 0x10000;
      unit(0xD800 | (c >> 10));
      unit(0xDC00 | (c & 0x3FF));
    } else {
      unit(c);
    }
  }
  if (terminate) unit(0);
  return out;
}

std::wstring TextOfImage(const std::vector<BYTE> &image) {
  std::wstring out;
  size_t units = image.size() / 2;
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = image[2 * i] | (uint32_t(image[2 * i + 1]) << 8);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      uint32_t low = image[2 * i + 2] | (uint32_t(image[2 * i + 3]) << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out += wchar_t(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    out += wchar_t(u);
  }
  if (image.size() % 2) out += wchar_t(image.back());
  return out;
}

std::vector<BYTE> ImageFromHostText(const BYTE *data, size_t bytes) {
  size_t count = bytes / sizeof(WCHAR);
  std::wstring text(count, L'\0');
  if (count) std::memcpy(text.data(), data, count * sizeof(WCHAR));
  std::vector<BYTE> image = Utf16Image(text, false);
  if (bytes % sizeof(WCHAR)) image.push_back(data[count * sizeof(WCHAR)]);  // little-endian: the low byte
  return image;
}

std::vector<BYTE> HostTextFromImage(const std::vector<BYTE> &image) {
  std::wstring text = TextOfImage(image);
  std::vector<BYTE> out(text.size() * sizeof(WCHAR));
  if (!text.empty()) std::memcpy(out.data(), text.data(), out.size());
  return out;
}

}  // namespace winsim

using namespace winsim;

namespace {

// What a caller gets for a value: host WCHARs for text, the image for everything else.
std::vector<BYTE> CallerBytes(const RegValue &v) { return IsStringType(v.type) ? HostTextFromImage(v.data) : v.data; }

bool IsPredefined(HKEY h) {
  for (HKEY p : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG})
    if (h == p) return true;
  return false;
}

// The access a new handle on `key` gets for the access asked, or ERROR_ACCESS_DENIED when the
// key's access list withholds any of it. MAXIMUM_ALLOWED adds everything the list allows
// (and is refused when it allows nothing).
LSTATUS CheckKeyAccess(const RegKey &key, REGSAM sam, ACCESS_MASK &granted) {
  ACCESS_MASK desired = MapKeyGenericRights(sam & ~(kWow64Flags | kMaximumAllowed));
  ACCESS_MASK allowed = key.AccessAllowed();
  if (desired & ~allowed) return ERROR_ACCESS_DENIED;
  if ((sam & kMaximumAllowed) && !allowed) return ERROR_ACCESS_DENIED;
  granted = desired | ((sam & kMaximumAllowed) ? allowed : 0);
  return ERROR_SUCCESS;
}

// The access of a handle on a key the caller has just created: everything it asked for.
ACCESS_MASK GrantedAccess(REGSAM sam) {
  ACCESS_MASK a = MapKeyGenericRights(sam & ~kWow64Flags);
  if (a & kMaximumAllowed) a = (a & ~kMaximumAllowed) | KEY_ALL_ACCESS;
  return a;
}

struct Target {
  std::shared_ptr<RegKey> key;
  ACCESS_MASK access = 0;
};

// The key behind a handle. Predefined keys carry full access (the process is an elevated
// administrator). A deleted key answers ERROR_KEY_DELETED once the access was checked.
LSTATUS Resolve(HKEY h, ACCESS_MASK needed, Target &t) {
  if (!h) return ERROR_INVALID_HANDLE;
  RegistryTree &r = Registry();
  if (RegKey *k = r.Predefined(h)) {
    t.key = k->shared_from_this();
    t.access = KEY_ALL_ACCESS;
  } else if (auto *o = r.FindHandle(h)) {
    t.key = o->key;
    t.access = o->access;
  } else {
    return ERROR_INVALID_HANDLE;
  }
  if ((t.access & needed) != needed) return ERROR_ACCESS_DENIED;
  if (t.key->deleted) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

std::wstring KeyText(HKEY h) {
  if (!h || !HasMachine()) return L"";
  RegistryTree &r = Registry();
  if (IsPredefined(h)) {
    RegKey *k = r.Predefined(h);
    return k ? k->Path() : L"";
  }
  auto *o = r.FindHandle(h);
  return o ? o->key->Path() : L"";
}

std::wstring_view Text(LPCWSTR s) { return s ? std::wstring_view(s) : std::wstring_view(); }

// Copies a name into a caller's buffer of *chars characters (terminator included): false
// when it does not fit, leaving both untouched.
bool CopyName(const std::wstring &name, LPWSTR buffer, LPDWORD chars) {
  if (name.size() >= *chars) return false;
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = L'\0';
  *chars = DWORD(name.size());
  return true;
}

// Copies value data to a caller's buffer as RegQueryValueExW and RegEnumValueW do: with
// room for one more WCHAR, an unterminated string gets a NUL after it (not counted).
void CopyData(const std::vector<BYTE> &bytes, DWORD type, LPBYTE data, DWORD capacity) {
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  if (IsStringType(type) && bytes.size() >= sizeof(WCHAR) && bytes.size() + sizeof(WCHAR) <= capacity) {
    WCHAR last;
    std::memcpy(&last, bytes.data() + bytes.size() - sizeof(WCHAR), sizeof last);
    if (last) std::memset(data + bytes.size(), 0, sizeof(WCHAR));
  }
}

LSTATUS OpenSubkey(HKEY hKey, std::wstring_view sub, REGSAM sam, PHKEY result) {
  Target t;
  if (LSTATUS e = Resolve(hKey, 0, t)) return e;
  std::shared_ptr<RegKey> found;
  if (DWORD e = Registry().Open(t.key.get(), sub, &found)) return LSTATUS(e);
  ACCESS_MASK granted = 0;
  if (LSTATUS e = CheckKeyAccess(*found, sam, granted)) return e;
  *result = Registry().AddHandle(std::move(found), granted);
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegConnectRegistryW(LPCWSTR lpMachineName, HKEY hKey, PHKEY phkResult) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegConnectRegistryW, Text(lpMachineName));
  std::wstring_view name = Text(lpMachineName);
  if (!name.empty()) {
    if (name.size() >= 2 && name[0] == L'\\' && name[1] == L'\\') name.remove_prefix(2);
    // Any other computer cannot be reached: the simulated machine has no network.
    if (!EqualNoCase(name, System().computerName)) return ERROR_BAD_NETPATH;
  }
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  if (!IsPredefined(hKey)) return ERROR_INVALID_HANDLE;
  *phkResult = hKey;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegOpenKeyExW, KeyText(hKey), Text(lpSubKey));
  (void)ulOptions;  // REG_OPTION_OPEN_LINK: there are no links to open
  std::wstring_view sub = Text(lpSubKey);
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  if (sub.empty() && IsPredefined(hKey)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  *phkResult = nullptr;
  if (samDesired & kAccessSystemSecurity) return ERROR_PRIVILEGE_NOT_HELD;
  // Windows accepts one leading backslash below HKEY_CLASSES_ROOT.
  if (hKey == HKEY_CLASSES_ROOT && !sub.empty() && sub[0] == L'\\') sub.remove_prefix(1);
  return OpenSubkey(hKey, sub, samDesired, phkResult);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegCreateKeyExW, KeyText(hKey), Text(lpSubKey));
  if (!phkResult) return ERROR_BADKEY;
  if (Reserved) return ERROR_INVALID_PARAMETER;
  if (dwOptions & (kRegOptionCreateLink | kRegOptionBackupRestore)) {
    NotModelled("RegCreateKeyExW", "REG_OPTION_CREATE_LINK and REG_OPTION_BACKUP_RESTORE");
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  if (samDesired & kAccessSystemSecurity) return ERROR_PRIVILEGE_NOT_HELD;
  DescriptorParts parts;
  bool withDescriptor = lpSecurityAttributes && lpSecurityAttributes->lpSecurityDescriptor;
  if (withDescriptor && !ReadDescriptor(lpSecurityAttributes->lpSecurityDescriptor, parts))
    return ERROR_INVALID_SECURITY_DESCR;
  Target t;
  if (LSTATUS e = Resolve(hKey, KEY_CREATE_SUB_KEY, t)) return e;
  RegistryTree &r = Registry();
  // An existing key is opened with its access list checked; a new one needs the right to
  // create subkeys of the key it is created under (checked above for the handle's own key).
  bool exists = false;
  RegKey *deepest = r.Deepest(t.key.get(), Text(lpSubKey), &exists);
  ACCESS_MASK granted = GrantedAccess(samDesired);
  if (deepest && exists && deepest != t.key.get()) {
    if (LSTATUS e = CheckKeyAccess(*deepest, samDesired, granted)) return e;
  } else if (deepest && !exists && deepest != t.key.get() && !(deepest->AccessAllowed() & KEY_CREATE_SUB_KEY)) {
    return ERROR_ACCESS_DENIED;
  }
  std::shared_ptr<RegKey> key;
  bool created = false;
  // An existing key is opened as it is: REG_OPTION_VOLATILE only applies to keys it creates.
  if (DWORD e = r.Create(t.key.get(), Text(lpSubKey), &key, &created, (dwOptions & REG_OPTION_VOLATILE) != 0))
    return LSTATUS(e);
  if (created) {
    if (lpClass) key->className = lpClass;
    if (withDescriptor && parts.daclPresent) {
      key->dacl = RegKey::Dacl::Custom;
      key->customDacl = parts.dacl;
    }
    if (withDescriptor) {
      key->owner = parts.owner;
      key->group = parts.group;
    }
  }
  *phkResult = r.AddHandle(std::move(key), granted);
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegCloseKey, KeyText(hKey));
  if (!hKey) return ERROR_INVALID_HANDLE;
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  return Registry().CloseHandle(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegQueryValueExW, KeyText(hKey), Text(lpValueName));
  if ((lpData && !lpcbData) || lpReserved) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS e = Resolve(hKey, KEY_QUERY_VALUE, t)) return e;
  RegValue *v = t.key->FindValue(Text(lpValueName));
  if (!v) return ERROR_FILE_NOT_FOUND;
  std::vector<BYTE> bytes = CallerBytes(*v);
  LSTATUS result = ERROR_SUCCESS;
  if (lpData) {
    if (bytes.size() > *lpcbData)
      result = ERROR_MORE_DATA;  // the buffer is left as it was
    else
      CopyData(bytes, v->type, lpData, *lpcbData);
  }
  if (lpType) *lpType = v->type;
  if (lpcbData) *lpcbData = DWORD(bytes.size());
  return result;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegSetValueExW, KeyText(hKey), Text(lpValueName));
  (void)Reserved;  // ignored, as Windows does
  if (!lpData && cbData) return ERROR_NOACCESS;
  Target t;
  if (LSTATUS e = Resolve(hKey, KEY_SET_VALUE, t)) return e;
  std::vector<BYTE> image = IsStringType(dwType) ? ImageFromHostText(lpData, cbData)
                                                 : std::vector<BYTE>(lpData, lpData + (lpData ? cbData : 0));
  if (RegValue *v = t.key->FindValue(Text(lpValueName))) {
    v->type = dwType;
    v->data = std::move(image);
  } else {
    t.key->values.push_back(RegValue{std::wstring(Text(lpValueName)), dwType, std::move(image)});
  }
  Registry().Touch(t.key.get());
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegDeleteValueW, KeyText(hKey), Text(lpValueName));
  Target t;
  if (LSTATUS e = Resolve(hKey, KEY_SET_VALUE, t)) return e;
  auto &values = t.key->values;
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const RegValue &v) { return EqualNoCase(v.name, Text(lpValueName)); });
  if (it == values.end()) return ERROR_FILE_NOT_FOUND;
  values.erase(it);
  Registry().Touch(t.key.get());
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegEnumKeyExW, KeyText(hKey));
  if (lpReserved || !lpName || !lpcchName || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS e = Resolve(hKey, KEY_ENUMERATE_SUB_KEYS, t)) return e;
  if (dwIndex >= t.key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  const RegKey &sub = *std::next(t.key->subkeys.begin(), dwIndex)->second;
  if (lpftLastWriteTime) {
    lpftLastWriteTime->dwLowDateTime = DWORD(uint64_t(sub.lastWrite));
    lpftLastWriteTime->dwHighDateTime = DWORD(uint64_t(sub.lastWrite) >> 32);
  }
  // Name and class must both fit; otherwise nothing is written and the sizes keep their values.
  if (sub.name.size() >= *lpcchName || (lpClass && sub.className.size() >= *lpcchClass)) return ERROR_MORE_DATA;
  CopyName(sub.name, lpName, lpcchName);
  if (lpcchClass) {
    if (lpClass) {
      CopyName(sub.className, lpClass, lpcchClass);
    } else {
      *lpcchClass = DWORD(sub.className.size());
    }
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegEnumValueW, KeyText(hKey));
  if ((lpData && !lpcbData) || lpReserved || !lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
  Target t;
  if (LSTATUS e = Resolve(hKey, KEY_QUERY_VALUE, t)) return e;
  if (dwIndex >= t.key->values.size()) return ERROR_NO_MORE_ITEMS;
  const RegValue &v = t.key->values[dwIndex];
  std::vector<BYTE> bytes = CallerBytes(v);
  LSTATUS result = ERROR_SUCCESS;
  if (!CopyName(v.name, lpValueName, lpcchValueName)) {
    result = ERROR_MORE_DATA;  // name untouched, *lpcchValueName unchanged
  } else if (lpData) {
    if (bytes.size() > *lpcbData)
      result = ERROR_MORE_DATA;
    else
      CopyData(bytes, v.type, lpData, *lpcbData);
  }
  if (lpType) *lpType = v.type;
  if (lpcbData) *lpcbData = DWORD(bytes.size());
  return result;
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegDeleteKeyW, KeyText(hKey), Text(lpSubKey));
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  // The access of hKey does not matter: the key is opened anew for DELETE.
  Target t;
  if (LSTATUS e = Resolve(hKey, 0, t)) return e;
  RegistryTree &r = Registry();
  std::shared_ptr<RegKey> key;
  if (DWORD e = r.Open(t.key.get(), lpSubKey, &key)) return LSTATUS(e);
  if (!key->parent) return ERROR_ACCESS_DENIED;  // a root
  if (key->DeletionRefused()) return ERROR_ACCESS_DENIED;
  if (!key->subkeys.empty()) return ERROR_ACCESS_DENIED;
  r.Remove(key.get());
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                            LPDWORD pcbData) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegGetValueW, KeyText(hkey), Text(lpSubKey), Text(lpValue));
  if (pvData && !pcbData) return ERROR_INVALID_PARAMETER;
  if ((dwFlags & RRF_RT_REG_EXPAND_SZ) && !(dwFlags & RRF_NOEXPAND) && (dwFlags & RRF_RT_ANY) != RRF_RT_ANY)
    return ERROR_INVALID_PARAMETER;
  if ((dwFlags & (kRrfSubkeyWow6464 | kRrfSubkeyWow6432)) == (kRrfSubkeyWow6464 | kRrfSubkeyWow6432))
    return ERROR_INVALID_PARAMETER;
  const DWORD capacity = pvData ? *pcbData : 0;
  auto fail = [&](LSTATUS e) {
    if (pvData && (dwFlags & RRF_ZEROONFAILURE)) std::memset(pvData, 0, capacity);
    return e;
  };

  Target t;
  if (LSTATUS e = Resolve(hkey, lpSubKey && *lpSubKey ? 0 : KEY_QUERY_VALUE, t)) return fail(e);
  std::shared_ptr<RegKey> key = t.key;
  if (lpSubKey && *lpSubKey) {
    if (DWORD e = Registry().Open(t.key.get(), lpSubKey, &key)) return fail(LSTATUS(e));
    ACCESS_MASK granted;
    if (LSTATUS e = CheckKeyAccess(*key, KEY_QUERY_VALUE, granted)) return fail(e);
  }
  RegValue *v = key->FindValue(Text(lpValue));
  if (!v) return fail(ERROR_FILE_NOT_FOUND);

  DWORD type = v->type;
  std::vector<BYTE> bytes;
  if (IsStringType(type)) {
    std::wstring text = TextOfImage(v->data);
    if (text.empty() || text.back() != L'\0') text += L'\0';  // always terminated
    if (type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) {
      DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
      if (!needed) return fail(LSTATUS(GetLastError()));
      std::wstring expanded(needed, L'\0');
      ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
      text = expanded.substr(0, needed);
      type = REG_SZ;
    }
    bytes.resize(text.size() * sizeof(WCHAR));
    std::memcpy(bytes.data(), text.data(), bytes.size());
  } else {
    bytes = v->data;
  }

  LSTATUS result = ERROR_SUCCESS;
  if ((dwFlags & RRF_RT_ANY) != RRF_RT_ANY) {
    DWORD allowed = 0;
    switch (type) {
      case REG_NONE: allowed = RRF_RT_REG_NONE; break;
      case REG_SZ: allowed = RRF_RT_REG_SZ; break;
      case REG_EXPAND_SZ: allowed = RRF_RT_REG_EXPAND_SZ; break;
      case REG_MULTI_SZ: allowed = RRF_RT_REG_MULTI_SZ; break;
      case REG_BINARY: allowed = RRF_RT_REG_BINARY; break;
      case REG_DWORD: allowed = RRF_RT_REG_DWORD; break;
      case REG_QWORD: allowed = RRF_RT_REG_QWORD; break;
      default: break;
    }
    if (!(dwFlags & allowed)) {
      result = ERROR_UNSUPPORTED_TYPE;
    } else if (type == REG_BINARY) {
      // RRF_RT_DWORD and RRF_RT_QWORD take binary data of exactly that size.
      DWORD rt = dwFlags & RRF_RT_ANY;
      size_t expect = rt == RRF_RT_DWORD ? 4 : rt == RRF_RT_QWORD ? 8 : 0;
      if (expect && bytes.size() != expect) result = ERROR_DATATYPE_MISMATCH;
    }
  }
  if (result == ERROR_SUCCESS && pvData) {
    if (bytes.size() > capacity)
      result = ERROR_MORE_DATA;
    else if (!bytes.empty())
      std::memcpy(pvData, bytes.data(), bytes.size());
  }
  if (result != ERROR_SUCCESS) fail(result);
  if (pdwType) *pdwType = type;
  if (pcbData) *pcbData = DWORD(bytes.size());
  return result;
}

LSTATUS WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                 PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegGetKeySecurity, KeyText(hKey));
  if (!lpcbSecurityDescriptor) return ERROR_INVALID_PARAMETER;
  ACCESS_MASK needed = 0;
  if (SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))
    needed |= READ_CONTROL;
  if (SecurityInformation & SACL_SECURITY_INFORMATION) needed |= kAccessSystemSecurity;  // never granted
  Target t;
  if (LSTATUS e = Resolve(hKey, needed, t)) return e;
  DescriptorParts parts;
  parts.daclPresent = true;
  parts.dacl = t.key->DaclImage();
  parts.owner = t.key->owner.empty() ? MakeSid(5, {32, 544}) : t.key->owner;  // Administrators
  parts.group = t.key->group.empty() ? MakeSid(5, {18}) : t.key->group;       // SYSTEM
  std::vector<BYTE> sd = SelfRelativeDescriptor(parts, SecurityInformation);
  if (!pSecurityDescriptor || *lpcbSecurityDescriptor < sd.size()) {
    *lpcbSecurityDescriptor = DWORD(sd.size());
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(pSecurityDescriptor, sd.data(), sd.size());
  *lpcbSecurityDescriptor = DWORD(sd.size());
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                 PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  WINSIM_ENTRY_STATUS("advapi32.dll", RegSetKeySecurity, KeyText(hKey));
  constexpr SECURITY_INFORMATION kKnown =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
  if (!(SecurityInformation & kKnown) || !pSecurityDescriptor) return ERROR_INVALID_PARAMETER;
  ACCESS_MASK needed = 0;
  if (SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) needed |= WRITE_OWNER;
  if (SecurityInformation & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
  if (SecurityInformation & SACL_SECURITY_INFORMATION) needed |= kAccessSystemSecurity;  // never granted
  Target t;
  if (LSTATUS e = Resolve(hKey, needed, t)) return e;
  DescriptorParts parts;
  if (!ReadDescriptor(pSecurityDescriptor, parts)) return ERROR_INVALID_SECURITY_DESCR;
  if ((SecurityInformation & OWNER_SECURITY_INFORMATION) && parts.owner.empty()) return ERROR_INVALID_OWNER;
  if ((SecurityInformation & GROUP_SECURITY_INFORMATION) && parts.group.empty()) return ERROR_INVALID_PRIMARY_GROUP;
  RegKey &key = *t.key;
  if (SecurityInformation & OWNER_SECURITY_INFORMATION) key.owner = parts.owner;
  if (SecurityInformation & GROUP_SECURITY_INFORMATION) key.group = parts.group;
  if (SecurityInformation & DACL_SECURITY_INFORMATION) {
    // A descriptor without a DACL, like one with a null DACL, leaves the key open to everyone.
    key.dacl = RegKey::Dacl::Custom;
    key.customDacl = parts.daclPresent ? parts.dacl : std::vector<BYTE>();
  }
  return ERROR_SUCCESS;
}

}  // extern "C"
