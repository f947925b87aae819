// The COM runtime and automation types: the calling thread's apartment, the process's
// security, object creation, proxy security, BSTRs and VARIANTs.
//
// Modelled: one thread's apartment (single- or multi-threaded, initialised a counted number
// of times), the process's security set once, CoCreateInstance of the WBEM locator (wmi.cpp)
// and of the shell link object (shell.cpp), CoSetProxyBlanket on winsim's own objects, BSTRs with their
// length prefix, VARIANTs of scalar, BSTR and interface types.
// Not modelled (NotModelled, E_NOTIMPL): security descriptors and authentication service
// lists given to CoInitializeSecurity, SAFEARRAYs in VARIANTs, other threads and marshalling.
#include <objbase.h>
#include <oleauto.h>
#include <shlguid.h>
#include <wbemidl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "ole32/com.h"
#include "plumbing/hooks.h"
#include "machine/machine.h"
#include "machine/wmi.h"
#include "base/diagnostics.h"

namespace winsim {
namespace {

// The calling thread's apartment: none, or the model of its first initialisation with the
// number of successful initialisations still to balance.
struct Apartment {
  bool initialised = false;
  DWORD model = COINIT_MULTITHREADED;
  ULONG count = 0;
};
Apartment g_apartment;
bool g_securitySet = false;

std::vector<std::unique_ptr<ComObject>> &Objects() {
  static std::vector<std::unique_ptr<ComObject>> objects;
  return objects;
}
std::map<const void *, ComObject *> &Pointers() {
  static std::map<const void *, ComObject *> pointers;
  return pointers;
}

// A BSTR's allocation: the byte length sits in the four bytes right before the text.
struct BstrHeader {
  uint32_t reserved;
  uint32_t bytes;
};
std::set<const OLECHAR *> g_liveStrings, g_freedStrings;

BstrHeader *HeaderOf(BSTR s) { return reinterpret_cast<BstrHeader *>(s) - 1; }

void CheckString(const char *function, BSTR s) {
  if (g_liveStrings.count(s)) return;
  char text[32];
  std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(s)));
  SimulationError(std::string(function) + ": " + text +
                  (g_freedStrings.count(s) ? " is a BSTR that was already freed" : " is not a BSTR"));
}

BSTR NewString(const OLECHAR *text, UINT length) {
  size_t bytes = size_t(length) * sizeof(OLECHAR);
  if (bytes > 0xFFFFFFFFu - sizeof(BstrHeader) - sizeof(OLECHAR)) return nullptr;
  auto *header = static_cast<BstrHeader *>(std::calloc(1, sizeof(BstrHeader) + bytes + sizeof(OLECHAR)));
  if (!header) return nullptr;
  header->bytes = uint32_t(bytes);
  BSTR s = reinterpret_cast<BSTR>(header + 1);
  if (text) std::memcpy(s, text, bytes);
  g_liveStrings.insert(s);
  g_freedStrings.erase(s);
  return s;
}

bool IsVariantScalar(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT: return true;
    default: return false;
  }
}
}  // namespace

void ComObject::CheckAlive() const {
  if (refs_ > 0) return;
  char text[32];
  std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(this)));
  SimulationError(std::string(EntryScope::Current()) + ": COM object " + text + " was used after its last Release");
}

ULONG ComObject::AddRefObject() {
  CheckAlive();
  return ++refs_;
}

ULONG ComObject::ReleaseObject() {
  CheckAlive();
  return --refs_;
}

void KeepComObject(std::unique_ptr<ComObject> object, const void *iface) {
  Pointers()[iface] = object.get();
  Objects().push_back(std::move(object));
}

ComObject *FindComObject(const void *iface) {
  auto it = Pointers().find(iface);
  return it == Pointers().end() ? nullptr : it->second;
}

// Process exit: the objects go with the process, and the next process starts without COM.
void ResetCom() {
  ResetShell();
  Pointers().clear();
  Objects().clear();
  // The simulated process ends with the machine, and its heap with it: the strings it never
  // freed (a failed VariantClear leaves its BSTR, as on Windows) go too.
  for (const OLECHAR *s : g_liveStrings) std::free(HeaderOf(const_cast<BSTR>(s)));
  g_liveStrings.clear();
  g_freedStrings.clear();
  g_apartment = {};
  g_securitySet = false;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  WINSIM_ENTRY_STATUS("ole32.dll", CoInitializeEx);
  if (pvReserved || (dwCoInit & ~DWORD(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY)))
    return E_INVALIDARG;
  DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
  if (g_apartment.initialised) {
    if (g_apartment.model != model) return RPC_E_CHANGED_MODE;
    ++g_apartment.count;
    return S_FALSE;
  }
  g_apartment = {true, model, 1};
  return S_OK;
}

HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
  WINSIM_ENTRY_STATUS("ole32.dll", CoInitialize);
  if (pvReserved) return E_INVALIDARG;
  return CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

void WINAPI CoUninitialize(void) {
  if (!g_apartment.initialised) return;  // unbalanced: Windows ignores it
  if (--g_apartment.count == 0) g_apartment = {};
}

HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc,
                                    SOLE_AUTHENTICATION_SERVICE *asAuthSvc, void *, DWORD dwAuthnLevel,
                                    DWORD dwImpLevel, void *pAuthList, DWORD, void *) {
  WINSIM_ENTRY_STATUS("ole32.dll", CoInitializeSecurity);
  if (!g_apartment.initialised) return CO_E_NOTINITIALIZED;
  if (g_securitySet) return RPC_E_TOO_LATE;
  if (dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE) return E_INVALIDARG;
  if (pSecDesc || asAuthSvc || pAuthList || (cAuthSvc != -1 && cAuthSvc != 0)) {
    NotModelled("CoInitializeSecurity", "a security descriptor, an authentication list or services");
    return E_NOTIMPL;
  }
  g_securitySet = true;
  return S_OK;
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID *ppv) {
  WINSIM_ENTRY_STATUS("ole32.dll", CoCreateInstance);
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!g_apartment.initialised) return CO_E_NOTINITIALIZED;
  // Both classes are registered as in-process servers only.
  bool locator = IsEqualCLSID(rclsid, CLSID_WbemLocator) && Wmi().available;
  bool shellLink = IsEqualCLSID(rclsid, CLSID_ShellLink);
  if (!(locator || shellLink) || !(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  IUnknown *object = locator ? CreateWbemLocator() : CreateShellLink();
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT WINAPI CoSetProxyBlanket(IUnknown *pProxy, DWORD dwAuthnSvc, DWORD, OLECHAR *, DWORD dwAuthnLevel,
                                 DWORD dwImpLevel, RPC_AUTH_IDENTITY_HANDLE pAuthInfo, DWORD) {
  WINSIM_ENTRY_STATUS("ole32.dll", CoSetProxyBlanket);
  if (!pProxy) return E_INVALIDARG;
  ComObject *object = FindComObject(pProxy);
  if (!object) {
    NotModelled("CoSetProxyBlanket", "an object winsim did not create");
    return E_NOTIMPL;
  }
  object->CheckAlive();
  if ((dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY && dwAuthnLevel != 0xFFFFFFFF) ||
      (dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE && dwImpLevel != 0xFFFFFFFF))
    return E_INVALIDARG;
  if (pAuthInfo ||
      (dwAuthnSvc != RPC_C_AUTHN_WINNT && dwAuthnSvc != RPC_C_AUTHN_DEFAULT && dwAuthnSvc != RPC_C_AUTHN_NONE)) {
    NotModelled("CoSetProxyBlanket", "an identity or an authentication service other than NTLM");
    return E_NOTIMPL;
  }
  return S_OK;  // winsim's objects run in the process: there is no proxy to secure
}

BSTR WINAPI SysAllocString(const OLECHAR *psz) {
  WINSIM_ENTRY("oleaut32.dll", SysAllocString, nullptr, psz);
  if (!psz) return nullptr;
  return NewString(psz, UINT(std::wcslen(psz)));
}

BSTR WINAPI SysAllocStringLen(const OLECHAR *strIn, UINT ui) {
  WINSIM_ENTRY("oleaut32.dll", SysAllocStringLen, nullptr);
  return NewString(strIn, ui);
}

void WINAPI SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  CheckString("SysFreeString", bstrString);
  g_liveStrings.erase(bstrString);
  g_freedStrings.insert(bstrString);
  std::free(HeaderOf(bstrString));
}

UINT WINAPI SysStringLen(BSTR pbstr) {
  if (!pbstr) return 0;
  CheckString("SysStringLen", pbstr);
  return HeaderOf(pbstr)->bytes / sizeof(OLECHAR);
}

void WINAPI VariantInit(VARIANTARG *pvarg) {
  if (pvarg) pvarg->vt = VT_EMPTY;
}

HRESULT WINAPI VariantClear(VARIANTARG *pvarg) {
  WINSIM_ENTRY_STATUS("oleaut32.dll", VariantClear);
  if (!pvarg) return E_INVALIDARG;
  VARTYPE vt = pvarg->vt;
  if (vt & VT_BYREF) {
    if (!IsVariantScalar(vt & ~VT_BYREF) && (vt & ~VT_BYREF) != VT_BSTR && (vt & ~VT_BYREF) != VT_UNKNOWN &&
        (vt & ~VT_BYREF) != VT_DISPATCH && (vt & ~VT_BYREF) != VT_VARIANT)
      return DISP_E_BADVARTYPE;
  } else if (vt & VT_ARRAY) {
    NotModelled("VariantClear", "a SAFEARRAY");
    return E_NOTIMPL;
  } else if (vt == VT_BSTR) {
    SysFreeString(pvarg->bstrVal);
  } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    if (pvarg->punkVal) pvarg->punkVal->Release();
  } else if (!IsVariantScalar(vt)) {
    return DISP_E_BADVARTYPE;
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

}  // extern "C"
