#!/usr/bin/env bash
# Runs the Windows tests (scripts/ci/windows.sh: a new Wine prefix each time,
# then the tests under Wine) N times in a row, default 10, and prints one line a
# run and a summary. Each run's output is kept in build/mingw/repeat/.
set -uo pipefail
cd "$(dirname "$0")/../.."

runs=${1:-10}
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [RUNS]   (RUNS a positive whole number, default 10)" >&2
  exit 2
fi
logs=build/mingw/repeat
mkdir -p "$logs"

# With QM_WINE_EMULATE=1, windows.sh registers QEMU for i386 programs; a
# registration this script caused is removed again at the end.
binfmt_entry=/proc/sys/fs/binfmt_misc/qemu-i386
if [ "${QM_WINE_EMULATE:-0}" = 1 ] && [ ! -e "$binfmt_entry" ]; then
  trap 'if [ -e "$binfmt_entry" ]; then echo -1 >"$binfmt_entry"; fi' EXIT
fi

passed=0 failed=0 retried=0
for ((run = 1; run <= runs; run++)); do
  start=$SECONDS
  log="$logs/run-$run.log"
  if scripts/ci/windows.sh >"$log" 2>&1; then
    result=passed; passed=$((passed + 1))
  else
    result="FAILED (status $?)"; failed=$((failed + 1))
  fi
  note=""
  if grep -q 'retrying once on a fresh' "$log"; then
    note=", prefix start-up retried"; retried=$((retried + 1))
  fi
  echo "run $run: $result in $((SECONDS - start)) s$note ($log)"
done
echo "prefix start-up retried in $retried of $runs runs"
echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
