#include "base/diagnostics.h"

#include <cstdio>

namespace winsim {

void NotModelled(const char *function, const std::string &what) {
  std::fprintf(stderr, "winsim: %s: %s is not modelled\n", function, what.c_str());
}

}  // namespace winsim
