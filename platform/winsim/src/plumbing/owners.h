// Owners of the handles winsim's higher calls open on its own lower ones (the INF, registry
// and SCM calls a driver installation is built on). Each closes without disturbing the last
// error the call that owns it is about to answer.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <winsvc.h>

#include <memory>
#include <type_traits>

namespace winsim {

template <typename Handle, auto Close>
struct QuietCloser {
  void operator()(Handle handle) const {
    DWORD error = GetLastError();
    Close(handle);
    SetLastError(error);
  }
};

using InfOwner = std::unique_ptr<void, QuietCloser<HINF, SetupCloseInfFile>>;
using KeyOwner = std::unique_ptr<std::remove_pointer_t<HKEY>, QuietCloser<HKEY, RegCloseKey>>;
using ScOwner = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, QuietCloser<SC_HANDLE, CloseServiceHandle>>;

}  // namespace winsim
