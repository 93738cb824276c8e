#!/usr/bin/env bash
# What the browsable pages cost beside the API they show, side by side in
# one run on one store:
#
#   bench/ui_side_by_side.sh BUILD_DIR [ROUNDS] [REQUESTS]
#
#   - the first page of a repository of 10,000 tags (ui, /ui/repo/bench:
#     50 tags, each with its digest, size, created time, platforms and
#     referrer count) vs GET /v2/bench/tags/list?n=100 (v2_tags), each as
#     the CGI process a web server starts per request (target: at most 2×);
#   - the page of one image (ui, /ui/repo/bench/tag/tag00000) vs GET of its
#     manifest (v2_manifests), as CGI processes (no target).
#
# The store holds 100 images (each its own configuration and layer) under
# 10,000 tags, tag<NNNNN> naming image NNNNN mod 100, so the first page
# names 50 different images. The two sides take turns, REQUESTS requests
# (default 20) a round for ROUNDS rounds (default 5), and the medians are
# compared. Prints one Markdown row per measurement in the form of
# scripts/bench's table. The store is made with BUILD_DIR's ui_fill_store
# (a build with REGISTRY_BENCH=ON) through the storage library in a
# scratch folder (in /dev/shm when there is one: the store's writes are
# synced) that is removed at the end.
set -euo pipefail
build=${1:?usage: ui_side_by_side.sh BUILD_DIR [ROUNDS] [REQUESTS]}
rounds=${2:-5}
requests=${3:-20}
build=$(cd "$build" && pwd)
for program in endpoint/ui endpoint/v2_tags endpoint/v2_manifests tools/regstore bench/ui_fill_store; do
  [ -x "$build/$program" ] || { echo "ui bench: no $build/$program" >&2; exit 1; }
done

base=${TMPDIR:-/tmp}
if [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; fi
work=$(mktemp -d "$base/ui-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export REGISTRY_STORAGE_ROOT=$work/storage
regstore=$build/tools/regstore
"$regstore" init >/dev/null

echo "ui bench: storing 100 images under 10,000 tags" >&2
"$build/bench/ui_fill_store" "$REGISTRY_STORAGE_ROOT" bench 100 10000
tags=$("$regstore" tags bench | tr ',' '\n' | grep -c '"tag')
[ "$tags" = 10000 ] || { echo "ui bench: the store holds $tags tags, not 10000" >&2; exit 1; }

# run PROGRAM PATH QUERY: REQUESTS requests as CGI processes; prints the
# nanoseconds they took.
run() {
  local program=$1 path=$2 query=$3 start end i
  start=$(date +%s%N)
  for ((i = 0; i < requests; i++)); do
    REQUEST_METHOD=GET PATH_INFO=$path QUERY_STRING=$query HTTP_HOST=bench.example \
      "$build/endpoint/$program" >/dev/null
  done
  end=$(date +%s%N)
  echo $((end - start))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Checks once that each side answers what it is measured for.
check() {
  local program=$1 path=$2 query=$3 expect=$4
  REQUEST_METHOD=GET PATH_INFO=$path QUERY_STRING=$query HTTP_HOST=bench.example \
    "$build/endpoint/$program" | grep -q "$expect" ||
    { echo "ui bench: $program $path did not answer $expect" >&2; exit 1; }
}
check ui /ui/repo/bench "" '>tag00049</a>'
check v2_tags /v2/bench/tags/list n=100 '"tag00099"'
check ui /ui/repo/bench/tag/tag00000 "" 'id="layers"'
check v2_manifests /v2/bench/manifests/tag00000 "" '"layers"'

# side LABEL OP TARGET A_PROGRAM A_PATH A_QUERY B_PROGRAM B_PATH B_QUERY
side() {
  local label=$1 op=$2 target=$3 ta=() tb=() r
  for ((r = 0; r < rounds; r++)); do
    ta+=("$(run "$4" "$5" "$6")")
    tb+=("$(run "$7" "$8" "$9")")
  done
  local ma mb
  ma=$(printf '%s\n' "${ta[@]}" | median)
  mb=$(printf '%s\n' "${tb[@]}" | median)
  awk -v l="$label" -v a="$ma" -v b="$mb" -v n="$requests" -v op="$op" -v t="$target" 'BEGIN {
    r = a / b
    met = t == "" ? "" : ((op == "<=" ? r <= t : r >= t) ? "yes" : "NO")
    printf "| %s | %.2f ms | %.2f ms | %.2f× | %s | %s |\n", l, a / n / 1e6, b / n / 1e6, r,
      t == "" ? "" : op " " t "×", met
  }'
}

side "First page of a repository of 10,000 tags (ui) vs GET /v2/<name>/tags/list?n=100, CGI processes (time)" \
  "<=" 2 ui /ui/repo/bench "" v2_tags /v2/bench/tags/list n=100
side "Image page (ui) vs GET of its manifest by tag, CGI processes (time)" \
  "" "" ui /ui/repo/bench/tag/tag00000 "" v2_manifests /v2/bench/manifests/tag00000 ""
