// What a Win32 call of winsim leaves besides its answer: the last error, and the note of a
// call that would have shown UI on Windows.
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

// A call that would show UI on Windows: recorded in the process's prompts (winsim.h,
// Prompts()); the caller goes on as if nobody answered.
void RecordPrompt(const char *function, const std::string &what);

}  // namespace winsim
