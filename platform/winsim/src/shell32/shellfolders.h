// The shell's special folders on this machine, shared by the shell calls and the DIRIDs of
// the INF calls, so that both name the same folder.
#pragma once

#include <string>

namespace winsim {

// The folder of CSIDL `csidl` (without CSIDL_FLAG_CREATE) as the machine's Windows version
// lays it out, from its environment; empty for a folder winsim does not model. `known` says
// whether Windows has the number at all.
std::wstring SpecialFolderPath(int csidl, bool &known);

}  // namespace winsim
