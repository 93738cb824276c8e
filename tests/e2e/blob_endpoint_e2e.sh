#!/usr/bin/env bash
# End-to-end test of the blob endpoint behind the real web server: starts
# scripts/serve on a free loopback port with its own run folder and a fresh
# storage root, places a blob of a few MiB straight into the storage, and
# checks the HTTP replies with curl. Prints one line per check and a closing
# "N passed, M failed"; exits non-zero when any check fails.
#
#   tests/e2e/blob_endpoint_e2e.sh        (BUILD_DIR selects the build; default ./build)
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

program=$build_dir/endpoint/v2_blob

# PATH for display, with the 64 hex digits of a digest shortened.
shown() { sed -E 's/[0-9a-f]{64}/<hex>/g' <<<"$1"; }

# ---- fixture -------------------------------------------------------------

check "the program is built: $program" test -x "$program"
[ -x "$program" ] || finish

# Not a multiple of the program's 64 KiB transfer buffer, so the last chunk is short.
size=$((3 * 1048576 + 12345))
head -c "$size" /dev/urandom >"$work/blob"
hex=$(sha256sum "$work/blob" | cut -c1-64)
digest=sha256:$hex
blob_file=$storage/blobs/sha256/${hex:0:2}/$hex
mkdir -p "$(dirname "$blob_file")"
cp "$work/blob" "$blob_file"
absent=sha256:$(printf 'not stored' | sha256sum | cut -c1-64)
url=/v2/library/e2e/blobs/$digest

check "server starts on a free loopback port" start_server
[ -n "$server_pid" ] || finish
echo "     (port $port)"

# ---- blob present --------------------------------------------------------

blob_headers_ok() {
  expect_header Docker-Distribution-API-Version registry/2.0 &&
    expect_header Docker-Content-Digest "$digest" &&
    expect_header Etag "\"$digest\"" &&
    expect_header Content-Type application/octet-stream
}

head_present() {
  request HEAD "$url"
  expect_status 200 && blob_headers_ok
}
check "HEAD present blob: 200 with digest headers" head_present

head_other_name() {
  request HEAD "/v2/another/repo/blobs/$digest"
  expect_status 200 && expect_header Docker-Content-Digest "$digest"
}
check "HEAD same blob under another repository name: 200" head_other_name

get_whole() {
  request GET "$url"
  expect_status 200 && blob_headers_ok && expect_no_header Content-Range &&
    expect_body_file "$work/blob"
}
check "GET whole blob ($size bytes): 200, byte-identical" get_whole

# get_range RANGE FIRST LAST: a satisfiable range answers 206 with exactly
# the bytes FIRST..LAST of the blob.
get_range() {
  local range=$1 first=$2 last=$3
  request GET "$url" -H "Range: bytes=$range"
  tail -c +$((first + 1)) "$work/blob" | head -c $((last - first + 1)) >"$work/expected_range"
  expect_status 206 && expect_header Content-Range "bytes $first-$last/$size" &&
    blob_headers_ok && expect_body_file "$work/expected_range"
}
# range | first | last: inside the first chunk; across 64 KiB chunk borders;
# open-ended to the end; a last byte beyond the end, cut to the end.
ranges=(
  "100-199|100|199"
  "65530-200000|65530|200000"
  "$((size - 10))-|$((size - 10))|$((size - 1))"
  "$((size - 5))-$((size + 1000))|$((size - 5))|$((size - 1))"
)
for row in "${ranges[@]}"; do
  IFS='|' read -r range first last <<<"$row"
  check "GET Range bytes=$range: 206 bytes $first-$last/$size" get_range "$range" "$first" "$last"
done

get_unsatisfiable() {
  request GET "$url" -H "Range: bytes=$size-"
  expect_status 416 && expect_no_header Content-Range &&
    expect_header Content-Type "application/json; charset=utf-8" &&
    expect_error_body RANGE_NOT_SATISFIABLE 'Requested range not satisfiable'
}
check "GET Range bytes=$size- (past the end): 416 JSON error, no Content-Range" get_unsatisfiable

# A Range header the program does not take (the unit is case-sensitive there)
# must reach the client as the program answered it: 200 and the whole blob,
# not a range that the web server cut on its own.
get_foreign_range() {
  request GET "$url" -H "Range: Bytes=0-9"
  expect_status 200 && expect_no_header Content-Range && expect_body_file "$work/blob"
}
check "GET Range Bytes=0-9 passes through: 200 whole blob" get_foreign_range

parallel_gets() {
  local i pids=() bad=0
  for i in 1 2 3 4; do
    curl -sS --max-time 60 -o "$work/parallel$i" "http://127.0.0.1:$port$url" &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do wait "${pids[$i]}" || bad=1; done
  for i in 1 2 3 4; do cmp -s "$work/parallel$i" "$work/blob" || bad=1; done
  [ "$bad" -eq 0 ] || detail="a download failed or differs"
  [ "$bad" -eq 0 ]
}
check "4 parallel GETs of the whole blob are byte-identical" parallel_gets

# ---- error replies -------------------------------------------------------

# expect_error METHOD PATH STATUS CODE MESSAGE: the registry error reply,
# byte for byte.
expect_error() {
  request "$1" "$2"
  expect_status "$3" && expect_header Docker-Distribution-API-Version registry/2.0 &&
    expect_header Content-Type "application/json; charset=utf-8" &&
    expect_error_body "$4" "$5"
}
errors=(
  "GET|/v2/library/e2e/blobs/$absent|404|BLOB_UNKNOWN|blob unknown to registry"
  "GET|/v2/library/e2e/blobs/md5:0123|404|BLOB_UNKNOWN|invalid blob digest format"
  "GET|/v2/library/e2e/blobs/|404|BLOB_UNKNOWN|invalid blob digest format"
  "GET|/v2/-bad/blobs/$digest|404|NAME_UNKNOWN|repository name not known"
  "GET|/v2/library/e2e/manifests/latest|404|MANIFEST_UNKNOWN|manifest unknown"
  "PUT|$url|405|UNSUPPORTED|Method not allowed for blob endpoint"
)
for row in "${errors[@]}"; do
  IFS='|' read -r method path code_status code message <<<"$row"
  check "$method $(shown "$path"): $code_status $code" \
    expect_error "$method" "$path" "$code_status" "$code" "$message"
done

head_absent() {
  request HEAD "/v2/library/e2e/blobs/$absent"
  expect_status 404 && expect_header Docker-Distribution-API-Version registry/2.0
}
check "HEAD absent blob: 404" head_absent

# ---- delete --------------------------------------------------------------

delete_present() {
  request DELETE "$url"
  expect_status 202 && expect_header Docker-Distribution-API-Version registry/2.0 &&
    expect_no_header Docker-Content-Digest && expect_empty_body || return 1
  [ ! -e "$blob_file" ] || { detail="blob file still on disk"; return 1; }
}
check "DELETE present blob: 202, no body, file removed" delete_present

head_deleted() {
  request HEAD "$url"
  expect_status 404
}
check "HEAD after DELETE: 404" head_deleted
check "GET after DELETE: 404 BLOB_UNKNOWN" \
  expect_error GET "$url" 404 BLOB_UNKNOWN "blob unknown to registry"
check "DELETE again: 404 BLOB_UNKNOWN" \
  expect_error DELETE "$url" 404 BLOB_UNKNOWN "blob unknown to registry"

# ---- the program itself is never downloadable ---------------------------

name=$(basename "$program")
not_program_bytes() {
  request GET "$1"
  if cmp -s "$work/body" "$program"; then
    detail="status $status returned the program's bytes"
    return 1
  fi
  if [ "$(head -c 4 "$work/body" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]; then
    detail="status $status returned an ELF file"
    return 1
  fi
}
probes=(
  /v2/ /v2 /v2/x/blobs/ /v2/x/blobs /v2// /v2/. "/v2/?x=1"
  "/$name" "/.registry-cgi/$name" "/.registry-cgi/$name/" "/.registry-cgi/$name/v2" /.registry-cgi/
  "/endpoint/$name" "/build/endpoint/$name" "/v2/x/blobs/$name"
  "/v2/../.registry-cgi/$name" "/v2/x/blobs/../../../.registry-cgi/$name"
  "/v2/x/blobs/..%2f..%2f..%2f.registry-cgi%2f$name" "/.registry-cgi/$name%00"
  "/.registry-cgi/%76%32_blob" "/V2/x/blobs/$digest"
  /.registry-cgi/v2_manifests /.registry-cgi/v2_uploads/ /.registry-cgi/v2_base
  "/v2/x/manifests/../../../.registry-cgi/v2_manifests" "/v2/_catalog/../../.registry-cgi/v2_catalog"
)
for path in "${probes[@]}"; do
  check "GET $(shown "$path") does not return the program" not_program_bytes "$path"
done

stop_server
finish
