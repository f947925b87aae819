// Section 2: the component's initialisation (LoadLibraryW + FreeLibrary of C:\Package\kvncomp.dll
// with C:\Package current: DllMain reads the package definition and builds the PnP device
// list) against the floor of what a load must do: the library mapped and unmapped, each
// package file found and parsed (by Expat with empty handlers) as often as the component must
// read it, and a plain loop over the same machine making the SetupAPI calls the device list
// needs per device and nothing else. Peak heap during the load is counted by the global
// allocation functions below, which the component's library uses too, against the records the
// device list must hold.
#include <dlfcn.h>
#include <expat.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

#include <windows.h>
#include <setupapi.h>
#include <winsim.h>

#include "bench.h"
#include "emptyparser.h"
#include "devices/devicerecord.h"
#include "devices/w2kdevinst.h"
#include "framework/hostinterface.h"
#include "support/handles.h"

namespace {

// Heap bytes in use and the most since the last reset; counted only while `counting`.
std::atomic<bool> counting{false};
std::atomic<long long> heapInUse{0}, heapPeak{0};

void Counted(void *p) {
  if (!p || !counting.load(std::memory_order_relaxed)) return;
  long long now = heapInUse.fetch_add(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed) +
                  static_cast<long long>(malloc_usable_size(p));
  long long peak = heapPeak.load(std::memory_order_relaxed);
  while (now > peak && !heapPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

void Uncounted(void *p) {
  if (p && counting.load(std::memory_order_relaxed))
    heapInUse.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
}

void *Allocate(size_t size) {
  void *p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  Counted(p);
  return p;
}

void Release(void *p) noexcept {
  Uncounted(p);
  std::free(p);
}

}  // namespace

// Blocks freed while counting that were allocated before it make the count drop below zero
// for a while; the peak is measured from the count at the start, so they only lower it.
void *operator new(size_t size) { return Allocate(size); }
void *operator new[](size_t size) { return Allocate(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept {
  void *p = std::malloc(size ? size : 1);
  Counted(p);
  return p;
}
void *operator new[](size_t size, const std::nothrow_t &t) noexcept { return operator new(size, t); }
void operator delete(void *p) noexcept { Release(p); }
void operator delete[](void *p) noexcept { Release(p); }
void operator delete(void *p, size_t) noexcept { Release(p); }
void operator delete[](void *p, size_t) noexcept { Release(p); }

namespace bench {

namespace {

constexpr UINT kPackageVersionProperty = 4;
constexpr int kSupportedAdapters = 4;

void RequirePackageRead(HMODULE module) {
  auto getProperty =
      reinterpret_cast<GetPropertyFn>(reinterpret_cast<void (*)()>(GetProcAddress(module, "GetProperty")));
  if (!getProperty) throw SetupError("the component has no GetProperty export");
  WCHAR version[64] = L"";
  if (getProperty(kPackageVersionProperty, version, 64, 0) != 1 || !version[0])
    throw SetupError("the component did not read the package definition at C:\\Package (no package version)");
}

HMODULE LoadComponent() {
  HMODULE module = LoadLibraryW(kComponent);
  if (!module) throw SetupError("LoadLibraryW of the component failed with error " + std::to_string(GetLastError()));
  return module;
}

void FreeComponent(HMODULE module) {
  if (!FreeLibrary(module))
    throw SetupError("FreeLibrary of the component failed with error " + std::to_string(GetLastError()));
}

// One load with /verbose_log, not timed: the component loads and reads the package, and its
// verbose log says whether it built the device list.
void RequireDeviceList() {
  winsim::SetProcess(kHostImage, L"\"C:\\Package\\kvnhost.exe\" /verbose_log", kPackageDir);
  HMODULE module = LoadComponent();
  RequirePackageRead(module);
  FreeComponent(module);
  bool built = false;
  std::error_code ec;
  fs::path logs = winsim::HostPath(L"C:\\vadorurev\\log");
  for (auto &e : fs::directory_iterator(logs, ec))
    if (ReadAll(e.path()).find("Building PnP device list... Done.") != std::string::npos) built = true;
  fs::remove_all(logs, ec);
  if (!built) throw SetupError("the component's verbose log does not say it built the PnP device list");
}

// What the device list must hold: a record per device and an entry per hardware ID of it
// without "&REV" or "&CC".
struct DeviceCount {
  int devices = 0;
  long long entries = 0;
};

void CountEntries(std::vector<WCHAR> &ids, DeviceCount &count) {
  for (WCHAR *id = ids.data(); *id; id += std::wcslen(id) + 1)
    if (!std::wcsstr(id, L"&REV") && !std::wcsstr(id, L"&CC")) ++count.entries;
}

// The SetupAPI calls the device list makes for each present device (its set of all classes,
// the installed driver's list, record, install parameters and details, and the hardware IDs
// asked for their size and then read), the lists destroyed at the end as the component's
// unload does.
DeviceCount DeviceLoop() {
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) throw SetupError("SetupDiGetClassDevsW failed");
  std::vector<SP_DEVINFO_DATA> devices;
  std::vector<WCHAR> ids(1026);
  DeviceCount count;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
    devices.push_back(device);
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(set, &device, &params)) continue;
    params.FlagsEx |= DI_FLAGSEX_INSTALLEDDRIVER;
    if (!SetupDiSetDeviceInstallParamsW(set, &device, &params)) continue;
    if (SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER)) {
      SP_DRVINFO_DATA_V2_W driver{};
      driver.cbSize = sizeof(driver);
      if (SetupDiEnumDriverInfoW(set, &device, SPDIT_COMPATDRIVER, 0, &driver)) {
        SP_DRVINSTALL_PARAMS driverParams{};
        driverParams.cbSize = sizeof(driverParams);
        SetupDiGetDriverInstallParamsW(set, &device, &driver, &driverParams);
        SP_DRVINFO_DETAIL_DATA_W detail{};
        detail.cbSize = sizeof(detail);
        DWORD required = 0;
        SetupDiGetDriverInfoDetailW(set, &device, &driver, &detail, sizeof(detail), &required);
      }
    }
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, &size);
    std::fill(ids.begin(), ids.end(), L'\0');
    if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE *>(ids.data()),
                                          DWORD((ids.size() - 2) * sizeof(WCHAR)), nullptr))
      CountEntries(ids, count);
  }
  for (SP_DEVINFO_DATA &device : devices) SetupDiDestroyDriverInfoList(set, &device, SPDIT_COMPATDRIVER);
  SetupDiDestroyDeviceInfoList(set);
  count.devices = int(devices.size());
  return count;
}

// The first file of the current directory matching `pattern`, read through the machine's file
// calls straight into Expat's buffer and parsed with handlers that do nothing, `times` times.
void ParsePackageFile(const wchar_t *pattern, int times) {
  WIN32_FIND_DATAW found;
  unique_hfind search(FindFirstFileW(pattern, &found));
  if (!search) throw SetupError("the package has no " + std::string(pattern, pattern + std::wcslen(pattern)));
  for (int i = 0; i < times; ++i) {
    unique_hfile file(CreateFileW(found.cFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD size = file ? GetFileSize(file.get(), nullptr) : INVALID_FILE_SIZE;
    if (size == INVALID_FILE_SIZE) throw SetupError("a package file cannot be read");
    EmptyParser parser = NewEmptyParser();
    void *buffer = XML_GetBuffer(parser.get(), int(size));
    DWORD read = 0;
    if (!buffer || !ReadFile(file.get(), buffer, size, &read, nullptr) || read != size ||
        XML_ParseBuffer(parser.get(), int(size), XML_TRUE) == XML_STATUS_ERROR)
      throw SetupError("a package file cannot be parsed");
  }
}

// The floor: the component's library (`library` on the host) mapped and unmapped (its static objects constructed and
// destroyed, DllMain not run), the package definition parsed twice (once to find it, once to
// read it) and install.xml once, then the device loop. Answers what the device loop saw.
DeviceCount FloorLoad(const std::string &library) {
  void *mapped = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!mapped) throw SetupError(std::string("dlopen of the component failed: ") + dlerror());
  dlclose(mapped);
  ParsePackageFile(L"vq*.xml", 2);
  ParsePackageFile(L"install.xml", 1);
  return DeviceLoop();
}

struct Sample {
  int devices = 0;
  double component = 0, floor = 0;  // ms
  long long peakBytes = 0;
  long long recordBytes = 0;     // what the device list must hold
  long long floorPeakBytes = 0;  // the floor's own peak: winsim's sets and driver lists
};

// The most heap in use at once while `run` runs, from the count at its start.
template <class F>
long long PeakHeap(F &&run) {
  heapInUse = 0;
  heapPeak = 0;
  counting = true;
  run();
  counting = false;
  return heapPeak;
}

Sample Measure(const Options &o, int count) {
  TempDir dir(o.keep);
  WriteMachine(o, count, kSupportedAdapters, dir.Path());
  OpenMachine(dir.Path());
  RequireDeviceList();
  Sample s;
  s.devices = count;
  winsim::SetProcess(kHostImage, L"\"C:\\Package\\kvnhost.exe\"", kPackageDir);
  s.component = InitialisationMilliseconds(o.repeat);
  DeviceCount seen;
  const std::string library = winsim::HostPath(kComponent).string();
  s.floor = Best(o.repeat, [&] {
    Clock::time_point t0 = Clock::now();
    seen = FloorLoad(library);
    return MillisecondsSince(t0);
  });
  if (seen.devices != count)
    throw SetupError("the floor loop saw " + std::to_string(seen.devices) + " of " + std::to_string(count));
  s.recordBytes = seen.devices * (long long)sizeof(W2KDEVINST) + seen.entries * (long long)sizeof(DeviceRecord);

  s.floorPeakBytes = PeakHeap([&] { FloorLoad(library); });
  HMODULE module = nullptr;
  s.peakBytes = PeakHeap([&] { module = LoadComponent(); });
  FreeComponent(module);
  CloseMachine();
  return s;
}

}  // namespace

double InitialisationMilliseconds(int repeat) {
  return Best(repeat, [] {
    Clock::time_point t0 = Clock::now();
    HMODULE module = LoadComponent();
    double ms = MillisecondsSince(t0);
    RequirePackageRead(module);
    Clock::time_point t1 = Clock::now();
    FreeComponent(module);
    return ms + MillisecondsSince(t1);
  });
}

void InitialisationSection(const Options &o, Report &report) {
  report.Section(
      "2 Initialisation (LoadLibraryW + FreeLibrary) against the library mapped, the package files parsed and a loop "
      "of its SetupAPI calls");
  std::vector<Sample> samples;
  for (int count : o.sizes) {
    Sample s = Measure(o, count);
    samples.push_back(s);
    std::string devices = Grouped(count) + " devices";
    report.Add(AtMost("initialisation, " + devices,
                      Fixed(s.component, 1) + " ms (" + Fixed(s.component * 1000 / count, 1) + " us/device)",
                      Fixed(s.floor, 1) + " ms", s.component / s.floor, 1.2));
    report.Add(AtMost("peak heap of the load, " + devices, Fixed(double(s.peakBytes) / count, 0) + " B/device",
                      "records " + Fixed(double(s.recordBytes) / count, 0) + " B/device (" +
                          std::to_string(sizeof(W2KDEVINST)) + " + " + std::to_string(sizeof(DeviceRecord)) +
                          " B/entry); the floor's " + Fixed(double(s.floorPeakBytes) / count, 0) + " B/device",
                      double(s.peakBytes) / double(s.recordBytes), 1.5));
  }
  // Linearity: per-device time at the largest size against that at 1,000 devices (or the
  // smallest size when there is no 1,000).
  if (samples.size() >= 2) {
    const Sample *base = &samples.front();
    for (const Sample &s : samples)
      if (s.devices == 1000) base = &s;
    const Sample &top = samples.back();
    if (top.devices > base->devices) {
      double perTop = top.component / top.devices, perBase = base->component / base->devices;
      report.Add(AtMost("per device at " + Grouped(top.devices) + " against " + Grouped(base->devices),
                        Fixed(perTop * 1000, 1) + " us", Fixed(perBase * 1000, 1) + " us", perTop / perBase, 1.3));
    }
  }
}

}  // namespace bench
