// The registry of the simulated machine: a tree of keys with typed values under the
// predefined roots, the table of open HKEYs, and key security: each key's owner and access
// list, checked when a key is opened or created (protected_keys, [[key_security]],
// RegSetKeySecurity). The Reg* functions of winreg.h act on it; later parts of winsim
// (services, devices, pending file operations) keep their state in it under Windows' own
// key layout, through those same functions.
//
// Value data is kept as Windows keeps it: the byte image, with REG_SZ, REG_EXPAND_SZ and
// REG_MULTI_SZ text in UTF-16LE exactly as it was set (terminated or not). The Reg* calls
// hand text to the caller as WCHAR (4 bytes on Linux): a string value of N UTF-16 units
// reads as N * sizeof(WCHAR) bytes, so every size a caller computes from a Windows size
// (characters * sizeof(WCHAR)) agrees, two-call sizing included. A trailing odd byte of
// an image reads as one more WCHAR holding that byte; a partial WCHAR given to
// RegSetValueExW is kept as its low byte.
//
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes and HKEY_CURRENT_CONFIG is
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Hardware Profiles\Current (created when first
// used); the per-user half of HKEY_CLASSES_ROOT and REG_LINK keys are not modelled.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "machine/part.h"

namespace winsim {

// [[key_security]]: a key's owner and access list, in force from the load on (or from the
// key's creation when it does not exist yet).
struct KeySecuritySpec {
  std::wstring path;        // as written
  std::vector<BYTE> owner;  // SID
  std::vector<BYTE> dacl;   // ACL image: the deny entries, then the allow entries
};

// The one walker of key paths: the names of a relative path, '\' separating them and
// repeated separators skipped. False for a path starting with '\'.
bool KeyPathNames(std::wstring_view path, std::vector<std::wstring_view> &names);

struct RegValue {
  std::wstring name;  // as first set; looked up without regard to case ("" = the default value)
  DWORD type = REG_NONE;
  std::vector<BYTE> data;  // the Windows byte image
};

struct RegKey : std::enable_shared_from_this<RegKey> {
  std::wstring name;                                        // as created
  RegKey *parent = nullptr;                                 // null for a root and once deleted
  std::map<std::wstring, std::shared_ptr<RegKey>> subkeys;  // by upcased name: Windows' order
  std::vector<RegValue> values;                             // RegEnumValueW's order (creation order)
  std::wstring className;
  int64_t lastWrite = 0;  // FILETIME units, UTC
  bool deleted = false;   // open handles on it answer ERROR_KEY_DELETED
  // A volatile key lives only while the machine is open: registry.reg never holds it, and
  // every key below it is volatile too (REG_OPTION_VOLATILE).
  bool isVolatile = false;
  // A key every Windows has (SYSTEM\CurrentControlSet\Enum, ...) that winsim created as the
  // parent of keys of its own: saved only when it holds values or saved subkeys, so that
  // registry.reg does not gain it just because the machine was opened.
  bool implicitParent = false;

  // Key security. Default: SYSTEM and Administrators full control, Users read.
  // Protected: Administrators get everything but DELETE (machine.toml protected_keys).
  // Custom: the DACL of a [[key_security]] entry or the one last given to RegSetKeySecurity
  // (an empty image = a null DACL).
  enum class Dacl { Default, Protected, Custom };
  Dacl dacl = Dacl::Default;
  std::vector<BYTE> customDacl;
  std::vector<BYTE> owner, group;  // SIDs given to RegSetKeySecurity; empty = the defaults

  std::wstring Path() const;  // "HKEY_LOCAL_MACHINE\SOFTWARE\..."
  RegValue *FindValue(std::wstring_view valueName);
  RegKey *FindSubkey(std::wstring_view keyName) const;
  // The DACL image in force (empty when the DACL is null).
  std::vector<BYTE> DaclImage() const;
  // True when an elevated administrator may not delete the key (its DACL withholds DELETE).
  bool DeletionRefused() const;
  // The rights the elevated administrator's token gets on the key (KeyAccessAllowed).
  ACCESS_MASK AccessAllowed() const;
};

// The registry part: the keys, loaded from registry.reg (with [os] current_version,
// protected_keys and [[key_security]] applied over it) and saved back there (regfile.cpp).
class RegistryTree : public MachinePart {
 public:
  RegistryTree();  // the empty roots; a tree apart from any machine has no clock (times 0)

  // The key behind a predefined handle (HKEY_LOCAL_MACHINE, ...); null for any other value.
  RegKey *Predefined(HKEY hkey);
  // The key a root name names: "HKEY_LOCAL_MACHINE" or "HKLM" and the other four; null when unknown.
  RegKey *RootByName(std::wstring_view rootName);
  // The real roots in the order they are written out: HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS.
  std::vector<RegKey *> Roots() const;

  // Walks a relative path: '\' separates names, repeated separators are skipped, an empty
  // path names `from` itself. Answers ERROR_BAD_PATHNAME for a leading '\',
  // ERROR_FILE_NOT_FOUND when a key is missing; leaves *out untouched on failure.
  DWORD Open(RegKey *from, std::wstring_view path, std::shared_ptr<RegKey> *out) const;
  // The deepest key of the path that exists (`from` at least); *complete when that is the
  // whole path. Null for a path starting with '\'.
  RegKey *Deepest(RegKey *from, std::wstring_view path, bool *complete) const;
  // As Open, creating the missing keys (volatile ones when `isVolatile`); *created says
  // whether the last one was created. Answers ERROR_CHILD_MUST_BE_VOLATILE, creating nothing,
  // when a non-volatile key would be created below a volatile one.
  DWORD Create(RegKey *from, std::wstring_view path, std::shared_ptr<RegKey> *out, bool *created,
               bool isVolatile = false);
  // Marks a key protected when a protected_keys entry waiting for a key names its path.
  void BindProtected(RegKey *key);
  // Detaches a key from its parent and marks it and everything below it deleted.
  void Remove(RegKey *key);
  void Touch(RegKey *key) const;  // records a change of the key at the machine's time

  // Open handles. A handle holds its key (a deleted key lives on for its handles) and
  // the access it was opened with. An unknown or closed value answers null / false;
  // WasClosed tells the two apart (the calls stop the run on a closed one).
  struct OpenKey {
    std::shared_ptr<RegKey> key;
    ACCESS_MASK access = 0;
  };
  HKEY AddHandle(std::shared_ptr<RegKey> key, ACCESS_MASK access);
  OpenKey *FindHandle(HKEY hkey);
  bool CloseHandle(HKEY hkey);
  bool WasClosed(HKEY hkey) const;

  // Load and save bookkeeping (regfile.cpp): whether registry.reg existed, and the
  // machine.toml protected_keys and [[key_security]] entries: as written, the full path they
  // name, and the key they secure. An entry naming no key secures the key created at its
  // path later. A protected_keys entry gives the protected access list; a [[key_security]]
  // entry (custom) its own owner and access list.
  struct ProtectedEntry {
    std::wstring text;
    std::wstring path;  // "HKEY_LOCAL_MACHINE\..."
    std::shared_ptr<RegKey> key;
    bool custom = false;
    std::vector<BYTE> dacl, owner;
  };
  bool loadedFromFile = false;
  bool hadProtectedList = false;
  std::vector<ProtectedEntry> protectedList;

  // Load: registry.reg (when present), [os] current_version, and the access lists of
  // machine.toml's protected_keys and [[key_security]] entries. Save: registry.reg (when it
  // existed or the registry holds anything); protected_keys back into machine.toml: the
  // entries as written, minus the keys deleted or no longer protected, plus keys whose DACL
  // now refuses deletion; [[key_security]] minus the entries whose key was deleted or given
  // another access list.
  bool Load(MachineFile &file) override;
  bool Save(MachineFile &file, std::string &error) override;

 private:
  int64_t Now() const;
  bool clocked_ = false;  // a machine's registry: times from its clock
  std::shared_ptr<RegKey> hklm_, hkcu_, hku_;
  std::map<uintptr_t, OpenKey> handles_;
  std::set<uintptr_t> closed_;
};

// The registry of the open machine.
// The open machine's registry.
RegistryTree &Registry();

// ---- value data -------------------------------------------------------------------------
// The values of a key as winsim's own parts read and write them, with no access check: a
// REG_DWORD (its first 4 bytes), a text of a string type up to its first NUL, a value set in
// its place (or appended) with the key's last write time moved on, a value removed.
std::optional<DWORD> DwordValue(const RegKey &key, const wchar_t *name);
std::optional<std::wstring> TextValue(const RegKey &key, const wchar_t *name);
void SetValue(RegKey &key, const wchar_t *name, DWORD type, std::vector<BYTE> data);
void SetDword(RegKey &key, const wchar_t *name, DWORD value);
void SetText(RegKey &key, const wchar_t *name, const std::wstring &text, DWORD type = REG_SZ);
void SetMultiText(RegKey &key, const wchar_t *name, const std::vector<std::wstring> &entries);
void RemoveValue(RegKey &key, const wchar_t *name);
// The REG_MULTI_SZ text of a list: each entry and its NUL, then the closing NUL.
std::wstring MultiString(const std::vector<std::wstring> &entries);

bool IsStringType(DWORD type);
// UTF-16LE image of a text, with a terminating NUL when `terminate`.
std::vector<BYTE> Utf16Image(std::wstring_view text, bool terminate);
// The text of a UTF-16LE image (surrogate pairs joined, a trailing odd byte as one character).
std::wstring TextOfImage(const std::vector<BYTE> &image);
// What the caller gives and gets for a string value: host WCHAR bytes <-> UTF-16LE image.
std::vector<BYTE> ImageFromHostText(const BYTE *data, size_t bytes);
std::vector<BYTE> HostTextFromImage(const std::vector<BYTE> &image);

}  // namespace winsim
