// The COM runtime: apartments, process security, object creation, proxy security.
//
// winsim models one thread: its apartment (single- or multi-threaded) and how many times
// it was initialised, and the process's security, set once. It serves two classes: the
// WBEM locator (wbemcli.h), while [wmi] available is true, and the shell link (shlobj.h).
#pragma once

#include "rpcdce.h"
#include "unknwn.h"
#include "winnt_security.h"
#include "wtypes.h"

typedef enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
} CLSCTX;
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

typedef enum tagEOLE_AUTHENTICATION_CAPABILITIES {
  EOAC_NONE = 0,
  EOAC_MUTUAL_AUTH = 0x1,
  EOAC_STATIC_CLOAKING = 0x20,
  EOAC_DYNAMIC_CLOAKING = 0x40,
  EOAC_DEFAULT = 0x800,
} EOLE_AUTHENTICATION_CAPABILITIES;

typedef struct tagSOLE_AUTHENTICATION_SERVICE {
  DWORD dwAuthnSvc;
  DWORD dwAuthzSvc;
  OLECHAR *pPrincipalName;
  HRESULT hr;
} SOLE_AUTHENTICATION_SERVICE;

// S_OK for the thread's first initialisation, S_FALSE when it already is in the same
// model (each success is balanced by one CoUninitialize), RPC_E_CHANGED_MODE when it is in
// the other model (nothing to balance), E_INVALIDARG for a reserved pointer or an unknown flag.
WINBASEAPI HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
// CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); pvReserved must be NULL.
WINBASEAPI HRESULT WINAPI CoInitialize(LPVOID pvReserved);
// Balances one successful initialisation of the thread; the last one leaves the apartment.
WINBASEAPI void WINAPI CoUninitialize(void);
// Sets the process's security once: CO_E_NOTINITIALIZED before the thread is initialised,
// RPC_E_TOO_LATE once it was set in this process.
WINBASEAPI HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR pSecDesc, LONG cAuthSvc,
                                               SOLE_AUTHENTICATION_SERVICE *asAuthSvc, void *pReserved1,
                                               DWORD dwAuthnLevel, DWORD dwImpLevel, void *pAuthList,
                                               DWORD dwCapabilities, void *pReserved3);
// *ppv is NULL on every failure: E_POINTER, CO_E_NOTINITIALIZED, REGDB_E_CLASSNOTREG,
// CLASS_E_NOAGGREGATION, E_NOINTERFACE.
WINBASEAPI HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                           LPVOID *ppv);
WINBASEAPI HRESULT WINAPI CoSetProxyBlanket(IUnknown *pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc,
                                            OLECHAR *pServerPrincName, DWORD dwAuthnLevel, DWORD dwImpLevel,
                                            RPC_AUTH_IDENTITY_HANDLE pAuthInfo, DWORD dwCapabilities);
