// A small connection to WMI for one check: COM initialised on the calling thread, the WBEM
// locator, a namespace, the last query's enumerator and the last property value read.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wbemidl.h>

#include "support/handles.h"

// The error code every failure of the connection sets.
constexpr DWORD WMI_ERROR_CODE = 11;

class WmiConnection {
 public:
  // Initialises COM (multithreaded) and creates the locator. A thread already in the other
  // apartment model (RPC_E_CHANGED_MODE) is used as it is. On failure the error is set and
  // the connection has no locator, so every later call answers false.
  WmiConnection();
  // Releases what it holds, then balances its own COM initialisation once (unless a failure
  // already did, or it made none).
  ~WmiConnection();
  WmiConnection(const WmiConnection &) = delete;
  WmiConnection &operator=(const WmiConnection &) = delete;

  // Connects to a namespace ("ROOT\CIMV2") and sets its proxy security. False without a
  // locator; on failure it also releases everything, sets the error and balances COM.
  [[nodiscard]] bool Connect(const WCHAR *namespacePath);
  // Runs "SELECT * FROM <className>" (cut to 255 characters) in WQL and keeps its
  // enumerator. False without a connection or when the query or a COM string fails.
  [[nodiscard]] bool ExecQuery(const WCHAR *className);
  // Reads the property from every object of the last query; the value buffer keeps the
  // last object's text (cut to fit). False without an enumerator, or when a read fails
  // (the enumerator is then released).
  [[nodiscard]] bool ReadProperty(const WCHAR *propertyName);
  // 1 when `model` equals the computer's Win32_ComputerSystem Model without regard to ASCII
  // letter case, else 0 (also when WMI cannot be read). Connects and queries anew each time.
  [[nodiscard]] int ModelMatches(const WCHAR *model);

  DWORD GetErrorCode() const { return m_nErrorCode; }
  const WCHAR *GetErrorText() const { return m_szErrorText; }
  const WCHAR *GetValue() const { return m_szValue; }

 private:
  // Releases every interface, sets the error and balances this object's COM initialisation.
  void Fail();

  unique_com_ptr<IWbemLocator> m_pLocator;
  unique_com_ptr<IWbemServices> m_pServices;
  unique_com_ptr<IEnumWbemClassObject> m_pEnumerator;
  DWORD m_nErrorCode = 0;
  WCHAR m_szErrorText[256] = L"";
  WCHAR m_szValue[256] = L"";
  bool m_bComInitialized = false;  // a successful CoInitializeEx of this object, to balance
};
