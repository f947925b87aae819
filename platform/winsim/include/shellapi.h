// Opening a file through the shell: ShellExecuteW follows the file's association in
// HKEY_CLASSES_ROOT (".ext" -> its ProgID -> shell\VERB\command).
#pragma once

#include "windef.h"
#include "winbase.h"

// ShowWindow commands (winuser.h), as ShellExecuteW's last argument.
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

// ShellExecute's results of 32 or less: errors.
#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_DLLNOTFOUND 32
#define SE_ERR_SHARE 26
#define SE_ERR_ASSOCINCOMPLETE 27
#define SE_ERR_DDETIMEOUT 28
#define SE_ERR_DDEFAIL 29
#define SE_ERR_DDEBUSY 30
#define SE_ERR_NOASSOC 31

WINBASEAPI HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                                          LPCWSTR lpDirectory, INT nShowCmd);
