// registry.reg: the subtrees the earlier steps named (and the keys whose values alone are
// wanted) exported in regedit's format, read with RegEnumKeyExW/RegEnumValueW. A key that
// does not exist is no omission (a service without an event-log source has none); one that
// cannot be opened or read is.
#include <windows.h>

#include <algorithm>

#include "capture.h"
#include "regtext.h"
#include "support/handles.h"

namespace kvncapture {
namespace {

const wchar_t kMachineRoot[] = L"HKEY_LOCAL_MACHINE\\";
constexpr int kMaxDepth = 32;  // deeper than any key the component reads

// The extensions whose associations ShellExecuteW follows for the files the component opens.
constexpr const wchar_t *kAssociations[] = {L".bat", L".cmd", L".exe", L".htm", L".html", L".log", L".txt"};

class Exporter {
 public:
  explicit Exporter(MachineCapture &capture) : capture_(capture) {}

  // `path` is below HKEY_LOCAL_MACHINE ("HKEY_LOCAL_MACHINE\SYSTEM\..."); with `subkeys`
  // the whole subtree, else the key's values only.
  void Export(const std::wstring &path, bool subkeys) {
    if (path.compare(0, std::char_traits<wchar_t>::length(kMachineRoot), kMachineRoot) != 0) return;
    std::wstring below = path.substr(std::char_traits<wchar_t>::length(kMachineRoot));
    HKEY opened = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, below.c_str(), 0, KEY_READ, &opened);
    if (status == ERROR_FILE_NOT_FOUND) return;
    if (status != ERROR_SUCCESS) {
      capture_.Omit("registry key " + Utf8Of(path) + ": RegOpenKeyExW failed with " + ErrorText(DWORD(status)) +
                    "; left out");
      return;
    }
    unique_hkey key(opened);
    Write(key.get(), path, subkeys, 0);
  }

  size_t Keys() const { return keys_; }

 private:
  // A key is written as winsim writes its registry: when it has values or no subkeys (the
  // path of a subkey implies a key without values).
  void Write(HKEY key, const std::wstring &path, bool subkeys, int depth) {
    DWORD error = 0;
    std::vector<std::wstring> names = subkeys ? SubkeyNames(key, &error) : std::vector<std::wstring>();
    if (written_.Add(path)) {
      std::wstring values;
      WriteValues(key, path, values);
      if (!values.empty() || names.empty()) capture_.registry += L"[" + path + L"]\r\n" + values + L"\r\n";
      ++keys_;
    }
    if (!subkeys) return;
    if (depth >= kMaxDepth) {
      capture_.Omit("registry key " + Utf8Of(path) + ": deeper than " + std::to_string(kMaxDepth) +
                    " levels; its subkeys are left out");
      return;
    }
    for (const std::wstring &name : names) {
      HKEY opened = nullptr;
      LSTATUS status = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &opened);
      if (status != ERROR_SUCCESS) {
        capture_.Omit("registry key " + Utf8Of(path + L"\\" + name) + ": RegOpenKeyExW failed with " +
                      ErrorText(DWORD(status)) + "; left out");
        continue;
      }
      unique_hkey sub(opened);
      Write(sub.get(), path + L"\\" + name, true, depth + 1);
    }
    if (error)
      capture_.Omit("registry key " + Utf8Of(path) + ": its subkeys cannot be listed (" + ErrorText(error) + ")");
  }

  void WriteValues(HKEY key, const std::wstring &path, std::wstring &out) {
    std::vector<WCHAR> name(16384);  // the longest value name the registry allows, and its terminator
    std::vector<BYTE> data(1024);
    for (DWORD i = 0;; ++i) {
      DWORD nameLength = DWORD(name.size()), size = DWORD(data.size()), type = 0;
      LSTATUS status = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size);
      if (status == ERROR_MORE_DATA && size > data.size()) {
        data.resize(size);
        --i;
        continue;
      }
      if (status == ERROR_NO_MORE_ITEMS) return;
      if (status != ERROR_SUCCESS) {
        capture_.Omit("registry key " + Utf8Of(path) + ": value " + std::to_string(i) + " cannot be read (" +
                      ErrorText(DWORD(status)) + "); the key's later values are left out");
        return;
      }
      std::vector<unsigned char> image;
      if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        // The caller's strings are wchar_t; the file holds them as Windows stores them.
        std::wstring text(reinterpret_cast<const WCHAR *>(data.data()), size / sizeof(WCHAR));
        image = toolcommon::Utf16LeImage(text, false);
      } else {
        image.assign(data.begin(), data.begin() + size);
      }
      toolcommon::AppendRegValue(out, std::wstring(name.data(), nameLength), type, image);
    }
  }

  MachineCapture &capture_;
  NameSet written_;
  size_t keys_ = 0;
};

}  // namespace

std::vector<std::wstring> SubkeyNames(HKEY key, DWORD *error) {
  std::vector<std::wstring> names;
  WCHAR name[256];  // the longest key name the registry allows, and its terminator
  for (DWORD i = 0;; ++i) {
    DWORD length = 256;
    LSTATUS status = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      if (error) *error = DWORD(status);
      break;
    }
    names.emplace_back(name, length);
  }
  return names;
}

void CaptureRegistry(MachineCapture &capture) {
  capture.registryKeys.Add(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  for (const wchar_t *extension : kAssociations) {
    std::wstring key = std::wstring(L"SOFTWARE\\Classes\\") + extension;
    capture.registryKeys.Add(kMachineRoot + key);
    std::wstring progId = TextValue(HKEY_LOCAL_MACHINE, key, L"");
    if (progId.empty() || progId.find(L'\\') != std::wstring::npos) continue;
    capture.registryKeys.Add(kMachineRoot + std::wstring(L"SOFTWARE\\Classes\\") + progId);
    capture.registryTrees.Add(kMachineRoot + std::wstring(L"SOFTWARE\\Classes\\") + progId + L"\\shell");
  }
  Exporter exporter(capture);
  // Values-only keys first: a tree below one of them then adds its subkeys.
  for (const std::wstring &key : capture.registryKeys.Names()) exporter.Export(key, false);
  for (const std::wstring &tree : capture.registryTrees.Names()) exporter.Export(tree, true);
  capture.summary.push_back(std::to_string(exporter.Keys()) +
                            " registry keys: Windows NT\\CurrentVersion's values, the file associations, and the "
                            "subtrees of the captured devices, classes and services");
}

}  // namespace kvncapture
