// What the probe's areas share: the sentinel, the texts of keys and results, the fixtures
// they create and the helpers more than one area reads with; and the areas themselves, one
// ProbeX function each, which main.cpp runs from one table.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "pewriter.h"
#include "utf8text.h"

using nlohmann::json;

namespace winprobe {
constexpr DWORD kSentinel = 0xDEADBEEF;

using toolcommon::Utf8;

// Text of a case's input inside its key: keys never hold blanks, so that lists of keys can
// be written one per line with a comment behind.
std::string KeyText(const std::wstring &input);

// {"ok": true} or {"ok": false, "error": GetLastError()}. Called directly on the result of
// the call under test, so nothing runs in between.
json Status(bool ok);

// ---- fixtures ----------------------------------------------------------------------------
void Fixture(bool ok, const std::wstring &what);
void WriteBytes(const std::wstring &path, const void *data, size_t size);
void WriteText(const std::wstring &path, const std::string &text);
void WriteImage(const std::wstring &path, const mkpe::VersionInfo *info, mkpe::FileType type,
                mkpe::Architecture arch = mkpe::Architecture::X64);
void MakeDirectory(const std::wstring &path);
// The contents of a file, or null when it cannot be opened.
json ReadText(const std::wstring &path);
bool Exists(const std::wstring &path);
// Removes a folder left by an earlier run, with everything in it.
void RemoveTree(const std::wstring &dir);

// ---- texts of results --------------------------------------------------------------------
// A number in upper-case hexadecimal, as temporary file names hold it: 0x1A2B is "1A2B".
std::string HexText(UINT n);
// The name with its number replaced by '#': "C:\probe\tmp\_VQ#.tmp".
std::string NameShape(const std::string &name, size_t prefixLength);
// A text with the system and Windows folders written as "%system%" and "%windir%": their
// case is the installation's (Wine's prefixes have C:\windows\system32), not something two
// correct systems agree on.
std::string WithoutWindowsFolder(const std::wstring &text);
// An HRESULT as the key's value: "0x80010106".
std::string Hr(HRESULT hr);

// ---- registry values and keys ------------------------------------------------------------
// The scratch key below HKEY_CURRENT_USER that the registry area creates and removes; the
// INF installation works in a key of its own below it.
const wchar_t *const kRegScratch = L"Software\\KvnProbe";

bool IsRegText(DWORD type);
// Data as read: text (terminators included, as "\u0000") for the string types, a number for
// REG_DWORD and REG_QWORD of their size, hexadecimal bytes otherwise.
json RegData(DWORD type, const BYTE *data, DWORD bytes);
// Deletes a key and everything below it, deepest first (RegDeleteKeyW only deletes leaves).
LSTATUS DeleteRegTree(HKEY parent, const std::wstring &path);

// ---- the areas ---------------------------------------------------------------------------
// Each adds its cases to `out` under keys of its own; a fixture it cannot create throws.
void ProbeVersions(json &out);         // versions.cpp
void ProbeEnvironment(json &out);      // environment.cpp
void ProbeTempNames(json &out);        // files.cpp
void ProbeFind(json &out);             // files.cpp
void ProbeFileOperations(json &out);   // files.cpp
void ProbeMoveFileEx(json &out);       // files.cpp
void ProbeFullPaths(json &out);        // files.cpp
void ProbeVerInstall(json &out);       // verinstall.cpp
void ProbeShellExecute(json &out);     // shell.cpp
void ProbeShell(json &out);            // shell.cpp
void ProbeProcesses(json &out);        // processes.cpp
void ProbeRegistry(json &out);         // registry.cpp
void ProbeVersionRecord(json &out);    // osversion.cpp
void ProbeMachineIdentity(json &out);  // osversion.cpp
void ProbeSetupApi(json &out);         // setupapi.cpp
void ProbeRootDevices(json &out);      // rootdevices.cpp
void ProbeInf(json &out);              // inf.cpp
void ProbeInfInstall(json &out);       // infinstall.cpp
void ProbeInfServices(json &out);      // infinstall.cpp
void ProbeCopyOemInf(json &out);       // infinstall.cpp
void ProbeServices(json &out);         // services.cpp
void ProbeSecurityCalls(json &out);    // security.cpp
void ProbeComRuntime(json &out);       // com.cpp
void ProbeWmi(json &out);              // wmi.cpp
}  // namespace winprobe
