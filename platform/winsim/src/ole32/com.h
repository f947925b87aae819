// The COM objects winsim serves (wmi.cpp, shell.cpp) share one base: a reference count, and a life
// that outlasts the last Release, so that a use after it is caught (a simulation error, as
// for closed handles) instead of reading freed memory. Every object stays allocated until
// the machine closes.
#pragma once

#include <objbase.h>

#include <memory>
#include <string>

namespace winsim {

class ComObject {
 public:
  virtual ~ComObject() = default;
  // Stops the run when the object's last reference was already released.
  void CheckAlive() const;
  ULONG AddRefObject();
  ULONG ReleaseObject();

 private:
  ULONG refs_ = 1;
};

// Takes ownership of a new object (with one reference) until the machine closes;
// `iface` is the interface pointer handed out for it.
void KeepComObject(std::unique_ptr<ComObject> object, const void *iface);
// The object behind an interface pointer winsim gave out, or null for a pointer it did not.
ComObject *FindComObject(const void *iface);
// A new WBEM locator with one reference, as IWbemLocator (wmi.cpp).
IUnknown *CreateWbemLocator();
// A new shell link object with one reference, as IShellLinkW (shell.cpp).
IUnknown *CreateShellLink();
// Process exit: frees the blocks of the shell's allocator (shell.cpp).
void ResetShell();

// Ends the simulated process's COM: its objects, apartment and security.
void ResetCom();

}  // namespace winsim
