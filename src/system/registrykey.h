// RegistryKey: one registry key named by machine, root key and path, opened only for the
// length of one operation. Every operation answers false on failure and leaves its outputs
// untouched; no handle is kept between operations.
#pragma once

#include <windows.h>

#include "support/cstr.h"
#include "support/handles.h"

class RegistryKey {
 public:
  explicit RegistryKey(const WCHAR *subkey);               // local machine, HKLM
  RegistryKey(const WCHAR *machine, const WCHAR *subkey);  // HKLM of that machine
  RegistryKey(HKEY root, const WCHAR *subkey);             // local machine
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;

  // The access mask of later opens (KEY_ALL_ACCESS until changed).
  void SetAccessMask(REGSAM access) { m_samAccess = access; }
  [[nodiscard]] bool Open();
  // Opens the key, creating it and its missing parents.
  [[nodiscard]] bool Create();
  void Close();
  [[nodiscard]] bool Exists();
  // REG_DWORD values only.
  [[nodiscard]] bool ReadDword(const WCHAR *name, DWORD *value);
  // REG_SZ values of at most 259 characters.
  [[nodiscard]] bool ReadString(const WCHAR *name, CStr *value);
  // Writes a REG_DWORD, creating the key when it is missing.
  [[nodiscard]] bool WriteDword(const WCHAR *name, DWORD value);
  [[nodiscard]] bool DeleteValue(const WCHAR *name);
  // Deletes the key with all its subkeys, deepest first. An open or a deletion refused with
  // ERROR_ACCESS_DENIED is retried once after GrantFullAccess; false when the key or one
  // of its subkeys survives. A missing key is nothing to delete (true).
  [[nodiscard]] bool DeleteTree();
  // Replaces the key's access list with one that grants full control to the
  // Administrators group and to SYSTEM only.
  bool GrantFullAccess(HKEY root, const WCHAR *subkey);

 private:
  [[nodiscard]] bool Connect(unique_hkey &connected) const;
  bool DeleteTreeImpl(bool mayGrant);
  // As Open, answering the error of the connection or the open (ERROR_FILE_NOT_FOUND for an
  // empty path, which names no key).
  LSTATUS OpenStatus();

  HKEY m_hRoot = HKEY_LOCAL_MACHINE;
  unique_hkey m_hKey;
  unique_hkey m_hConnected;
  CStr m_strMachine;
  CStr m_strSubkey;
  REGSAM m_samAccess = KEY_ALL_ACCESS;
};
