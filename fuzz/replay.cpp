// Runs a fuzz target's entry point once over each input file without libFuzzer: the
// regression test of the normal and sanitizer builds. Arguments are files or directories
// (their files in name order; names starting with '.' are skipped). Fails when an argument
// is missing or no input was run; a finding aborts the process as under the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

namespace {

bool RunFile(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.string().c_str(), bytes.size());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    fs::path arg = argv[i];
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      std::vector<fs::path> files;
      for (const auto &entry : fs::directory_iterator(arg, ec))
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
      std::sort(files.begin(), files.end());
      for (const auto &f : files) runs += RunFile(f) ? 1 : 0;
    } else if (fs::is_regular_file(arg, ec)) {
      runs += RunFile(arg) ? 1 : 0;
    } else {
      std::fprintf(stderr, "replay: %s: no such file or directory\n", argv[i]);
      return 2;
    }
  }
  std::fprintf(stderr, "replay: %zu inputs ran without a finding\n", runs);
  return runs > 0 ? 0 : 1;
}
