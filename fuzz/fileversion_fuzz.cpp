// The version-resource reader on arbitrary PE bytes: what the component reads of a file
// (CFileVersion), and the version calls underneath with the answers checked to lie inside
// the block they were read from.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzzmachine.h"
#include "support/fileversion.h"

namespace {

const wchar_t kPath[] = L"C:\\Fuzz\\input.dll";

// Queries `subBlock`; a value it answers must lie inside `block` (`unit` bytes a length unit).
void Query(const std::vector<BYTE> &block, const WCHAR *subBlock, size_t unit) {
  LPVOID value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), subBlock, &value, &length) || !value) return;
  auto at = static_cast<const BYTE *>(value);
  if (at < block.data() || at + size_t(length) * unit > block.data() + block.size())
    fuzz::Fail("a version value lies outside its block");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::EnsureMachine();
  fuzz::WriteMachineFile(kPath, fuzz::Bytes(data, size));

  CFileVersion version(kPath);
  (void)version.GetFileVersionText();
  (void)version.GetProductVersionText();

  DWORD ignored = 0;
  DWORD blockSize = GetFileVersionInfoSizeW(kPath, &ignored);
  if (blockSize == 0 || blockSize > (1u << 24)) return 0;
  std::vector<BYTE> block(blockSize);
  if (!GetFileVersionInfoW(kPath, 0, blockSize, block.data())) return 0;
  Query(block, L"\\", 1);
  Query(block, L"\\VarFileInfo\\Translation", 1);
  LPVOID translation = nullptr;
  UINT length = 0;
  if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translation, &length) && translation &&
      length >= 4) {
    DWORD first = 0;
    std::memcpy(&first, translation, sizeof first);
    WCHAR key[64];
    std::swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\CompanyName", unsigned(first & 0xFFFF), unsigned(first >> 16));
    Query(block, key, sizeof(WCHAR));
  }
  Query(block, L"\\StringFileInfo\\040904b0\\InternalName", sizeof(WCHAR));
  return 0;
}
