// The shell's special folders and item identifier lists, with the shell link object
// (shobjidl.h) and its class identifier (shlguid.h).
//
// winsim's special folders come from the machine's environment and Windows version: the
// all-users and the user's Start menu, Programs and desktop, the Windows and system folders
// and Program Files. A folder must exist to be given an item list, as with shell32 6.0.
#pragma once

#include "objbase.h"
#include "objidl.h"
#include "shlguid.h"
#include "shobjidl.h"
#include "shtypes.h"

#define CSIDL_DESKTOP 0x0000
#define CSIDL_PROGRAMS 0x0002
#define CSIDL_STARTMENU 0x000b
#define CSIDL_DESKTOPDIRECTORY 0x0010
#define CSIDL_COMMON_STARTMENU 0x0016
#define CSIDL_COMMON_PROGRAMS 0x0017
#define CSIDL_COMMON_DESKTOPDIRECTORY 0x0019
#define CSIDL_WINDOWS 0x0024
#define CSIDL_SYSTEM 0x0025
#define CSIDL_PROGRAM_FILES 0x0026
#define CSIDL_PROGRAM_FILES_COMMON 0x002b
#define CSIDL_FLAG_CREATE 0x8000

// The item list of a special folder, allocated with the shell's allocator (SHGetMalloc):
// E_INVALIDARG for a NULL ppidl or a folder number Windows does not have, E_FAIL when the
// folder does not exist and CSIDL_FLAG_CREATE does not ask for it to be created (or it
// cannot be). *ppidl is NULL on failure.
WINBASEAPI HRESULT WINAPI SHGetSpecialFolderLocation(HWND hwnd, int csidl, PIDLIST_ABSOLUTE *ppidl);
// The file-system path of an item list into pszPath (MAX_PATH characters). FALSE, with an
// empty pszPath, for a NULL list or one that names no file-system folder.
WINBASEAPI BOOL WINAPI SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR pszPath);
// The shell's allocator, which frees the item lists: E_INVALIDARG for a NULL ppMalloc.
WINBASEAPI HRESULT WINAPI SHGetMalloc(IMalloc **ppMalloc);
