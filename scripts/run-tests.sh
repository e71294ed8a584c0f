#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset default
cmake --build --preset default
ctest --preset default
scripts/ci/packages.sh
scripts/ci/plain-readout.sh
scripts/ci/windows.sh
scripts/ci/sanitizers.sh
scripts/ci/tsan.sh
scripts/ci/fuzz.sh
scripts/ci/valgrind.sh
