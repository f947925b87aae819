// The host's file helpers of the Linux tools.
#pragma once

#include <filesystem>
#include <string>

namespace hostfiles {

// A file's bytes; empty when it cannot be read.
std::string ReadAll(const std::filesystem::path &file);
// Copies a folder's contents into `to` (created when missing), replacing files of the same
// names and keeping symbolic links as links; false with a one-line reason.
bool CopyTree(const std::filesystem::path &from, const std::filesystem::path &to, std::string &error);
// The same for a machine's package: each file hard-linked into `to` where the file system
// allows (winsim gives a linked file data of its own before the machine first writes it),
// copied where it does not; symbolic links are kept as links.
bool LinkTree(const std::filesystem::path &from, const std::filesystem::path &to, std::string &error);
// One file linked (or copied) to `to`, which is replaced when it exists.
bool LinkFile(const std::filesystem::path &from, const std::filesystem::path &to, std::string &error);
// The folder of the running program (the current folder when it cannot be told).
std::filesystem::path ExecutableDirectory();

}  // namespace hostfiles
