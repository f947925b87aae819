// Automation strings (BSTR) and VARIANTs.
//
// A BSTR is a text whose length (in bytes) sits in the four bytes before it and which is
// always terminated; it is allocated and freed only by these calls.
#pragma once

#include "oaidl.h"
#include "wtypes.h"

// A new BSTR copied from a terminated text; NULL for a NULL text or when memory runs out.
WINBASEAPI BSTR WINAPI SysAllocString(const OLECHAR *psz);
// A new BSTR of `ui` characters copied from `strIn` (embedded NULs kept), or of `ui` zero
// characters when `strIn` is NULL; NULL when memory runs out.
WINBASEAPI BSTR WINAPI SysAllocStringLen(const OLECHAR *strIn, UINT ui);
// Frees a BSTR; NULL is allowed.
WINBASEAPI void WINAPI SysFreeString(BSTR bstrString);
// The length in characters; 0 for NULL.
WINBASEAPI UINT WINAPI SysStringLen(BSTR pbstr);

WINBASEAPI void WINAPI VariantInit(VARIANTARG *pvarg);
// Frees what the VARIANT holds (a BSTR, a reference) and leaves it VT_EMPTY.
// DISP_E_BADVARTYPE for a type code that is not a VARIANT type.
WINBASEAPI HRESULT WINAPI VariantClear(VARIANTARG *pvarg);
