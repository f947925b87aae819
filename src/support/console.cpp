// The console of "/consoleout"; the part that differs between the Windows runtime and winsim
// is in console_windows.cpp and console_winsim.cpp.
#include "support/console.h"

#include <windows.h>

void OpenProcessConsole() {
  if (!AllocConsole()) return;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(output, &info)) {
    COORD size = info.dwSize;
    size.Y = 500;
    SetConsoleScreenBufferSize(output, size);
  }
  ReopenStandardStreams();
}
