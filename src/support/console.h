// A console window for the process ("/consoleout").
#pragma once

// Allocates a console, makes its buffer 500 lines high and puts the runtime's standard
// streams on it, unbuffered. Does nothing more when the console cannot be had.
void OpenProcessConsole();
