#!/usr/bin/env bash
# qm-alpaca's image delivery beside the INDI driver's, in one run: the time
# from StartExposure(0.01) to the last byte of the full-frame image (mode 4) at
# an Alpaca client over ImageBytes and JSON, the transfer once ImageReady, the
# wait of any request during an exposure; then indi_qm208x_ccd's exposure-to-
# file time through indiserver on the same machine. Builds what it needs in
# the default preset first.
#
#   bench/alpaca_bench.sh [--repetitions N]
#
# Exit status: 0 every goal met, 3 a goal missed, 1 a case failed.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build build/default -j2 --target alpaca_exposure_bench qm-alpaca indi_exposure_bench \
  indi_qm208x_ccd D_QM208X CCDVideoAPI qm_platform qm_loopback_only >/dev/null

echo "date:      $(date -u +%Y-%m-%dT%H:%M:%SZ)"
echo "processor: $(lscpu | sed -n 's/^Model name: *//p') ($(nproc) cores)"
echo "load:      $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
echo
status=0
build/default/out/alpaca_exposure_bench "$@" || status=$?
echo
echo "The INDI driver in the same run (exposure request to image file at the client):"
echo
log=$(mktemp)
trap 'rm -f "$log"' EXIT
indi_status=0
build/default/out/indi_exposure_bench --exposure 0.01 "$@" 2>"$log" || indi_status=$?
if [ "$indi_status" -eq 1 ] || [ "$indi_status" -eq 2 ]; then
  cat "$log" >&2
fi
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$status" -ne 0 ]; then exit "$status"; fi
exit "$indi_status"
