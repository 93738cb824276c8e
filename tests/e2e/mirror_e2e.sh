#!/usr/bin/env bash
# End-to-end test of the pull-through mirror. Two instances of this
# registry are served by lighttpd on free loopback ports (scripts/serve):
# the upstream, into which skopeo pushes test images, and the mirror, whose
# REGISTRY_MIRRORS configuration points prefixes at it, directly or through
# a stand-in (mirror_upstream.py, Python's standard library only) that does
# what the real one cannot: a bearer-token realm, 503s, a blob with a wrong
# byte, a transfer cut or stalled in the middle, a reply without a digest.
#
# Checks: skopeo pulls through the mirror (an image by tag and by digest,
# an index with --all) byte-identical to a direct pull; the second pull
# comes from the store with the upstream stopped; a stale tag is served
# with a warning when the upstream is down; what is not cached answers 404
# fast; a tag is asked again after its TTL with a HEAD first and its body
# only when it moved; wrong, cut and stalled blobs store nothing; four
# clients missing one blob at once get its bytes and the store holds one
# copy; writes into a mirror answer 405; a delete removes only the cached
# copy; the bearer flow with a login, its token reused by later processes;
# a broken configuration fails closed; the upstream's referrers are listed
# through the mirror and stored (and listed from the store when it is
# down); sha512 blobs and manifests come through under blobs/sha512; under
# an access policy a refused pull fetches and stores nothing, and a fetched
# blob is held by its repository only; a mirror of the whole registry
# (prefix "") refuses every push, and podman pulls through it by a
# registries.conf mirror entry.
#
#   tests/e2e/mirror_e2e.sh     (BUILD_DIR selects the build; default ./build)
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

require_tools skopeo jq curl htpasswd
python=/usr/bin/python3
[ -x "$python" ] || { echo "FAIL setup: $python is needed (scripts/setup installs it)"; finish; }

images=$work/images
make_images() {
  "$top/tests/e2e/make_test_images.sh" "$images" >"$work/digests" 2>"$work/log/images.err" && return 0
  detail=$(tail -n 3 "$work/log/images.err" | tr '\n' ' ')
  return 1
}
check "test images made from random bytes" make_images
[ -s "$work/digests" ] || finish
digest_of() { awk -v n="$1" '$1 == n {print $2}' "$work/digests"; }

# ---- the upstream, the stand-in, the mirror ------------------------------

stand_in_pid=
up_pid=
stop_all() {
  [ -z "$stand_in_pid" ] || kill "$stand_in_pid" 2>/dev/null
  if [ -n "$up_pid" ]; then
    kill "$up_pid" 2>/dev/null
    wait "$up_pid" 2>/dev/null
  fi
  cleanup
}
trap stop_all EXIT

# The upstream: this registry on its own port and root.
storage=$work/upstream-storage serve_run_dir=$work/upstream-run
check "upstream registry starts on a free loopback port" start_server
[ -n "$server_pid" ] || finish
up_pid=$server_pid up_port=$port up_log=$work/upstream-server.log
mv "$work/server.log" "$up_log"
server_pid=
up=127.0.0.1:$up_port

push=("${sk[@]}" copy --retry-times 0 --preserve-digests --dest-tls-verify=false)
pull=("${sk[@]}" copy --retry-times 0 --preserve-digests --src-tls-verify=false)
check "skopeo pushes an image and an index into the upstream" \
  eval 'run push-oci "${push[@]}" "oci:$images/oci:v1" "docker://$up/lib/app:v1" &&
        run push-index "${push[@]}" --all "oci:$images/index:v1" "docker://$up/lib/multi:v1"'

# The stand-in in front of the upstream.
"$python" "$top/tests/e2e/mirror_upstream.py" "$work/stand-in.port" "$up_port" "$work/stand-in.log" \
  reader s3cret 2>"$work/log/stand-in.err" &
stand_in_pid=$!
for _ in $(seq 1 100); do [ -s "$work/stand-in.port" ] && break; sleep 0.05; done
stand_in=127.0.0.1:$(cat "$work/stand-in.port" 2>/dev/null)
: >>"$work/stand-in.log"

# A port nothing listens on: an upstream that cannot be reached.
closed_port=$((20000 + RANDOM % 40000))
while port_in_use "$closed_port"; do closed_port=$((20000 + RANDOM % 40000)); done

printf 's3cret\n' >"$work/password"
cat >"$work/mirrors.json" <<EOF
{"mirrors": [
  {"prefix": "hub/", "upstream": "http://$up"},
  {"prefix": "stale/", "upstream": "http://$up", "tag_ttl_seconds": 0},
  {"prefix": "ttl/", "upstream": "http://$stand_in/plain", "tag_ttl_seconds": 3},
  {"prefix": "tok/", "upstream": "http://$stand_in/token", "username": "reader",
   "password_file": "$work/password"},
  {"prefix": "err5/", "upstream": "http://$stand_in/err5"},
  {"prefix": "wrong/", "upstream": "http://$stand_in/wrong"},
  {"prefix": "cut/", "upstream": "http://$stand_in/cut"},
  {"prefix": "stall/", "upstream": "http://$stand_in/stall"},
  {"prefix": "nodigest/", "upstream": "http://$stand_in/nodigest"},
  {"prefix": "off/", "upstream": "http://127.0.0.1:$closed_port"}
]}
EOF
storage=$work/storage serve_run_dir=$work/run
start_mirror() { MIRRORS=$work/mirrors.json REGISTRY_MIRROR_STALL_TIMEOUT=3 start_server; }
check "mirror registry starts with the mirror configuration" start_mirror
[ -n "$server_pid" ] || finish
reg=127.0.0.1:$port
echo "     (upstream $up, stand-in $stand_in, mirror $reg)"

oci_d=$(digest_of oci)
index_d=$(digest_of index)
blob_path() { local d=$1; echo "$storage/blobs/sha256/${d:7:2}/${d:7}"; }
# stored_soon FILE: FILE is there within 10 seconds. A fetched blob is made
# durable after the client's reply has ended, so it can appear just after.
stored_soon() {
  local i
  for i in $(seq 1 100); do
    [ -f "$1" ] && return 0
    sleep 0.1
  done
  detail="$1 is not there"
  return 1
}
# (after the commits that follow the replies, within moments)
no_uploads_left() {
  local i
  for i in $(seq 1 50); do
    [ -z "$(ls -A "$storage/uploads" 2>/dev/null)" ] && return 0
    sleep 0.1
  done
  detail="upload files left: $(ls "$storage/uploads" | head -n 3 | tr '\n' ' ')"
  return 1
}
layer_of() { jq -r ".layers[$2].digest" "$images/oci/blobs/sha256/${1#sha256:}"; }
layer=$(layer_of "$oci_d" 0)
stand_in_lines() { grep -c "$1" "$work/stand-in.log"; }

# ---- pull through ----------------------------------------------------------

# pulled_same NAME REF [skopeo options]: a pull of REF through the mirror and
# one straight from the upstream give the same files.
pulled_same() {
  local name=$1 ref=$2
  shift 2
  rm -rf "$work/via-$name" "$work/direct-$name"
  run "via-$name" "${pull[@]}" "$@" "docker://$reg/hub/$ref" "oci:$work/via-$name:x" &&
    run "direct-$name" "${pull[@]}" "$@" "docker://$up/$ref" "oci:$work/direct-$name:x" || return 1
  local out
  out=$(diff -r "$work/via-$name" "$work/direct-$name" 2>&1) && return 0
  detail=$(head -n 3 <<<"$out" | tr '\n' ' ')
  return 1
}
check "skopeo pulls an image by tag through the mirror, byte-identical to a direct pull" \
  pulled_same tag lib/app:v1
check "the image's blobs and manifest are stored in the mirror" \
  eval 'stored_soon "$(blob_path "$layer")" && [ -f "$storage/repositories/hub/lib/app/_manifests/tags/v1/current/link" ]'
check "skopeo pulls an index with --all through the mirror, byte-identical" \
  pulled_same index lib/multi:v1 --all
check "skopeo pulls an image by digest through the mirror, byte-identical" \
  pulled_same digest "lib/app@$oci_d"
check "no upload file is left by the pulls" no_uploads_left

# ---- referrers, SHA-512 content --------------------------------------------

# up_blob REPO FILE ALGO: pushes FILE into the upstream's REPO in one POST
# (?digest=ALGO:...); prints the digest.
up_blob() {
  local d
  d=$2:$("${2}sum" <"$3" | cut -d' ' -f1)
  curl -sf -o /dev/null -X POST --data-binary "@$3" -H 'Content-Type: application/octet-stream' \
    "http://$up/v2/$1/blobs/uploads/?digest=$d" || return 1
  echo "$d"
}
# up_manifest REPO REFERENCE FILE: PUTs FILE into the upstream as an OCI
# image manifest.
up_manifest() {
  curl -sf -o /dev/null -X PUT -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \
    --data-binary "@$3" "http://$up/v2/$1/manifests/$2"
}
printf '{}' >"$work/empty.json"
oci_size=$(wc -c <"$images/oci/blobs/sha256/${oci_d#sha256:}")
push_referrer() {
  local empty
  empty=$(up_blob lib/app sha256 "$work/empty.json") || { detail="blob push failed"; return 1; }
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","artifactType":"application/x-e2e-signature","config":{"mediaType":"application/vnd.oci.empty.v1+json","digest":"%s","size":2},"layers":[{"mediaType":"application/vnd.oci.empty.v1+json","digest":"%s","size":2}],"subject":{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":"%s","size":%s}}' \
    "$empty" "$empty" "$oci_d" "$oci_size" >"$work/referrer.json"
  ref_d=sha256:$(sha256sum <"$work/referrer.json" | cut -c1-64)
  up_manifest lib/app "$ref_d" "$work/referrer.json" || { detail="manifest push failed"; return 1; }
}
check "a referrer artifact with the image as its subject is pushed into the upstream" push_referrer
# lists_the_referrer QUERY: the mirror's referrers list of the image
# (with ?QUERY) answers 200 and names the referrer alone.
lists_the_referrer() {
  request GET "/v2/hub/lib/app/referrers/$oci_d${1:+?$1}"
  expect_status 200 || return 1
  [ "$(jq -r '.manifests[].digest' "$work/body")" = "$ref_d" ] ||
    { detail="listed: $(head -c 400 "$work/body")"; return 1; }
}
referrers_through() {
  lists_the_referrer artifactType=application/x-e2e-signature || return 1
  [ -f "$storage/repositories/hub/lib/app/_manifests/revisions/sha256/${ref_d#sha256:}/link" ] ||
    { detail="the referrer is not in the mirror's store"; return 1; }
  request GET "/v2/hub/lib/app/manifests/$ref_d"
  expect_status 200 && expect_body_file "$work/referrer.json"
}
check "the referrers list through the mirror names the upstream's referrer, now in the mirror's store" \
  referrers_through
check "skopeo pulls the signed image by digest through the mirror, byte-identical" \
  pulled_same signed "lib/app@$oci_d"

# SHA-512 content: a config and a layer pushed under sha512 digests, a
# manifest naming them.
sha512_push() {
  head -c 70000 /dev/urandom >"$work/s512-layer"
  printf '{"architecture":"amd64","os":"linux","rootfs":{"type":"layers","diff_ids":[]}}' >"$work/s512-config"
  s512_layer=$(up_blob lib/s512 sha512 "$work/s512-layer") &&
    s512_config=$(up_blob lib/s512 sha512 "$work/s512-config") || { detail="blob push failed"; return 1; }
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%s},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":70000}]}' \
    "$s512_config" "$(wc -c <"$work/s512-config")" "$s512_layer" >"$work/s512-manifest"
  s512_d=sha512:$(sha512sum <"$work/s512-manifest" | cut -c1-128)
  up_manifest lib/s512 "$s512_d" "$work/s512-manifest" || { detail="manifest push failed"; return 1; }
}
check "sha512 blobs and a manifest under a sha512 digest are pushed into the upstream" sha512_push
sha512_through() {
  request GET "/v2/hub/lib/s512/manifests/$s512_d"
  expect_status 200 && expect_header Docker-Content-Digest "$s512_d" && expect_body_file "$work/s512-manifest" ||
    { detail="manifest: $detail"; return 1; }
  local d f
  for f in layer config; do
    d=$s512_layer
    [ "$f" = config ] && d=$s512_config
    request GET "/v2/hub/lib/s512/blobs/$d"
    expect_status 200 && expect_body_file "$work/s512-$f" || { detail="$f: $detail"; return 1; }
    stored_soon "$storage/blobs/sha512/${d:7:2}/${d:7}" && cmp -s "$storage/blobs/sha512/${d:7:2}/${d:7}" "$work/s512-$f" ||
      { detail="$f is not stored under blobs/sha512"; return 1; }
  done
}
check "sha512 content pulled through the mirror by digest: bytes identical, stored under blobs/sha512" \
  sha512_through

# ---- offline ---------------------------------------------------------------

# Also a tag cached with a TTL of 0: always stale.
check "a tag of a TTL of 0 is pulled while the upstream is up" \
  run stale-up "${pull[@]}" "docker://$reg/stale/lib/app:v1" "oci:$work/stale-up:x"
kill "$up_pid" 2>/dev/null
wait "$up_pid" 2>/dev/null
up_pid=
offline_pull() {
  rm -rf "$work/offline"
  run offline "${pull[@]}" "docker://$reg/hub/lib/app:v1" "oci:$work/offline:x" &&
    diff -r "$work/offline" "$work/via-tag" >/dev/null || { detail="${detail:-pulled files differ}"; return 1; }
}
check "with the upstream stopped, the cached image is pulled again" offline_pull
stale_served() {
  request GET /v2/stale/lib/app/manifests/v1
  expect_status 200 && expect_header Docker-Content-Digest "$oci_d" || return 1
  grep -q "registry-mirror: warning: serving the cached stale/lib/app:v1" "$work/server.log" ||
    { detail="no warning line in the server log"; return 1; }
}
check "a stale tag is served when the upstream is down, with a warning line in the log" stale_served
referrers_offline() {
  lists_the_referrer || return 1
  grep -q "registry-mirror: warning: serving the cached referrers of hub/lib/app@$oci_d" "$work/server.log" ||
    { detail="no warning line in the server log"; return 1; }
}
check "with the upstream down, the cached referrers are listed, with a warning line in the log" \
  referrers_offline
# uncached REPO_PATH CODE: answers 404 CODE within 10 seconds.
uncached() {
  local start=$SECONDS
  request GET "$1"
  expect_status 404 && grep -q "\"$2\"" "$work/body" || { detail="$detail $(cat "$work/body")"; return 1; }
  [ $((SECONDS - start)) -lt 10 ] || { detail="took $((SECONDS - start)) s"; return 1; }
}
check "an uncached tag with the upstream down: 404 MANIFEST_UNKNOWN, fast" \
  uncached /v2/hub/lib/other/manifests/v1 MANIFEST_UNKNOWN
check "an uncached blob with the upstream down: 404 BLOB_UNKNOWN, fast" \
  uncached "/v2/hub/lib/app/blobs/sha256:$(printf x | sha256sum | cut -c1-64)" BLOB_UNKNOWN
check "an upstream that refuses connections: 404 MANIFEST_UNKNOWN, fast" \
  uncached /v2/off/lib/app/manifests/v1 MANIFEST_UNKNOWN
check "an upstream that answers 503: 404 MANIFEST_UNKNOWN" uncached /v2/err5/lib/app/manifests/v1 MANIFEST_UNKNOWN

# The upstream again, on its port, for the rest.
restart_upstream() {
  local attempt i
  for attempt in $(seq 1 50); do
    PORT=$up_port SERVER=$server RUN_DIR=$work/upstream-run REGISTRY_STORAGE_ROOT=$work/upstream-storage \
      BUILD_DIR=$build_dir SERVE_SKIP_BUILD=1 "$top/scripts/serve" >"$up_log" 2>&1 </dev/null &
    up_pid=$!
    for i in $(seq 1 50); do
      kill -0 "$up_pid" 2>/dev/null || break
      if port_in_use "$up_port" &&
        [ "$(curl -s --max-time 5 -o /dev/null -w '%{http_code}' "http://$up/v2/")" = 200 ]; then
        return 0
      fi
      sleep 0.1
    done
    kill "$up_pid" 2>/dev/null
    wait "$up_pid" 2>/dev/null
    sleep 0.2
  done
  detail="the upstream did not start again on $up_port: $(tail -n 2 "$up_log")"
  return 1
}
check "the upstream starts again on its port" restart_upstream

# ---- tag TTL: HEAD first, the body only when the tag moved ----------------

ttl_head_then_body() {
  : >"$work/stand-in.log"
  request GET /v2/ttl/lib/app/manifests/v1
  expect_status 200 && expect_header Docker-Content-Digest "$oci_d" || return 1
  grep -q "^plain HEAD /v2/lib/app/manifests/v1$" "$work/stand-in.log" &&
    grep -q "^plain GET /v2/lib/app/manifests/$oci_d$" "$work/stand-in.log" ||
    { detail="stand-in saw: $(tr '\n' ';' <"$work/stand-in.log")"; return 1; }
}
check "a new tag: a HEAD for its digest, then the body by digest" ttl_head_then_body
ttl_within() {
  : >"$work/stand-in.log"
  request GET /v2/ttl/lib/app/manifests/v1
  expect_status 200 || return 1
  [ ! -s "$work/stand-in.log" ] || { detail="asked the upstream: $(tr '\n' ';' <"$work/stand-in.log")"; return 1; }
}
check "within the TTL the upstream is not asked" ttl_within
ttl_unchanged() {
  sleep 4
  : >"$work/stand-in.log"
  request GET /v2/ttl/lib/app/manifests/v1
  expect_status 200 && expect_header Docker-Content-Digest "$oci_d" || return 1
  [ "$(cat "$work/stand-in.log")" = "plain HEAD /v2/lib/app/manifests/v1" ] ||
    { detail="stand-in saw: $(tr '\n' ';' <"$work/stand-in.log")"; return 1; }
}
check "after the TTL an unchanged tag costs one HEAD and no body" ttl_unchanged
# The tag moves upstream: the index is pushed under lib/app:v1.
check "the tag moves upstream" \
  run move "${push[@]}" --all "oci:$images/index:v1" "docker://$up/lib/app:v1"
ttl_moved() {
  request GET /v2/ttl/lib/app/manifests/v1
  expect_status 200 && expect_header Docker-Content-Digest "$oci_d" || { detail="within the TTL: $detail"; return 1; }
  sleep 4
  request GET /v2/ttl/lib/app/manifests/v1
  expect_status 200 && expect_header Docker-Content-Digest "$index_d" || { detail="after the TTL: $detail"; return 1; }
}
check "a moved tag is served as before within the TTL, the new digest after it" ttl_moved
nodigest_stored() {
  request GET /v2/nodigest/lib/multi/manifests/v1
  expect_status 200 && expect_header Docker-Content-Digest "$index_d"
}
check "an upstream that names no digest: the manifest is stored under its bytes' digest" nodigest_stored

# ---- broken transfers store nothing ----------------------------------------

# broken PREFIX: a blob GET through PREFIX does not give the client the
# blob's bytes whole, and the blob is not stored.
big_layer=$(layer_of "$oci_d" 1)
broken() {
  local start=$SECONDS
  rm -f "$(blob_path "$big_layer")"
  curl -s --max-time 30 -o "$work/broken.body" "http://$reg/v2/$1/lib/app/blobs/$big_layer"
  local got
  got=sha256:$(sha256sum <"$work/broken.body" | cut -c1-64)
  [ "$got" != "$big_layer" ] || { detail="the client got the whole blob"; return 1; }
  [ ! -e "$(blob_path "$big_layer")" ] || { detail="the blob was stored"; return 1; }
  [ $((SECONDS - start)) -lt 25 ] || { detail="took $((SECONDS - start)) s"; return 1; }
  no_uploads_left
}
check "a blob with a wrong byte: the client's bytes do not match, nothing stored" broken wrong
check "a transfer cut in the middle: nothing stored" broken cut
check "a transfer that stalls is abandoned after the stall timeout: nothing stored" broken stall
# The blobs are shared by all repositories: the cached ones go first, so
# that the pull has to fetch them.
wrong_pull() {
  find "$storage/blobs" -type f -delete
  if run wrong-pull "${pull[@]}" "docker://$reg/wrong/lib/multi@$index_d" "oci:$work/wrong-pull:x"; then
    detail="the pull succeeded"
    return 1
  fi
  [ -z "$(find "$storage/blobs" -type f)" ] || { detail="blobs were stored: $(find "$storage/blobs" -type f | head -n 2)"; return 1; }
  no_uploads_left
}
check "skopeo's pull of an image whose blobs come wrong fails; nothing is stored" wrong_pull

# ---- concurrent misses -----------------------------------------------------

concurrent_misses() {
  rm -f "$(blob_path "$big_layer")"
  local i pids=()
  for i in 1 2 3 4; do
    curl -s --max-time 60 -o "$work/concurrent.$i" "http://$reg/v2/hub/lib/app/blobs/$big_layer" &
    pids+=($!)
  done
  wait "${pids[@]}"
  for i in 1 2 3 4; do
    [ "sha256:$(sha256sum <"$work/concurrent.$i" | cut -c1-64)" = "$big_layer" ] ||
      { detail="client $i got other bytes"; return 1; }
  done
  stored_soon "$(blob_path "$big_layer")" && no_uploads_left || return 1
  [ "$(find "$storage/blobs" -name "${big_layer#sha256:}*" | wc -l)" = 1 ] ||
    { detail="not one copy: $(find "$storage/blobs" -name "${big_layer#sha256:}*")"; return 1; }
  no_uploads_left
}
check "four clients missing one blob at once each get its bytes; the store holds one copy" concurrent_misses

# ---- writes, deletes ------------------------------------------------------

refused() {
  request "$@"
  expect_status 405 && expect_error_body UNSUPPORTED "this repository is a mirror"
}
check "POST of an upload into a mirror: 405" refused POST /v2/hub/lib/new/blobs/uploads/ -H 'Content-Length: 0'
check "PUT of a manifest into a mirror: 405" \
  refused PUT /v2/hub/lib/app/manifests/v9 -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \
  --data-binary "@$images/oci/blobs/sha256/${oci_d#sha256:}"
check "a push outside the mirrored prefixes still works" \
  run push-local "${push[@]}" "oci:$images/oci:v1" "docker://$reg/local/app:v1"
delete_cached() {
  request DELETE "/v2/hub/lib/app/blobs/$layer"
  expect_status 202 || return 1
  [ ! -e "$(blob_path "$layer")" ] || { detail="the cached blob is still there"; return 1; }
  request GET "/v2/hub/lib/app/blobs/$layer"
  expect_status 200 && stored_soon "$(blob_path "$layer")" || { detail="not fetched again: $detail"; return 1; }
  curl -sf -o /dev/null -I "http://$up/v2/lib/app/blobs/$layer" || { detail="the upstream lost the blob"; return 1; }
}
check "a DELETE removes the cached blob only; the next GET fetches it again" delete_cached

# ---- bearer tokens ---------------------------------------------------------

bearer_pull() {
  : >"$work/stand-in.log"
  rm -rf "$work/tok"
  run tok "${pull[@]}" "docker://$reg/tok/lib/multi@$index_d" "oci:$work/tok:x" || return 1
  grep -q "^auth GET /auth/token?service=stand-in&scope=repository%3Alib%2Fmulti%3Apull$" "$work/stand-in.log" ||
    { detail="no token request: $(tr '\n' ';' <"$work/stand-in.log" | head -c 600)"; return 1; }
}
check "a pull through an upstream with a bearer realm: a token fetched with the login" bearer_pull
token_reused() {
  local before
  before=$(stand_in_lines '^auth ')
  rm -f "$(blob_path "$(layer_of "$oci_d" 0)")"
  request GET "/v2/tok/lib/multi/blobs/$(layer_of "$oci_d" 0)"
  expect_status 200 || return 1
  [ "$(stand_in_lines '^auth ')" = "$before" ] || { detail="a new token was asked for"; return 1; }
  local dir=$storage/mirror-tokens
  [ "$(stat -c %a "$dir")" = 700 ] && [ -z "$(find "$dir" -type f ! -perm 600)" ] ||
    { detail="the token cache is not private: $(ls -la "$dir" | tr '\n' ';')"; return 1; }
}
check "a later process reuses the cached token; the cache is private" token_reused
wrong_password() {
  printf 'wrong\n' >"$work/password"
  rm -rf "$storage/mirror-tokens"
  request GET /v2/tok/lib/app/manifests/v1
  local rc=0
  expect_status 404 || rc=1
  printf 's3cret\n' >"$work/password"
  return $rc
}
check "a refused login: 404, nothing fetched" wrong_password

# ---- a mirrored repository under an access policy -------------------------

# alice may pull the mirrored ttl/lib/**, bob only his own bob/**; the
# mirror's upstream is the stand-in, whose log shows every request it gets.
stop_server
: >"$work/htpasswd"
for user in alice bob; do htpasswd -bB "$work/htpasswd" "$user" "$user-Secret1" 2>/dev/null; done
cat >"$work/access.json" <<'EOF'
{"realm": "registry", "rules": [
  {"who": ["user:alice"], "repositories": ["ttl/lib/**"], "actions": ["pull"]},
  {"who": ["user:bob"], "repositories": ["bob/**"], "actions": ["pull", "push"]}
]}
EOF
chmod 644 "$work/htpasswd" "$work/access.json"
storage=$work/policy-storage serve_run_dir=$work/policy-run
policy_mirror() { AUTH=policy POLICY=$work/access.json HTPASSWD=$work/htpasswd start_mirror; }
check "a mirror under an access policy starts" policy_mirror
# denied USER METHOD PATH STATUS: refused with STATUS; the upstream was not
# asked and nothing is stored.
denied() {
  local user=$1 method=$2 path=$3 want=$4 opts=()
  [ "$user" = anonymous ] || opts=(-u "$user:$user-Secret1")
  : >"$work/stand-in.log"
  request "$method" "$path" "${opts[@]}"
  expect_status "$want" || return 1
  [ ! -s "$work/stand-in.log" ] || { detail="the upstream was asked: $(tr '\n' ';' <"$work/stand-in.log")"; return 1; }
  [ -z "$(find "$storage/blobs" "$storage/repositories" -type f 2>/dev/null)" ] ||
    { detail="stored: $(find "$storage/blobs" "$storage/repositories" -type f | head -n 2)"; return 1; }
}
while read -r user method what want; do
  path=/v2/ttl/lib/app/manifests/$oci_d
  [ "$what" = blob ] && path=/v2/ttl/lib/app/blobs/$layer
  [ "$what" = referrers ] && path=/v2/ttl/lib/app/referrers/$oci_d
  check "policy on a mirror: $user $method of a mirrored $what is refused $want, nothing fetched or stored" \
    denied "$user" "$method" "$path" "$want"
done <<EOF
anonymous GET  manifest  401
anonymous HEAD manifest  401
anonymous GET  blob      401
anonymous GET  referrers 401
bob       GET  manifest  403
bob       GET  blob      403
bob       HEAD blob      403
bob       GET  referrers 403
EOF
policy_allowed() {
  request GET "/v2/ttl/lib/app/blobs/$layer" -u alice:alice-Secret1
  expect_status 200 || return 1
  [ "sha256:$(sha256sum <"$work/body" | cut -c1-64)" = "$layer" ] || { detail="other bytes"; return 1; }
  stored_soon "$(blob_path "$layer")" &&
    stored_soon "$storage/repositories/ttl/lib/app/_manifests/blobs/sha256/${layer:7:2}/${layer:7}" ||
    { detail="fetched but not held by ttl/lib/app: $detail"; return 1; }
}
check "policy on a mirror: alice pulls a mirrored blob; it becomes the repository's" policy_allowed
other_tenant() {
  # bob's own repository, with a blob of his own in it.
  printf 'bob-owned' >"$work/bob-blob"
  local mine
  mine=sha256:$(sha256sum <"$work/bob-blob" | cut -c1-64)
  request POST "/v2/bob/app/blobs/uploads/?digest=$mine" -u bob:bob-Secret1 --data-binary "@$work/bob-blob"
  expect_status 201 || { detail="bob's push: $detail"; return 1; }
  request GET "/v2/bob/app/blobs/$mine" -u bob:bob-Secret1
  expect_status 200 || { detail="bob's own blob: $detail"; return 1; }
  # The fetched blob is in the store, but not bob's.
  [ -f "$(blob_path "$layer")" ] || { detail="the fetched blob is gone"; return 1; }
  request GET "/v2/bob/app/blobs/$layer" -u bob:bob-Secret1
  expect_status 404 && [ "$(jq -r '.errors[0].code' "$work/body")" = BLOB_UNKNOWN ] ||
    { detail="through bob/app: $detail $(head -c 200 "$work/body")"; return 1; }
}
check "policy on a mirror: bob gets 404 for that digest through his own repository" other_tenant

# ---- the whole registry a mirror; podman with a registry-mirror entry -----

stop_server
printf '{"mirrors": [{"prefix": "", "upstream": "http://%s"}]}\n' "$up" >"$work/mirrors.json"
storage=$work/whole-storage serve_run_dir=$work/whole-run
check "a mirror of the whole registry (prefix \"\") starts" start_mirror
whole=127.0.0.1:$port
whole_pull() {
  rm -rf "$work/whole" "$work/whole-direct"
  run whole "${pull[@]}" --all "docker://$whole/lib/multi@$index_d" "oci:$work/whole:x" &&
    run whole-direct "${pull[@]}" --all "docker://$up/lib/multi@$index_d" "oci:$work/whole-direct:x" || return 1
  diff -r "$work/whole" "$work/whole-direct" >/dev/null || { detail="the pulled files differ"; return 1; }
}
check "the whole-registry mirror: skopeo pulls an index with --all, byte-identical to a direct pull" whole_pull
check "the whole-registry mirror refuses every push: 405" \
  refused POST /v2/any/name/blobs/uploads/ -H 'Content-Length: 0'

# Podman as root with vfs storage in folders of its own, and a
# registries.conf whose mirror entry for the upstream is the mirror.
cat >"$work/registries.conf" <<EOF
unqualified-search-registries = []
[[registry]]
location = "$up"
insecure = true
[[registry.mirror]]
location = "$whole"
insecure = true
EOF
pm=(env CONTAINERS_REGISTRIES_CONF="$work/registries.conf" podman --root "$work/podman/root"
  --runroot "$work/podman/run" --tmpdir "$work/podman/tmp" --storage-driver vfs
  --cgroup-manager cgroupfs --events-backend none)
podman_why=
if ! command -v podman >/dev/null; then
  podman_why="podman is not installed (scripts/setup installs it)"
elif [ "$(id -u)" != 0 ]; then
  podman_why="podman runs as root in this test, and this is user $(id -un)"
else
  mkdir -p "$work/podman/root" "$work/podman/run" "$work/podman/tmp"
  timeout 60 "${pm[@]}" info >"$work/log/podman-info.out" 2>"$work/log/podman-info.err" ||
    podman_why="podman info fails here: $(tail -n 2 "$work/log/podman-info.err" | tr '\n' ' ')"
fi
# The upstream's lib/app:v1 is the index now; podman takes this machine's
# platform from it. The mirror's store then holds the tag: the pull went
# through it.
podman_via_mirror() {
  run pm-pull "${pm[@]}" pull -q --signature-policy "$work/policy.json" "$up/lib/app:v1" || return 1
  [ -f "$storage/repositories/lib/app/_manifests/tags/v1/current/link" ] ||
    { detail="the mirror holds no lib/app:v1: podman did not pull through it"; return 1; }
}
if [ -n "$podman_why" ]; then
  echo "SKIP podman: $podman_why"
else
  check "podman with a registries.conf mirror entry pulls through the whole-registry mirror" podman_via_mirror
fi

# ---- a broken configuration fails closed ---------------------------------

stop_server
broken_config() {
  printf '{"mirrors": [{"prefix": "hub/", "upstream": "ftp://x"}]}\n' >"$work/mirrors.json"
  start_mirror || return 1
  request GET /v2/hub/lib/app/manifests/v1
  expect_status 500 || return 1
  request POST /v2/local/other/blobs/uploads/ -H 'Content-Length: 0'
  expect_status 500 || { detail="a write elsewhere: $detail"; return 1; }
  request HEAD "/v2/local/app/blobs/$layer"
  expect_status 500 || { detail="a stored blob: $detail"; return 1; }
  grep -q "registry-mirror: the mirror configuration .* is refused: mirrors\[0\].upstream is invalid" \
    "$work/server.log" || { detail="no line in the server log"; return 1; }
}
check "a broken mirror configuration: 500 for manifests, blobs and uploads, a line in the log" broken_config

finish
