// CInf over an arbitrary INF: construction (open, [Version], the section lists) and every
// read that installs nothing: service names and start types, the destination folders of
// each file list, DIRID folders and the section listing in buffers of every kind of size.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "driverinstall/inf.h"
#include "fuzzmachine.h"

namespace {

const wchar_t kPath[] = L"C:\\Fuzz\\Driver\\input.inf";

void ReadSection(CInf &inf, const WCHAR *section) {
  WCHAR name[16];
  (void)inf.GetServiceName(section, name, 16);
  WCHAR wide[MAX_PATH];
  (void)inf.GetServiceName(section, wide, MAX_PATH);
  DWORD startType = 0;
  (void)inf.GetServiceStartType(section, &startType);
  CStr folder;
  (void)inf.GetDestinationDir(section, folder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::EnsureMachine();
  fuzz::WriteMachineFile(kPath, fuzz::Bytes(data, size));
  CInf inf(kPath);
  (void)inf.GetSignature();
  (void)inf.GetClass();
  (void)inf.GetClassGuid();
  if (inf.IsOpen()) {
    ReadSection(inf, nullptr);
    for (const CStrList *list :
         {&inf.GetCopyFilesSections(), &inf.GetServiceSections(), &inf.GetSoftwareSettingsSections()})
      for (int i = 0; i < list->GetCount() && i < 64; ++i) ReadSection(inf, list->GetAt(i));
    (void)inf.LoadDestinationDirs();
    CStr folder;
    (void)inf.GetDestinationDir(L"DefaultDestDir", folder);
    for (DWORD dirId : {0u, 10u, 11u, 12u, 17u, 24u, 1000u}) (void)inf.GetDirIdPath(dirId, folder);
  }
  for (DWORD chars : {1u, 2u, 16u, 4096u}) (void)ReadSectionNames(kPath, chars);
  return 0;
}
