// Version resources of PE files: GetFileVersionInfoSizeW, GetFileVersionInfoW, VerQueryValueW.
#include "machine.h"

using namespace winsim;

extern "C" {

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR, LPDWORD lpdwHandle) {
  if (lpdwHandle) *lpdwHandle = 0;
  NotModelled("GetFileVersionInfoSizeW", "reading version resources");
  return Fail(ERROR_CALL_NOT_IMPLEMENTED, 0u);
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) {
  NotModelled("GetFileVersionInfoW", "reading version resources");
  return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

BOOL WINAPI VerQueryValueW(LPCVOID, LPCWSTR, LPVOID *, PUINT) {
  NotModelled("VerQueryValueW", "reading version resources");
  return Fail(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

}  // extern "C"
