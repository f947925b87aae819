// The Windows version the registry states ("CurrentVersion" under
// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion); Windows 8.1 and later keep "6.3" there
// whatever GetVersionExW reports.
#pragma once

#include <windows.h>

// Major and minor version from "CurrentVersion"; both 0 when the value cannot be read or
// is not a number pair.
void GetOSMajorMinorVsn(WORD *major, WORD *minor);
