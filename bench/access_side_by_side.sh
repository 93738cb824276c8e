#!/usr/bin/env bash
# What an access policy of 1,000 rules costs, side by side in one run:
#
#   bench/access_side_by_side.sh BUILD_DIR [ROUNDS] [SECONDS]
#
#   - a v2_blob HEAD as the CGI process a web server starts per request,
#     with the policy (REGISTRY_ACCESS_POLICY) and its compiled form
#     (regstore access compile) vs without a policy, and with the policy's
#     text alone (parsed by every process) vs without (hyperfine, ROUNDS
#     rounds of 300 runs each, the three commands alternating);
#   - HEAD of the same blob through lighttpd with the programs as FastCGI
#     responders (scripts/serve MODE=fastcgi), AUTH=policy with the policy
#     vs AUTH=none, in requests per second (ab, SECONDS each, the two
#     servers alternating round by round).
#
# The policy has 1,000 rules; the one that grants the request is the last,
# so that every rule is looked at, and the requests are anonymous (the
# rule grants anonymous pulls), so that the web server checks no password
# on either side. Prints one Markdown row per measurement with the medians
# and their ratio, in the form of scripts/bench's table.
set -euo pipefail
build=${1:?usage: access_side_by_side.sh BUILD_DIR [ROUNDS] [SECONDS]}
rounds=${2:-5}
seconds=${3:-4}
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
for tool in hyperfine ab curl; do
  command -v "$tool" >/dev/null || { echo "access bench: $tool is needed" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/access-bench.XXXXXX")
chmod 755 "$work"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

export REGISTRY_STORAGE_ROOT=$work/storage
"$build/tools/regstore" init >/dev/null
head -c 4096 /dev/urandom >"$work/blob"
digest=$("$build/tools/regstore" blob put "$work/blob")

# 1,000 rules: 999 that name users, groups and repositories the request is
# not about, then the one that grants it.
{
  echo '{"realm": "registry", "groups": {'
  for g in $(seq 0 49); do
    printf '  "team%d": ["user%d", "user%d", "user%d"]%s\n' "$g" "$g" $((g + 50)) $((g + 100)) \
      "$([ "$g" -lt 49 ] && echo ,)"
  done
  echo '}, "rules": ['
  for i in $(seq 0 998); do
    case $((i % 3)) in
      0) printf '  {"who": ["user:user%d"], "repositories": ["user%d/**"], "actions": ["pull", "push", "delete"]},\n' "$i" "$i" ;;
      1) printf '  {"who": ["group:team%d"], "repositories": ["team%d/*", "shared%d/**"], "actions": ["pull", "push"]},\n' $((i % 50)) "$i" "$i" ;;
      2) printf '  {"who": ["authenticated"], "repositories": ["mirror%d/**/cache"], "actions": ["pull"]},\n' "$i" ;;
    esac
  done
  echo '  {"who": ["anonymous"], "repositories": ["bench"], "actions": ["pull"]}'
  echo ']}'
} >"$work/policy.json"
chmod 644 "$work/policy.json"
"$build/tools/regstore" access lint "$work/policy.json" >/dev/null ||
  { echo "access bench: the generated policy does not lint" >&2; exit 1; }
policy_kib=$(( $(wc -c <"$work/policy.json") / 1024 ))
# The same text once more without a compiled form beside it.
mkdir -p "$work/text"
cp "$work/policy.json" "$work/text/policy.json"
"$build/tools/regstore" access compile "$work/policy.json" >/dev/null ||
  { echo "access bench: the generated policy does not compile" >&2; exit 1; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "nan"; else printf "%.2f", a / b }'; }
meets() { awk -v r="$1" -v op="$2" -v t="$3" 'BEGIN { ok = op == "<=" ? r <= t : r >= t; print ok ? "yes" : "NO" }'; }

# ---- a HEAD as a CGI process ----------------------------------------------

export REQUEST_METHOD=HEAD PATH_INFO=/v2/bench/blobs/$digest
# Both sides run through env, so that they differ in the variable alone.
with=$(REGISTRY_ACCESS_POLICY=$work/policy.json "$build/endpoint/v2_blob" | head -n 1 | tr -d '\r')
without=$("$build/endpoint/v2_blob" | head -n 1 | tr -d '\r')
[ "$with" = "Status: 200 OK" ] && [ "$without" = "Status: 200 OK" ] ||
  { echo "access bench: the HEAD answered '$with' with and '$without' without the policy" >&2; exit 1; }
denied=$(REGISTRY_ACCESS_POLICY=$work/policy.json PATH_INFO=/v2/other/blobs/$digest "$build/endpoint/v2_blob" 2>/dev/null |
  head -n 1 | tr -d '\r')
case $denied in 'Status: 401'*) ;; *) echo "access bench: a HEAD the policy refuses answered '$denied'" >&2; exit 1 ;; esac
with_text=$(REGISTRY_ACCESS_POLICY=$work/text/policy.json "$build/endpoint/v2_blob" | head -n 1 | tr -d '\r')
[ "$with_text" = "Status: 200 OK" ] || { echo "access bench: the HEAD answered '$with_text' with the text" >&2; exit 1; }
cgi_with=() cgi_text=() cgi_without=()
for _ in $(seq "$rounds"); do
  hyperfine -N --style none -w 30 -r 300 --export-csv "$work/hf.csv" \
    "env REGISTRY_ACCESS_POLICY=$work/policy.json $build/endpoint/v2_blob" \
    "env REGISTRY_ACCESS_POLICY=$work/text/policy.json $build/endpoint/v2_blob" \
    "env REGISTRY_ACCESS_POLICY= $build/endpoint/v2_blob" >/dev/null 2>&1
  cgi_with+=("$(awk -F, 'NR == 2 { print $4 }' "$work/hf.csv")")
  cgi_text+=("$(awk -F, 'NR == 3 { print $4 }' "$work/hf.csv")")
  cgi_without+=("$(awk -F, 'NR == 4 { print $4 }' "$work/hf.csv")")
done
ms() { awk -v t="$1" 'BEGIN { printf "%.3f ms", t * 1000 }'; }
tw=$(printf '%s\n' "${cgi_with[@]}" | median)
tt=$(printf '%s\n' "${cgi_text[@]}" | median)
to=$(printf '%s\n' "${cgi_without[@]}" | median)
r=$(ratio "$tw" "$to")
echo "| HEAD as a CGI process: with a policy of 1,000 rules, compiled, vs without (time) | $(ms "$tw") | $(ms "$to") | $r× | <= 1.1× | $(meets "$r" "<=" 1.1) |"
r=$(ratio "$tt" "$to")
echo "| HEAD as a CGI process: with the same policy as text alone ($policy_kib KiB, parsed by each process) vs without (time) | $(ms "$tt") | $(ms "$to") | $r× |  |  |"

# ---- FastCGI throughput through lighttpd ------------------------------------

unset REQUEST_METHOD PATH_INFO
port_in_use() { (: <"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
: >"$work/htpasswd"
# start AUTH PORT: scripts/serve with the FastCGI responders; waits until
# the HEAD answers 200.
start() {
  local auth=$1 port=$2 i code
  SERVER=lighttpd MODE=fastcgi FASTCGI_PROCS=1 AUTH=$auth HTPASSWD=$work/htpasswd POLICY=$work/policy.json \
    PORT=$port RUN_DIR=$work/run-$auth BUILD_DIR=$build SERVE_SKIP_BUILD=1 \
    "$top/scripts/serve" >"$work/serve-$auth.log" 2>&1 </dev/null &
  pids+=($!)
  for i in $(seq 1 100); do
    code=$(curl -s -o /dev/null -w '%{http_code}' -I "http://127.0.0.1:$port/v2/bench/blobs/$digest" 2>/dev/null) || true
    [ "$code" = 200 ] && return 0
    sleep 0.1
  done
  echo "access bench: lighttpd (AUTH=$auth) did not answer: $(tail -n 3 "$work/serve-$auth.log")" >&2
  exit 1
}
free_port() {
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 40000))
    port_in_use "$p" || { echo "$p"; return; }
  done
  echo "access bench: no free port" >&2
  exit 1
}
port_policy=$(free_port)
start policy "$port_policy"
port_none=$(free_port)
start none "$port_none"
code=$(curl -s -o /dev/null -w '%{http_code}' -I "http://127.0.0.1:$port_policy/v2/other/blobs/$digest")
[ "$code" = 401 ] || { echo "access bench: the policy server let a refused HEAD through ($code)" >&2; exit 1; }
rps() { ab -i -k -q -c 4 -t "$seconds" -n 10000000 "$1" 2>/dev/null | awk '/^Requests per second/ { print $4 }'; }
f_with=() f_without=()
for _ in $(seq "$rounds"); do
  f_with+=("$(rps "http://127.0.0.1:$port_policy/v2/bench/blobs/$digest")")
  f_without+=("$(rps "http://127.0.0.1:$port_none/v2/bench/blobs/$digest")")
done
fw=$(printf '%s\n' "${f_with[@]}" | median)
fo=$(printf '%s\n' "${f_without[@]}" | median)
r=$(ratio "$fw" "$fo")
echo "| HEAD through lighttpd, FastCGI responders: with a policy of 1,000 rules vs without (throughput) | $(awk -v v="$fw" 'BEGIN { printf "%.0f req/s", v }') | $(awk -v v="$fo" 'BEGIN { printf "%.0f req/s", v }') | $r× | >= 0.9× | $(meets "$r" ">=" 0.9) |"
