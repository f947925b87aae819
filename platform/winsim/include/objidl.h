// The persistence and memory interfaces of the COM runtime, as far as winsim serves them:
// IPersistFile on the shell link object (shobjidl.h) and the shell's allocator (shlobj.h).
#pragma once

#include "unknwn.h"
#include "wtypes.h"

DEFINE_GUID(IID_IMalloc, 0x00000002, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IPersist, 0x0000010C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IPersistFile, 0x0000010B, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L
#define STGM_SHARE_DENY_NONE 0x00000040L

#ifdef __cplusplus
// Alloc answers NULL when out of memory; Free takes NULL and the blocks of Alloc and of the
// shell's item lists (giving it anything else, or a block twice, stops the run).
struct IMalloc : public IUnknown {
  STDMETHOD_(void *, Alloc)(SIZE_T cb) PURE;
  STDMETHOD_(void, Free)(void *pv) PURE;
};
typedef IMalloc *LPMALLOC;

struct IPersist : public IUnknown {
  STDMETHOD(GetClassID)(CLSID *pClassID) PURE;
};

struct IPersistFile : public IPersist {
  // S_OK when the object changed since it was last saved or loaded, else S_FALSE.
  STDMETHOD(IsDirty)() PURE;
  // Reads a file Save wrote: HRESULT_FROM_WIN32 of the file error, E_FAIL for a file of
  // another kind.
  STDMETHOD(Load)(LPCOLESTR pszFileName, DWORD dwMode) PURE;
  // Writes the object to pszFileName (NULL: the file it was loaded from or saved to with
  // fRemember); HRESULT_FROM_WIN32 of the file error, E_INVALIDARG with no file to write.
  STDMETHOD(Save)(LPCOLESTR pszFileName, BOOL fRemember) PURE;
};
typedef IPersistFile *LPPERSISTFILE;
#endif
