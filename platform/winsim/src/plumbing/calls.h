// What a Win32 call of winsim leaves besides its answer: the last error, and the notes
// winsim makes of a call it does not model or that would have shown UI on Windows.
#pragma once

#include <windows.h>

#include <string>

namespace winsim {

// Sets the last error and answers `value`: `return Fail(ERROR_X, FALSE);`
template <class T>
T Fail(DWORD error, T value) {
  SetLastError(error);
  return value;
}

// Says on standard error that winsim does not model a call or a case.
void NotModelled(const char *function, const std::string &what);
// A call that would show UI on Windows: recorded in the process's prompts (winsim.h,
// Prompts()); the caller goes on as if nobody answered.
void RecordPrompt(const char *function, const std::string &what);

}  // namespace winsim
