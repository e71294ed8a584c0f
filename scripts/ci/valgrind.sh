#!/usr/bin/env bash
# Runs one end-to-end capture under valgrind's memcheck: qm-capture loading
# D_QM208X.so, which drives the simulated camera (exposures without wall-clock
# wait) through two frames of mode 2 saved as FITS and PNG. Any invalid access,
# use of uninitialised memory or definitely or indirectly lost block (a frame
# buffer, the camera's worker thread) fails the run. Builds the four programs
# it needs in the default preset's folder, if they are not built yet.
set -euo pipefail
cd "$(dirname "$0")/../.."

start=$SECONDS
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target qm-capture D_QM208X CCDVideoAPI qm_platform
built=$SECONDS

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
QM_SIM_TIME_SCALE=0 valgrind --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
  build/default/out/qm-capture capture --mode 2 --count 2 --exposure 0.5 --png \
  --output "$out/frame_{n}.fits"
echo "valgrind: build $((built - start)) s, capture $((SECONDS - built)) s, no error"
