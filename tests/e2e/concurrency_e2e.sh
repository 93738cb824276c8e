#!/usr/bin/env bash
# End-to-end concurrency test: while writers put and remove the same blobs
# with regstore and move a tag between two manifests, readers fetch the
# blobs through the real web server (scripts/serve), whole and by range, and
# read the tag. Every 200 or 206 body must be exactly the bytes its digest and
# range name; afterwards the store's invariants must hold. Runs for
# CONCURRENCY_SECONDS (default 12). Prints one line per check and a closing
# "N passed, M failed"; exits non-zero when any check fails.
#
#   tests/e2e/concurrency_e2e.sh     (BUILD_DIR selects the build; default ./build)
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

regstore=$build_dir/tools/regstore
check_store=$build_dir/tests/check_store
seconds=${CONCURRENCY_SECONDS:-12}

for program in "$regstore" "$check_store" "$build_dir/endpoint/v2_blob"; do
  if [ ! -x "$program" ]; then
    echo "FAIL setup: $program is missing; build first"
    finish
  fi
done

check "server starts on a free loopback port" start_server
[ -n "$server_pid" ] || finish
echo "     (port $port, $seconds s)"
"$regstore" --root "$storage" init >/dev/null

# Five blobs from 1 byte to 3 MiB; blob i is $work/blob.i with digest d[i].
sizes=(1 4096 65537 1048576 3145741)
d=()
for i in "${!sizes[@]}"; do
  head -c "${sizes[$i]}" /dev/urandom >"$work/blob.$i"
  d[$i]=sha256:$(sha256sum "$work/blob.$i" | cut -c1-64)
done
for m in 0 1; do
  printf '{"schemaVersion":2,"config":{"digest":"%s"},"layers":[{"digest":"%s"}],"n":%d}' \
    "${d[0]}" "${d[$m]}" "$m" >"$work/manifest.$m"
done

deadline=$((SECONDS + seconds))

# writer N: puts and removes random blobs until the deadline.
writer() {
  local n=0 i
  while [ "$SECONDS" -lt "$deadline" ]; do
    i=$((RANDOM % ${#sizes[@]}))
    if [ $((RANDOM % 3)) -eq 0 ]; then
      "$regstore" --root "$storage" blob rm "${d[$i]}" >/dev/null 2>&1
    else
      "$regstore" --root "$storage" blob put "$work/blob.$i" >"$work/w$1.out" 2>&1 ||
        echo "blob put failed: $(cat "$work/w$1.out")" >>"$work/problems"
    fi
    n=$((n + 1))
  done
  echo "$n" >"$work/writer.$1.count"
}

# tagger: moves the tag between the two manifests and deletes it now and then.
tagger() {
  local n=0 m
  while [ "$SECONDS" -lt "$deadline" ]; do
    m=$((RANDOM % 2))
    if [ $((RANDOM % 4)) -eq 0 ]; then
      "$regstore" --root "$storage" manifest rm demo latest >/dev/null 2>&1
    else
      "$regstore" --root "$storage" manifest put demo latest "$work/manifest.$m" >/dev/null 2>&1 ||
        echo "manifest put failed" >>"$work/problems"
    fi
    n=$((n + 1))
  done
  echo "$n" >"$work/tagger.count"
}

# reader N: fetches random blobs, half of them by a random range, and the tag.
# Any reply body that is not exactly what was asked for is a problem; a blob
# removed meanwhile may answer 404 (or 500 when it went between the open and
# the size query).
reader() {
  local n=0 ok=0 i size first last code body=$work/r$1.body
  while [ "$SECONDS" -lt "$deadline" ]; do
    i=$((RANDOM % ${#sizes[@]}))
    size=${sizes[$i]}
    if [ $((RANDOM % 2)) -eq 0 ]; then
      code=$(curl -s -o "$body" -w '%{http_code}' "http://127.0.0.1:$port/v2/demo/blobs/${d[$i]}")
      if [ "$code" = 200 ]; then
        cmp -s "$body" "$work/blob.$i" || echo "GET ${d[$i]}: 200 with other bytes" >>"$work/problems"
        ok=$((ok + 1))
      elif [ "$code" != 404 ] && [ "$code" != 500 ]; then
        echo "GET ${d[$i]}: status $code" >>"$work/problems"
      fi
    else
      first=$((RANDOM * 32768 % size))
      last=$((first + RANDOM % 70000))
      [ "$last" -lt "$size" ] || last=$((size - 1))
      code=$(curl -s -o "$body" -w '%{http_code}' -H "Range: bytes=$first-$last" \
        "http://127.0.0.1:$port/v2/demo/blobs/${d[$i]}")
      if [ "$code" = 206 ]; then
        # Each stage reads its input to the end, so no SIGPIPE fails the pipe.
        head -c $((last + 1)) "$work/blob.$i" | tail -c $((last - first + 1)) | cmp -s - "$body" ||
          echo "GET ${d[$i]} bytes=$first-$last: 206 with other bytes" >>"$work/problems"
        ok=$((ok + 1))
      elif [ "$code" != 404 ] && [ "$code" != 500 ]; then
        echo "GET ${d[$i]} bytes=$first-$last: status $code" >>"$work/problems"
      fi
    fi
    # regstore re-hashes what it reads, so a cut or mixed body fails here.
    if "$regstore" --root "$storage" manifest get demo latest >"$body" 2>/dev/null; then
      cmp -s "$body" "$work/manifest.0" || cmp -s "$body" "$work/manifest.1" ||
        echo "manifest get: a body that was never put" >>"$work/problems"
    fi
    n=$((n + 1))
  done
  echo "$n $ok" >"$work/reader.$1.count"
}

: >"$work/problems"
pids=()
writer 1 & pids+=($!)
writer 2 & pids+=($!)
tagger & pids+=($!)
reader 1 & pids+=($!)
reader 2 & pids+=($!)
reader 3 & pids+=($!)
wait "${pids[@]}"

writes=$(cat "$work"/writer.*.count "$work/tagger.count" | awk '{ s += $1 } END { print s + 0 }')
reads=$(cat "$work"/reader.*.count | awk '{ s += $1; ok += $2 } END { print s + 0, ok + 0 }')
echo "     ($writes writes and tag moves; reads and verified bodies: $reads)"

no_problems() {
  [ ! -s "$work/problems" ] && return 0
  detail="$(sort "$work/problems" | uniq -c | head -n 5 | tr '\n' ';')"
  return 1
}
check "every 200/206 body matches its digest and range; no unexpected status" no_problems

verified_some() {
  [ "${reads#* }" -gt 0 ] && return 0
  detail="no body was verified"
  return 1
}
check "the readers verified bodies" verified_some

store_ok() {
  "$check_store" "$storage" >"$work/check.out" 2>&1 && return 0
  detail="$(grep violation "$work/check.out" | head -n 5 | tr '\n' ';')"
  return 1
}
check "the store's invariants hold afterwards" store_ok
sed 's/^/     /' "$work/check.out" | tail -n 1

# Every blob that is still there is served whole.
served_whole() {
  local i
  for i in "${!sizes[@]}"; do
    "$regstore" --root "$storage" blob stat "${d[$i]}" >/dev/null 2>&1 || continue
    request GET "/v2/demo/blobs/${d[$i]}"
    expect_status 200 && expect_body_file "$work/blob.$i" || return 1
  done
}
check "blobs left in the store are served whole" served_whole

stop_server
finish
