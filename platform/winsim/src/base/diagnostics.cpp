#include "base/diagnostics.h"

#include <cstdio>

namespace winsim {

namespace {
std::vector<std::string> &NoteList() {
  static std::vector<std::string> notes;
  return notes;
}
}  // namespace

void NotModelled(const char *function, const std::string &what) {
  std::string note = std::string(function) + ": " + what + " is not modelled";
  std::fprintf(stderr, "winsim: note: %s\n", note.c_str());
  // A run that meets the same case many times keeps the first thousand notes.
  if (NoteList().size() < 1000) NoteList().push_back(std::move(note));
}

const std::vector<std::string> &Notes() { return NoteList(); }

void ClearNotes() { NoteList().clear(); }

}  // namespace winsim
