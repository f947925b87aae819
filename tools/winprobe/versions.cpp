#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pewriter.h"
#include "probe.h"

namespace winprobe {
// ---- version resources -------------------------------------------------------------------
namespace {
json QueryString(const std::vector<uint8_t> &block, const std::wstring &subBlock) {
  LPVOID value = nullptr;
  UINT length = kSentinel;
  BOOL ok = VerQueryValueW(block.data(), subBlock.c_str(), &value, &length);
  json r = {{"ok", ok != 0}};
  if (ok && value) {
    r["len"] = length;
    r["text"] = Utf8(static_cast<const WCHAR *>(value));
  }
  return r;
}

void ProbeVersionFile(json &out, const std::string &key, const std::wstring &path) {
  DWORD handle = kSentinel;
  SetLastError(kSentinel);
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  json r = Status(size != 0);
  r["handle"] = unsigned(handle);
  out[key + ".size"] = r;
  if (!size) return;

  std::vector<uint8_t> block(size);
  SetLastError(kSentinel);
  out[key + ".read"] = Status(GetFileVersionInfoW(path.c_str(), 0, size, block.data()) != 0);

  LPVOID value = nullptr;
  UINT length = kSentinel;
  BOOL ok = VerQueryValueW(block.data(), L"\\", &value, &length);
  json root = {{"ok", ok != 0}};
  if (ok && value && length >= sizeof(VS_FIXEDFILEINFO)) {
    const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
    root["len"] = length;
    root["dwSignature"] = unsigned(fixed->dwSignature);
    root["dwFileVersionMS"] = unsigned(fixed->dwFileVersionMS);
    root["dwFileVersionLS"] = unsigned(fixed->dwFileVersionLS);
    root["dwProductVersionMS"] = unsigned(fixed->dwProductVersionMS);
    root["dwProductVersionLS"] = unsigned(fixed->dwProductVersionLS);
    root["dwFileOS"] = unsigned(fixed->dwFileOS);
    root["dwFileType"] = unsigned(fixed->dwFileType);
  }
  out[key + ".root"] = root;

  value = nullptr;
  length = kSentinel;
  ok = VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length);
  json translation = {{"ok", ok != 0}};
  if (ok && value && length >= 4) {
    const auto *words = static_cast<const WORD *>(value);
    translation["len"] = length;
    translation["language"] = unsigned(words[0]);
    translation["codepage"] = unsigned(words[1]);
  }
  out[key + ".translation"] = translation;

  const wchar_t *const queries[] = {
      L"\\StringFileInfo\\040904B0\\CompanyName",   L"\\StringFileInfo\\040904B0\\InternalName",
      L"\\StringFileInfo\\040904B0\\FileVersion",   L"\\StringFileInfo\\040904B0\\LegalCopyright",
      L"\\StringFileInfo\\040904b0\\companyname",   L"\\StringFileInfo\\04070000\\CompanyName",
      L"\\StringFileInfo\\040904B0\\ProductVersion"};
  for (const wchar_t *q : queries) out[key + ".query[" + KeyText(q) + "]"] = QueryString(block, q);
}
}  // namespace

void ProbeVersions(json &out) {
  const std::wstring dir = L"C:\\probe\\ver";
  MakeDirectory(dir);

  mkpe::VersionInfo dll;
  dll.fileVersion = {1, 2, 3, 4};
  dll.productVersion = {5, 6, 7, 8};
  dll.companyName = "Probe Works Inc.";
  dll.internalName = "probeint";
  dll.fileDescription = "Version fixture";
  WriteImage(dir + L"\\withver.dll", &dll, mkpe::FileType::Dll);

  mkpe::VersionInfo app;
  app.fileVersion = {65535, 0, 1, 65534};
  app.productVersion = {10, 0, 17763, 1};
  app.companyName = "Probe Works Inc.";
  app.internalName = "probe32";
  app.productVersionText = "10.0 (build 17763)";
  WriteImage(dir + L"\\withver32.exe", &app, mkpe::FileType::App, mkpe::Architecture::X86);

  mkpe::VersionInfo drv;
  drv.fileVersion = {4, 3, 2, 1};
  drv.productVersion = {4, 3, 2, 1};
  drv.internalName = "probedrv.sys";
  WriteImage(dir + L"\\driver.sys", &drv, mkpe::FileType::Drv);

  WriteImage(dir + L"\\nores.dll", nullptr, mkpe::FileType::Dll);
  WriteText(dir + L"\\text.dll", "This file is not an executable image.\r\n");
  WriteText(dir + L"\\empty.dll", "");

  for (const wchar_t *name :
       {L"withver.dll", L"withver32.exe", L"driver.sys", L"nores.dll", L"text.dll", L"empty.dll", L"missing.dll"})
    ProbeVersionFile(out, "ver." + Utf8(name), dir + L"\\" + name);
  ProbeVersionFile(out, "ver.missing_dir", L"C:\\probe\\nodir\\withver.dll");
}
}  // namespace winprobe
