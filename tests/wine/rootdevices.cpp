// rootdevices.exe: registers one root-enumerated network device per hardware ID given, as a
// prefix needs them for a capture to find adapters (a Wine prefix has no PCI bus). Prints the
// instance IDs made, one a line; exit 1 when a device could not be registered.
//   rootdevices.exe HARDWARE_ID...
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t **argv) {
  static const GUID kNetClass = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kNetClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) return 1;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    // The hardware ID as a multi-string: the text and an empty string after it.
    std::vector<wchar_t> ids(argv[i], argv[i] + std::wcslen(argv[i]) + 1);
    ids.push_back(L'\0');
    WCHAR id[MAX_DEVICE_ID_LEN] = L"";
    bool ok = SetupDiCreateDeviceInfoW(set, L"NET", &kNetClass, L"Ethernet Network Adapter", nullptr, DICD_GENERATE_ID,
                                       &device) &&
              SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<BYTE *>(ids.data()),
                                                DWORD(ids.size() * sizeof(wchar_t))) &&
              SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device) &&
              SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr);
    if (ok)
      std::wprintf(L"%ls\n", id);
    else
      status = 1;
    SetupDiDestroyDeviceInfoList(set);
  }
  return status;
}
