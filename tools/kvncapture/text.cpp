// The texts a capture writes (TOML strings, error names) and the registry reads the steps
// share.
#include <windows.h>

#include <cstdio>

#include "capture.h"
#include "support/handles.h"
#include "utf8text.h"

namespace kvncapture {

namespace {
std::wstring Upcased(const std::wstring &text) {
  std::wstring out = text;
  for (wchar_t &c : out)
    if (c >= L'a' && c <= L'z') c = wchar_t(c - 32);
  return out;
}
}  // namespace

bool NameSet::Add(const std::wstring &name) {
  if (!upcased_.insert(Upcased(name)).second) return false;
  names_.push_back(name);
  return true;
}

bool SameText(const std::wstring &a, const wchar_t *b) { return Upcased(a) == Upcased(b); }

std::string Utf8Of(const std::wstring &text) { return toolcommon::Utf8(text); }

std::string TomlString(const std::wstring &text) {
  bool literal = text.find_first_of(L"'\r\n\t") == std::wstring::npos;
  for (wchar_t c : text) literal = literal && (c >= 0x20 && c != 0x7F);
  if (literal) {
    std::string quoted(1, '\'');
    quoted += Utf8Of(text);
    quoted += '\'';
    return quoted;
  }
  std::string out = "\"";
  for (char c : Utf8Of(text)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", unsigned(u));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string TomlList(const std::vector<std::wstring> &texts) {
  std::string out = "[";
  for (size_t i = 0; i < texts.size(); ++i) out += (i ? ", " : "") + TomlString(texts[i]);
  return out + "]";
}

std::string ErrorText(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND (2)";
    case ERROR_PATH_NOT_FOUND: return "ERROR_PATH_NOT_FOUND (3)";
    case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED (5)";
    case ERROR_NOT_ENOUGH_MEMORY: return "ERROR_NOT_ENOUGH_MEMORY (8)";
    case ERROR_SHARING_VIOLATION: return "ERROR_SHARING_VIOLATION (32)";
    case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER (87)";
    case ERROR_INSUFFICIENT_BUFFER: return "ERROR_INSUFFICIENT_BUFFER (122)";
    default: return "error " + std::to_string(error);
  }
}

bool ReadValue(HKEY key, const wchar_t *name, DWORD &type, std::vector<BYTE> &data, DWORD *error) {
  data.assign(256, 0);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = DWORD(data.size());
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    if (status == ERROR_SUCCESS) {
      data.resize(size);
      return true;
    }
    if (status != ERROR_MORE_DATA) {
      if (error) *error = DWORD(status);
      return false;
    }
    data.assign(size, 0);
  }
  if (error) *error = ERROR_MORE_DATA;
  return false;
}

std::wstring TextValue(HKEY root, const std::wstring &path, const wchar_t *name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) return {};
  unique_hkey key(opened);
  DWORD type = 0;
  std::vector<BYTE> data;
  if (!ReadValue(key.get(), name, type, data, nullptr) || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
  std::wstring text(reinterpret_cast<const WCHAR *>(data.data()), data.size() / sizeof(WCHAR));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

}  // namespace kvncapture
