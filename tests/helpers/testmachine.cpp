#include "testmachine.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>
#include <sstream>
#include <stdexcept>

#include <pewriter.h>
#include <windows.h>
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

// "Administrators protected: <sid>=<mask> ..." of a folder, as its security reads back.
std::wstring RegistryText(const std::wstring &key, const wchar_t *value) {
  WCHAR data[512] = {};
  DWORD size = sizeof data, type = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size)) return L"";
  if (type == REG_DWORD) {
    DWORD number = 0;
    std::memcpy(&number, data, sizeof number);
    return std::to_wstring(number);
  }
  std::wstring text(data, size / sizeof(WCHAR));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  for (wchar_t &c : text)
    if (c == L'\0') c = L'|';
  return text;
}

std::string FileSecurityText(const std::wstring &path) {
  DWORD needed = 0;
  GetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::vector<BYTE> sd(needed ? needed : 1);
  if (!GetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, sd.data(), needed,
                        &needed))
    return "unreadable";
  auto name = [](PSID sid) {
    const BYTE *s = static_cast<const BYTE *>(sid);
    DWORD last = 0;
    std::memcpy(&last, s + 8 + 4 * (s[1] - 1), 4);
    return last == 544 ? std::string("Administrators") : last == 18 ? std::string("SYSTEM") : std::to_string(last);
  };
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorOwner(sd.data(), &owner, &defaulted);
  GetSecurityDescriptorDacl(sd.data(), &present, &dacl, &defaulted);
  WORD control = WORD(sd[2] | (sd[3] << 8));
  std::string text = name(owner) + ((control & SE_DACL_PROTECTED) ? " protected:" : ":");
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    LPVOID ace = nullptr;
    GetAce(dacl, i, &ace);
    auto *a = static_cast<ACCESS_ALLOWED_ACE *>(ace);
    text += " " + name(&a->SidStart) + "=" + std::to_string(a->Mask);
  }
  return text;
}

std::string ReadAll(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::filesystem::path &file, const std::string &bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}
