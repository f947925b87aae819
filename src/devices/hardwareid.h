// Hardware ID texts formed from a package's device codes.
#pragma once

#include "support/cstr.h"

// By the code's length: 7 -> "*CODE" (EISA), 8 -> "PCI\VEN_vvvv&DEV_dddd",
// 16 -> "PCI\VEN_vvvv&DEV_dddd&SUBSYS_ssssSSSS" (subsystem device ID, then subsystem
// vendor ID, from a code of vendor, device, subsystem vendor, subsystem device); any other
// length gives an empty text. Letters keep their case; no "&REV" part is formed.
CStr MakeHardwareId(const WCHAR *code);
