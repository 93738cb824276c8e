#!/usr/bin/env bash
# Times skopeo copying an image with one large layer (500 MiB by default)
# into the registry (push) and out of it again (pull), through the real web
# server started as the end-to-end tests start it (scripts/serve on a free
# loopback port). Beside them, as the floor of skopeo's own work on this
# disk, the same copy from one local OCI layout into another.
#
#   bench/skopeo_bench.sh [MIB]
#
# Each round starts on an empty storage root, so that every push sends the
# whole layer, and pulls into an empty layout. Prints each round's seconds
# and the medians, then one line per measurement for scripts that read it:
#   skopeo_seconds push|pull|local MEDIAN
# Settings from the environment:
#   BUILD_DIR     the build whose programs scripts/serve runs (default ./build;
#                 build it first)
#   BENCH_ROUNDS  rounds (default 3)
set -uo pipefail

size_mib=${1:-500}
rounds=${BENCH_ROUNDS:-3}
for value in "$size_mib" "$rounds"; do
  case $value in '' | *[!0-9]* | 0*) echo "skopeo_bench: MIB and BENCH_ROUNDS must be positive numbers" >&2; exit 2 ;; esac
done

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/../tests/e2e/lib.sh"

note() { echo "skopeo_bench: $*" >&2; }
die() { note "$*"; exit 1; }
command -v skopeo >/dev/null || die "skopeo is missing (scripts/setup installs it)"

note "making an image with one layer of $size_mib MiB of random bytes"
"$top/tests/e2e/make_test_images.sh" --big "$size_mib" "$work/images" >"$work/digest" ||
  die "the test image could not be made"
digest=$(awk '{print $2}' "$work/digest")
layer_bytes=$(du -sb "$work/images/big/blobs" | cut -f1)

printf '{"default":[{"type":"insecureAcceptAnything"}]}\n' >"$work/policy.json"
sk=(skopeo --policy "$work/policy.json" copy --quiet --retry-times 0 --preserve-digests)

now() { date +%s.%N; }
# timed NAME COMMAND...: runs the command, appends its seconds to
# $work/seconds.NAME.
timed() {
  local name=$1 start end
  shift
  start=$(now)
  "$@" >"$work/$name.out" 2>"$work/$name.err" ||
    die "$name failed: $(tail -n 3 "$work/$name.err" | tr '\n' ' ')"
  end=$(now)
  echo "$start $end" | awk '{printf "%.3f\n", $2 - $1}' >>"$work/seconds.$name"
}
last() { tail -n 1 "$work/seconds.$1"; }
median() { sort -n "$work/seconds.$1" | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

for round in $(seq 1 "$rounds"); do
  rm -rf "$storage" "$work/pulled" "$work/copied"
  sync
  start_server || die "$detail"
  reg=127.0.0.1:$port
  timed push "${sk[@]}" --dest-tls-verify=false "oci:$work/images/big:v1" "docker://$reg/bench/big:v1"
  timed pull "${sk[@]}" --src-tls-verify=false "docker://$reg/bench/big@$digest" "oci:$work/pulled:v1"
  stop_server
  timed local "${sk[@]}" "oci:$work/images/big:v1" "oci:$work/copied:v1"
  cmp -s "$work/pulled/blobs/sha256/${digest#sha256:}" "$work/images/big/blobs/sha256/${digest#sha256:}" ||
    die "the pulled manifest differs from the pushed one"
  note "round $round: push $(last push) s, pull $(last pull) s, local $(last local) s"
done

mib=$(awk -v b="$layer_bytes" 'BEGIN {printf "%.1f", b / 1048576}')
printf '%-58s %9s %9s\n' "skopeo copy, image of $mib MiB, $rounds rounds" "median s" "MiB/s"
for what in push pull local; do
  case $what in
    push) label="push: oci: layout -> registry (lighttpd, loopback)" ;;
    pull) label="pull: registry -> oci: layout" ;;
    local) label="reference: oci: layout -> oci: layout, no registry" ;;
  esac
  m=$(median "$what")
  printf '%-58s %9s %9s\n' "$label" "$m" "$(awk -v b="$layer_bytes" -v s="$m" 'BEGIN {printf "%.0f", b / 1048576 / s}')"
done
for what in push pull local; do
  echo "skopeo_seconds $what $(median "$what")"
done
