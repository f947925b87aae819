// CInf: one Windows setup information (INF) file opened through SetupAPI for the length of
// one operation. The reading half (inf.cpp) gives its [Version] identity, the sections the
// installation works on and the service it installs. The installing half (infinstall.cpp)
// carries out the file directives itself (CopyFiles, DelFiles, RenFiles over the folders of
// "DestinationDirs"), replacing or removing files in use at the next restart, and leaves the
// other directives of a section to SetupInstallFromInfSectionW; services, per-service
// settings, the root device and shortcuts (infservices.cpp) follow in the order InstallInf
// and InstallInfSection give them.
//
// The virtual operations are listed in their slot order and call one another through the
// object, so each one can be overridden. Nothing here logs or throws: every result is a
// 32-bit value, nonzero for success, and the callers log.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "support/cstr.h"
#include "support/handles.h"

class CInf {
 public:
  explicit CInf(const WCHAR *infPath);
  virtual ~CInf();
  CInf(const CInf &) = delete;
  CInf &operator=(const CInf &) = delete;

  virtual BOOL IsOpen();
  // Installs every CopyFiles section (as InstallSection with HKEY_LOCAL_MACHINE), the root
  // device when none exists for the INF's service, every service section, every
  // ".SoftwareSettings" section and the shortcuts; a failed step does not stop the others.
  // `*reboot` (when given) is 0, or 1 when everything succeeded and a file operation waits
  // for the next restart. 0 when the INF is not open (`*reboot` untouched then).
  virtual BOOL InstallInf(BOOL *reboot = nullptr);
  // The same for one install section `base`, its "<base>.Services" and
  // "<base>.SoftwareSettings" sections; `suppressDeleteErrors` goes to the process-wide flag.
  virtual BOOL InstallInfSection(const WCHAR *base, BOOL *reboot, BOOL suppressDeleteErrors);
  // Creates and installs the root-enumerated device of the INF's service; `*reboot` (when
  // given) tells whether its installation asks for a restart. When a step after the device's
  // registration fails, the device is removed again (DIF_REMOVE) and the result is 0.
  virtual BOOL CreateLegacyDevice(BOOL *reboot = nullptr);
  // The file directives of `section` (CopyFiles, then DelFiles, then RenFiles, each only when
  // the one before succeeded), then SetupInstallFromInfSectionW for its other directives with
  // `rootKey` as HKR. 0 without a section or key, or when a file directive failed (SetupAPI
  // is then not called).
  virtual BOOL InstallSection(const WCHAR *section, HKEY rootKey);
  // SetupInstallServicesFromInfSectionW on `section`; a restart it asks for sets the
  // reboot-needed flag. An existing service is success, and so is a display name taken by
  // another service when every "AddService" service of the section exists.
  virtual BOOL InstallServices(const WCHAR *section);
  virtual BOOL InstallSoftwareSettings(const WCHAR *section);
  // Copies every line of the file-list section `list` into the list's destination folder
  // from the INF folder. Stops at the first line that fails (0); the empty list gives 1.
  virtual BOOL CopyFileList(const WCHAR *list);
  virtual void CreateStartMenuItems();
  // The [Version] texts, or null when empty.
  virtual const WCHAR *GetSignature();
  virtual const WCHAR *GetClass();
  virtual const WCHAR *GetClassGuid();
  // The service name of the first "AddService" line of `section` (the first service section
  // when null) into `buffer` of `bufferLength` characters. Nonzero for success; the buffer
  // is untouched on failure (also when the name does not fit).
  virtual BOOL GetServiceName(const WCHAR *section, WCHAR *buffer, DWORD bufferLength);
  // The "StartType" of the service-install section that the first "AddService" line of
  // `section` (the first service section when null) names. `*startType` is untouched on
  // failure.
  virtual BOOL GetServiceStartType(const WCHAR *section, DWORD *startType);
  // Each walks every list that the section's "CopyFiles" ("DelFiles", "RenFiles") lines name,
  // whatever the earlier lists gave, and answers whether all succeeded. 0 at once when the
  // INF has no usable "DestinationDirs" section. A list name that does not fit its
  // 512-character field fails the directive.
  virtual BOOL ProcessCopyFiles(const WCHAR *section);
  virtual BOOL ProcessDelFiles(const WCHAR *section);
  virtual BOOL ProcessRenFiles(const WCHAR *section);
  // Deletes each file of `list` from its destination folder, at once or (field 4 of 1 or
  // 0x10000, or a file in use) at the next restart. A file that is not there counts as
  // deleted. 0 without a destination folder, or at the first line that fails.
  virtual BOOL DeleteFileList(const WCHAR *list);
  // Renames within the destination folder: each line is "new name, old name"; a line with
  // any other number of fields fails the list. A file in use is renamed at the next restart.
  virtual BOOL RenameFileList(const WCHAR *list);
  virtual BOOL CreateRootDevice(HDEVINFO *deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData, const WCHAR *deviceName);
  // Reads Signature, then Class, then ClassGUID (each only when the one before was found),
  // then lists the sections. Answers the success of the last read attempted.
  virtual BOOL ReadVersion();
  virtual void FindCopyFilesSections();
  virtual void FindServiceSections();
  virtual void FindSoftwareSettingsSections();
  // Loads the "DestinationDirs" pairs once (later calls answer 1 at once). A line whose
  // folder is empty gives no pair; a line whose folder cannot be made (a DIRID whose
  // environment variable is not set, a text that does not fit its buffer) gives a pair that
  // GetDestinationDir refuses. 0 without lines or without any pair.
  virtual BOOL LoadDestinationDirs();
  // Creates the folder that holds `filePath`, with the folders above it. 0 when it cannot.
  virtual BOOL CreateParentDirectory(const WCHAR *filePath);
  // Creates `folder` and, when its parent is missing, the folders above it first. A folder
  // that exists already is success.
  virtual BOOL CreateDirectoryTree(const WCHAR *folder);
  // Copies `existing` to a new unique name in `folder` (the folder of the file it is to
  // replace: a move at the next restart cannot cross volumes) keeping its extension;
  // `newPath` is that name. 0 with `newPath` empty when no name could be had or the copy
  // failed.
  virtual BOOL MakeTempCopy(const WCHAR *existing, const WCHAR *folder, CStr &newPath);
  // The destination folder of file list `list`: the only pair's folder when there is one,
  // else the folder of the pair keyed `list`, else of "DefaultDestDir" (keys compared
  // case-sensitively). 0 with `folder` empty when none matches or the pair that matches
  // cannot be used (no other pair stands in for it).
  virtual BOOL GetDestinationDir(const WCHAR *list, CStr &folder);
  // The folder of a DIRID (its environment variable's value and suffix, or for 16406 and
  // 16427 the shell's all-users Start menu and Common Files folders, created when missing);
  // an unknown DIRID gives an empty folder. 0 with `folder` empty when the variable is not
  // set, the shell has no such folder, or the folder does not fit a path.
  virtual BOOL GetDirIdPath(DWORD dirId, CStr &folder);

  // The SetupAPI file-queue callback of the installation; `context` is the CInf.
  static UINT CALLBACK FileQueueCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2);

  const CStr &GetInfPath() const { return m_strInfPath; }
  const CStr &GetInfFolder() const { return m_strInfFolder; }
  const CStrList &GetCopyFilesSections() const { return m_copyFilesSections; }
  const CStrList &GetServiceSections() const { return m_serviceSections; }
  const CStrList &GetSoftwareSettingsSections() const { return m_softwareSettingsSections; }
  BOOL GetRebootNeeded() const { return m_bRebootNeeded; }
  void SetVirtualDevice(BOOL virtualDevice) { m_bVirtualDevice = virtualDevice; }

  // Shared by every CInf of the process: what the file-queue callback met.
  static CStrList s_fileErrors;
  static BOOL s_bFileError;
  static BOOL s_bSuppressDeleteErrors;
  static int s_nNeededMedia;

 protected:
  // The two installations' shared steps: the root device of the INF's service when it has
  // none yet (its success), and the end (shortcuts, file-error and reboot checks) that turns
  // `result` into the installation's result.
  BOOL CreateMissingRootDevice(BOOL *reboot);
  BOOL FinishInstall(BOOL result, BOOL *reboot);
  // One "CopyFiles"/"DelFiles"/"RenFiles" directive of `section`, each list through `walk`.
  BOOL ProcessFileDirective(const WCHAR *section, const WCHAR *key, BOOL (CInf::*walk)(const WCHAR *));
  BOOL CopyFileLine(const WCHAR *list, INFCONTEXT *line);
  BOOL DeleteFileLine(const CStr &folder, INFCONTEXT *line);
  BOOL RenameFileLine(const CStr &folder, INFCONTEXT *line);
  // MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT (and MOVEFILE_REPLACE_EXISTING when there is
  // a target); sets the reboot-needed flag when it succeeds.
  BOOL MoveAtRestart(const WCHAR *from, const WCHAR *to);
  // Every "AddService" line of `section` names a service that exists.
  bool AllServicesExist(const WCHAR *section);
  // The first "AddService" line of `section`, or of the first service section when null.
  BOOL FindAddServiceLine(const WCHAR *section, INFCONTEXT *context);
  // Appends to `list` each section of the file (in file order) that `select` accepts.
  template <typename Select>
  void AddSections(CStrList &list, Select select);

  BOOL m_bVirtualDevice = 0;
  BOOL m_bRootDeviceRegistered = 0;  // CreateRootDevice registered the device being installed
  unique_hinf m_hInf;
  BOOL m_bRebootNeeded = 0;
  CStr m_strSignature;
  CStr m_strClass;
  CStr m_strClassGuid;
  CStr m_strInfPath;
  CStr m_strInfFolder;
  CStrList m_copyFilesSections;
  CStrList m_serviceSections;
  CStrList m_softwareSettingsSections;
  CStrList m_destinationDirs;  // key, folder, key, folder, ...: loaded on first use; an
                               // empty folder marks a pair that cannot be used
};

// Joins a folder and a name with one backslash between them, unless the folder ends with one
// or the name begins with one; an empty folder gives the name unchanged.
CStr JoinFolder(const CStr &folder, const WCHAR *name);
// The drive and directory parts of a path, up to and including its last backslash (or the
// "X:" of a bare drive); empty when it has neither.
CStr FolderOfPath(const CStr &path);

// Reads an INF's section names (GetPrivateProfileSectionNamesW into a buffer of
// `bufferChars` characters) in file order. A list cut by the buffer loses its last name,
// which may be cut too.
CStrList ReadSectionNames(const WCHAR *infPath, DWORD bufferChars);
