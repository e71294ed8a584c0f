#!/usr/bin/env bash
# Wall time of a mode-4 sequence of qm-capture with --png against the same
# sequence without, through the driver and the simulated camera delivering at
# once (QM_SIM_TIME_SCALE=0), so that saving is all there is besides readout.
# Runs with and without previews take turns; the ratio is that of the medians.
# Goal: at most 1.3. Exit status 3 when a goal is missed.
#
#   bench/capture_sequence_bench.sh [QM_CAPTURE] [FRAMES] [REPETITIONS] [EXPOSURES]
#
# EXPOSURES: the lengths in seconds to try, one sequence each (default
# "0.01 1 30").
set -euo pipefail

tool=${1:-build/bench/out/qm-capture}
frames=${2:-10}
repetitions=${3:-5}
exposures=${4:-0.01 1 30}
goal=1.3
[ -x "$tool" ] || { echo "no qm-capture at $tool (cmake --build --preset bench)" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Seconds for one sequence into a fresh folder.
run() {
  local exposure=$1; shift
  local out="$scratch/run"
  rm -rf "$out"
  local start end
  start=$(date +%s.%N)
  QM_SIM_TIME_SCALE=0 "$tool" capture -m 4 -e "$exposure" -n "$frames" \
    -o "$out/f_{n:03}.fits" "$@" >/dev/null
  end=$(date +%s.%N)
  local saved
  saved=$(find "$out" -name '*.fits' | wc -l)
  [ "$saved" -eq "$frames" ] || { echo "only $saved of $frames frames saved" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

status=0
printf '%-10s %8s %12s %12s %9s %6s\n' exposure frames "plain s" "--png s" ratio result
for exposure in $exposures; do
  plain=() png=()
  for ((i = 0; i < repetitions; ++i)); do
    plain+=("$(run "$exposure")")
    png+=("$(run "$exposure" --png)")
  done
  p=$(printf '%s\n' "${plain[@]}" | median)
  q=$(printf '%s\n' "${png[@]}" | median)
  ratio=$(awk -v p="$p" -v q="$q" 'BEGIN { print q / p }')
  result=pass
  if awk -v r="$ratio" -v g="$goal" 'BEGIN { exit !(r > g) }'; then result=FAIL; status=3; fi
  printf '%-10s %8d %12.3f %12.3f %9.3f %6s\n' "${exposure} s" "$frames" "$p" "$q" "$ratio" "$result"
done
exit $status
