# Sourced by the comparisons of two builds' servers: start_server runs an
# Alpaca server command on a free loopback port with a private configuration
# ($work/NAME.json), its output in $work/NAME.out and .log, and sets pid and
# port once it listens; stop_server ends it. The caller sets work and pid="".
start_server() {  # name, command...
  local name=$1
  shift
  "$@" --port 0 --bind 127.0.0.1 --no-discovery --config "$work/$name.json" \
    >"$work/$name.out" 2>"$work/$name.log" &
  pid=$!
  port=""
  for _ in $(seq 1200); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/$name.out")
    [ -n "$port" ] || ! kill -0 "$pid" 2>/dev/null && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "${0##*/}: $name did not start"; cat "$work/$name.log"; return 1; }
}

stop_server() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; pid=""; fi
}
