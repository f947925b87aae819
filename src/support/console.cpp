#include "console.h"

#include <windows.h>

#include <cstdio>
#include <iostream>

void OpenProcessConsole() {
  if (!AllocConsole()) return;
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(output, &info)) {
    COORD size = info.dwSize;
    size.Y = 500;
    SetConsoleScreenBufferSize(output, size);
  }
#ifdef _WIN32
  // The runtime's streams were bound to no console at start: re-open them on this one.
  if (std::freopen("CONOUT$", "w", stdout)) std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (std::freopen("CONIN$", "r", stdin)) std::setvbuf(stdin, nullptr, _IONBF, 0);
  if (std::freopen("CONOUT$", "w", stderr)) std::setvbuf(stderr, nullptr, _IONBF, 0);
  std::ios::sync_with_stdio(true);
#endif
  // Under winsim the console is the host's terminal, where the streams already are.
}
