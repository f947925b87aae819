#include "fuzzmachine.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <winsim.h>

namespace fs = std::filesystem;

namespace fuzz {
namespace {

// Held on the heap and never freed: the exit handler that removes the directory runs after
// the destructors of statics made before it was registered.
const fs::path *g_dir = nullptr;

// At exit the machine is left as it is (winsim may be gone already); its directory goes.
void RemoveMachineDir() {
  std::error_code ec;
  fs::remove_all(*g_dir, ec);
}

}  // namespace

const fs::path &MachineDir() {
  if (!g_dir) {
    std::string pattern = (fs::temp_directory_path() / "kvn-fuzz.XXXXXX").string();
    if (!mkdtemp(pattern.data())) Fail("cannot create a machine directory");
    g_dir = new fs::path(pattern);
    fs::create_directories(*g_dir / "drive_c" / "Fuzz");
    WriteHostFile(*g_dir / "machine.toml", "[machine]\nclock = \"2026-12-08T14:30:00\"\n");
    std::atexit(RemoveMachineDir);
  }
  return *g_dir;
}

void EnsureMachine() {
  if (winsim::IsMachineOpen()) return;
  std::string error;
  if (!winsim::OpenMachine(MachineDir(), error)) Fail("cannot open the fuzz machine: " + error);
  winsim::SetProcess(L"C:\\Fuzz\\fuzz.exe", L"fuzz.exe", L"C:\\Fuzz");
}

void WriteMachineFile(const std::wstring &windowsPath, std::string_view content) {
  fs::path host = winsim::HostPath(windowsPath);
  if (host.empty()) Fail("the fuzz machine has no place for " + winsim::ToUtf8(windowsPath));
  WriteHostFile(host, content);
}

void WriteHostFile(const fs::path &file, std::string_view content) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(content.data(), std::streamsize(content.size()));
  if (!out) Fail("cannot write " + file.string());
}

std::string ReadHostFile(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string_view> Split(std::string_view input, std::string_view separator, size_t parts) {
  std::vector<std::string_view> out;
  while (out.size() + 1 < parts) {
    size_t at = input.find(separator);
    if (at == std::string_view::npos) break;
    out.push_back(input.substr(0, at));
    input.remove_prefix(at + separator.size());
  }
  out.push_back(input);
  return out;
}

void Fail(const std::string &what) {
  std::fprintf(stderr, "fuzz: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace fuzz
