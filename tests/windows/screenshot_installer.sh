#!/usr/bin/env bash
# Screenshots of the installer's pages, one by one, as a user clicks through it
# under Wine on a virtual X display, into OUTPUT_FOLDER/windows-installer-N-NAME.png.
# Run by hand after the installer is built
# (cmake --build --preset mingw --target installer); it makes a Wine prefix of
# its own. Needs Debian's xvfb, xdotool and imagemagick.
#   screenshot_installer.sh OUTPUT_FOLDER
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ $# -ne 1 ]; then
  echo "usage: screenshot_installer.sh OUTPUT_FOLDER" >&2
  exit 2
fi
output=$1
setup=$(ls build/mingw/packages/qm208x-alpaca-*-setup.exe 2>/dev/null | head -1)
for tool in Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "screenshot_installer.sh: $tool is missing" >&2; exit 1; }
done
[ -n "$setup" ] || { echo "screenshot_installer.sh: no installer in build/mingw/packages" >&2; exit 1; }
mkdir -p "$output"

export WINEPREFIX="$PWD/build/mingw/wineprefix-screenshots" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" DISPLAY=:96
Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1 || true; kill "$xvfb" 2>/dev/null || true' EXIT
sleep 2
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
# Wine draws the frames and captions itself: there is no window manager.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
wineserver -w

wine "$setup" >/dev/null 2>&1 &
runner=$!
window=
for _ in $(seq 1 1200); do
  window=$(xdotool search --name 'Setup$' 2>/dev/null | head -1) && [ -n "$window" ] && break
  sleep 0.5
done
[ -n "$window" ] || { echo "screenshot_installer.sh: the installer's window did not appear" >&2; exit 1; }

shoot() {  # name
  sleep "${QM_SCREENSHOT_SETTLE:-6}"
  import -window root "$output/$1.png"
  convert "$output/$1.png" -trim +repage -bordercolor black -border 16 "$output/$1.png"
  echo "screenshot_installer.sh: $output/$1.png"
}
press() { xdotool windowactivate --sync "$window" key "$@" 2>/dev/null || xdotool key --window "$window" "$@"; }

# page | keys that leave it (Return: the default button, Next or I Agree)
while IFS='|' read -r page keys; do
  shoot "windows-installer-$page"
  # shellcheck disable=SC2086  # one or more key names
  press $keys
done <<'PAGES'
1-welcome|Return
2-licence|Return
3-folder|Return
4-options|Return
5-camera-library|Return
PAGES
# The files are copied and the finish page follows by itself.
shoot windows-installer-6-installing
QM_SCREENSHOT_SETTLE=${QM_SCREENSHOT_INSTALL_TIME:-60} shoot windows-installer-7-finish
# Finish (a server it starts ends with the prefix's Wine, when this script ends).
press Return
timeout 120 tail --pid="$runner" -f /dev/null || kill "$runner" 2>/dev/null || true
