// Writes small, valid PE images (no code) that carry a VS_VERSIONINFO resource, as fixtures
// for tests and for the example driver package. Plain standard C++: it builds on Linux and
// with mingw-w64 alike.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mkpe {

// Four 16-bit parts, most significant first: {1, 2, 3, 4} is "1.2.3.4".
using Version = std::array<uint16_t, 4>;

// Parses "A.B.C.D" (exactly four decimal numbers 0-65535). False on anything else.
bool ParseVersion(std::string_view text, Version &out);
std::string FormatVersion(const Version &version);

// What the image is; sets VS_FIXEDFILEINFO.dwFileType, the DLL flag and the subsystem.
enum class FileType { App, Dll, Drv };

// PE32+ for x64 (the default), PE32 for x86.
enum class Architecture { X64, X86 };

// The contents of the version resource. Texts are UTF-8; they are stored as UTF-16LE.
// String values that are not set are left out of the string table.
struct VersionInfo {
  Version fileVersion{};
  Version productVersion{};
  std::optional<std::string> companyName;
  std::optional<std::string> fileDescription;
  std::optional<std::string> internalName;
  std::optional<std::string> originalFilename;
  std::optional<std::string> productName;
  std::optional<std::string> fileVersionText;                     // FileVersion; unset: fileVersion as "A.B.C.D"
  std::optional<std::string> productVersionText;                  // ProductVersion; unset: productVersion as "A.B.C.D"
  std::vector<std::pair<std::string, std::string>> extraStrings;  // further entries, in this order
};

// The VS_VERSIONINFO block itself: VS_FIXEDFILEINFO, StringFileInfo with the table
// "040904B0", VarFileInfo with Translation 0x0409/0x04B0. Throws std::length_error when
// the texts make it larger than a version resource can be (64 KB).
std::vector<uint8_t> BuildVersionResource(const VersionInfo &info, FileType type);

// A complete image. With `info`, one ".rsrc" section holds the version resource (type 16,
// name 1, language 0x0409); without it the image has no sections and no resource directory.
// Throws as BuildVersionResource does.
std::vector<uint8_t> BuildImage(const VersionInfo *info, FileType type, Architecture arch = Architecture::X64);

// Writes bytes to a file; false with a one-line reason in *error when it cannot (the second
// form also when the version resource would be too large).
bool WriteImage(const std::string &path, const std::vector<uint8_t> &image, std::string *error = nullptr);
bool WriteImage(const std::string &path, const VersionInfo *info, FileType type, std::string *error = nullptr,
                Architecture arch = Architecture::X64);

}  // namespace mkpe
