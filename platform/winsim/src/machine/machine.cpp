#include "machine/machine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "machine/devices.h"
#include "machine/services.h"
#include "plumbing/handles.h"
#include "plumbing/hooks.h"
#include "kernel32/modules.h"
#include "base/names.h"
#include "plumbing/paths.h"
#include "machine/regfile.h"

namespace winsim {

namespace {
std::unique_ptr<Machine> g_machine;
thread_local DWORD g_lastError = 0;

int64_t HostMonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

constexpr int64_t kUnixEpochAsFiletime = 116444736000000000LL;

int64_t HostNowUtc() {
  using namespace std::chrono;
  auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  return kUnixEpochAsFiletime + us * 10;
}

const wchar_t *const kDefaultEnvironment[][2] = {
    {L"SystemRoot", L"C:\\Windows"},
    {L"windir", L"C:\\Windows"},
    {L"SystemDrive", L"C:"},
    {L"ProgramFiles", L"C:\\Program Files"},
    {L"ProgramFiles(x86)", L"C:\\Program Files (x86)"},
    {L"CommonProgramFiles", L"C:\\Program Files\\Common Files"},
    {L"ProgramData", L"C:\\ProgramData"},
    {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
    {L"TEMP", L"C:\\Windows\\Temp"},
    {L"TMP", L"C:\\Windows\\Temp"},
    {L"ComSpec", L"C:\\Windows\\system32\\cmd.exe"},
    {L"PATHEXT", L".COM;.EXE;.BAT;.CMD"},
    {L"Path", L"C:\\Windows\\system32;C:\\Windows"},
    {L"OS", L"Windows_NT"},
    {L"PROCESSOR_ARCHITECTURE", L"AMD64"},
    {L"NUMBER_OF_PROCESSORS", L"2"},
};

constexpr uint64_t kDefaultFreeDisk = 53687091200ULL;
}  // namespace

int64_t Machine::NowUtc() const {
  int64_t base = fixedClock ? clockStartUtc : clockStartUtc + (HostMonotonicMs() - hostStartMs) * 10000;
  return base + advancedMs * 10000;
}

DWORD Machine::TickCount() const {
  // The machine booted 2 hours before it was opened.
  int64_t ms = 7200000 + advancedMs + (fixedClock ? 0 : HostMonotonicMs() - hostStartMs);
  return DWORD(uint64_t(ms));
}

std::filesystem::path Machine::DriveFolder(wchar_t letter) const {
  wchar_t lower = (letter >= L'A' && letter <= L'Z') ? wchar_t(letter + 32) : letter;
  if (lower < L'a' || lower > L'z') return {};
  std::filesystem::path p = root / (std::string("drive_") + char(lower));
  std::error_code ec;
  return std::filesystem::is_directory(p, ec) ? p : std::filesystem::path{};
}

uint64_t Machine::FreeBytes(wchar_t driveLetter) const {
  std::wstring key{Upcase(driveLetter), L':'};
  auto it = freeDisk.find(key);
  return it == freeDisk.end() ? kDefaultFreeDisk : it->second;
}

void Machine::AdjustFreeBytes(wchar_t driveLetter, int64_t delta) {
  std::wstring key{Upcase(driveLetter), L':'};
  uint64_t now = FreeBytes(driveLetter);
  if (delta < 0 && uint64_t(-delta) > now)
    now = 0;
  else
    now = uint64_t(int64_t(now) + delta);
  freeDisk[key] = now;
}

bool Machine::Load(const std::filesystem::path &dir, std::string &error) {
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    error = "machine directory " + dir.string() + " does not exist";
    return false;
  }
  root = std::filesystem::absolute(dir, ec);
  std::filesystem::path file = root / "machine.toml";
  if (!ParseMachineToml(file, config, error)) return false;
  if (!std::filesystem::is_directory(root / "drive_c", ec)) {
    error = "machine directory " + root.string() + " has no drive_c folder";
    return false;
  }

  hostStartMs = HostMonotonicMs();
  for (auto &kv : kDefaultEnvironment) environment[Upcased(kv[0])] = {kv[0], kv[1]};
  configFile = file.string();
  // The mistakes of machine.toml are told together, those of [[devices]] included.
  const bool fileRead = ReadMachineFile(config, configFile, *this, error);
  if (!fixedClock) clockStartUtc = HostNowUtc();

  // The devices come after the registry: their keys are written into it.
  std::string registryError;
  if (!LoadRegistry(*this, registryError)) {
    AddMistake(error, registryError);
    return false;
  }
  if (!LoadDevices(*this, error) || !fileRead) return false;
  LoadServices(*this);
  return true;
}

bool Machine::Save(std::string &error) {
  SaveServices(*this);
  if (registry && !SaveRegistry(*this, error)) return false;
  SaveDevices(*this);
  toml::table *m = config["machine"].as_table();
  if (!m) {
    config.insert("machine", toml::table{});
    m = config["machine"].as_table();
  }
  toml::table disks;
  for (auto &[k, v] : freeDisk) disks.insert(ToUtf8(k), int64_t(v));
  m->insert_or_assign("free_disk", std::move(disks));

  toml::table attrs;
  for (auto &[k, v] : fileAttributes) attrs.insert(ToUtf8(k), int64_t(v));
  if (attrs.empty())
    config.erase("file_attributes");
  else
    config.insert_or_assign("file_attributes", std::move(attrs));
  toml::array security = FileSecurityEntries(fileSecurity);
  if (security.empty())
    config.erase("file_security");
  else
    config.insert_or_assign("file_security", std::move(security));

  std::ostringstream text;
  text << config << "\n";
  return WriteFileAtomically(root / "machine.toml", text.str(), error);
}

bool WriteFileAtomically(const std::filesystem::path &file, const std::string &content, std::string &error) {
  std::filesystem::path tmp = file;
  tmp += ".new";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
      error = "cannot write " + tmp.string();
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, file, ec);
  if (ec) {
    error = "cannot replace " + file.string() + ": " + ec.message();
    return false;
  }
  return true;
}

Machine &Current() {
  if (!g_machine) {
    std::fputs("winsim: a Win32 function was called with no machine open (winsim::OpenMachine)\n", stderr);
    std::abort();
  }
  return *g_machine;
}

bool HasMachine() { return g_machine != nullptr; }

void NotModelled(const char *function, const std::string &what) {
  std::fprintf(stderr, "winsim: %s: %s is not modelled\n", function, what.c_str());
}

void RecordPrompt(const char *function, const std::string &what) {
  if (g_machine) g_machine->prompts.push_back(std::string(function) + ": " + what);
}

std::vector<std::string> Prompts() { return g_machine ? g_machine->prompts : std::vector<std::string>(); }

bool OpenMachine(const std::filesystem::path &dir, std::string &error) {
  if (g_machine) CloseMachine(nullptr);
  auto m = std::make_unique<Machine>();
  if (!m->Load(dir, error) || !ValidateFaults(*m, error)) return false;
  g_machine = std::move(m);
  // Junctions are made on the drive once the machine can resolve its paths.
  if (!MakeDeclaredLinks(error)) {
    g_machine.reset();
    return false;
  }
  CheckConsistency(*g_machine);
  OpenCallTrace(dir.string());
  return true;
}

bool CloseMachine(std::string *error) {
  if (!g_machine) return true;
  // Process exit: libraries detach, handles close, the console goes away.
  UnloadAllModules();
  ReleaseAllObjects();
  ResetConsole();
  ResetCom();
  ReleaseHeapBlocks();
  std::string err;
  bool ok = g_machine->Save(err);
  if (!ok && error) *error = err;
  CloseCallTrace();
  g_machine.reset();
  return ok;
}

bool IsMachineOpen() { return g_machine != nullptr; }

void SetProcess(const std::wstring &imagePath, const std::wstring &commandLine, const std::wstring &currentDirectory) {
  Machine &m = Current();
  m.imagePath = imagePath;
  m.commandLine = commandLine;
  m.currentDirectory = currentDirectory;
}

std::filesystem::path HostPath(const std::wstring &windowsPath) {
  DWORD err = 0;
  std::wstring full = FullPath(windowsPath, &err);
  if (full.empty()) return {};
  Resolved r = Resolve(full);
  return r.host;
}

}  // namespace winsim

extern "C" {
DWORD WINAPI GetLastError(void) { return winsim::g_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { winsim::g_lastError = dwErrCode; }
}
