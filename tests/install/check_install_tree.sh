#!/usr/bin/env bash
# Installs the build into temporary trees, one per component and one whole, and
# checks what a package built from them would hold: each component's files,
# nothing installed outside a component, the run-time search paths, and that
# the installed programs and module work from the tree alone.
#
# usage: check_install_tree.sh CMAKE BUILD_DIR PREFIX LIBDIR BINDIR DATADIR MANDIR COMPONENT...
# (LIBDIR and the others relative to PREFIX, as GNUInstallDirs gives them)
# COMPONENTs: those the build holds (empty arguments are ignored).
set -uo pipefail

cmake=$1 build=$2 prefix=$3 libdir=$4 bindir=$5 datadir=$6 mandir=$7
shift 7
components=()
for c in "$@"; do [ -n "$c" ] && components+=("$c"); done

modules=$libdir/qm208x
# Files each component must install, relative to the prefix.
# The first component of each package carries its copyright file, changelog
# and lintian overrides.
docs() { echo "$datadir/doc/$1/copyright $datadir/doc/$1/changelog.Debian.gz $datadir/lintian/overrides/$1"; }
declare -A required=(
  [driver]="$modules/D_QM208X.so $modules/libqm_platform.so $(docs qm208x-driver)"
  [simcam]="$modules/libCCDVideoAPI.so $(docs qm208x-simulated-camera)"
  [capture]="$bindir/qm-capture $mandir/man1/qm-capture.1.gz"
  [indi]="$bindir/indi_qm208x_ccd $datadir/indi/indi_qm208x.xml $mandir/man1/indi_qm208x_ccd.1.gz $(docs indi-qm208x)"
  [alpaca]="$bindir/qm-alpaca $mandir/man1/qm-alpaca.1.gz $(docs qm208x-alpaca)"
)
# The server's systemd unit (QM_UNIT_FILE, absolute) is one of its files where
# the release keeps units inside the prefix (/usr/lib/systemd/system).
if [ -n "${QM_UNIT_FILE:-}" ] && [[ $QM_UNIT_FILE == "$prefix"/* ]]; then
  required[alpaca]+=" ${QM_UNIT_FILE#"$prefix"/}"
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

install_into() { # DESTDIR [COMPONENT]
  local args=(--install "$build")
  [ $# -gt 1 ] && args+=(--component "$2")
  DESTDIR=$1 "$cmake" "${args[@]}" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install ${2:-(all)}"; }
}
files_of() { # DESTDIR: installed files relative to the prefix, sorted
  [ -d "$1$prefix" ] || return 0
  (cd "$1$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
}

# The packages hold exactly the components built.
packaged=$(sed -n 's/^set(CPACK_COMPONENTS_ALL "\(.*\)")$/\1/p' "$build/CPackConfig.cmake" | tr ';' '\n' | sort)
[ "$packaged" = "$(printf '%s\n' "${components[@]}" | sort)" ] ||
  fail "packaged components '$(echo $packaged)' are not the built ones '${components[*]}'"

# Each component on its own: its required files, and exactly its files.
: >"$work/union"
for c in "${components[@]}"; do
  [ -n "${required[$c]+x}" ] || { fail "unknown component $c"; continue; }
  install_into "$work/$c" "$c"
  files_of "$work/$c" >"$work/$c.files"
  cat "$work/$c.files" >>"$work/union"
  for f in ${required[$c]}; do
    grep -qxF "$f" "$work/$c.files" || fail "component $c lacks $f"
  done
  while read -r f; do
    case " ${required[$c]} " in *" $f "*) ;; *) fail "component $c also installs $f" ;; esac
  done <"$work/$c.files"
done

# The whole installation: every file belongs to a component, once.
tree=$work/all
install_into "$tree"
files_of "$tree" >"$work/all.files"
while read -r f; do fail "$f is in more than one component"; done < <(sort "$work/union" | uniq -d)
while read -r f; do
  fail "$f is installed outside the packaged components (${components[*]})"
done < <(comm -23 "$work/all.files" <(sort -u "$work/union"))
root=$tree$prefix

# Search paths: the module finds its SDK and platform library beside itself, and
# nothing installed points into the build tree or anywhere else.
while read -r f; do
  head -c4 "$root/$f" | grep -q $'\x7fELF' || continue
  dyn=$(readelf -d "$root/$f")
  runpath=$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p' <<<"$dyn")
  rpath=$(sed -n 's/.*(RPATH).*\[\(.*\)\]/\1/p' <<<"$dyn")
  [ -z "$rpath" ] || fail "$f carries RPATH $rpath"
  if [ "$f" = "$modules/D_QM208X.so" ]; then
    [ "$runpath" = '$ORIGIN' ] || fail "$f has RUNPATH '$runpath', not \$ORIGIN"
  else
    [ -z "$runpath" ] || fail "$f carries RUNPATH $runpath"
  fi
done <"$work/all.files"

module=$root/$modules/D_QM208X.so
if [ -f "$module" ] && [ -f "$root/$modules/libCCDVideoAPI.so" ]; then
  deps=$(env -u LD_LIBRARY_PATH -u LD_PRELOAD ldd "$module")
  for lib in libCCDVideoAPI.so libqm_platform.so; do
    grep -qF "$lib => $root/$modules/$lib " <<<"$deps" ||
      fail "installed module does not load $lib from beside itself: $(grep -F "$lib" <<<"$deps")"
  done
fi

# The installed tool runs the installed module and simulated camera.
if [ -x "$root/$bindir/qm-capture" ] && [ -f "$module" ]; then
  out=$(cd "$work" && env -u LD_LIBRARY_PATH -u LD_PRELOAD QM_SIM_TIME_SCALE=0 \
        "$root/$bindir/qm-capture" list --driver "$module" 2>&1)
  grep -q '^camera: connected' <<<"$out" || fail "installed qm-capture list: $out"
  # Without --driver it takes the module where the same installation put it,
  # found from its own folder: the stage here, /usr in the packages, whatever
  # prefix the build was configured with.
  out=$(cd "$work" && env -u LD_LIBRARY_PATH -u LD_PRELOAD -u QM_DRIVER_MODULE QM_SIM_TIME_SCALE=0 \
        "$root/$bindir/qm-capture" list 2>&1)
  grep -qF "($module)" <<<"$out" && grep -q '^camera: connected' <<<"$out" ||
    fail "installed qm-capture list does not run the module installed beside it, $module: $out"
  # Copied out of the installation, it looks under the configured prefix.
  mkdir -p "$work/elsewhere" && cp "$root/$bindir/qm-capture" "$work/elsewhere/"
  installed_module=$prefix/$modules/D_QM208X.so
  out=$(cd "$work" && env -u LD_LIBRARY_PATH -u LD_PRELOAD -u QM_DRIVER_MODULE QM_SIM_TIME_SCALE=0 \
        "$work/elsewhere/qm-capture" list 2>&1)
  grep -qF "($installed_module)" <<<"$out" || grep -qF "driver: $installed_module:" <<<"$out" ||
    fail "qm-capture outside an installation does not look for $installed_module: $out"
fi

# Installed under another prefix than the configured one, as the packages are
# (/usr), the programs still find the module.
if [ -x "$root/$bindir/qm-capture" ]; then
  other=$work/other-prefix
  "$cmake" --install "$build" --prefix "$other" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install --prefix $other"; }
  out=$(cd "$work" && env -u LD_LIBRARY_PATH -u LD_PRELOAD -u QM_DRIVER_MODULE QM_SIM_TIME_SCALE=0 \
        "$other/$bindir/qm-capture" list 2>&1)
  grep -qF "($other/$modules/D_QM208X.so)" <<<"$out" && grep -q '^camera: connected' <<<"$out" ||
    fail "qm-capture installed under $other does not run $other/$modules/D_QM208X.so: $out"
fi

# The driver package alone, without the maker's SDK or the simulated camera:
# the refusal names the missing library and both places it comes from.
if ldconfig -p | grep -qF 'libCCDVideoAPI.so '; then
  echo "note: a libCCDVideoAPI.so is on the loader's path here; the refusal without one is not checked"
elif [ -x "$work/capture$prefix/$bindir/qm-capture" ] && [ -f "$work/driver$prefix/$modules/D_QM208X.so" ]; then
  out=$(cd "$work" && env -u LD_LIBRARY_PATH -u LD_PRELOAD \
        "$work/capture$prefix/$bindir/qm-capture" list --driver "$work/driver$prefix/$modules/D_QM208X.so" 2>&1)
  status=$?
  [ "$status" -eq 1 ] || fail "qm-capture without an SDK library exits $status, not 1: $out"
  for part in 'camera SDK library libCCDVideoAPI.so' "camera maker's installation" \
              'package qm208x-simulated-camera'; do
    grep -qF "$part" <<<"$out" || fail "qm-capture without an SDK library does not say '$part': $out"
  done
fi

# The staged INDI driver offers the module installed beside it as its default too.
if [ -x "$root/$bindir/indi_qm208x_ccd" ]; then
  defs=$( (echo '<getProperties version="1.7"/>'; sleep 1) |
          (cd "$work" && env -u QM_DRIVER_MODULE HOME="$work" timeout 10 "$root/$bindir/indi_qm208x_ccd" 2>/dev/null))
  path=$(sed -n "/name='QM_DRIVER_MODULE'/,/<\/defTextVector>/p" <<<"$defs" |
         sed -n "/name='PATH'/,/<\/defText>/p" | sed -n 's|^[[:space:]]*\(/[^<]*[^[:space:]<]\)[[:space:]]*$|\1|p')
  [ "$path" = "$module" ] || fail "installed indi_qm208x_ccd offers module '$path', not $module"
fi

# Manual pages: compressed as Debian wants them (no name, no time stamp), and
# man finds nothing to warn about in them.
while read -r f; do
  case $f in "$mandir"/man*/*) ;; *) continue ;; esac
  [[ $f == *.gz ]] || { fail "$f is not compressed"; continue; }
  gzip -lv "$root/$f" >/dev/null 2>&1 || { fail "$f is not gzip"; continue; }
  [ "$(od -An -tu4 -j4 -N4 "$root/$f" | tr -d ' ')" = 0 ] || fail "$f carries a time stamp"
  (( $(od -An -tu1 -j3 -N1 "$root/$f") & 8 )) && fail "$f carries a file name"
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$root/$f" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man warns about $f: $warnings"
done <"$work/all.files"

# The driver XML names the installed INDI driver, so clients can start it.
xml=$root/$datadir/indi/indi_qm208x.xml
if [ -f "$xml" ]; then
  grep -q '<driver[^>]*>[[:space:]]*indi_qm208x_ccd[[:space:]]*</driver>' "$xml" ||
    fail "$xml does not name indi_qm208x_ccd"
  grep -q 'label="QM-208X VESK"' "$xml" || fail "$xml does not label the device QM-208X VESK"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "install tree: components ${components[*]}: $(wc -l <"$work/all.files") files checked"
