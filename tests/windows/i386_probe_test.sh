#!/usr/bin/env bash
# The probe that scripts/ci/windows.sh and scripts/install-deps.sh ask the kernel
# with (kernel_runs_i386, scripts/lib/i386-programs.sh): an i386 program that
# exits with 42, marked so that the qemu-i386 binfmt_misc entry leaves it to the
# kernel, while the entry still takes ordinary i386 programs such as Wine's
# loader. Were the entry to take the probe, a machine whose kernel refuses i386
# programs would be taken for one that runs them; were the probe broken, Wine
# would run emulated, and skip tests, where it could run natively.
# Ends with "i386 probe: N passed, M failed, K not run".
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/as-root.sh
source scripts/lib/i386-programs.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0 not_run=0
expect_equal() {  # what, got, expected
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  got:      %s\n  expected: %s\n' "$1" "$2" "$3"
  fi
}
not_run() { not_run=$((not_run + 1)); echo "not run: $1"; }

# Whether a binfmt_misc entry's magic and mask take a file: every one of the
# file's first bytes, masked, equals the magic's byte (the kernel's test).
entry_takes() {  # file, magic (hex), mask (hex)
  local bytes i
  bytes=$(od -An -tx1 -N$((${#2} / 2)) "$1" | tr -d ' \n')
  [ ${#bytes} -eq ${#2} ] || return 1
  for ((i = 0; i < ${#2}; i += 2)); do
    [ $((16#${bytes:i:2} & 16#${3:i:2})) -eq $((16#${2:i:2} & 16#${3:i:2})) ] || return 1
  done
}
# The entries that hand i386 programs to QEMU: the one the scripts register, and
# every such entry on this machine (magic mask name).
entries=("$qemu_i386_magic $qemu_i386_mask registered by the scripts")
enabled=no
if [ -e "$binfmt/register" ]; then
  for entry in $(qemu_i386_entries); do
    entries+=("$(sed -n 's/^magic //p' "$entry") $(sed -n 's/^mask //p' "$entry") ${entry##*/} on this machine")
    if head -n 1 "$entry" | grep -qx enabled; then enabled=yes; fi
  done
fi

# machine | what file(1) calls it | whether QEMU's entries take it
while IFS='|' read -r machine description taken; do
  write_i386_probe "$work/probe-$machine" "$machine"
  expect_equal "machine $machine: size" "$(stat -c %s "$work/probe-$machine")" 96
  expect_equal "machine $machine: file(1)" "$(file -b "$work/probe-$machine" | cut -d, -f1-2)" \
    "ELF 32-bit LSB executable, $description"
  if [ -x /usr/bin/qemu-i386-static ]; then
    status=0
    /usr/bin/qemu-i386-static "$work/probe-$machine" || status=$?
    expect_equal "machine $machine: exit status under QEMU" "$status" 42
  else
    not_run "machine $machine under QEMU (no qemu-i386-static)"
  fi
  for entry in "${entries[@]}"; do
    read -r magic mask name <<<"$entry"
    got=no
    if entry_takes "$work/probe-$machine" "$magic" "$mask"; then got=yes; fi
    expect_equal "machine $machine: taken by $name" "$got" "$taken"
  done
done <<'CASES'
3|Intel 80386|yes
6|Intel 80486|no
CASES

# The kernel's own answer, where no QEMU entry is enabled to take an ordinary
# i386 program first: the probe's answer must be the same.
if [ "$enabled" = no ]; then
  status=0
  ("$work/probe-3") 2>/dev/null || status=$?
  kernel=refuses
  if [ "$status" -eq 42 ]; then kernel=runs; fi
  probe=refuses
  if kernel_runs_i386 "$work"; then probe=runs; fi
  expect_equal "the probe's answer against an ordinary i386 program's" "$probe" "$kernel"
else
  not_run "the kernel's own answer (a qemu-i386 entry is enabled)"
fi

echo "i386 probe: $passed passed, $failed failed, $not_run not run"
[ "$failed" -eq 0 ]
