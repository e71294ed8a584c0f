#!/usr/bin/env bash
# Builds the simulated camera, the driver, qm-capture and their tests with
# ThreadSanitizer (preset "tsan", g++) and runs the tests whose work crosses
# threads: the simulated camera with its worker thread (simcam_tests), the
# capture loop of the host library (host_unit_tests), qm-capture's units
# (capture_unit_tests), qm-capture end to end through the driver and the
# simulated camera (capture_tool_tests), and qm-alpaca through the API tests
# that cross its threads. A report from a test
# program or from any qm-capture it starts fails the stage; the reports are
# printed.
set -euo pipefail
cd "$(dirname "$0")/../.."

programs=(simcam_tests host_unit_tests capture_unit_tests capture_tool_tests)
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan:suppressions=$PWD/scripts/ci/tsan-suppressions.txt"

start=$SECONDS
cmake --preset tsan
cmake --build --preset tsan -j2 --target "${programs[@]}"
built=$SECONDS

status=0
for program in "${programs[@]}"; do
  # A hang under the sanitizer ends the stage instead of the whole run.
  timeout 900 "build/tsan/out/$program" --gtest_brief=1 || status=1
done
# qm-alpaca's threads (HTTP, the camera worker, shutdown) through the API tests
# that cross them; the reports of every qm-alpaca they start land beside the
# others. About 20 s.
cmake --build --preset tsan -j2 --target alpaca_api_tests
timeout 900 build/tsan/out/alpaca_api_tests --gtest_brief=1 \
  --gtest_filter='AlpacaImages.*:AlpacaRobustness.*:AlpacaApi.AsynchronousConnectAndDisconnect:AlpacaApi.AnExposureThatNeverArrivesIsReported:-AlpacaImages.SubframesAreCropsOfTheFullFrameInEveryMode:AlpacaRobustness.AClientSendingOneByteASecondIsCutOff' ||
  status=1
if compgen -G "$reports/tsan*" >/dev/null; then
  cat "$reports"/tsan*
  echo "tsan: ThreadSanitizer reported the races above" >&2
  status=1
fi
echo "tsan: build $((built - start)) s, tests $((SECONDS - built)) s"
exit $status
