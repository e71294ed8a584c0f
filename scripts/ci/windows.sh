#!/usr/bin/env bash
# The 32-bit Windows module: cross-builds the mingw preset (D_QM208X.dll, the
# simulated camera as CCDVideoAPI.dll, the Wine host program), then runs its
# tests: the PE tables, and the host contract under Wine in one fresh prefix.
set -euo pipefail
cd "$(dirname "$0")/../.."

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
stage_start=$SECONDS
stage_done() {
  echo "windows.sh: $1 in $((SECONDS - stage_start)) s"
  stage_start=$SECONDS
}

# Wine's 32-bit loader is an i386 program. A kernel booted without 32-bit
# emulation refuses it ("Exec format error"); there it runs under QEMU's i386
# user-mode emulator, registered with binfmt_misc so that every i386 program
# Wine starts (wineserver, the preloader) takes the same road.
enable_i386_programs() {
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    return
  fi
  local qemu=/usr/bin/qemu-i386-static
  local binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -x "$qemu" ]; then
    echo "windows.sh: this kernel cannot run i386 programs and $qemu is missing" \
         "(scripts/install-deps.sh installs qemu-user-static)" >&2
    exit 1
  fi
  if [ ! -e "$binfmt/register" ]; then
    as_root mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ ! -e "$binfmt/qemu-i386" ]; then
    # ELF, 32-bit, little-endian, executable or shared object, machine i386.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' |
      as_root tee "$binfmt/register" >/dev/null
  fi
  /usr/lib/wine/wine --version >/dev/null
  echo "windows.sh: i386 programs run under $qemu"
}

cmake --preset mingw
cmake --build --preset mingw
stage_done "cross build"

if [ "${QM_SKIP_WINE:-0}" = 1 ]; then
  echo "windows.sh: QM_SKIP_WINE=1, so the host contract under Wine is skipped"
  ctest --preset mingw -E windows_host_contract
  exit
fi

enable_i386_programs
export WINEPREFIX="$PWD/build/mingw/wineprefix"
export WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
# Some of Wine's own services crash under emulation ("uncaught target signal
# 11"): harmless here, but their core files are not wanted.
ulimit -c 0
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
rm -rf "$WINEPREFIX"
timeout 600 wineboot -i >"$PWD/build/mingw/wineboot.log" 2>&1
timeout 120 wineserver -w || echo "windows.sh: Wine's start-up services still run; going on"
stage_done "wine prefix"

ctest --preset mingw
stage_done "tests under Wine"
