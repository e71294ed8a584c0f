#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz", clang, libFuzzer with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs both side by side, one per core, for a
# bounded time from a copy of their checked-in corpora, so the run writes
# nothing into the repository. Any finding fails the run; the input that caused
# it is kept in build/fuzz/findings.
#
# QM_FUZZ_SECONDS sets the time per target (default 120).
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${QM_FUZZ_SECONDS:-120}
targets=(session readout)
findings=build/fuzz/findings
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

start=$SECONDS
cmake --preset fuzz
cmake --build --preset fuzz -j2
echo "fuzz: build $((SECONDS - start)) s"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
begin=$SECONDS
declare -A pids
for target in "${targets[@]}"; do
  cp -r "fuzz/corpus/$target" "$work/$target"
  mkdir -p "$work/$target-findings"
  build/fuzz/out/qm_fuzz_$target "$work/$target" -max_total_time="$seconds" -timeout=60 \
    -print_final_stats=1 -artifact_prefix="$work/$target-findings/" >"$work/$target.log" 2>&1 &
  pids[$target]=$!
done

status=0
for target in "${targets[@]}"; do
  log="$work/$target.log"
  if ! wait "${pids[$target]}"; then
    status=1
    tail -n 60 "$log"
    mkdir -p "$findings"
    cp "$work/$target-findings/"* "$findings/" 2>/dev/null || true
    echo "fuzz $target: FINDING, input kept in $findings"
    continue
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  echo "fuzz $target: $execs executions in $seconds s ($rate/s), $coverage, no finding"
done
echo "fuzz: both targets $((SECONDS - begin)) s"
exit $status
