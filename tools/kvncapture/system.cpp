// The Windows the machine runs ([os]), its name, locales, clock and drives ([machine]), the
// environment the setup engine's process inherits ([env]) and the computer model WMI reports
// ([wmi]).
#include <windows.h>

#include <cstdio>

#include "capture.h"
#include "package/wmiconnection.h"
#include "support/handles.h"

namespace kvncapture {
namespace {

std::string Number(unsigned long long value) { return std::to_string(value); }

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

const char *ProductTypeName(BYTE type) {
  switch (type) {
    case VER_NT_WORKSTATION: return "workstation";
    case VER_NT_DOMAIN_CONTROLLER: return "domain_controller";
    default: return "server";
  }
}

std::string ArchitectureName(WORD native, WORD process) {
  if (native == PROCESSOR_ARCHITECTURE_AMD64 && process == PROCESSOR_ARCHITECTURE_INTEL) return "\"ia32_on_win64\"";
  switch (native) {
    case PROCESSOR_ARCHITECTURE_INTEL: return "\"intel\"";
    case PROCESSOR_ARCHITECTURE_IA64: return "\"ia64\"";
    case PROCESSOR_ARCHITECTURE_AMD64: return "\"amd64\"";
    default: return Number(native);
  }
}

// The functions the component finds at run time, by DLL: a machine that lacks one behaves
// differently, so the capture records what this one lacks.
constexpr struct {
  const wchar_t *dll;
  const char *function;
} kRunTimeImports[] = {
    {L"kernel32.dll", "GetNativeSystemInfo"},
    {L"kernel32.dll", "GetProductInfo"},
    {L"setupapi.dll", "SetupCopyOEMInfW"},
    {L"newdev.dll", "UpdateDriverForPlugAndPlayDevicesW"},
};

void CaptureOs(MachineCapture &capture) {
  std::string &t = capture.toml;
  t += "[os]\n";
  OSVERSIONINFOEXW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW *>(&v))) {
    capture.Omit("[os]: GetVersionExW failed with " + ErrorText(GetLastError()) + "; the version is winsim's default");
  } else {
    t += "major = " + Number(v.dwMajorVersion) + "\nminor = " + Number(v.dwMinorVersion) +
         "\nbuild = " + Number(v.dwBuildNumber) + "\nplatform_id = " + Number(v.dwPlatformId) + "\nproduct_type = \"" +
         ProductTypeName(v.wProductType) + "\"\ncsd_version = " + TomlString(v.szCSDVersion) +
         "\nsp_major = " + Number(v.wServicePackMajor) + "\nsp_minor = " + Number(v.wServicePackMinor) +
         "\nsuite_mask = " + Hex(v.wSuiteMask, 4) + "\n";
    DWORD product = 0;
    if (GetProductInfo(v.dwMajorVersion, v.dwMinorVersion, v.wServicePackMajor, v.wServicePackMinor, &product))
      t += "product_info = " + Number(product) + "\n";
  }
  t += std::string("server_r2 = ") + (GetSystemMetrics(SM_SERVERR2) != 0 ? "true" : "false") + "\n";
  SYSTEM_INFO native = {}, process = {};
  GetNativeSystemInfo(&native);
  GetSystemInfo(&process);
  t += "architecture = " + ArchitectureName(native.wProcessorArchitecture, process.wProcessorArchitecture) + "\n";
  std::wstring current =
      TextValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentVersion");
  if (!current.empty()) t += "current_version = " + TomlString(current) + "\n";

  std::vector<std::wstring> missingDlls, missingExports;
  for (const auto &import : kRunTimeImports) {
    unique_hmodule module(LoadLibraryW(import.dll));
    if (!module) {
      bool listed = false;
      for (const std::wstring &d : missingDlls) listed = listed || d == import.dll;
      if (!listed) missingDlls.push_back(import.dll);
    } else if (!GetProcAddress(module.get(), import.function)) {
      std::wstring name = import.dll;
      name += L'!';
      for (const char *c = import.function; *c; ++c) name += wchar_t(*c);
      missingExports.push_back(name);
    }
  }
  if (!missingDlls.empty()) t += "missing_dlls = " + TomlList(missingDlls) + "\n";
  if (!missingExports.empty()) t += "missing_exports = " + TomlList(missingExports) + "\n";
  t += "\n";
  capture.summary.push_back("the Windows version and edition, the run-time imports the component looks for");
}

std::string LocaleName(LCID locale) {
  WCHAR name[LOCALE_NAME_MAX_LENGTH] = L"";
  if (!GetLocaleInfoW(locale, LOCALE_SNAME, name, LOCALE_NAME_MAX_LENGTH)) return {};
  return TomlString(name);
}

void CaptureMachine(MachineCapture &capture) {
  std::string &t = capture.toml;
  t += "[machine]\n";
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1] = L"";
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (GetComputerNameW(name, &size)) {
    capture.computer = name;
    t += "computer_name = " + TomlString(name) + "\n";
  } else {
    capture.Omit("[machine] computer_name: GetComputerNameW failed with " + ErrorText(GetLastError()));
  }
  t += "ansi_code_page = " + Number(GetACP()) + "\n";
  std::string user = LocaleName(LOCALE_USER_DEFAULT), system = LocaleName(LOCALE_SYSTEM_DEFAULT);
  if (!user.empty()) t += "user_locale = " + user + "\n";
  if (!system.empty()) t += "system_locale = " + system + "\n";
  if (user.empty() || system.empty()) capture.Omit("[machine] locales: GetLocaleInfoW(LOCALE_SNAME) failed");

  TIME_ZONE_INFORMATION zone = {};
  DWORD zoneId = GetTimeZoneInformation(&zone);
  if (zoneId == TIME_ZONE_ID_INVALID) {
    capture.Omit("[machine] timezone_bias_minutes: GetTimeZoneInformation failed with " + ErrorText(GetLastError()));
  } else {
    // The bias in effect now: daylight saving time adds its own.
    long bias = zone.Bias + (zoneId == TIME_ZONE_ID_DAYLIGHT   ? zone.DaylightBias
                             : zoneId == TIME_ZONE_ID_STANDARD ? zone.StandardBias
                                                               : 0);
    t += "timezone_bias_minutes = " + std::to_string(bias) + "\n";
  }
  // The moment of the capture: every what-if run on the copy starts from it.
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  char clock[64];
  std::snprintf(clock, sizeof clock, "%04u-%02u-%02uT%02u:%02u:%02u", unsigned(now.wYear), unsigned(now.wMonth),
                unsigned(now.wDay), unsigned(now.wHour), unsigned(now.wMinute), unsigned(now.wSecond));
  t += std::string("clock = \"") + clock + "\"\n";

  std::string drives;
  DWORD letters = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if (!(letters & (DWORD(1) << i))) continue;
    const wchar_t root[] = {wchar_t(L'A' + i), L':', L'\\', 0};
    if (GetDriveTypeW(root) != DRIVE_FIXED) continue;
    ULARGE_INTEGER free = {};
    if (!GetDiskFreeSpaceExW(root, &free, nullptr, nullptr)) {
      capture.Omit(std::string("[machine] free_disk of ") + char('A' + i) + ": GetDiskFreeSpaceExW failed with " +
                   ErrorText(GetLastError()));
      continue;
    }
    drives += std::string(drives.empty() ? "" : ", ") + "\"" + char('A' + i) + ":\" = " + Number(free.QuadPart);
  }
  if (!drives.empty()) t += "free_disk = { " + drives + " }\n";
  t += "\n";
  capture.summary.push_back("the computer name, code page, locales, time-zone bias and free space of the fixed drives");
}

// The variables of the machine's environment that the component and winsim's defaults use;
// the account's own (TEMP, TMP, Path, the profile) stay out.
constexpr const wchar_t *kEnvironment[] = {L"SystemRoot",
                                           L"windir",
                                           L"SystemDrive",
                                           L"ProgramFiles",
                                           L"ProgramFiles(x86)",
                                           L"CommonProgramFiles",
                                           L"ProgramData",
                                           L"ALLUSERSPROFILE",
                                           L"ComSpec",
                                           L"PATHEXT",
                                           L"OS",
                                           L"PROCESSOR_ARCHITECTURE",
                                           L"NUMBER_OF_PROCESSORS"};

void CaptureEnvironment(MachineCapture &capture) {
  std::string lines;
  for (const wchar_t *name : kEnvironment) {
    WCHAR value[MAX_PATH] = L"";
    DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) continue;
    lines += TomlString(name) + " = " + TomlString(value) + "\n";
  }
  if (!lines.empty()) capture.toml += "[env]\n" + lines + "\n";
}

void CaptureWmi(MachineCapture &capture) {
  capture.toml += "[wmi]\n";
  WmiConnection wmi;
  if (!wmi.Connect(L"ROOT\\CIMV2")) {
    capture.toml += "available = false\n\n";
    capture.summary.push_back("WMI: not available (" + Utf8Of(wmi.GetErrorText()) + ")");
    return;
  }
  capture.toml += "available = true\n";
  if (wmi.ExecQuery(L"Win32_ComputerSystem") && wmi.ReadProperty(L"Model")) {
    capture.toml += "model = " + TomlString(wmi.GetValue()) + "\n";
    capture.summary.push_back("WMI: the computer model");
  } else {
    capture.Omit("[wmi] model: Win32_ComputerSystem.Model cannot be read (" + Utf8Of(wmi.GetErrorText()) + ")");
  }
  capture.toml += "\n";
}

}  // namespace

void CaptureSystem(MachineCapture &capture) {
  CaptureOs(capture);
  CaptureMachine(capture);
  CaptureEnvironment(capture);
  CaptureWmi(capture);
}

bool RunsAsAdministrator() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &admins))
    return false;
  unique_sid owner(admins);
  BOOL member = FALSE;
  return CheckTokenMembership(nullptr, owner.get(), &member) && member;
}

}  // namespace kvncapture
