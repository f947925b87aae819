// A console window for the process ("/consoleout").
#pragma once

// Allocates a console, makes its buffer 500 lines high and puts the runtime's standard
// streams on it, unbuffered. Does nothing more when the console cannot be had.
void OpenProcessConsole();

// Puts the runtime's standard output, input and error streams on the process's console,
// unbuffered (console_windows.cpp, console_winsim.cpp).
void ReopenStandardStreams();
