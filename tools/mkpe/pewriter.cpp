#include "pewriter.h"

#include <charconv>
#include <fstream>
#include <stdexcept>

#include "utf8text.h"

namespace mkpe {

namespace {

constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kDosHeaderSize = 0x40;  // e_lfanew points right behind the DOS header
constexpr uint32_t kResourceRva = 0x1000;  // the only section starts at the first page
constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kVersionName = 1;
constexpr uint32_t kLangEnUs = 0x0409;
constexpr uint16_t kCodePageUnicode = 0x04B0;

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// Little-endian appends.
struct Bytes {
  std::vector<uint8_t> data;

  void U8(uint8_t v) { data.push_back(v); }
  void U16(uint16_t v) {
    U8(uint8_t(v));
    U8(uint8_t(v >> 8));
  }
  void U32(uint32_t v) {
    U16(uint16_t(v));
    U16(uint16_t(v >> 16));
  }
  void U64(uint64_t v) {
    U32(uint32_t(v));
    U32(uint32_t(v >> 32));
  }
  void Append(const std::vector<uint8_t> &more) { data.insert(data.end(), more.begin(), more.end()); }
  void PadTo(size_t size) {
    if (data.size() < size) data.resize(size, 0);
  }
  void Align4() { PadTo(AlignUp(uint32_t(data.size()), 4)); }
  void Put16(size_t at, uint16_t v) {
    data[at] = uint8_t(v);
    data[at + 1] = uint8_t(v >> 8);
  }
  void Put32(size_t at, uint32_t v) {
    Put16(at, uint16_t(v));
    Put16(at + 2, uint16_t(v >> 16));
  }
};

// UTF-8 to UTF-16 code units; malformed sequences become U+FFFD (toolcommon::DecodeUtf8).
std::u16string Utf16(std::string_view text) {
  std::u16string out;
  toolcommon::DecodeUtf8(text, [&](uint32_t c) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out += char16_t(0xD800 + (c >> 10));
      out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
      out += char16_t(c);
    }
  });
  return out;
}

void AppendUtf16z(Bytes &out, std::u16string_view text) {
  for (char16_t c : text) out.U16(uint16_t(c));
  out.U16(0);
}

// One block of the version tree: wLength, wValueLength, wType, the key, padding to a
// DWORD, the value, then the children, each starting on a DWORD. wLength covers the block
// up to the end of its value or last child, without trailing padding. Blocks are always
// placed at DWORD offsets, so padding relative to the block start is padding in the file.
std::vector<uint8_t> Block(std::u16string_view key, bool text, uint16_t valueLength, const std::vector<uint8_t> &value,
                           const std::vector<std::vector<uint8_t>> &children) {
  Bytes b;
  b.U16(0);
  b.U16(valueLength);
  b.U16(text ? 1 : 0);
  AppendUtf16z(b, key);
  b.Align4();
  b.Append(value);
  for (auto &child : children) {
    b.Align4();
    b.Append(child);
  }
  if (b.data.size() > 0xFFFF) throw std::length_error("the version resource is larger than 64 KB");
  b.Put16(0, uint16_t(b.data.size()));
  return b.data;
}

std::vector<uint8_t> StringBlock(std::string_view key, std::string_view value) {
  std::u16string text = Utf16(value);
  if (text.size() + 1 > 0xFFFF) throw std::length_error("the version resource is larger than 64 KB");
  Bytes v;
  AppendUtf16z(v, text);
  return Block(Utf16(key), true, uint16_t(text.size() + 1), v.data, {});
}

std::vector<uint8_t> FixedFileInfo(const VersionInfo &info, FileType type) {
  auto ms = [](const Version &v) { return uint32_t(v[0]) << 16 | v[1]; };
  auto ls = [](const Version &v) { return uint32_t(v[2]) << 16 | v[3]; };
  Bytes b;
  b.U32(0xFEEF04BD);  // dwSignature
  b.U32(0x00010000);  // dwStrucVersion
  b.U32(ms(info.fileVersion));
  b.U32(ls(info.fileVersion));
  b.U32(ms(info.productVersion));
  b.U32(ls(info.productVersion));
  b.U32(0x3F);        // dwFileFlagsMask: VS_FF_*
  b.U32(0);           // dwFileFlags
  b.U32(0x00040004);  // dwFileOS: VOS_NT_WINDOWS32
  switch (type) {
    case FileType::App:
      b.U32(1);  // VFT_APP
      b.U32(0);
      break;
    case FileType::Dll:
      b.U32(2);  // VFT_DLL
      b.U32(0);
      break;
    case FileType::Drv:
      b.U32(3);  // VFT_DRV
      b.U32(7);  // VFT2_DRV_SYSTEM, as kernel drivers have
      break;
  }
  b.U32(0);  // dwFileDateMS
  b.U32(0);  // dwFileDateLS
  return b.data;
}

// The resource section: root (type 16) -> name 1 -> language 0x0409 -> data entry -> data.
std::vector<uint8_t> ResourceSection(const std::vector<uint8_t> &resource, uint32_t sectionRva) {
  constexpr uint32_t kDirectorySize = 16 + 8;  // header and one entry
  constexpr uint32_t kTypeDir = kDirectorySize;
  constexpr uint32_t kNameDir = 2 * kDirectorySize;
  constexpr uint32_t kDataEntry = 3 * kDirectorySize;
  constexpr uint32_t kData = kDataEntry + 16;
  constexpr uint32_t kSubdirectory = 0x80000000u;
  Bytes b;
  auto directory = [&](uint32_t id, uint32_t target) {
    b.U32(0);  // Characteristics
    b.U32(0);  // TimeDateStamp: 0 keeps the output reproducible
    b.U16(0);  // MajorVersion
    b.U16(0);  // MinorVersion
    b.U16(0);  // NumberOfNamedEntries
    b.U16(1);  // NumberOfIdEntries
    b.U32(id);
    b.U32(target);
  };
  directory(kRtVersion, kSubdirectory | kTypeDir);
  directory(kVersionName, kSubdirectory | kNameDir);
  directory(kLangEnUs, kDataEntry);
  b.U32(sectionRva + kData);  // OffsetToData is an RVA
  b.U32(uint32_t(resource.size()));
  b.U32(0);  // CodePage
  b.U32(0);  // Reserved
  b.Append(resource);
  return b.data;
}

// The image checksum as the loader verifies it for drivers: 16-bit one's-complement-style
// sum of the file with the CheckSum field taken as zero, plus the file length.
uint32_t ImageChecksum(const std::vector<uint8_t> &image, size_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    if (i == checksumOffset || i == checksumOffset + 2) continue;
    uint32_t word = image[i] | (i + 1 < image.size() ? uint32_t(image[i + 1]) << 8 : 0);
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + image.size());
}

}  // namespace

bool ParseVersion(std::string_view text, Version &out) {
  Version v{};
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    if (pos == start || pos - start > 5) return false;
    unsigned value = 0;
    std::from_chars(text.data() + start, text.data() + pos, value);
    if (value > 0xFFFF) return false;
    v[part] = uint16_t(value);
  }
  if (pos != text.size()) return false;
  out = v;
  return true;
}

std::string FormatVersion(const Version &v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." + std::to_string(v[3]);
}

std::vector<uint8_t> BuildVersionResource(const VersionInfo &info, FileType type) {
  std::vector<std::vector<uint8_t>> strings;
  auto add = [&](const char *key, const std::optional<std::string> &value) {
    if (value) strings.push_back(StringBlock(key, *value));
  };
  add("CompanyName", info.companyName);
  add("FileDescription", info.fileDescription);
  add("FileVersion", info.fileVersionText ? info.fileVersionText : FormatVersion(info.fileVersion));
  add("InternalName", info.internalName);
  add("OriginalFilename", info.originalFilename);
  add("ProductName", info.productName);
  add("ProductVersion", info.productVersionText ? info.productVersionText : FormatVersion(info.productVersion));
  for (auto &[key, value] : info.extraStrings) strings.push_back(StringBlock(key, value));

  auto stringTable = Block(u"040904B0", true, 0, {}, strings);
  auto stringFileInfo = Block(u"StringFileInfo", true, 0, {}, {stringTable});

  Bytes translation;
  translation.U16(uint16_t(kLangEnUs));
  translation.U16(kCodePageUnicode);
  auto var = Block(u"Translation", false, uint16_t(translation.data.size()), translation.data, {});
  auto varFileInfo = Block(u"VarFileInfo", true, 0, {}, {var});

  auto fixed = FixedFileInfo(info, type);
  return Block(u"VS_VERSION_INFO", false, uint16_t(fixed.size()), fixed, {stringFileInfo, varFileInfo});
}

std::vector<uint8_t> BuildImage(const VersionInfo *info, FileType type, Architecture arch) {
  const bool pe32plus = arch == Architecture::X64;
  const bool dll = type == FileType::Dll;
  std::vector<uint8_t> rsrc;
  if (info) rsrc = ResourceSection(BuildVersionResource(*info, type), kResourceRva);
  const uint16_t sections = info ? 1 : 0;
  const uint16_t optionalSize = pe32plus ? 240 : 224;
  const uint32_t headersSize = AlignUp(kDosHeaderSize + 4 + 20 + optionalSize + sections * 40u, kFileAlignment);
  const uint32_t rsrcRaw = AlignUp(uint32_t(rsrc.size()), kFileAlignment);
  const uint32_t imageSize = AlignUp(kSectionAlignment + uint32_t(rsrc.size()), kSectionAlignment);

  Bytes b;
  // DOS header: only e_magic and e_lfanew matter to anyone reading a PE image.
  b.U16(0x5A4D);  // "MZ"
  b.U16(0x90);    // e_cblp
  b.U16(3);       // e_cp
  b.U16(0);       // e_crlc
  b.U16(4);       // e_cparhdr
  b.U16(0);       // e_minalloc
  b.U16(0xFFFF);  // e_maxalloc
  b.U16(0);       // e_ss
  b.U16(0xB8);    // e_sp
  b.PadTo(0x18);
  b.U16(0x40);  // e_lfarlc
  b.PadTo(0x3C);
  b.U32(kDosHeaderSize);  // e_lfanew

  b.U32(0x00004550);  // "PE\0\0"
  // COFF file header
  b.U16(pe32plus ? 0x8664 : 0x014C);  // Machine: AMD64 / I386
  b.U16(sections);
  b.U32(0);  // TimeDateStamp
  b.U32(0);  // PointerToSymbolTable
  b.U32(0);  // NumberOfSymbols
  b.U16(optionalSize);
  uint16_t characteristics = 0x0002;              // IMAGE_FILE_EXECUTABLE_IMAGE
  characteristics |= pe32plus ? 0x0020 : 0x0100;  // LARGE_ADDRESS_AWARE / 32BIT_MACHINE
  if (dll) characteristics |= 0x2000;             // IMAGE_FILE_DLL
  b.U16(characteristics);

  // Optional header
  const size_t optionalStart = b.data.size();
  b.U16(pe32plus ? 0x20B : 0x10B);
  b.U8(14);        // MajorLinkerVersion
  b.U8(0);         // MinorLinkerVersion
  b.U32(0);        // SizeOfCode
  b.U32(rsrcRaw);  // SizeOfInitializedData
  b.U32(0);        // SizeOfUninitializedData
  b.U32(0);        // AddressOfEntryPoint: none, the image has no code
  b.U32(0);        // BaseOfCode
  uint64_t imageBase = pe32plus ? (dll ? 0x180000000ull : 0x140000000ull) : (dll ? 0x10000000ull : 0x400000ull);
  if (type == FileType::Drv && !pe32plus) imageBase = 0x10000;
  if (pe32plus) {
    b.U64(imageBase);
  } else {
    b.U32(info ? kResourceRva : 0);  // BaseOfData
    b.U32(uint32_t(imageBase));
  }
  b.U32(kSectionAlignment);
  b.U32(kFileAlignment);
  b.U16(6);  // MajorOperatingSystemVersion
  b.U16(0);
  b.U16(0);  // MajorImageVersion
  b.U16(0);
  b.U16(6);  // MajorSubsystemVersion
  b.U16(0);
  b.U32(0);  // Win32VersionValue
  b.U32(imageSize);
  b.U32(headersSize);
  const size_t checksumOffset = b.data.size();
  b.U32(0);                              // CheckSum, filled in at the end
  b.U16(type == FileType::Drv ? 1 : 2);  // Subsystem: NATIVE / WINDOWS_GUI
  b.U16(0x0100);                         // DllCharacteristics: NX_COMPAT
  const uint64_t stackReserve = type == FileType::Drv ? 0x40000 : 0x100000;
  for (uint64_t v : {stackReserve, uint64_t(0x1000), uint64_t(0x100000), uint64_t(0x1000)}) {
    if (pe32plus)
      b.U64(v);
    else
      b.U32(uint32_t(v));
  }
  b.U32(0);   // LoaderFlags
  b.U32(16);  // NumberOfRvaAndSizes
  for (int i = 0; i < 16; ++i) {
    bool resourceDirectory = i == 2 && info;
    b.U32(resourceDirectory ? kResourceRva : 0);
    b.U32(resourceDirectory ? uint32_t(rsrc.size()) : 0);
  }
  if (b.data.size() - optionalStart != optionalSize) throw std::logic_error("optional header size");

  if (info) {
    const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
    for (char c : name) b.U8(uint8_t(c));
    b.U32(uint32_t(rsrc.size()));  // VirtualSize
    b.U32(kResourceRva);
    b.U32(rsrcRaw);
    b.U32(headersSize);  // PointerToRawData
    b.U32(0);            // PointerToRelocations
    b.U32(0);            // PointerToLinenumbers
    b.U16(0);
    b.U16(0);
    b.U32(0x40000040);  // INITIALIZED_DATA | MEM_READ
  }
  b.PadTo(headersSize);
  b.Append(rsrc);
  b.PadTo(headersSize + rsrcRaw);
  b.Put32(checksumOffset, ImageChecksum(b.data, checksumOffset));
  return b.data;
}

bool WriteImage(const std::string &path, const std::vector<uint8_t> &image, std::string *error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char *>(image.data()), std::streamsize(image.size()));
  if (out) out.close();
  if (!out) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool WriteImage(const std::string &path, const VersionInfo *info, FileType type, std::string *error,
                Architecture arch) {
  std::vector<uint8_t> image;
  try {
    image = BuildImage(info, type, arch);
  } catch (const std::length_error &e) {
    if (error) *error = e.what();
    return false;
  }
  return WriteImage(path, image, error);
}

}  // namespace mkpe
