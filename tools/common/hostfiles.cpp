#include "hostfiles.h"

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace hostfiles {

std::string ReadAll(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool CopyTree(const fs::path &from, const fs::path &to, std::string &error) {
  std::error_code ec;
  fs::create_directories(to, ec);
  fs::copy(from, to,
           fs::copy_options::recursive | fs::copy_options::overwrite_existing | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    error = "cannot copy " + from.string() + " to " + to.string() + ": " + ec.message();
    return false;
  }
  return true;
}

fs::path ExecutableDirectory() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path() : self.parent_path();
}

}  // namespace hostfiles
