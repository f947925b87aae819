// The operations of CInf that install what an INF declares beyond files and section
// directives: its services, the per-service settings of its ".SoftwareSettings" sections,
// the root-enumerated device of its class and the Windows NT 4 shortcuts.
//
// Not built yet: until they are, each answers failure with ERROR_CALL_NOT_IMPLEMENTED (the
// shortcuts do nothing), so an installation that needs them reports that it failed while
// its file and section steps still run.
#include "driverinstall/inf.h"

BOOL CInf::InstallServices(const WCHAR * /*section*/) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CInf::InstallSoftwareSettings(const WCHAR * /*section*/) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CInf::CreateLegacyDevice(BOOL * /*reboot*/) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CInf::CreateRootDevice(HDEVINFO * /*deviceInfoSet*/, SP_DEVINFO_DATA * /*deviceInfoData*/,
                            const WCHAR * /*deviceName*/) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

void CInf::CreateStartMenuItems() {}
