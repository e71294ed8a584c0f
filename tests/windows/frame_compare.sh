#!/usr/bin/env bash
# The simulated camera's full frame in every binning mode from two builds, with
# the same seed, exposure (1 s) and fixed noise, compared sample for sample.
# scripts/ci/windows.sh runs it with the Linux build first and the Windows
# build under Wine second, in two ways:
#   frame_compare.sh dump FIRST... -- SECOND...
#     each command is a frame_dump program (tests/windows/frame_dump.cpp), run
#     in a folder of its own, where it writes frame-N.raw for modes 0 to 4;
#   frame_compare.sh alpaca FIRST_SERVER... -- SECOND_SERVER...
#     each command is an Alpaca server (qm-alpaca), given --port 0 --bind
#     127.0.0.1 --no-discovery --config FILE; every mode is exposed in turn
#     (BinX and ReadoutMode) and its image fetched as ImageBytes.
# Prints one line per mode and ends with "the same frames" or "frames differ"
# (exit status 1).
set -euo pipefail

usage() {
  echo "usage: frame_compare.sh dump|alpaca FIRST... -- SECOND..." >&2
  exit 2
}
[ $# -ge 1 ] || usage
way=$1
shift
first=() second=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do first+=("$1"); shift; done
[ "${1:-}" = -- ] && shift
second=("$@")
case $way in dump | alpaca) ;; *) usage ;; esac
[ ${#first[@]} -gt 0 ] && [ ${#second[@]} -gt 0 ] || usage

work=$(mktemp -d)
pid=""
source "$(dirname "$0")/alpaca_server.sh"
trap 'stop_server; rm -rf "$work"' EXIT
export QM_SIM_TIME_SCALE=0 QM_SIM_NOISE=fixed QM_SIM_SEED=20800

# The driver's five modes as an Alpaca client chooses them: BinX, ReadoutMode.
alpaca_modes=("0 4 1" "1 4 0" "2 2 0" "3 2 1" "4 1 0")  # mode, BinX, ReadoutMode

# Runs a frame_dump command in $work/NAME: frame-N.raw there. Its arguments
# that name files are made absolute first.
dump_frames() {  # name, command...
  local name=$1 argument command=()
  shift
  for argument; do
    if [ -e "$argument" ]; then argument=$(realpath "$argument"); fi
    command+=("$argument")
  done
  mkdir -p "$work/$name"
  (cd "$work/$name" && "${command[@]}") >"$work/$name.log" 2>&1 ||
    { echo "frame_compare.sh: $name failed:"; cat "$work/$name.log"; return 1; }
}

# Starts a server, exposes every mode and saves its ImageBytes answer as
# $work/NAME/frame-N.raw.
serve_frames() {  # name, command...
  local name=$1 url mode bin readout transaction=0
  shift
  mkdir -p "$work/$name"
  start_server "$name" "$@" || return 1
  url=http://127.0.0.1:$port/api/v1/camera/0
  put() {  # member, form
    transaction=$((transaction + 1))
    curl -sf -m 60 -X PUT -d "$2&ClientID=7&ClientTransactionID=$transaction" "$url/$1" |
      grep -q '"ErrorNumber":0' || { echo "frame_compare.sh: $name: PUT $1 $2 refused"; return 1; }
  }
  put connected Connected=true
  for entry in "${alpaca_modes[@]}"; do
    read -r mode bin readout <<<"$entry"
    put binx "BinX=$bin"
    put readoutmode "ReadoutMode=$readout"
    put startx StartX=0
    put starty StartY=0
    put numx "NumX=$((2048 / bin))"
    put numy "NumY=$((1536 / bin))"
    put startexposure 'Duration=1&Light=true'
    for _ in $(seq 240); do
      curl -sf -m 60 "$url/imageready?ClientID=7" | grep -q '"Value":true' && break
      sleep 0.5
    done
    curl -sf -m 300 -H 'Accept: application/imagebytes' -o "$work/$name/frame-$mode.raw" \
      "$url/imagearray?ClientID=7" ||
      { echo "frame_compare.sh: no image of mode $mode from $name"; return 1; }
  done
  stop_server
}

if [ "$way" = dump ]; then
  dump_frames first "${first[@]}"
  dump_frames second "${second[@]}"
else
  serve_frames first "${first[@]}"
  serve_frames second "${second[@]}"
fi

# Every mode's samples side by side. ImageBytes answers are compared from their
# image element type on (the transaction numbers before it may differ) and
# must come as UInt16 elements; frame_dump's files are samples throughout.
python3 - "$work/first" "$work/second" "$way" <<'PY'
import os, struct, sys
first, second, way = sys.argv[1:4]
def samples(path):
    data = open(path, 'rb').read()
    if way == 'alpaca':
        (version, error, _, _, start, image_type, transmission, rank,
         width, height, depth) = struct.unpack('<11i', data[:44])
        assert error == 0 and transmission == 8, f'{path}: error {error}, elements of type {transmission}'
        header, data = (image_type, transmission, rank, width, height, depth), data[start:]
    else:
        header = ()
    return header, struct.unpack(f'<{len(data) // 2}H', data)
same = True
for mode in range(5):
    name = f'frame-{mode}.raw'
    a_header, a = samples(os.path.join(first, name))
    b_header, b = samples(os.path.join(second, name))
    if a_header != b_header or len(a) != len(b):
        print(f'mode {mode}: the frames differ in shape ({a_header} {len(a)} samples,'
              f' {b_header} {len(b)} samples)')
        same = False
        continue
    differ = [i for i in range(len(a)) if a[i] != b[i]]
    if differ:
        largest = max(abs(a[i] - b[i]) for i in differ)
        print(f'mode {mode}: {len(differ)} of {len(a)} samples differ, by up to {largest};'
              f' the first is sample {differ[0]}: {a[differ[0]]} against {b[differ[0]]}')
        same = False
    else:
        print(f'mode {mode}: {len(a)} samples, the same')
print('frame_compare.sh: ' + ('the same frames, sample for sample' if same else 'frames differ'))
sys.exit(0 if same else 1)
PY
