#include "plumbing/handles.h"

#include <map>
#include <set>

#include "plumbing/hooks.h"

namespace winsim {

namespace {
std::map<uintptr_t, std::shared_ptr<Object>> &Table() {
  static std::map<uintptr_t, std::shared_ptr<Object>> table;
  return table;
}
// The values of the objects closed in this process: a later use of one is reported, never
// answered, since on Windows it would reach whatever object got the value next.
std::set<uintptr_t> &Retired() {
  static std::set<uintptr_t> retired;
  return retired;
}
uintptr_t g_next = 0x100;

uintptr_t ValueOf(HANDLE h) { return reinterpret_cast<uintptr_t>(h); }
}  // namespace

HANDLE AddObject(std::shared_ptr<Object> object) {
  uintptr_t value = g_next;
  g_next += 4;
  Table()[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> FindObject(HANDLE handle, Object::Kind kind) {
  auto it = Table().find(ValueOf(handle));
  if (it == Table().end()) {
    if (Retired().count(ValueOf(handle))) UsedAfterClose(handle);
    return nullptr;
  }
  return it->second->kind == kind ? it->second : nullptr;
}

bool RemoveObject(HANDLE handle, Object::Kind kind) {
  auto it = Table().find(ValueOf(handle));
  if (it == Table().end()) {
    if (Retired().count(ValueOf(handle))) UsedAfterClose(handle);
    return false;
  }
  if (it->second->kind != kind) return false;
  Table().erase(it);
  Retired().insert(ValueOf(handle));
  return true;
}

// The process ended: its handles are gone with it. A value from it is unknown to the next
// process (values are never given out twice), not a closed handle of its own.
void ReleaseAllObjects() {
  Table().clear();
  Retired().clear();
}

namespace detail {
void ForEach(Object::Kind kind, void (*fn)(Object &, void *), void *ctx) {
  for (auto &[value, obj] : Table())
    if (obj->kind == kind) fn(*obj, ctx);
}
}  // namespace detail

}  // namespace winsim
