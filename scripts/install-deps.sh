#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tools and the tests need, only
# when something is missing. Installing needs root: run it as root, or as a user
# who may use sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config dpkg-dev file
  libgtest-dev libgmock-dev libbenchmark-dev
  libcfitsio-dev libpng-dev fitsverify help2man
  libindi-dev indi-bin
  libcpp-httplib-dev nlohmann-json3-dev
  lintian siril chromium iproute2
  clang libclang-rt-14-dev valgrind
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  qemu-user-static
)
# wine32-preloader: Wine's 32-bit loader also under QEMU, on kernels without
# 32-bit emulation (scripts/ci/windows.sh).
i386_packages=(wine wine32 wine32-preloader)

source "$(dirname "$0")/lib/as-root.sh"

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${QM_SKIP_WINE:-0}" != 1 ]; then
  for p in "${i386_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
