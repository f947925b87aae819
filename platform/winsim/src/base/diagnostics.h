// What winsim says of a case it does not model: a note on standard error, kept for the host
// (winsim::SimulatorNotes) until the next machine opens.
#pragma once

#include <string>
#include <vector>

namespace winsim {

// Says on standard error that winsim does not model a call or a case, and keeps the note.
void NotModelled(const char *function, const std::string &what);

// The notes since they were last cleared, in order ("CreateProcessW: ... is not modelled").
const std::vector<std::string> &Notes();
void ClearNotes();

}  // namespace winsim
