// Version resources through winsim (GetFileVersionInfoSizeW, GetFileVersionInfoW,
// VerQueryValueW) over images written by pewriter and by the mkpe tool.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <winsim.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "pewriter.h"

namespace fs = std::filesystem;

namespace {

mkpe::VersionInfo SampleInfo() {
  mkpe::VersionInfo info;
  info.fileVersion = {1, 2, 3, 4};
  info.productVersion = {5, 6, 7, 8};
  info.companyName = "Contoso Networks";
  info.internalName = "z40e64";
  info.fileDescription = "Network adapter driver";
  info.productName = "Z40E Drivers";
  info.originalFilename = "z40e64.sys";
  return info;
}

const wchar_t *const kCompany = L"\\StringFileInfo\\040904B0\\CompanyName";
const wchar_t *const kInternal = L"\\StringFileInfo\\040904B0\\InternalName";
const wchar_t *const kTranslation = L"\\VarFileInfo\\Translation";

struct Answer {
  BOOL ok = FALSE;
  DWORD error = 0;
  const void *ptr = nullptr;
  UINT len = 0;
};

// VerQueryValueW, checking that whatever it points at lies inside the block.
Answer Query(const std::vector<uint8_t> &block, const wchar_t *sub, bool text) {
  Answer a;
  LPVOID p = nullptr;
  SetLastError(0);
  a.ok = VerQueryValueW(block.data(), sub, &p, &a.len);
  a.error = GetLastError();
  a.ptr = p;
  if (a.ok) {
    auto *begin = block.data(), *end = block.data() + block.size();
    auto *at = static_cast<const uint8_t *>(p);
    size_t bytes = text ? (std::wcslen(static_cast<const wchar_t *>(p)) + 1) * sizeof(wchar_t) : a.len;
    EXPECT_TRUE(at >= begin && at + bytes <= end) << "value outside the block for " << winsim::ToUtf8(sub);
  }
  return a;
}

std::optional<std::wstring> Text(const std::vector<uint8_t> &block, const wchar_t *sub) {
  Answer a = Query(block, sub, true);
  if (!a.ok) return std::nullopt;
  return std::wstring(static_cast<const wchar_t *>(a.ptr));
}

uint32_t U32(const std::vector<uint8_t> &image, size_t at) {
  return image[at] | image[at + 1] << 8 | image[at + 2] << 16 | uint32_t(image[at + 3]) << 24;
}

// Where the version resource of an mkpe image lies in the file: [first, second).
std::pair<size_t, size_t> ResourceSpan(const std::vector<uint8_t> &image) {
  const char16_t key[] = u"VS_VERSION_INFO";
  std::vector<uint8_t> needle;
  for (char16_t c : key) needle.insert(needle.end(), {uint8_t(c), uint8_t(c >> 8)});
  size_t at = std::search(image.begin(), image.end(), needle.begin(), needle.end()) - image.begin() - 6;
  return {at, at + (image[at] | image[at + 1] << 8)};
}

class VersionTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(""); }
  void TearDown() override { Close(); }

  void Open(const std::string &machineToml) {
    Close();
    std::string tmpl = (fs::temp_directory_path() / "winsim_version_XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    fs::create_directory(dir_ / "drive_c");
    if (!machineToml.empty()) std::ofstream(dir_ / "machine.toml") << machineToml;
    std::string error;
    ASSERT_TRUE(winsim::OpenMachine(dir_, error)) << error;
  }
  void Close() {
    if (dir_.empty()) return;
    winsim::CloseMachine();
    fs::remove_all(dir_);
    dir_.clear();
  }

  static void Put(const std::wstring &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(winsim::HostPath(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
  }

  // The version block of a file; empty, with *error, when either call fails (both must
  // then agree on the error).
  static std::vector<uint8_t> ReadBlock(const std::wstring &path, DWORD *error = nullptr) {
    DWORD handle = 99;
    SetLastError(0);
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    DWORD sizeError = GetLastError();
    EXPECT_EQ(handle, 0u);
    std::vector<uint8_t> block(size ? size : 64);
    SetLastError(0);
    BOOL ok = GetFileVersionInfoW(path.c_str(), 0, size, block.data());
    if (error) *error = GetLastError();
    EXPECT_EQ(ok != FALSE, size != 0);
    if (!size) {
      EXPECT_EQ(GetLastError(), sizeError);
      block.clear();
    }
    return block;
  }

  fs::path dir_;
};

TEST_F(VersionTest, ReadsFixedInfoStringsAndTranslationOfEveryKindOfImage) {
  struct Case {
    mkpe::FileType type;
    mkpe::Architecture arch;
    DWORD vft;
  } cases[] = {{mkpe::FileType::App, mkpe::Architecture::X64, VFT_APP},
               {mkpe::FileType::Dll, mkpe::Architecture::X64, VFT_DLL},
               {mkpe::FileType::Drv, mkpe::Architecture::X64, VFT_DRV},
               {mkpe::FileType::Dll, mkpe::Architecture::X86, VFT_DLL},
               {mkpe::FileType::Drv, mkpe::Architecture::X86, VFT_DRV}};
  mkpe::VersionInfo info = SampleInfo();
  for (const Case &c : cases) {
    SCOPED_TRACE(int(c.type) * 10 + int(c.arch));
    Put(L"C:\\image.bin", mkpe::BuildImage(&info, c.type, c.arch));
    auto block = ReadBlock(L"C:\\image.bin");
    ASSERT_FALSE(block.empty());

    Answer root = Query(block, L"\\", false);
    ASSERT_TRUE(root.ok);
    ASSERT_EQ(root.len, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, root.ptr, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, DWORD(VS_FFI_SIGNATURE));
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00030004u);
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00050006u);
    EXPECT_EQ(fixed.dwProductVersionLS, 0x00070008u);
    EXPECT_EQ(fixed.dwFileType, c.vft);

    const std::pair<const wchar_t *, std::wstring> strings[] = {
        {kCompany, L"Contoso Networks"},
        {kInternal, L"z40e64"},
        {L"\\StringFileInfo\\040904B0\\FileDescription", L"Network adapter driver"},
        {L"\\StringFileInfo\\040904B0\\ProductName", L"Z40E Drivers"},
        {L"\\StringFileInfo\\040904B0\\OriginalFilename", L"z40e64.sys"},
        {L"\\StringFileInfo\\040904B0\\FileVersion", L"1.2.3.4"},
        {L"\\StringFileInfo\\040904B0\\ProductVersion", L"5.6.7.8"}};
    for (auto &[path, expected] : strings) {
      Answer a = Query(block, path, true);
      ASSERT_TRUE(a.ok) << winsim::ToUtf8(path);
      EXPECT_EQ(static_cast<const wchar_t *>(a.ptr), expected);
      EXPECT_EQ(a.len, expected.size() + 1);  // wValueLength counts the terminator
    }

    Answer translation = Query(block, kTranslation, false);
    ASSERT_TRUE(translation.ok);
    ASSERT_EQ(translation.len, 4u);
    auto *t = static_cast<const uint8_t *>(translation.ptr);
    EXPECT_EQ(t[0] | t[1] << 8, 0x0409);
    EXPECT_EQ(t[2] | t[3] << 8, 0x04B0);
  }
}

TEST_F(VersionTest, TextValuesKeepTheirCharactersAndDoNotOverlapTheirNeighbours) {
  const std::pair<std::string, std::wstring> texts[] = {
      {"", L""},
      {"A", L"A"},
      {"Z\xC3\xBCrich \xCE\xA9", L"Z\u00FCrich \u03A9"},
      {"\xF0\x9D\x84\x9E\xF0\x9D\x84\x9Ex", L"\U0001D11E\U0001D11Ex"},  // surrogate pairs joined
      {std::string(3000, 'q'), std::wstring(3000, L'q')}};
  for (auto &[utf8, wide] : texts) {
    mkpe::VersionInfo info = SampleInfo();
    info.companyName = utf8;
    Put(L"C:\\t.dll", mkpe::BuildImage(&info, mkpe::FileType::Dll));
    auto block = ReadBlock(L"C:\\t.dll");
    EXPECT_EQ(Text(block, kCompany), wide);
    EXPECT_EQ(Text(block, kInternal), L"z40e64");
  }
}

TEST_F(VersionTest, SubBlockKeysIgnoreCaseAndMustMatchWhole) {
  mkpe::VersionInfo info = SampleInfo();
  Put(L"C:\\t.dll", mkpe::BuildImage(&info, mkpe::FileType::Dll));
  auto block = ReadBlock(L"C:\\t.dll");
  const std::pair<const wchar_t *, UINT> found[] = {// path, *puLen
                                                    {L"\\stringfileinfo\\040904b0\\COMPANYNAME", 17},
                                                    {L"StringFileInfo\\040904B0\\CompanyName", 17},
                                                    {L"\\StringFileInfo\\\\040904B0\\CompanyName\\", 17},
                                                    {L"", sizeof(VS_FIXEDFILEINFO)},
                                                    {L"\\varfileinfo\\TRANSLATION", 4}};
  for (auto &[path, len] : found) {
    Answer a = Query(block, path, false);
    EXPECT_TRUE(a.ok) << winsim::ToUtf8(path);
    EXPECT_EQ(a.len, len) << winsim::ToUtf8(path);
  }
  for (const wchar_t *path :
       {L"\\StringFileInfo\\040904B0\\LegalCopyright", L"\\StringFileInfo\\040904E4\\CompanyName",
        L"\\StringFileInfo\\040904B0\\Company", L"\\StringFileInfo\\040904B0\\CompanyNameX",
        L"\\StringFileInfo\\040904B0\\CompanyName\\More", L"\\Translation", L"\\VS_VERSION_INFO"}) {
    Answer a = Query(block, path, false);
    EXPECT_FALSE(a.ok) << winsim::ToUtf8(path);
    EXPECT_EQ(a.error, DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND)) << winsim::ToUtf8(path);
  }
}

TEST_F(VersionTest, BadArgumentsAndForeignBlocksAreRejected) {
  mkpe::VersionInfo info = SampleInfo();
  Put(L"C:\\t.dll", mkpe::BuildImage(&info, mkpe::FileType::Dll));
  auto block = ReadBlock(L"C:\\t.dll");
  LPVOID p;
  UINT len;
  auto rejected = [](BOOL ok) { return !ok && GetLastError() == ERROR_INVALID_PARAMETER; };
  EXPECT_TRUE(rejected(VerQueryValueW(nullptr, L"\\", &p, &len)));
  EXPECT_TRUE(rejected(VerQueryValueW(block.data(), nullptr, &p, &len)));
  EXPECT_TRUE(rejected(VerQueryValueW(block.data(), L"\\", nullptr, &len)));
  EXPECT_TRUE(rejected(VerQueryValueW(block.data(), L"\\", &p, nullptr)));
  EXPECT_TRUE(rejected(GetFileVersionInfoW(L"C:\\t.dll", 0, 4096, nullptr)));
  EXPECT_TRUE(rejected(GetFileVersionInfoSizeW(nullptr, nullptr) != 0));

  // Only the resource part of a block, without what GetFileVersionInfoW put behind it.
  std::vector<uint8_t> bare(block.size(), 0);
  std::memcpy(bare.data(), block.data(), block[0] | block[1] << 8);
  EXPECT_TRUE(rejected(VerQueryValueW(bare.data(), kCompany, &p, &len)));
  std::vector<uint8_t> zeros(64, 0);
  EXPECT_TRUE(rejected(VerQueryValueW(zeros.data(), L"\\", &p, &len)));

  // A block that was moved still answers, from its new place.
  std::vector<uint8_t> moved(block);
  block.assign(block.size(), 0xEE);
  EXPECT_EQ(Text(moved, kCompany), L"Contoso Networks");
}

TEST_F(VersionTest, FilesWithoutAVersionResourceFailWithWindowsErrors) {
  mkpe::VersionInfo info = SampleInfo();
  std::vector<uint8_t> otherType = mkpe::BuildImage(&info, mkpe::FileType::Dll);
  // The root directory's only entry, right behind its header at the start of .rsrc,
  // becomes RT_MANIFEST. The section header follows the 24 bytes of signature and COFF
  // header and the 240 of the PE32+ optional header; PointerToRawData is at 20 in it.
  size_t rsrc = U32(otherType, U32(otherType, 0x3C) + 24 + 240 + 20);
  ASSERT_EQ(U32(otherType, rsrc + 16), 16u);
  otherType[rsrc + 16] = 24;

  const std::string text = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
  struct Case {
    const wchar_t *path;
    std::optional<std::vector<uint8_t>> content;
    DWORD error;
  } cases[] = {
      {L"C:\\missing.dll", std::nullopt, ERROR_FILE_NOT_FOUND},
      {L"C:\\nodir\\missing.dll", std::nullopt, ERROR_PATH_NOT_FOUND},
      {L"C:\\empty.dll", std::vector<uint8_t>{}, ERROR_RESOURCE_DATA_NOT_FOUND},
      {L"C:\\z40e.inf", std::vector<uint8_t>(text.begin(), text.end()), ERROR_RESOURCE_DATA_NOT_FOUND},
      {L"C:\\mz.dll", std::vector<uint8_t>{'M', 'Z', 0, 0}, ERROR_RESOURCE_DATA_NOT_FOUND},
      {L"C:\\plain64.dll", mkpe::BuildImage(nullptr, mkpe::FileType::Dll), ERROR_RESOURCE_DATA_NOT_FOUND},
      {L"C:\\plain32.exe", mkpe::BuildImage(nullptr, mkpe::FileType::App, mkpe::Architecture::X86),
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {L"C:\\manifest.dll", otherType, ERROR_RESOURCE_TYPE_NOT_FOUND},
  };
  for (const Case &c : cases) {
    if (c.content) Put(c.path, *c.content);
    DWORD error = 0;
    EXPECT_TRUE(ReadBlock(c.path, &error).empty()) << winsim::ToUtf8(c.path);
    EXPECT_EQ(error, c.error) << winsim::ToUtf8(c.path);
  }
}

TEST_F(VersionTest, TooSmallBufferFailsWithoutWritingPastItsLength) {
  mkpe::VersionInfo info = SampleInfo();
  Put(L"C:\\t.dll", mkpe::BuildImage(&info, mkpe::FileType::Dll));
  DWORD need = GetFileVersionInfoSizeW(L"C:\\t.dll", nullptr);
  ASSERT_GT(need, 0u);
  for (DWORD len : {DWORD(0), DWORD(1), need / 2, need - 1, need}) {
    std::vector<uint8_t> buffer(need + 64, 0xCD);
    SetLastError(0);
    BOOL ok = GetFileVersionInfoW(L"C:\\t.dll", 0, len, buffer.data());
    EXPECT_EQ(ok != FALSE, len == need) << len;
    if (!ok) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    }
    for (size_t i = len; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xCD) << "byte " << i << " of " << len;
  }
}

TEST_F(VersionTest, EveryTruncationFailsCleanlyOrReadsTheWholeResource) {
  mkpe::VersionInfo info = SampleInfo();
  for (auto arch : {mkpe::Architecture::X64, mkpe::Architecture::X86}) {
    std::vector<uint8_t> image = mkpe::BuildImage(&info, mkpe::FileType::Drv, arch);
    size_t end = ResourceSpan(image).second;
    for (size_t len = 0; len < image.size(); ++len) {
      Put(L"C:\\cut.sys", std::vector<uint8_t>(image.begin(), image.begin() + len));
      DWORD error = 0;
      auto block = ReadBlock(L"C:\\cut.sys", &error);
      if (len < end) {
        ASSERT_TRUE(block.empty()) << len;
        ASSERT_TRUE(error == ERROR_BAD_FORMAT || error == ERROR_RESOURCE_DATA_NOT_FOUND) << len << ": " << error;
      } else {
        ASSERT_EQ(Text(block, kInternal), L"z40e64") << len;
      }
    }
  }
}

TEST_F(VersionTest, CorruptImagesNeverReadOutsideTheFileOrTheBlock) {
  mkpe::VersionInfo info = SampleInfo();
  const std::vector<uint8_t> image = mkpe::BuildImage(&info, mkpe::FileType::Drv);
  const auto [start, end] = ResourceSpan(image);
  const uint32_t interesting[] = {0, 1, 6, 0x7F, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0x80000018, 0xFFFFFFFF};
  std::mt19937 random(40);
  for (int round = 0; round < 4000; ++round) {
    std::vector<uint8_t> bad = image;
    for (int edits = 1 + int(random() % 3); edits > 0; --edits) {
      // Half of the edits hit the headers and the resource tree, half the version data.
      size_t at = round % 2 ? random() % (start + 8) : start + random() % (end - start);
      uint32_t value = random() % 2 ? interesting[random() % std::size(interesting)] : uint32_t(random());
      for (int k = 0; k < (random() % 2 ? 4 : 2) && at + k < bad.size(); ++k) bad[at + k] = uint8_t(value >> (8 * k));
    }
    Put(L"C:\\bad.sys", bad);
    DWORD error = 0;
    auto block = ReadBlock(L"C:\\bad.sys", &error);
    if (block.empty()) {
      EXPECT_TRUE(error == ERROR_BAD_FORMAT ||
                  (error >= ERROR_RESOURCE_DATA_NOT_FOUND && error <= ERROR_RESOURCE_LANG_NOT_FOUND))
          << error;
      continue;
    }
    for (const wchar_t *path : {kCompany, kInternal, L"\\StringFileInfo", L"\\StringFileInfo\\040904B0"}) {
      Answer a = Query(block, path, true);
      if (!a.ok) {
        EXPECT_EQ(a.error, DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
      }
    }
    for (const wchar_t *path : {L"\\", kTranslation}) {
      Answer a = Query(block, path, false);
      if (!a.ok) {
        EXPECT_EQ(a.error, DWORD(ERROR_RESOURCE_TYPE_NOT_FOUND));
      }
    }
  }
}

TEST_F(VersionTest, InjectedFaultsFailTheirFunction) {
  mkpe::VersionInfo info = SampleInfo();
  for (const char *function : {"GetFileVersionInfoSizeW", "GetFileVersionInfoW", "VerQueryValueW"}) {
    Open(std::string("[[faults]]\nfunction = \"") + function + "\"\nerror = 5\n");
    Put(L"C:\\t.dll", mkpe::BuildImage(&info, mkpe::FileType::Dll));
    DWORD size = GetFileVersionInfoSizeW(L"C:\\t.dll", nullptr);
    EXPECT_EQ(size == 0, std::strcmp(function, "GetFileVersionInfoSizeW") == 0);
    std::vector<uint8_t> block(size ? size : 8192);
    BOOL got = GetFileVersionInfoW(L"C:\\t.dll", 0, DWORD(block.size()), block.data());
    EXPECT_EQ(!got, std::strcmp(function, "GetFileVersionInfoW") == 0);
    if (!got) {
      EXPECT_EQ(GetLastError(), 5u);
      continue;
    }
    LPVOID p;
    UINT len;
    EXPECT_EQ(!VerQueryValueW(block.data(), kCompany, &p, &len), std::strcmp(function, "VerQueryValueW") == 0);
  }
}

std::string Quote(const std::string &s) { return "'" + s + "'"; }

TEST_F(VersionTest, MkpeCommandLineRoundTrip) {
  ASSERT_TRUE(CreateDirectoryW(L"C:\\drivers", nullptr));
  std::string out = winsim::HostPath(L"C:\\drivers\\z40e64.sys").string();
  std::string command = Quote(MKPE_PATH) + " " + Quote(out) +
                        " --file-version 10.2.300.4000 --company 'Contoso Networks' --internal-name z40e64"
                        " --description 'Adapter driver' --type drv --string 'LegalCopyright=(c) Contoso'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  auto block = ReadBlock(L"C:\\drivers\\Z40E64.SYS");
  ASSERT_FALSE(block.empty());
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, Query(block, L"\\", false).ptr, sizeof fixed);
  EXPECT_EQ(fixed.dwFileVersionMS, (10u << 16) | 2);
  EXPECT_EQ(fixed.dwFileVersionLS, (300u << 16) | 4000);
  EXPECT_EQ(fixed.dwProductVersionMS, fixed.dwFileVersionMS);  // defaults to the file version
  EXPECT_EQ(fixed.dwProductVersionLS, fixed.dwFileVersionLS);
  EXPECT_EQ(fixed.dwFileType, DWORD(VFT_DRV));
  EXPECT_EQ(Text(block, kCompany), L"Contoso Networks");
  EXPECT_EQ(Text(block, kInternal), L"z40e64");
  EXPECT_EQ(Text(block, L"\\StringFileInfo\\040904B0\\LegalCopyright"), L"(c) Contoso");
  EXPECT_EQ(Text(block, L"\\StringFileInfo\\040904B0\\ProductName"), std::nullopt);  // not given

  ASSERT_EQ(std::system((Quote(MKPE_PATH) + " " + Quote(out) + " --no-version").c_str()), 0);
  DWORD error = 0;
  EXPECT_TRUE(ReadBlock(L"C:\\drivers\\z40e64.sys", &error).empty());
  EXPECT_EQ(error, DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
}

TEST_F(VersionTest, MkpeRejectsBadArgumentsWithOneLineAndExitCode2) {
  std::string out = winsim::HostPath(L"C:\\out.dll").string();
  std::string err = (dir_ / "stderr.txt").string();
  const std::string cases[] = {"",
                               Quote(out),
                               Quote(out) + " --file-version 1.2.3",
                               Quote(out) + " --file-version 1.2.3.65536",
                               Quote(out) + " --file-version 1.2.3.4 --product-version x",
                               Quote(out) + " --file-version 1.2.3.4 --type exe",
                               Quote(out) + " --file-version 1.2.3.4 --bogus",
                               Quote(out) + " --file-version 1.2.3.4 --company",
                               Quote(out) + " second.dll --file-version 1.2.3.4"};
  for (const std::string &args : cases) {
    int status = std::system((Quote(MKPE_PATH) + " " + args + " 2>" + Quote(err)).c_str());
    ASSERT_TRUE(WIFEXITED(status)) << args;
    EXPECT_EQ(WEXITSTATUS(status), 2) << args;
    std::stringstream read;
    read << std::ifstream(err).rdbuf();
    std::string message = read.str();
    EXPECT_EQ(message.rfind("mkpe: ", 0), 0u) << args << ": " << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_FALSE(fs::exists(out)) << args;
  }
}

}  // namespace

// VerInstallFileW from C:\src\new.sys to C:\dst\z.sys: its result bits, what the target
// directory holds afterwards and which temporary name it hands back.
TEST_F(VersionTest, VerInstallFileResultsAndTheTargetDirectoryAfterwards) {
  enum Dest { None, Older, Newer, OtherType, OtherLanguage, OtherCodePage, Unversioned, ReadOnly };
  enum Src { Versioned, SrcUnversioned, SrcMissing };
  const std::string locked = "[[locked_files]]\npath = 'C:\\dst\\z.sys'\nerror = 32\n";
  const struct {
    const char *name;
    std::string toml;
    Dest dest;
    Src src;
    DWORD flags;
    UINT capacity;
    bool openHandle;  // a handle on the target that does not share deletion
    DWORD expected;
    bool replaced;  // the target holds the source afterwards
    size_t files;   // files in C:\dst afterwards
  } cases[] = {
      {"a new file", "", None, Versioned, VIFF_FORCEINSTALL, MAX_PATH, false, 0, true, 1},
      {"an older file replaced", "", Older, Versioned, 0, MAX_PATH, false, 0, true, 1},
      {"an unversioned file replaced", "", Unversioned, Versioned, 0, MAX_PATH, false, 0, true, 1},
      {"a newer file kept", "", Newer, Versioned, 0, MAX_PATH, false, VIF_MISMATCH | VIF_SRCOLD | VIF_TEMPFILE, false,
       2},
      {"a newer file forced", "", Newer, Versioned, VIFF_FORCEINSTALL, MAX_PATH, false, 0, true, 1},
      {"another file type", "", OtherType, Versioned, 0, MAX_PATH, false, VIF_MISMATCH | VIF_DIFFTYPE | VIF_TEMPFILE,
       false, 2},
      {"another language", "", OtherLanguage, Versioned, 0, MAX_PATH, false, VIF_MISMATCH | VIF_DIFFLANG | VIF_TEMPFILE,
       false, 2},
      {"another code page", "", OtherCodePage, Versioned, 0, MAX_PATH, false,
       VIF_MISMATCH | VIF_DIFFCODEPG | VIF_TEMPFILE, false, 2},
      {"a source without version", "", Older, SrcUnversioned, 0, MAX_PATH, false,
       VIF_MISMATCH | VIF_SRCOLD | VIF_TEMPFILE, false, 2},
      {"a name buffer too small", "", Newer, Versioned, 0, 4, false, VIF_MISMATCH | VIF_SRCOLD | VIF_BUFFTOOSMALL,
       false, 1},
      {"a write-protected target", "", ReadOnly, Versioned, VIFF_FORCEINSTALL, MAX_PATH, false, VIF_WRITEPROT, false,
       1},
      {"a missing source", "", Older, SrcMissing, VIFF_FORCEINSTALL, MAX_PATH, false, VIF_CANNOTREADSRC, false, 1},
      {"a locked target", locked, Older, Versioned, VIFF_FORCEINSTALL, MAX_PATH, false, VIF_FILEINUSE | VIF_TEMPFILE,
       false, 2},
      {"an open target", "", Older, Versioned, VIFF_FORCEINSTALL, MAX_PATH, true, VIF_FILEINUSE | VIF_TEMPFILE, false,
       2},
      {"a full disk", "[machine]\nfree_disk = { \"C:\" = 100 }\n", Older, Versioned, VIFF_FORCEINSTALL, MAX_PATH, false,
       VIF_OUTOFSPACE, false, 1},
      {"a target that cannot be deleted", "[[faults]]\nfunction = \"DeleteFileW\"\nnth = 1\nerror = 5\n", Older,
       Versioned, VIFF_FORCEINSTALL, MAX_PATH, false, VIF_CANNOTDELETE | VIF_ACCESSVIOLATION, false, 1},
      {"a copy that cannot be renamed", "[[faults]]\nfunction = \"MoveFileW\"\nerror = 32\n", None, Versioned,
       VIFF_FORCEINSTALL, MAX_PATH, false, VIF_CANNOTRENAME | VIF_SHARINGVIOLATION, false, 0},
      {"a copy that cannot be made", "[[faults]]\nfunction = \"GetTempFileNameW\"\nerror = 5\n", None, Versioned,
       VIFF_FORCEINSTALL, MAX_PATH, false, VIF_CANNOTCREATE | VIF_ACCESSVIOLATION, false, 0},
      {"a fault of its own", "[[faults]]\nfunction = \"VerInstallFileW\"\nerror = 2048\n", None, Versioned,
       VIFF_FORCEINSTALL, MAX_PATH, false, VIF_CANNOTCREATE, false, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Open(c.toml);
    fs::create_directories(winsim::HostPath(L"C:\\src"));
    fs::create_directories(winsim::HostPath(L"C:\\dst"));
    mkpe::VersionInfo info = SampleInfo();
    info.fileVersion = {2, 0, 0, 0};
    std::vector<uint8_t> source = mkpe::BuildImage(c.src == Versioned ? &info : nullptr, mkpe::FileType::Drv);
    if (c.src != SrcMissing) Put(L"C:\\src\\new.sys", source);
    info.fileVersion = {c.dest == Newer ? uint16_t(3) : uint16_t(1), 0, 0, 0};
    std::vector<uint8_t> old = mkpe::BuildImage(c.dest == Unversioned ? nullptr : &info,
                                                c.dest == OtherType ? mkpe::FileType::Dll : mkpe::FileType::Drv);
    if (c.dest == OtherLanguage || c.dest == OtherCodePage) {
      // The Translation value 0x0409/0x04B0 becomes 0x0407/0x04B0 or 0x0409/0x04E4.
      const uint8_t translation[] = {0x09, 0x04, 0xB0, 0x04};
      auto at = std::search(old.begin(), old.end(), std::begin(translation), std::end(translation));
      ASSERT_NE(at, old.end());
      if (c.dest == OtherLanguage) at[0] = 0x07;
      if (c.dest == OtherCodePage) at[2] = 0xE4;
    }
    if (c.dest != None) Put(L"C:\\dst\\z.sys", old);
    if (c.dest == ReadOnly) {
      ASSERT_TRUE(SetFileAttributesW(L"C:\\dst\\z.sys", FILE_ATTRIBUTE_READONLY));
    }
    HANDLE open =
        c.openHandle ? CreateFileW(L"C:\\dst\\z.sys", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)
                     : INVALID_HANDLE_VALUE;

    WCHAR temp[MAX_PATH] = L"";
    UINT length = c.capacity;
    DWORD result = VerInstallFileW(c.flags, L"new.sys", L"z.sys", L"C:\\src", L"C:\\dst", L"C:\\dst", temp, &length);
    if (open != INVALID_HANDLE_VALUE) CloseHandle(open);
    EXPECT_EQ(result, c.expected) << std::hex << result;

    std::vector<std::string> names;
    for (auto &e : fs::directory_iterator(winsim::HostPath(L"C:\\dst"))) names.push_back(e.path().filename().string());
    EXPECT_EQ(names.size(), c.files);
    std::ifstream in(winsim::HostPath(L"C:\\dst\\z.sys"), std::ios::binary);
    std::vector<uint8_t> now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (c.replaced) {
      EXPECT_EQ(now, source);
    } else if (c.dest != None) {
      EXPECT_EQ(now, old);
    }
    if (result & VIF_TEMPFILE) {
      // The copy of the source, named without its folder.
      std::wstring name = temp;
      EXPECT_EQ(length, name.size() + 1);
      EXPECT_EQ(name.substr(0, 3), L"VER");
      std::ifstream copy(winsim::HostPath(L"C:\\dst\\" + name), std::ios::binary);
      EXPECT_EQ(std::vector<uint8_t>((std::istreambuf_iterator<char>(copy)), std::istreambuf_iterator<char>()), source);
    } else if (result & VIF_BUFFTOOSMALL) {
      EXPECT_GT(length, c.capacity);  // the size the name needs
    }
  }
}

// A forced call that names the copy an earlier call left installs that copy.
TEST_F(VersionTest, VerInstallFileForcedReusesTheCopyItWasGiven) {
  fs::create_directories(winsim::HostPath(L"C:\\dst"));
  mkpe::VersionInfo info = SampleInfo();
  std::vector<uint8_t> newer = mkpe::BuildImage(&info, mkpe::FileType::Drv);
  Put(L"C:\\dst\\new.sys", newer);
  info.fileVersion = {9, 0, 0, 0};
  Put(L"C:\\dst\\z.sys", mkpe::BuildImage(&info, mkpe::FileType::Drv));

  WCHAR temp[MAX_PATH] = L"";
  UINT length = MAX_PATH;
  ASSERT_EQ(VerInstallFileW(0, L"new.sys", L"z.sys", L"C:\\dst", nullptr, nullptr, temp, &length),
            DWORD(VIF_MISMATCH | VIF_SRCOLD | VIF_TEMPFILE));
  DeleteFileW(L"C:\\dst\\new.sys");  // the copy alone is installed now
  length = MAX_PATH;
  EXPECT_EQ(VerInstallFileW(VIFF_FORCEINSTALL, L"x.sys", L"z.sys", L"C:\\dst", nullptr, nullptr, temp, &length),
            DWORD(VIF_CANNOTREADSRC));
  Put(L"C:\\dst\\x.sys", {'x'});
  EXPECT_EQ(VerInstallFileW(VIFF_FORCEINSTALL, L"x.sys", L"z.sys", L"C:\\dst", nullptr, nullptr, temp, &length), 0u);
  std::ifstream in(winsim::HostPath(L"C:\\dst\\z.sys"), std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), newer);
  EXPECT_FALSE(fs::exists(winsim::HostPath(L"C:\\dst\\") / winsim::ToUtf8(temp)));
}
