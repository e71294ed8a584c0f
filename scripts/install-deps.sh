#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need, only
# when something is missing, on Debian 12 or 13. Installing needs root: run it
# as root, or as a user who may use sudo.
set -euo pipefail

if [ -r /etc/os-release ]; then . /etc/os-release; fi
case "${ID:-}:${VERSION_ID:-}" in
  debian:12 | debian:13) ;;
  *) echo "install-deps.sh: made for Debian 12 or 13; this is ${PRETTY_NAME:-an unknown system}:" \
          "the packages below may be named otherwise here" >&2 ;;
esac

# libclang-rt-dev: the runtime of the release's default clang (14 on Debian 12,
# 19 on 13) for the fuzz targets. debootstrap: CI's fresh Debian roots
# (scripts/ci/fresh-roots.sh); mmdebstrap: its libindi 2.x root, made with its
# packages in one apt run (scripts/ci/indi2.sh). zlib1g-dev and libz-mingw-w64-dev:
# the PNG previews' deflate coding in the Linux and the Windows build (imaging/).
packages=(
  build-essential cmake ninja-build pkg-config dpkg-dev file
  libgtest-dev libgmock-dev libbenchmark-dev
  libcfitsio-dev libpng-dev zlib1g-dev fitsverify help2man
  libindi-dev indi-bin
  libcpp-httplib-dev nlohmann-json3-dev libcli11-dev
  lintian siril chromium iproute2 debootstrap mmdebstrap
  clang libclang-rt-dev valgrind
  g++-mingw-w64-i686 binutils-mingw-w64-i686 libz-mingw-w64-dev nsis
)
# Wine for the Windows tests (scripts/ci/windows.sh): wine32 for 32-bit prefixes,
# wine64 beside it for 64-bit ones; wine32-preloader: Wine's 32-bit loader also
# under QEMU, on kernels without 32-bit emulation.
wine_packages=(wine wine64 wine32 wine32-preloader)

# siril-cli 1.2 (Debian 13) opens a display even to run a script: the INDI
# tests give it a virtual one with xvfb-run.
if [ "${ID:-}:${VERSION_ID:-}" = debian:13 ]; then
  packages+=(xvfb xauth)
fi

source "$(dirname "$0")/lib/as-root.sh"
source "$(dirname "$0")/lib/i386-programs.sh"

# QEMU's i386 emulator runs Wine's 32-bit programs where the kernel itself
# refuses i386 programs (and with QM_WINE_EMULATE=1, which takes that road
# anyway); elsewhere it is not needed.
if [ "${QM_SKIP_WINE:-0}" != 1 ]; then
  if [ "${QM_WINE_EMULATE:-0}" = 1 ]; then
    packages+=(qemu-user-static)
  elif ! kernel_runs_i386; then
    echo "install-deps.sh: this kernel refuses i386 programs: Wine's run under QEMU (qemu-user-static)"
    packages+=(qemu-user-static)
  fi
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
# The browser test installs its pinned playwright-core with npm and runs it
# with node: Debian's, unless a Node.js with npm is already installed (Debian's
# npm would conflict with a Node.js package from elsewhere that carries npm).
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  for p in nodejs npm; do
    installed "$p" || missing+=("$p")
  done
fi
missing_wine=()
if [ "${QM_SKIP_WINE:-0}" != 1 ]; then
  for p in "${wine_packages[@]}"; do
    installed "$p" || missing_wine+=("$p")
  done
fi

# A mirror caught mid-sync serves an index that does not match its Release file
# (seen with bookworm-security's i386 index): apt-get update then fails although
# every other index came. One retry; after that the packages are installed from
# the indexes that did come, and whatever cannot be had is said below.
update_indexes() {
  as_root apt-get update -q && return
  echo "install-deps.sh: apt-get update failed; retrying once in 10 s" >&2
  sleep 10
  as_root apt-get update -q && return
  echo "install-deps.sh: some package indexes could not be read; going on with those that were" >&2
}
apt_install() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}

if [ ${#missing[@]} -gt 0 ] || [ ${#missing_wine[@]} -gt 0 ]; then
  if [ ${#missing_wine[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  update_indexes
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt_install "${missing[@]}"
fi
# Wine's 32-bit half comes from the i386 architecture, whose indexes a mirror
# may be serving inconsistently: that is no reason to stop the rest of the
# set-up. Without it, scripts/ci/windows.sh runs the Windows tests with a Wine
# of its own (scripts/ci/wine-root.sh: a root with bookworm's main suite alone,
# amd64 and i386).
if [ ${#missing_wine[@]} -gt 0 ]; then
  echo "Installing: ${missing_wine[*]}"
  if ! apt_install "${missing_wine[@]}"; then
    echo "install-deps.sh: Wine's packages (${missing_wine[*]}) could not be installed;" \
         "scripts/ci/windows.sh will use a Wine root of its own instead" >&2
  fi
fi
