#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "pewriter.h"
#include "probe.h"

namespace winprobe {
// ---- VerInstallFileW ----------------------------------------------------------------------
// Each case installs C:\probe\vif\src\<source> as z.sys into a fresh C:\probe\vif\<case>
// and records the result bits, what the target holds afterwards ("old", "new" or null) and
// the files the folder holds (temporary names as shapes).
void ProbeVerInstall(json &out) {
  const std::wstring root = L"C:\\probe\\vif", src = root + L"\\src";
  MakeDirectory(root);
  MakeDirectory(src);
  mkpe::VersionInfo info;
  info.fileVersion = {2, 0, 0, 0};
  info.productVersion = {2, 0, 0, 0};
  std::vector<uint8_t> newImage = mkpe::BuildImage(&info, mkpe::FileType::Drv);
  WriteBytes(src + L"\\new.sys", newImage.data(), newImage.size());
  WriteText(src + L"\\plain.sys", "new");
  info.fileVersion = {3, 0, 0, 0};
  std::vector<uint8_t> newerImage = mkpe::BuildImage(&info, mkpe::FileType::Drv);
  info.fileVersion = {1, 0, 0, 0};
  std::vector<uint8_t> dllImage = mkpe::BuildImage(&info, mkpe::FileType::Dll);
  auto bytes = [](const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); };

  enum Old { NoTarget, OldText, OldNewer, OldDll, OldReadOnly, OldOpen };
  const struct {
    const char *key;
    const wchar_t *source;
    Old old;
    DWORD flags;
    UINT capacity;
    bool destDirExists;
  } cases[] = {
      {"vif[new_forced]", L"new.sys", NoTarget, VIFF_FORCEINSTALL, MAX_PATH, true},
      {"vif[over_unversioned]", L"new.sys", OldText, 0, MAX_PATH, true},
      {"vif[newer_kept]", L"new.sys", OldNewer, 0, MAX_PATH, true},
      {"vif[newer_forced]", L"new.sys", OldNewer, VIFF_FORCEINSTALL, MAX_PATH, true},
      {"vif[other_type]", L"new.sys", OldDll, 0, MAX_PATH, true},
      {"vif[source_unversioned]", L"plain.sys", OldNewer, 0, MAX_PATH, true},
      {"vif[name_buffer_too_small]", L"new.sys", OldNewer, 0, 4, true},
      {"vif[write_protected]", L"new.sys", OldReadOnly, VIFF_FORCEINSTALL, MAX_PATH, true},
      {"vif[missing_source]", L"none.sys", OldText, VIFF_FORCEINSTALL, MAX_PATH, true},
      {"vif[missing_target_dir]", L"new.sys", NoTarget, VIFF_FORCEINSTALL, MAX_PATH, false},
      {"vif[target_open]", L"new.sys", OldText, VIFF_FORCEINSTALL, MAX_PATH, true},
  };
  int n = 0;
  for (const auto &c : cases) {
    std::wstring dir = root + L"\\case" + std::to_wstring(++n);
    if (c.destDirExists) MakeDirectory(dir);
    std::wstring target = dir + L"\\z.sys";
    std::string old;
    if (c.old == OldText || c.old == OldReadOnly || c.old == OldOpen) old = "old";
    if (c.old == OldNewer) old = bytes(newerImage);
    if (c.old == OldDll) old = bytes(dllImage);
    if (c.old != NoTarget) WriteText(target, old);
    if (c.old == OldReadOnly) Fixture(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY) != 0, target);
    HANDLE open = std::string(c.key) == "vif[target_open]"
                      ? CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)
                      : INVALID_HANDLE_VALUE;

    WCHAR temp[MAX_PATH] = L"";
    UINT length = c.capacity;
    // Writable copies: the MinGW headers declare the texts without const.
    std::wstring source = c.source, name = L"z.sys", from = src, to = dir, current = dir;
    DWORD result =
        VerInstallFileW(c.flags, source.data(), name.data(), from.data(), to.data(), current.data(), temp, &length);
    if (open != INVALID_HANDLE_VALUE) CloseHandle(open);
    json r = {{"result", HexText(result)}};
    json now = ReadText(target);
    std::string fresh = std::wstring(c.source) == L"plain.sys" ? "new" : bytes(newImage);
    r["target"] = now.is_null() ? json(nullptr) : json(now == old ? "old" : now == fresh ? "new" : "other");
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::string name = Utf8(data.cFileName);
        if (name == "." || name == "..") continue;
        for (auto &ch : name) ch = char(std::toupper(static_cast<unsigned char>(ch)));
        names.push_back(name.rfind("VER", 0) == 0 ? NameShape(name, 3) : name);
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    std::sort(names.begin(), names.end());
    r["files"] = names;
    if (result & VIF_TEMPFILE) {
      std::string tempName = Utf8(temp);
      r["temp_name"] = tempName.size() > 3 ? NameShape(tempName, 3) : tempName;
      r["temp_length_is_name"] = length == std::wcslen(temp) + 1;
    }
    if (c.old == OldReadOnly) SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    out[c.key] = r;
  }
}
}  // namespace winprobe
