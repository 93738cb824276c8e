# Shared pieces of the end-to-end tests, sourced by tests/e2e/*_e2e.sh:
# a scratch folder, the web server (scripts/serve) on a free loopback port,
# curl requests with their replies kept on disk, and the check counter.
#
# After sourcing: $top (the checkout), $build_dir (BUILD_DIR, default
# ./build), $work (a fresh folder removed at exit) and $storage (a storage
# root inside it, not yet created).
#
# The web server is the one SERVER names (lighttpd, apache or nginx; default
# lighttpd), with AUTH, HTPASSWD and TLS passed on to scripts/serve as they
# are set when start_server runs.

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_dir=${BUILD_DIR:-$top/build}

work=$(mktemp -d "${TMPDIR:-/tmp}/$(basename "$0" .sh).XXXXXX")
# Apache and nginx started by root run the programs as www-data, who must
# reach the storage root inside (scripts/serve puts the programs and the
# server's sockets in a folder of its own that www-data can enter).
chmod 755 "$work"
storage=$work/storage
# The run folder start_server gives scripts/serve.
serve_run_dir=$work/run
server=${SERVER:-lighttpd}
server_pid=
port=
# The scheme and host of the requests: https://localhost with TLS=1 (the
# name in the certificate scripts/serve makes), else http://127.0.0.1.
scheme=http
host=127.0.0.1
# Options every request() passes to curl, such as a login (-u) or the CA
# of a TLS server (--cacert).
request_opts=()

stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
  fi
}
cleanup() { stop_server; rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0
failed=0
detail=
# check NAME COMMAND...: runs the command; it passes when the command succeeds.
# A failing command explains itself in $detail.
check() {
  local name=$1
  shift
  detail=
  if "$@"; then
    echo "PASS $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name${detail:+: $detail}"
    failed=$((failed + 1))
  fi
}
# Prints the closing "N passed, M failed" line and exits, non-zero on any
# failure, and also when nothing passed: a run that stopped before its first
# check did not test anything.
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
  exit
}

# ---- registry clients ----------------------------------------------------

# require_tools TOOL...: ends the run as failed when a tool is missing.
require_tools() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "FAIL setup: $tool is needed (scripts/setup installs it)"
      finish
    fi
  done
}

# Clients (skopeo, podman) run with a time limit of CLIENT_TIMEOUT seconds
# (default 300) and a signature policy of our own in $work/policy.json, so
# that no machine-wide setting decides. $sk is skopeo with that policy.
client_timeout=${CLIENT_TIMEOUT:-300}
mkdir -p "$work/log"
printf '{"default":[{"type":"insecureAcceptAnything"}]}\n' >"$work/policy.json"
sk=(skopeo --policy "$work/policy.json")

# run LOG COMMAND...: runs a client command with the time limit, its output
# in $work/log/LOG.out and .err; a failure explains itself in $detail.
run() {
  local log=$work/log/$1
  shift
  if timeout "$client_timeout" "$@" >"$log.out" 2>"$log.err"; then
    return 0
  fi
  detail="'${*: -2:1} ${*: -1}' failed: $(tail -n 3 "$log.err" | tr '\n' ' ')"
  return 1
}

# ---- the server ----------------------------------------------------------

port_in_use() { (: <"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Starts scripts/serve on a random free port with $serve_run_dir as its run
# folder and $storage as its root (empty: the default ./registry_storage); another port is tried when the chosen one turns out
# to be taken by the time the server binds it. The server is ready once it
# answers an HTTP request (any status: with AUTH=all that is a 401).
start_server() {
  local attempt i code
  scheme=http host=127.0.0.1
  [ "${TLS:-0}" = 1 ] && scheme=https host=localhost
  for attempt in $(seq 1 20); do
    port=$((20000 + RANDOM % 40000))
    port_in_use "$port" && continue
    SERVER=$server PORT=$port RUN_DIR=$serve_run_dir REGISTRY_STORAGE_ROOT=$storage BUILD_DIR=$build_dir \
      SERVE_SKIP_BUILD=1 "$top/scripts/serve" >"$work/server.log" 2>&1 </dev/null &
    server_pid=$!
    for i in $(seq 1 100); do
      if ! kill -0 "$server_pid" 2>/dev/null; then
        wait "$server_pid" 2>/dev/null
        server_pid=
        break
      fi
      # lighttpd says when it is ready; the others are asked.
      grep -qs 'server started' "$work/server.log" && port_in_use "$port" && return 0
      if [ "$server" != lighttpd ] && port_in_use "$port"; then
        code=$(curl -s -k --max-time 5 -o /dev/null -w '%{http_code}' "$scheme://$host:$port/v2/" 2>/dev/null)
        [ -n "$code" ] && [ "$code" != 000 ] && return 0
      fi
      sleep 0.1
    done
    stop_server
    if ! grep -q 'Address already in use' "$work/server.log"; then
      detail="scripts/serve ($server) did not start: $(tr '\n' ' ' <"$work/server.log" | head -c 2000)"
      return 1
    fi
  done
  detail="no free port found"
  return 1
}

# ---- requests ------------------------------------------------------------

# request METHOD PATH [curl options...]: sends the request; sets $status and
# leaves the reply's headers in $work/headers and its body in $work/body.
request() {
  local method=$1 path=$2
  shift 2
  # curl --head reads no body and copies the headers to its output.
  local how=(-X "$method" -o "$work/body")
  [ "$method" = HEAD ] && how=(--head -o /dev/null)
  : >"$work/body"
  status=$(curl -sS --path-as-is --max-time 60 "${how[@]}" -D "$work/headers" \
    -w '%{http_code}' "${request_opts[@]}" "$@" "$scheme://$host:$port$path" 2>"$work/curl.err") ||
    status="curl failed: $(cat "$work/curl.err")"
}

# The value of the reply header NAME (the first one), without its CR.
header() { grep -i "^$1:" "$work/headers" | head -n 1 | cut -d: -f2- | sed 's/^ //; s/\r$//'; }
has_header() { grep -qi "^$1:" "$work/headers"; }

expect_status() {
  [ "$status" = "$1" ] && return 0
  detail="status $status, expected $1"
  return 1
}
expect_header() {
  local value
  value=$(header "$1")
  [ "$value" = "$2" ] && return 0
  detail="$1 is '$value', expected '$2'"
  return 1
}
expect_no_header() {
  has_header "$1" || return 0
  detail="unexpected $1: $(header "$1")"
  return 1
}
expect_body_file() {
  cmp -s "$work/body" "$1" && return 0
  detail="body differs from $(basename "$1") ($(wc -c <"$work/body") bytes received)"
  return 1
}
# The registry error body for CODE and MESSAGE, with its final LF.
expect_error_body() {
  printf '{"errors":[{"code":"%s","message":"%s"}]}\n' "$1" "$2" >"$work/expected"
  expect_body_file "$work/expected"
}
expect_empty_body() {
  [ ! -s "$work/body" ] && return 0
  detail="unexpected body of $(wc -c <"$work/body") bytes"
  return 1
}
