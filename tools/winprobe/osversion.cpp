#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "probe.h"

namespace winprobe {
// ---- operating-system version record -----------------------------------------------------
// GetVersionExW by the record size it is told. The version numbers themselves differ between
// machines and are not reported; the platform is.
void ProbeVersionRecord(json &out) {
  struct SizeCase {
    const char *key;
    DWORD size;
  };
  const SizeCase cases[] = {
      {"osver.size[OSVERSIONINFOW]", DWORD(sizeof(OSVERSIONINFOW))},
      {"osver.size[OSVERSIONINFOEXW]", DWORD(sizeof(OSVERSIONINFOEXW))},
      {"osver.size[0]", 0},
      {"osver.size[OSVERSIONINFOW-1]", DWORD(sizeof(OSVERSIONINFOW) - 1)},
      {"osver.size[OSVERSIONINFOEXW+4]", DWORD(sizeof(OSVERSIONINFOEXW) + 4)},
  };
  for (const SizeCase &c : cases) {
    union {
      OSVERSIONINFOEXW ex;
      BYTE bytes[sizeof(OSVERSIONINFOEXW) + 16];
    } record;
    std::memset(&record, 0xCC, sizeof record);
    record.ex.dwOSVersionInfoSize = c.size;
    SetLastError(kSentinel);
    BOOL ok = GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&record.ex));
    DWORD error = GetLastError();
    json r = {{"ret", ok != 0}};
    if (ok) r["dwPlatformId"] = unsigned(record.ex.dwPlatformId);
    r["size_kept"] = record.ex.dwOSVersionInfoSize == c.size;
    // What changed inside the record it was told of, and past its end.
    const size_t head = sizeof record.ex.dwOSVersionInfoSize;
    const size_t end = std::min<size_t>(std::max<size_t>(c.size, head), sizeof record);
    bool inside = false, beyond = false;
    for (size_t i = head; i < sizeof record; ++i)
      if (record.bytes[i] != 0xCC) (i < end ? inside : beyond) = true;
    r["wrote_inside"] = inside;
    r["wrote_beyond"] = beyond;
    out[c.key] = r;
    out[std::string(c.key) + ".last_error"] = unsigned(error);
  }
}
}  // namespace winprobe
