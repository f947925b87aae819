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

bool LinkFile(const fs::path &from, const fs::path &to, std::string &error) {
  std::error_code ec;
  fs::remove(to, ec);
  fs::create_hard_link(from, to, ec);
  if (ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec) error = "cannot copy " + from.string() + " to " + to.string() + ": " + ec.message();
  return !ec;
}

bool LinkTree(const fs::path &from, const fs::path &to, std::string &error) {
  std::error_code ec;
  fs::create_directories(to, ec);
  for (auto it = fs::recursive_directory_iterator(from, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path target = to / fs::relative(it->path(), from, ec);
    if (it->is_symlink(ec)) {
      fs::remove(target, ec);
      fs::copy_symlink(it->path(), target, ec);
    } else if (it->is_directory(ec)) {
      fs::create_directories(target, ec);
    } else if (!LinkFile(it->path(), target, error)) {
      return false;
    }
    if (ec) break;
  }
  if (ec) error = "cannot copy " + from.string() + " to " + to.string() + ": " + ec.message();
  return !ec;
}

fs::path ExecutableDirectory() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path() : self.parent_path();
}

}  // namespace hostfiles
