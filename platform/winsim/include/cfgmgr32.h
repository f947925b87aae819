// The configuration manager's device-node calls, as the SDK declares them: a device
// instance handle (DEVINST) names a device node; its status bits and problem number tell
// whether the device runs. Over the devices of the simulated machine (machine.toml
// [[devices]]); a device that is not present has no device node.
#pragma once

#include "windef.h"
#include "winbase.h"

typedef DWORD RETURN_TYPE;
typedef RETURN_TYPE CONFIGRET;
typedef DWORD DEVNODE, DEVINST;
typedef DEVNODE *PDEVNODE, *PDEVINST;
typedef HANDLE HMACHINE;
typedef WCHAR *DEVINSTID_W;

#define MAX_DEVICE_ID_LEN 200

#define CR_SUCCESS 0x00000000
#define CR_DEFAULT 0x00000001
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_BUFFER_SMALL 0x0000001A
#define CR_INVALID_MACHINENAME 0x0000002F
#define CR_CALL_NOT_IMPLEMENTED 0x00000034

// Device node status bits (CM_Get_DevNode_Status_Ex).
#define DN_ROOT_ENUMERATED 0x00000001
#define DN_DRIVER_LOADED 0x00000002
#define DN_ENUM_LOADED 0x00000004
#define DN_STARTED 0x00000008
#define DN_MANUAL 0x00000010
#define DN_NEED_TO_ENUM 0x00000020
#define DN_NOT_FIRST_TIME 0x00000040
#define DN_HARDWARE_ENUM 0x00000080
#define DN_NEED_RESTART 0x00000100
#define DN_HAS_PROBLEM 0x00000400
#define DN_FILTERED 0x00000800
#define DN_DISABLEABLE 0x00002000
#define DN_REMOVABLE 0x00004000
#define DN_PRIVATE_PROBLEM 0x00008000
#define DN_NT_ENUMERATOR 0x00800000
#define DN_NT_DRIVER 0x01000000

// Problem numbers.
#define CM_PROB_NOT_CONFIGURED 0x00000001
#define CM_PROB_FAILED_START 0x0000000A
#define CM_PROB_NEED_RESTART 0x0000000E
#define CM_PROB_FAILED_INSTALL 0x0000001C
#define CM_PROB_DISABLED 0x00000016
#define CM_PROB_DRIVER_FAILED_LOAD 0x0000001F

WINBASEAPI CONFIGRET WINAPI CM_Get_Device_ID_ExW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags,
                                                 HMACHINE hMachine);
WINBASEAPI CONFIGRET WINAPI CM_Get_DevNode_Status_Ex(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                                     ULONG ulFlags, HMACHINE hMachine);
