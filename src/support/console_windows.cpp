// The Windows runtime's standard streams on a console allocated after the process started.
#include <windows.h>

#include <cstdio>
#include <iostream>

#include "support/console.h"

void ReopenStandardStreams() {
  // The runtime's streams were bound to no console at start: re-open them on this one.
  if (std::freopen("CONOUT$", "w", stdout)) std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (std::freopen("CONIN$", "r", stdin)) std::setvbuf(stdin, nullptr, _IONBF, 0);
  if (std::freopen("CONOUT$", "w", stderr)) std::setvbuf(stderr, nullptr, _IONBF, 0);
  std::ios::sync_with_stdio(true);
}
