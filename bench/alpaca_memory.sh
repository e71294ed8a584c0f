#!/usr/bin/env bash
# qm-alpaca's resident memory, open files and threads over a night of full
# frames (ImageBytes, JSON, two clients reading both at once), with the
# simulated camera delivering at once. Builds what it needs in the default
# preset first; the cases and the bound are in alpaca_memory_bench.cpp.
#
#   bench/alpaca_memory.sh [--frames N] [--case imagebytes|json|two-clients]
#
# Exit status: 0 every case within the bound, 3 one outside it, 1 a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build build/default -j2 --target alpaca_memory_bench qm-alpaca D_QM208X CCDVideoAPI \
  qm_platform >/dev/null

echo "date:      $(date -u +%Y-%m-%dT%H:%M:%SZ)"
echo "processor: $(lscpu | sed -n 's/^Model name: *//p') ($(nproc) cores)"
echo "load:      $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
status=0
build/default/out/alpaca_memory_bench "$@" || status=$?
echo
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
