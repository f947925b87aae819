// CBaseComponent's operations. The feature folders do the work (package files, operating
// system, devices); the component keeps what they answer in its members.
#include "framework/basecomp.h"

#include <shellapi.h>

#include <cwchar>

#include "devices/pnpdevicelist.h"
#include "driverinstall/inf.h"
#include "driverinstall/pnpdriver.h"
#include "package/dependency.h"
#include "package/packagedef.h"
#include "support/console.h"
#include "support/fileversion.h"
#include "support/handles.h"
#include "support/messages.h"
#include "system/registrykey.h"
#include "system/servicecontrol.h"

// The driver flag of a driver that came with Windows (DNF_INBOX_DRIVER), which the
// mingw-w64 headers do not name.
constexpr DWORD kInboxDriverFlag = 0x00100000;

bool HasCommandLineSwitch(const WCHAR *commandLine, const WCHAR *switchText) {
  if (!commandLine || !switchText || !*switchText) return false;
  size_t n = std::wcslen(switchText);
  for (const WCHAR *p = commandLine; *p; ++p) {
    size_t k = 0;
    while (k < n && p[k] && AsciiUpper(p[k]) == AsciiUpper(switchText[k])) ++k;
    if (k == n) return true;
  }
  return false;
}

bool SplitVersionText(const WCHAR *text, DWORD *versionMS, DWORD *versionLS) {
  if (!text || !versionMS || !versionLS) return false;
  DWORD parts[4] = {0, 0, 0, 0};
  int count = 0;
  const WCHAR *p = text;
  while (count < 4) {
    while (*p == L'.') ++p;  // empty parts are skipped, as a tokenizer does
    if (!*p) break;
    DWORD value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) value = value * 10 + DWORD(*p - L'0');
    parts[count++] = value & 0xFFFF;
    while (*p && *p != L'.') ++p;
  }
  if (count == 0) return false;
  *versionMS = parts[0] << 16 | parts[1];
  *versionLS = parts[2] << 16 | parts[3];
  return true;
}

int CopyPropertyText(const WCHAR *text, WCHAR *buffer, UINT capacity, bool allowEmpty) {
  if (!text || !buffer) return 0;
  size_t length = std::wcslen(text);
  if (length >= capacity || (length == 0 && !allowEmpty)) return 0;
  std::wmemcpy(buffer, text, length + 1);
  return 1;
}

CBaseComponent::CBaseComponent() : m_ownLog(std::make_unique<CCmpLog>()) { m_pLog = m_ownLog.get(); }

CBaseComponent::~CBaseComponent() { Cleanup(); }

void CBaseComponent::Cleanup() {
  m_pPackageXml.reset();
  if (m_bOwnsLog && m_pLog && g_messageWriter.GetLog() == m_pLog) g_messageWriter.Bind(nullptr);
  m_ownLog.reset();
  m_pLog = nullptr;
}

int CBaseComponent::Initialize() {
  int result = 1;
  const WCHAR *commandLine = GetCommandLineW();
  if (HasCommandLineSwitch(commandLine, L"/verbose_log")) m_pLog->SetVerbose(1);
  if (HasCommandLineSwitch(commandLine, L"/consoleout")) OpenProcessConsole();
  if (HasCommandLineSwitch(commandLine, L"/no_overwrite")) m_bNoOverwrite = 1;

  m_pLog->Open();  // a log that cannot be opened skips its writes

  if (m_bNoOverwrite)
    m_pLog->WriteEntry(LOG_VERBOSE_STEP, SEV_NONE, BASECOMP_SOURCE, 99, L"\r\n/no_overwrite DETECTED");
  else
    m_pLog->WriteEntry(LOG_VERBOSE_STEP, SEV_NONE, BASECOMP_SOURCE, 103, L"\r\n/no_overwrite ABSENT");

  m_pLog->WriteEntry(LOG_VERBOSE_STEP, SEV_NONE, BASECOMP_SOURCE, 108, L"Detecting if 64-bit operating system... \r\n");
  m_bIs64BitOS = IsOS64Bit();

  m_pLog->WriteEntry(LOG_VERBOSE_STEP, SEV_NONE, BASECOMP_SOURCE, 111, L"Locating package definition file... ");
  WCHAR packageFile[MAX_PATH] = L"";
  if (!LocatePackageDefinition(packageFile)) {
    m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Failed!\r\n");
  } else {
    m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Done.\r\n");
    m_pLog->WriteEntry(LOG_VERBOSE_STEP, SEV_NONE, BASECOMP_SOURCE, 117, L"    - Reading package definition file... ");
    if (ReadPackageDefinition(packageFile) != 0) {
      m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Failed!\r\n");
      result = 0;
    } else {
      m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Done.\r\n");
    }
  }

  m_pLog->WriteEntry(LOG_VERBOSE_STEP, SEV_NONE, BASECOMP_SOURCE, 134, L"Checking for install.xml... ");
  WIN32_FIND_DATAW found;
  unique_hfind search(FindFirstFileW(L"install.xml", &found));
  if (!search) {
    m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Not found.\r\n");
  } else {
    m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Found.\r\n");
    m_pLog->WriteEntry(LOG_VERBOSE_STEP, SEV_NONE, BASECOMP_SOURCE, 141, L"    - Reading installer XML... ");
    if (ReadInstallDescription(found.cFileName) != 0) {
      m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Failed!\r\n");
      result = 0;
    } else {
      m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Done.\r\n");
    }
    search.reset();
  }

  if (m_supportedDevices.IsEmpty()) return result;

  m_pLog->WriteEntry(LOG_VERBOSE_STEP, SEV_NONE, BASECOMP_SOURCE, 160, L"Building PnP device list... ");
  m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, BuildDeviceList(FALSE) ? L"Done.\r\n" : L"Failed!\r\n");
  return result;
}

namespace {
// A message for the host in its language (Japanese for "ja", else English), cut to the
// host's buffer.
void SetInstallMessage(WCHAR *message, MessageTable &table, const WCHAR *languageCode) {
  if (message) CopyText(message, kInstallMessageCapacity, LookupMessageWithFallback(table, languageCode));
}

// The INF's own service: its first AddService line, or empty.
CStr InfServiceName(const WCHAR *infPath) {
  CInf inf(infPath);
  WCHAR name[256] = L"";
  if (!inf.IsOpen() || !inf.GetServiceName(nullptr, name, 256)) return CStr();
  return CStr(name);
}
}  // namespace

int CBaseComponent::Install(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4,
                            const WCHAR *languageCode) {
  m_pLog->WriteEntry(LOG_BOTH_RESULT, SEV_NONE, nullptr, 0, L"Initiating installation... ");
  int result = 0;
  switch (m_nInstallType) {
    case INSTALL_LEGACY:
      m_pLog->WriteEntry(LOG_NORMAL, SEV_NONE, nullptr, 0, L"\r\n");
      m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Type=LEGACY\r\n");
      result = InstallLegacy(reserved1, reserved2, message, reserved4, languageCode);
      break;
    case INSTALL_PNP:
      m_pLog->WriteEntry(LOG_NORMAL, SEV_NONE, nullptr, 0, L"\r\n");
      m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Type=PNP\r\n");
      result = InstallPnP(reserved1, reserved2, message, reserved4, languageCode);
      break;
    case INSTALL_VIRTUAL:
      // A virtual device is installed as a legacy INF is, and logged as one.
      m_pLog->WriteEntry(LOG_NORMAL, SEV_NONE, nullptr, 0, L"\r\n");
      m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Type=LEGACY\r\n");
      result = InstallVirtual(reserved1, reserved2, message, reserved4, languageCode);
      break;
    default:
      SetInstallMessage(message, MSG_UNKNOWN_INF_TYPE, languageCode);
      m_pLog->WriteEntry(LOG_BOTH_RESULT, SEV_NONE, nullptr, 0, L"\r\n");
      m_pLog->WriteEntry(LOG_BOTH_RESULT, SEV_ERROR, nullptr, 0, L"%ls\r\n", MSG_UNKNOWN_INF_TYPE[0]);
      result = 0;
      break;
  }
  if (!m_szShellExecuteFile[0]) return result;

  m_pLog->WriteEntry(LOG_VERBOSE_STEP, SEV_NONE, BASECOMP_SOURCE, 321, L"Executing ShellExecute command... ");
  HINSTANCE opened = ShellExecuteW(nullptr, L"open", m_szShellExecuteFile, nullptr, m_szShellExecuteDir, SW_HIDE);
  if (reinterpret_cast<INT_PTR>(opened) <= 32) {
    SetInstallMessage(message, MSG_SHELLEXECUTE_FAILED, languageCode);
    m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Failed!\r\n");
    return 0;
  }
  m_pLog->WriteEntry(LOG_VERBOSE_RESULT, SEV_NONE, nullptr, 0, L"Done.\r\n");
  return result;
}

int CBaseComponent::InstallLegacy(int, ULONG_PTR, WCHAR *, int, const WCHAR *) { return InstallInfFile(false); }

int CBaseComponent::InstallVirtual(int, ULONG_PTR, WCHAR *, int, const WCHAR *) { return InstallInfFile(true); }

int CBaseComponent::InstallInfFile(bool virtualDevice) {
  CInf inf(m_strInfFile);
  if (virtualDevice) inf.SetVirtualDevice(1);
  if (!inf.IsOpen()) return 0;
  BOOL restart = 0;
  BOOL installed =
      m_strInfSection.IsEmpty() ? inf.InstallInf(&restart) : inf.InstallInfSection(m_strInfSection, &restart, 1);
  if (!installed) return 0;
  return (m_bRebootRequired == 1 || restart) ? 2 : 1;
}

int CBaseComponent::InstallPnP(int, ULONG_PTR, WCHAR *message, int, const WCHAR *languageCode) {
  if (m_supportedDevices.IsEmpty()) {
    SetInstallMessage(message, MSG_NO_SUPPORTED_DEVICES, languageCode);
    m_pLog->WriteEntry(LOG_BOTH_RESULT, SEV_NONE, nullptr, 0, L"%ls\r\n",
                       LookupMessageWithFallback(MSG_NO_SUPPORTED_DEVICES, languageCode));
    return 0;
  }
  CWin2000PnPDriver driver(m_strInfFile, 1);
  BOOL skipped = 0;
  for (const CStr &hardwareId : m_supportedDevices) {
    DeviceRecord record;
    if (!FindDevice(hardwareId, &record)) continue;
    bool update = !m_bNoOverwrite || !record.Device().HasSet() || record.Device().HasDriverFlag(kInboxDriverFlag);
    if (!update) {
      // "/no_overwrite": another vendor's driver stays unless it is this package's own service.
      CStr ours = InfServiceName(m_strInfFile);
      CStr theirs = InfServiceName(record.Device().GetDriverDetail().InfFileName);
      update = ours.CompareNoCase(theirs) == 0;
      if (!update) skipped = 1;
    }
    if (update) driver.AddHardwareId(hardwareId);
  }
  int code = driver.Run(m_bNoOverwrite, skipped);
  if (code == 0) return (m_bRebootRequired == 1 || driver.GetRebootFlag()) ? 2 : 1;
  if (code == 1) SetInstallMessage(message, MSG_NO_DEVICES_FOUND, languageCode);
  if (code == 2 || code == 3) SetInstallMessage(message, MSG_INSTALL_ERROR, languageCode);
  if (code == 4) SetInstallMessage(message, MSG_DEVICE_INSTALL_FAILED, languageCode);
  return 0;
}

int CBaseComponent::GetProperty(UINT id, void *output, UINT size, ULONG_PTR extra) {
  const WCHAR *languageCode = reinterpret_cast<const WCHAR *>(extra);
  if (!output) return 0;
  switch (id) {
    case PROP_PACKAGE_NAME: return GetPackageName(static_cast<WCHAR *>(output), size, languageCode);
    case PROP_PACKAGE_DESCRIPTION: return GetPackageDescription(static_cast<WCHAR *>(output), size, languageCode);
    case PROP_INSTALLED_VERSION: return GetInstalledVersion(static_cast<WCHAR *>(output), size);
    case PROP_PACKAGE_VERSION: return GetPackageVersion(static_cast<WCHAR *>(output), size);
    case PROP_PREINSTALL_STATUS:
      return GetPreInstallStatus(static_cast<PreInstallStatus *>(output), size, languageCode);
    case PROP_SILENT_CAPABILITY: *static_cast<int *>(output) = GetSilentCapability(); return 1;
    case PROP_SILENT_CAPABILITY_ALT: *static_cast<int *>(output) = GetSilentCapabilityAlt(); return 1;
    case PROP_CONSTANT: *static_cast<int *>(output) = GetConstantProperty(); return 1;
    case PROP_ATTACH_HOST_LOG: AttachHostLog(static_cast<CCmpLog *>(output)); return 1;
    default: return 0;
  }
}

int CBaseComponent::LocatePackageDefinition(WCHAR *path) { return FindPackageDefinition(path) ? 1 : 0; }

int CBaseComponent::ReadPackageDefinition(const WCHAR *path) {
  if (!path || !*path) return XML_LOAD_CANNOT_READ;
  if (m_pPackageXml) return XML_LOAD_NO_ROOT;
  m_pPackageXml = std::make_unique<CKvnXMLReader>();
  PackageDefinition definition;
  CopyText(definition.szPackageFileName, ARRAYSIZE(definition.szPackageFileName), m_szPackageFileName);
  definition.strSoftwareKeyPath = m_strSoftwareKeyPath;
  definition.bSilentCapable = m_bSilentCapable;
  definition.bRebootRequired = m_bRebootRequired;
  definition.nRequiredDiskKb = m_nRequiredDiskKb;
  definition.supportedDevices = m_supportedDevices;
  definition.scsiIds = m_scsiIds;
  definition.supportedOS = m_supportedOS;
  int result = ReadPackageDefinitionFile(*m_pPackageXml, path, definition);
  CopyText(m_szPackageFileName, ARRAYSIZE(m_szPackageFileName), definition.szPackageFileName);
  m_strSoftwareKeyPath = definition.strSoftwareKeyPath;
  m_bSilentCapable = definition.bSilentCapable;
  m_bRebootRequired = definition.bRebootRequired;
  m_nRequiredDiskKb = definition.nRequiredDiskKb;
  m_supportedDevices = std::move(definition.supportedDevices);
  m_scsiIds = std::move(definition.scsiIds);
  m_supportedOS = std::move(definition.supportedOS);
  return result;
}

int CBaseComponent::ReadInstallDescription(const WCHAR *path) {
  InstallDescription description;
  description.strInfFile = m_strInfFile;
  description.nInstallType = m_nInstallType;
  description.strInfSection = m_strInfSection;
  description.strServiceName = m_strServiceName;
  std::wmemcpy(description.szShellExecuteFile, m_szShellExecuteFile, MAX_PATH);
  std::wmemcpy(description.szShellExecuteDir, m_szShellExecuteDir, MAX_PATH);
  int result = ReadInstallDescriptionFile(path, description);
  m_strInfFile = description.strInfFile;
  m_nInstallType = description.nInstallType;
  m_strInfSection = description.strInfSection;
  m_strServiceName = description.strServiceName;
  std::wmemcpy(m_szShellExecuteFile, description.szShellExecuteFile, MAX_PATH);
  std::wmemcpy(m_szShellExecuteDir, description.szShellExecuteDir, MAX_PATH);
  return result;
}

int CBaseComponent::GetPackageName(WCHAR *buffer, UINT capacity, const WCHAR *languageCode) {
  if (!m_pPackageXml) return 0;
  return CopyPropertyText(PackageNameText(*m_pPackageXml, languageCode), buffer, capacity, true);
}

int CBaseComponent::GetPackageDescription(WCHAR *buffer, UINT capacity, const WCHAR *languageCode) {
  if (!m_pPackageXml) return 0;
  return CopyPropertyText(PackageDescriptionText(*m_pPackageXml, languageCode), buffer, capacity, true);
}

int CBaseComponent::GetPackageVersion(WCHAR *buffer, UINT capacity) {
  if (!m_pPackageXml) return 0;
  return CopyPropertyText(PackageVersionText(*m_pPackageXml), buffer, capacity, false);
}

int CBaseComponent::GetInstalledVersion(WCHAR *buffer, UINT capacity) {
  if (!m_pPackageXml) return 0;
  CFileVersion installed(m_strSoftwareKeyPath);
  return CopyPropertyText(installed.GetFileVersionText(), buffer, capacity, false);
}

int CBaseComponent::GetPreInstallStatus(PreInstallStatus *status, UINT size, const WCHAR *languageCode) {
  if (!status || size < sizeof(PreInstallStatus)) return 0;
  WCHAR *message = status->szMessage;
  const UINT messageChars = UINT(std::size(status->szMessage));
  message[0] = L'\0';
  // Each question goes to both logs, its answer on the same line.
  auto ask = [this](int line, const WCHAR *question) {
    m_pLog->WriteEntry(LOG_BOTH_STEP, SEV_NONE, BASECOMP_SOURCE, line, L"%ls", question);
  };
  auto answer = [this](const WCHAR *text) { m_pLog->WriteEntry(LOG_BOTH_RESULT, SEV_NONE, nullptr, 0, L"%ls", text); };
  auto yesNo = [&](int value) { answer(value ? L"Yes\r\n" : L"No\r\n"); };

  ask(1115, L"    - Is operating system supported... ");
  if (!IsOSSupported()) {
    answer(L"No\r\n\r\n");
    status->nStatus = PRE_OS_OR_REQUIREMENT;
    CopyText(message, messageChars, LookupMessage(MSG_OS_NOT_SUPPORTED, languageCode));
    return 1;
  }
  answer(L"Yes\r\n");

  ask(1127, L"    - Is necessary disk space available... ");
  if (!HasEnoughDiskSpace(nullptr)) {
    answer(L"No\r\n\r\n");
    status->nStatus = PRE_OS_OR_REQUIREMENT;
    CopyText(message, messageChars, LookupMessage(MSG_NOT_ENOUGH_DISK_SPACE, languageCode));
    return 1;
  }
  answer(L"Yes\r\n");

  ask(1140, L"    - Is hardware present... ");
  int hardware = IsHardwarePresent();
  yesNo(hardware);
  ask(1146, L"    - Is component already installed... ");
  int installed = IsInstalled();
  yesNo(installed);
  ask(1152, L"    - Is component marked for removal... ");
  int marked = IsMarkedForRemoval();
  yesNo(marked);
  ask(1158, L"    - Installed component version status... ");
  int version = GetVersionStatus();
  if (version >= VERSION_OLDER && version <= VERSION_NEWER) {
    static const WCHAR *const kVersionAnswers[] = {L"Older\r\n", L"Same\r\n", L"Newer\r\n"};
    answer(kVersionAnswers[version]);
  }

  std::vector<WCHAR> requirementText(kCheckMessageChars, L'\0');
  int requirements = CheckComponentRequirements(requirementText.data(), kCheckMessageChars, languageCode);
  ask(1175, L"    - Checking dependency list... ");
  std::vector<WCHAR> dependencyText(kCheckMessageChars, L'\0');
  int dependencies = CheckDependencies(dependencyText.data(), kCheckMessageChars, languageCode);
  answer(dependencies ? L"Done.\r\n\r\n" : L"Failed!\r\n\r\n");

  PreInstallDecision decision =
      DecidePreInstallStatus({hardware, installed, marked, version, requirements, requirementText[0] != L'\0',
                              dependencies, dependencyText[0] != L'\0'});
  status->nStatus = decision.status;
  // The checks' own texts are cut to the record's field.
  switch (decision.message) {
    case PreInstallDecision::kNone: break;
    case PreInstallDecision::kRequirements: CopyText(message, messageChars, requirementText.data()); break;
    case PreInstallDecision::kMarkedForRemoval:
      CopyText(message, messageChars, LookupMessage(MSG_MARKED_FOR_REMOVAL, languageCode));
      break;
    case PreInstallDecision::kDependencies: CopyText(message, messageChars, dependencyText.data()); break;
  }
  return 1;
}

PreInstallDecision DecidePreInstallStatus(const PreInstallAnswers &a) {
  PreInstallDecision d{PRE_INSTALLED_OTHER_STATUS, PreInstallDecision::kNone};
  if (a.hardware) {
    if (!a.requirements && a.requirementMessage) d.message = PreInstallDecision::kRequirements;
    if (!a.requirements || a.marked) {
      d.status = PRE_OS_OR_REQUIREMENT;
      if (a.marked) d.message = PreInstallDecision::kMarkedForRemoval;
    } else if (a.installed) {
      if (a.version == VERSION_OLDER) d.status = PRE_INSTALLED_OLDER;
      if (a.version == VERSION_SAME) d.status = PRE_INSTALLED_SAME;
      if (a.version == VERSION_NEWER) d.status = PRE_INSTALLED_NEWER;
    } else {
      d.status = PRE_READY_TO_INSTALL;
    }
  } else {
    d.status = a.installed ? PRE_INSTALLED_NO_HARDWARE : PRE_NOTHING_TO_DO;
  }
  if (!a.dependencies) {
    d.status = PRE_NOTHING_TO_DO;
    if (a.dependencyMessage) d.message = PreInstallDecision::kDependencies;
  }
  return d;
}

int CBaseComponent::GetSilentCapability() { return m_bSilentCapable; }
int CBaseComponent::GetSilentCapabilityAlt() { return m_bSilentCapable; }
int CBaseComponent::GetConstantProperty() { return 1; }

int CBaseComponent::IsOSSupported() { return MatchSupportedOS(m_supportedOS, *m_pLog, BASECOMP_SOURCE) ? 1 : 0; }

int CBaseComponent::IsOS64Bit() { return DetectOS64Bit(*m_pLog, BASECOMP_SOURCE) ? 1 : 0; }

int CBaseComponent::HasEnoughDiskSpace(const WCHAR *path) {
  if (m_nRequiredDiskKb == 0) return 1;
  // Whole kilobytes in 64 bits: a drive with 4 TiB or more free is not wrapped to a small number.
  ULONGLONG availableKb = GetFreeDiskSpace(path) / 1024;
  return availableKb >= m_nRequiredDiskKb ? 1 : 0;
}

int CBaseComponent::IsHardwarePresent() {
  if (m_supportedDevices.IsEmpty()) return 1;
  for (const CStr &hardwareId : m_supportedDevices)
    if (FindDevice(hardwareId)) return 1;
  return 0;
}

int CBaseComponent::IsInstalled() {
  CInf inf(m_strInfFile);
  if (!inf.IsOpen()) return FileExists(m_strSoftwareKeyPath) ? 1 : 0;

  WCHAR serviceName[MAX_PATH] = L"";
  if (!m_strServiceName.IsEmpty())
    CopyText(serviceName, MAX_PATH, m_strServiceName);
  else if (!inf.GetServiceName(nullptr, serviceName, MAX_PATH))
    serviceName[0] = L'\0';
  if (!serviceName[0]) return FileExists(m_strSoftwareKeyPath) ? 1 : 0;

  CServiceControl service(serviceName);
  bool installed = service.Exists() && !service.IsDisabled() && !service.IsPendingRemoval();
  if (!installed) return 0;

  // A PnP driver counts as installed only while its service drives the supported devices.
  OSVERSIONINFOW os{};
  os.dwOSVersionInfoSize = sizeof os;
  if (GetVersionExW(&os) && os.dwMajorVersion > 4 && inf.GetClass() && inf.GetClassGuid() &&
      m_nInstallType == INSTALL_PNP)
    return IsServiceEnumerated(serviceName);
  return 1;
}

int CBaseComponent::IsServiceEnumerated(const WCHAR *serviceName) {
  if (m_supportedDevices.IsEmpty()) return 1;
  WCHAR path[MAX_PATH];
  if (std::swprintf(path, MAX_PATH, L"SYSTEM\\CurrentControlSet\\Services\\%ls\\Enum", serviceName) < 0) return 0;
  RegistryKey key(path);
  key.SetAccessMask(KEY_READ);
  DWORD count = 0;
  if (!key.ReadDword(L"Count", &count)) return 0;
  // A non-PnP service that runs gets one placeholder instance, Root\LEGACY_<service>\0000:
  // that is no device.
  CStr first;
  if (count == 1 && key.ReadString(L"0", &first) && std::wcsstr(first, L"LEGACY_")) return 0;

  DWORD present = 0;
  for (const CStr &id : m_supportedDevices)
    if (FindDevice(id)) ++present;
  return count >= present ? 1 : 0;
}

int CBaseComponent::IsMarkedForRemoval() {
  // The INF's own service decides, whatever name the package definition gives.
  CInf inf(m_strInfFile);
  WCHAR service[MAX_PATH] = L"";
  if (!inf.IsOpen() || !inf.GetServiceName(nullptr, service, MAX_PATH) || !service[0]) return 0;
  return CServiceControl(service).IsPendingRemoval() ? 1 : 0;
}

int CBaseComponent::GetVersionStatus() {
  CFileVersion installed(m_strSoftwareKeyPath);
  if (!installed.HasVersion()) return 0;
  WCHAR text[256] = L"";
  if (!GetPackageVersion(text, 255)) return 0;
  DWORD versionMS = 0, versionLS = 0;
  if (!SplitVersionText(text, &versionMS, &versionLS)) return 0;
  CFileVersion package(0, 0, versionMS, versionLS, 0, 0, L"", 0, 0);
  if (installed.IsSameVersion(package)) return 1;
  if (installed.IsNewerThan(package)) return 2;
  return 0;
}

int CBaseComponent::CheckComponentRequirements(WCHAR *, UINT, const WCHAR *) { return 1; }

int CBaseComponent::CheckDependencies(WCHAR *message, UINT capacity, const WCHAR *) {
  // A relative path: the dependency file is looked up in the current directory.
  bool supported = IsSystemModelSupported(L"dependency.xml");
  m_bDependencyTested = 1;
  if (supported) {
    m_bModelSupported = 1;
    return 1;
  }
  // A buffer too small for the message gets as much of it as fits, terminated.
  if (message && capacity) CopyText(message, capacity, L"System model not supported.");
  m_bModelSupported = 0;
  return 0;
}

void CBaseComponent::SetSilentCapability(BOOL silent) { m_bSilentCapable = silent; }
void CBaseComponent::SetRequiredDiskSpace(UINT kilobytes) { m_nRequiredDiskKb = kilobytes; }
void CBaseComponent::SetRebootRequired(BOOL reboot) { m_bRebootRequired = reboot; }
void CBaseComponent::SetSoftwareKeyPath(const WCHAR *path) { m_strSoftwareKeyPath = path; }
void CBaseComponent::SetInfFile(const WCHAR *infFile, int installType) {
  m_strInfFile = infFile;
  m_nInstallType = installType;
}
void CBaseComponent::AddSupportedDevice(const WCHAR *hardwareId) { m_supportedDevices.Add(CStr(hardwareId)); }
void CBaseComponent::AddSupportedOS(const OSDescriptor &os) { m_supportedOS.push_back(os); }
const WCHAR *CBaseComponent::GetInfFile() { return m_strInfFile; }

void CBaseComponent::AttachHostLog(CCmpLog *hostLog) {
  if (!hostLog) return;
  if (!m_pLog || !m_pLog->IsVerbose()) return;
  if (m_bOwnsLog && m_pLog != hostLog) {
    // Merge our verbose log into the host's, then hand every further line to the host.
    m_pLog->RelocateVerboseLog(hostLog->GetVerboseName(), hostLog->GetVerboseDirectory());
    m_pLog->CloseFiles();
    m_ownLog.reset();
    m_pLog = hostLog;
    m_bOwnsLog = 0;
    g_messageWriter.Bind(m_pLog);
  }
  // The host's verbose file moves to (or merges into) a file named after the package.
  WCHAR name[256];
  if (std::swprintf(name, 256, L"%ls.exe.log", m_szPackageFileName) < 0) return;
  hostLog->RelocateVerboseLog(name, hostLog->GetVerboseDirectory());
}

int CBaseComponent::BuildDeviceList(BOOL firstIdOnly) {
  BuildPnPDeviceList(firstIdOnly, m_deviceList);
  return 1;
}

int CBaseComponent::FindDevice(const WCHAR *hardwareId, DeviceRecord *found) {
  if (m_deviceList.empty()) BuildDeviceList(FALSE);
  const DeviceRecord *entry = FindDeviceEntry(m_deviceList, hardwareId);
  if (!entry) return 0;
  if (found) *found = *entry;
  return 1;
}

int CBaseComponent::CountDevices(const WCHAR *text) {
  BuildDeviceList(TRUE);
  return CountDeviceEntries(m_deviceList, text);
}
