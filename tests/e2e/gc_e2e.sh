#!/usr/bin/env bash
# Garbage collection while the registry serves, through the real lighttpd:
# `regstore gc --delete-untagged` runs in a loop with a grace period of three
# seconds (longer than any one push takes here), while pushers push images (a base layer shared by all, which they
# skip when a HEAD finds it, as clients do, then a layer and a config of
# their own, then the manifest under a tag), a deleter removes the tags of
# every other image so that the collector has manifests and blobs to remove,
# and pullers pull the images whose push completed and whose tags stay. No
# such pull may fail, every gc run must succeed, and the store's invariants
# hold afterwards. A push may be refused (400 MANIFEST_BLOB_UNKNOWN) when
# the collector took a blob it had skipped (or one it uploaded more than the
# grace period before); it is then pushed again whole. At the end, an
# orphan blob pushed a moment before a run with `--grace 0s` must go.
# Runs for GC_SECONDS (default 15).
#
#   tests/e2e/gc_e2e.sh               (BUILD_DIR selects the build; default ./build)
set -uo pipefail
# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

regstore=$build_dir/tools/regstore
check_store=$build_dir/tests/check_store
seconds=${GC_SECONDS:-15}
for program in "$regstore" "$check_store"; do
  [ -x "$program" ] || { echo "FAIL setup: $program is missing; build first"; finish; }
done

check "server starts on a free loopback port" start_server
[ -n "$server_pid" ] || finish
echo "     (port $port, $seconds s)"
base=http://127.0.0.1:$port
oci=application/vnd.oci.image.manifest.v1+json
sha() { echo "sha256:$(sha256sum "$1" | cut -c1-64)"; }
head -c 150000 /dev/urandom >"$work/base"
dbase=$(sha "$work/base")
deadline=$((SECONDS + seconds))
: >"$work/problems"
: >"$work/keep"
: >"$work/deletable"

# code METHOD URL [curl options...]: the status of the request.
code() {
  local method=$1 url=$2
  shift 2
  curl -s -o /dev/null -w '%{http_code}' -X "$method" "$@" "$base$url"
}

# push_blob REPO FILE: a monolithic POST; 0 when stored.
push_blob() {
  [ "$(code POST "/v2/$1/blobs/uploads/?digest=$(sha "$2")" --data-binary @"$2" \
    -H 'Content-Type: application/octet-stream')" = 201 ]
}

# pusher N: pushes images until the deadline; tags keep-N-i and del-N-i.
pusher() {
  local n=$1 i=0 kind dir tag status tries
  while [ "$SECONDS" -lt "$deadline" ]; do
    i=$((i + 1))
    kind=keep
    [ $((i % 2)) -eq 0 ] && kind=del
    tag=$kind-$n-$i
    dir=$work/img-$n-$i
    mkdir -p "$dir"
    head -c $((1000 + RANDOM)) /dev/urandom >"$dir/layer"
    printf '{"architecture":"amd64","image":"%s"}' "$tag" >"$dir/config"
    printf '{"schemaVersion":2,"mediaType":"%s","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%d},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":%d},{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":%d}]}' \
      "$oci" "$(sha "$dir/config")" "$(wc -c <"$dir/config")" "$dbase" "$(wc -c <"$work/base")" \
      "$(sha "$dir/layer")" "$(wc -c <"$dir/layer")" >"$dir/manifest"
    for tries in 1 2 3 4 5; do
      # The shared base is skipped when it is there, as clients do.
      if [ "$(code HEAD "/v2/app$n/blobs/$dbase" --head)" != 200 ]; then
        push_blob "app$n" "$work/base" || { echo "push of the base failed" >>"$work/problems"; continue; }
      fi
      push_blob "app$n" "$dir/layer" && push_blob "app$n" "$dir/config" ||
        { echo "push of a blob failed" >>"$work/problems"; continue; }
      status=$(code PUT "/v2/app$n/manifests/$tag" -H "Content-Type: $oci" --data-binary @"$dir/manifest")
      [ "$status" = 201 ] && break
      echo "$status" >>"$work/refused.$n"
    done
    if [ "$status" != 201 ]; then
      echo "push of $tag: status $status five times" >>"$work/problems"
      continue
    fi
    echo "app$n $tag $(sha "$dir/manifest") $dir" >>"$work/$([ $kind = keep ] && echo keep || echo deletable)"
  done
}

# deleter: removes the tags of the deletable images once pushed.
deleter() {
  local line repo tag status done_count=0
  while [ "$SECONDS" -lt "$deadline" ]; do
    line=$(sed -n "$((done_count + 1))p" "$work/deletable")
    if [ -z "$line" ]; then
      sleep 0.2
      continue
    fi
    read -r repo tag _ _ <<<"$line"
    status=$(code DELETE "/v2/$repo/manifests/$tag")
    [ "$status" = 202 ] || echo "DELETE of $repo:$tag: status $status" >>"$work/problems"
    done_count=$((done_count + 1))
  done
}

# puller N: pulls random completed images that stay tagged and checks
# every byte.
puller() {
  local n=$1 pulls=0 lines line repo tag digest dir body f
  body=$work/pull.$n
  while [ "$SECONDS" -lt "$deadline" ]; do
    lines=$(wc -l <"$work/keep")
    if [ "$lines" -eq 0 ]; then
      sleep 0.1
      continue
    fi
    line=$(sed -n "$((RANDOM % lines + 1))p" "$work/keep")
    read -r repo tag digest dir <<<"$line"
    if [ "$(curl -s -o "$body" -w '%{http_code}' "$base/v2/$repo/manifests/$tag")" != 200 ] ||
      [ "$(sha "$body")" != "$digest" ]; then
      echo "pull of $repo:$tag: the manifest" >>"$work/problems"
      continue
    fi
    for f in "$work/base" "$dir/layer" "$dir/config"; do
      if [ "$(curl -s -o "$body" -w '%{http_code}' "$base/v2/$repo/blobs/$(sha "$f")")" != 200 ] ||
        ! cmp -s "$body" "$f"; then
        echo "pull of $repo:$tag: blob $(basename "$f")" >>"$work/problems"
      fi
    done
    pulls=$((pulls + 1))
  done
  echo "$pulls" >"$work/pulls.$n"
}

# collector: gc in a loop; every run must succeed.
collector() {
  local runs=0
  while [ "$SECONDS" -lt "$deadline" ]; do
    if ! "$regstore" --root "$storage" gc --delete-untagged --grace 3s >"$work/gc.out" 2>&1; then
      echo "gc failed: $(tail -n 1 "$work/gc.out")" >>"$work/problems"
    fi
    grep -h '^removed [a-z]* ' "$work/gc.out" >>"$work/removed"
    runs=$((runs + 1))
  done
  echo "$runs" >"$work/gc.runs"
}

: >"$work/removed"
pids=()
pusher 1 & pids+=($!)
pusher 2 & pids+=($!)
deleter & pids+=($!)
puller 1 & pids+=($!)
puller 2 & pids+=($!)
collector & pids+=($!)
wait "${pids[@]}"

pulls=$(cat "$work"/pulls.* | awk '{ s += $1 } END { print s + 0 }')
refused=$(cat "$work"/refused.* 2>/dev/null | wc -l)
echo "     ($(wc -l <"$work/keep") images kept and $(wc -l <"$work/deletable") untagged;" \
  "$pulls pulls checked; $(cat "$work/gc.runs") gc runs removed" \
  "$(grep -c '^removed blob' "$work/removed") blobs and $(grep -c '^removed manifest' "$work/removed") manifests;" \
  "$refused pushes refused and pushed again)"

no_problems() {
  [ ! -s "$work/problems" ] && return 0
  detail="$(sort "$work/problems" | uniq -c | head -n 5 | tr '\n' ';')"
  return 1
}
check "no pull of a completely pushed tag failed; every gc run succeeded" no_problems
check "pulls were checked" eval '[ "$pulls" -gt 0 ]'
check "the collector removed manifests and blobs meanwhile" eval \
  'grep -q "^removed manifest" "$work/removed" && grep -q "^removed blob" "$work/removed"'

# Once the pushes are over, the tags the deleter did not reach go too, and a
# final collection takes every untagged image.
while read -r repo tag _ _; do
  status=$(code DELETE "/v2/$repo/manifests/$tag")
  [ "$status" = 202 ] || [ "$status" = 404 ] || echo "DELETE of $repo:$tag: status $status" >>"$work/problems"
done <"$work/deletable"
sleep 4
check "a final gc succeeds" eval '"$regstore" --root "$storage" gc --delete-untagged --grace 3s >"$work/gc.out" 2>&1'
every_kept_image_whole() {
  local repo tag digest dir f
  while read -r repo tag digest dir; do
    request GET "/v2/$repo/manifests/$tag"
    expect_status 200 || { detail="$repo:$tag: $detail"; return 1; }
    for f in "$work/base" "$dir/layer" "$dir/config"; do
      request GET "/v2/$repo/blobs/$(sha "$f")"
      expect_status 200 && expect_body_file "$f" || { detail="$repo:$tag: $detail"; return 1; }
    done
  done <"$work/keep"
}
check "every kept image pulls whole afterwards" every_kept_image_whole
no_untagged_left() {
  local repo tag digest dir
  while read -r repo tag digest dir; do
    request GET "/v2/$repo/manifests/$digest"
    expect_status 404 || { detail="$repo@$digest: $detail"; return 1; }
  done <"$work/deletable"
}
check "no untagged image is left" no_untagged_left

# Without grace, an orphan blob pushed a moment before (within the same
# second, as a rule) goes at once, and every kept image stays whole.
orphan_goes_without_grace() {
  local digest
  head -c 4000 /dev/urandom >"$work/orphan"
  digest=$(sha "$work/orphan")
  push_blob late "$work/orphan" || { detail="the push of the orphan failed"; return 1; }
  "$regstore" --root "$storage" gc --grace 0s >"$work/gc0.out" 2>&1 ||
    { detail="gc: $(tail -n 1 "$work/gc0.out")"; return 1; }
  grep -q "^removed blob $digest " "$work/gc0.out" ||
    { detail="not removed: $(tail -n 1 "$work/gc0.out")"; return 1; }
  [ "$(code HEAD "/v2/late/blobs/$digest")" = 404 ] || { detail="HEAD still finds it"; return 1; }
}
check "an orphan blob pushed a moment before goes at once with --grace 0s" orphan_goes_without_grace
check "every kept image pulls whole after it" every_kept_image_whole
stop_server
check "the store's invariants hold; fsck finds it sound" eval '"$check_store" "$storage" >"$work/check" 2>&1 &&
  "$regstore" --root "$storage" fsck >"$work/fsck" 2>&1 || { detail=$(cat "$work/check" "$work/fsck" | head -c 600); false; }'
finish
