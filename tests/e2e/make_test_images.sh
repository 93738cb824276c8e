#!/usr/bin/env bash
# Makes container images from random bytes, as local image layouts that
# skopeo reads (no network, no registry): OCI images as OCI image layouts
# (skopeo's oci: transport), Docker images in skopeo's dir: layout, since
# skopeo's oci: transport takes only OCI media types:
#
#   tests/e2e/make_test_images.sh OUTDIR
#       OUTDIR/oci     a single-platform OCI image (OCI config, two gzip layers)
#                      as oci:OUTDIR/oci:v1
#       OUTDIR/docker  a Docker image manifest v2 schema 2 (Docker media types
#                      for the manifest, config and two gzip layers) as
#                      dir:OUTDIR/docker
#       OUTDIR/index   an OCI image index of two images, linux/amd64 and
#                      linux/arm64, each with its own config and layers, as
#                      oci:OUTDIR/index:v1
#       OUTDIR/list    a Docker manifest list of two Docker schema 2 images,
#                      linux/amd64 and linux/arm64, as dir:OUTDIR/list
#
#   tests/e2e/make_test_images.sh --big MIB OUTDIR
#       OUTDIR/big     a single-platform OCI image with one gzip layer holding
#                      one file of MIB MiB of random bytes (random bytes do not
#                      compress, so the layer blob is a little over MIB MiB),
#                      as oci:OUTDIR/big:v1
#
# Every blob is named by its SHA-256, every descriptor carries the blob's
# exact size, and each config lists the layers' uncompressed digests
# (diff_ids), so clients that verify images (skopeo, podman) accept them.
# Prints one line "NAME DIGEST" per image: the digest of its manifest or
# index (the one that tag v1 names, or manifest.json of a dir: layout).
set -euo pipefail

die() { echo "make_test_images: $*" >&2; exit 2; }
usage() { die "usage: $0 [--big MIB] OUTDIR"; }

big=
if [ "${1:-}" = --big ]; then
  [ $# -eq 3 ] || usage
  big=$2
  case $big in '' | *[!0-9]* | 0*) die "MIB must be a positive number, not '$big'" ;; esac
  shift 2
fi
[ $# -eq 1 ] || usage
out=$1
command -v jq >/dev/null || die "jq is missing (scripts/setup installs it)"
mkdir -p "$out"
out=$(cd "$out" && pwd)
scratch=$(mktemp -d "$out/.scratch.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

OCI_MANIFEST=application/vnd.oci.image.manifest.v1+json
OCI_INDEX=application/vnd.oci.image.index.v1+json
OCI_CONFIG=application/vnd.oci.image.config.v1+json
OCI_LAYER=application/vnd.oci.image.layer.v1.tar+gzip
DOCKER_MANIFEST=application/vnd.docker.distribution.manifest.v2+json
DOCKER_LIST=application/vnd.docker.distribution.manifest.list.v2+json
DOCKER_CONFIG=application/vnd.docker.container.image.v1+json
DOCKER_LAYER=application/vnd.docker.image.rootfs.diff.tar.gzip

sha256_of() { sha256sum "$1" | cut -c1-64; }

# new_layout DIR: an empty OCI image layout.
new_layout() {
  rm -rf "$1"
  mkdir -p "$1/blobs/sha256"
  printf '{"imageLayoutVersion":"1.0.0"}\n' >"$1/oci-layout"
}

# add_blob LAYOUT FILE MEDIATYPE: moves FILE into the layout's blobs under its
# digest and prints its descriptor (compact JSON).
add_blob() {
  local layout=$1 file=$2 media=$3 hex size
  hex=$(sha256_of "$file")
  size=$(stat -c %s "$file")
  mv -f "$file" "$layout/blobs/sha256/$hex"
  jq -cn --arg m "$media" --arg d "sha256:$hex" --argjson s "$size" \
    '{mediaType: $m, digest: $d, size: $s}'
}

# make_layer LAYOUT MEDIATYPE KIB...: a gzip tar layer holding one file of
# random bytes per KIB argument (sizes in KiB); prints its descriptor and, on
# the next line, the digest of the uncompressed tar (its diff_id).
make_layer() {
  local layout=$1 media=$2
  shift 2
  local dir i=0 kib
  dir=$(mktemp -d "$scratch/layer.XXXXXX")
  mkdir -p "$dir/root/data"
  for kib in "$@"; do
    head -c $((kib * 1024)) /dev/urandom >"$dir/root/data/file$i.bin"
    i=$((i + 1))
  done
  # A reproducible tar: sorted names, fixed owner and times.
  tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 \
    -cf "$dir/layer.tar" -C "$dir/root" data
  local diff_id
  diff_id=sha256:$(sha256_of "$dir/layer.tar")
  gzip -1 -n -c "$dir/layer.tar" >"$dir/layer.tar.gz"
  add_blob "$layout" "$dir/layer.tar.gz" "$media"
  echo "$diff_id"
  rm -rf "$dir"
}

# make_image LAYOUT KIND ARCH LAYER_KIB...: an image of one layer per
# LAYER_KIB argument (a comma-separated list of file sizes in KiB); KIND is
# oci or docker. Adds config, layers and manifest to the layout and prints
# the manifest's descriptor with its platform.
make_image() {
  local layout=$1 kind=$2 arch=$3
  shift 3
  local manifest_type config_type layer_type
  if [ "$kind" = oci ]; then
    manifest_type=$OCI_MANIFEST config_type=$OCI_CONFIG layer_type=$OCI_LAYER
  else
    manifest_type=$DOCKER_MANIFEST config_type=$DOCKER_CONFIG layer_type=$DOCKER_LAYER
  fi
  local layers=() diff_ids=() spec out
  for spec in "$@"; do
    # shellcheck disable=SC2086 # the sizes are split on purpose
    out=$(make_layer "$layout" "$layer_type" ${spec//,/ })
    layers+=("$(sed -n 1p <<<"$out")")
    diff_ids+=("$(sed -n 2p <<<"$out")")
  done
  local config=$scratch/config.json
  # A random label makes every config, and so every image, unique.
  jq -cn --arg arch "$arch" --arg nonce "$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')" \
    --args '{
      created: "2024-01-01T00:00:00Z",
      architecture: $arch,
      os: "linux",
      config: {Env: ["PATH=/usr/bin:/bin"], Labels: {"test.nonce": $nonce}},
      rootfs: {type: "layers", diff_ids: $ARGS.positional},
      history: [$ARGS.positional[] | {created: "2024-01-01T00:00:00Z", created_by: "make_test_images.sh"}]
    }' "${diff_ids[@]}" >"$config"
  local config_desc manifest=$scratch/manifest.json
  config_desc=$(add_blob "$layout" "$config" "$config_type")
  printf '%s\n' "${layers[@]}" | jq -cs --arg m "$manifest_type" --argjson c "$config_desc" \
    '{schemaVersion: 2, mediaType: $m, config: $c, layers: .}' >"$manifest"
  add_blob "$layout" "$manifest" "$manifest_type" |
    jq -c --arg arch "$arch" '. + {platform: {architecture: $arch, os: "linux"}}'
}

# tag LAYOUT DESCRIPTOR: index.json of the layout names DESCRIPTOR as v1.
tag() {
  jq -n --argjson d "$2" \
    '{schemaVersion: 2, manifests: [$d | del(.platform) |
      .annotations = {"org.opencontainers.image.ref.name": "v1"}]}' >"$1/index.json"
}

# make_index LAYOUT KIND: a two-platform index (oci: OCI image index; docker:
# Docker manifest list) over two images of that kind.
make_index() {
  local layout=$1 kind=$2 media amd64 arm64 index=$scratch/index.json
  amd64=$(make_image "$layout" "$kind" amd64 32,3 48)
  arm64=$(make_image "$layout" "$kind" arm64 40 24,5)
  if [ "$kind" = oci ]; then media=$OCI_INDEX; else media=$DOCKER_LIST; fi
  jq -cn --arg m "$media" --argjson a "$amd64" --argjson b "$arm64" \
    '{schemaVersion: 2, mediaType: $m, manifests: [$a, $b]}' >"$index"
  add_blob "$layout" "$index" "$media"
}

report() { echo "$1 $(jq -r .digest <<<"$2")"; }

# to_dir LAYOUT DESCRIPTOR: turns the OCI layout into skopeo's dir: layout,
# in place: blobs named by their hex digest, the manifest (or list) that
# DESCRIPTOR names as manifest.json, and each manifest of a list as
# HEX.manifest.json.
to_dir() {
  local layout=$1 desc=$2 top child
  top=$(jq -r '.digest | ltrimstr("sha256:")' <<<"$desc")
  mv "$layout/blobs/sha256/"* "$layout/"
  rm -rf "$layout/blobs" "$layout/oci-layout" "$layout/index.json"
  for child in $(jq -r '.manifests[]?.digest | ltrimstr("sha256:")' "$layout/$top"); do
    mv "$layout/$child" "$layout/$child.manifest.json"
  done
  mv "$layout/$top" "$layout/manifest.json"
  printf 'Directory Transport Version: 1.1\n' >"$layout/version"
}

if [ -n "$big" ]; then
  new_layout "$out/big"
  d=$(make_image "$out/big" oci amd64 $((big * 1024)))
  tag "$out/big" "$d"
  report big "$d"
  exit 0
fi

new_layout "$out/oci"
d=$(make_image "$out/oci" oci amd64 64,7 8200)
tag "$out/oci" "$d"
report oci "$d"

new_layout "$out/docker"
d=$(make_image "$out/docker" docker amd64 96 17,33)
to_dir "$out/docker" "$d"
report docker "$d"

new_layout "$out/index"
d=$(make_index "$out/index" oci)
tag "$out/index" "$d"
report index "$d"

new_layout "$out/list"
d=$(make_index "$out/list" docker)
to_dir "$out/list" "$d"
report list "$d"
