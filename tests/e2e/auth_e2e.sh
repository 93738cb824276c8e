#!/usr/bin/env bash
# Access control by the web server (SERVER: lighttpd, apache or nginx):
# HTTP basic authentication from an htpasswd file, in both policies that
# scripts/serve offers, with curl and skopeo as the clients:
#
#   AUTH=all    every request logs in: anonymous reads and writes get 401
#               with WWW-Authenticate and the registry's JSON error body, a
#               wrong password is refused, skopeo pushes and pulls with
#               credentials;
#   AUTH=write  GET and HEAD are anonymous, every other method logs in:
#               anonymous pushes and deletes are refused, skopeo pulls
#               without credentials and pushes with them. The version check
#               GET /v2/ asks for a login, where clients learn the challenge.
#
# After the writes the server's error log holds the programs' access lines
# with the checked user name and the digests written; with AUTH=none a
# user name the client merely claims never reaches them.
#
#   tests/e2e/auth_e2e.sh     (BUILD_DIR selects the build; default ./build)
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

require_tools skopeo jq htpasswd

# Two users, one bcrypt and one MD5 (apr1) hash, as htpasswd makes them;
# readable by the server's own user, who reads the file per request.
htpasswd -cbB "$work/htpasswd" alice 'alice-Secret1' 2>/dev/null
htpasswd -bm "$work/htpasswd" bob 'bob:pass word' 2>/dev/null
chmod 644 "$work/htpasswd"
export HTPASSWD=$work/htpasswd

images=$work/images
"$top/tests/e2e/make_test_images.sh" "$images" >"$work/digests" 2>"$work/log/images.err" || {
  echo "FAIL setup: test images: $(tail -n 3 "$work/log/images.err")"
  finish
}
oci_d=$(awk '$1 == "oci" {print $2}' "$work/digests")
oci_manifest=$images/oci/blobs/sha256/${oci_d#sha256:}

# fails LOG COMMAND...: the command must fail (a client refused).
fails() {
  local log=$1
  if run "$@"; then
    detail="'${*: -2:1} ${*: -1}' succeeded"
    return 1
  fi
  detail=
}

# A 401 as registry clients expect it: the challenge and the JSON body.
expect_unauthorized() {
  expect_status 401 || return 1
  local challenge
  challenge=$(header WWW-Authenticate)
  case $challenge in
    'Basic realm="registry"'*) ;;
    *) detail="WWW-Authenticate is '$challenge'"; return 1 ;;
  esac
  [ "$(jq -r '.errors[0].code' "$work/body" 2>/dev/null)" = UNAUTHORIZED ] ||
    { detail="body is not the JSON error UNAUTHORIZED: $(head -c 200 "$work/body")"; return 1; }
}
# No upload session and no blob was stored by a refused write.
store_untouched() {
  local n
  n=$(find "$storage/uploads" "$storage/blobs" -type f 2>/dev/null | wc -l)
  [ "$n" = 0 ] || { detail="$n files in uploads/ and blobs/"; return 1; }
}
# The server's log holds an access line with these words.
logged() {
  local line
  line=$(grep -a 'registry-access' "$work/server.log" | grep -a -- "$1" | grep -a -- "$2" | head -n 1)
  [ -n "$line" ] || { detail="no access line with '$1' and '$2' in the server log"; return 1; }
}

blob=$work/blob
head -c 100000 /dev/urandom >"$blob"
blob_d=sha256:$(sha256sum "$blob" | cut -c1-64)

# ---- AUTH=all --------------------------------------------------------------

export AUTH=all
check "$server with AUTH=all starts" start_server || finish
reg=127.0.0.1:$port

check "all: anonymous GET /v2/ is 401 with the challenge and JSON body" eval \
  'request GET /v2/ && expect_unauthorized'
check "all: anonymous HEAD of a manifest is 401" eval \
  'request HEAD /v2/app/manifests/v1 && expect_status 401'
check "all: anonymous push of a blob is 401, nothing stored" eval \
  'request POST "/v2/app/blobs/uploads/?digest=$blob_d" --data-binary @"$blob" &&
   expect_unauthorized && store_untouched'
check "all: a wrong password is 401" eval \
  'request GET /v2/ -u alice:wrong && expect_unauthorized'
check "all: an unknown user is 401" eval \
  'request GET /v2/ -u mallory:alice-Secret1 && expect_unauthorized'
check "all: alice (bcrypt) logs in: GET /v2/ is 200" eval \
  'request GET /v2/ -u alice:alice-Secret1 && expect_status 200'
check "all: bob (apr1, a colon and a space in the password) logs in" eval \
  'request GET /v2/ -u "bob:bob:pass word" && expect_status 200'
check "all: alice pushes a blob in one POST: 201" eval \
  'request POST "/v2/app/blobs/uploads/?digest=$blob_d" --data-binary @"$blob" -u alice:alice-Secret1 &&
   expect_status 201 && expect_header Location "/v2/app/blobs/$blob_d"'
check "all: the push left an access line naming alice and the digest" logged "user=alice" "action=blob.put repository=app digest=$blob_d"

check "all: skopeo without credentials cannot push" fails push-anon "${sk[@]}" copy --retry-times 0 \
  --dest-tls-verify=false "oci:$images/oci:v1" "docker://$reg/test/oci:v1"
check "all: skopeo with a wrong password cannot push" fails push-wrong "${sk[@]}" copy --retry-times 0 \
  --dest-tls-verify=false --dest-creds alice:nope "oci:$images/oci:v1" "docker://$reg/test/oci:v1"
check "all: skopeo --dest-creds pushes" run push "${sk[@]}" copy --retry-times 0 --preserve-digests \
  --dest-tls-verify=false --dest-creds alice:alice-Secret1 "oci:$images/oci:v1" "docker://$reg/test/oci:v1"
check "all: the manifest push left an access line naming alice, the digest and the tag" \
  logged "user=alice" "action=manifest.put repository=test/oci digest=$oci_d reference=v1"
check "all: skopeo without credentials cannot pull" fails pull-anon "${sk[@]}" copy --retry-times 0 \
  --src-tls-verify=false "docker://$reg/test/oci:v1" "oci:$work/pull-anon:v1"
pull_with_creds() {
  run pull "${sk[@]}" copy --retry-times 0 --preserve-digests --src-tls-verify=false \
    --src-creds "bob:bob:pass word" "docker://$reg/test/oci:v1" "oci:$work/pulled:v1" &&
    cmp -s "$work/pulled/blobs/sha256/${oci_d#sha256:}" "$oci_manifest" ||
    { detail=${detail:-"the pulled manifest differs"}; return 1; }
  local f
  for f in "$images"/oci/blobs/sha256/*; do
    cmp -s "$f" "$work/pulled/blobs/sha256/$(basename "$f")" ||
      { detail="blob $(basename "$f") differs after the pull"; return 1; }
  done
}
check "all: skopeo --src-creds pulls every blob byte-identical" pull_with_creds
check "all: anonymous DELETE is 401 and the blob stays" eval \
  'request DELETE "/v2/app/blobs/$blob_d" && expect_unauthorized &&
   request HEAD "/v2/app/blobs/$blob_d" -u alice:alice-Secret1 && expect_status 200'
check "all: bob deletes the blob: 202, and the access line names bob" eval \
  'request DELETE "/v2/app/blobs/$blob_d" -u "bob:bob:pass word" && expect_status 202 &&
   logged "user=bob" "action=blob.delete repository=app digest=$blob_d"'
stop_server

# ---- AUTH=write ------------------------------------------------------------

rm -rf "$storage" "$work/pulled"
export AUTH=write
check "$server with AUTH=write starts" start_server || finish
reg=127.0.0.1:$port

check "write: anonymous GET /v2/ is 401 with the challenge" eval 'request GET /v2/ && expect_unauthorized'
check "write: alice's GET /v2/ is 200" eval 'request GET /v2/ -u alice:alice-Secret1 && expect_status 200'
check "write: anonymous push of a blob is 401, nothing stored" eval \
  'request POST "/v2/app/blobs/uploads/?digest=$blob_d" --data-binary @"$blob" &&
   expect_unauthorized && store_untouched'
check "write: a push with a wrong password is 401" eval \
  'request POST "/v2/app/blobs/uploads/" -H "Content-Length: 0" -u alice:wrong && expect_unauthorized &&
   store_untouched'
check "write: skopeo without credentials cannot push" fails push-anon2 "${sk[@]}" copy --retry-times 0 \
  --dest-tls-verify=false "oci:$images/oci:v1" "docker://$reg/test/oci:v1"
check "write: skopeo --dest-creds pushes" run push2 "${sk[@]}" copy --retry-times 0 --preserve-digests \
  --dest-tls-verify=false --dest-creds alice:alice-Secret1 "oci:$images/oci:v1" "docker://$reg/test/oci:v1"
check "write: the manifest push left an access line naming alice" \
  logged "user=alice" "action=manifest.put repository=test/oci digest=$oci_d"
anonymous_pull() {
  run pull-anon2 "${sk[@]}" copy --retry-times 0 --preserve-digests --src-tls-verify=false \
    "docker://$reg/test/oci:v1" "oci:$work/pulled:v1" &&
    cmp -s "$work/pulled/blobs/sha256/${oci_d#sha256:}" "$oci_manifest" ||
    { detail=${detail:-"the pulled manifest differs"}; return 1; }
}
check "write: skopeo pulls without credentials" anonymous_pull
check "write: anonymous HEAD and GET of the manifest: 200" eval \
  'request HEAD "/v2/test/oci/manifests/v1" && expect_status 200 &&
   request GET "/v2/test/oci/manifests/$oci_d" && expect_status 200 && expect_body_file "$oci_manifest"'
check "write: anonymous DELETE of the tag is 401 and the tag stays" eval \
  'request DELETE /v2/test/oci/manifests/v1 && expect_unauthorized &&
   request GET /v2/test/oci/manifests/v1 && expect_status 200'
check "write: alice deletes the tag: 202, and the access line names it" eval \
  'request DELETE /v2/test/oci/manifests/v1 -u alice:alice-Secret1 && expect_status 202 &&
   logged "user=alice" "action=tag.delete repository=test/oci digest=- reference=v1"'
stop_server

# ---- AUTH=none: a claimed name is not a user -------------------------------

rm -rf "$storage"
export AUTH=none
check "$server with AUTH=none starts" start_server || finish
check "none: a push with credentials nobody checks: 201" eval \
  'request POST "/v2/app/blobs/uploads/?digest=$blob_d" --data-binary @"$blob" -u mallory:anything &&
   expect_status 201'
check "none: the access line names no user" eval \
  'logged "user=- " "digest=$blob_d" && ! grep -aq "user=mallory" "$work/server.log" ||
   { detail=${detail:-"the unchecked name mallory reached the access line"}; false; }'
stop_server

check "the store keeps its invariants" eval '"$build_dir/tests/check_store" "$storage" >"$work/check" 2>&1 ||
  { detail=$(head -c 600 "$work/check"); false; }'
finish
