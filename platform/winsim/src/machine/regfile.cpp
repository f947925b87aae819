#include "machine/regfile.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "machine/machinefile.h"
#include "machine/system.h"
#include "base/names.h"
#include "machine/registry.h"
#include "base/diagnostics.h"
#include "regtext.h"
#include "winsim.h"

namespace winsim {

namespace {
const PartSlot<RegistryTree> g_registry("registry");
constexpr const char *kHeader = "Windows Registry Editor Version 5.00";

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::wstring_view s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

class Parser {
 public:
  Parser(const std::string &fileName, RegistryTree &registry) : fileName_(fileName), registry_(registry) {}

  bool Run(const std::string &bytes, std::string &error) {
    if (!Decode(bytes)) return Error(0, "is UTF-16 big-endian; save it as UTF-8 or UTF-16LE", error);
    bool header = false;
    for (line_ = 0; line_ < lines_.size(); ++line_) {
      std::wstring_view s = lines_[line_];
      size_t p = 0;
      while (p < s.size() && IsBlank(s[p])) ++p;
      s.remove_prefix(p);
      if (s.empty()) continue;
      if (!header) {
        std::wstring_view t = s;
        while (!t.empty() && IsBlank(t.back())) t.remove_suffix(1);
        if (t == L"REGEDIT4") return Fail("REGEDIT4 files are not read; use \"" + std::string(kHeader) + "\"", error);
        if (ToUtf8(std::wstring(t)) != kHeader) return Fail("expected \"" + std::string(kHeader) + "\"", error);
        header = true;
        continue;
      }
      if (s[0] == L';') continue;
      bool ok = s[0] == L'[' ? KeyLine(s) : (s[0] == L'"' || s[0] == L'@') ? ValueLine(s) : Say("unexpected text");
      if (!ok) return Fail(message_, error);
    }
    if (!header) return Error(0, "is empty: expected \"" + std::string(kHeader) + "\"", error);
    return true;
  }

 private:
  bool Decode(const std::string &bytes) {
    std::wstring text;
    if (bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE) {
      text = TextOfImage(std::vector<BYTE>(bytes.begin() + 2, bytes.end()));
      // The file is saved as UTF-8, which has no form for a lone surrogate: it reads as U+FFFD,
      // as an ill-formed UTF-8 sequence does.
      for (wchar_t &c : text)
        if (c >= 0xD800 && c <= 0xDFFF) c = wchar_t(0xFFFD);
    } else if (bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFE && (unsigned char)bytes[1] == 0xFF) {
      return false;
    } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      text = FromUtf8(bytes.substr(3));
    } else {
      text = FromUtf8(bytes);
    }
    // The lines are views into the decoded text, which the parser keeps.
    text_ = std::move(text);
    std::wstring_view all = text_;
    size_t start = 0;
    while (start <= all.size()) {
      size_t end = all.find(L'\n', start);
      if (end == std::wstring_view::npos) end = all.size();
      std::wstring_view line = all.substr(start, end - start);
      if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
      lines_.push_back(line);
      start = end + 1;
    }
    return true;
  }

  bool Say(const std::string &message) {
    message_ = message;
    return false;
  }
  bool Fail(const std::string &message, std::string &error) { return Error(line_ + 1, message, error); }
  bool Error(size_t line, const std::string &message, std::string &error) {
    error = fileName_ + (line ? ":" + std::to_string(line) + ": " : " ") + message;
    return false;
  }

  static bool Blank(std::wstring_view s) {
    for (wchar_t c : s)
      if (!IsBlank(c)) return false;
    return true;
  }

  // Nothing but blanks and a comment from p on.
  static bool RestIsEmpty(std::wstring_view s, size_t p) {
    while (p < s.size() && IsBlank(s[p])) ++p;
    return p == s.size() || s[p] == L';';
  }

  bool KeyLine(std::wstring_view s) {
    size_t close = s.rfind(L']');
    if (close == std::wstring_view::npos) return Say("a key line without its closing ']'");
    if (!RestIsEmpty(s, close + 1)) return Say("text after the key's closing ']'");
    std::wstring_view path = s.substr(1, close - 1);
    bool remove = !path.empty() && path[0] == L'-';
    if (remove) path.remove_prefix(1);
    if (path.empty()) return Say("a key line names no key");
    size_t slash = path.find(L'\\');
    std::wstring_view rootName = path.substr(0, slash);
    std::wstring_view rest = slash == std::wstring_view::npos ? std::wstring_view() : path.substr(slash + 1);
    RegKey *root = registry_.RootByName(rootName);
    if (!root) return Say("unknown root key \"" + ToUtf8(std::wstring(rootName)) + "\"");
    current_.reset();
    deletedKey_ = remove;
    if (remove) {
      std::shared_ptr<RegKey> key;
      if (registry_.Open(root, rest, &key) == ERROR_SUCCESS) {
        if (!key->parent) return Say("a root key cannot be deleted");
        registry_.Remove(key.get());
      }
      return true;
    }
    bool created;
    if (registry_.Create(root, rest, &current_, &created) != ERROR_SUCCESS)
      return Say("a key path with an empty name in it");
    return true;
  }

  // A quoted text starting at s[p] == '"'; p ends after the closing quote.
  bool Quoted(std::wstring_view s, size_t &p, std::wstring &out) {
    for (++p; p < s.size(); ++p) {
      wchar_t c = s[p];
      if (c == L'"') {
        ++p;
        return true;
      }
      if (c == L'\\') {
        if (++p == s.size()) break;
        switch (s[p]) {
          case L'\\': out += L'\\'; break;
          case L'"': out += L'"'; break;
          case L'n': out += L'\n'; break;
          case L'r': out += L'\r'; break;
          default: return Say(std::string("unknown escape \\") + char(s[p] < 0x80 ? s[p] : '?') + " in a quoted text");
        }
        continue;
      }
      out += c;
    }
    return Say("a quoted text without its closing '\"'");
  }

  bool ValueLine(std::wstring_view s) {
    size_t p = 0;
    std::wstring name;
    if (s[0] == L'@') {
      ++p;
    } else if (!Quoted(s, p, name)) {
      return false;
    }
    while (p < s.size() && IsBlank(s[p])) ++p;
    if (p == s.size() || s[p] != L'=') return Say("expected '=' after the value name");
    ++p;
    while (p < s.size() && IsBlank(s[p])) ++p;
    if (!current_) return Say(deletedKey_ ? "a value under a deleted key" : "a value before any [key] line");
    std::wstring_view data = s.substr(p);
    if (data.empty()) return Say("no data after '='");
    if (data[0] == L'-') {
      if (!RestIsEmpty(data, 1)) return Say("text after '=-'");
      auto &values = current_->values;
      for (auto it = values.begin(); it != values.end(); ++it)
        if (EqualNoCase(it->name, name)) {
          values.erase(it);
          break;
        }
      return true;
    }
    if (data[0] == L'"') {
      std::wstring text;
      size_t q = 0;
      if (!Quoted(data, q, text)) return false;
      if (!RestIsEmpty(data, q)) return Say("text after the closing '\"'");
      return Set(name, REG_SZ, Utf16Image(text, true));
    }
    if (StartsWithNoCase(data, L"dword:")) {
      size_t q = 6;
      DWORD value = 0;
      int digits = 0;
      for (; q < data.size() && HexDigit(data[q]) >= 0; ++q, ++digits) value = (value << 4) | DWORD(HexDigit(data[q]));
      if (digits == 0 || digits > 8) return Say("dword: takes 1 to 8 hex digits");
      if (!RestIsEmpty(data, q)) return Say("text after the dword value");
      std::vector<BYTE> bytes(4);
      for (int i = 0; i < 4; ++i) bytes[i] = BYTE(value >> (8 * i));
      return Set(name, REG_DWORD, std::move(bytes));
    }
    if (StartsWithNoCase(data, L"hex")) {
      size_t q = 3;
      DWORD type = REG_BINARY;
      if (q < data.size() && data[q] == L'(') {
        type = 0;
        int digits = 0;
        for (++q; q < data.size() && HexDigit(data[q]) >= 0; ++q, ++digits)
          type = (type << 4) | DWORD(HexDigit(data[q]));
        if (digits == 0 || digits > 8 || q == data.size() || data[q] != L')')
          return Say("hex(N) takes 1 to 8 hex digits for the type");
        ++q;
      }
      if (q == data.size() || data[q] != L':') return Say("expected ':' after hex");
      std::vector<BYTE> bytes;
      if (!HexBytes(data.substr(q + 1), bytes)) return false;
      return Set(name, type, std::move(bytes));
    }
    return Say("unknown value data (expected \"text\", dword:, hex:, hex(N): or -)");
  }

  // Comma-separated bytes, continued on the next line after a trailing '\'.
  bool HexBytes(std::wstring_view s, std::vector<BYTE> &out) {
    size_t p = 0;
    bool needByte = false;  // after a comma
    for (;;) {
      while (p < s.size() && IsBlank(s[p])) ++p;
      if (p == s.size() || s[p] == L';') return true;
      if (s[p] == L'\\' && RestIsEmpty(s, p + 1)) {
        size_t next = line_ + 1;
        while (next < lines_.size() && Blank(lines_[next])) ++next;
        if (next == lines_.size()) return Say("hex data continued past the end of the file");
        if (next != line_ + 1) return Say("hex data continued onto an empty line");
        s = lines_[++line_];
        p = 0;
        continue;
      }
      if (!out.empty() && !needByte) {
        if (s[p] != L',') return Say("expected ',' between hex bytes");
        ++p;
        needByte = true;
        continue;
      }
      int hi = HexDigit(s[p]);
      if (hi < 0) return Say("expected a hex byte");
      int value = hi;
      ++p;
      if (p < s.size() && HexDigit(s[p]) >= 0) value = value * 16 + HexDigit(s[p++]);
      if (p < s.size() && HexDigit(s[p]) >= 0) return Say("a hex byte has at most two digits");
      out.push_back(BYTE(value));
      needByte = false;
    }
  }

  bool Set(const std::wstring &name, DWORD type, std::vector<BYTE> data) {
    if (RegValue *v = current_->FindValue(name)) {
      v->type = type;
      v->data = std::move(data);
    } else {
      current_->values.push_back(RegValue{name, type, std::move(data)});
    }
    return true;
  }

  std::string fileName_;
  RegistryTree &registry_;
  std::wstring text_;
  std::vector<std::wstring_view> lines_;
  size_t line_ = 0;
  std::shared_ptr<RegKey> current_;
  bool deletedKey_ = false;
  std::string message_;
};

// ---- writing ----------------------------------------------------------------------------------

void WriteValue(std::wstring &out, const RegValue &v) { toolcommon::AppendRegValue(out, v.name, v.type, v.data); }

// Whether saving writes anything for a key: never for a volatile key, for a key winsim
// created as a parent of its own keys only when it holds values or saved subkeys, always
// for any other key.
bool Saved(const RegKey &key) {
  if (key.isVolatile) return false;
  if (!key.implicitParent || !key.values.empty()) return true;
  for (const auto &[upcased, sub] : key.subkeys)
    if (Saved(*sub)) return true;
  return false;
}

bool HasSavedSubkeys(const RegKey &key) {
  for (const auto &[upcased, sub] : key.subkeys)
    if (Saved(*sub)) return true;
  return false;
}

// A key is written when it has values or no saved subkeys; a key with neither values nor a
// section of its own is implied by its subkeys' paths. `path` is the key's full path.
void WriteKey(std::wstring &out, const RegKey &key, bool root, std::wstring &path) {
  if (!Saved(key)) return;
  if (key.name.find_first_of(L"\r\n") != std::wstring::npos) {
    NotModelled("registry.reg", "saving the key \"" + ToUtf8(path) + "\" (a line break in its name; left out)");
    return;
  }
  if (!key.values.empty() || (!root && !HasSavedSubkeys(key))) {
    out += L'[';
    out += path;
    out += L"]\r\n";
    for (const RegValue &v : key.values) WriteValue(out, v);
    out += L"\r\n";
  }
  size_t length = path.size();
  for (const auto &[upcased, sub] : key.subkeys) {
    path += L'\\';
    path += sub->name;
    WriteKey(out, *sub, false, path);
    path.resize(length);
  }
}

bool HoldsAnything(const RegistryTree &registry) {
  for (RegKey *root : registry.Roots())
    if (!root->values.empty() || HasSavedSubkeys(*root)) return true;
  return false;
}

// The full path a protected_keys entry names: a path below a root
// ("HKEY_LOCAL_MACHINE\SYSTEM\...", "HKLM\...") or below HKEY_LOCAL_MACHINE ("SYSTEM\...").
std::wstring PathOfEntry(RegistryTree &registry, const std::wstring &entry) {
  size_t slash = entry.find(L'\\');
  RegKey *root = registry.RootByName(std::wstring_view(entry).substr(0, slash));
  std::wstring_view rest = entry;
  if (root)
    rest = slash == std::wstring::npos ? std::wstring_view() : rest.substr(slash + 1);
  else
    root = registry.Predefined(HKEY_LOCAL_MACHINE);
  std::wstring path = root->Path();
  std::vector<std::wstring_view> names;
  KeyPathNames(rest, names);
  for (std::wstring_view name : names) path += L"\\" + std::wstring(name);
  return path;
}

bool ReadKeySecurity(const toml::table &t, const std::string &file, size_t i, KeySecuritySpec &k, std::string &error) {
  std::string where = EntryName("key_security", i);
  TableReader r(t, file, where, error);
  bool read = r.Text("path", k.path) & ReadAccount(r, "owner", k.owner);
  if (!read) {
    r.Done();  // the unknown keys beside the wrong values
    return false;
  }
  if (k.path.empty()) return r.Fail("path", "is missing");
  if (!ReadAccessList(r, t, file, where, false, k.dacl, error)) return false;
  if (!r.Has("allow") && !r.Has("deny")) return r.Fail("allow", "is missing: the key's access list");
  return r.Done();
}

}  // namespace

bool ParseRegFile(const std::string &bytes, const std::string &fileName, RegistryTree &registry, std::string &error) {
  return Parser(fileName, registry).Run(bytes, error);
}

std::string WriteRegFile(const RegistryTree &registry) {
  std::wstring out = FromUtf8(kHeader) + L"\r\n\r\n";
  for (RegKey *root : registry.Roots()) {
    std::wstring path = root->Path();
    WriteKey(out, *root, true, path);
  }
  return ToUtf8(out);
}

namespace {
// Each value of a key and of every key below it, and each key without values or subkeys.
void CollectValues(const RegKey &key, const std::wstring &path, std::vector<RegistryFileValue> &out) {
  for (const RegValue &v : key.values) out.push_back({ToUtf8(path), v.name, v.type, v.data, false});
  if (key.values.empty() && key.subkeys.empty() && key.parent) out.push_back({ToUtf8(path), L"", REG_NONE, {}, true});
  for (const auto &[upcased, sub] : key.subkeys) CollectValues(*sub, path + L"\\" + sub->name, out);
}
}  // namespace

bool ReadRegistryFile(const std::filesystem::path &file, std::vector<RegistryFileValue> &values, std::string &error) {
  values.clear();
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return true;  // a machine without one has an empty registry
  std::string bytes;
  if (!ReadFileBytes(file, bytes)) {
    error = "cannot read " + file.string();
    return false;
  }
  RegistryTree tree;
  if (!ParseRegFile(bytes, file.string(), tree, error)) return false;
  for (RegKey *root : tree.Roots()) CollectValues(*root, root->Path(), values);
  return true;
}

RegistryTree &Registry() { return g_registry(); }

bool RegistryTree::Load(MachineFile &file) {
  clocked_ = true;
  for (RegKey *root : Roots()) root->lastWrite = Now();
  std::vector<std::wstring> protectedKeys;
  std::vector<KeySecuritySpec> keySecurity;
  const toml::array *securityList = nullptr;
  bool ok = file.Top().Texts("protected_keys", protectedKeys) & file.Top().Tables("key_security", securityList);
  for (const std::wstring &k : protectedKeys)
    if (k.empty()) ok = file.Top().Fail("protected_keys", "holds an empty key path");
  ok &= ReadEntries(securityList, keySecurity, [&](const toml::table &t, size_t i, KeySecuritySpec &k) {
    return ReadKeySecurity(t, file.Name(), i, k, file.Mistakes());
  });

  RegistryTree &registry = *this;
  std::filesystem::path regFile = file.Root() / "registry.reg";
  std::error_code ec;
  if (std::filesystem::exists(regFile, ec)) {
    std::string text, error;
    if (!ReadFileBytes(regFile, text)) {
      AddMistake(file.Mistakes(), "cannot read " + regFile.string());
      return false;
    }
    if (!ParseRegFile(text, regFile.string(), registry, error)) {
      AddMistake(file.Mistakes(), error);
      return false;
    }
    registry.loadedFromFile = true;
  }

  if (System().os.currentVersion) {
    std::shared_ptr<RegKey> key;
    bool created;
    registry.Create(registry.Predefined(HKEY_LOCAL_MACHINE), L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", &key,
                    &created);
    std::vector<BYTE> data = Utf16Image(*System().os.currentVersion, true);
    if (RegValue *v = key->FindValue(L"CurrentVersion")) {
      v->type = REG_SZ;
      v->data = std::move(data);
    } else {
      key->values.push_back(RegValue{L"CurrentVersion", REG_SZ, std::move(data)});
    }
  }

  registry.hadProtectedList = file.Top().Has("protected_keys");
  for (const std::wstring &entry : protectedKeys)
    registry.protectedList.push_back(
        RegistryTree::ProtectedEntry{entry, PathOfEntry(registry, entry), nullptr, false, {}, {}});
  for (const KeySecuritySpec &entry : keySecurity)
    registry.protectedList.push_back(RegistryTree::ProtectedEntry{entry.path, PathOfEntry(registry, entry.path),
                                                                  nullptr, true, entry.dacl, entry.owner});
  // Keys already there (from registry.reg); the others are bound when they are created.
  for (auto &entry : registry.protectedList) {
    std::shared_ptr<RegKey> key;
    std::wstring_view path = entry.path;
    size_t slash = path.find(L'\\');
    RegKey *root = registry.RootByName(path.substr(0, slash));
    if (root &&
        registry.Open(root, slash == std::wstring_view::npos ? L"" : path.substr(slash + 1), &key) == ERROR_SUCCESS)
      registry.BindProtected(key.get());
  }
  return ok;
}

bool RegistryTree::Save(MachineFile &file, std::string &) {
  RegistryTree &registry = *this;
  toml::table &config = file.Config();

  toml::array list;
  std::set<const RegKey *> listed;
  // [[key_security]] entries stay while their key lives with the access list they gave it.
  std::vector<bool> keepEntry;
  for (const auto &entry : registry.protectedList) {
    if (!entry.custom) continue;
    const RegKey *key = entry.key.get();
    bool keep = !key || (!key->deleted && key->dacl == RegKey::Dacl::Custom && key->customDacl == entry.dacl &&
                         key->owner == entry.owner);
    keepEntry.push_back(keep);
    if (keep && key) listed.insert(key);
  }
  if (toml::array *entries = config["key_security"].as_array()) {
    size_t i = 0;
    for (auto it = entries->begin(); it != entries->end(); ++i)
      it = i < keepEntry.size() && !keepEntry[i] ? entries->erase(it) : it + 1;
    if (entries->empty()) config.erase("key_security");
  }
  for (const auto &entry : registry.protectedList) {
    if (entry.custom) continue;
    bool keep = !entry.key || (!entry.key->deleted && entry.key->DeletionRefused());
    if (!keep || (entry.key && !listed.insert(entry.key.get()).second)) continue;
    list.push_back(ToUtf8(entry.text));
  }
  // Keys whose DACL refuses deletion otherwise than through the list.
  auto walk = [&](auto &&self, const RegKey &key) -> void {
    if (key.isVolatile) return;  // gone with the machine: nothing to protect next time
    if (key.parent && key.DeletionRefused() && !listed.count(&key)) list.push_back(ToUtf8(key.Path()));
    for (const auto &[upcased, sub] : key.subkeys) self(self, *sub);
  };
  for (RegKey *root : registry.Roots()) walk(walk, *root);
  if (registry.hadProtectedList || !list.empty()) config.insert_or_assign("protected_keys", std::move(list));

  if (!registry.loadedFromFile && !HoldsAnything(registry)) return true;
  file.Files().Add("registry.reg", WriteRegFile(registry));
  return true;
}

}  // namespace winsim
