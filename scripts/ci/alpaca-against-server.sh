#!/usr/bin/env bash
# Runs the Alpaca API tests against a qm-alpaca started by a command (the
# Windows build under Wine, the installed package as its system user): one fresh
# server per test, as the tests start one of their own on Linux, with the same
# simulated camera settings. The command gets --port 0 --bind 127.0.0.1
# --no-discovery --config FILE appended; the tests reach it through QM_ALPACA_URL.
#   alpaca-against-server.sh TEST_PROGRAM STATE_DIR [-x TEST]... -- SERVER_COMMAND...
# STATE_DIR must be writable by the server; each -x names a test left out.
set -euo pipefail

usage() { echo "usage: alpaca-against-server.sh TEST_PROGRAM STATE_DIR [-x TEST]... -- COMMAND..." >&2; exit 2; }
[ $# -ge 4 ] || usage
tests=$1 state=$2
shift 2
excluded=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  [ "$1" = -x ] && [ $# -ge 2 ] || usage
  excluded+=("$2")
  shift 2
done
[ "${1:-}" = -- ] && [ $# -ge 2 ] || usage
shift
server=("$@")

# Suite.Test names from gtest's list ("Suite." lines, then indented tests).
mapfile -t names < <("$tests" --gtest_list_tests |
  awk '/^[^ ]/ { suite = $1; next } /^  / { print suite $1 }')
[ ${#names[@]} -gt 0 ] || { echo "alpaca-against-server.sh: $tests lists no tests" >&2; exit 1; }

pid=""
stop_server() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
  fi
}
trap stop_server EXIT

# Starts a fresh server; sets pid and port, or returns non-zero.
start_server() {
  rm -f "$state"/qm-alpaca.json "$state"/server.out "$state"/server.log
  QM_SIM_TIME_SCALE=0 QM_SIM_NOISE=fixed "${server[@]}" --port 0 --bind 127.0.0.1 --no-discovery \
    --config "$state/qm-alpaca.json" >"$state/server.out" 2>"$state/server.log" &
  pid=$!
  port=""
  for _ in $(seq 600); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$state/server.out" 2>/dev/null)
    [ -n "$port" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "alpaca-against-server.sh: the server did not start: ${server[*]}" >&2
  cat "$state/server.out" "$state/server.log" >&2 || true
  return 1
}

passed=0 failed=0 skipped=0
for name in "${names[@]}"; do
  if [[ " ${excluded[*]} " == *" $name "* ]]; then
    skipped=$((skipped + 1))
    continue
  fi
  if start_server &&
     QM_ALPACA_URL=http://127.0.0.1:$port timeout -k 10 300 "$tests" --gtest_filter="$name" \
       >"$state/test.log" 2>&1; then
    if grep -q '^\[  SKIPPED' "$state/test.log"; then
      skipped=$((skipped + 1))  # one that needs a server it starts itself
    else
      passed=$((passed + 1))
    fi
  else
    failed=$((failed + 1))
    echo "FAIL $name"
    sed 's/^/    /' "$state/test.log" | grep -v '^    \[' || true
    tail -n 5 "$state/server.log" 2>/dev/null | sed 's/^/    server: /' || true
  fi
  stop_server
done
echo "alpaca: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
