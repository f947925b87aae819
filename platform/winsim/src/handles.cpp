#include "handles.h"

#include <map>

namespace winsim {

namespace {
std::map<uintptr_t, std::shared_ptr<Object>> &Table() {
  static std::map<uintptr_t, std::shared_ptr<Object>> table;
  return table;
}
uintptr_t g_next = 0x100;
}  // namespace

HANDLE AddObject(std::shared_ptr<Object> object) {
  uintptr_t value = g_next;
  g_next += 4;
  Table()[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> FindObject(HANDLE handle, Object::Kind kind) {
  auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
  if (it == Table().end() || it->second->kind != kind) return nullptr;
  return it->second;
}

bool RemoveObject(HANDLE handle, Object::Kind kind) {
  auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
  if (it == Table().end() || it->second->kind != kind) return false;
  Table().erase(it);
  return true;
}

void ReleaseAllObjects() { Table().clear(); }

namespace detail {
void ForEach(Object::Kind kind, void (*fn)(Object &, void *), void *ctx) {
  for (auto &[value, obj] : Table())
    if (obj->kind == kind) fn(*obj, ctx);
}
}  // namespace detail

}  // namespace winsim
