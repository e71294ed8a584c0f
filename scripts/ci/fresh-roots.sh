#!/usr/bin/env bash
# A newcomer's path on fresh machines: for each Debian release named (Debian 12
# "bookworm" and 13 "trixie" by default) makes a fresh root with debootstrap
# (minbase plus git, Debian's packages only), clones this repository's commit
# into it and, inside it, runs the README's set-up and first command
# (scripts/capture-demo.sh), then the default test preset (two at a time, as
# the sanitizer stage runs them), and scripts/ci/packages.sh (lintian on that
# release, install, the installed tests, removal).
# The next release's root and set-up are made while the release before it
# builds; that release's tests start once they are done.
#
# Debian 12's root works as root; Debian 13's as a user who may use sudo, as the
# README describes, and runs the tests as root, since the discovery test makes
# network namespaces. Each root runs in mount and PID namespaces of its own,
# with its own /proc, /dev/shm, /run and /sys and the host's loopback: every
# mount and every process started inside ends with it, and the root is
# removed afterwards (QM_FRESH_KEEP=1 keeps it to look into).
#   fresh-roots.sh [RELEASE...]
# QM_FRESH_DIR: where the roots go (/var/tmp/qm-fresh-roots); QM_FRESH_MIRROR:
# the Debian mirror (http://deb.debian.org/debian); QM_FRESH_BASE_CACHE=1 keeps
# what debootstrap made as RELEASE.base beside the roots and starts later runs
# from a copy of it (for trying changes; CI makes every root anew).
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-roots.sh: needs root (debootstrap, chroot, mounts): run it as root or with sudo" >&2
  exit 1
fi
for tool in debootstrap unshare chroot findmnt git; do
  command -v "$tool" >/dev/null ||
    { echo "fresh-roots.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(bookworm trixie)
for release in "${releases[@]}"; do
  case $release in
    bookworm | trixie) ;;
    *) echo "fresh-roots.sh: no fresh root for '$release' (bookworm, trixie)" >&2; exit 2 ;;
  esac
done
dir=${QM_FRESH_DIR:-/var/tmp/qm-fresh-roots}
mirror=${QM_FRESH_MIRROR:-http://deb.debian.org/debian}
repo=$PWD
commit=$(git rev-parse HEAD)
[ -n "$dir" ] && [ "$dir" != / ] || { echo "fresh-roots.sh: QM_FRESH_DIR is empty or /" >&2; exit 2; }

# The steps below also run where errexit does not hold (in a condition): each
# one stops at its first failure itself, and no path is used unset.
summary=()
stage() {  # stage RELEASE NAME COMMAND...: runs it, keeps its time and outcome
  local release=$1 name=$2 start=$SECONDS rc=0
  shift 2
  echo "== fresh-roots.sh: $release: $name"
  "$@" || rc=$?
  summary+=("$release | $name | $((SECONDS - start)) s$([ "$rc" -eq 0 ] || echo ", failed ($rc)")")
  return "$rc"
}

# A root still mounted (by a run killed half-way) is never deleted through its
# mounts.
remove_root() {
  local root=${1:?}
  [ -e "$root" ] || return 0
  if findmnt -rn -o TARGET | grep -q "^$root\(/\|$\)"; then
    echo "fresh-roots.sh: $root still has mounts; not removing it" >&2
    return 1
  fi
  rm -rf --one-file-system "$root"
}

# Runs a command as root inside the root, in mount and PID namespaces of its
# own: the mounts go and every process is killed when the command ends.
in_root() {
  local root=${1:?}
  shift
  unshare --mount --pid --fork --propagation private -- bash -euc '
    root=$1
    shift
    mount -t proc proc "$root/proc"
    mount -t sysfs -o ro sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
    mount -t tmpfs -o mode=755,nosuid,nodev run "$root/run"
    mkdir -p "$root/run/lock"
    exec chroot "$root" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root TERM=dumb CI="${CI:-}" "$@"
  ' bash "$root" "$@"
}

make_root() {
  local release=${1:?} root=${2:?}
  remove_root "$root" || return 1
  mkdir -p "$dir" || return 1
  local base=$dir/$release.base
  if [ "${QM_FRESH_BASE_CACHE:-0}" = 1 ] && [ -d "$base" ]; then
    cp -a "$base" "$root" || return 1
  else
    debootstrap --variant=minbase --include=git "$release" "$root" "$mirror" \
        >"$root.debootstrap.log" 2>&1 ||
      { tail -n 20 "$root.debootstrap.log" >&2; echo "fresh-roots.sh: debootstrap $release failed" >&2
        return 1; }
    if [ "${QM_FRESH_BASE_CACHE:-0}" = 1 ]; then cp -a "$root" "$base" || return 1; fi
  fi
  # What an installed Debian has besides the release itself: its updates.
  printf 'deb %s %s main\n' "$mirror" "$release" "$mirror" "$release-updates" \
      "${mirror%/debian}/debian-security" "$release-security" >"$root/etc/apt/sources.list" &&
    cp /etc/resolv.conf "$root/etc/resolv.conf" &&
    # As in any chroot: packages start no services here.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d" &&
    chmod 755 "$root/usr/sbin/policy-rc.d" &&
    # A root that lives for one run needs no fsync after every file dpkg
    # unpacks, nor an index of manual pages: the two take much of apt's time.
    echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/qm-fresh-root" &&
    echo 'man-db man-db/auto-update boolean false' | chroot "$root" debconf-set-selections &&
    trust_local_authorities "$root"
}

# The certificate authorities this machine adds to Debian's (a network that
# inspects TLS, as a company's may) are the root's too, or npm reaches no
# registry from it: what a newcomer on such a network sets up as well.
trust_local_authorities() {
  local root=${1:?}
  compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null || return 0
  mkdir -p "$root/usr/local/share/ca-certificates" &&
    cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/" &&
    # Installed with ca-certificates, if debootstrap has not brought it.
    { [ ! -x "$root/usr/sbin/update-ca-certificates" ] ||
      chroot "$root" update-ca-certificates >/dev/null; }
}

clone_into() {  # clone_into ROOT HOME OWNER
  local root=${1:?} home=${2:?} owner=${3:?}
  git clone --quiet --no-hardlinks "$repo" "$root$home/d_qm208x" &&
    git -C "$root$home/d_qm208x" checkout --quiet "$commit" &&
    in_root "$root" chown -R "$owner" "$home/d_qm208x"
}

add_sudo_user() {  # as the README says: sudo, and the user in group sudo
  local root=${1:?}
  in_root "$root" apt-get update -q &&
    in_root "$root" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -q --no-install-recommends sudo &&
    in_root "$root" useradd --create-home --shell /bin/bash --groups sudo newcomer &&
    # CI has nobody to type a password.
    echo 'newcomer ALL=(ALL:ALL) NOPASSWD: ALL' >"$root/etc/sudoers.d/newcomer" &&
    chmod 440 "$root/etc/sudoers.d/newcomer"
}

# Chooses the release the functions below work on: its root, its user, and how
# commands run there.
select_release() {
  release=${1:?}
  root=$dir/$release
  if [ "$release" = bookworm ]; then
    home=/root who="as root"
    run() { in_root "$root" bash -c "cd $home/d_qm208x && $*"; }
    prepare() { clone_into "$root" "$home" root:root; }
  else
    home=/home/newcomer who="as a user with sudo"
    run() { in_root "$root" runuser -l newcomer -c "cd $home/d_qm208x && $*"; }
    prepare() { add_sudo_user "$root" && clone_into "$root" "$home" newcomer:newcomer; }
  fi
  root_run() { in_root "$root" bash -c "cd $home/d_qm208x && $*"; }
}

# The root and the README's set-up (which capture-demo.sh starts with, timed
# on its own here: the demo then finds nothing missing). Mostly the network
# and dpkg, so the next release's runs beside the build of the one before.
set_up_release() {
  stage "$release" "debootstrap (minbase, git)" make_root "$release" "$root" &&
    stage "$release" "clone, $who" prepare &&
    stage "$release" "set-up: QM_SKIP_WINE=1 scripts/install-deps.sh, $who" \
      run "QM_SKIP_WINE=1 scripts/install-deps.sh"
}

# The next release's set-up in the background, its output and times kept to
# be shown once it is waited for.
background_pid=
start_background_set_up() {
  (
    select_release "$1"
    summary=()
    rc=0
    set_up_release >"$dir/$release.set-up.log" 2>&1 || rc=$?
    [ ${#summary[@]} -eq 0 ] || printf '%s\n' "${summary[@]}" >"$dir/$release.set-up.times"
    exit "$rc"
  ) &
  background_pid=$!
}
wait_background_set_up() {  # RELEASE: its set-up's outcome, its output shown
  local rc=0
  [ -n "$background_pid" ] || return 0
  wait "$background_pid" || rc=$?
  background_pid=
  echo "== fresh-roots.sh: $1: set-up, run beside the build before it:"
  cat "$dir/$1.set-up.log"
  [ ! -f "$dir/$1.set-up.times" ] || mapfile -t -O "${#summary[@]}" summary <"$dir/$1.set-up.times"
  rm -f "$dir/$1.set-up.log" "$dir/$1.set-up.times"
  return "$rc"
}

finish_root() {
  if [ "${QM_FRESH_KEEP:-0}" = 1 ]; then
    echo "fresh-roots.sh: $root kept (QM_FRESH_KEEP=1)"
  else
    remove_root "$root" && rm -f "$root.debootstrap.log"
  fi
}

status=0
mkdir -p "$dir"
for ((i = 0; i < ${#releases[@]}; i++)); do
  select_release "${releases[i]}"
  next=${releases[i + 1]:-}
  if [ "$i" -eq 0 ]; then
    set_up_release
  else
    wait_background_set_up "$release"
  fi || status=1
  if [ "$status" -eq 0 ]; then
    [ -z "$next" ] || start_background_set_up "$next"
    stage "$release" "scripts/capture-demo.sh (build, capture), $who" run scripts/capture-demo.sh ||
      status=1
    # The tests have the machine to themselves.
    wait_background_set_up "$next" || status=1
  fi
  if [ "$status" -eq 0 ] &&
     stage "$release" "ctest --preset default -j2, as root" \
       root_run "ctest --preset default -j2" &&
     stage "$release" "scripts/ci/packages.sh, as root" root_run scripts/ci/packages.sh; then
    echo "== fresh-roots.sh: $release: passed"
  else
    echo "fresh-roots.sh: $release: failed (above)" >&2
    status=1
  fi
  finish_root
  if [ "$status" -ne 0 ]; then
    # A root set up beside this one goes too.
    if [ -n "$next" ]; then select_release "$next"; finish_root; fi
    break
  fi
done

echo "fresh-roots.sh: times (release | stage | time)"
printf '  %s\n' "${summary[@]}"
exit "$status"
