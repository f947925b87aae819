// CDeviceEnumerator walks one SetupAPI device information set: the devices of a setup class,
// of a device interface class or of all classes, standing only on those whose first hardware
// ID begins with one of its prefixes. For the device it stands on it reads the instance ID,
// classifies the device node's state and enables or disables the device through the class
// installer. Every walk opens its own set (First) and reads the devices as they are now.
// Nothing here logs or throws: failures are results.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <devpropdef.h>

#include "support/cstr.h"

// The state of a device node, as GetDevNodeStatus classifies it.
enum {
  NIC_STATUS_NOT_AVAILABLE = 0,  // no set, or the status could not be read (no device node)
  NIC_STATUS_DISABLED = 1,       // DN_HAS_PROBLEM with CM_PROB_DISABLED
  NIC_STATUS_PROBLEM = 2,        // any other problem, or DN_PRIVATE_PROBLEM
  NIC_STATUS_STARTED = 3,
  NIC_STATUS_NOTSTARTED = 4,
};

class CDeviceEnumerator {
 public:
  static constexpr int kIdChars = 256;
  static constexpr int kInstanceIdChars = 200;  // GetInstanceId's buffer holds at least this many

  // Filters by a list of prefixes, which the caller keeps alive as long as the enumerator
  // (an empty list matches nothing; an empty prefix matches every device).
  CDeviceEnumerator(const GUID *classGuid, DWORD flags, const CStrList *prefixes);
  // Filters by one prefix when `prefix` is given and not empty (cut to 255 characters).
  CDeviceEnumerator(const GUID *classGuid, DWORD flags, const WCHAR *prefix = nullptr);
  // The copy stands where the original stands and walks the same set, but does not own it:
  // only the enumerator that opened the set destroys it, so the copy must not be used after
  // the original closed it.
  CDeviceEnumerator(const CDeviceEnumerator &other);
  CDeviceEnumerator &operator=(const CDeviceEnumerator &) = delete;
  ~CDeviceEnumerator();

  // Opens the set and stands on the first matching device, or on none. Call Close before a
  // second First.
  void First();
  void Next();
  // The start of the current device's first hardware ID; null when no set is open or the
  // enumerator stands on no device.
  const WCHAR *GetCurrentHardwareId() const;
  // Destroys the set if this enumerator opened it; harmless when none is open.
  void Close();

  // The current device's instance ID into `buffer` (at least kInstanceIdChars characters);
  // false with the buffer emptied.
  bool GetInstanceId(WCHAR *buffer);
  int GetDevNodeStatus();
  // DIF_PROPERTYCHANGE with `stateChange` (DICS_ENABLE, DICS_DISABLE, ...) for the current
  // hardware profile: true when the class installer ran and the device's install parameters
  // could be read back.
  bool ChangeState(DWORD stateChange);

 private:
  void Init(const GUID *classGuid, DWORD flags);
  bool Matches() const;

  HDEVINFO m_hDevInfo = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA m_devInfoData{};
  WCHAR m_szHardwareId[kIdChars] = {};
  WCHAR m_szPrefix[kIdChars] = {};
  const CStrList *m_pPrefixes = nullptr;
  DWORD m_nFlags = 0;
  const GUID *m_pClassGuid = nullptr;
  bool m_bFilter = false;
  DWORD m_nIndex = 0;
  bool m_bOwnsSet = false;  // this enumerator opened m_hDevInfo and destroys it
};

// Walks `enumerator` and adds to `list` each hardware ID that no entry already begins
// (without regard to case); the list's size afterwards, 0 when either is missing.
int CollectHardwareIds(CDeviceEnumerator *enumerator, CStrList *list);

// A device's registry property (SPDRP_*) into `buffer` of `bufferSize` bytes; a longer value
// is cut to the buffer, and a cut text keeps a terminator in its last character.
bool GetRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA *devInfo, DWORD property, DWORD *regType, BYTE *buffer,
                         DWORD bufferSize);
// A device property as text into `buffer`; false leaves "INVALID DEVICE" there. A longer
// value is cut to the buffer.
bool GetDeviceProperty(HDEVINFO set, SP_DEVINFO_DATA *devInfo, const DEVPROPKEY &key,
                       WCHAR (&buffer)[CDeviceEnumerator::kIdChars]);
