#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz", clang, libFuzzer with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each for a bounded time from a copy of
# its checked-in corpus, so the run writes nothing into the repository. Any
# finding fails the run; the input that caused it is kept in build/fuzz/findings.
#
# QM_FUZZ_SECONDS sets the time per target (default 120).
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${QM_FUZZ_SECONDS:-120}
findings=build/fuzz/findings
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

start=$SECONDS
cmake --preset fuzz
cmake --build --preset fuzz -j2
echo "fuzz: build $((SECONDS - start)) s"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for target in session readout; do
  cp -r "fuzz/corpus/$target" "$work/$target"
  mkdir -p "$work/$target-findings"
  log="$work/$target.log"
  begin=$SECONDS
  if ! build/fuzz/out/qm_fuzz_$target "$work/$target" -max_total_time="$seconds" \
      -timeout=60 -print_final_stats=1 -artifact_prefix="$work/$target-findings/" >"$log" 2>&1; then
    status=1
    tail -n 60 "$log"
    mkdir -p "$findings"
    cp "$work/$target-findings/"* "$findings/" 2>/dev/null || true
    echo "fuzz $target: FINDING after $((SECONDS - begin)) s, input kept in $findings"
    continue
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  echo "fuzz $target: $execs executions in $((SECONDS - begin)) s ($rate/s), $coverage, no finding"
done
exit $status
