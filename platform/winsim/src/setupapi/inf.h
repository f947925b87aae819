// An open INF file of the handle table, shared by the INF calls (inf.cpp) and the
// installation calls that act on its sections (infinstall.cpp).
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <memory>
#include <string>
#include <vector>

#include "plumbing/handles.h"
#include "setupapi/infparse.h"

namespace winsim {

struct InfFile : Object {
  InfFile() : Object(Kind::InfFile) {}
  InfData data;
  std::wstring path;                   // the full path it was opened from
  std::vector<std::wstring> appended;  // the full paths of INF files an Include added
};

// The INF behind a handle; null for NULL, INVALID_HANDLE_VALUE or a handle of another kind
// (a closed one stops the run, as every handle lookup does).
std::shared_ptr<InfFile> FindInf(HINF hinf);

// The folders of the DIRIDs an INF of this machine may name (1: the INF's own folder; 13,
// from Windows 8.1 on, the package folder of an INF in the driver store).
DirIds MachineDirIds(const std::wstring &infPath);

// Reads an INF file's bytes, found at the full path `infPath`, as this machine reads them:
// its DIRIDs and the strings section of its system locale. ParseInf's answers.
DWORD ParseMachineInf(const std::string &bytes, const std::wstring &infPath, InfData &out, UINT *errorLine);

// Where SetupOpenInfFileW finds a file: a bare name in %windir%\INF, then in System32;
// anything else as a path.
std::wstring InfLocation(const std::wstring &name);

}  // namespace winsim
