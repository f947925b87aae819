// kvncapture: a Windows machine written down as a machine directory that winsim loads. It
// reads only what the component and its INF engine read (the version, the devices and their
// drivers, the services they name, a few registry subtrees, the INF files and version
// resources of the drivers' files) through the same Win32 calls, and records what it could
// not read.
//
// The steps run in the order below; each appends to the capture and never stops the others.
// What a step could not read becomes one omission line (CAPTURE.txt lists them and the exit
// status is 1).
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace kvncapture {

struct CaptureOptions {
  bool netOnly = false;  // --devices net: only the devices of the Net setup class
  bool noFiles = false;  // --no-files: neither the INF files nor the version resources
  std::wstring package;  // --package: the driver package's folder on the captured machine
};

// Names compared without regard to case (services, registry paths, files), kept in the case
// first seen.
class NameSet {
 public:
  bool Add(const std::wstring &name);  // false when it was there already
  const std::vector<std::wstring> &Names() const { return names_; }

 private:
  std::set<std::wstring> upcased_;
  std::vector<std::wstring> names_;
};

struct CapturedFile {
  std::wstring windowsPath;  // C:\Windows\INF\oem3.inf
  std::string bytes;
};

// What the capture gathered, in the form the machine directory takes.
struct MachineCapture {
  std::string toml;       // machine.toml
  std::wstring registry;  // registry.reg's keys, after its header
  std::vector<CapturedFile> files;
  std::vector<std::string> binaries;  // binaries.txt lines
  std::vector<std::wstring> folders;  // folders of drive C: that exist (created empty)
  std::vector<std::string> omissions;
  std::vector<std::string> summary;  // what was captured, a line a part
  std::wstring computer, account;
  size_t devices = 0;

  // What the later steps look at: the services the devices and the package name, the
  // registry subtrees to export, the files whose version resources are read and the INF
  // files to copy.
  NameSet services, registryTrees, registryKeys, versionFiles, infFiles;

  void Omit(const std::string &what) { omissions.push_back(what); }
};

// Whether the process runs elevated as an administrator; a capture by another account goes
// on and says so.
bool RunsAsAdministrator();

void CaptureSystem(MachineCapture &capture);                                   // [os], [machine], [wmi]
void CaptureDevices(const CaptureOptions &options, MachineCapture &capture);   // [[devices]]
void CapturePackage(const std::wstring &packageDir, MachineCapture &capture);  // what its INF names
void CaptureServices(MachineCapture &capture);                                 // [[services]]
void CaptureRegistry(MachineCapture &capture);                                 // registry.reg
void CaptureFiles(const CaptureOptions &options, MachineCapture &capture);     // drive_c, binaries.txt

// ---- texts ------------------------------------------------------------------------------
std::string Utf8Of(const std::wstring &text);
// Equal without regard to ASCII letter case.
bool SameText(const std::wstring &a, const wchar_t *b);
// A TOML string: a literal '...' when the text allows one, else a basic "..." with escapes.
std::string TomlString(const std::wstring &text);
std::string TomlList(const std::vector<std::wstring> &texts);
// "ERROR_ACCESS_DENIED (5)"-style text of a Windows error, as the omissions name it.
std::string ErrorText(DWORD error);

// ---- registry ---------------------------------------------------------------------------
// A value of an open key, as the registry returns it: its type and data (strings as
// wchar_t, terminators included). False, with *error set, when it cannot be read.
bool ReadValue(HKEY key, const wchar_t *name, DWORD &type, std::vector<BYTE> &data, DWORD *error);
// The text of a string value (REG_SZ, REG_EXPAND_SZ), or empty.
std::wstring TextValue(HKEY root, const std::wstring &path, const wchar_t *name);
// The subkey names of an open key in the order Windows enumerates them.
std::vector<std::wstring> SubkeyNames(HKEY key, DWORD *error);

}  // namespace kvncapture
