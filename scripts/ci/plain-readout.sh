#!/usr/bin/env bash
# Builds the driver with every window sent through the straightforward readout,
# no vector loops (preset "plain", QM_FORCE_REFERENCE_READOUT), and runs the
# driver's and the readout's tests on it, so both the vector path (default
# preset) and the plain one are tested on every change.
set -euo pipefail
cd "$(dirname "$0")/../.."

programs=(driver_tests readout_fast_tests)

start=$SECONDS
cmake --preset plain
cmake --build --preset plain -j2 --target D_QM208X CCDVideoAPI qm_platform "${programs[@]}"
built=$SECONDS

# The driver's readFrame must hand every window to the reference and never
# reach the row loops: checked in the built module, so a build switch that
# stopped working fails the stage instead of testing the vector path twice.
body=$(objdump -d --no-show-raw-insn build/plain/out/D_QM208X.so |
  awk '/<_Z9readFramejRK13ReadoutWindowPKhPt>:$/ { on = 1 } /^$/ { on = 0 } on')
if ! grep -q 'readFrameReference' <<<"$body" || grep -q 'readFrameFast' <<<"$body"; then
  echo "plain-readout: the driver's readFrame does not go straight to the reference:" >&2
  echo "$body" >&2
  exit 1
fi
status=0
for program in "${programs[@]}"; do
  timeout 900 "build/plain/out/$program" --gtest_brief=1 || status=1
done
echo "plain-readout: build $((built - start)) s, tests $((SECONDS - built)) s"
exit $status
