#include "base/peimage.h"

namespace winsim {

namespace {

constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDirectoryHeaderSize = 16;
constexpr uint32_t kDirectoryEntrySize = 8;
constexpr uint32_t kDataEntrySize = 16;

// Little-endian reads from a byte range; every read is preceded by a Has() check.
struct Bytes {
  std::string_view data;

  bool Has(uint64_t offset, uint64_t size) const { return offset <= data.size() && size <= data.size() - offset; }
  uint16_t U16(uint64_t at) const { return uint16_t(uint8_t(data[at]) | uint16_t(uint8_t(data[at + 1])) << 8); }
  uint32_t U32(uint64_t at) const { return uint32_t(U16(at)) | uint32_t(U16(at + 2)) << 16; }
};

class Image {
 public:
  explicit Image(std::string_view file) : file_{file} {}

  // Reads the headers and the section table; an error code when they are not a whole PE image.
  DWORD Parse() {
    // A file that is no image at all has no resource data (what Windows answers for it);
    // an image whose headers are cut or broken is of a bad format.
    if (!file_.Has(0, 0x40) || file_.U16(0) != kDosMagic) return ERROR_RESOURCE_DATA_NOT_FOUND;
    uint64_t peHeader = file_.U32(0x3C);
    if (!file_.Has(peHeader, 4) || file_.U32(peHeader) != kPeSignature) return ERROR_RESOURCE_DATA_NOT_FOUND;
    if (!file_.Has(peHeader, 4 + 20)) return ERROR_BAD_FORMAT;
    uint64_t coff = peHeader + 4;
    sectionCount_ = file_.U16(coff + 2);
    uint32_t optionalSize = file_.U16(coff + 16);
    uint64_t optional = coff + 20;
    if (!file_.Has(optional, optionalSize) || optionalSize < 2) return ERROR_BAD_FORMAT;
    uint32_t dirCountAt, dirsAt;
    switch (file_.U16(optional)) {
      case kPe32Magic: dirCountAt = 92, dirsAt = 96; break;
      case kPe32PlusMagic: dirCountAt = 108, dirsAt = 112; break;
      default: return ERROR_BAD_FORMAT;
    }
    if (optionalSize < dirsAt) return ERROR_BAD_FORMAT;
    sizeOfHeaders_ = file_.U32(optional + 60);
    sectionTable_ = optional + optionalSize;
    if (!file_.Has(sectionTable_, uint64_t(sectionCount_) * kSectionHeaderSize)) return ERROR_BAD_FORMAT;

    uint32_t dirCount = file_.U32(optional + dirCountAt);
    if (dirCount > kResourceDirectoryIndex) {
      uint64_t entry = dirsAt + uint64_t(kResourceDirectoryIndex) * 8;
      if (entry + 8 > optionalSize) return ERROR_BAD_FORMAT;
      resourceRva_ = file_.U32(optional + entry);
      resourceSize_ = file_.U32(optional + entry + 4);
    }
    return ERROR_SUCCESS;
  }

  bool HasResources() const { return resourceRva_ != 0 && resourceSize_ != 0; }
  uint32_t ResourceRva() const { return resourceRva_; }

  // The bytes of the file behind an RVA, up to the end of what the file holds of the
  // section (or headers) it falls in. False when the RVA maps to nothing in the file.
  bool MapToEnd(uint32_t rva, std::string_view &out) const {
    for (uint32_t i = 0; i < sectionCount_; ++i) {
      uint64_t h = sectionTable_ + uint64_t(i) * kSectionHeaderSize;
      uint32_t virtualSize = file_.U32(h + 8), va = file_.U32(h + 12);
      uint32_t rawSize = file_.U32(h + 16), rawPointer = file_.U32(h + 20);
      uint64_t extent = virtualSize ? virtualSize : rawSize;
      if (rva < va || rva - uint64_t(va) >= extent) continue;
      uint64_t delta = rva - uint64_t(va);
      uint64_t inFile = extent < rawSize ? extent : rawSize;  // beyond that the loader zero-fills
      if (delta >= inFile) return false;
      return Slice(uint64_t(rawPointer) + delta, inFile - delta, out);
    }
    if (rva < sizeOfHeaders_) return Slice(rva, uint64_t(sizeOfHeaders_) - rva, out);
    return false;
  }

  // Exactly [rva, rva + size) from the file.
  bool Map(uint32_t rva, uint32_t size, std::string_view &out) const {
    std::string_view all;
    if (!MapToEnd(rva, all) || size > all.size()) return false;
    out = all.substr(0, size);
    return true;
  }

 private:
  // A piece of the file, cut short where the file ends; false when nothing of it is there.
  bool Slice(uint64_t offset, uint64_t size, std::string_view &out) const {
    if (offset >= file_.data.size()) return false;
    uint64_t available = file_.data.size() - offset;
    out = file_.data.substr(size_t(offset), size_t(size < available ? size : available));
    return true;
  }

  Bytes file_;
  uint32_t sectionCount_ = 0;
  uint64_t sectionTable_ = 0;
  uint32_t sizeOfHeaders_ = 0;
  uint32_t resourceRva_ = 0;
  uint32_t resourceSize_ = 0;
};

// One level of the resource tree: its entries, checked to lie within the resource data.
struct Directory {
  Bytes rsrc;
  uint64_t entries = 0;  // offset of the first entry
  uint32_t count = 0;

  bool Read(const Bytes &bytes, uint64_t offset) {
    rsrc = bytes;
    if (!rsrc.Has(offset, kDirectoryHeaderSize)) return false;
    count = uint32_t(rsrc.U16(offset + 12)) + rsrc.U16(offset + 14);  // named + ID entries
    entries = offset + kDirectoryHeaderSize;
    return rsrc.Has(entries, uint64_t(count) * kDirectoryEntrySize);
  }
  uint32_t Name(uint32_t i) const { return rsrc.U32(entries + uint64_t(i) * kDirectoryEntrySize); }
  uint32_t Target(uint32_t i) const { return rsrc.U32(entries + uint64_t(i) * kDirectoryEntrySize + 4); }
  // The entry with a numeric ID, or count when there is none.
  uint32_t FindId(uint32_t id) const {
    for (uint32_t i = 0; i < count; ++i)
      if (!(Name(i) & kSubdirectoryFlag) && Name(i) == id) return i;
    return count;
  }
};

}  // namespace

DWORD FindResourceData(std::string_view file, uint32_t type, std::string_view &data) {
  Image image(file);
  if (DWORD err = image.Parse()) return err;
  if (!image.HasResources()) return ERROR_RESOURCE_DATA_NOT_FOUND;
  std::string_view tree;
  if (!image.MapToEnd(image.ResourceRva(), tree)) return ERROR_BAD_FORMAT;
  Bytes rsrc{tree};

  // Type -> name -> language: the first two levels lead to subdirectories, the last to a
  // data entry. The depth is fixed, so entries pointing back up cannot make a loop.
  Directory types, names, languages;
  if (!types.Read(rsrc, 0)) return ERROR_BAD_FORMAT;
  uint32_t t = types.FindId(type);
  if (t == types.count) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (!(types.Target(t) & kSubdirectoryFlag)) return ERROR_BAD_FORMAT;
  if (!names.Read(rsrc, types.Target(t) & ~kSubdirectoryFlag)) return ERROR_BAD_FORMAT;
  if (names.count == 0) return ERROR_RESOURCE_NAME_NOT_FOUND;
  uint32_t n = names.FindId(1);
  if (n == names.count) n = 0;
  if (!(names.Target(n) & kSubdirectoryFlag)) return ERROR_BAD_FORMAT;
  if (!languages.Read(rsrc, names.Target(n) & ~kSubdirectoryFlag)) return ERROR_BAD_FORMAT;
  if (languages.count == 0) return ERROR_RESOURCE_LANG_NOT_FOUND;
  uint32_t entry = languages.Target(0);
  if ((entry & kSubdirectoryFlag) || !rsrc.Has(entry, kDataEntrySize)) return ERROR_BAD_FORMAT;

  uint32_t dataRva = rsrc.U32(entry), dataSize = rsrc.U32(entry + 4);
  if (!image.Map(dataRva, dataSize, data)) return ERROR_BAD_FORMAT;
  return ERROR_SUCCESS;
}

}  // namespace winsim
