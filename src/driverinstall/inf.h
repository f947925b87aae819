// CInf: one Windows setup information (INF) file opened through SetupAPI for the length of
// one operation: its [Version] identity, the sections the installation works on, and the
// service it installs. The installation operations that act on those sections (copying,
// deleting and renaming files, registry directives, services, root devices, shortcuts) take
// their places among these virtual operations as they are added.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "support/cstr.h"

class CInf {
 public:
  explicit CInf(const WCHAR *infPath);
  virtual ~CInf();
  CInf(const CInf &) = delete;
  CInf &operator=(const CInf &) = delete;

  virtual BOOL IsOpen();
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
  // Reads Signature, then Class, then ClassGUID (each only when the one before was found),
  // then lists the sections. Answers the success of the last read attempted.
  virtual BOOL ReadVersion();
  virtual void FindCopyFilesSections();
  virtual void FindServiceSections();
  virtual void FindSoftwareSettingsSections();

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
  // The first "AddService" line of `section`, or of the first service section when null.
  BOOL FindAddServiceLine(const WCHAR *section, INFCONTEXT *context);
  // Appends to `list` each section of the file (in file order) that `select` accepts.
  template <typename Select>
  void AddSections(CStrList &list, Select select);

  BOOL m_bVirtualDevice = 0;
  HINF m_hInf = INVALID_HANDLE_VALUE;
  BOOL m_bRebootNeeded = 0;
  CStr m_strSignature;
  CStr m_strClass;
  CStr m_strClassGuid;
  CStr m_strInfPath;
  CStr m_strInfFolder;
  CStrList m_copyFilesSections;
  CStrList m_serviceSections;
  CStrList m_softwareSettingsSections;
  CStrList m_destinationDirs;  // key, folder, key, folder, ...: loaded on first use
};

// Reads an INF's section names (GetPrivateProfileSectionNamesW into a buffer of
// `bufferChars` characters) in file order. A list cut by the buffer loses its last name,
// which may be cut too.
CStrList ReadSectionNames(const WCHAR *infPath, DWORD bufferChars);
