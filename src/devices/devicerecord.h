// DeviceRecord: an entry of the component's PnP device list: a present device as it was
// enumerated, with one of its hardware IDs. The entries of one device share its one
// record (a snapshot that never changes), so a device with many IDs costs one record.
#pragma once

#include <memory>
#include <utility>

#include "support/cstr.h"
#include "devices/w2kdevinst.h"

class DeviceRecord {
 public:
  DeviceRecord();  // a fresh record (no set, no driver data) and no hardware ID
  DeviceRecord(std::shared_ptr<const W2KDEVINST> device, const CStr &hardwareId)
      : strHardwareId(hardwareId), m_device(std::move(device)) {}

  const W2KDEVINST &Device() const { return *m_device; }

  CStr strHardwareId;

 private:
  std::shared_ptr<const W2KDEVINST> m_device;
};
