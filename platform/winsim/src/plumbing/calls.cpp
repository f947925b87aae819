#include "plumbing/calls.h"

#include <cstdio>

#include "machine/machine.h"
#include "machine/process.h"

namespace winsim {

namespace {
thread_local DWORD g_lastError = 0;
}  // namespace

void NotModelled(const char *function, const std::string &what) {
  std::fprintf(stderr, "winsim: %s: %s is not modelled\n", function, what.c_str());
}

void RecordPrompt(const char *function, const std::string &what) {
  if (HasMachine()) Process().prompts.push_back(std::string(function) + ": " + what);
}

}  // namespace winsim

extern "C" {
DWORD WINAPI GetLastError(void) { return winsim::g_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { winsim::g_lastError = dwErrCode; }
}
