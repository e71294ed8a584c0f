#!/usr/bin/env bash
# Builds the Debian packages from the default build, checks every package built
# with lintian (any error or warning fails, pedantic notes are shown), installs
# them with apt as a user would (pulling their dependencies), runs the installed
# qm-capture, the INDI tests and the Alpaca API tests against the installed
# files (the server as its system user), and removes the
# packages again, also when a step fails. Runs apt as root or through sudo;
# packages of these names left installed by an earlier run are removed first.
set -euo pipefail
cd "$(dirname "$0")/../.."

source scripts/lib/as-root.sh
apt_get() {
  as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# The packages this build must make; any further package built is checked,
# installed and removed with them.
expected=(qm208x-driver indi-qm208x qm208x-simulated-camera qm208x-alpaca)
remove_packages() {
  local present=()
  for p in "${packages[@]}"; do installed "$p" && present+=("$p"); done
  [ ${#present[@]} -eq 0 ] || apt_get purge "${present[@]}" >/dev/null
}

start=$SECONDS
cmake --preset default >/dev/null
cmake --build --preset default -j2
rm -rf build/packages
cpack --preset default
built=$SECONDS

debs=() packages=()
for deb in build/packages/*.deb; do
  [ -f "$deb" ] || continue
  debs+=("$PWD/$deb")
  packages+=("$(dpkg-deb -f "$deb" Package)")
  echo "== $deb"
  dpkg-deb -I "$deb" control
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print "   ", $NF}'
done
for p in "${expected[@]}"; do
  [[ " ${packages[*]} " == *" $p "* ]] || { echo "packages: $p was not built" >&2; exit 1; }
done

# Debian's own checks: no error and no warning on any package.
lintian --fail-on error,warning --pedantic --display-info "${debs[@]}" ||
  { echo "packages: lintian found errors or warnings (above)" >&2; exit 1; }
linted=$SECONDS

# The simulation ships in its own package only, under its own name.
for deb in "${debs[@]}"; do
  sdk=$(dpkg-deb -c "$deb" | grep -c 'CCDVideoAPI' || true)
  case ${deb##*/} in qm208x-simulated-camera_*) want=1 ;; *) want=0 ;; esac
  [ "$sdk" -eq "$want" ] ||
    { echo "packages: ${deb##*/} holds $sdk CCDVideoAPI files, not $want" >&2; exit 1; }
done

work=$(mktemp -d)
cleanup() { remove_packages; rm -rf "$work"; }
trap cleanup EXIT

remove_packages
apt_get install "${debs[@]}"
for p in "${packages[@]}"; do dpkg -L "$p"; done | sort -u >"$work/files"

# The installed programs, nothing from the build tree: the tool finds the
# installed module by default, and the module the simulated camera beside it.
run_installed() {
  (cd "$work" && env -u LD_LIBRARY_PATH -u LD_PRELOAD QM_SIM_TIME_SCALE=0 "$@")
}
run_installed /usr/bin/qm-capture list
run_installed /usr/bin/qm-capture capture --mode 0 --exposure 0.01 --output "$work/frame_{n}.fits"
fitsverify -q "$work/frame_1.fits"

QM_INDI_DRIVER=/usr/bin/indi_qm208x_ccd ctest --preset default -L indi --no-tests=error

# The Alpaca server as its package installs it: the systemd unit in place and
# not enabled, the unprivileged system user it names, and the Alpaca API tests
# against the installed program run as that user, on a loopback port of its own
# with its configuration in a folder the user owns (as the unit's state folder).
unit=/lib/systemd/system/qm208x-alpaca.service
[ -f "$unit" ] || { echo "packages: $unit is missing" >&2; exit 1; }
if compgen -G "/etc/systemd/system/*.wants/qm208x-alpaca.service" >/dev/null; then
  echo "packages: installing enabled qm208x-alpaca.service" >&2; exit 1
fi
IFS=: read -r _ _ uid _ _ _ shell < <(getent passwd qm208x-alpaca) ||
  { echo "packages: no user qm208x-alpaca" >&2; exit 1; }
[ "$uid" -gt 0 ] && [ "$uid" -lt 1000 ] && [[ $shell == */nologin || $shell == */false ]] ||
  { echo "packages: qm208x-alpaca is no unprivileged system user ($uid, $shell)" >&2; exit 1; }
grep -qx 'User=qm208x-alpaca' "$unit" || { echo "packages: the unit runs as another user" >&2; exit 1; }
as_root_command=()
[ "$(id -u)" -eq 0 ] || as_root_command=(sudo --preserve-env=QM_SIM_TIME_SCALE,QM_SIM_NOISE)
alpaca_state=$(mktemp -d)
as_root chown qm208x-alpaca:qm208x-alpaca "$alpaca_state"
scripts/ci/alpaca-against-server.sh build/default/out/alpaca_api_tests "$alpaca_state" -- \
  "${as_root_command[@]}" setpriv --reuid=qm208x-alpaca --regid=qm208x-alpaca --init-groups \
  env -u LD_LIBRARY_PATH -u LD_PRELOAD /usr/bin/qm-alpaca ||
  { echo "packages: the Alpaca API tests against the installed qm-alpaca failed" >&2; exit 1; }
as_root rm -rf "$alpaca_state"
tested=$SECONDS

# Removal leaves none of the packages' files behind.
remove_packages
left=0
while read -r f; do
  # Not a folder: /lib, listed for the systemd unit, is the usr-merge link to usr/lib.
  if { [ -f "$f" ] || [ -L "$f" ]; } && [ ! -d "$f" ]; then
    echo "packages: left after removal: $f" >&2; left=1
  fi
done <"$work/files"
[ "$left" -eq 0 ]
echo "packages: build and cpack $((built - start)) s, lintian $((linted - built)) s," \
     "installed tests $((tested - linted)) s," \
     "${#packages[@]} packages installed, run and removed"
