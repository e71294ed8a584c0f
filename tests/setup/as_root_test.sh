#!/usr/bin/env bash
# as_root as three kinds of user see it: root runs the command itself, a user
# with sudo goes through sudo, and a user without sudo gets a message naming the
# step and what to do, and the script stops with status 1.
set -uo pipefail
helper=$1
failures=0
check() {
  if [ "$2" != "$3" ]; then
    echo "FAIL $1: expected [$3], got [$2]"
    failures=$((failures + 1))
  fi
}

fake_bin=$(mktemp -d)
trap 'rm -rf "$fake_bin"' EXIT
printf '#!/bin/sh\necho "sudo:$*"\n' >"$fake_bin/sudo"
chmod +x "$fake_bin/sudo"

# root
out=$(id() { echo 0; }; source "$helper"; as_root echo ran 2>&1)
check "root runs the command" "$out" "ran"

# a user who may use sudo
out=$(PATH="$fake_bin:$PATH"; id() { [ "$1" = -u ] && echo 1000 || echo astro; }
      source "$helper"; as_root apt-get update 2>&1)
check "user with sudo" "$out" "sudo:apt-get update"

# a user without sudo
out=$(PATH=/nonexistent; id() { [ "$1" = -u ] && echo 1000 || echo astro; }
      source "$helper"; as_root apt-get update 2>/dev/null; echo "not stopped")
status=$?
check "user without sudo stops" "$status" "1"
err=$( (PATH=/nonexistent; id() { [ "$1" = -u ] && echo 1000 || echo astro; }
        source "$helper"; as_root apt-get update) 2>&1 >/dev/null)
case "$err" in
  *"needs root: apt-get update"*"as root, or as a user who may use sudo"*"adduser astro sudo"*) ;;
  *) echo "FAIL user without sudo: message was [$err]"; failures=$((failures + 1)) ;;
esac

echo "$((4 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
