#!/usr/bin/env bash
# Time from an exposure request to the image file at the client, through a real
# indiserver, for 0.01 s exposures: indi_qm208x_ccd with the simulated camera in
# real time in modes 4 and 0, and INDI's own indi_simulator_ccd at its default
# size, in one run; then live video in the same cases (frames per second at the
# client, and the time a stop takes). Builds what it needs in the default
# preset first.
#
#   bench/indi_bench.sh [--repetitions N] [--exposure SECONDS] [--stream-seconds S]
#
# QM_INDI_DRIVER=/usr/bin/indi_qm208x_ccd times an installed driver instead.
# Goals: mode 4 median 0.15 s and slowest frame 0.2 s (no frame pays the 200 ms
# pause of a d_IsExposing that came too early), mode 0 median 0.08 s.
# Exit status: 0 every goal met, 3 a goal missed, 1 a case delivered no image.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build build/default -j2 --target indi_exposure_bench indi_qm208x_ccd D_QM208X \
  CCDVideoAPI qm_platform qm_loopback_only >/dev/null

echo "date:      $(date -u +%Y-%m-%dT%H:%M:%SZ)"
echo "processor: $(lscpu | sed -n 's/^Model name: *//p') ($(nproc) cores)"
echo "load:      $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
echo "indi:      $(dpkg-query -W -f='${Version}' indi-bin 2>/dev/null || echo unknown)"
echo "driver:    ${QM_INDI_DRIVER:-build/default/out/indi_qm208x_ccd}"
echo
# libindi's client library prints protocol notes on stderr: kept out of the
# table, shown when a case fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
build/default/out/indi_exposure_bench "$@" 2>"$log" || status=$?
if [ "$status" -eq 1 ] || [ "$status" -eq 2 ]; then
  cat "$log" >&2
fi
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
