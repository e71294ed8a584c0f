#!/usr/bin/env bash
# A Debian root with Wine for the Windows tests, where the machine's own Wine
# cannot be installed: its i386 packages need i386 libraries of exactly the
# machine's versions, so an i386 index that a mirror serves inconsistently (seen
# with bookworm-security's) leaves them out. The root has bookworm's main suite
# alone, amd64 and i386, with Wine 8's wine32 and wine64: 32-bit and 64-bit
# prefixes, natively where the kernel runs i386 programs and under QEMU where it
# does not (binfmt_misc's F flag serves the chroot too). Debian unstable's Wine
# 10, built for WoW64 with no i386 part, would avoid i386 indexes altogether,
# but it makes no 32-bit prefix ("WINEARCH is set to 'win32' but this is not
# supported in wow64 mode") and on a kernel that refuses i386 programs its
# 32-bit programs crash as they start.
#   scripts/ci/wine-root.sh [--if-needed]   (as root) prints the root's path;
#       --if-needed: only where the machine's own Wine is missing (CI makes the
#       root early, beside other stages, for scripts/ci/windows.sh to reuse)
# Roots are kept in QM_WINE_ROOT_CACHE (default /var/cache/qm208x), outside the
# clone, under a name made from their definition: a root is reused while its
# package list is unchanged, and replaced when it changes. Runs at once wait for
# each other.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/../.."
source scripts/lib/as-root.sh
source scripts/lib/i386-programs.sh

suite=bookworm
mirror=${QM_DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=${QM_WINE_ROOT_CACHE:-/var/cache/qm208x}
options=(--variant=apt --architectures=amd64,i386
         --include=wine,wine64,wine32:i386,wine32-preloader:i386
         --dpkgopt=path-exclude=/usr/share/doc/* --dpkgopt=path-exclude=/usr/share/man/*
         --dpkgopt=path-exclude=/usr/share/locale/*)
root=$cache/wine-$suite-$(printf '%s\n' "$suite" "${options[@]}" | sha256sum | cut -c1-12)

case ${1:-} in
  "") ;;
  --if-needed)
    if machine_wine_installed; then
      echo "wine-root.sh: this machine's Wine is installed: no root needed" >&2
      exit 0
    fi ;;
  *) echo "usage: scripts/ci/wine-root.sh [--if-needed]" >&2; exit 2 ;;
esac
if [ "$(id -u)" != 0 ]; then
  echo "wine-root.sh: needs root (mmdebstrap's root mode)" >&2
  exit 2
fi
command -v mmdebstrap >/dev/null ||
  { echo "wine-root.sh: mmdebstrap is not installed (scripts/install-deps.sh)" >&2; exit 1; }

mkdir -p "$cache"
exec 9>"$cache/wine-root.lock"
flock 9
if [ -d "$root" ]; then
  echo "wine-root.sh: reusing $root" >&2
  echo "$root"
  exit 0
fi

started=$SECONDS
# The i386 packages' triggers run i386 programs while the root is made.
if ! kernel_runs_i386; then register_qemu_i386; fi
# Roots of earlier definitions and a root left half made. --one-file-system:
# whatever a run still has mounted inside a root stays.
rm -rf --one-file-system "$cache"/wine-"$suite"-*
# A mirror kept as of one day serves Release files past their Valid-Until;
# every package is still checked against the signed indexes.
mmdebstrap --mode=root --quiet --aptopt='Acquire::Check-Valid-Until "false"' "${options[@]}" \
  "$suite" "$root.new" "deb $mirror $suite main" >&2
mv "$root.new" "$root"
echo "wine-root.sh: made $root with $(chroot "$root" dpkg-query -W -f='wine32 ${Version}' wine32:i386)" \
     "in $((SECONDS - started)) s" >&2
echo "$root"
