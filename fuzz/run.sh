#!/usr/bin/env bash
# Runs every fuzz target of the fuzz build for SECONDS each, one after the other:
#   fuzz/run.sh BIN_DIR SECONDS
# Each starts from its seed corpus, its saved findings and what earlier runs of this build
# added (BIN_DIR/../fuzz-work/corpus/TARGET, where new inputs go). An input that fails is
# written to BIN_DIR/../fuzz-work/findings/TARGET/; save it under fuzz/findings/TARGET/
# with its fix. Prints the executions of each target and fails when any target found one.
# Leaks are not checked while fuzzing (the check after every input that allocates more than
# it frees makes a run five times slower); the replay of the corpus in the sanitizer build
# checks them at exit.
set -euo pipefail
bin=$(cd "$1" && pwd)
seconds=$2
src=$(cd "$(dirname "$0")" && pwd)
work=$(dirname "$bin")/fuzz-work
mkdir -p "$work"

failed=0
printf '%-12s %12s %8s  %s\n' target executions seconds result
for dir in "$src"/corpus/*/; do
  target=$(basename "$dir")
  mkdir -p "$work/corpus/$target" "$work/findings/$target"
  options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 -detect_leaks=0
           -artifact_prefix="$work/findings/$target/")
  [ -f "$src/dict/$target.dict" ] && options+=(-dict="$src/dict/$target.dict")
  log=$work/$target.log
  result=ok
  "$bin/fuzz_$target" "${options[@]}" "$work/corpus/$target" "$src/corpus/$target" \
    "$src/findings/$target" >"$log" 2>&1 || result="FINDING (see $log)"
  [ "$result" = ok ] || failed=1
  executions=$(awk '/stat::number_of_executed_units:/ {print $2}' "$log" | tail -1)
  printf '%-12s %12s %8s  %s\n' "$target" "${executions:-?}" "$seconds" "$result"
done
exit "$failed"
