// registry.reg: the machine's registry in regedit's text format, read when the machine
// opens and written back when it closes.
//
// Read: "Windows Registry Editor Version 5.00" first; UTF-8 (with or without BOM) or
// UTF-16LE with BOM; LF or CRLF. [ROOT\path] opens (creating) a key, [-ROOT\path] deletes it
// with everything below; roots are HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT,
// HKEY_USERS, HKEY_CURRENT_CONFIG or their short forms (HKLM, ...). Values: "name" or @ (the
// default value) = "text" (escapes \\ \" \n \r), dword:xxxxxxxx, hex:bytes (REG_BINARY),
// hex(N):bytes for type N (hex(2) expand strings and hex(7) multi-strings as UTF-16LE bytes,
// hex(b) qwords), or - to delete the value. Hex data continues over lines that end with '\'.
// Lines starting with ';' are comments; text after ';' ends a value or key line.
//
// Written (canonical form): UTF-8 without BOM, CRLF line ends as regedit writes them; the
// header and a blank line, then the keys depth first with subkeys in the order Windows
// enumerates them (sorted without regard to case), roots in the order HKEY_CURRENT_USER,
// HKEY_LOCAL_MACHINE, HKEY_USERS. Volatile keys are never written, nor are the keys winsim
// created as parents of its own keys unless they hold something. A key is written when it
// has values or no saved subkeys (a key without values that has subkeys is implied by their
// paths; a root only with values). Each key is its [path] line, its values in enumeration
// order, and a blank line. A REG_SZ of printable text with
// one terminator is "text"; a REG_DWORD of 4 bytes is dword:; everything else is hex, broken
// after the comma that reaches column 77 with "\" and continued with two spaces, as regedit
// does. Loading a canonical file and saving it reproduces it byte for byte.
#pragma once

#include <string>

namespace winsim {

class RegistryTree;

// Applies a registry.reg text to the registry. On a syntax error answers false with
// "<fileName>:<line>: <reason>" (the registry then holds the lines before it).
bool ParseRegFile(const std::string &bytes, const std::string &fileName, RegistryTree &registry, std::string &error);

// The canonical text of the whole registry.
std::string WriteRegFile(const RegistryTree &registry);

}  // namespace winsim
