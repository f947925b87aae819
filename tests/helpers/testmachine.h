// A fresh simulated machine per test: a temporary machine directory with drive C:, opened
// in winsim for the test's lifetime and removed afterwards.
#pragma once

#include <filesystem>
#include <string>

class TestMachine {
 public:
  // `toml`: the text of machine.toml (none when empty). The clock is fixed at
  // 2026-12-08 14:30:00 unless the text sets [machine] itself.
  explicit TestMachine(const std::string &toml = "");
  ~TestMachine();
  TestMachine(const TestMachine &) = delete;
  TestMachine &operator=(const TestMachine &) = delete;

  const std::filesystem::path &Dir() const { return dir_; }
  // Where a Windows path of the machine lives on the host.
  std::filesystem::path Host(const std::wstring &windowsPath) const;
  // Writes a file of the machine (creating its folders) / reads one back.
  void Write(const std::wstring &windowsPath, const std::string &content) const;
  std::string Read(const std::wstring &windowsPath) const;
  bool Exists(const std::wstring &windowsPath) const;
  // A PE file with a version resource ("A.B.C.D"); no resource when version is empty.
  void WritePe(const std::wstring &windowsPath, const std::string &version, const std::string &company = "",
               const std::string &internalName = "") const;
  // Closes the machine (its state is written back) and opens it again.
  void Reopen();
  // The simulated process: image path, command line, current directory.
  void SetProcess(const std::wstring &image, const std::wstring &commandLine, const std::wstring &cwd) const;

 private:
  std::filesystem::path dir_;
};

// A file's or folder's owner and access list as GetFileSecurityW reads them on the open
// machine: "Administrators protected: Administrators=2032127 SYSTEM=2032127" (accounts by
// their last sub-authority when not these two; "protected" when nothing is inherited).
std::string FileSecurityText(const std::wstring &path);

// A value under HKEY_LOCAL_MACHINE as text: a DWORD in decimal, strings as stored (unexpanded)
// with the NULs inside a list read as "|"; empty when the value cannot be read.
std::wstring RegistryText(const std::wstring &key, const wchar_t *value);

// A host file's bytes (empty when it cannot be read), and a host file written whole.
std::string ReadAll(const std::filesystem::path &file);
void WriteAll(const std::filesystem::path &file, const std::string &bytes);

// The built component library, placed in the machine at `windowsPath`.
void InstallComponent(const TestMachine &machine, const std::wstring &windowsPath);
