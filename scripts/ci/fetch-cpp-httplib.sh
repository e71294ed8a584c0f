#!/usr/bin/env bash
# cpp-httplib's whole header for the Windows cross build. Debian's
# libcpp-httplib-dev ships the library split: httplib.h declares, and the code
# is compiled into libcpp-httplib.so, for Linux only. The MinGW build takes the
# single header from Debian's source package of the very version installed
# (Debian's patches applied), so both builds serve HTTP with the same code.
# apt-get reads a private list of source indexes in a temporary folder: the
# machine's apt configuration is left as it is.
#   fetch-cpp-httplib.sh DEST_DIR     (writes httplib.h, LICENSE, VERSION)
set -euo pipefail
export LC_ALL=C

if [ $# -ne 1 ]; then
  echo "usage: fetch-cpp-httplib.sh DEST_DIR" >&2
  exit 2
fi
dest=$1
version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev 2>/dev/null) ||
  { echo "fetch-cpp-httplib.sh: libcpp-httplib-dev is not installed (scripts/install-deps.sh)" >&2; exit 1; }
if [ -f "$dest/httplib.h" ] && [ "$(cat "$dest/VERSION" 2>/dev/null)" = "$version" ]; then
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/source"
. /etc/os-release
cat >"$work/parts/debian-sources.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $VERSION_CODENAME $VERSION_CODENAME-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $VERSION_CODENAME-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
apt_options=(-q -o "Dir::Etc::sourcelist=-" -o "Dir::Etc::sourceparts=$work/parts"
             -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
             -o "APT::Sandbox::User=root")
apt-get "${apt_options[@]}" update >"$work/update.log" 2>&1 ||
  { cat "$work/update.log" >&2; exit 1; }
(cd "$work/source" && apt-get "${apt_options[@]}" source --download-only "cpp-httplib=$version") \
  >"$work/source.log" 2>&1 || { cat "$work/source.log" >&2; exit 1; }
dpkg-source -x "$work"/source/cpp-httplib_*.dsc "$work/unpacked" >"$work/unpack.log" 2>&1 ||
  { cat "$work/unpack.log" >&2; exit 1; }
# The single header carries the code: Server::listen is defined in it.
grep -q 'inline bool Server::listen' "$work/unpacked/httplib.h" ||
  { echo "fetch-cpp-httplib.sh: $version's httplib.h holds no code" >&2; exit 1; }

mkdir -p "$dest"
cp "$work/unpacked/httplib.h" "$work/unpacked/LICENSE" "$dest/"
echo "$version" >"$dest/VERSION"
echo "fetch-cpp-httplib.sh: cpp-httplib $version in $dest"
