// Version resources of PE files: GetFileVersionInfoSizeW, GetFileVersionInfoW, VerQueryValueW.
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

#include "files.h"
#include "hooks.h"
#include "machine.h"
#include "names.h"
#include "peimage.h"

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

}  // extern "C"
