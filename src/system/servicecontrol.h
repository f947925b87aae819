// The service control manager: CServiceManager is one connection to the SCM of a machine
// with its optional database lock; CServiceControl is one named service on that machine.
// Every operation opens what it needs and closes it again before it returns, so no handle
// stays open between operations. Registry facts about a service are read and written through
// RegistryKey under HKEY_LOCAL_MACHINE. Nothing here logs or throws: failures are false
// results, and the connection keeps the last error of its own SCM calls.
#pragma once

#include <windows.h>

#include "support/cstr.h"
#include "support/handles.h"

class CServiceManager {
 public:
  explicit CServiceManager(const WCHAR *machine = nullptr);  // empty or null: the local machine
  ~CServiceManager();
  CServiceManager(const CServiceManager &) = delete;
  CServiceManager &operator=(const CServiceManager &) = delete;

  // Connects with SC_MANAGER_ALL_ACCESS when not connected; true when connected.
  bool Open();
  // Takes the database lock, retrying for up to 60 seconds while another process holds it.
  bool Lock();
  bool Unlock();
  // Unlocks and disconnects; always true.
  bool Close();

  SC_HANDLE GetHandle() const { return m_hSCManager.get(); }
  DWORD GetLastError() const { return m_nLastError; }

 private:
  unique_schandle m_hSCManager;
  unique_sclock m_hLock;
  CStr m_strMachine;
  DWORD m_nLastError = ERROR_SUCCESS;
};

class CServiceControl {
 public:
  explicit CServiceControl(const WCHAR *serviceName);               // the local machine
  CServiceControl(const WCHAR *machine, const WCHAR *serviceName);  // a named machine
  ~CServiceControl();
  CServiceControl(const CServiceControl &) = delete;
  CServiceControl &operator=(const CServiceControl &) = delete;

  bool OpenService();
  // Closes the service handle and the connection; always true.
  bool CloseService();
  // The SCM knows the service and its key opens with full access.
  bool Exists();
  // Any state but SERVICE_STOPPED: starting, stopping and paused count as running.
  bool IsRunning();
  // True when it ran already or the SCM accepted the start (which is waited for up to 60 s).
  bool Start();
  // True when the SCM accepted the stop (which is waited for up to 30 s).
  bool Stop();
  bool Control(DWORD control, SERVICE_STATUS *status = nullptr);
  // A running service is only disabled unless `force`; otherwise it is deleted, with its
  // event log source key.
  bool Remove(bool force);
  bool Disable();
  bool SetStartType(DWORD startType);
  bool IsDisabled();
  // DeleteFlag = 1 on the service key, or a legacy device instance waiting for removal.
  bool IsPendingRemoval();
  bool HasLegacyInstance();
  bool HasRootInstance();
  // Creates the service under the database lock, as LocalSystem with SERVICE_ERROR_NORMAL.
  bool Create(const WCHAR *displayName, const WCHAR *binaryPath, DWORD serviceType, DWORD startType,
              const WCHAR *loadOrderGroup, const WCHAR *dependencies);
  // Removes the device instance Root\LEGACY_<service>\0000 of that setup class.
  bool RemoveLegacyDevice(const WCHAR *className);

 private:
  bool QueryState(DWORD *state);
  CStr ServiceKeyPath() const;

  CStr m_strServiceName;
  unique_schandle m_hService;
  CServiceManager m_scManager;
  SC_HANDLE m_hSCManager = nullptr;  // a copy of the connection's handle, refreshed before each use
  CStr m_strMachine;
};
