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
declare -A required=(
  [driver]="$modules/D_QM208X.so $modules/libqm_platform.so"
  [simcam]="$modules/libCCDVideoAPI.so"
  [capture]="$bindir/qm-capture $mandir/man1/qm-capture.1"
  [indi]="$bindir/indi_qm208x_ccd $datadir/indi/indi_qm208x.xml"
)

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
  # Without --driver it takes the module's installed place (outside the stage:
  # loaded if the packages are installed, named in the refusal otherwise).
  installed_module=$prefix/$modules/D_QM208X.so
  out=$(cd "$work" && env -u LD_LIBRARY_PATH -u LD_PRELOAD -u QM_DRIVER_MODULE QM_SIM_TIME_SCALE=0 \
        "$root/$bindir/qm-capture" list 2>&1)
  grep -qF "($installed_module)" <<<"$out" || grep -qF "driver: $installed_module:" <<<"$out" ||
    fail "installed qm-capture list does not look for $installed_module: $out"
fi

# The staged INDI driver offers the installed module as its default too.
if [ -x "$root/$bindir/indi_qm208x_ccd" ]; then
  defs=$( (echo '<getProperties version="1.7"/>'; sleep 1) |
          (cd "$work" && env -u QM_DRIVER_MODULE HOME="$work" timeout 10 "$root/$bindir/indi_qm208x_ccd" 2>/dev/null))
  path=$(sed -n "/name='QM_DRIVER_MODULE'/,/<\/defTextVector>/p" <<<"$defs" |
         sed -n "/name='PATH'/,/<\/defText>/p" | sed -n 's|^[[:space:]]*\(/[^<]*[^[:space:]<]\)[[:space:]]*$|\1|p')
  [ "$path" = "$prefix/$modules/D_QM208X.so" ] ||
    fail "installed indi_qm208x_ccd offers module '$path', not $prefix/$modules/D_QM208X.so"
fi

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
