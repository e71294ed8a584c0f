#!/usr/bin/env bash
# Builds every test with AddressSanitizer (leak checking included) and
# UndefinedBehaviorSanitizer (preset "asan", g++) and runs them all. The first
# finding aborts the test that made it, which fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

start=$SECONDS
cmake --preset asan
cmake --build --preset asan -j2
built=$SECONDS
ctest --preset asan -j2
echo "sanitizers: build $((built - start)) s, tests $((SECONDS - built)) s"
