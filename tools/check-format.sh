#!/usr/bin/env bash
# Fails when a C++ file of the repository is not formatted as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- '*.cpp' '*.h' 2>/dev/null || true)
if [ "${#files[@]}" -eq 0 ]; then
  mapfile -t files < <(find src platform tools tests bench fuzz -name '*.cpp' -o -name '*.h' 2>/dev/null)
fi
if ! clang-format --dry-run -Werror "${files[@]}" 2>/tmp/kvn-format.$$; then
  head -n 40 /tmp/kvn-format.$$ >&2
  rm -f /tmp/kvn-format.$$
  echo "check-format: files are not formatted; run: clang-format -i \$(git ls-files '*.cpp' '*.h')" >&2
  exit 1
fi
rm -f /tmp/kvn-format.$$
echo "check-format: ${#files[@]} files formatted as .clang-format says"
