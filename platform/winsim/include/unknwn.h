// IUnknown, the base of every COM interface, and the macros the SDK declares methods with.
#pragma once

#include "guiddef.h"
#include "windef.h"

#define STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define PURE = 0

typedef GUID IID, CLSID;
typedef IID *LPIID;
typedef CLSID *LPCLSID;
#ifdef __cplusplus
typedef const IID &REFIID;
typedef const CLSID &REFCLSID;
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
#endif

DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

#ifdef __cplusplus
struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void **ppvObject) PURE;
  STDMETHOD_(ULONG, AddRef)() PURE;
  STDMETHOD_(ULONG, Release)() PURE;
};
typedef IUnknown *LPUNKNOWN;
#endif
