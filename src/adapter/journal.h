// The adapter journal: the states the install found the supported adapters in, on disk for
// the length of one Install, so that an install the host process did not live to finish
// (killed by a time-out, a crash, a power cut) leaves no adapter disabled for good. It is
// written just before the disable pass, read by the next Install only, and removed once every
// adapter it lists as started is enabled again. It names adapters to re-enable and nothing
// else; `check` never reads it.
//
// The file is VADORUREV\adapters.jnl at the root of the system drive, in the folder made safe
// first: UTF-16LE text with a byte order mark, the line "kvncomp adapter journal 1", a line
// "started<TAB>ID" or "disabled<TAB>ID" per adapter, and "end N" with N the adapter lines. A
// file that does not read so, or that names no adapter, is not the component's: it is renamed
// aside (adapters.jnl.badN) and never trusted to enable anything.
#pragma once

#include <windows.h>

#include <string>

#include "support/cstr.h"

// What a journal's text says; false when it is not a journal (its lines then say nothing).
struct AdapterJournalText {
  CStrList started, disabled;
};
bool ParseAdapterJournal(const std::wstring &text, AdapterJournalText &journal);
std::wstring FormatAdapterJournal(const AdapterJournalText &journal);

// The journal's path, "C:\VADORUREV\adapters.jnl" for a system directory on C:; empty when the
// system directory cannot be read.
CStr AdapterJournalPath();

class CAdapterJournal {
 public:
  // Reads the journal an earlier install left, if any; a file that is not one is renamed aside
  // (with a log entry) and the journal starts empty.
  void Load();
  // The adapters an earlier, interrupted install found started.
  const CStrList &EarlierStarted() const { return m_earlier.started; }
  bool WasStarted(const WCHAR *instanceId) const;
  // Writes what this install found (an adapter an earlier journal lists as started stays
  // started) under a new name, flushed, then over the journal. Nothing to write (no adapter)
  // is success. False when it could not be written; the install goes on without it.
  bool Write(const CStrList &started, const CStrList &disabled);
  // After the re-enable walk: the journal goes when `notRestored` is empty; otherwise it keeps
  // those adapters as started, for the next install to try again.
  void Finish(const CStrList &notRestored);

 private:
  bool WriteText(const AdapterJournalText &journal);
  AdapterJournalText m_earlier;
};
