// CCmpLog: the setup log. The normal log "kvnsetup.log" collects the report an
// administrator reads; the verbose log (only when verbose) collects every step with its
// time, source file and line. The host shares this class and may hand its own log to the
// component, so the layout and the order of the virtual operations are part of the
// contract between them.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "support/handles.h"

// Log entry kinds: where an entry goes (normal log / verbose log).
enum LogKind {
  LOG_NORMAL = 0,          // normal: prefix + text
  LOG_VERBOSE_STEP = 1,    // verbose: tag + text
  LOG_VERBOSE_RESULT = 2,  // verbose: prefix + text
  LOG_BOTH_STEP = 3,       // normal: prefix + text; verbose: tag + text
  LOG_BOTH_RESULT = 4,     // both: prefix + text
};

// Entry severities (setupapi.h already names a LogSeverity type).
enum EntrySeverity { SEV_NONE = 0, SEV_WARNING = 1, SEV_ERROR = 2, SEV_CRITICAL = 3 };

enum LogResult {
  LOG_OK = 0,
  LOG_CLOSE_FAILED = 0x66,   // 102
  LOG_OPEN_FAILED = 0x67,    // 103
  LOG_PATH_TOO_LONG = 0x68,  // 104
};

struct LogFileRecord {
  WCHAR szDirectory[MAX_PATH];  // environment expanded, ends in a backslash
  WCHAR szName[256];
  BOOL bOpen = FALSE;
  unique_hfile hFile;  // invalid until opened
};

class CCmpLog {
 public:
  // Both arguments optional: the verbose file's name (generated "_VQxxxx.tmp" when absent)
  // and its directory (the log directory when absent).
  explicit CCmpLog(const WCHAR *verboseName = nullptr, const WCHAR *verboseDirectory = nullptr);

  // Releases the file records; a handle still open is closed with them.
  virtual ~CCmpLog();
  // Opens the verbose file (when verbose), then the normal file, creating their
  // directories. 0, or LOG_OPEN_FAILED at the first file that cannot be opened.
  virtual int Open();
  // 0 when the open handles closed, else LOG_CLOSE_FAILED.
  virtual int CloseFiles();
  virtual void WriteLogHeader();
  // Writes one entry (kind, severity: the enums above); `sourceFile` may be null.
  virtual void WriteEntry(int kind, int severity, const WCHAR *sourceFile, int line, const WCHAR *format, ...);
  virtual void WriteLogFooter(int returnCode);
  virtual void SetVerbose(BOOL verbose);

  // Opens the files as the host setup engine's own copy of this class does: each level of the
  // directories created as it is missing (whatever access it inherits), no folder made safe.
  // What a harness uses to stand in for the host; same results as Open.
  int OpenAsHost();

  BOOL IsVerbose() const { return m_bVerbose; }
  // The verbose record's name and directory; empty texts when there is no verbose record.
  const WCHAR *GetVerboseName() const;
  const WCHAR *GetVerboseDirectory() const;
  // Moves the verbose file to newDirectory + newName, or merges it into the file already
  // there. Logging goes on in the old file whenever the move or merge cannot be done.
  void RelocateVerboseLog(const WCHAR *newName, const WCHAR *newDirectory);

  int GetConstructionError() const { return m_nConstructionError; }
  const WCHAR *m_pszStubVersion = nullptr;  // "Stub Version" of the verbose header

 private:
  static constexpr size_t kNormal = 0;
  static constexpr size_t kVerbose = 1;

  int OpenFiles(bool safeFolders);
  LogFileRecord *Record(size_t index);
  const LogFileRecord *Record(size_t index) const;
  bool CanWrite(size_t index) const;
  void WriteText(LogFileRecord &file, const WCHAR *format, ...);
  void WriteTextV(LogFileRecord &file, const WCHAR *format, va_list args);
  void WriteBytes(LogFileRecord &file, const std::string &bytes);

  int m_nConstructionError = 0;
  std::vector<LogFileRecord> m_files;  // [0] normal log, [1] verbose log
  BOOL m_bVerbose = FALSE;
};

// Creates every level of a directory path (failures ignored) and opens the file for
// appending with read and write sharing, as the log files are opened.
HANDLE OpenLogFile(const WCHAR *directory, const WCHAR *fullPath);

// The front end the adapter component writes its log lines through. It always writes to the
// log it is bound to; the component re-binds it when its log changes.
class CMessageWriter {
 public:
  void Bind(CCmpLog *log) { m_pLog = log; }
  CCmpLog *GetLog() const { return m_pLog; }
  // Step form: verbose log, tagged (kind 1, severity 0).
  void Step(const WCHAR *sourceFile, int line, const WCHAR *format, ...);
  // Report form: normal log, no tag (kind 0, severity 0).
  void Report(const WCHAR *sourceFile, int line, const WCHAR *format, ...);
  // Report form with the warning severity: normal log, "**WARNING** - " before the text.
  void Warning(const WCHAR *sourceFile, int line, const WCHAR *format, ...);

 private:
  void Write(int kind, int severity, const WCHAR *sourceFile, int line, const WCHAR *format, va_list args);
  CCmpLog *m_pLog = nullptr;
  WCHAR m_szPrefix[64] = L"";  // always empty
};

extern CMessageWriter g_messageWriter;
