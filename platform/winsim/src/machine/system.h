// The Windows the machine runs: its version ([os]), its name and its locales ([machine]).
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "machine/part.h"

namespace winsim {

// [os]: the defaults are a 64-bit Windows Server 2019 Standard.
struct OsSpec {
  DWORD major = 10, minor = 0, build = 17763;
  DWORD platformId = 2;  // VER_PLATFORM_WIN32_NT
  BYTE productType = 3;  // VER_NT_SERVER
  std::wstring csdVersion;
  WORD spMajor = 0, spMinor = 0;
  WORD suiteMask = 0x0110;
  DWORD productInfo = 7;  // PRODUCT_STANDARD_SERVER
  bool serverR2 = false;
  WORD nativeArchitecture = 9;   // PROCESSOR_ARCHITECTURE_AMD64
  WORD processArchitecture = 9;  // what the simulated process runs as (ia32_on_win64: 0)
  std::optional<std::wstring> currentVersion;
  std::vector<std::wstring> missingDlls, missingExports;
};

class SystemIdentity : public MachinePart {
 public:
  OsSpec os;
  std::wstring computerName = L"SRV01";
  UINT ansiCodePage = 1252;
  std::string userLocale = "en-US";
  std::string systemLocale = "en-US";

  bool Load(MachineFile &file) override;
};

// The open machine's Windows.
SystemIdentity &System();

}  // namespace winsim
