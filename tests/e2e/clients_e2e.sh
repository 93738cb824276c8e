#!/usr/bin/env bash
# End-to-end test with real registry clients (Debian's skopeo and podman)
# against the registry behind the real web server (scripts/serve on a free
# loopback port, a fresh storage root):
#
#   - skopeo copies images made from random bytes (make_test_images.sh: a
#     single-platform OCI image, a Docker schema 2 image, a two-platform OCI
#     index and a Docker manifest list, the last two with --all) from local
#     layouts into the registry and back into new layouts, with
#     --preserve-digests; the copies must be byte-identical (manifests,
#     configs, layers), and the registry must serve each manifest with its
#     own bytes, media type and digest;
#   - skopeo inspect, list-tags and delete, and copies between repositories;
#   - podman (as root, vfs storage in its own folders) pulls by tag, by digest
#     and one platform of an index, pushes an image back under a new name in
#     OCI and Docker form, and the pushed images are checked through the
#     registry and pulled again.
#
# Prints one line per check and a closing "N passed, M failed"; exits
# non-zero when any check fails. A client that cannot run on this machine is
# reported with a SKIP line that says why.
#
#   tests/e2e/clients_e2e.sh     (BUILD_DIR selects the build; default ./build)
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

mkdir -p "$work/back"
require_tools skopeo jq

# ---- images and server ---------------------------------------------------

images=$work/images
make_images() {
  "$top/tests/e2e/make_test_images.sh" "$images" >"$work/digests" 2>"$work/log/images.err" && return 0
  detail=$(tail -n 3 "$work/log/images.err" | tr '\n' ' ')
  return 1
}
check "test images made from random bytes" make_images
[ -s "$work/digests" ] || finish
digest_of() { awk -v n="$1" '$1 == n {print $2}' "$work/digests"; }

check "server starts on a free loopback port" start_server
[ -n "$server_pid" ] || finish
reg=127.0.0.1:$port
echo "     (port $port)"

# The client commands, as arrays that timeout can run ($sk: lib.sh).
push=("${sk[@]}" copy --retry-times 0 --preserve-digests --dest-tls-verify=false)
pull=("${sk[@]}" copy --retry-times 0 --preserve-digests --src-tls-verify=false)

# The file holding the bytes of manifest DIGEST in test layout NAME: a blob
# of an OCI layout; in a dir: layout, a list's member HEX.manifest.json or
# else the top manifest.json.
manifest_file() {
  local layout=$images/$1 hex=${2#sha256:}
  if [ -f "$layout/oci-layout" ]; then
    echo "$layout/blobs/sha256/$hex"
  elif [ -f "$layout/$hex.manifest.json" ]; then
    echo "$layout/$hex.manifest.json"
  else
    echo "$layout/manifest.json"
  fi
}
media_type_of() { jq -r .mediaType "$1"; }

accept='application/vnd.oci.image.manifest.v1+json, application/vnd.oci.image.index.v1+json, application/vnd.docker.distribution.manifest.v2+json, application/vnd.docker.distribution.manifest.list.v2+json'

# served_as REPO REFERENCE FILE: GET of the manifest answers 200 with FILE's
# bytes, FILE's media type and digest, and a matching Content-Length; HEAD
# answers the same headers.
served_as() {
  local repo=$1 ref=$2 file=$3 digest
  digest=sha256:$(sha256sum <"$file" | cut -c1-64)
  local method
  for method in GET HEAD; do
    request "$method" "/v2/$repo/manifests/$ref" -H "Accept: $accept"
    expect_status 200 &&
      expect_header Content-Type "$(media_type_of "$file")" &&
      expect_header Docker-Content-Digest "$digest" &&
      expect_header Content-Length "$(stat -c %s "$file")" &&
      { [ "$method" = HEAD ] || expect_body_file "$file"; } || {
      detail="$method /v2/$repo/manifests/$ref: $detail"
      return 1
    }
  done
}

# same_tree A B: both folders hold the same files with the same bytes.
same_tree() {
  local out
  out=$(diff -r "$1" "$2" 2>&1) && return 0
  detail=$(head -n 3 <<<"$out" | tr '\n' ' ')
  return 1
}

# ---- skopeo: push each image ---------------------------------------------

oci_d=$(digest_of oci)
docker_d=$(digest_of docker)
index_d=$(digest_of index)

# push_image NAME SOURCE REPO [skopeo options]: skopeo copy into REPO:v1; the
# digest skopeo reports is the source's, and the registry serves the
# manifest's own bytes by tag and by digest.
push_image() {
  local name=$1 source=$2 repo=$3
  shift 3
  local digest
  digest=$(digest_of "$name")
  run "push-$name" "${push[@]}" "$@" --digestfile "$work/push-$name.digest" "$source" "docker://$reg/$repo:v1" ||
    return 1
  [ "$(cat "$work/push-$name.digest")" = "$digest" ] || {
    detail="skopeo reports digest $(cat "$work/push-$name.digest"), expected $digest"
    return 1
  }
  local file
  file=$(manifest_file "$name" "$digest")
  served_as "$repo" v1 "$file" && served_as "$repo" "$digest" "$file"
}
check "skopeo copy OCI image into the registry; manifest served byte-identical" \
  push_image oci "oci:$images/oci:v1" test/oci
# 'blobs' and 'manifests' are valid repository-name components.
check "skopeo copy Docker schema 2 image into clients/blobs/manifests/docker" \
  push_image docker "dir:$images/docker" clients/blobs/manifests/docker
check "skopeo copy --all two-platform OCI index into the registry" \
  push_image index "oci:$images/index:v1" test/index --all
check "skopeo copy --all two-platform Docker manifest list into the registry" \
  push_image list "dir:$images/list" test/list --all

# children_served NAME REPO: each manifest of the index or list is served by
# digest with its own bytes and media type.
children_served() {
  local name=$1 repo=$2 top child
  top=$(manifest_file "$name" "$(digest_of "$name")")
  for child in $(jq -r '.manifests[].digest' "$top"); do
    served_as "$repo" "$child" "$(manifest_file "$name" "$child")" || return 1
  done
}
check "each platform manifest of the OCI index served by digest" children_served index test/index
check "each platform manifest of the Docker list served by digest" children_served list test/list

# ---- skopeo: pull each image back ----------------------------------------

pull_oci() {
  run pull-oci "${pull[@]}" "docker://$reg/test/oci:v1" "oci:$work/back/oci:v1" &&
    same_tree "$images/oci/blobs" "$work/back/oci/blobs" &&
    [ "$(jq -r '.manifests[0].digest' "$work/back/oci/index.json")" = "$oci_d" ] ||
    { detail=${detail:-"index.json of the copy names another digest"}; return 1; }
}
check "skopeo copy OCI image back by tag: every blob byte-identical" pull_oci

pull_docker() {
  run pull-docker "${pull[@]}" "docker://$reg/clients/blobs/manifests/docker@$docker_d" "dir:$work/back/docker" &&
    same_tree "$images/docker" "$work/back/docker"
}
check "skopeo copy Docker image back by digest: manifest and blobs byte-identical" pull_docker

pull_index() {
  run pull-index "${pull[@]}" --all "docker://$reg/test/index:v1" "oci:$work/back/index:v1" &&
    same_tree "$images/index/blobs" "$work/back/index/blobs" &&
    [ "$(jq -r '.manifests[0].digest' "$work/back/index/index.json")" = "$index_d" ] ||
    { detail=${detail:-"index.json of the copy names another digest"}; return 1; }
}
check "skopeo copy --all OCI index back: index, both images, every blob byte-identical" pull_index

pull_list() {
  run pull-list "${pull[@]}" --all "docker://$reg/test/list:v1" "dir:$work/back/list" &&
    same_tree "$images/list" "$work/back/list"
}
check "skopeo copy --all Docker manifest list back: byte-identical" pull_list

# ---- skopeo inspect ------------------------------------------------------

inspect_oci() {
  local m=$images/oci/blobs/sha256/${oci_d#sha256:} config
  config=$images/oci/blobs/sha256/$(jq -r '.config.digest | ltrimstr("sha256:")' "$m")
  run inspect-oci "${sk[@]}" inspect --tls-verify=false "docker://$reg/test/oci:v1" || return 1
  local got want
  got=$(jq -c '[.Digest, .Architecture, .Os, .Layers, .Labels["test.nonce"]]' "$work/log/inspect-oci.out")
  want=$(jq -c --arg d "$oci_d" --slurpfile c "$config" \
    '[$d, "amd64", "linux", [.layers[].digest], $c[0].config.Labels["test.nonce"]]' "$m")
  [ "$got" = "$want" ] || { detail="inspect gave $got, expected $want"; return 1; }
  run inspect-oci-config "${sk[@]}" inspect --tls-verify=false --config --raw "docker://$reg/test/oci:v1" &&
    cmp -s "$work/log/inspect-oci-config.out" "$config" ||
    { detail=${detail:-"inspect --config --raw differs from the config blob"}; return 1; }
}
check "skopeo inspect: digest, platform, layers, config label, raw config" inspect_oci

inspect_index() {
  local top=$images/index/blobs/sha256/${index_d#sha256:} arm64 got want
  run inspect-index-raw "${sk[@]}" inspect --tls-verify=false --raw "docker://$reg/test/index:v1" &&
    cmp -s "$work/log/inspect-index-raw.out" "$top" ||
    { detail=${detail:-"inspect --raw differs from the index"}; return 1; }
  arm64=$(jq -r '.manifests[] | select(.platform.architecture == "arm64") | .digest' "$top")
  run inspect-index "${sk[@]}" --override-arch arm64 --override-os linux inspect --tls-verify=false \
    "docker://$reg/test/index:v1" || return 1
  got=$(jq -c '[.Architecture, .Layers]' "$work/log/inspect-index.out")
  want=$(jq -c '["arm64", [.layers[].digest]]' "$images/index/blobs/sha256/${arm64#sha256:}")
  [ "$got" = "$want" ] || { detail="inspect gave $got, expected $want"; return 1; }
}
check "skopeo inspect of the index: raw index, and the arm64 image's layers" inspect_index

# ---- copies inside the registry, list-tags, catalog ----------------------

# A copy to another tag of the same repository and to another repository:
# the blobs are there already (skopeo asks with HEAD, or mounts).
copy_inside() {
  run copy-v2 "${sk[@]}" copy --retry-times 0 --preserve-digests --src-tls-verify=false --dest-tls-verify=false \
    "docker://$reg/test/oci:v1" "docker://$reg/test/oci:v2" &&
    run copy-latest "${sk[@]}" copy --retry-times 0 --preserve-digests --src-tls-verify=false --dest-tls-verify=false \
      "docker://$reg/test/oci:v1" "docker://$reg/test/oci:latest" &&
    run copy-other "${sk[@]}" copy --retry-times 0 --preserve-digests --src-tls-verify=false --dest-tls-verify=false \
      "docker://$reg/test/oci:v1" "docker://$reg/other/oci:1.0" &&
    served_as test/oci v2 "$images/oci/blobs/sha256/${oci_d#sha256:}" &&
    served_as other/oci 1.0 "$images/oci/blobs/sha256/${oci_d#sha256:}"
}
check "skopeo copy registry to registry: new tag and new repository" copy_inside

list_tags() {
  run list-tags "${sk[@]}" list-tags --tls-verify=false "docker://$reg/test/oci" || return 1
  local got
  got=$(jq -c '[.Repository, .Tags]' "$work/log/list-tags.out")
  [ "$got" = "[\"$reg/test/oci\",[\"latest\",\"v1\",\"v2\"]]" ] ||
    { detail="list-tags gave $got"; return 1; }
}
check "skopeo list-tags: latest, v1, v2 in byte order" list_tags

catalog() {
  request GET /v2/_catalog
  expect_status 200 || return 1
  local got want='["clients/blobs/manifests/docker","other/oci","test/index","test/list","test/oci"]'
  got=$(jq -c .repositories "$work/body")
  [ "$got" = "$want" ] || { detail="catalog $got, expected $want"; return 1; }
}
check "catalog lists every pushed repository, sorted" catalog

# ---- skopeo delete -------------------------------------------------------

# Deleting test/oci:v1 removes the manifest it names (so every tag of it in
# that repository); the same image in other/oci and the shared blobs stay.
delete_image() {
  run delete "${sk[@]}" delete --tls-verify=false "docker://$reg/test/oci:v1" || return 1
  local ref
  for ref in v1 v2 latest "$oci_d"; do
    request GET "/v2/test/oci/manifests/$ref" -H "Accept: $accept"
    expect_status 404 || { detail="GET /v2/test/oci/manifests/$ref after delete: $detail"; return 1; }
  done
  if run inspect-deleted "${sk[@]}" inspect --tls-verify=false "docker://$reg/test/oci:v1"; then
    detail="skopeo inspect still finds test/oci:v1"
    return 1
  fi
  # list-tags may fail for a repository without tags; it must not list them.
  if run list-tags-deleted "${sk[@]}" list-tags --tls-verify=false "docker://$reg/test/oci" &&
    [ "$(jq -c .Tags "$work/log/list-tags-deleted.out")" != "[]" ]; then
    detail="list-tags after delete: $(jq -c .Tags "$work/log/list-tags-deleted.out")"
    return 1
  fi
  detail=
  rm -rf "$work/back/other"
  run pull-other "${pull[@]}" "docker://$reg/other/oci:1.0" "oci:$work/back/other:v1" &&
    same_tree "$images/oci/blobs" "$work/back/other/blobs"
}
check "skopeo delete: image gone by every tag and digest; other repository intact" delete_image

# ---- podman --------------------------------------------------------------

# Podman as root with vfs storage in its own folders; no systemd here, so
# cgroupfs and no event journal; registries.conf of our own.
printf 'unqualified-search-registries = []\n' >"$work/registries.conf"
export CONTAINERS_REGISTRIES_CONF=$work/registries.conf
pm=(podman --root "$work/podman/root" --runroot "$work/podman/run" --tmpdir "$work/podman/tmp"
  --storage-driver vfs --cgroup-manager cgroupfs --events-backend none)
podman_why=
if ! command -v podman >/dev/null; then
  podman_why="podman is not installed (scripts/setup installs it)"
elif [ "$(id -u)" != 0 ]; then
  podman_why="podman runs as root in this test, and this is user $(id -un)"
else
  mkdir -p "$work/podman/root" "$work/podman/run" "$work/podman/tmp"
  if ! timeout 60 "${pm[@]}" info >"$work/log/podman-info.out" 2>"$work/log/podman-info.err"; then
    podman_why="podman info fails here: $(tail -n 2 "$work/log/podman-info.err" | tr '\n' ' ')"
  fi
fi

# The image id podman gives an image is its config's digest.
config_of() { jq -r '.config.digest | ltrimstr("sha256:")' "$1"; }

podman_pull_tag() {
  run pm-pull-oci "${pm[@]}" pull -q --tls-verify=false --signature-policy "$work/policy.json" "$reg/other/oci:1.0" ||
    return 1
  run pm-inspect-oci "${pm[@]}" image inspect --format '{{.Id}} {{.Digest}}' "$reg/other/oci:1.0" || return 1
  local want
  want="$(config_of "$images/oci/blobs/sha256/${oci_d#sha256:}") $oci_d"
  [ "$(cat "$work/log/pm-inspect-oci.out")" = "$want" ] ||
    { detail="podman image inspect gave '$(cat "$work/log/pm-inspect-oci.out")', expected '$want'"; return 1; }
}

podman_pull_digest() {
  run pm-pull-docker "${pm[@]}" pull -q --tls-verify=false --signature-policy "$work/policy.json" \
    "$reg/clients/blobs/manifests/docker@$docker_d" || return 1
  local id
  id=$(tr -d '\n' <"$work/log/pm-pull-docker.out")
  [ "$id" = "$(config_of "$images/docker/manifest.json")" ] ||
    { detail="podman pulled image id $id"; return 1; }
}

podman_pull_platform() {
  local top=$images/index/blobs/sha256/${index_d#sha256:} arm64 id
  arm64=$(jq -r '.manifests[] | select(.platform.architecture == "arm64") | .digest' "$top")
  run pm-pull-index "${pm[@]}" pull -q --tls-verify=false --signature-policy "$work/policy.json" --arch arm64 \
    "$reg/test/index:v1" || return 1
  id=$(tr -d '\n' <"$work/log/pm-pull-index.out")
  [ "$id" = "$(config_of "$images/index/blobs/sha256/${arm64#sha256:}")" ] ||
    { detail="podman pulled image id $id, not the arm64 image's"; return 1; }
}

# layers_match DIR CONFIG: the image in dir: layout DIR has config bytes
# equal to CONFIG, and each layer unpacks to the diff_id that CONFIG lists
# for it.
layers_match() {
  local dir=$1 config=$2 m=$1/manifest.json i n layer
  cmp -s "$dir/$(config_of "$m")" "$config" ||
    { detail="config differs from the original"; return 1; }
  n=$(jq '.layers | length' "$m")
  [ "$n" = "$(jq '.rootfs.diff_ids | length' "$config")" ] || { detail="$n layers"; return 1; }
  for ((i = 0; i < n; i++)); do
    layer=$(jq -r ".layers[$i].digest | ltrimstr(\"sha256:\")" "$m")
    [ "sha256:$(gzip -dc "$dir/$layer" | sha256sum | cut -c1-64)" = \
      "$(jq -r ".rootfs.diff_ids[$i]" "$config")" ] || { detail="layer $i unpacks to another tar"; return 1; }
  done
}

# podman_push FORMAT REPO MEDIATYPE: podman pushes the pulled OCI image under
# a new name in FORMAT; the registry serves the manifest podman reports with
# MEDIATYPE, skopeo copies it out with the original config and the original
# layer contents, and podman pulls it again by digest after removing every
# local image.
podman_push() {
  local format=$1 repo=$2 media=$3 d
  local config
  config=$images/oci/blobs/sha256/$(config_of "$images/oci/blobs/sha256/${oci_d#sha256:}")
  run pm-tag-"$format" "${pm[@]}" tag "$(basename "$config")" "$reg/$repo:p1" &&
    run pm-push-"$format" "${pm[@]}" push --tls-verify=false --signature-policy "$work/policy.json" \
      --format "$format" --digestfile "$work/pm-push-$format.digest" "$reg/$repo:p1" || return 1
  d=$(cat "$work/pm-push-$format.digest")
  request GET "/v2/$repo/manifests/p1" -H "Accept: $accept"
  expect_status 200 && expect_header Content-Type "$media" && expect_header Docker-Content-Digest "$d" &&
    [ "sha256:$(sha256sum <"$work/body" | cut -c1-64)" = "$d" ] ||
    { detail="GET /v2/$repo/manifests/p1: ${detail:-body is not the digest podman reported}"; return 1; }
  rm -rf "$work/back/$format"
  run pm-check-"$format" "${sk[@]}" copy --retry-times 0 --src-tls-verify=false \
    "docker://$reg/$repo:p1" "dir:$work/back/$format" &&
    layers_match "$work/back/$format" "$config" || return 1
  # Remove every local image, so that the pull fetches every blob again.
  run pm-rmi-"$format" "${pm[@]}" rmi --all --force &&
    run pm-repull-"$format" "${pm[@]}" pull -q --tls-verify=false --signature-policy "$work/policy.json" "$reg/$repo@$d" &&
    [ "$(tr -d '\n' <"$work/log/pm-repull-$format.out")" = "$(basename "$config")" ] ||
    { detail=${detail:-"podman pulled another image id back"}; return 1; }
}

if [ -n "$podman_why" ]; then
  echo "SKIP podman: $podman_why"
else
  check "podman pull by tag: image id is the config digest, manifest digest kept" podman_pull_tag
  check "podman pull Docker image by digest" podman_pull_digest
  check "podman pull --arch arm64 from the index gets the arm64 image" podman_pull_platform
  check "podman push as OCI under a new name; checked through the registry and pulled again" \
    podman_push oci pushed/by-podman application/vnd.oci.image.manifest.v1+json
  check "podman push as Docker schema 2 under a new name; checked through the registry and pulled again" \
    podman_push v2s2 pushed/by-podman-docker application/vnd.docker.distribution.manifest.v2+json
fi

finish
