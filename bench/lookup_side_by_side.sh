#!/usr/bin/env bash
# Times the blob and manifest lookups of two builds side by side, in one run
# on one store: HEAD and GET of a 4 KiB blob and GET of a manifest by tag,
# each as the CGI process a web server starts per request. The two builds
# take turns, round by round, and the median of each side's rounds is
# compared:
#
#   bench/lookup_side_by_side.sh BUILD_A BUILD_B [REQUESTS_PER_ROUND] [ROUNDS]
#
# prints one row per request kind with the time of one request on each side
# and the ratio B/A (below 1: B is faster). The store is made with BUILD_B's
# regstore in a scratch folder that is removed at the end.
set -euo pipefail
a=${1:?usage: lookup_side_by_side.sh BUILD_A BUILD_B [REQUESTS] [ROUNDS]}
b=${2:?usage: lookup_side_by_side.sh BUILD_A BUILD_B [REQUESTS] [ROUNDS]}
requests=${3:-400}
rounds=${4:-7}
for build in "$a" "$b"; do
  for program in v2_blob v2_manifests; do
    [ -x "$build/endpoint/$program" ] || { echo "no $build/endpoint/$program" >&2; exit 1; }
  done
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lookup-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export REGISTRY_STORAGE_ROOT=$work/storage
head -c 4096 /dev/urandom >"$work/blob"
"$b/tools/regstore" init >/dev/null
blob=$("$b/tools/regstore" blob put "$work/blob")
printf '{}' >"$work/config"
config=$("$b/tools/regstore" blob put "$work/config")
printf '{"schemaVersion":2,"config":{"digest":"%s"},"layers":[{"digest":"%s"}]}' \
  "$config" "$blob" >"$work/manifest"
"$b/tools/regstore" manifest put bench latest "$work/manifest" >/dev/null

# run BUILD PROGRAM METHOD PATH: REQUESTS requests; prints the nanoseconds.
run() {
  local build=$1 program=$2 method=$3 path=$4 start end i
  start=$(date +%s%N)
  for ((i = 0; i < requests; i++)); do
    REQUEST_METHOD=$method PATH_INFO=$path "$build/endpoint/$program" >/dev/null
  done
  end=$(date +%s%N)
  echo $((end - start))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

row() {
  local label=$1 program=$2 method=$3 path=$4 r ta=() tb=()
  for ((r = 0; r < rounds; r++)); do
    ta+=("$(run "$a" "$program" "$method" "$path")")
    tb+=("$(run "$b" "$program" "$method" "$path")")
  done
  local ma mb
  ma=$(printf '%s\n' "${ta[@]}" | median)
  mb=$(printf '%s\n' "${tb[@]}" | median)
  awk -v l="$label" -v a="$ma" -v b="$mb" -v n="$requests" \
    'BEGIN { printf "%-34s %9.1f us %9.1f us   B/A %.3f\n", l, a / n / 1000, b / n / 1000, b / a }'
}

printf '%-34s %12s %12s\n' "request (one CGI process)" "A" "B"
row "HEAD of a 4 KiB blob" v2_blob HEAD "/v2/bench/blobs/$blob"
row "GET of a 4 KiB blob" v2_blob GET "/v2/bench/blobs/$blob"
row "GET of a manifest by tag" v2_manifests GET "/v2/bench/manifests/latest"
