// Device property keys and types, as the SDK defines them: a DEVPROPKEY is a property set
// GUID and a property number; SetupDiGetDevicePropertyW answers a value with its DEVPROPTYPE.
#pragma once

#include "guiddef.h"
#include "windef.h"

typedef ULONG DEVPROPTYPE, *PDEVPROPTYPE;
typedef GUID DEVPROPGUID, *PDEVPROPGUID;
typedef ULONG DEVPROPID, *PDEVPROPID;

typedef struct _DEVPROPKEY {
  DEVPROPGUID fmtid;
  DEVPROPID pid;
} DEVPROPKEY, *PDEVPROPKEY;

#define DEVPROP_TYPEMOD_ARRAY 0x00001000
#define DEVPROP_TYPEMOD_LIST 0x00002000
#define DEVPROP_TYPE_EMPTY 0x00000000
#define DEVPROP_TYPE_NULL 0x00000001
#define DEVPROP_TYPE_UINT32 0x00000007
#define DEVPROP_TYPE_GUID 0x0000000D
#define DEVPROP_TYPE_FILETIME 0x00000010
#define DEVPROP_TYPE_STRING 0x00000012
#define DEVPROP_TYPE_STRING_LIST (DEVPROP_TYPE_STRING | DEVPROP_TYPEMOD_LIST)

// Every key is a constant of its own in each translation unit that includes devpkey.h, so
// including <initguid.h> first (as SDK code does in one file) changes nothing here.
#define DEFINE_DEVPROPKEY(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8, pid) \
  static const DEVPROPKEY name = {{l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}, pid}

#ifdef __cplusplus
inline bool IsEqualDevPropKey(const DEVPROPKEY &a, const DEVPROPKEY &b) { return a.pid == b.pid && a.fmtid == b.fmtid; }
#endif
