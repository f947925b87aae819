// W2KDEVINST: one enumerated device together with what SetupAPI reports about the driver
// installed for it. A record that came from an enumeration holds the device information set
// it came from; a fresh record holds none and all of its other fields are zero. A copy is a
// snapshot: it keeps every field, the set handle's value included, but never calls SetupAPI
// with that handle, because the set may be gone (and its value reused) while the copy lives.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "support/cstr.h"

class W2KDEVINST {
 public:
  W2KDEVINST();
  // Copies every field, the set handle included. The copy is a snapshot: it never destroys
  // the driver list of the device it was taken from and never reads through the set.
  W2KDEVINST(const W2KDEVINST &other);
  W2KDEVINST &operator=(const W2KDEVINST &other);
  virtual ~W2KDEVINST();

  // Fills the record from the set member `device`: the installed driver's data, install
  // parameters and detail, as far as SetupAPI reports them. The record then owns the
  // device's driver list until it goes; it must stay where it is (copies never own it).
  void ReadInstalledDriver(HDEVINFO set, const SP_DEVINFO_DATA &device);

  // Destroys the driver list the record built and makes it a snapshot, as a copy is: for a
  // record that is to outlive its set.
  void MakeSnapshot();

  // The installed driver's install-parameter Flags masked with `mask`; 0 for a fresh record.
  DWORD HasDriverFlag(DWORD mask) const;
  // SetupDiGetDeviceRegistryPropertyW on the record's set and device; false, with nothing
  // written and no SetupAPI call, for a fresh record or a copy.
  [[nodiscard]] bool ReadRegistryProperty(DWORD property, DWORD *registryType, BYTE *buffer, DWORD bufferSize,
                                          DWORD *requiredSize) const;
  // The installed driver's version as "a.b.c.d"; empty for a fresh record.
  CStr GetDriverVersionText() const;

  // Whether the record names a set: true for an enumerated record and its copies.
  bool HasSet() const { return m_hDevInfo != nullptr; }
  // True for a copy: its set handle is only a value.
  bool IsSnapshot() const { return m_bSnapshot; }
  HDEVINFO GetSet() const { return m_hDevInfo; }
  const SP_DEVINFO_DATA &GetDeviceData() const { return m_device; }
  const SP_DRVINFO_DATA_V2_W &GetDriverData() const { return m_driver; }
  const SP_DRVINFO_DETAIL_DATA_W &GetDriverDetail() const { return m_driverDetail; }
  const SP_DRVINSTALL_PARAMS &GetDriverInstallParams() const { return m_driverParams; }

 private:
  void DestroyDriverList();

  HDEVINFO m_hDevInfo = nullptr;
  SP_DEVINFO_DATA m_device;
  SP_DRVINFO_DATA_V2_W m_driver;
  SP_DRVINFO_DETAIL_DATA_W m_driverDetail;
  SP_DRVINSTALL_PARAMS m_driverParams;
  // True for the one record that built the device's driver list: it destroys the list when
  // it goes. Copies outlive the set they name (the component's list keeps them after the
  // sets are gone), so they must never call SetupAPI on it.
  bool m_bOwnsDriverList = false;
  // True for a copy (see IsSnapshot); cleared when the record is filled from a set again.
  bool m_bSnapshot = false;
};
