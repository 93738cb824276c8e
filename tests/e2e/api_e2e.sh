#!/usr/bin/env bash
# The registry API through the real web server (SERVER: lighttpd, apache or
# nginx), as clients use it: the three
# ways to push a blob (one of them with a chunked body), a monolithic push of
# 64 MiB, mounts, manifests pushed and pulled, tag paging by Link, deletes
# by tag and by digest, referrers and the catalog; the store's invariants
# afterwards.
set -uo pipefail
. "$(dirname "$0")/lib.sh"

check "$server starts" start_server || finish
base=http://127.0.0.1:$port

sha() { echo "sha256:$(sha256sum "$1" | cut -c1-64)"; }
sha512() { echo "sha512:$(sha512sum "$1" | cut -c1-128)"; }
expect_header_prefix() {
  local value
  value=$(header "$1")
  case $value in "$2"*) return 0 ;; esac
  detail="$1 is '$value', expected it to begin with '$2'"
  return 1
}
# The upload location of a new session of repository $1, in $location.
start_upload() {
  request POST "/v2/$1/blobs/uploads/" -H 'Content-Length: 0'
  location=$(header Location)
  expect_status 202 && expect_header Range 0-0 && expect_header_prefix Location "/v2/$1/blobs/uploads/"
}
blob_is() {
  request GET "/v2/app/blobs/$1"
  expect_status 200 && expect_body_file "$2" && expect_header Content-Length "$(wc -c <"$2")"
}

check "GET /v2/: 200 {}" eval 'request GET /v2/ && expect_status 200 && [ "$(cat "$work/body")" = "{}" ] &&
  expect_header Docker-Distribution-API-Version registry/2.0'

head -c 300000 /dev/urandom >"$work/b1"
head -c 250000 /dev/urandom >"$work/b2"
head -c 200000 /dev/urandom >"$work/b3"
d1=$(sha "$work/b1") d2=$(sha "$work/b2") d3=$(sha "$work/b3")

# A POST without a body and without Content-Length, as `curl -X POST` sends
# it. Apache and nginx take it as an empty body and the program starts a
# session; lighttpd 1.4 refuses every POST without Content-Length while it
# reads the request (no setting of it changes that), with 411 and the
# registry's error body.
bodiless_post() {
  request POST /v2/app/blobs/uploads/
  if [ "$server" = lighttpd ]; then
    expect_status 411 && expect_header Content-Type "application/json; charset=utf-8" &&
      expect_error_body UNSUPPORTED "a POST needs a Content-Length header (0 without a body)"
    return
  fi
  location=$(header Location)
  expect_status 202 && expect_header Range 0-0 && expect_header_prefix Location /v2/app/blobs/uploads/ &&
    request PUT "$location?digest=$(sha /dev/null)" -H "Content-Length: 0" && expect_status 201
}
check "a POST without Content-Length or body (curl -X POST)" bodiless_post

# 1: POST, PATCH with the whole blob, empty PUT.
check "push 1: POST" start_upload app
check "push 1: PATCH the whole blob" eval 'request PATCH "$location" --data-binary @"$work/b1" \
  -H "Content-Type: application/octet-stream" && expect_status 202 && expect_header Range 0-299999'
check "push 1: PUT ?digest=" eval 'request PUT "$location?digest=$d1" -H "Content-Length: 0" &&
  expect_status 201 && expect_header Location "/v2/app/blobs/$d1" && expect_header Docker-Content-Digest "$d1"'
check "push 1: the blob reads back" blob_is "$d1" "$work/b1"

# 2: POST, PUT with the body.
check "push 2: POST" start_upload app
check "push 2: PUT with the body" eval 'request PUT "$location?digest=$d2" --data-binary @"$work/b2" &&
  expect_status 201'
check "push 2: the blob reads back" blob_is "$d2" "$work/b2"

# 3: PATCHes with Content-Range (the second sent chunked), one out of order, PUT.
check "push 3: POST" start_upload app
head -c 120000 "$work/b3" >"$work/b3a"
tail -c +120001 "$work/b3" >"$work/b3b"
check "push 3: first chunk" eval 'request PATCH "$location" --data-binary @"$work/b3a" \
  -H "Content-Range: 0-119999" && expect_status 202 && expect_header Range 0-119999'
check "push 3: a chunk out of order is 416" eval 'request PATCH "$location" --data-binary @"$work/b3a" \
  -H "Content-Range: 0-119999" && expect_status 416'
check "push 3: second chunk, chunked transfer" eval 'request PATCH "$location" --data-binary @"$work/b3b" \
  -H "Content-Range: 120000-199999" -H "Transfer-Encoding: chunked" && expect_status 202 &&
  expect_header Range 0-199999'
check "push 3: progress" eval 'request GET "$location" && expect_status 204 && expect_header Range 0-199999'
check "push 3: PUT" eval 'request PUT "$location?digest=$d3" -H "Content-Length: 0" && expect_status 201'
check "push 3: the blob reads back" blob_is "$d3" "$work/b3"

head -c 67108864 /dev/urandom >"$work/big"
dbig=$(sha "$work/big")
check "monolithic POST of 64 MiB: 201" eval 'request POST "/v2/app/blobs/uploads/?digest=$dbig" \
  --data-binary @"$work/big" -H "Content-Type: application/octet-stream" && expect_status 201'
check "the 64 MiB blob reads back whole" blob_is "$dbig" "$work/big"
check "a wrong digest is 400 DIGEST_INVALID" eval 'request POST "/v2/app/blobs/uploads/?digest=$d2" \
  --data-binary @"$work/b1" && expect_status 400 && grep -q DIGEST_INVALID "$work/body"'
check "mount from another repository: 201" eval 'request POST "/v2/other/blobs/uploads/?mount=$d1&from=app" \
  -H "Content-Length: 0" && expect_status 201 && expect_header Location "/v2/other/blobs/$d1"'
check "mount of a missing blob: 202 and a session" eval 'request POST \
  "/v2/other/blobs/uploads/?mount=sha256:$(printf %064d 0)&from=app" -H "Content-Length: 0" &&
  expect_status 202 && has_header Docker-Upload-UUID'

# SHA-512 content through the web server: blobs pushed in one request and in
# pieces, read whole and by their tail, and a manifest pushed by its sha512
# digest that names them.
e1=$(sha512 "$work/b1")
e3=$(sha512 "$work/b3")
check "sha512: monolithic POST: 201" eval 'request POST "/v2/app/blobs/uploads/?digest=$e1" \
  --data-binary @"$work/b1" -H "Content-Type: application/octet-stream" && expect_status 201 &&
  expect_header Docker-Content-Digest "$e1" && expect_header Location "/v2/app/blobs/$e1"'
check "sha512: POST, PATCH, PUT" eval 'start_upload app && request PATCH "$location" --data-binary @"$work/b3" \
  && expect_status 202 && request PUT "$location?digest=$e3" -H "Content-Length: 0" && expect_status 201 &&
  expect_header Docker-Content-Digest "$e3"'
check "sha512: the blobs read back" eval 'blob_is "$e1" "$work/b1" && blob_is "$e3" "$work/b3" &&
  expect_header Docker-Content-Digest "$e3"'
check "sha512: a tail range" eval 'request GET "/v2/app/blobs/$e1" -H "Range: bytes=-1000" && expect_status 206 &&
  tail -c 1000 "$work/b1" >"$work/tail" && expect_body_file "$work/tail" &&
  expect_header Content-Range "bytes 299000-299999/300000"'
check "sha512: a digest of SHA-256 length is 400 DIGEST_INVALID" eval 'request POST \
  "/v2/app/blobs/uploads/?digest=sha512:$(printf %064d 0)" --data-binary @"$work/b1" && expect_status 400 &&
  grep -q DIGEST_INVALID "$work/body"'
printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%d},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":%d}]}' \
  "$e1" 300000 "$e3" 200000 >"$work/manifest512"
em=$(sha512 "$work/manifest512")
check "sha512: PUT manifest by its digest: 201 under it" eval 'request PUT "/v2/app/manifests/$em" \
  -H "Content-Type: application/vnd.oci.image.manifest.v1+json" --data-binary @"$work/manifest512" &&
  expect_status 201 && expect_header Docker-Content-Digest "$em" && expect_header Location "/v2/app/manifests/$em"'
check "sha512: GET manifest by its digest" eval 'request GET "/v2/app/manifests/$em" && expect_status 200 &&
  expect_body_file "$work/manifest512" && expect_header Docker-Content-Digest "$em"'

# ---- manifests ------------------------------------------------------------------

oci=application/vnd.oci.image.manifest.v1+json
printf '{"schemaVersion":2,"mediaType":"%s","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%d},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":%d},{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":%d}]}' \
  "$oci" "$d1" 300000 "$d2" 250000 "$d3" 200000 >"$work/manifest"
dm=$(sha "$work/manifest")
for tag in v1 v2 v3; do
  check "PUT manifest $tag: 201" eval 'request PUT /v2/app/manifests/$tag -H "Content-Type: $oci" \
    --data-binary @"$work/manifest" && expect_status 201 && expect_header Docker-Content-Digest "$dm" &&
    expect_header Location "/v2/app/manifests/$dm"'
done
check "GET manifest by tag: the bytes pushed, their type" eval 'request GET /v2/app/manifests/v1 &&
  expect_status 200 && expect_body_file "$work/manifest" && expect_header Content-Type "$oci" &&
  expect_header Docker-Content-Digest "$dm"'
check "HEAD manifest by digest: Content-Length" eval 'request HEAD "/v2/app/manifests/$dm" &&
  expect_status 200 && expect_header Content-Length "$(wc -c <"$work/manifest")"'
check "a manifest with a missing layer: 400 MANIFEST_BLOB_UNKNOWN" eval 'sed "s/$d3/sha256:$(printf %064d 1)/" \
  "$work/manifest" >"$work/bad" && request PUT /v2/app/manifests/bad -H "Content-Type: $oci" \
  --data-binary @"$work/bad" && expect_status 400 && grep -q MANIFEST_BLOB_UNKNOWN "$work/body"'

check "tags, first page of 2 with Link" eval 'request GET "/v2/app/tags/list?n=2" && expect_status 200 &&
  [ "$(cat "$work/body")" = "{\"name\":\"app\",\"tags\":[\"v1\",\"v2\"]}" ] &&
  expect_header Link "</v2/app/tags/list?n=2&last=v2>; rel=\"next\""'
check "tags, the page the Link names" eval 'request GET "/v2/app/tags/list?n=2&last=v2" &&
  [ "$(cat "$work/body")" = "{\"name\":\"app\",\"tags\":[\"v3\"]}" ] && expect_no_header Link'

# Referrers: an artifact whose subject is the image.
printf '{}' >"$work/empty"
de=$(sha "$work/empty")
check "push the empty config" eval 'request POST "/v2/app/blobs/uploads/?digest=$de" --data-binary @"$work/empty" &&
  expect_status 201'
printf '{"schemaVersion":2,"mediaType":"%s","artifactType":"application/x-e2e","config":{"mediaType":"application/vnd.oci.empty.v1+json","digest":"%s","size":2},"layers":[],"subject":{"mediaType":"%s","digest":"%s","size":%d}}' \
  "$oci" "$de" "$oci" "$dm" "$(wc -c <"$work/manifest")" >"$work/artifact"
da=$(sha "$work/artifact")
check "PUT an artifact with a subject: OCI-Subject" eval 'request PUT "/v2/app/manifests/$da" \
  -H "Content-Type: $oci" --data-binary @"$work/artifact" && expect_status 201 && expect_header OCI-Subject "$dm"'
check "referrers of the image list the artifact" eval 'request GET "/v2/app/referrers/$dm" &&
  expect_status 200 && expect_header Content-Type application/vnd.oci.image.index.v1+json &&
  grep -q "\"digest\":\"$da\"" "$work/body" && grep -q "\"artifactType\":\"application/x-e2e\"" "$work/body"'
check "referrers filtered by another type: none" eval 'request GET "/v2/app/referrers/$dm?artifactType=application/x-other" &&
  expect_header OCI-Filters-Applied artifactType && ! grep -q "$da" "$work/body"'

# A repository exists once it holds a blob: other got one by a mount.
check "catalog" eval 'request GET /v2/_catalog && [ "$(cat "$work/body")" = "{\"repositories\":[\"app\",\"other\"]}" ]'

check "DELETE by tag: 202" eval 'request DELETE /v2/app/manifests/v1 && expect_status 202'
check "the deleted tag: 404 MANIFEST_UNKNOWN" eval 'request GET /v2/app/manifests/v1 && expect_status 404 &&
  grep -q MANIFEST_UNKNOWN "$work/body"'
check "the manifest by digest is still there" eval 'request GET "/v2/app/manifests/$dm" && expect_status 200'
check "DELETE by digest: 202" eval 'request DELETE "/v2/app/manifests/$dm" && expect_status 202'
check "the deleted digest: 404" eval 'request GET "/v2/app/manifests/$dm" && expect_status 404'
check "a method the manifests do not take: 405" eval 'request POST /v2/app/manifests/v2 -H "Content-Length: 0" &&
  expect_status 405 && grep -q UNSUPPORTED "$work/body"'

# ---- what the web server must leave alone ----------------------------------

# No URL hands out a program's bytes: neither the programs' own folder and
# names nor the internal path the requests are routed through.
no_program_bytes() {
  local path program
  for path in /.registry-cgi/v2_blob /.registry-cgi/v2_base /.registry-cgi/ /v2_blob /v2_base \
    /endpoint/v2_blob /build/endpoint/v2_blob "$build_dir/endpoint/v2_blob" /v2/../.registry-cgi/v2_blob; do
    request GET "$path"
    if head -c 4 "$work/body" | grep -q $'\x7fELF'; then
      detail="GET $path sent an executable"
      return 1
    fi
    for program in "$build_dir"/endpoint/v2_* "$build_dir"/endpoint/ui; do
      [ -s "$work/body" ] && cmp -s "$work/body" "$program" &&
        { detail="GET $path sent $(basename "$program")"; return 1; }
    done
  done
  return 0
}
check "no URL sends a program's bytes" no_program_bytes
check "a blob asked for compressed comes as stored, no Content-Encoding" eval 'request GET "/v2/app/blobs/$d1" \
  -H "Accept-Encoding: gzip, deflate, br" && expect_status 200 && expect_body_file "$work/b1" &&
  expect_no_header Content-Encoding && expect_header Content-Length 300000'
check "a Range is applied once: 206 with exactly those bytes" eval 'request GET "/v2/app/blobs/$d1" \
  -H "Range: bytes=1000-1999" && expect_status 206 && expect_header Content-Length 1000 &&
  expect_header Content-Range "bytes 1000-1999/300000" && head -c 2000 "$work/b1" | tail -c 1000 >"$work/range" &&
  expect_body_file "$work/range"'
check "a Range on a manifest (which the program answers whole) is not applied by the server" eval '
  request PUT /v2/app/manifests/again -H "Content-Type: $oci" --data-binary @"$work/manifest" &&
  expect_status 201 && request GET "/v2/app/manifests/again" -H "Range: bytes=0-9" && expect_status 200 &&
  expect_body_file "$work/manifest"'
check "HEAD of a blob: Content-Length of the blob, no body" eval 'request HEAD "/v2/app/blobs/$dbig" &&
  expect_status 200 && expect_header Content-Length 67108864'

# Body limits: manifests up to 4 MiB are the program's business (413
# SIZE_INVALID from it above that); the server refuses more than 5 MiB
# before the program runs, and small bodies elsewhere.
head -c $((4 * 1048576 + 100)) /dev/zero | tr '\0' ' ' >"$work/big-manifest"
check "a manifest of 4 MiB + 100 bytes: 413 SIZE_INVALID from the program" eval '
  request PUT /v2/app/manifests/huge -H "Content-Type: $oci" --data-binary @"$work/big-manifest" &&
  expect_status 413 && expect_error_body SIZE_INVALID "manifest too large"'
head -c $((6 * 1048576)) /dev/zero | tr '\0' ' ' >"$work/huge-manifest"
check "a manifest of 6 MiB: 413 from the server, JSON SIZE_INVALID" eval '
  request PUT /v2/app/manifests/huge -H "Content-Type: $oci" --data-binary @"$work/huge-manifest" &&
  expect_status 413 && grep -q "\"code\":\"SIZE_INVALID\"" "$work/body"'
head -c 200000 /dev/zero >"$work/odd-body"
check "a body of 200 KB to the catalog: 413" eval 'request POST /v2/_catalog --data-binary @"$work/odd-body" &&
  expect_status 413'
check "the tag named huge was never stored" eval 'request GET /v2/app/manifests/huge && expect_status 404'

stop_server
check "the store keeps its invariants" eval '"$build_dir/tests/check_store" "$storage" >"$work/check" 2>&1 ||
  { detail=$(head -c 600 "$work/check"); false; }'
finish
