// DeviceRecord: one present device with one of its hardware IDs, an entry of the
// component's PnP device list. The device and installed-driver fields join with the
// device list itself.
#pragma once

#include "cstr.h"

struct DeviceRecord {
  CStr strHardwareId;
};
