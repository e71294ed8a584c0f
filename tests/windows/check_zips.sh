#!/usr/bin/env bash
# The Windows zips as a user unpacks them: cpack of the MinGW build into a
# fresh folder, then what each zip holds, file for file.
#   check_zips.sh BUILD_DIR OBJDUMP VERSION
set -euo pipefail
export LC_ALL=C

if [ $# -ne 3 ]; then
  echo "usage: check_zips.sh BUILD_DIR OBJDUMP VERSION" >&2
  exit 2
fi
build=$1 objdump=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
server_zip=$work/packages/qm208x-alpaca-$version-win32.zip
simcam_zip=$work/packages/qm208x-simulated-camera-$version-win32.zip

passed=0 failed=0
expect_equal() {  # what, got, expected
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  got:      %s\n  expected: %s\n' "$1" "$2" "$3"
  fi
}
contents() { [ -f "$1" ] && cmake -E tar tf "$1" | grep -v '/$' | sort | tr '\n' ' ' | sed 's/ $//'; }
unpacked() {  # zip, file: the file's path once the zip is unpacked
  local into=$work/unpacked/$(basename "$1" .zip)
  [ -d "$into" ] || (mkdir -p "$into" && cd "$into" && cmake -E tar xf "$1")
  echo "$into/$2"
}
format_of() { "$objdump" -f "$1" | sed -n 's/.*file format //p'; }
runtime_dlls_of() {
  [ -f "$1" ] || { echo "(no such file)"; return; }
  "$objdump" -p "$1" | awk '/DLL Name:/ { print $3 }' | grep -iE '^lib(stdc|gcc|winpthread)' |
    tr '\n' ' ' | sed 's/ $//' || true
}
zips_made() { ls "$work/packages" | grep -v '^_CPack' | words; }
words() { tr '\n' ' ' | sed 's/ $//'; }
mentions() { if grep -q -- "$2" "$1"; then echo yes; else echo no; fi; }

# what | got | expected, one case a line.
while IFS='|' read -r what got expected; do
  expect_equal "$what" "$(eval "$got")" "$(eval "$expected")"
done <<'CASES'
the zips cpack makes|zips_made|echo "qm208x-alpaca-$version-win32.zip qm208x-simulated-camera-$version-win32.zip"
the server zip holds the server, the driver, the text and licences, no SDK|contents "$server_zip"|echo "D_QM208X.dll README-qm-alpaca.txt licenses/CLI11.txt licenses/D_QM208X.txt licenses/cpp-httplib.txt licenses/mingw-w64-runtime.txt licenses/nlohmann-json.txt qm-alpaca.exe"
the simulated camera zip holds the DLL, its text and licences alone|contents "$simcam_zip"|echo "CCDVideoAPI.dll README-simulated-camera.txt licenses/D_QM208X.txt licenses/mingw-w64-runtime.txt"
qm-alpaca.exe is a 32-bit PE|format_of "$(unpacked "$server_zip" qm-alpaca.exe)"|echo pei-i386
D_QM208X.dll is a 32-bit PE|format_of "$(unpacked "$server_zip" D_QM208X.dll)"|echo pei-i386
CCDVideoAPI.dll is a 32-bit PE|format_of "$(unpacked "$simcam_zip" CCDVideoAPI.dll)"|echo pei-i386
qm-alpaca.exe needs no MinGW runtime DLL|runtime_dlls_of "$(unpacked "$server_zip" qm-alpaca.exe)"|echo
D_QM208X.dll needs no MinGW runtime DLL|runtime_dlls_of "$(unpacked "$server_zip" D_QM208X.dll)"|echo
the text says where the maker's SDK goes|mentions "$(unpacked "$server_zip" README-qm-alpaca.txt)" 'Copy CCDVideoAPI.dll from the'|echo yes
the text says how to start the server at logon|mentions "$(unpacked "$server_zip" README-qm-alpaca.txt)" 'shell:startup'|echo yes
the text says how clients find the camera|mentions "$(unpacked "$server_zip" README-qm-alpaca.txt)" 'port 11111'|echo yes
the simulation says it is not the maker's SDK|mentions "$(unpacked "$simcam_zip" README-simulated-camera.txt)" 'NOT the camera maker'|echo yes
CASES

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
