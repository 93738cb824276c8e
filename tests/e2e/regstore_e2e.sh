#!/usr/bin/env bash
# End-to-end test of the README's quick start: the registry runs behind the
# real web server (scripts/serve) on a free loopback port, regstore fills its
# storage from the shell, and curl fetches and deletes over HTTP. A random
# 20 MiB file makes the round trip byte for byte. Prints one line per check
# and a closing "N passed, M failed"; exits non-zero when any check fails.
#
#   tests/e2e/regstore_e2e.sh        (BUILD_DIR selects the build; default ./build)
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

regstore=$build_dir/tools/regstore

for program in "$regstore" "$build_dir/endpoint/v2_blob"; do
  if [ ! -x "$program" ]; then
    echo "FAIL setup: $program is missing; build first"
    finish
  fi
done

size=$((20 * 1048576))
head -c "$size" /dev/urandom >"$work/file"
digest=sha256:$(sha256sum "$work/file" | cut -c1-64)

check "server starts on a free loopback port" start_server
[ -n "$server_pid" ] || finish
echo "     (port $port)"

# rs ARGS...: regstore on the server's storage root; standard output in
# $work/rs.out, standard error in $work/rs.err, exit status in $rs_status.
rs() {
  "$regstore" --root "$storage" "$@" >"$work/rs.out" 2>"$work/rs.err"
  rs_status=$?
}
expect_rs_ok() {
  [ "$rs_status" -eq 0 ] && return 0
  detail="regstore exit status $rs_status: $(cat "$work/rs.err")"
  return 1
}
expect_rs_out() {
  [ "$(cat "$work/rs.out")" = "$1" ] && return 0
  detail="regstore printed '$(cat "$work/rs.out")', expected '$1'"
  return 1
}

url=/v2/demo/blobs/$digest

put_file() {
  rs blob put "$work/file"
  expect_rs_ok && expect_rs_out "$digest"
}
check "regstore blob put of a 20 MiB file prints its digest" put_file

stat_file() {
  rs blob stat "$digest"
  expect_rs_ok && grep -qx "size: $size" "$work/rs.out" ||
    { detail=${detail:-"no 'size: $size' in: $(tr '\n' ' ' <"$work/rs.out")"}; return 1; }
}
check "regstore blob stat shows $size bytes" stat_file

get_whole() {
  request GET "$url"
  expect_status 200 && expect_header Docker-Content-Digest "$digest" &&
    expect_body_file "$work/file"
}
check "GET the blob over HTTP: 200, byte-identical" get_whole

# get_range FIRST LAST: 206 with exactly the bytes FIRST..LAST of the file.
get_range() {
  local first=$1 last=$2
  request GET "$url" -H "Range: bytes=$first-$last"
  tail -c +$((first + 1)) "$work/file" | head -c $((last - first + 1)) >"$work/expected_range"
  expect_status 206 && expect_header Content-Range "bytes $first-$last/$size" &&
    expect_body_file "$work/expected_range"
}
check "GET Range bytes=0-99: 206, the first 100 bytes" get_range 0 99
# Across the border of regstore's first 4 MiB upload chunk.
check "GET Range bytes=4194000-4194999: 206, across a chunk border" get_range 4194000 4194999

stats_one_blob() {
  rs stats
  expect_rs_ok &&
    expect_rs_out '{"version":"1.0.0","repositories":0,"tags":0,"blobs":1,"blob_bytes":'"$size"',"active_uploads":0,"upload_bytes":0}'
}
check "regstore stats counts the blob and no leftover upload" stats_one_blob

delete_over_http() {
  request DELETE "$url"
  expect_status 202 || return 1
  request GET "$url"
  expect_status 404 && expect_error_body BLOB_UNKNOWN "blob unknown to registry"
}
check "DELETE over HTTP: 202, then GET 404" delete_over_http

stat_deleted() {
  rs blob stat "$digest"
  [ "$rs_status" -eq 1 ] && [ "$(cat "$work/rs.err")" = "regstore: blob not found: $digest" ] && return 0
  detail="exit status $rs_status: $(cat "$work/rs.err")"
  return 1
}
check "regstore blob stat after the DELETE: blob not found" stat_deleted

# The same file in two pieces through an upload session, from standard input.
upload_in_pieces() {
  local id
  rs upload start
  expect_rs_ok || return 1
  id=$(cat "$work/rs.out")
  head -c 7000000 "$work/file" | "$regstore" --root "$storage" upload append "$id" - &&
    tail -c +7000001 "$work/file" | "$regstore" --root "$storage" upload append "$id" - ||
    { detail="upload append failed"; return 1; }
  rs upload finish "$id" "$digest"
  expect_rs_ok && expect_rs_out "$digest" || return 1
  request GET "$url"
  expect_status 200 && expect_body_file "$work/file"
}
check "regstore upload start/append/finish, then GET: byte-identical" upload_in_pieces

rm_with_regstore() {
  rs blob rm "$digest"
  expect_rs_ok || return 1
  request HEAD "$url"
  expect_status 404
}
check "regstore blob rm, then HEAD over HTTP: 404" rm_with_regstore

stop_server
finish
