# Sourced by the set-up scripts: as_root runs a command as root, directly when
# the script already runs as root, otherwise through sudo. A fresh Debian 12 has
# no sudo, so without it the script stops with what to do instead.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "${0##*/}: this step needs root: $*" >&2
    echo "${0##*/}: run it again as root, or as a user who may use sudo" \
         "(as root: apt-get install sudo; adduser $(id -un) sudo; then log in again)" >&2
    exit 1
  fi
}
