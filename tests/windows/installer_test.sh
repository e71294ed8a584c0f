#!/usr/bin/env bash
# The Windows installer as an administrator runs it, silently, under Wine in the
# prefix WINEPREFIX names (a fresh one: scripts/ci/windows.sh makes a 32-bit and
# a 64-bit one). In a 64-bit prefix the 32-bit installer goes, as on 64-bit
# Windows, to "Program Files (x86)" and writes the 32-bit view of the registry
# (HKLM\Software\Wow6432Node), the view Add/Remove Programs reads 32-bit
# programs' entries from.
#   1. install with the simulated camera: exactly the expected files, Start-menu
#      entries, start at logon and registry entries (Add/Remove Programs with
#      name, version, publisher and size, in the 32-bit view only);
#   2. the server started from the install folder serves a frame that the
#      Alpaca API tests check (ALPACA_TESTS, the Linux build's alpaca_api_tests;
#      left out with a message when it is "-", as where Wine runs emulated);
#   3. install again over it with "the maker's library" (a stand-in file) and
#      /NOLOGON: the copy is that file, the simulated camera and the start at
#      logon are gone;
#   4. refused command lines end with status 2 and change nothing;
#   5. silent uninstall: none of the installed files or registry keys remain,
#      the user's settings folder %APPDATA%\qm208x does.
# Ends with "installer, win32 prefix: N passed, M failed" (or win64).
#   installer_test.sh SETUP_EXE ALPACA_TESTS|-
set -euo pipefail
export LC_ALL=C

if [ $# -ne 2 ]; then
  echo "usage: installer_test.sh SETUP_EXE ALPACA_TESTS|-" >&2
  exit 2
fi
setup=$1 alpaca_tests=$2
: "${WINEPREFIX:?installer_test.sh: WINEPREFIX must name a Wine prefix}"
drive=$WINEPREFIX/drive_c
arch=$(sed -n 's/^#arch=//p' "$WINEPREFIX/system.reg" 2>/dev/null)
case $arch in
  win32) program_files='Program Files' view='' ;;
  win64) program_files='Program Files (x86)' view='Wow6432Node\\' ;;
  *) echo "installer_test.sh: $WINEPREFIX is not a Wine prefix made by wineboot" >&2; exit 1 ;;
esac
install_dir="C:\\$program_files\\QM208X Alpaca"
unix_dir=$drive/$program_files/QM208X\ Alpaca
menu=$drive/ProgramData/Microsoft/Windows/Start\ Menu/Programs
work=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

passed=0 failed=0
check() {  # what, command...
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $what"
  fi
}
expect_equal() {  # what, got, expected
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  got:      %s\n  expected: %s\n' "$1" "$2" "$3"
  fi
}

# Files under drive_c and registry keys, once Wine has written its registry.
# Wine's own keys are left out: it adds some when it first needs them (such as
# Software\Wine\Ports), whenever that happens to be. So are the devices Wine's
# Plug and Play finds, which it can be still setting up after the prefix's
# start-up (under emulation its virtual HID device's keys and
# windows\inf\input.pnf came during the first installation).
snapshot() {
  # Under emulation a Wine process can hang: that ends the test.
  timeout 300 wineserver -w ||
    { echo "installer_test.sh: Wine's processes were still running after 300 s" >&2; exit 1; }
  (cd "$drive" && find . | grep -v '^\./windows/inf/[^/]*\.pnf$' | sort) >"$work/files-$1"
  grep -h '^\[' "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg" | sed 's/\] [0-9]*$/]/' |
    grep -v -e '^\[Software\\\\Wine\\\\' \
      -e '^\[System\\\\CurrentControlSet\\\\\(Enum\|Control\\\\Class\|Control\\\\DeviceClasses\)\\\\' |
    sort >"$work/keys-$1"
}
# A value of HKLM\Software\KEY as system.reg holds it (KEY as written there,
# with \\ between its parts; the 32-bit view's keys begin with Wow6432Node).
registry_value() {  # key, name
  KEY="[Software\\\\$1]" NAME="\"$2\"=" awk '
    index($0, ENVIRON["KEY"]) == 1 { inside = 1; next }
    /^\[/ { inside = 0 }
    inside && index($0, ENVIRON["NAME"]) == 1 { print substr($0, length(ENVIRON["NAME"]) + 1) }' \
    "$WINEPREFIX/system.reg"
}
run_setup() { timeout -k 10 600 wine "$@" >>"$work/setup.log" 2>&1; }
installed_files() {
  (cd "$unix_dir" 2>/dev/null && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ' | sed 's/ $//')
}
sorted() { printf '%s\n' "$@" | sort | tr '\n' ' ' | sed 's/ $//'; }
# A text as the registry file writes it: backslashes and quotes escaped.
registry_form() { printf '%s' "$1" | sed 's/[\\"]/\\&/g'; }
uninstall_key='Microsoft\\Windows\\CurrentVersion\\Uninstall\\QM208X-Alpaca'
# What the server zip holds (tests/windows/check_zips.sh checks that file for
# file), as staged for the installer, and the uninstaller.
stage=$(dirname "$setup")/../installer-stage
common_files="$( (cd "$stage/server" && find . -type f | sed 's|^\./||'; echo uninstall.exe) | sort | tr '\n' ' ')"
[ -f "$stage/server/qm-alpaca.exe" ] || { echo "installer_test.sh: no staged files in $stage" >&2; exit 1; }

snapshot before

# 1. The simulated camera.
status=0
run_setup "$setup" /S /SIMULATED || status=$?
expect_equal "install /S /SIMULATED status" "$status" 0
snapshot simulated
expect_equal "files installed with the simulated camera" "$(installed_files)" \
  "$(sorted CCDVideoAPI.dll README-simulated-camera.txt $common_files)"
for entry in 'QM-208X Alpaca/QM-208X Alpaca server.lnk' 'QM-208X Alpaca/Read me.lnk' \
             'QM-208X Alpaca/Uninstall.lnk' 'StartUp/QM-208X Alpaca server.lnk'; do
  check "Start menu: $entry" test -f "$menu/$entry"
done
expect_equal "setup page entry" \
  "$(tr -d '\r' <"$menu/QM-208X Alpaca/QM-208X Alpaca setup page.url" | grep '^URL=')" \
  "URL=http://localhost:11111/setup"
version=$(basename "$setup" | sed -n 's/^qm208x-alpaca-\(.*\)-setup\.exe$/\1/p')
uninstaller=$(registry_form "\"$install_dir\\uninstall.exe\"")
# registry name | value as the registry file holds it
while IFS='|' read -r name expected; do
  expect_equal "Add/Remove Programs: $name" "$(registry_value "$view$uninstall_key" "$name")" "$expected"
done <<VALUES
DisplayName|"QM-208X Alpaca server"
DisplayVersion|"$version"
Publisher|"QM208X driver maintainers"
UninstallString|"$uninstaller"
QuietUninstallString|"$uninstaller /S"
VALUES
if [ -n "$view" ]; then
  expect_equal "Add/Remove Programs: no entry in the 64-bit view" \
    "$(registry_value "$uninstall_key" DisplayName)" ""
fi
size=$(registry_value "$view$uninstall_key" EstimatedSize | sed -n 's/^dword:\([0-9a-f]*\)$/\1/p')
check "Add/Remove Programs: EstimatedSize of at least 500 KiB (got ${size:-none})" \
  test "$((16#${size:-0}))" -ge 500
check "the simulated CCDVideoAPI.dll is the one built" cmp -s "$unix_dir/CCDVideoAPI.dll" \
  "$stage/simulated/CCDVideoAPI.dll"

# 2. A frame from the installed server.
if [ "$alpaca_tests" = - ]; then
  echo "installer: the installed server's frame is not checked here (no Alpaca tests given)"
else
  QM_SIM_TIME_SCALE=0 QM_SIM_NOISE=fixed wine "$install_dir\\qm-alpaca.exe" --port 0 \
    --bind 127.0.0.1 --no-discovery --config "$work/qm-alpaca.json" \
    >"$work/server.out" 2>"$work/server.log" &
  server=$!
  port=""
  for _ in $(seq 600); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.out")
    [ -n "$port" ] || ! kill -0 "$server" 2>/dev/null && break
    sleep 0.1
  done
  check "installed server started (log: $(tr '\n' ' ' <"$work/server.log"))" test -n "$port"
  if [ -n "$port" ]; then
    check "a frame from the installed server" env QM_ALPACA_URL="http://127.0.0.1:$port" \
      timeout 300 "$alpaca_tests" \
      --gtest_filter='AlpacaApi.AnExposureRunsToAnImageAndIsDescribed:AlpacaApi.ConnectedCameraDescribesItself'
    check "the server loaded the installed module" \
      grep -qF "$install_dir\\D_QM208X.dll" "$work/server.log"
  fi
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=""
fi

# 3. Again over it, with the maker's library (any file stands in for it here).
head -c 4096 /dev/urandom >"$work/CCDVideoAPI.dll"
maker_library=$(winepath -w "$work/CCDVideoAPI.dll")
status=0
run_setup "$setup" /S /NOLOGON "/CCDVIDEOAPI=$maker_library" || status=$?
expect_equal "install /S /NOLOGON /CCDVIDEOAPI= status" "$status" 0
snapshot maker
expect_equal "files installed with the maker's library" "$(installed_files)" \
  "$(sorted CCDVideoAPI.dll $common_files)"
check "CCDVideoAPI.dll is the copy of the maker's" cmp -s "$work/CCDVideoAPI.dll" "$unix_dir/CCDVideoAPI.dll"
check "no start at logon with /NOLOGON" test ! -e "$menu/StartUp/QM-208X Alpaca server.lnk"
expect_equal "camera library recorded" "$(registry_value "${view}QM208X Alpaca" CameraLibrary)" '"maker"'

# 4. Refused command lines: status 2, nothing changed.
# arguments (after /S) | what
while IFS='|' read -r arguments what; do
  status=0
  # shellcheck disable=SC2086  # the arguments are words
  run_setup "$setup" /S $arguments || status=$?
  expect_equal "$what: status" "$status" 2
  snapshot refused
  check "$what: no file changed" cmp -s "$work/files-maker" "$work/files-refused"
done <<EOF
/SIMULATED /CCDVIDEOAPI=$maker_library|both the simulated camera and the maker's library
/CCDVIDEOAPI=C:\\nowhere\\CCDVideoAPI.dll|a maker's library that is not there
EOF

# 5. Silent uninstall, with the user's settings in place.
settings=$(winepath -u 'C:\users')/$(whoami)/AppData/Roaming/qm208x
mkdir -p "$settings"
echo '{"uniqueId":"kept"}' >"$settings/qm-alpaca.json"
status=0
run_setup "$unix_dir/uninstall.exe" /S || status=$?
expect_equal "uninstall /S status" "$status" 0
snapshot removed
expect_equal "installed files left after uninstall" \
  "$(comm -12 <(comm -13 "$work/files-before" "$work/files-simulated") "$work/files-removed" | tr '\n' ' ')" ""
expect_equal "installed registry keys left after uninstall" \
  "$(comm -12 <(comm -13 "$work/keys-before" "$work/keys-simulated") "$work/keys-removed" | tr '\n' ' ')" ""
check "the user's settings are kept" test -f "$settings/qm-alpaca.json"
rm -rf "$settings"

echo "installer, $arch prefix: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
