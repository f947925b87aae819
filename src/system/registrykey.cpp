#include "system/registrykey.h"

#include <cstring>
#include <vector>

RegistryKey::RegistryKey(const WCHAR *subkey) : m_strSubkey(subkey) {}
RegistryKey::RegistryKey(const WCHAR *machine, const WCHAR *subkey) : m_strMachine(machine), m_strSubkey(subkey) {}
RegistryKey::RegistryKey(HKEY root, const WCHAR *subkey) : m_hRoot(root), m_strSubkey(subkey) {}

bool RegistryKey::Connect(unique_hkey &connected) const {
  return RegConnectRegistryW(m_strMachine.IsEmpty() ? nullptr : m_strMachine.GetString(), m_hRoot, connected.put()) ==
         ERROR_SUCCESS;
}

void RegistryKey::Close() {
  m_hKey.reset();
  m_hConnected.reset();
}

bool RegistryKey::Open() {
  Close();
  if (m_strSubkey.IsEmpty() || !Connect(m_hConnected)) return false;
  if (RegOpenKeyExW(m_hConnected.get(), m_strSubkey, 0, m_samAccess, m_hKey.put()) == ERROR_SUCCESS) return true;
  Close();
  return false;
}

bool RegistryKey::Create() {
  Close();
  if (m_strSubkey.IsEmpty() || !Connect(m_hConnected)) return false;
  DWORD disposition = 0;
  if (RegCreateKeyExW(m_hConnected.get(), m_strSubkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      m_hKey.put(), &disposition) == ERROR_SUCCESS)
    return true;
  Close();
  return false;
}

bool RegistryKey::Exists() {
  bool open = Open();
  Close();
  return open;
}

bool RegistryKey::ReadDword(const WCHAR *name, DWORD *value) {
  if (!value || !Open()) return false;
  DWORD type = REG_NONE, data = 0, size = sizeof data;
  LSTATUS status = RegQueryValueExW(m_hKey.get(), name, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size);
  Close();
  if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof data) return false;
  *value = data;
  return true;
}

bool RegistryKey::ReadString(const WCHAR *name, CStr *value) {
  if (!value || !Open()) return false;
  WCHAR text[MAX_PATH] = L"";
  DWORD type = REG_NONE, size = sizeof text;
  LSTATUS status = RegQueryValueExW(m_hKey.get(), name, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
  Close();
  if (status != ERROR_SUCCESS || type != REG_SZ) return false;
  // A value stored without its terminator must still fit with one.
  size_t chars = size / sizeof(WCHAR);
  if (chars == MAX_PATH && text[MAX_PATH - 1] != L'\0') return false;
  text[chars < MAX_PATH ? chars : MAX_PATH - 1] = L'\0';
  *value = text;
  return true;
}

bool RegistryKey::WriteDword(const WCHAR *name, DWORD value) {
  if (!Create()) return false;
  LSTATUS status =
      RegSetValueExW(m_hKey.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
  Close();
  return status == ERROR_SUCCESS;
}

bool RegistryKey::DeleteValue(const WCHAR *name) {
  if (!Open()) return false;
  LSTATUS status = RegDeleteValueW(m_hKey.get(), name);
  Close();
  return status == ERROR_SUCCESS;
}

bool RegistryKey::DeleteTree() { return DeleteTreeImpl(true); }

LSTATUS RegistryKey::OpenStatus() {
  Close();
  if (m_strSubkey.IsEmpty()) return ERROR_FILE_NOT_FOUND;  // names no key
  LSTATUS status =
      RegConnectRegistryW(m_strMachine.IsEmpty() ? nullptr : m_strMachine.GetString(), m_hRoot, m_hConnected.put());
  if (status == ERROR_SUCCESS) status = RegOpenKeyExW(m_hConnected.get(), m_strSubkey, 0, m_samAccess, m_hKey.put());
  if (status != ERROR_SUCCESS) Close();
  return status;
}

bool RegistryKey::DeleteTreeImpl(bool mayGrant) {
  // Only a key that is not there is "nothing to delete". One that refuses the access asked
  // for is given full access once; if it still refuses, the delete fails.
  LSTATUS opened = OpenStatus();
  if (opened == ERROR_FILE_NOT_FOUND) return true;
  if (opened == ERROR_ACCESS_DENIED && mayGrant) {
    if (!GrantFullAccess(m_hRoot, m_strSubkey)) return false;
    RegistryKey again(m_strMachine, m_strSubkey);
    again.m_hRoot = m_hRoot;
    return again.DeleteTreeImpl(false);
  }
  if (opened != ERROR_SUCCESS) return false;
  // Index 0 each time: the subkey found before is gone by then. A subkey that survives
  // its own deletion ends the walk instead of being found again and again.
  for (;;) {
    WCHAR name[MAX_PATH];
    DWORD chars = MAX_PATH;
    LSTATUS status = RegEnumKeyExW(m_hKey.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      Close();
      return false;
    }
    CStr path = m_strSubkey + L"\\" + name;
    RegistryKey child(m_strMachine, path);
    child.m_hRoot = m_hRoot;
    // A child that answered success must really be gone.
    if (!child.DeleteTreeImpl(mayGrant) || child.OpenStatus() != ERROR_FILE_NOT_FOUND) {
      child.Close();
      Close();
      return false;
    }
  }
  LSTATUS status = RegDeleteKeyW(m_hConnected.get(), m_strSubkey);
  Close();
  if (status == ERROR_ACCESS_DENIED && mayGrant) {
    GrantFullAccess(m_hRoot, m_strSubkey);
    RegistryKey again(m_strMachine, m_strSubkey);
    again.m_hRoot = m_hRoot;
    return again.DeleteTreeImpl(false);
  }
  return status == ERROR_SUCCESS;
}

bool RegistryKey::GrantFullAccess(HKEY root, const WCHAR *subkey) {
  unique_hkey connected;
  if (RegConnectRegistryW(m_strMachine.IsEmpty() ? nullptr : m_strMachine.GetString(), root, connected.put()) !=
      ERROR_SUCCESS)
    return false;
  unique_hkey key;
  if (!subkey || RegOpenKeyExW(connected.get(), subkey, 0, KEY_READ | WRITE_DAC, key.put()) != ERROR_SUCCESS)
    return false;

  // The present access list, read as a check that the key's security can be reached.
  DWORD size = 0;
  if (RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER)
    return false;
  unique_hglobal current(GlobalAlloc(GMEM_ZEROINIT, size));
  if (!current || RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, current.get(), &size) != ERROR_SUCCESS)
    return false;

  // Full control for the Administrators group and SYSTEM, nobody else: a null access list
  // would leave the key writable by every user should the deletion still fail.
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  unique_sid admins, system;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                admins.put()) ||
      !AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, system.put()))
    return false;
  DWORD aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(admins.get()) +
                  GetLengthSid(system.get());
  std::vector<BYTE> acl(aclSize);
  PACL list = reinterpret_cast<PACL>(acl.data());
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeAcl(list, aclSize, ACL_REVISION) ||
      !AddAccessAllowedAce(list, ACL_REVISION, KEY_ALL_ACCESS, admins.get()) ||
      !AddAccessAllowedAce(list, ACL_REVISION, KEY_ALL_ACCESS, system.get()) ||
      !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) || !IsValidSecurityDescriptor(&descriptor))
    return false;
  return RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
}
