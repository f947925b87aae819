#include "plumbing/paths.h"

#include <vector>

#include "base/names.h"
#include "machine/filesystem.h"
#include "machine/process.h"

namespace winsim {

namespace {
bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

std::vector<std::wstring> SplitNames(std::wstring_view rest) {
  std::vector<std::wstring> names;
  std::wstring cur;
  for (wchar_t c : rest) {
    if (c == L'\\') {
      if (!cur.empty()) names.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) names.push_back(cur);
  return names;
}

bool ValidName(const std::wstring &name) {
  for (wchar_t c : name)
    if (c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|' || c == L'?' || c == L'*') return false;
  return true;
}
}  // namespace

std::wstring FullPath(std::wstring_view in, DWORD *error) {
  if (in.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return {};
  }
  std::wstring path(in);
  for (auto &c : path)
    if (c == L'/') c = L'\\';
  if (path.rfind(L"\\\\?\\", 0) == 0) path = path.substr(4);
  if (path.rfind(L"\\\\.\\", 0) == 0) return path;  // device namespace: taken as given

  const std::wstring &cwd = Process().currentDirectory;
  std::wstring prefix;  // "C:" or "\\server\share"
  std::wstring rest;
  if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
    size_t server = path.find(L'\\', 2);
    size_t share = server == std::wstring::npos ? std::wstring::npos : path.find(L'\\', server + 1);
    prefix = path.substr(0, share);
    rest = share == std::wstring::npos ? L"" : path.substr(share);
  } else if (path.size() >= 2 && IsLetter(path[0]) && path[1] == L':') {
    prefix = path.substr(0, 2);
    rest = path.substr(2);
    if (rest.empty() || rest[0] != L'\\') {
      // Drive-relative: against the current directory when it is on that drive.
      // "C:" alone names that directory itself, without a trailing separator.
      if (cwd.size() >= 2 && Upcase(cwd[0]) == Upcase(path[0]) && cwd[1] == L':') {
        prefix = cwd.substr(0, 2);  // the current directory's own spelling of the drive
        rest = rest.empty() ? cwd.substr(2) : cwd.substr(2) + L"\\" + rest;
      } else
        rest = L"\\" + rest;
    }
  } else if (path[0] == L'\\') {
    prefix = cwd.substr(0, 2);
    rest = path;
  } else {
    prefix = cwd.substr(0, 2);
    rest = cwd.substr(2) + L"\\" + path;
  }

  bool trailing = !rest.empty() && rest.back() == L'\\';
  std::vector<std::wstring> names;
  for (auto &n : SplitNames(rest)) {
    if (n == L".") continue;
    if (n == L"..") {
      if (!names.empty()) names.pop_back();
      continue;
    }
    names.push_back(n);
  }
  if (!trailing && !names.empty()) {
    std::wstring &last = names.back();
    while (!last.empty() && (last.back() == L'.' || last.back() == L' ')) last.pop_back();
    if (last.empty()) {  // a name of dots and blanks only names its folder: "C:\probe\"
      names.pop_back();
      trailing = true;
    }
  }
  std::wstring out = prefix;
  for (auto &n : names) out += L"\\" + n;
  if (names.empty() || trailing) out += L"\\";
  return out;
}

std::wstring ParentOf(const std::wstring &fullPath) {
  size_t end = fullPath.size();
  if (end > 3 && fullPath[end - 1] == L'\\') --end;
  size_t pos = fullPath.rfind(L'\\', end - 1);
  if (pos == std::wstring::npos) return fullPath;
  if (pos == 2) return fullPath.substr(0, 3);  // "C:\"
  return fullPath.substr(0, pos);
}

std::wstring LastName(const std::wstring &fullPath) {
  size_t end = fullPath.size();
  if (end > 3 && fullPath[end - 1] == L'\\') --end;
  size_t pos = fullPath.rfind(L'\\', end - 1);
  return pos == std::wstring::npos ? fullPath : fullPath.substr(pos + 1, end - pos - 1);
}

Resolved Resolve(const std::wstring &full) {
  Resolved r;
  if (full.size() < 3 || !IsLetter(full[0]) || full[1] != L':' || full[2] != L'\\') {
    r.error = (full.rfind(L"\\\\", 0) == 0) ? ERROR_BAD_NETPATH : ERROR_PATH_NOT_FOUND;
    return r;
  }
  r.drive = Upcase(full[0]);
  std::filesystem::path cur = FileSystem().DriveFolder(full[0]);
  if (cur.empty()) {
    r.error = ERROR_PATH_NOT_FOUND;
    return r;
  }
  r.trailingSlash = full.size() > 3 && full.back() == L'\\';
  std::vector<std::wstring> names = SplitNames(full.substr(3));
  for (auto &n : names) {
    if (!ValidName(n)) {
      r.error = ERROR_INVALID_NAME;
      return r;
    }
    if (n.size() > 255) {
      r.error = ERROR_FILENAME_EXCED_RANGE;
      return r;
    }
  }
  r.key = std::wstring{r.drive, L':', L'\\'};
  bool present = true;  // every component so far exists as a directory
  std::error_code ec;
  for (size_t i = 0; i < names.size(); ++i) {
    std::wstring actual = names[i];
    if (present) {
      std::filesystem::path exact = cur / ToUtf8(names[i]);
      if (!std::filesystem::exists(std::filesystem::symlink_status(exact, ec))) {
        bool found = false;
        for (auto &entry : std::filesystem::directory_iterator(cur, ec)) {
          std::wstring name = FromUtf8(entry.path().filename().string());
          if (EqualNoCase(name, names[i])) {
            actual = name;
            found = true;
            break;
          }
        }
        if (!found) {
          if (i + 1 < names.size()) present = false;
          cur /= ToUtf8(names[i]);
          r.key += (i ? L"\\" : L"") + actual;
          continue;
        }
      }
      cur /= ToUtf8(actual);
      if (i + 1 < names.size() && !std::filesystem::is_directory(cur, ec)) present = false;
    } else {
      cur /= ToUtf8(actual);
    }
    r.key += (i ? L"\\" : L"") + actual;
  }
  r.host = cur;
  r.parentExists = present;
  if (present) {
    auto st = std::filesystem::status(cur, ec);
    r.exists = std::filesystem::exists(st);
    r.isDir = std::filesystem::is_directory(st);
  }
  return r;
}

Resolved ResolvePath(LPCWSTR path) {
  Resolved r;
  if (!path) {
    r.error = ERROR_INVALID_PARAMETER;
    return r;
  }
  DWORD err = 0;
  std::wstring full = FullPath(path, &err);
  if (full.empty()) {
    r.error = err;
    return r;
  }
  if (full.size() >= MAX_PATH) {
    r.error = ERROR_FILENAME_EXCED_RANGE;
    return r;
  }
  return Resolve(full);
}

}  // namespace winsim
