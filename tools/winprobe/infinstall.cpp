#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "probe.h"

namespace winprobe {
// ---- INF installation ----------------------------------------------------------------------
// A section's AddReg and DelReg lines applied below HKEY_CURRENT_USER\Software\KvnProbe\inf
// (HKR), over values set beforehand; the key's values and subkeys are reported afterwards.
namespace {
const char kInstallInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n"
    "[Install]\r\nNeeds=Needed\r\nDelReg=Install.DelReg\r\nAddReg=Install.AddReg\r\n"
    "[Needed]\r\nAddReg=Needed.AddReg\r\n"
    "[Needed.AddReg]\r\nHKR,,FromNeeds,,\"needed\"\r\n"
    "[NeedsMissing]\r\nNeeds=NoSuchSection\r\n"
    "[Install.DelReg]\r\nHKR,,DelMe\r\nHKR,,Strings,0x18002,\"B\"\r\nHKR,OldKey\r\n"
    "HKR,,Kept,0x10000\r\n"
    "[Install.AddReg]\r\n"
    "HKR,,Sz,,\"text\"\r\n"
    "HKR,,Expand,0x20000,\"%10%\\x\"\r\n"
    "HKR,,Multi,0x10000,\"a\",\"b\"\r\n"
    "HKR,,MultiNone,0x10000\r\n"
    "HKR,,Dword,0x10001,0x12\r\n"
    "HKR,,DwordOctal,0x10001,010\r\n"
    "HKR,,DwordBytes,0x10001,1,2,3,4\r\n"
    "HKR,,Binary,1,de,ad,be,ef\r\n"
    "HKR,,None,0x20001\r\n"
    "HKR,,Qword,0x000B0001,1,0,0,0,0,0,0,0\r\n"
    "HKR,,Kept,0x2,\"new\"\r\n"
    "HKR,,OnlyOver,0x20,\"x\"\r\n"
    "HKR,,Over,0x20,\"y\"\r\n"
    "HKR,,Append,0x10008,\"B\",\"c\"\r\n"
    "HKR,Sub,,0x10\r\n"
    "HKR,Common,Val,0x2000,\"v\"\r\n"
    "HKR,,Gone,0x4\r\n"
    "HKR,,Empty\r\n"
    "HKR,Sub2,Val,,\"v\"\r\n"
    "HKR,Wide,Val,0x1000,\"64\"\r\n"
    "HKXX,,Ignored,,\"z\"\r\n";

json KeyContents(HKEY key) {
  json r = json::object();
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    BYTE data[1024];
    DWORD nameSize = 256, type = 0, bytes = sizeof data;
    if (RegEnumValueW(key, i, name, &nameSize, nullptr, &type, data, &bytes) != ERROR_SUCCESS) break;
    r["value." + Utf8(name)] = {{"type", unsigned(type)}, {"data", RegData(type, data, bytes)}};
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD nameSize = 256;
    if (RegEnumKeyExW(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    r["key." + Utf8(name)] = true;
  }
  return r;
}
}  // namespace

void ProbeInfInstall(json &out) {
  const std::wstring path = L"C:\\probe\\inf\\install.inf";
  WriteText(path, kInstallInf);
  HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  Fixture(inf != INVALID_HANDLE_VALUE, path);
  const std::wstring keyPath = std::wstring(kRegScratch) + L"\\inf";
  HKEY key = nullptr;
  Fixture(RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
              ERROR_SUCCESS,
          L"the scratch key");
  auto setText = [&](const wchar_t *name, DWORD type, const std::wstring &image) {
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(image.data()),
                   DWORD(image.size() * sizeof(WCHAR)));
  };
  setText(L"Kept", REG_SZ, std::wstring(L"old", 4));
  setText(L"Over", REG_SZ, std::wstring(L"old", 4));
  setText(L"Gone", REG_SZ, std::wstring(L"x", 2));
  setText(L"DelMe", REG_SZ, std::wstring(L"x", 2));
  setText(L"Append", REG_MULTI_SZ, std::wstring(L"a\0b\0", 5));
  setText(L"Strings", REG_MULTI_SZ, std::wstring(L"a\0b\0c\0", 7));
  HKEY old = nullptr;
  RegCreateKeyExW(key, L"OldKey\\Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &old, nullptr);
  if (old) RegCloseKey(old);

  struct Call {
    const char *key;
    HINF inf;  // an invalid handle is not probed: Wine's parser dereferences it
    const wchar_t *section;
    UINT flags;
  } calls[] = {
      {"infinst.install", inf, L"Install", SPINST_REGISTRY},
      {"infinst.missing_section", inf, L"NoSuchSection", SPINST_REGISTRY},
      {"infinst.needs_missing", inf, L"NeedsMissing", SPINST_REGISTRY},
  };
  for (const Call &c : calls) {
    SetLastError(kSentinel);
    out[c.key] = Status(SetupInstallFromInfSectionW(nullptr, c.inf, c.section, c.flags, key, nullptr, 0, nullptr,
                                                    nullptr, nullptr, nullptr) != FALSE);
  }
  json contents = KeyContents(key);
  for (auto &[name, value] : contents.items()) {
    if (value.is_object() && value.contains("data") && value["data"].is_string()) {
      std::string text = value["data"].get<std::string>();
      value["data"] = WithoutWindowsFolder(std::wstring(text.begin(), text.end()));
    }
    out["infinst.after." + name] = value;
  }
  RegCloseKey(key);
  DeleteRegTree(HKEY_CURRENT_USER, keyPath);
  if (inf != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf);
}

// A service installed from an INF, reinstalled with NOCLOBBER flags, then deleted; a section
// missing a required key. Each step is read back from the service's key.
namespace {
const char kServiceInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n"
    "[Svc.Services]\r\nAddService=KvnProbeInfSvc,,Svc.Install,Svc.EventLog\r\n"
    "[Svc.Install]\r\nServiceType=16\r\nStartType=3\r\nErrorControl=1\r\n"
    "ServiceBinary=%11%\\kvnprobe.exe\r\nDisplayName=\"Kvn probe INF service\"\r\n"
    "Description=\"Installed from an INF\"\r\nLoadOrderGroup=KvnGroup\r\n"
    "Dependencies=RpcSs\r\nAddReg=Svc.AddReg\r\n"
    "[Svc.AddReg]\r\nHKR,Parameters,Level,0x10001,3\r\n"
    "[Svc.EventLog]\r\nAddReg=Svc.EventLog.AddReg\r\n"
    "[Svc.EventLog.AddReg]\r\nHKR,,TypesSupported,0x10001,7\r\n"
    "[Update.Services]\r\nAddService=KvnProbeInfSvc,0x18,Svc.Update\r\n"
    "[Svc.Update]\r\nServiceType=16\r\nStartType=2\r\nErrorControl=0\r\n"
    "ServiceBinary=%11%\\kvnprobe2.exe\r\nDisplayName=\"Changed\"\r\n"
    "[Bad.Services]\r\nAddService=KvnProbeInfBad,,Bad.Install\r\n"
    "[Bad.Install]\r\nServiceType=16\r\nStartType=3\r\nServiceBinary=%11%\\x.exe\r\n"
    "[Del.Services]\r\nDelService=KvnProbeInfSvc,0x4\r\nDelService=KvnProbeNoSuchSvc\r\n"
    "[Empty.Services]\r\n";

json InfServiceValues() {
  const std::wstring base = L"SYSTEM\\CurrentControlSet\\Services\\KvnProbeInfSvc";
  json r = json::object();
  struct Read {
    const char *key;
    std::wstring subkey;
    const wchar_t *value;
  } reads[] = {
      {"Type", base, L"Type"},
      {"Start", base, L"Start"},
      {"ErrorControl", base, L"ErrorControl"},
      {"ImagePath", base, L"ImagePath"},
      {"DisplayName", base, L"DisplayName"},
      {"Description", base, L"Description"},
      {"Group", base, L"Group"},
      {"DependOnService", base, L"DependOnService"},
      {"Parameters.Level", base + L"\\Parameters", L"Level"},
      {"EventLog.TypesSupported", L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\KvnProbeInfSvc",
       L"TypesSupported"},
  };
  for (const Read &read : reads) {
    BYTE data[512] = {};
    DWORD type = 0, size = sizeof data;
    LSTATUS e = RegGetValueW(HKEY_LOCAL_MACHINE, read.subkey.c_str(), read.value, RRF_RT_ANY | RRF_NOEXPAND, &type,
                             data, &size);
    json v = {{"ret", unsigned(e)}};
    if (e == ERROR_SUCCESS) {
      // ImagePath's type is reported on its own (Wine writes REG_SZ).
      if (std::string(read.key) == "ImagePath")
        r["ImagePath.type"] = unsigned(type);
      else
        v["type"] = unsigned(type);
      if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)
        v["value"] = WithoutWindowsFolder(std::wstring(reinterpret_cast<const wchar_t *>(data)));
      else if (type == REG_DWORD)
        v["value"] = unsigned(*reinterpret_cast<DWORD *>(data));
    }
    r[read.key] = v;
  }
  return r;
}
}  // namespace

void ProbeInfServices(json &out) {
  const std::wstring path = L"C:\\probe\\inf\\services.inf";
  WriteText(path, kServiceInf);
  HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  Fixture(inf != INVALID_HANDLE_VALUE, path);
  struct Step {
    const char *key;
    const wchar_t *section;
    bool readBack;
  } steps[] = {
      {"infsvc.missing_section", L"NoSuchSection", false},
      {"infsvc.empty_section", L"Empty.Services", false},
      {"infsvc.missing_required_key", L"Bad.Services", false},
      {"infsvc.add", L"Svc.Services", true},
      {"infsvc.add_again", L"Svc.Services", false},
      {"infsvc.update_noclobber", L"Update.Services", true},
      {"infsvc.delete", L"Del.Services", true},
  };
  for (const Step &step : steps) {
    SetLastError(kSentinel);
    out[step.key] = Status(SetupInstallServicesFromInfSectionW(inf, step.section, 0) != FALSE);
    if (step.readBack) {
      json values = InfServiceValues();
      for (auto &[name, value] : values.items()) out[std::string(step.key) + "." + name] = value;
    }
  }
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm) {
    // Left by a run that stopped early.
    for (const wchar_t *name : {L"KvnProbeInfSvc", L"KvnProbeInfBad"})
      if (SC_HANDLE s = OpenServiceW(scm, name, DELETE)) {
        DeleteService(s);
        CloseServiceHandle(s);
      }
    CloseServiceHandle(scm);
  }
  SetupCloseInfFile(inf);
}

// Publishing an INF: a first copy, a rerun that finds it, the refusals and the sizes. Names
// are reported by shape ("oem#.inf") and by whether a rerun gives the same one; the copies
// are removed afterwards.
void ProbeCopyOemInf(json &out) {
  const std::wstring source = L"C:\\probe\\inf\\kvnpublish.inf";
  WriteText(source,
            "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\nDriverVer=01/02/2026,1.2.3.4\r\n"
            "[KvnProbePublish]\r\nUnique=\"3f1c9e\"\r\n");
  auto shape = [](const std::wstring &name) {
    std::wstring s;
    for (wchar_t c : name) {
      if (c >= L'0' && c <= L'9') {
        if (s.empty() || s.back() != L'#') s += L'#';
      } else {
        s += c;
      }
    }
    return Utf8(s);
  };
  std::vector<std::wstring> published;
  struct Case {
    const char *key;
    const wchar_t *source;
    DWORD style, bufferSize;
  } cases[] = {
      {"oeminf.first", source.c_str(), 0, MAX_PATH},
      {"oeminf.again", source.c_str(), 0, MAX_PATH},
      {"oeminf.again_nooverwrite", source.c_str(), SP_COPY_NOOVERWRITE, MAX_PATH},
      {"oeminf.again_small_buffer", source.c_str(), 0, 4},
      {"oeminf.missing_source", L"C:\\probe\\inf\\none.inf", 0, MAX_PATH},
  };
  std::wstring first;
  for (const Case &c : cases) {
    WCHAR name[MAX_PATH];
    std::fill(std::begin(name), std::end(name), WCHAR(0xCCCC));
    DWORD required = kSentinel;
    PWSTR component = nullptr;
    SetLastError(kSentinel);
    json r = Status(
        SetupCopyOEMInfW(c.source, nullptr, SPOST_PATH, c.style, name, c.bufferSize, &required, &component) != FALSE);
    bool filled = name[0] != WCHAR(0xCCCC);
    r["name_filled"] = filled;
    if (filled) {
      std::wstring full = name;
      r["component_is_file_name"] = component && std::wstring(component) == full.substr(full.rfind(L'\\') + 1);
      r["required_is_length"] = required == full.size() + 1;
      if (first.empty()) {
        first = full;
        r["shape"] = shape(full.substr(full.rfind(L'\\') + 1));
        published.push_back(full);
      } else {
        r["same_as_first"] = full == first;
      }
    } else if (!first.empty() && required != kSentinel) {
      r["required_is_length"] = required == first.size() + 1;
    }
    out[c.key] = r;
  }
  for (const std::wstring &path : published) {
    DeleteFileW(path.c_str());
    std::wstring pnf = path.substr(0, path.size() - 4) + L".pnf";
    DeleteFileW(pnf.c_str());
  }
}
}  // namespace winprobe
