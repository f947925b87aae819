// CBaseComponent: the generic behaviour of an installable component. The host reaches it
// through the six exports, each forwarding to one virtual operation; the order of the
// virtual operations is the component's binary layout and must not change.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "devices/devicerecord.h"
#include "framework/hostinterface.h"
#include "osinfo/ossupport.h"
#include "package/installdesc.h"
#include "package/kvnxml.h"
#include "support/cmplog.h"
#include "support/cstr.h"

// The source file name the base component's log lines are tagged with.
#define BASECOMP_SOURCE L"..\\..\\Source\\basecomp.cpp"

// The pre-install report (GetPreInstallStatus, property 5) asks the checks 20 to 27 in order,
// writes each question and its answer to both logs and fills the record with a status code
// (PreInstallCode) and a message in the host's language; it answers 0, leaving the record
// untouched, only when the record is smaller than PreInstallStatus. The checks answer 1 or 0
// and report nothing else: HasEnoughDiskSpace compares the space free to the caller on the
// path's drive (the system drive without a path) with the package's requirement in kilobytes;
// IsHardwarePresent is 1 when the package lists no device or one listed device is present;
// IsMarkedForRemoval asks whether the INF's own service is to be deleted.
class CBaseComponent {
 public:
  CBaseComponent();
  virtual ~CBaseComponent();                              // 1
  virtual int Initialize();                               // 2
  virtual void Cleanup();                                 // 3
  virtual int ReadPackageDefinition(const WCHAR *path);   // 4
  virtual int ReadInstallDescription(const WCHAR *path);  // 5
  virtual int LocatePackageDefinition(WCHAR *path);       // 6: MAX_PATH characters
  virtual int Install(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4,
                      const WCHAR *languageCode);  // 7
  virtual int InstallLegacy(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4,
                            const WCHAR *languageCode);  // 8
  virtual int InstallPnP(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4,
                         const WCHAR *languageCode);  // 9
  virtual int InstallVirtual(int reserved1, ULONG_PTR reserved2, WCHAR *message, int reserved4,
                             const WCHAR *languageCode);                                             // 10
  virtual int GetProperty(UINT id, void *output, UINT size, ULONG_PTR extra);                        // 11
  virtual int GetPackageName(WCHAR *buffer, UINT capacity, const WCHAR *languageCode);               // 12
  virtual int GetPackageDescription(WCHAR *buffer, UINT capacity, const WCHAR *languageCode);        // 13
  virtual int GetInstalledVersion(WCHAR *buffer, UINT capacity);                                     // 14
  virtual int GetPackageVersion(WCHAR *buffer, UINT capacity);                                       // 15
  virtual int GetPreInstallStatus(PreInstallStatus *status, UINT size, const WCHAR *languageCode);   // 16
  virtual int GetSilentCapability();                                                                 // 17
  virtual int GetSilentCapabilityAlt();                                                              // 18
  virtual int GetConstantProperty();                                                                 // 19
  virtual int IsOSSupported();                                                                       // 20
  virtual int HasEnoughDiskSpace(const WCHAR *path);                                                 // 21
  virtual int IsHardwarePresent();                                                                   // 22
  virtual int IsInstalled();                                                                         // 23
  virtual int IsMarkedForRemoval();                                                                  // 24
  virtual int GetVersionStatus();                                                                    // 25
  virtual int CheckComponentRequirements(WCHAR *message, UINT capacity, const WCHAR *languageCode);  // 26
  virtual int CheckDependencies(WCHAR *message, UINT capacity, const WCHAR *languageCode);           // 27
  virtual void SetSilentCapability(BOOL silent);                                                     // 28
  virtual void SetRequiredDiskSpace(UINT kilobytes);                                                 // 29
  virtual void SetRebootRequired(BOOL reboot);                                                       // 30
  virtual void SetSoftwareKeyPath(const WCHAR *path);                                                // 31
  virtual void SetInfFile(const WCHAR *infFile, int installType);                                    // 32
  virtual void AddSupportedDevice(const WCHAR *hardwareId);                                          // 33
  virtual void AddSupportedOS(const OSDescriptor &os);                                               // 34
  virtual const WCHAR *GetInfFile();                                                                 // 35
  virtual int IsOS64Bit();                                                                           // 36

  // Property 9: adopts the host's log (see the log's RelocateVerboseLog).
  void AttachHostLog(CCmpLog *hostLog);
  // The log in use: the component's own, or the host's once attached; null after Cleanup.
  CCmpLog *GetLog() const { return m_pLog; }
  // The PnP device list (m_deviceList, see devices/pnpdevicelist.h). BuildDeviceList rebuilds
  // it from the present devices: one entry per hardware ID without "&REV" or "&CC", or with
  // `firstIdOnly` one entry per device for its first ID; it answers 1.
  int BuildDeviceList(BOOL firstIdOnly);
  // 1 when an entry's hardware ID equals `hardwareId` without regard to case, copied to
  // `found` when given; builds the list first when it is empty.
  int FindDevice(const WCHAR *hardwareId, DeviceRecord *found = nullptr);
  // Rebuilds the list with first IDs only and counts the entries containing `text`.
  int CountDevices(const WCHAR *text);
  const std::vector<DeviceRecord> &GetDeviceList() const { return m_deviceList; }
  // 1 when the service drives at least as many devices (its Enum key's "Count") as the
  // package's supported devices that are present, or when the package lists none; 0 when
  // the count cannot be read or its only instance is a legacy service's placeholder.
  int IsServiceEnumerated(const WCHAR *serviceName);

  CBaseComponent(const CBaseComponent &) = delete;
  CBaseComponent &operator=(const CBaseComponent &) = delete;

 protected:
  BOOL m_bDependencyTested = 0;
  BOOL m_bModelSupported = 1;
  BOOL m_bNoOverwrite = 0;
  CStr m_strInfFile;
  CStr m_strInfSection;
  CStr m_strServiceName;
  int m_nInstallType = INSTALL_NONE;
  WCHAR m_szPackageFileName[128] = L"";
  WCHAR m_szShellExecuteFile[MAX_PATH] = L"";
  WCHAR m_szShellExecuteDir[MAX_PATH] = L"";
  BOOL m_bSilentCapable = 1;
  BOOL m_bRebootRequired = 0;
  BOOL m_bIs64BitOS = 0;
  UINT m_nRequiredDiskKb = 0;
  CStr m_strSoftwareKeyPath;
  std::unique_ptr<CKvnXMLReader> m_pPackageXml;  // the package definition, kept for the queries
  std::vector<OSDescriptor> m_supportedOS;
  CStrList m_supportedDevices;
  std::vector<DeviceRecord> m_deviceList;
  CStrList m_scsiIds;
  BOOL m_bOwnsLog = 1;
  CCmpLog *m_pLog = nullptr;  // the log in use: m_ownLog's, or the host's

 private:
  // LEGACY and VIRTUAL installations: the package INF through the INF engine, in its
  // virtual-device mode for VIRTUAL. 0 failed, 1 installed, 2 installed with a restart.
  int InstallInfFile(bool virtualDevice);

  std::unique_ptr<CCmpLog> m_ownLog;  // the log the component made; gone once the host's is in use
};

// What the pre-install checks answered, and the status and message they add up to. The
// decision needs no system call, so it is a plain function.
struct PreInstallAnswers {
  int hardware, installed, marked, version;
  int requirements;
  bool requirementMessage;  // the requirement check left a message
  int dependencies;
  bool dependencyMessage;  // the dependency check left a message
};
struct PreInstallDecision {
  int status;
  enum Message { kNone, kRequirements, kMarkedForRemoval, kDependencies } message;
};
PreInstallDecision DecidePreInstallStatus(const PreInstallAnswers &answers);

// The capacity in characters of the message buffers the pre-install report hands to the
// requirement and dependency checks.
constexpr UINT kCheckMessageChars = 4096;

// True when `switchText` occurs anywhere in `commandLine`, ignoring case; an empty switch
// never matches.
[[nodiscard]] bool HasCommandLineSwitch(const WCHAR *commandLine, const WCHAR *switchText);

// Reads a dotted version text ("1.2.3.4") into the two halves of a file version: up to four
// parts, each its leading decimal digits (none: 0) cut to 16 bits, missing parts 0. False,
// with the outputs untouched, when the text holds no part at all.
[[nodiscard]] bool SplitVersionText(const WCHAR *text, DWORD *versionMS, DWORD *versionLS);

// Copies a property text into the host's buffer: 0 (buffer untouched) when the text is
// missing, does not fit with its terminator, or is empty and empty texts are refused.
int CopyPropertyText(const WCHAR *text, WCHAR *buffer, UINT capacity, bool allowEmpty);
