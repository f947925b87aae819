// Edition codes: 16-bit masks of the edition family (high byte) and the release and
// installation kind (low byte). An entry's code admits a running system when it contains
// every bit of the system's code; a high byte of 0xFF admits every family.
#pragma once

#include <windows.h>

constexpr WORD EDITION_ANY = 0xFFFF;

// The code of a package's "edition" attribute (compared in lower case): 0xFFFF for an
// absent or empty name, 0 for a name outside the table.
WORD EditionCodeFromName(const WCHAR *name);

// The running system's edition code from the product type GetProductInfo reports (0 when
// it was not asked) and whether the release is an R2 (GetSystemMetrics(SM_SERVERR2)).
WORD GetEditionCode(DWORD productType, bool r2);
