// kvnhost lint over a package directory made from the input: the package definition, the
// installation description, the dependency file and the INF, cut apart at each
// "\n--8<--\n" (a missing part leaves its file out). Every finding must name a rule lint knows.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzzmachine.h"
#include "lint.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::EnsureMachine();
  auto parts = fuzz::Split(fuzz::Bytes(data, size), "\n--8<--\n", 4);
  const wchar_t *const names[] = {L"vqfuzz.xml", L"install.xml", L"dependency.xml", L"fuzz.inf"};
  for (const wchar_t *name : names) DeleteFileW((std::wstring(L"C:\\Lint\\") + name).c_str());
  for (size_t i = 0; i < parts.size(); ++i) fuzz::WriteMachineFile(std::wstring(L"C:\\Lint\\") + names[i], parts[i]);
  const lint::Result result = lint::LintPackage(L"C:\\Lint");
  for (const lint::Finding &f : result.findings)
    if (!lint::FindRule(f.rule)) fuzz::Fail("a finding of no rule: " + f.rule);
  return 0;
}
