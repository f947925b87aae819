#include "plumbing/calls.h"

#include "machine/machine.h"
#include "machine/process.h"

namespace winsim {

namespace {
thread_local DWORD g_lastError = 0;
}  // namespace

void RecordPrompt(const char *function, const std::string &what) {
  if (HasMachine()) Process().prompts.push_back(std::string(function) + ": " + what);
}

}  // namespace winsim

extern "C" {
DWORD WINAPI GetLastError(void) { return winsim::g_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { winsim::g_lastError = dwErrCode; }
}
