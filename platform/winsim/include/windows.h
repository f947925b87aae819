// winsim's stand-in for the SDK's <windows.h>: the same names, types and values, with the
// functions provided by libwinsim.so over a simulated machine.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winnls.h"
#include "winver.h"
#include "wincon.h"
#include "winnt_security.h"
#include "winreg.h"
#include "winsvc.h"
#include "sysinfoapi_sim.h"
