// The Reg* functions of winreg.h over the machine's registry (machine/registry.h). They
// return their error (an LSTATUS) and never touch the last error; an injected fault is
// returned the same way.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "base/names.h"
#include "machine/registry.h"
#include "machine/machine.h"
#include "machine/system.h"
#include "plumbing/hooks.h"
#include "base/diagnostics.h"
#include "base/security.h"

using namespace winsim;

namespace {

constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr ACCESS_MASK kAccessSystemSecurity = 0x01000000;
constexpr ACCESS_MASK kWow64Flags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr DWORD kRegOptionCreateLink = 0x00000002;
constexpr DWORD kRegOptionBackupRestore = 0x00000004;
constexpr DWORD kRrfSubkeyWow6464 = 0x00010000;
constexpr DWORD kRrfSubkeyWow6432 = 0x00020000;

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

// An opened key's handle; one that was closed stops the run (a simulation error, hooks.h).
RegistryTree::OpenKey *OpenKeyOf(RegistryTree &r, HKEY h) {
  if (r.WasClosed(h)) UsedAfterClose(h);
  return r.FindHandle(h);
}

// The key behind a handle. Predefined keys carry full access (the process is an elevated
// administrator). A deleted key answers ERROR_KEY_DELETED once the access was checked.
LSTATUS Resolve(HKEY h, ACCESS_MASK needed, Target &t) {
  if (!h) return ERROR_INVALID_HANDLE;
  RegistryTree &r = Registry();
  if (RegKey *k = r.Predefined(h)) {
    t.key = k->shared_from_this();
    t.access = KEY_ALL_ACCESS;
  } else if (auto *o = OpenKeyOf(r, h)) {
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
  auto *o = OpenKeyOf(r, h);
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
  return OpenKeyOf(Registry(), hKey) && Registry().CloseHandle(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
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
