#!/usr/bin/env bash
# Screenshots of the two outcome boxes that d_SetupCCD shows through USER32 when
# not quiet, taken under Wine on a virtual X display. Run by hand after
# scripts/ci/windows.sh (which builds the host and the Wine prefix); needs
# Debian's xvfb, xdotool and imagemagick.
#   screenshot_setup_boxes.sh OUTPUT_FOLDER
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ $# -ne 1 ]; then
  echo "usage: screenshot_setup_boxes.sh OUTPUT_FOLDER" >&2
  exit 2
fi
output=$1
host=build/mingw/out/wine_host.exe
for tool in Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "screenshot_setup_boxes.sh: $tool is missing" >&2; exit 1; }
done
[ -f "$host" ] || { echo "screenshot_setup_boxes.sh: $host is missing: run scripts/ci/windows.sh" >&2; exit 1; }
mkdir -p "$output"

export WINEPREFIX="$PWD/build/mingw/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export QM_SIM_TIME_SCALE=0 DISPLAY=:97
Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1 || true; kill "$xvfb" 2>/dev/null || true' EXIT
sleep 2
# Wine draws the frames and captions itself: there is no window manager.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
wineserver -w

# caption | QM_SIM_FAULT | file
while IFS='|' read -r caption fault file; do
  QM_SIM_FAULT=$fault wine "$host" --setup-box >"$output/$file.log" 2>&1 &
  runner=$!
  window=
  for _ in $(seq 1 240); do
    window=$(xdotool search --name "^$caption\$" 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.5
  done
  if [ -z "$window" ]; then
    echo "screenshot_setup_boxes.sh: no \"$caption\" box appeared" >&2
    kill "$runner" 2>/dev/null || true
    exit 1
  fi
  sleep 2
  import -window root "$output/$file.png"
  convert "$output/$file.png" -trim +repage -bordercolor black -border 16 "$output/$file.png"
  xdotool windowactivate --sync "$window" key Return 2>/dev/null || xdotool key --window "$window" Return
  if ! timeout 60 tail --pid="$runner" -f /dev/null; then
    kill "$runner" 2>/dev/null || true
  fi
  wineserver -w
  echo "$caption: $output/$file.png ($(tr '\n' ' ' <"$output/$file.log"))"
  rm -f "$output/$file.log"
done <<'BOXES'
Found CCD camera||windows-setup-found
Camera Not Found|no-camera|windows-setup-not-found
BOXES
