#!/usr/bin/env bash
# Sets up a Debian 12 or 13 machine, builds everything and runs every test,
# then prints how long each stage took. QM_FRESH_ROOTS_RAN=1 leaves out the
# default build, its tests and the packages: CI runs those in fresh Debian 12
# and 13 roots instead (.ci/run), and the stages after them build what they use.
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
if [ "${QM_FRESH_ROOTS_RAN:-0}" = 1 ]; then
  echo "run-tests.sh: the default build, its tests and the packages left out" \
       "(QM_FRESH_ROOTS_RAN=1: they ran in fresh Debian 12 and 13 roots)"
else
  stage cmake --preset default
  stage cmake --build --preset default
  stage ctest --preset default
  stage scripts/ci/packages.sh
fi
stage scripts/ci/plain-readout.sh
stage scripts/ci/windows.sh
stage scripts/ci/sanitizers.sh
stage scripts/ci/tsan.sh
stage scripts/ci/fuzz.sh
stage scripts/ci/valgrind.sh
