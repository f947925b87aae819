// Version resources of PE files: GetFileVersionInfoSizeW, GetFileVersionInfoW, VerQueryValueW;
// and VerInstallFileW, which installs a file through a temporary copy beside its target.
//
// The resource keeps its texts in UTF-16, but WCHAR is wchar_t, 4 bytes wide here, and
// VerQueryValueW must answer string values as pointers into the caller's block. So the
// block GetFileVersionInfoW fills has, behind the resource itself, a "wide shadow" of it:
//
//   [0, raw)                  the VS_VERSIONINFO resource as the file holds it (raw = its wLength)
//   [align4(raw), +16)        BlockHeader: signature, raw size, shadow offset, total size
//   [shadow, total)           raw / 2 + 1 wchar_t
//
// Every text value that starts at byte `o` of the resource is stored converted (surrogate
// pairs joined) and NUL-terminated at shadow[o / 2]. A value of n UTF-16 units takes at
// most n + 1 places there, and the next value of the tree starts at least a block header
// (three units) after it ends, so the shadow texts never overlap. Binary values (the
// VS_FIXEDFILEINFO, Translation) are answered from the resource part, as on Windows.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <winver.h>

#include "kernel32/files.h"
#include "plumbing/hooks.h"
#include "base/names.h"
#include "base/peimage.h"
#include "plumbing/calls.h"

using namespace winsim;

namespace {

constexpr uint32_t kBlockSignature = 0x49565357;  // "WSVI"
constexpr size_t kNodeHeaderSize = 6;             // wLength, wValueLength, wType

struct BlockHeader {
  uint32_t signature;
  uint32_t rawSize;
  uint32_t shadowOffset;
  uint32_t totalSize;
};

size_t Align4(size_t value) { return (value + 3) & ~size_t(3); }

struct Layout {
  size_t raw, header, shadow, total;
};

Layout LayoutFor(size_t raw) {
  Layout l;
  l.raw = raw;
  l.header = Align4(raw);
  l.shadow = l.header + sizeof(BlockHeader);
  l.total = l.shadow + (raw / 2 + 1) * sizeof(wchar_t);
  return l;
}

uint16_t Word(const uint8_t *p, size_t at) { return uint16_t(p[at] | uint16_t(p[at + 1]) << 8); }

// One block of the version tree: wLength, wValueLength, wType, key, value, children.
struct Node {
  size_t offset = 0;
  size_t end = 0;  // offset + wLength
  uint16_t valueLength = 0;
  bool text = false;  // wType 1: wValueLength counts UTF-16 units, else bytes
  size_t keyOffset = 0;
  size_t keyUnits = 0;  // without the terminator
  size_t valueOffset = 0;
  size_t valueBytes = 0;  // wValueLength in bytes, cut to what the block holds
  size_t children = 0;    // where the first child would start
};

// Reads the block at `offset`, which must lie within `limit` (its parent's end) and carry a
// terminated key. Values and children are cut to the block's own length.
bool ReadNode(const uint8_t *raw, size_t offset, size_t limit, Node &n) {
  if (offset > limit || limit - offset < kNodeHeaderSize) return false;
  size_t length = Word(raw, offset);
  if (length < kNodeHeaderSize || length > limit - offset) return false;
  n.offset = offset;
  n.end = offset + length;
  n.valueLength = Word(raw, offset + 2);
  n.text = Word(raw, offset + 4) == 1;
  n.keyOffset = offset + kNodeHeaderSize;
  size_t at = n.keyOffset;
  for (;; at += 2) {
    if (at + 2 > n.end) return false;
    if (Word(raw, at) == 0) break;
  }
  n.keyUnits = (at - n.keyOffset) / 2;
  n.valueOffset = std::min(Align4(at + 2), n.end);
  size_t wanted = n.text ? size_t(n.valueLength) * 2 : n.valueLength;
  n.valueBytes = std::min(wanted, n.end - n.valueOffset);
  n.children = std::min(Align4(n.valueOffset + n.valueBytes), n.end);
  return true;
}

// Calls visit(child) for the children of `parent` in order until it answers false; a
// child that does not fit ends the list. Children start on DWORD boundaries.
template <class Visit>
void ForEachChild(const uint8_t *raw, const Node &parent, Visit visit) {
  Node child;
  for (size_t at = parent.children; ReadNode(raw, at, parent.end, child); at = Align4(child.end))
    if (!visit(child)) return;
}

// UTF-16 units as wide text, up to the first NUL, surrogate pairs joined.
std::wstring Widen(const uint8_t *raw, size_t at, size_t units) {
  std::wstring out;
  for (size_t k = 0; k < units; ++k) {
    uint32_t u = Word(raw, at + 2 * k);
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units) {
      uint32_t low = Word(raw, at + 2 * k + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out += wchar_t(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++k;
        continue;
      }
    }
    out += wchar_t(u);
  }
  return out;
}

// The shadow of a resource: every text value, wide and terminated, at its place.
std::vector<wchar_t> BuildShadow(const uint8_t *raw, size_t rawSize) {
  std::vector<wchar_t> shadow(rawSize / 2 + 1, L'\0');
  Node root;
  if (!ReadNode(raw, 0, rawSize, root)) return shadow;
  // Children lie strictly inside their parents and siblings do not overlap, so this visits
  // each block once; an explicit stack keeps deep (hostile) nesting off the call stack.
  std::vector<Node> pending{root};
  while (!pending.empty()) {
    Node n = pending.back();
    pending.pop_back();
    if (n.text) {
      std::wstring value = Widen(raw, n.valueOffset, n.valueBytes / 2);
      std::copy(value.begin(), value.end(), shadow.begin() + n.valueOffset / 2);
      shadow[n.valueOffset / 2 + value.size()] = L'\0';
    }
    ForEachChild(raw, n, [&](const Node &child) {
      pending.push_back(child);
      return true;
    });
  }
  return shadow;
}

// Reads the file and finds its VS_VERSIONINFO: the resource's bytes, cut to its wLength.
bool LoadVersionResource(LPCWSTR path, std::string &file, std::string_view &resource, DWORD *error) {
  if (!ReadWholeFile(path, file, error)) return false;
  std::string_view data;
  if (DWORD err = FindResourceData(file, kRtVersion, data)) {
    *error = err;
    return false;
  }
  size_t length = data.size() >= 2 ? Word(reinterpret_cast<const uint8_t *>(data.data()), 0) : 0;
  if (length < kNodeHeaderSize || length > data.size()) {
    *error = ERROR_BAD_FORMAT;
    return false;
  }
  resource = data.substr(0, length);
  return true;
}

// The VIF_* bit that tells why a file call failed, as VerInstallFileW adds it.
DWORD VifOfError(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED: return VIF_ACCESSVIOLATION;
    case ERROR_SHARING_VIOLATION: return VIF_SHARINGVIOLATION;
    default: return 0;
  }
}

std::wstring JoinPath(const std::wstring &dir, const std::wstring &name) {
  return (!dir.empty() && dir.back() == L'\\') ? dir + name : dir + L"\\" + name;
}

bool IsFile(const std::wstring &path) {
  DWORD attrs = GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

// What VerInstallFileW compares of two files: the fixed part of the version resource and
// its first translation, read through the version calls.
struct VersionFacts {
  VS_FIXEDFILEINFO fixed{};
  bool hasTranslation = false;
  uint16_t language = 0, codePage = 0;
};

bool ReadVersionFacts(const std::wstring &path, VersionFacts &facts) {
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
  if (!size) return false;
  std::vector<uint8_t> block(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return false;
  void *value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) return false;
  std::memcpy(&facts.fixed, value, sizeof facts.fixed);
  if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
    facts.language = Word(static_cast<const uint8_t *>(value), 0);
    facts.codePage = Word(static_cast<const uint8_t *>(value), 2);
    facts.hasTranslation = true;
  }
  return true;
}

// The conflicts that keep an unforced installation from replacing `dest` by `temp`.
DWORD VersionConflicts(const std::wstring &dest, const std::wstring &temp) {
  VersionFacts old, fresh;
  if (!ReadVersionFacts(dest, old)) return 0;
  if (!ReadVersionFacts(temp, fresh)) return VIF_MISMATCH | VIF_SRCOLD;
  DWORD result = 0;
  const VS_FIXEDFILEINFO &a = old.fixed, &b = fresh.fixed;
  if (a.dwFileVersionMS > b.dwFileVersionMS ||
      (a.dwFileVersionMS == b.dwFileVersionMS && a.dwFileVersionLS > b.dwFileVersionLS))
    result |= VIF_MISMATCH | VIF_SRCOLD;
  if (a.dwFileType != b.dwFileType || a.dwFileSubtype != b.dwFileSubtype) result |= VIF_MISMATCH | VIF_DIFFTYPE;
  if (old.hasTranslation && fresh.hasTranslation) {
    if (old.language != fresh.language) result |= VIF_MISMATCH | VIF_DIFFLANG;
    if (old.codePage != fresh.codePage) result |= VIF_MISMATCH | VIF_DIFFCODEPG;
  }
  return result;
}

// Copies the open source into the existing file `to`; 0, or the VIF_* bits of the failure
// with `to` deleted again.
DWORD CopyInto(HANDLE source, const std::wstring &to) {
  HANDLE out = CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    DeleteFileW(to.c_str());
    return VIF_CANNOTCREATE | VifOfError(error);
  }
  DWORD result = 0;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    DWORD got = 0, put = 0;
    if (!ReadFile(source, buffer.data(), DWORD(buffer.size()), &got, nullptr)) {
      result = VIF_CANNOTREADSRC;
      break;
    }
    if (got == 0) break;
    if (!WriteFile(out, buffer.data(), got, &put, nullptr) || put != got) {
      DWORD error = GetLastError();
      result = (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) ? VIF_OUTOFSPACE
                                                                             : VIF_CANNOTCREATE | VifOfError(error);
      break;
    }
  }
  CloseHandle(out);
  if (result) DeleteFileW(to.c_str());
  return result;
}

}  // namespace

extern "C" {

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
  WINSIM_ENTRY("version.dll", GetFileVersionInfoSizeW, 0u, lptstrFilename);
  if (lpdwHandle) *lpdwHandle = 0;
  if (!lptstrFilename) return Fail(ERROR_INVALID_PARAMETER, 0u);
  std::string file;
  std::string_view resource;
  DWORD err = 0;
  if (!LoadVersionResource(lptstrFilename, file, resource, &err)) return Fail(err, 0u);
  return DWORD(LayoutFor(resource.size()).total);
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD, DWORD dwLen, LPVOID lpData) {
  WINSIM_ENTRY("version.dll", GetFileVersionInfoW, FALSE, lptstrFilename);
  if (!lptstrFilename || !lpData) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string file;
  std::string_view resource;
  DWORD err = 0;
  if (!LoadVersionResource(lptstrFilename, file, resource, &err)) return Fail(err, FALSE);
  Layout l = LayoutFor(resource.size());
  if (dwLen < l.total) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);

  auto *block = static_cast<uint8_t *>(lpData);
  std::memcpy(block, resource.data(), l.raw);
  std::memset(block + l.raw, 0, l.header - l.raw);
  BlockHeader header{kBlockSignature, uint32_t(l.raw), uint32_t(l.shadow), uint32_t(l.total)};
  std::memcpy(block + l.header, &header, sizeof header);
  std::vector<wchar_t> shadow = BuildShadow(block, l.raw);
  // memcpy: the caller's block need not be aligned for wchar_t.
  std::memcpy(block + l.shadow, shadow.data(), shadow.size() * sizeof(wchar_t));
  return TRUE;
}

BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID *lplpBuffer, PUINT puLen) {
  WINSIM_ENTRY("version.dll", VerQueryValueW, FALSE, lpSubBlock);
  if (!pBlock || !lpSubBlock || !lplpBuffer || !puLen) return Fail(ERROR_INVALID_PARAMETER, FALSE);

  // Only a block GetFileVersionInfoW filled is understood: its header must agree with the
  // resource's length. Everything read below stays within that length.
  auto *block = static_cast<const uint8_t *>(pBlock);
  Layout l = LayoutFor(Word(block, 0));
  BlockHeader header;
  std::memcpy(&header, block + l.header, sizeof header);
  if (header.signature != kBlockSignature || header.rawSize != l.raw || header.shadowOffset != l.shadow ||
      header.totalSize != l.total)
    return Fail(ERROR_INVALID_PARAMETER, FALSE);

  auto notFound = [&] {
    *lplpBuffer = nullptr;
    *puLen = 0;
    return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND, FALSE);
  };
  Node node;
  if (!ReadNode(block, 0, l.raw, node)) return notFound();
  // "\StringFileInfo\040904B0\CompanyName": keys separated by backslashes, compared
  // without regard to case; empty keys (leading, doubled or trailing backslashes) are skipped.
  std::wstring_view path(lpSubBlock);
  size_t at = 0;
  while (at < path.size()) {
    size_t stop = std::min(path.find(L'\\', at), path.size());
    std::wstring_view key = path.substr(at, stop - at);
    at = stop + 1;
    if (key.empty()) continue;
    bool found = false;
    Node next;
    ForEachChild(block, node, [&](const Node &child) {
      found = EqualNoCase(Widen(block, child.keyOffset, child.keyUnits), key);
      if (found) next = child;
      return !found;
    });
    if (!found) return notFound();
    node = next;
  }

  if (node.text) {
    *lplpBuffer = const_cast<uint8_t *>(block + l.shadow + node.valueOffset / 2 * sizeof(wchar_t));
    *puLen = UINT(std::min<size_t>(node.valueLength, node.valueBytes / 2));
  } else {
    *lplpBuffer = const_cast<uint8_t *>(block + node.valueOffset);
    *puLen = UINT(node.valueBytes);
  }
  return TRUE;
}

// The result bits say what failed; a fault injected into it is answered as its result.
DWORD WINAPI VerInstallFileW(DWORD uFlags, LPCWSTR szSrcFileName, LPCWSTR szDestFileName, LPCWSTR szSrcDir,
                             LPCWSTR szDestDir, LPCWSTR szCurDir, LPWSTR szTmpFile, PUINT puTmpFileLen) {
  WINSIM_ENTRY_STATUS("version.dll", VerInstallFileW, szSrcFileName, szDestFileName, szSrcDir, szDestDir);
  if (!szSrcFileName || !szSrcDir) return VIF_CANNOTREADSRC;
  if (!szDestFileName || !*szDestFileName) return VIF_CANNOTCREATE;
  // A missing temporary-name buffer is one that no name fits.
  UINT capacity = (szTmpFile && puTmpFileLen) ? *puTmpFileLen : 0;
  std::wstring destDir = (szDestDir && *szDestDir) ? szDestDir : szSrcDir;
  std::wstring dest = JoinPath(destDir, szDestFileName);

  HANDLE source = CreateFileW(JoinPath(szSrcDir, szSrcFileName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (source == INVALID_HANDLE_VALUE) return VIF_CANNOTREADSRC;
  struct CloseSource {
    HANDLE h;
    ~CloseSource() { CloseHandle(h); }
  } closeSource{source};

  DWORD destAttrs = GetFileAttributesW(dest.c_str());
  bool destExists = destAttrs != INVALID_FILE_ATTRIBUTES && !(destAttrs & FILE_ATTRIBUTE_DIRECTORY);
  if (destExists && (destAttrs & FILE_ATTRIBUTE_READONLY)) return VIF_WRITEPROT;

  // A forced installation reuses the temporary copy an earlier call left and named.
  std::wstring temp;
  if ((uFlags & VIFF_FORCEINSTALL) && capacity && szTmpFile[0]) {
    std::wstring earlier(szTmpFile, std::find(szTmpFile, szTmpFile + capacity, L'\0'));
    if (IsFile(JoinPath(destDir, earlier))) temp = JoinPath(destDir, earlier);
  }
  if (temp.empty()) {
    WCHAR name[MAX_PATH] = L"";
    if (!GetTempFileNameW(destDir.c_str(), L"VER", 0, name)) return VIF_CANNOTCREATE | VifOfError(GetLastError());
    temp = name;
    if (DWORD failed = CopyInto(source, temp)) return failed;
  }

  DWORD result = 0;
  if (!(uFlags & VIFF_FORCEINSTALL) && destExists) result |= VersionConflicts(dest, temp);
  if (destExists && InUseError(dest)) result |= VIF_FILEINUSE;
  if (result) {
    // The copy stays for the caller, named in its buffer when the name fits.
    std::wstring name = temp.substr(temp.rfind(L'\\') + 1);
    if (capacity < name.size() + 1) {
      DeleteFileW(temp.c_str());
      if (puTmpFileLen) *puTmpFileLen = UINT(name.size() + 1);
      return result | VIF_BUFFTOOSMALL;
    }
    name.copy(szTmpFile, name.size());
    szTmpFile[name.size()] = L'\0';
    *puTmpFileLen = UINT(name.size() + 1);
    return result | VIF_TEMPFILE;
  }

  if (destExists && !DeleteFileW(dest.c_str())) {
    result = VIF_CANNOTDELETE | VifOfError(GetLastError());
    DeleteFileW(temp.c_str());
    return result;
  }
  if (!(uFlags & VIFF_DONTDELETEOLD) && szCurDir && *szCurDir && !EqualNoCase(szCurDir, destDir)) {
    std::wstring current = JoinPath(szCurDir, szDestFileName);
    if (IsFile(current) && !DeleteFileW(current.c_str())) result |= VIF_CANNOTDELETECUR | VifOfError(GetLastError());
  }
  if (!MoveFileW(temp.c_str(), dest.c_str())) {
    result |= VIF_CANNOTRENAME | VifOfError(GetLastError());
    DeleteFileW(temp.c_str());
  }
  return result;
}

}  // extern "C"
