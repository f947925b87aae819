// Security information set through a handle (advapi32's SetSecurityInfo).
#pragma once

#include "windows.h"

typedef enum _SE_OBJECT_TYPE {
  SE_UNKNOWN_OBJECT_TYPE = 0,
  SE_FILE_OBJECT,
  SE_SERVICE,
  SE_PRINTER,
  SE_REGISTRY_KEY,
  SE_LMSHARE,
  SE_KERNEL_OBJECT,
} SE_OBJECT_TYPE;

// Sets the owner and/or access list of the object an open handle names; for files and folders
// only (SE_FILE_OBJECT). The owner needs a handle opened with WRITE_OWNER, the access list one
// with WRITE_DAC. PROTECTED_DACL_SECURITY_INFORMATION keeps the object from inheriting from its
// parent, UNPROTECTED_DACL_SECURITY_INFORMATION lets it inherit again; what inherits from a
// folder takes its new entries. Answers the Windows error (ERROR_SUCCESS when set); a group or
// a SACL is not modelled (ERROR_CALL_NOT_IMPLEMENTED).
WINBASEAPI DWORD WINAPI SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                                        PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl);
