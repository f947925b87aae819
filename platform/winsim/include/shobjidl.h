// The shell link object (CLSID_ShellLink, shlguid.h): IShellLinkW with the methods winsim
// serves, and IPersistFile (objidl.h) to save it. Every method answers E_INVALIDARG for a
// NULL text; texts longer than a path (INFOTIPSIZE for the description) are refused the same way.
#pragma once

#include "objidl.h"
#include "shtypes.h"
#include "winbase.h"

DEFINE_GUID(IID_IShellLinkW, 0x000214F9, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

#define INFOTIPSIZE 1024

#define SLGP_SHORTPATH 0x1
#define SLGP_UNCPRIORITY 0x2
#define SLGP_RAWPATH 0x4

#ifdef __cplusplus
// The getters copy as much of the text as fits, always ending it (cch <= 0: E_INVALIDARG).
struct IShellLinkW : public IUnknown {
  // S_FALSE with an empty text when the link has no target.
  STDMETHOD(GetPath)(LPWSTR pszFile, int cch, WIN32_FIND_DATAW *pfd, DWORD fFlags) PURE;
  STDMETHOD(GetDescription)(LPWSTR pszName, int cch) PURE;
  STDMETHOD(SetDescription)(LPCWSTR pszName) PURE;
  STDMETHOD(GetWorkingDirectory)(LPWSTR pszDir, int cch) PURE;
  STDMETHOD(SetWorkingDirectory)(LPCWSTR pszDir) PURE;
  STDMETHOD(GetArguments)(LPWSTR pszArgs, int cch) PURE;
  STDMETHOD(SetArguments)(LPCWSTR pszArgs) PURE;
  STDMETHOD(GetShowCmd)(int *piShowCmd) PURE;
  STDMETHOD(SetShowCmd)(int iShowCmd) PURE;
  STDMETHOD(GetIconLocation)(LPWSTR pszIconPath, int cch, int *piIcon) PURE;
  STDMETHOD(SetIconLocation)(LPCWSTR pszIconPath, int iIcon) PURE;
  STDMETHOD(SetPath)(LPCWSTR pszFile) PURE;
};
typedef IShellLinkW *LPSHELLLINKW;
#endif
