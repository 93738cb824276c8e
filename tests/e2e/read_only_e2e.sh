#!/usr/bin/env bash
# Read-only mode through the real lighttpd: an image is pushed while the
# registry writes, then the same storage is served with REGISTRY_READ_ONLY=1.
# Every request that would write answers 405 UNSUPPORTED with a message that
# the registry is read-only, nothing on disk changes (names, sizes, times and
# bytes), and every read answers as before.
#
#   tests/e2e/read_only_e2e.sh        (BUILD_DIR selects the build; default ./build)
set -uo pipefail
# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

sha() { echo "sha256:$(sha256sum "$1" | cut -c1-64)"; }
# Every entry of the storage root: path, kind, size, time and the bytes' hash.
snapshot() {
  (cd "$storage" && find . -printf '%p %y %s %T@\n' | sort &&
    find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

check "lighttpd starts (writable)" start_server || finish
head -c 200000 /dev/urandom >"$work/layer"
printf '{"architecture":"amd64"}' >"$work/config"
dl=$(sha "$work/layer") dc=$(sha "$work/config")
oci=application/vnd.oci.image.manifest.v1+json
printf '{"schemaVersion":2,"mediaType":"%s","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%d},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":%d}]}' \
  "$oci" "$dc" "$(wc -c <"$work/config")" "$dl" "$(wc -c <"$work/layer")" >"$work/manifest"
dm=$(sha "$work/manifest")
check "push the layer" eval 'request POST "/v2/app/blobs/uploads/?digest=$dl" --data-binary @"$work/layer" && expect_status 201'
check "push the config" eval 'request POST "/v2/app/blobs/uploads/?digest=$dc" --data-binary @"$work/config" && expect_status 201'
check "push the manifest" eval 'request PUT /v2/app/manifests/v1 -H "Content-Type: $oci" --data-binary @"$work/manifest" && expect_status 201'
check "open an upload session" eval 'request POST /v2/app/blobs/uploads/ -H "Content-Length: 0" && expect_status 202'
location=$(header Location)
stop_server

export REGISTRY_READ_ONLY=1
check "lighttpd starts (read-only)" start_server || finish
snapshot >"$work/before"

refused() {
  expect_status 405 && expect_error_body UNSUPPORTED "the registry is read-only"
}
check "POST of an upload: 405" eval 'request POST /v2/app/blobs/uploads/ -H "Content-Length: 0" && refused'
check "monolithic POST: 405" eval 'request POST "/v2/app/blobs/uploads/?digest=$dl" --data-binary @"$work/layer" && refused'
check "mount: 405" eval 'request POST "/v2/other/blobs/uploads/?mount=$dl&from=app" -H "Content-Length: 0" && refused'
check "PATCH of the open upload: 405" eval 'request PATCH "$location" --data-binary @"$work/config" && refused'
check "chunked PATCH: 405" eval 'request PATCH "$location" --data-binary @"$work/config" -H "Transfer-Encoding: chunked" && refused'
check "PUT of the open upload: 405" eval 'request PUT "$location?digest=$dc" --data-binary @"$work/config" && refused'
check "DELETE of the open upload: 405" eval 'request DELETE "$location" && refused'
check "PUT of a manifest: 405" eval 'request PUT /v2/app/manifests/v2 -H "Content-Type: $oci" --data-binary @"$work/manifest" && refused'
check "DELETE of a tag: 405" eval 'request DELETE /v2/app/manifests/v1 && refused'
check "DELETE of a manifest: 405" eval 'request DELETE "/v2/app/manifests/$dm" && refused'
check "DELETE of a blob: 405" eval 'request DELETE "/v2/app/blobs/$dl" && refused'

check "GET of the manifest by tag: 200, the bytes pushed" eval 'request GET /v2/app/manifests/v1 &&
  expect_status 200 && expect_body_file "$work/manifest"'
check "HEAD of the manifest by digest: 200" eval 'request HEAD "/v2/app/manifests/$dm" && expect_status 200'
check "GET of the layer: 200, the bytes pushed" eval 'request GET "/v2/app/blobs/$dl" && expect_status 200 &&
  expect_body_file "$work/layer"'
check "GET of a range: 206" eval 'request GET "/v2/app/blobs/$dl" -H "Range: bytes=10-19" && expect_status 206'
check "upload progress: 204" eval 'request GET "$location" && expect_status 204'
check "tag list" eval 'request GET /v2/app/tags/list && [ "$(cat "$work/body")" = "{\"name\":\"app\",\"tags\":[\"v1\"]}" ]'
check "catalog" eval 'request GET /v2/_catalog && [ "$(cat "$work/body")" = "{\"repositories\":[\"app\"]}" ]'
check "referrers" eval 'request GET "/v2/app/referrers/$dm" && expect_status 200'
check "GET /v2/: 200" eval 'request GET /v2/ && expect_status 200'

stop_server
same_snapshot() {
  snapshot >"$work/after"
  cmp -s "$work/before" "$work/after" && return 0
  detail=$(diff "$work/before" "$work/after" | head -n 6 | tr '\n' ' ')
  return 1
}
check "nothing changed on disk" same_snapshot
check "the store keeps its invariants" eval '"$build_dir/tests/check_store" "$storage" >"$work/check" 2>&1 ||
  { detail=$(head -c 600 "$work/check"); false; }'
finish
