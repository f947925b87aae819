// The registry model: keys, values and their images, key security, the open-key table.
#include "machine/registry.h"

#include <algorithm>
#include <cstring>

#include "machine/clock.h"
#include "base/names.h"
#include "base/security.h"
#include "regtext.h"

namespace winsim {

namespace {
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
    std::wstring upcased = Upcased(name);
    auto at = key->subkeys.lower_bound(upcased);
    if (at != key->subkeys.end() && at->first == upcased) {
      key = at->second;
      *created = false;
      continue;
    }
    // The keys below this one are all new: the one they would hang under decides.
    if (key->isVolatile && !isVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
    auto child = NewKey(std::wstring(name), key.get(), Now());
    child->isVolatile = isVolatile;
    key->subkeys.emplace_hint(at, std::move(upcased), child);
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
  return it != handles_.end() ? &it->second : nullptr;
}

bool RegistryTree::WasClosed(HKEY hkey) const { return closed_.count(reinterpret_cast<uintptr_t>(hkey)) != 0; }

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
  size_t length = 1;
  for (const std::wstring &e : entries) length += e.size() + 1;
  std::wstring text;
  text.reserve(length);
  for (const std::wstring &e : entries) {
    text += e;
    text += L'\0';
  }
  text += L'\0';
  return text;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<BYTE> Utf16Image(std::wstring_view text, bool terminate) {
  return toolcommon::Utf16LeImage(text, terminate);
}

std::wstring TextOfImage(const std::vector<BYTE> &image) {
  return toolcommon::TextOfUtf16Le(image.data(), image.size());
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
