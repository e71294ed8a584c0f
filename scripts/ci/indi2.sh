#!/usr/bin/env bash
# The INDI driver on libindi 2.x. Debian's experimental suite carries INDI 2.x
# (libindi-dev, indi-bin), built for Debian unstable. This makes an unstable
# root from Debian's packages only (mmdebstrap), with libindi 2.x and
# indiserver from experimental and what the build needs; builds there the INDI
# driver, its INDI tests and the driver's unit tests against them; and runs
# those tests against that indiserver. The machine's own build keeps Debian's
# libindi 1.9.
#   scripts/ci/indi2.sh        (as root; the root is made in build/indi2/root
#                               and kept for the next run, the build beside it)
#   scripts/ci/indi2.sh --root-only   makes the root and stops: CI makes it
#                               while other stages wait on the network too
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "$0")/../.." && pwd)
root=$repo/build/indi2/root
build=/src/build/indi2/build
mirror=${QM_DEBIAN_MIRROR:-http://deb.debian.org/debian}
packages=(libindi-dev/experimental indi-bin/experimental
          g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev
          libcfitsio-dev libpng-dev libcli11-dev fitsverify help2man)

case ${1:-} in
  "" | --root-only) ;;
  *) echo "usage: scripts/ci/indi2.sh [--root-only]" >&2; exit 2 ;;
esac
if [ "$(id -u)" != 0 ]; then
  echo "indi2.sh: needs root (a chroot with its own mounts)" >&2
  exit 2
fi
command -v mmdebstrap >/dev/null ||
  { echo "indi2.sh: mmdebstrap is not installed (scripts/install-deps.sh)" >&2; exit 1; }

started=$SECONDS
if [ ! -f "$root/.complete" ]; then
  rm -rf "$root"
  mkdir -p "$(dirname "$root")"
  # A mirror kept as of one day serves Release files past their Valid-Until;
  # every package is still checked against the signed indexes.
  mmdebstrap --variant=apt --mode=root --quiet \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    --include="$(IFS=,; echo "${packages[*]}")" \
    sid "$root" "deb $mirror sid main" "deb $mirror experimental main"
  touch "$root/.complete"
else
  # A root kept from an earlier run gets what the list has gained since.
  chroot "$root" apt-get update -q >/dev/null
  chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o Dpkg::Use-Pty=0 \
    --no-install-recommends "${packages[@]}" >/dev/null
fi
made=$SECONDS
echo "indi2.sh: root with $(chroot "$root" dpkg-query -W -f='libindi-dev ${Version}' libindi-dev)" \
     "in $((made - started)) s"
[ "${1:-}" != --root-only ] || exit 0

mounted=()
cleanup() {
  # Whatever a test left running in the root goes before the mounts do.
  for link in /proc/[0-9]*/root; do
    if [ "$(readlink "$link" 2>/dev/null)" = "$root" ]; then
      pid=${link#/proc/}; pid=${pid%/root}
      echo "indi2.sh: process $pid was left running in the root: ended" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" || umount -l "${mounted[i]}" || true
  done
}
trap cleanup EXIT
mkdir -p "$root/src" "$root/dev/shm"
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
# libindi hands images to indiserver in shared memory.
mount -t tmpfs -o mode=1777 shm "$root/dev/shm" && mounted+=("$root/dev/shm")
mount --bind "$repo" "$root/src" && mounted+=("$root/src")

in_root() {
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 "$@"
}
# -O1: quick to build, quick enough for the tests' frame rates.
in_root cmake -S /src -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_C_FLAGS=-O1 -DCMAKE_CXX_FLAGS=-O1 -DQM_HARDENING=OFF -DQM_WERROR=ON >/dev/null
in_root cmake --build "$build" --target indi_qm208x_ccd indi_core_unit_tests qm_indi_tests
built=$SECONDS
echo "indi2.sh: built in $((built - made)) s"

status=0
in_root "$build/out/indi_core_unit_tests" --gtest_brief=1 || status=1
# Siril is not in the root: its reading of a recording is checked on libindi
# 1.9 in the default tests.
in_root ctest --test-dir "$build" -L indi -E 'RecordingOpensInSiril' -j2 \
  --output-on-failure --timeout 180 || status=1
echo "indi2.sh: tests in $((SECONDS - built)) s, $((SECONDS - started)) s in all"
exit $status
