#!/usr/bin/env bash
# The 32-bit Windows module and server: cross-builds the mingw preset
# (D_QM208X.dll, the simulated camera as CCDVideoAPI.dll, qm-alpaca.exe, the Wine
# host program), then runs its tests: the PE tables, the zips, the host contract
# under Wine in a fresh 32-bit prefix, the Alpaca API tests against qm-alpaca.exe,
# and the installer both in that prefix and in a fresh 64-bit one, as on 64-bit
# Windows.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/../.."

source scripts/lib/as-root.sh
source scripts/lib/i386-programs.sh
stage_start=$SECONDS
stage_done() {
  echo "windows.sh: $1 in $((SECONDS - stage_start)) s"
  stage_start=$SECONDS
}
skip_wine=${QM_SKIP_WINE:-0}

# Which Wine: the machine's own (wine32 and wine64, scripts/install-deps.sh), or,
# where those could not be installed, or with QM_WINE_ROOT=1, Wine in a Debian
# root of its own (scripts/ci/wine-root.sh). The root's Wine runs chrooted with
# this clone and /tmp mounted at the same paths, in a mount namespace of this
# script's own, so that its mounts end with it.
wine_from=machine
if [ "${QM_WINE_ROOT:-0}" = 1 ] || ! machine_wine_installed; then
  wine_from=root
fi
if [ "$skip_wine" != 1 ] && [ "$wine_from" = root ] && [ "${QM_WINE_NAMESPACE:-0}" != 1 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "windows.sh: Wine (wine32 and wine64) is not installed here, and the Wine root" \
         "that stands in for it needs root: run this as root, or scripts/install-deps.sh" >&2
    exit 1
  fi
  exec env QM_WINE_NAMESPACE=1 unshare --mount --propagation private "$BASH" "$self" "$@"
fi

# Wine's 32-bit loader is an i386 program. A kernel booted without 32-bit
# emulation refuses it ("Exec format error"); there it runs under QEMU's i386
# user-mode emulator, registered with binfmt_misc so that every i386 program
# Wine starts (wineserver, the preloader) takes the same road. The kernel is
# asked before anything is set up (kernel_runs_i386), so a machine gets the
# same answer on every run whatever earlier runs registered. Where the kernel
# runs i386 programs, an enabled QEMU entry would still take them first: it is
# switched off while this script runs. QM_WINE_EMULATE=1 takes the emulated
# road even there, to reproduce the machines without 32-bit emulation.
# Whether `wine --version` works is no answer: it works through QEMU too.
wine_emulated=0
qemu_switched_off=()
route_i386_programs() {
  local entry
  mkdir -p build
  if kernel_runs_i386 build && [ "${QM_WINE_EMULATE:-0}" != 1 ]; then
    echo "windows.sh: this kernel runs i386 programs itself: Wine runs natively"
    for entry in $(qemu_i386_entries); do
      if head -n 1 "$entry" | grep -qx enabled; then
        echo 0 | as_root tee "$entry" >/dev/null
        qemu_switched_off+=("$entry")
        echo "windows.sh: ${entry##*/} in binfmt_misc switched off until the end"
      fi
    done
    return
  fi
  wine_emulated=1
  if [ "${QM_WINE_EMULATE:-0}" = 1 ]; then
    echo "windows.sh: QM_WINE_EMULATE=1: Wine runs under QEMU's i386 emulator"
  else
    echo "windows.sh: this kernel refuses i386 programs: Wine runs under QEMU's i386 emulator"
  fi
  register_qemu_i386
}
switch_qemu_on_again() {
  local entry
  for entry in "${qemu_switched_off[@]}"; do echo 1 | as_root tee "$entry" >/dev/null; done
}

# The Wine root, mounted: wine, wineserver, wineboot and winepath on PATH run
# the root's, in the same folder, with the same environment but PATH.
wine_root=""
use_wine_root() {
  local bin=$PWD/build/mingw/wine-root-bin name
  wine_root=$1
  mount -t proc proc "$wine_root/proc"
  mount -t tmpfs -o mode=1777 shm "$wine_root/dev/shm"
  mount --bind /tmp "$wine_root/tmp"
  mkdir -p "$wine_root$PWD"
  mount --bind "$PWD" "$wine_root$PWD"
  mkdir -p "$bin"
  printf '#!/bin/sh\nexec chroot %q /usr/bin/env -C "$PWD" PATH=/usr/bin:/bin "${0##*/}" "$@"\n' \
    "$wine_root" >"$bin/wine"
  chmod +x "$bin/wine"
  for name in wineserver wineboot winepath; do ln -sf wine "$bin/$name"; done
  export PATH=$bin:$PATH
}
# What still runs in the root, in this script's mount namespace (other runs
# have their own), goes: at the end (a test's server whose test failed), and
# before a retry (Wine processes of the failed attempt that hang under
# emulation and that wineserver -k did not end).
end_wine_root_processes() {
  local link pid namespace
  [ -n "$wine_root" ] || return 0
  namespace=$(readlink /proc/self/ns/mnt)
  for link in /proc/[0-9]*/root; do
    pid=${link#/proc/}; pid=${pid%/root}
    if [ "$(readlink "$link" 2>/dev/null)" = "$wine_root" ] &&
       [ "$(readlink "/proc/$pid/ns/mnt" 2>/dev/null)" = "$namespace" ]; then
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
}

if [ "$skip_wine" != 1 ]; then
  route_i386_programs
  trap switch_qemu_on_again EXIT
  if [ "$wine_from" = root ]; then
    if [ "${QM_WINE_ROOT:-0}" = 1 ]; then
      echo "windows.sh: QM_WINE_ROOT=1: Wine from a root of its own"
    else
      echo "windows.sh: this machine's Wine (wine32 and wine64) is not installed: Wine from a root of its own"
    fi
    # Made, or found, while the cross build runs.
    mkdir -p build/mingw
    scripts/ci/wine-root.sh >build/mingw/wine-root.path 2>build/mingw/wine-root.log &
    wine_root_maker=$!
  else
    echo "windows.sh: Wine from this machine"
  fi
fi

# cpp-httplib's whole header for qm-alpaca.exe (Debian's package keeps the code
# in a Linux library): from Debian's source package of the installed version.
scripts/ci/fetch-cpp-httplib.sh build/mingw/third-party/cpp-httplib
cmake --preset mingw
cmake --build --preset mingw
stage_done "cross build"

if [ "$skip_wine" = 1 ]; then
  echo "windows.sh: QM_SKIP_WINE=1, so the host contract under Wine is skipped"
  ctest --preset mingw -E windows_host_contract
  exit
fi

if [ "$wine_from" = root ]; then
  if ! wait "$wine_root_maker"; then
    cat build/mingw/wine-root.log >&2
    echo "windows.sh: the Wine root could not be made" >&2
    exit 1
  fi
  cat build/mingw/wine-root.log
  use_wine_root "$(cat build/mingw/wine-root.path)"
  stage_done "Wine root (waited for after the cross build)"
fi
wine --version >/dev/null
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
# No winedbg: a Wine process that crashes under emulation would otherwise start
# the crash debugger, which waits for a display that is not there, and the run
# hangs until its time limit. With the debugger disabled the process just ends.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY
# Some of Wine's own services crash under emulation ("uncaught target signal
# 11"): harmless here, but their core files are not wanted.
ulimit -c 0
stop_wine() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  timeout -k 5 30 wineserver -k >/dev/null 2>&1 || true
}
trap 'stop_wine; end_wine_root_processes; switch_qemu_on_again' EXIT

# Runs one bounded step: on failure or when it overruns its limit, says which
# step it was, how it ended and where its output is, and returns non-zero.
run_step() {
  local name=$1 limit=$2 log=$3 status=0
  shift 3
  timeout -k 10 "$limit" "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "windows.sh: $name did not finish within $limit s (output: $log)" >&2
  elif [ "$status" -ne 0 ]; then
    echo "windows.sh: $name failed with status $status (output: $log)" >&2
  fi
  if [ "$status" -ne 0 ]; then
    tail -n 5 "$log" | sed 's/^/    /' >&2
  fi
  return "$status"
}

# A fresh prefix with Wine's crash debugger switched off in its registry too
# (no AeDebug debugger: an unhandled exception ends the process), and Wine's
# start-up services given time to settle.
make_prefix() {
  local logs=$PWD/build/mingw/$WINEARCH
  mkdir -p "$logs"
  stop_wine
  rm -rf "$WINEPREFIX"
  run_step "Wine prefix start-up (wineboot -i)" 300 "$logs/wineboot.log" wineboot -i &&
    run_step "switching off Wine's crash debugger" 120 "$logs/wine-reg.log" \
      wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /f &&
    run_step "waiting for Wine's start-up services" 120 "$logs/wineserver-wait.log" \
      wineserver -w
}

# A fresh prefix of one kind, win32 or win64 (WoW64: 32-bit programs in a 64-bit
# Windows, as most PCs are). Wine's start-up under emulation now and then
# crashes or stalls; one retry on a new prefix gets past that, while a second
# failure is a real fault.
fresh_prefix() {
  stop_wine
  export WINEARCH=$1 WINEPREFIX=$2
  if ! make_prefix; then
    echo "windows.sh: retrying once on a fresh $WINEARCH prefix" >&2
    stop_wine
    end_wine_root_processes
    make_prefix || { echo "windows.sh: the $WINEARCH prefix could not be set up" >&2; exit 1; }
  fi
  stage_done "$WINEARCH prefix"
}

# The installer, silently installed, checked and uninstalled in the current
# prefix (tests/windows/installer_test.sh). The installed server's frame is
# checked only where Wine runs natively: under QEMU's emulation qm-alpaca.exe
# crashes ("uncaught target signal 11") as soon as it starts serving. Under
# emulation a failed test is run once more on a fresh prefix: there Wine's
# processes now and then crash, or hang (seen: wineboot --init and the services
# it started idle for minutes after the installer's run, while the test waited
# for them), so only a second failure is the installer's.
installer_test() {
  local installer alpaca_tests=build/default/out/alpaca_api_tests log=build/mingw/$WINEARCH/installer-test.log
  installer=$(ls build/mingw/packages/qm208x-alpaca-*-setup.exe)
  if [ "$wine_emulated" = 1 ]; then
    echo "windows.sh: the installer's server is not started under QEMU's emulation:" \
         "its frame is not checked in the $WINEARCH prefix (install, reinstall and uninstall are)"
    alpaca_tests=-
  fi
  if ! run_step "installer test in the $WINEARCH prefix" 900 "$log" \
         tests/windows/installer_test.sh "$installer" "$alpaca_tests"; then
    if [ "$wine_emulated" = 1 ] && [ "${1:-}" != again ]; then
      mv "$log" "$log.first"
      echo "windows.sh: retrying the installer test once on a fresh $WINEARCH prefix" \
           "(the first attempt's output: $log.first)" >&2
      stop_wine
      end_wine_root_processes
      fresh_prefix "$WINEARCH" "$WINEPREFIX"
      installer_test again
      return
    fi
    echo "windows.sh: the installer test in the $WINEARCH prefix failed" >&2
    exit 1
  fi
  tail -n 1 "$log"
  stage_done "installer under Wine, $WINEARCH prefix"
}

cmake --build --preset mingw --target installer >/dev/null
if [ "$wine_emulated" = 0 ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target alpaca_api_tests qm-alpaca >/dev/null
fi

fresh_prefix win32 "$PWD/build/mingw/wineprefix"

ctest --preset mingw || { echo "windows.sh: the tests under Wine failed" >&2; exit 1; }
stage_done "tests under Wine"
# The simulated camera's full frame in every mode, sample for sample the same
# from frame_dump.exe under Wine (emulated or not) as from the Linux build's.
cmake --preset default >/dev/null
cmake --build --preset default --target frame_dump >/dev/null
tests/windows/frame_compare.sh dump build/default/out/frame_dump -- wine build/mingw/out/frame_dump.exe ||
  { echo "windows.sh: the frames of the Windows build differ from the Linux build's" >&2; exit 1; }
stage_done "frames of the Windows build against the Linux build's"

# qm-alpaca.exe under Wine with the simulated camera, and the Linux build's
# Alpaca API tests talking to it over loopback exactly as they talk to the
# Linux server, a fresh server for each test; the 100 MB body too, which took
# about 8 s natively.
# Only where Wine runs natively: under QEMU's emulation the server and the
# module load too slowly for the tests' time limits (connections time out, and
# LoadLibrary of the module failed with error 126 in a trial), so there the
# stage says so and is left out rather than failing on the emulator.
if [ "$wine_emulated" = 1 ]; then
  echo "windows.sh: the Alpaca API tests against qm-alpaca.exe and the comparison of its" \
       "preview and images with qm-alpaca's need Wine without emulation: not run"
else
  alpaca_state=$(mktemp -d)
  scripts/ci/alpaca-against-server.sh build/default/out/alpaca_api_tests "$alpaca_state" \
    -- wine build/mingw/out/qm-alpaca.exe ||
    { echo "windows.sh: the Alpaca API tests against qm-alpaca.exe failed" >&2; exit 1; }
  rm -rf "$alpaca_state"
  stage_done "Alpaca API tests against qm-alpaca.exe under Wine"
  # The setup page's preview: the same pixels from both builds for the same
  # exposure (one PNG encoder for both).
  tests/windows/preview_compare.sh build/default/out/qm-alpaca -- wine build/mingw/out/qm-alpaca.exe ||
    { echo "windows.sh: the previews of qm-alpaca and qm-alpaca.exe differ" >&2; exit 1; }
  stage_done "preview of qm-alpaca.exe against qm-alpaca's"
  # Every mode's ImageBytes: the same samples from both servers.
  tests/windows/frame_compare.sh alpaca build/default/out/qm-alpaca -- wine build/mingw/out/qm-alpaca.exe ||
    { echo "windows.sh: the images of qm-alpaca and qm-alpaca.exe differ" >&2; exit 1; }
  stage_done "images of qm-alpaca.exe against qm-alpaca's"
fi

installer_test

# The 64-bit prefix: the 32-bit installer under WoW64, into Program Files (x86)
# and the 32-bit view of the registry, and its server where Wine runs natively.
fresh_prefix win64 "$PWD/build/mingw/wineprefix64"
installer_test
