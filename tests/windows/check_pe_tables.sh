#!/usr/bin/env bash
# The export and import tables of D_QM208X.dll and CCDVideoAPI.dll as a host's
# loader reads them, from objdump -p.
#   check_pe_tables.sh OBJDUMP D_QM208X.dll CCDVideoAPI.dll
set -euo pipefail
export LC_ALL=C

if [ $# -ne 3 ]; then
  echo "usage: check_pe_tables.sh OBJDUMP DRIVER_DLL SDK_DLL" >&2
  exit 2
fi
objdump=$1 driver=$2 sdk=$3

passed=0 failed=0
expect_equal() {  # what, got, expected
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  got:      %s\n  expected: %s\n' "$1" "$2" "$3"
  fi
}
words() { tr -s ' \n' '\n\n' | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//'; }

format_of() { "$objdump" -f "$1" | sed -n 's/.*file format //p'; }
exports_of() {
  "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    awk '/^[[:space:]]*\[ *[0-9]+\]/ { print $NF }' | words
}
imported_dlls_of() { "$objdump" -p "$1" | awk '/DLL Name:/ { print $3 }' | words; }
imports_name() {  # file, dll, function: the function's name when imported
  imports_from "$1" "$2" | tr ' ' '\n' | grep -x "$3" || true
}
runtime_dlls_of() { imported_dlls_of "$1" | tr ' ' '\n' | grep -iE '^lib(stdc|gcc|winpthread)' | words; }
imports_from() {  # file, dll
  "$objdump" -p "$1" | awk -v dll="$2" '
    /DLL Name:/ { current = $3; next }
    /^[[:space:]]*$/ { current = "" }
    current == dll && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' | words
}

driver_exports="d_BinningCount d_BinningName d_EndDownload d_Finalize d_GetHeight d_GetInfo
  d_GetName d_GetOK d_GetTemperature d_GetWidth d_Initialize d_InterruptExposure d_IsColor
  d_IsExposing d_MoveFrame d_ReadImage d_SetupCCD d_StartDownload d_StartExposure d_Subframe"
sdk_functions="YCCDEnableAE YCCDEnableAWB YCCDGetImageData YCCDGetImageDataState
  YCCDInitialVideo YCCDPauseView YCCDReleaseVideo YCCDSetColorGain YCCDSetExposure
  YCCDSetPreviewMode YCCDStartView YCCDStopView"

# what | got | expected, one case a line.
while IFS='|' read -r what got expected; do
  expect_equal "$what" "$(eval "$got")" "$(eval "$expected")"
done <<'CASES'
D_QM208X.dll is a 32-bit PE|format_of "$driver"|echo pei-i386
CCDVideoAPI.dll is a 32-bit PE|format_of "$sdk"|echo pei-i386
D_QM208X.dll exports exactly the twenty names, undecorated|exports_of "$driver"|words <<< "$driver_exports"
D_QM208X.dll imports from the SDK and system DLLs only|imported_dlls_of "$driver"|echo CCDVideoAPI.dll KERNEL32.dll USER32.dll msvcrt.dll
D_QM208X.dll imports the twelve SDK functions from CCDVideoAPI.dll by name|imports_from "$driver" CCDVideoAPI.dll|words <<< "$sdk_functions"
D_QM208X.dll imports only MessageBoxA from USER32|imports_from "$driver" USER32.dll|echo MessageBoxA
D_QM208X.dll imports Sleep from KERNEL32|imports_name "$driver" KERNEL32.dll Sleep|echo Sleep
CCDVideoAPI.dll exports exactly the twelve SDK functions|exports_of "$sdk"|words <<< "$sdk_functions"
CCDVideoAPI.dll needs no MinGW runtime DLL|runtime_dlls_of "$sdk"|echo
D_QM208X.dll needs no MinGW runtime DLL|runtime_dlls_of "$driver"|echo
CASES

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
