// The WMI connection of the model check.
#include "package/wmiconnection.h"

#include <oleauto.h>

#include <cstring>
#include <string>

#include "support/cstr.h"

namespace {
const WCHAR kComError[] = L"An error occurred initializing the COM environment.";

bool EqualNoCaseAscii(const WCHAR *a, const WCHAR *b) {
  for (; *a && *b; ++a, ++b)
    if (AsciiUpper(*a) != AsciiUpper(*b)) return false;
  return *a == *b;
}
}  // namespace

WmiConnection::WmiConnection() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  // A host that put the thread in a single-threaded apartment keeps it: COM is usable as it
  // is, and the host's initialisation is not this object's to balance.
  bool failed = FAILED(hr) && hr != RPC_E_CHANGED_MODE;
  m_bComInitialized = SUCCEEDED(hr);
  if (!failed) {
    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                              nullptr, EOAC_NONE, nullptr);
    failed = FAILED(hr) && hr != RPC_E_TOO_LATE;
  }
  if (!failed) {
    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<void **>(m_pLocator.put()));
    failed = FAILED(hr);
  }
  if (failed) Fail();
}

WmiConnection::~WmiConnection() {
  m_pEnumerator.reset();
  m_pServices.reset();
  m_pLocator.reset();
  if (m_bComInitialized) CoUninitialize();
}

void WmiConnection::Fail() {
  m_pEnumerator.reset();
  m_pServices.reset();
  m_pLocator.reset();
  m_nErrorCode = WMI_ERROR_CODE;
  CopyText(m_szErrorText, 256, kComError);
  if (m_bComInitialized) CoUninitialize();
  m_bComInitialized = false;
}

bool WmiConnection::Connect(const WCHAR *namespacePath) {
  if (!m_pLocator) return false;
  unique_bstr path(SysAllocString(namespacePath));
  HRESULT hr = E_OUTOFMEMORY;
  if (path)
    hr = m_pLocator.get()->ConnectServer(path.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, m_pServices.put());
  if (SUCCEEDED(hr))
    hr = CoSetProxyBlanket(m_pServices.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr)) {
    Fail();
    return false;
  }
  return true;
}

bool WmiConnection::ExecQuery(const WCHAR *className) {
  if (!m_pServices || !className) return false;
  WCHAR query[256];
  CopyText(query, 256, (std::wstring(L"SELECT * FROM ") + className).c_str());
  unique_bstr language(SysAllocString(L"WQL"));
  unique_bstr text(SysAllocString(query));
  if (!language || !text) return false;
  return SUCCEEDED(m_pServices.get()->ExecQuery(language.get(), text.get(), WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                                m_pEnumerator.put()));
}

bool WmiConnection::ReadProperty(const WCHAR *propertyName) {
  if (!m_pEnumerator) return false;
  IEnumWbemClassObject *enumerator = m_pEnumerator.get();
  // The objects are counted first (each fetched and released), then read from the start.
  enumerator->Reset();
  ULONG count = 0, returned = 0;
  for (;;) {
    unique_com_ptr<IWbemClassObject> object;
    returned = 0;
    enumerator->Next(LONG(WBEM_INFINITE), 1, object.put(), &returned);
    if (returned == 0) break;
    ++count;
  }
  enumerator->Reset();
  for (ULONG i = 0; i < count; ++i) {
    unique_com_ptr<IWbemClassObject> object;
    returned = 0;
    enumerator->Next(LONG(WBEM_INFINITE), 1, object.put(), &returned);
    if (returned == 0) break;
    unique_variant value;
    if (FAILED(object.get()->Get(propertyName, 0, value.get(), nullptr, nullptr))) {
      object.reset();
      m_pEnumerator.reset();
      return false;
    }
    if ((*value).vt == VT_BSTR && (*value).bstrVal) {
      CopyText(m_szValue, 256, (*value).bstrVal);
    } else if ((*value).vt == VT_I4) {
      std::memcpy(m_szValue, &(*value).lVal, sizeof(LONG));
    }
  }
  return true;
}

int WmiConnection::ModelMatches(const WCHAR *model) {
  if (!model || !Connect(L"ROOT\\CIMV2") || !ExecQuery(L"Win32_ComputerSystem") || !ReadProperty(L"Model")) return 0;
  return EqualNoCaseAscii(model, m_szValue) ? 1 : 0;
}
