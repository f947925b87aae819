// CWin2000DeviceList: the present PnP devices of the machine, each a W2KDEVINST, in
// SetupAPI's enumeration order, with their hardware IDs on request. It owns the device
// information sets it opened; they and the records go with it.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <memory>
#include <vector>

#include "support/handles.h"
#include "devices/w2kdevinst.h"

class CWin2000DeviceList {
 public:
  CWin2000DeviceList() = default;
  virtual ~CWin2000DeviceList();
  CWin2000DeviceList(const CWin2000DeviceList &) = delete;
  CWin2000DeviceList &operator=(const CWin2000DeviceList &) = delete;

  // Appends one record per present device: of every setup class (`allClasses`), or of the
  // setup classes of the devices an installation package deals with, one set each.
  void Build(BOOL allClasses);
  int GetCount() const { return int(m_records.size()); }
  // The record at `index`, or null when the index is out of range.
  const W2KDEVINST *GetDevice(int index) const;
  // The same record, shared: it outlives the list as a snapshot (the list makes each of its
  // records one, its driver list destroyed, before it closes their sets). Null when out of range.
  std::shared_ptr<const W2KDEVINST> ShareDevice(int index) const;
  // Copies the device's hardware-ID multi-string into `buffer` when `*size` bytes hold it.
  // Otherwise (no buffer, or too small) answers false with the bytes needed in `*size`.
  // Without `size`, or for an index out of range, false and nothing written.
  [[nodiscard]] bool GetHardwareIds(int index, BYTE *buffer, DWORD *size) const;

 private:
  void AddSet(HDEVINFO set);

  std::vector<unique_hdevinfo> m_sets;
  // Records stay where they are built (they are large, and own their devices' driver lists).
  std::vector<std::shared_ptr<W2KDEVINST>> m_records;
};

// Reads the hardware-ID multi-string of device `index` into `ids`, trying a buffer of
// `firstTryChars` characters and then one of the size the list needs. The result always
// ends in at least two NULs, so walking it never runs past its end. False when the list
// cannot be read.
[[nodiscard]] bool ReadHardwareIdList(const CWin2000DeviceList &list, int index, size_t firstTryChars,
                                      std::vector<WCHAR> &ids);

// Calls `visit(WCHAR *id)` for each string of a multi-string, in order, up to the empty
// string that ends it (or the end of the buffer).
template <class Visit>
void ForEachString(std::vector<WCHAR> &multiString, Visit &&visit) {
  size_t i = 0;
  while (i < multiString.size() && multiString[i] != L'\0') {
    WCHAR *id = &multiString[i];
    while (i < multiString.size() && multiString[i] != L'\0') ++i;
    visit(id);
    ++i;
  }
}

// Frees an array of texts GetMatchingHardwareIds made (null is fine).
void FreeHardwareIdArray(WCHAR **ids);
struct HardwareIdArrayDeleter {
  void operator()(WCHAR **ids) const { FreeHardwareIdArray(ids); }
};
// The owner of such an array: the array itself, a null entry ending it.
using unique_hardware_ids = std::unique_ptr<WCHAR *, HardwareIdArrayDeleter>;

// For each device, the hardware ID that best matches `query` (without regard to case): the
// first that contains it and is neither a "&REV" nor a "&CC" form, or one of exactly the
// query's length. A new array of new texts in device order ending with a null entry, or
// null when no device matches.
[[nodiscard]] unique_hardware_ids GetMatchingHardwareIds(const CWin2000DeviceList &list, const WCHAR *query);
