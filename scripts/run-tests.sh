#!/usr/bin/env bash
# Sets up a Debian 12 or 13 machine, builds everything and runs every test,
# then prints how long each stage took. QM_SKIP_DEFAULT_TESTS=1 leaves out
# ctest --preset default (CI runs it in a fresh Debian 12 root instead: .ci/run);
# the build stays, since the stages after it use it.
set -euo pipefail
cd "$(dirname "$0")/.."

times=()
stage() {
  local start=$SECONDS
  "$@"
  times+=("$((SECONDS - start)) s  $*")
}
trap 'echo "run-tests.sh: stage times:"; printf "  %s\n" "${times[@]}"' EXIT

stage scripts/install-deps.sh
stage cmake --preset default
stage cmake --build --preset default
if [ "${QM_SKIP_DEFAULT_TESTS:-0}" = 1 ]; then
  echo "run-tests.sh: ctest --preset default left out (QM_SKIP_DEFAULT_TESTS=1)"
else
  stage ctest --preset default
fi
stage scripts/ci/packages.sh
stage scripts/ci/plain-readout.sh
stage scripts/ci/windows.sh
stage scripts/ci/sanitizers.sh
stage scripts/ci/tsan.sh
stage scripts/ci/fuzz.sh
stage scripts/ci/valgrind.sh
