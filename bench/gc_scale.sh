#!/usr/bin/env bash
# Measures regstore's store-wide commands on a large store: makes a storage
# root of BLOBS blobs (default 100,000; 512 to 2,047 random bytes each) and
# MANIFESTS OCI image manifests (default 10,000, over 100 repositories; each
# names a config and 8 layers of its own, so 90% of the blobs are in use;
# every other manifest is tagged), every file two hours old, then runs
# under /usr/bin/time -v: gc --dry-run, du, fsck, gc (the orphan blobs go),
# gc --delete-untagged (the untagged manifests and their blobs go) and fsck
# again. Prints the wall time and peak memory of each as a Markdown table.
# The page cache is warm (the store was just written).
#
#   bench/gc_scale.sh            (BUILD_DIR: build folder, default ./build-release;
#                                 SCALE_DIR: where the store is made, default a
#                                 fresh folder under TMPDIR, removed at the end)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
build_dir=${BUILD_DIR:-$top/build-release}
blobs=${BLOBS:-100000}
manifests=${MANIFESTS:-10000}
die() { echo "gc_scale: $*" >&2; exit 1; }
note() { echo "gc_scale: $*" >&2; }
for value in "$blobs" "$manifests"; do
  case $value in '' | *[!0-9]*) die "BLOBS and MANIFESTS must be numbers" ;; esac
done
[ "$blobs" -ge $((manifests * 9)) ] || die "BLOBS must be at least 9 times MANIFESTS"

scripts/setup
missing=()
for p in time python3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  note "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
note "building regstore (release) in $build_dir"
cmake -S "$top" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DREGISTRY_TESTS=OFF \
  -DREGISTRY_SANITIZE=OFF >/dev/null
ninja -C "$build_dir" -j2 regstore >/dev/null
regstore=$build_dir/tools/regstore

if [ -n "${SCALE_DIR:-}" ]; then
  work=$SCALE_DIR
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/gc_scale.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
root=$work/store
rm -rf "$root"
"$regstore" --root "$root" init >/dev/null

note "making $blobs blobs and $manifests manifests in $root"
start=$SECONDS
/usr/bin/python3 - "$root" "$blobs" "$manifests" <<'PY'
import hashlib, os, random, sys, time
root, blob_count, manifest_count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
old = time.time() - 7200
rng = random.Random(1)
def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (old, old))
digests = []
for i in range(blob_count):
    data = os.urandom(rng.randrange(512, 2048))
    hexd = hashlib.sha256(data).hexdigest()
    fan = os.path.join(root, "blobs", "sha256", hexd[:2])
    os.makedirs(fan, exist_ok=True)
    write(os.path.join(fan, hexd), data)
    digests.append((hexd, len(data)))
oci = "application/vnd.oci.image.manifest.v1+json"
def desc(media, d):
    return '{"mediaType":"%s","digest":"sha256:%s","size":%d}' % (media, d[0], d[1])
for m in range(manifest_count):
    own = digests[m * 9:(m + 1) * 9]
    body = ('{"schemaVersion":2,"mediaType":"%s","config":%s,"layers":[%s]}' % (
        oci, desc("application/vnd.oci.image.config.v1+json", own[0]),
        ",".join(desc("application/vnd.oci.image.layer.v1.tar+gzip", d) for d in own[1:]))).encode()
    hexd = hashlib.sha256(body).hexdigest()
    mdir = os.path.join(root, "repositories", "scale", "repo%03d" % (m % 100), "_manifests")
    rev = os.path.join(mdir, "revisions", "sha256", hexd)
    os.makedirs(rev, exist_ok=True)
    write(os.path.join(mdir, hexd), body)
    write(os.path.join(mdir, hexd + ".ct"), oci.encode())
    link = ("sha256:" + hexd).encode()
    write(os.path.join(rev, "link"), link)
    if m % 2 == 0:
        tag = os.path.join(mdir, "tags", "t%05d" % m, "current")
        os.makedirs(tag, exist_ok=True)
        write(os.path.join(tag, "link"), link)
PY
note "made in $((SECONDS - start)) s; $(du -sh "$root" | cut -f1) on disk"

# measure LABEL ARGS...: runs regstore under /usr/bin/time -v; one table row.
rows=()
measure() {
  local label=$1
  shift
  local rc=0
  /usr/bin/time -v "$regstore" --root "$root" "$@" >"$work/out" 2>"$work/time" || rc=$?
  local wall rss summary
  wall=$(grep 'Elapsed (wall clock)' "$work/time" | awk '{ print $NF }')
  rss=$(grep 'Maximum resident set size' "$work/time" | awk '{ printf "%.1f MiB", $NF / 1024 }')
  summary=$(grep -E '^(removed|would remove) [0-9]|^checked' "$work/out" | head -n 1 || true)
  [ -n "$summary" ] || summary=$(head -c 120 "$work/out")
  rows+=("| \`regstore $*\` | $wall | $rss | $rc | $summary |")
  note "$label: $wall, $rss, exit $rc"
}
measure "gc dry run" gc --dry-run --delete-untagged
measure "du" du --json
measure "fsck" fsck
measure "gc" gc
measure "gc --delete-untagged" gc --delete-untagged
measure "fsck after" fsck

echo
echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; kernel $(uname -r)"
echo "Store: $blobs blobs, $manifests manifests in 100 repositories (half tagged), $(du -sh "$root" | cut -f1); page cache warm."
echo
echo "| Command | Wall time | Peak memory | Exit | What it printed |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
