// The console of the simulated process. A setup engine starts without one; AllocConsole
// gives it a console whose output goes to the host's standard error.
#include <cstdio>
#include <memory>
#include <string>

#include "plumbing/handles.h"
#include "plumbing/hooks.h"
#include "base/names.h"
#include "plumbing/calls.h"

namespace winsim {
namespace {
struct ConsoleObject : Object {
  ConsoleObject() : Object(Kind::Console) {}
  bool output = true;
};

struct ConsoleState {
  bool allocated = false;
  HANDLE in = nullptr, out = nullptr, err = nullptr;
  COORD size{80, 300};
} g_console;
}  // namespace

void ResetConsole() { g_console = ConsoleState{}; }
}  // namespace winsim

using namespace winsim;

extern "C" {

BOOL WINAPI AllocConsole(void) {
  WINSIM_ENTRY("kernel32.dll", AllocConsole, FALSE);
  if (g_console.allocated) return Fail(ERROR_ACCESS_DENIED, FALSE);
  g_console.allocated = true;
  auto in = std::make_shared<ConsoleObject>();
  in->output = false;
  g_console.in = AddObject(in);
  g_console.out = AddObject(std::make_shared<ConsoleObject>());
  g_console.err = AddObject(std::make_shared<ConsoleObject>());
  return TRUE;
}

BOOL WINAPI FreeConsole(void) {
  WINSIM_ENTRY("kernel32.dll", FreeConsole, FALSE);
  if (!g_console.allocated) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  RemoveObject(g_console.in, Object::Kind::Console);
  RemoveObject(g_console.out, Object::Kind::Console);
  RemoveObject(g_console.err, Object::Kind::Console);
  ResetConsole();
  return TRUE;
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  WINSIM_ENTRY("kernel32.dll", GetStdHandle, INVALID_HANDLE_VALUE);
  switch (nStdHandle) {
    case STD_INPUT_HANDLE: return g_console.in;
    case STD_OUTPUT_HANDLE: return g_console.out;
    case STD_ERROR_HANDLE: return g_console.err;
    default: return Fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  }
}

BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE hConsoleOutput, PCONSOLE_SCREEN_BUFFER_INFO info) {
  WINSIM_ENTRY("kernel32.dll", GetConsoleScreenBufferInfo, FALSE);
  auto c = std::static_pointer_cast<ConsoleObject>(FindObject(hConsoleOutput, Object::Kind::Console));
  if (!c || !c->output) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!info) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  info->dwSize = g_console.size;
  info->dwCursorPosition = COORD{0, 0};
  info->wAttributes = 0x07;
  info->srWindow = SMALL_RECT{0, 0, short(g_console.size.X - 1), 24};
  info->dwMaximumWindowSize = COORD{g_console.size.X, short(g_console.size.Y < 25 ? g_console.size.Y : 25)};
  return TRUE;
}

BOOL WINAPI SetConsoleScreenBufferSize(HANDLE hConsoleOutput, COORD dwSize) {
  WINSIM_ENTRY("kernel32.dll", SetConsoleScreenBufferSize, FALSE);
  auto c = std::static_pointer_cast<ConsoleObject>(FindObject(hConsoleOutput, Object::Kind::Console));
  if (!c || !c->output) return Fail(ERROR_INVALID_HANDLE, FALSE);
  // The buffer cannot be smaller than the window (80 x 25).
  if (dwSize.X < 80 || dwSize.Y < 25) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  g_console.size = dwSize;
  return TRUE;
}

BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const void *lpBuffer, DWORD n, LPDWORD written, LPVOID) {
  WINSIM_ENTRY("kernel32.dll", WriteConsoleW, FALSE);
  auto c = std::static_pointer_cast<ConsoleObject>(FindObject(hConsoleOutput, Object::Kind::Console));
  if (!c || !c->output) return Fail(ERROR_INVALID_HANDLE, FALSE);
  std::wstring text(static_cast<const wchar_t *>(lpBuffer), n);
  std::fputs(ToUtf8(text).c_str(), stderr);
  if (written) *written = n;
  return TRUE;
}

}  // extern "C"
