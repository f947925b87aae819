// WMI's client interfaces, as far as a query of one class's properties goes: the locator,
// a namespace's services, the query's enumerator and its objects. Only the methods such a
// query calls are declared; each is modelled in winsim over [wmi] (namespace ROOT\CIMV2,
// class Win32_ComputerSystem).
#pragma once

#include "oaidl.h"
#include "unknwn.h"
#include "wtypes.h"

typedef LONG CIMTYPE;

typedef enum tag_WBEM_GENERIC_FLAG_TYPE {
  WBEM_FLAG_RETURN_WBEM_COMPLETE = 0x0,
  WBEM_FLAG_RETURN_IMMEDIATELY = 0x10,
  WBEM_FLAG_FORWARD_ONLY = 0x20,
} WBEM_GENERIC_FLAG_TYPE;

typedef enum tag_WBEM_TIMEOUT_TYPE { WBEM_NO_WAIT = 0, WBEM_INFINITE = 0xffffffff } WBEM_TIMEOUT_TYPE;

typedef enum tag_WBEM_FLAVOR_TYPE {
  WBEM_FLAVOR_ORIGIN_LOCAL = 0x0,
  WBEM_FLAVOR_ORIGIN_PROPAGATED = 0x20,
  WBEM_FLAVOR_ORIGIN_SYSTEM = 0x40,
} WBEM_FLAVOR_TYPE;

typedef enum tagCIMTYPE_ENUMERATION {
  CIM_EMPTY = 0,
  CIM_SINT32 = 3,
  CIM_STRING = 8,
  CIM_BOOLEAN = 11,
  CIM_UINT32 = 19,
  CIM_UINT64 = 21,
} CIMTYPE_ENUMERATION;

typedef enum tag_WBEMSTATUS {
  WBEM_NO_ERROR = 0,
  WBEM_S_NO_ERROR = 0,
  WBEM_S_FALSE = 1,
  WBEM_S_TIMEDOUT = 0x40004,
  WBEM_E_FAILED = (LONG)0x80041001,
  WBEM_E_NOT_FOUND = (LONG)0x80041002,
  WBEM_E_ACCESS_DENIED = (LONG)0x80041003,
  WBEM_E_OUT_OF_MEMORY = (LONG)0x80041006,
  WBEM_E_INVALID_PARAMETER = (LONG)0x80041008,
  WBEM_E_INVALID_NAMESPACE = (LONG)0x8004100e,
  WBEM_E_INVALID_CLASS = (LONG)0x80041010,
  WBEM_E_INVALID_OPERATION = (LONG)0x80041016,
  WBEM_E_INVALID_QUERY = (LONG)0x80041017,
  WBEM_E_INVALID_QUERY_TYPE = (LONG)0x80041018,
} WBEMSTATUS;

DEFINE_GUID(CLSID_WbemLocator, 0x4590f811, 0x1d3a, 0x11d0, 0x89, 0x1f, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24);
DEFINE_GUID(IID_IWbemLocator, 0xdc12a687, 0x737f, 0x11cf, 0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24);
DEFINE_GUID(IID_IWbemServices, 0x9556dc99, 0x828c, 0x11cf, 0xa3, 0x7e, 0x00, 0xaa, 0x00, 0x32, 0x40, 0xc7);
DEFINE_GUID(IID_IEnumWbemClassObject, 0x027947e1, 0xd731, 0x11ce, 0xa3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01);
DEFINE_GUID(IID_IWbemClassObject, 0xdc12a681, 0x737f, 0x11cf, 0x88, 0x4d, 0x00, 0xaa, 0x00, 0x4b, 0x2e, 0x24);

#ifdef __cplusplus
struct IWbemContext;

struct IWbemClassObject : public IUnknown {
  // The value of a property: a VARIANT the caller clears, its CIM type and flavour (each
  // may be NULL). WBEM_E_NOT_FOUND for a property the class does not have.
  STDMETHOD(Get)(LPCWSTR wszName, LONG lFlags, VARIANT *pVal, CIMTYPE *pType, LONG *plFlavor) PURE;
};

struct IEnumWbemClassObject : public IUnknown {
  // Back to the first object.
  STDMETHOD(Reset)() PURE;
  // Up to uCount objects, each to be released by the caller: WBEM_S_NO_ERROR when all came,
  // WBEM_S_FALSE when fewer did (*puReturned says how many).
  STDMETHOD(Next)(LONG lTimeout, ULONG uCount, IWbemClassObject **apObjects, ULONG *puReturned) PURE;
};

struct IWbemServices : public IUnknown {
  STDMETHOD(ExecQuery)
  (const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags, IWbemContext *pCtx,
   IEnumWbemClassObject **ppEnum) PURE;
};

struct IWbemLocator : public IUnknown {
  STDMETHOD(ConnectServer)
  (const BSTR strNetworkResource, const BSTR strUser, const BSTR strPassword, const BSTR strLocale, LONG lSecurityFlags,
   const BSTR strAuthority, IWbemContext *pCtx, IWbemServices **ppNamespace) PURE;
};
#endif
