#include "testmachine.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <pewriter.h>
#include <winsim.h>

namespace fs = std::filesystem;

TestMachine::TestMachine(const std::string &toml) {
  std::string pattern = (fs::temp_directory_path() / "kvn-test-machine.XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a machine directory");
  dir_ = pattern;
  fs::create_directories(dir_ / "drive_c");
  std::string text = toml;
  if (text.find("[machine]") == std::string::npos) text += "\n[machine]\nclock = \"2026-12-08T14:30:00\"\n";
  std::ofstream(dir_ / "machine.toml") << text;
  std::string error;
  if (!winsim::OpenMachine(dir_, error)) throw std::runtime_error("cannot open the test machine: " + error);
}

TestMachine::~TestMachine() {
  winsim::CloseMachine();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

fs::path TestMachine::Host(const std::wstring &windowsPath) const { return winsim::HostPath(windowsPath); }

void TestMachine::Write(const std::wstring &windowsPath, const std::string &content) const {
  fs::path p = Host(windowsPath);
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

std::string TestMachine::Read(const std::wstring &windowsPath) const {
  std::ifstream in(Host(windowsPath), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TestMachine::Exists(const std::wstring &windowsPath) const {
  std::error_code ec;
  return fs::exists(Host(windowsPath), ec);
}

void TestMachine::WritePe(const std::wstring &windowsPath, const std::string &version, const std::string &company,
                          const std::string &internalName) const {
  fs::path p = Host(windowsPath);
  fs::create_directories(p.parent_path());
  std::string error;
  if (version.empty()) {
    if (!mkpe::WriteImage(p.string(), nullptr, mkpe::FileType::Dll, &error)) throw std::runtime_error(error);
    return;
  }
  mkpe::VersionInfo info;
  if (!mkpe::ParseVersion(version, info.fileVersion)) throw std::runtime_error("bad version " + version);
  info.productVersion = info.fileVersion;
  if (!company.empty()) info.companyName = company;
  if (!internalName.empty()) info.internalName = internalName;
  if (!mkpe::WriteImage(p.string(), &info, mkpe::FileType::Dll, &error)) throw std::runtime_error(error);
}

void TestMachine::Reopen() {
  std::string error;
  if (!winsim::CloseMachine(&error)) throw std::runtime_error("cannot close the test machine: " + error);
  if (!winsim::OpenMachine(dir_, error)) throw std::runtime_error("cannot reopen the test machine: " + error);
}

void TestMachine::SetProcess(const std::wstring &image, const std::wstring &commandLine,
                             const std::wstring &cwd) const {
  winsim::SetProcess(image, commandLine, cwd);
}

void InstallComponent(const TestMachine &machine, const std::wstring &windowsPath) {
  fs::path p = machine.Host(windowsPath);
  fs::create_directories(p.parent_path());
  fs::copy_file(KVN_COMPONENT_LIBRARY, p, fs::copy_options::overwrite_existing);
}
