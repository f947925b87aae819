// What winsim says on standard error of a case it does not model.
#pragma once

#include <string>

namespace winsim {

// Says on standard error that winsim does not model a call or a case.
void NotModelled(const char *function, const std::string &what);

}  // namespace winsim
