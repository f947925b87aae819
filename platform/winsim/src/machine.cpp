#include "machine.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "devices.h"
#include "handles.h"
#include "hooks.h"
#include "modules.h"
#include "names.h"
#include "paths.h"
#include "regfile.h"

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

// Days from 1601-01-01 to a civil date (proleptic Gregorian calendar).
int64_t DaysFrom1601(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t daysFrom1970 = era * 146097 + doe - 719468;
  return daysFrom1970 + 134774;
}

bool ParseClock(const std::string &text, int64_t &local) {
  int y, mo, d, h = 0, mi = 0, s = 0;
  char sep = 0;
  int n = std::sscanf(text.c_str(), "%d-%d-%d%c%d:%d:%d", &y, &mo, &d, &sep, &h, &mi, &s);
  if (n != 3 && n != 7) return false;
  if (n == 7 && sep != 'T' && sep != ' ') return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || y < 1601) return false;
  local = ((DaysFrom1601(y, mo, d) * 86400 + h * 3600 + mi * 60 + s) * 10000000LL);
  return true;
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
  if (std::filesystem::exists(file, ec)) {
    try {
      config = toml::parse_file(file.string());
    } catch (const toml::parse_error &e) {
      std::ostringstream s;
      s << file.string() << ":" << e.source().begin.line << ": " << e.description();
      error = s.str();
      return false;
    }
  }
  if (!std::filesystem::is_directory(root / "drive_c", ec)) {
    error = "machine directory " + root.string() + " has no drive_c folder";
    return false;
  }

  const toml::table *m = config["machine"].as_table();
  std::string clock;
  if (m) {
    if (auto v = (*m)["computer_name"].value<std::string>()) computerName = FromUtf8(*v);
    if (auto v = (*m)["ansi_code_page"].value<int64_t>()) ansiCodePage = UINT(*v);
    if (auto v = (*m)["user_locale"].value<std::string>()) userLocale = *v;
    systemLocale = userLocale;
    if (auto v = (*m)["system_locale"].value<std::string>()) systemLocale = *v;
    if (auto v = (*m)["timezone_bias_minutes"].value<int64_t>()) timezoneBiasMinutes = int(*v);
    if (auto v = (*m)["clock"].value<std::string>()) clock = *v;
    if (auto t = (*m)["free_disk"].as_table())
      for (auto &&[k, v] : *t)
        if (auto n = v.value<int64_t>()) freeDisk[Upcased(FromUtf8(std::string(k.str())))] = uint64_t(*n);
  }

  hostStartMs = HostMonotonicMs();
  if (!clock.empty()) {
    int64_t local;
    if (!ParseClock(clock, local)) {
      error = "machine.toml: [machine] clock \"" + clock + "\" is not YYYY-MM-DDTHH:MM:SS";
      return false;
    }
    fixedClock = true;
    clockStartUtc = local + int64_t(timezoneBiasMinutes) * 600000000LL;
  } else {
    clockStartUtc = HostNowUtc();
  }

  for (auto &kv : kDefaultEnvironment) environment[Upcased(kv[0])] = {kv[0], kv[1]};
  environment[L"COMPUTERNAME"] = {L"COMPUTERNAME", computerName};
  if (auto env = config["env"].as_table())
    for (auto &&[k, v] : *env) {
      std::wstring name = FromUtf8(std::string(k.str()));
      if (auto s = v.value<std::string>()) environment[Upcased(name)] = {name, FromUtf8(*s)};
    }

  if (auto arr = config["faults"].as_array())
    for (auto &node : *arr) {
      auto t = node.as_table();
      if (!t) continue;
      Fault f;
      f.function = (*t)["function"].value_or(std::string());
      f.nth = (*t)["nth"].value_or(int64_t(0));
      f.whenArgContains = FromUtf8((*t)["when_arg_contains"].value_or(std::string()));
      f.error = uint32_t((*t)["error"].value_or(int64_t(ERROR_GEN_FAILURE)));
      if (f.function.empty()) {
        error = "machine.toml: a [[faults]] entry names no function";
        return false;
      }
      faults.push_back(f);
    }

  if (auto arr = config["locked_files"].as_array())
    for (auto &node : *arr) {
      auto t = node.as_table();
      if (!t) continue;
      LockedFile lf;
      lf.path = FromUtf8((*t)["path"].value_or(std::string()));
      lf.error = DWORD((*t)["error"].value_or(int64_t(ERROR_SHARING_VIOLATION)));
      lockedFiles.push_back(lf);
    }

  if (auto arr = config["programs"].as_array())
    for (auto &node : *arr) {
      auto t = node.as_table();
      if (!t) continue;
      ProgramSpec p;
      p.name = FromUtf8((*t)["name"].value_or(std::string()));
      p.exitCode = DWORD((*t)["exit_code"].value_or(int64_t(0)));
      p.runsMs = (*t)["runs_ms"].value_or(int64_t(0));
      p.neverExits = (*t)["never_exits"].value_or(false);
      p.raw = *t;
      programs.push_back(std::move(p));
    }

  if (auto t = config["file_attributes"].as_table())
    for (auto &&[k, v] : *t)
      if (auto n = v.value<int64_t>()) fileAttributes[FromUtf8(std::string(k.str()))] = DWORD(*n);
  // The devices come after the registry: their keys are written into it.
  return LoadRegistry(*this, error) && LoadDevices(*this, error);
}

bool Machine::Save(std::string &error) {
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

bool OpenMachine(const std::filesystem::path &dir, std::string &error) {
  if (g_machine) CloseMachine(nullptr);
  auto m = std::make_unique<Machine>();
  if (!m->Load(dir, error) || !ValidateFaults(*m, error)) return false;
  g_machine = std::move(m);
  return true;
}

bool CloseMachine(std::string *error) {
  if (!g_machine) return true;
  // Process exit: libraries detach, handles close, the console goes away.
  UnloadAllModules();
  ReleaseAllObjects();
  ResetConsole();
  std::string err;
  bool ok = g_machine->Save(err);
  if (!ok && error) *error = err;
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
