#!/usr/bin/env bash
# Times skopeo pulling an image with one large layer (500 MiB by default)
# straight from an upstream registry and through a mirror of it, cold (the
# mirror's store empty: every byte is fetched, stored and passed on) and
# warm (served from the mirror's store), side by side in alternating rounds.
# Both registries are this one, served by lighttpd on free loopback ports
# (scripts/serve, as the end-to-end tests start it).
#
#   bench/mirror_bench.sh [MIB]
#
# Prints each round's seconds, the medians and the ratios of speed (direct
# time / mirror time: 1 is as fast as a direct pull), then one line per
# measurement for scripts that read it:
#   mirror_seconds direct|cold|warm MEDIAN
# Settings from the environment:
#   BUILD_DIR     the build whose programs scripts/serve runs (default ./build)
#   BENCH_ROUNDS  rounds (default 3)
set -uo pipefail

size_mib=${1:-500}
rounds=${BENCH_ROUNDS:-3}
for value in "$size_mib" "$rounds"; do
  case $value in '' | *[!0-9]* | 0*) echo "mirror_bench: MIB and BENCH_ROUNDS must be positive numbers" >&2; exit 2 ;; esac
done

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/../tests/e2e/lib.sh"

note() { echo "mirror_bench: $*" >&2; }
die() { note "$*"; exit 1; }
command -v skopeo >/dev/null || die "skopeo is missing (scripts/setup installs it)"

note "making an image with one layer of $size_mib MiB of random bytes"
"$top/tests/e2e/make_test_images.sh" --big "$size_mib" "$work/images" >"$work/digest" ||
  die "the test image could not be made"

sk=(skopeo --policy "$work/policy.json" copy --quiet --retry-times 0 --preserve-digests)

up_pid=
stop_all() {
  if [ -n "$up_pid" ]; then
    kill "$up_pid" 2>/dev/null
    wait "$up_pid" 2>/dev/null
  fi
  cleanup
}
trap stop_all EXIT

storage=$work/upstream-storage serve_run_dir=$work/upstream-run
start_server || die "$detail"
up_pid=$server_pid up=127.0.0.1:$port server_pid=
mv "$work/server.log" "$work/upstream-server.log"
"${sk[@]}" --dest-tls-verify=false "oci:$work/images/big:v1" "docker://$up/big/app:v1" ||
  die "the push into the upstream failed"

printf '{"mirrors": [{"prefix": "hub/", "upstream": "http://%s"}]}\n' "$up" >"$work/mirrors.json"
storage=$work/storage serve_run_dir=$work/run
MIRRORS=$work/mirrors.json start_server || die "$detail"
reg=127.0.0.1:$port

now() { date +%s.%N; }
timed() {
  local name=$1 start end
  shift
  rm -rf "$work/pulled"
  sync
  start=$(now)
  "$@" "oci:$work/pulled:v1" >"$work/$name.out" 2>"$work/$name.err" ||
    die "$name failed: $(tail -n 3 "$work/$name.err" | tr '\n' ' ')"
  end=$(now)
  echo "$start $end" | awk '{printf "%.3f\n", $2 - $1}' >>"$work/seconds.$name"
}
last() { tail -n 1 "$work/seconds.$1"; }
median() { sort -n "$work/seconds.$1" | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

for round in $(seq 1 "$rounds"); do
  timed direct "${sk[@]}" --src-tls-verify=false "docker://$up/big/app:v1"
  # Cold: the mirror's store emptied (the programs make the root again).
  rm -rf "$storage"/blobs "$storage"/repositories
  timed cold "${sk[@]}" --src-tls-verify=false "docker://$reg/hub/big/app:v1"
  timed warm "${sk[@]}" --src-tls-verify=false "docker://$reg/hub/big/app:v1"
  note "round $round: direct $(last direct) s, cold $(last cold) s, warm $(last warm) s"
done

d=$(median direct) c=$(median cold) w=$(median warm)
echo "pull of a $size_mib MiB layer, medians of $rounds rounds:"
echo "  direct from the upstream: $d s"
echo "  through the mirror, cold: $c s ($(awk -v a="$d" -v b="$c" 'BEGIN {printf "%.2f", a / b}')x the direct speed)"
echo "  through the mirror, warm: $w s ($(awk -v a="$d" -v b="$w" 'BEGIN {printf "%.2f", a / b}')x the direct speed)"
echo "mirror_seconds direct $d"
echo "mirror_seconds cold $c"
echo "mirror_seconds warm $w"
