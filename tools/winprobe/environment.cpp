#include <windows.h>

#include <algorithm>
#include <string>

#include "probe.h"

namespace winprobe {
// ---- environment -------------------------------------------------------------------------
void ProbeEnvironment(json &out) {
  SetLastError(kSentinel);
  out["env.set[KvnProbe]"] = Status(SetEnvironmentVariableW(L"KvnProbe", L"Value1") != 0);
  SetEnvironmentVariableW(L"KvnEmpty", L"");
  SetEnvironmentVariableW(L"KvnGone", L"x");
  SetLastError(kSentinel);
  out["env.delete[KvnGone]"] = Status(SetEnvironmentVariableW(L"KvnGone", nullptr) != 0);
  SetLastError(kSentinel);
  out["env.set[a=b]"] = Status(SetEnvironmentVariableW(L"a=b", L"x") != 0);

  const wchar_t *const inputs[] = {L"%KvnProbe%",
                                   L"%KVNPROBE%",
                                   L"%kvnprobe%",
                                   L"%unknown_var%",
                                   L"a%KvnProbe%b%unknown%c",
                                   L"100%",
                                   L"%%",
                                   L"%KvnProbe%%KvnProbe%",
                                   L"%KvnProbe",
                                   L"KvnProbe%",
                                   L"%%KvnProbe%%",
                                   L"%unknown%KvnProbe%",
                                   L"%KvnEmpty%",
                                   L"[%KvnGone%]",
                                   L"%SystemDrive%\\vadorurev",
                                   L"no references",
                                   L""};
  for (const wchar_t *in : inputs) {
    WCHAR buffer[256];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    SetLastError(kSentinel);
    DWORD n = ExpandEnvironmentStringsW(in, buffer, 256);
    json r = {{"ret", unsigned(n)}};
    if (n == 0) r["error"] = unsigned(GetLastError());
    if (n > 0 && n <= 256) r["text"] = Utf8(buffer);
    out["env.expand[" + KeyText(in) + "]"] = r;
  }

  // Too small: the size needed comes back, including the terminator.
  WCHAR small[3];
  out["env.expand_small[%KvnProbe%,3]"] = unsigned(ExpandEnvironmentStringsW(L"%KvnProbe%", small, 3));
  out["env.expand_size[%KvnProbe%,0]"] = unsigned(ExpandEnvironmentStringsW(L"%KvnProbe%", nullptr, 0));

  WCHAR value[64] = L"";
  SetLastError(kSentinel);
  DWORD n = GetEnvironmentVariableW(L"kvnprobe", value, 64);
  out["env.get[kvnprobe]"] = {{"ret", unsigned(n)}, {"text", Utf8(value)}};
  SetLastError(kSentinel);
  n = GetEnvironmentVariableW(L"KvnProbe", value, 3);
  out["env.get_small[KvnProbe,3]"] = unsigned(n);
  SetLastError(kSentinel);
  n = GetEnvironmentVariableW(L"KvnGone", value, 64);
  out["env.get[KvnGone]"] = {{"ret", unsigned(n)}, {"error", unsigned(GetLastError())}};
  SetLastError(kSentinel);
  value[0] = L'#';
  n = GetEnvironmentVariableW(L"KvnEmpty", value, 64);
  DWORD error = GetLastError();
  out["env.get[KvnEmpty]"] = {{"ret", unsigned(n)}, {"error", unsigned(error)}, {"text", Utf8(value)}};
}
}  // namespace winprobe
