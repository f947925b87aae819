// VARIANT, as the SDK lays it out: the type code, three reserved words, then the value.
#pragma once

#include "unknwn.h"
#include "wtypes.h"

typedef struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    DATE date;
    BSTR bstrVal;
#ifdef __cplusplus
    IUnknown *punkVal;
#else
    void *punkVal;
#endif
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    PVOID byref;
  };
} VARIANT, *LPVARIANT, VARIANTARG, *LPVARIANTARG;
