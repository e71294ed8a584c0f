#!/usr/bin/env bash
# The setup page's preview from two servers for the same exposure of the
# simulated camera (QM_SIM_NOISE=fixed, 1 s, full frame): the PNGs decoded
# and compared pixel for pixel. scripts/ci/windows.sh runs it with the Linux
# qm-alpaca as the first and qm-alpaca.exe under Wine as the second.
#   preview_compare.sh FIRST_SERVER... -- SECOND_SERVER...
# Each command gets --port 0 --bind 127.0.0.1 --no-discovery --config FILE.
set -euo pipefail

first=() second=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do first+=("$1"); shift; done
[ "${1:-}" = -- ] && shift
second=("$@")
if [ ${#first[@]} -eq 0 ] || [ ${#second[@]} -eq 0 ]; then
  echo "usage: preview_compare.sh FIRST_SERVER... -- SECOND_SERVER..." >&2
  exit 2
fi
work=$(mktemp -d)
pid=""
source "$(dirname "$0")/alpaca_server.sh"
trap 'stop_server; rm -rf "$work"' EXIT

# The decoded pixels of a PNG: width, height, colour type and a digest of the
# unfiltered rows (any filter, 8 or 16 bits, grey or RGB).
decode() {
  python3 - "$1" <<'PY'
import hashlib, struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG'
pos, idat = 8, b''
while pos < len(data):
    length, kind = struct.unpack('>I4s', data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + length]
    if kind == b'IHDR':
        width, height, depth, colour = struct.unpack('>IIBB', body[:10])
    elif kind == b'IDAT':
        idat += body
    pos += 12 + length
channels = {0: 1, 2: 3, 4: 2, 6: 4}[colour]
bpp = max(1, channels * depth // 8)
stride = width * channels * depth // 8
raw = zlib.decompress(idat)
rows, previous = [], bytearray(stride)
for y in range(height):
    kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        left = line[i - bpp] if i >= bpp else 0
        up, upleft = previous[i], previous[i - bpp] if i >= bpp else 0
        if kind == 1: line[i] = (line[i] + left) & 255
        elif kind == 2: line[i] = (line[i] + up) & 255
        elif kind == 3: line[i] = (line[i] + (left + up) // 2) & 255
        elif kind == 4:
            p = left + up - upleft
            pa, pb, pc = abs(p - left), abs(p - up), abs(p - upleft)
            line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else upleft)) & 255
    rows.append(bytes(line))
    previous = line
print(width, height, colour, depth, hashlib.sha256(b''.join(rows)).hexdigest())
PY
}

# Starts a server, exposes 1 s and saves the preview as $work/NAME.png.
preview_of() {  # name, command...
  local name=$1 url
  shift
  start_server "$name" env QM_SIM_TIME_SCALE=0 QM_SIM_NOISE=fixed "$@" || return 1
  url=http://127.0.0.1:$port/api/v1/camera/0
  curl -sf -m 60 -X PUT -d 'Connected=true&ClientID=7&ClientTransactionID=1' "$url/connected" >/dev/null
  curl -sf -m 60 -X PUT -d 'Duration=1&Light=true&ClientID=7&ClientTransactionID=2' \
    "$url/startexposure" >/dev/null
  for _ in $(seq 240); do
    curl -sf -m 60 "$url/imageready?ClientID=7" | grep -q '"Value":true' && break
    sleep 0.5
  done
  curl -sf -m 120 -o "$work/$name.png" "http://127.0.0.1:$port/setup/v1/camera/0/preview.png" ||
    { echo "preview_compare.sh: no preview from $name"; return 1; }
  stop_server
}

preview_of first "${first[@]}"
preview_of second "${second[@]}"
a=$(decode "$work/first.png") b=$(decode "$work/second.png")
echo "preview_compare.sh: first  $a"
echo "preview_compare.sh: second $b"
[ "$a" == "$b" ] || { echo "preview_compare.sh: the previews differ"; exit 1; }
echo "preview_compare.sh: the same preview, pixel for pixel"
