#!/usr/bin/env bash
# Times a monolithic upload of a large blob through lighttpd under each
# server.stream-request-body setting (0: collect the whole body in
# lighttpd's upload folder first; 1: stream, buffering in temporary files
# while the program is slower than the client; 2: stream and hold the
# client back), in alternating rounds, and prints the median seconds and
# MB/s of each, and whether a chunked PATCH reaches the program.
#
#   bench/request_body_modes.sh [MiB] [ROUNDS]     (default 1024 MiB, 3 rounds)
#
# Uses the programs of BUILD_DIR (default ./build); its files and servers
# live in a folder under TMPDIR that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
mib=${1:-1024}
rounds=${2:-3}
build_dir=${BUILD_DIR:-$top/build}
work=$(mktemp -d "${TMPDIR:-/tmp}/body-modes.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

port_in_use() { (: <"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# start MODE: lighttpd with the registry's configuration and the given
# setting for every request; prints its port.
start() {
  local mode=$1 port conf
  port=$((20000 + RANDOM % 40000))
  PORT=$port RUN_DIR=$work/run$mode REGISTRY_STORAGE_ROOT=$work/storage$mode BUILD_DIR=$build_dir \
    SERVE_SKIP_BUILD=1 "$top/scripts/serve" >"$work/serve$mode.log" 2>&1 </dev/null &
  pids+=("$!")
  for _ in $(seq 100); do port_in_use "$port" && break; sleep 0.1; done
  kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null || true
  conf=$work/run$mode/lighttpd.conf
  # The generated configuration with its own setting replaced.
  sed -i '/^server.stream-request-body/d' "$conf"
  echo "server.stream-request-body = $mode" >>"$conf"
  /usr/sbin/lighttpd -D -f "$conf" >"$work/lighttpd$mode.log" 2>&1 &
  pids+=("$!")
  for _ in $(seq 100); do port_in_use "$port" && break; sleep 0.1; done
  echo "$port"
}

head -c $((mib * 1048576)) /dev/urandom >"$work/blob"
digest=sha256:$(sha256sum "$work/blob" | cut -c1-64)
declare -A port times
for mode in 0 1 2; do port[$mode]=$(start $mode); done
for _ in $(seq "$rounds"); do
  for mode in 0 1 2; do
    url="http://127.0.0.1:${port[$mode]}/v2/bench/blobs/uploads?digest=$digest"
    t0=$EPOCHREALTIME
    # curl -T streams the file with its length; the URL ends in "uploads"
    # without a '/', where curl would append the file's name.
    code=$(curl -sS -o /dev/null -w '%{http_code}' -X POST -T "$work/blob" "$url")
    t1=$EPOCHREALTIME
    [ "$code" = 201 ] || { echo "mode $mode answered $code" >&2; exit 1; }
    times[$mode]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }') "
    curl -sS -o /dev/null -X DELETE "http://127.0.0.1:${port[$mode]}/v2/bench/blobs/$digest"
  done
done
printf '%-28s %10s %10s  %s\n' setting seconds MB/s "chunked PATCH"
for mode in 0 1 2; do
  median=$(tr ' ' '\n' <<<"${times[$mode]}" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  loc=$(curl -sS -D - -o /dev/null -X POST -H 'Content-Length: 0' \
    "http://127.0.0.1:${port[$mode]}/v2/bench/blobs/uploads/" | tr -d '\r' | sed -n 's/^Location: //p')
  chunked=$(head -c 100000 "$work/blob" | curl -sS -o /dev/null -w '%{http_code}' -X PATCH \
    -H 'Transfer-Encoding: chunked' --data-binary @- "http://127.0.0.1:${port[$mode]}$loc")
  printf '%-28s %10s %10s  %s\n' "server.stream-request-body=$mode" "$median" \
    "$(awk -v s="$median" -v m="$mib" 'BEGIN { printf "%.0f", m * 1.048576 / s }')" "$chunked"
done
