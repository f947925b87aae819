// The kernel object table: the HANDLE values winsim gives out and the objects behind them.
// Handles are small multiples of 4, as on Windows, and are checked on every use: a value
// never given out answers null (the caller's ERROR_INVALID_HANDLE), a value that was
// closed is a simulation error (hooks.h), as its use is undefined on Windows.
#pragma once

#include <windows.h>

#include <memory>

namespace winsim {

struct Object {
  enum class Kind { File, Find, Process, Thread, Console, DeviceInfoSet, InfFile, ScManager, Service, ScLock, Token };
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  const Kind kind;
};

HANDLE AddObject(std::shared_ptr<Object> object);
// The object behind a handle when it is of that kind, else null. A closed handle stops the run.
std::shared_ptr<Object> FindObject(HANDLE handle, Object::Kind kind);
// Closes a handle of that kind; false when it is no such handle. A closed handle stops the run.
bool RemoveObject(HANDLE handle, Object::Kind kind);
// Visits every live object of a kind (used for sharing checks between open files).
template <class F>
void ForEachObject(Object::Kind kind, F &&visit);
void ReleaseAllObjects();

namespace detail {
void ForEach(Object::Kind kind, void (*fn)(Object &, void *), void *ctx);
}
template <class F>
void ForEachObject(Object::Kind kind, F &&visit) {
  detail::ForEach(
      kind, [](Object &o, void *ctx) { (*static_cast<F *>(ctx))(o); }, &visit);
}

}  // namespace winsim
