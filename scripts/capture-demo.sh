#!/usr/bin/env bash
# Sets up a fresh Debian 12 or 13 machine (without Wine, which only the Windows tests
# need, unless QM_SKIP_WINE=0), builds the default preset and captures one frame
# of the simulated camera's sky into captures/ as FITS and as a PNG preview.
set -euo pipefail
cd "$(dirname "$0")/.."

QM_SKIP_WINE="${QM_SKIP_WINE:-1}" scripts/install-deps.sh

cmake --preset default
cmake --build --preset default

tool=build/default/out/qm-capture
"$tool" list
echo
# A 3-second exposure of the whole sensor in mode 4, the simulated camera in real time.
saved=$("$tool" capture --mode 4 --exposure 3 --png --output 'captures/demo_{n:04}_{utc}.fits')
echo "Captured:"
while read -r path; do
  echo "  $(pwd)/$path"
done <<< "$saved"
echo
echo "More: $tool --help, docs/capture.md; installing the packages: docs/install.md"
