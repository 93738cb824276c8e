#!/usr/bin/env bash
# Smoke test of the Windows blob endpoint behind the real web server: the
# cross-built v2_blob.exe runs under Wine as lighttpd's CGI program (through
# a two-line wrapper), over a storage root that the Linux build made, given
# to the Windows program in its Windows form (Z:\...). Checks HEAD, a ranged
# GET and DELETE of a blob; a manifest the Linux build stored, fetched
# through v2_manifests.exe; and a blob and a manifest pushed through the
# Windows programs, read back by the Linux build. Prints one line per check
# and "N passed, M failed".
#
#   WINDOWS_BUILD_DIR=build-windows BUILD_DIR=build tests/e2e/windows/blob_endpoint_wine.sh
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/../lib.sh"

windows_build=${WINDOWS_BUILD_DIR:-$top/build-windows}
exe=$windows_build/endpoint/v2_blob.exe
regstore=$build_dir/tools/regstore

check "the Windows program is built: $exe" test -f "$exe"
check "the Linux regstore is built: $regstore" test -x "$regstore"
[ -f "$exe" ] && [ -x "$regstore" ] || finish

# The storage root, made and filled by the Linux build.
head -c $((1048576 + 4321)) /dev/urandom >"$work/blob"
hex=$(sha256sum "$work/blob" | cut -c1-64)
digest=sha256:$hex
check "the Linux build makes the root" "$regstore" --root "$storage" init >/dev/null
check "the Linux build stores the blob" "$regstore" --root "$storage" blob put "$work/blob" >/dev/null
check "the Linux layout holds it" test -f "$storage/blobs/sha256/${hex:0:2}/$hex"

# The CGI programs lighttpd starts: for each, a wrapper of the same name
# that runs the .exe under Wine with the build's prefix, the storage root
# turned into its Windows form with backslashes.
mkdir -p "$work/cgi"
for program in v2_base v2_catalog v2_tags v2_manifests v2_referrers v2_uploads v2_blob ui; do
  cat >"$work/cgi/$program" <<WRAPPER
#!/bin/sh
root=\$(printf '%s' "\$REGISTRY_STORAGE_ROOT" | tr / '\\\\')
REGISTRY_STORAGE_ROOT="Z:\$root" WINEPREFIX="$windows_build/wineprefix" WINEDEBUG=-all \\
  WINEDLLOVERRIDES="mscoree,mshtml=" exec wine "$windows_build/endpoint/$program.exe"
WRAPPER
  chmod +x "$work/cgi/$program"
done
export CGI_BIN_DIR=$work/cgi

check "server starts on a free loopback port" start_server
[ -n "$server_pid" ] || finish
echo "     (port $port)"
url=/v2/library/wine/blobs/$digest

request HEAD "$url"
check "HEAD: 200" expect_status 200
check "HEAD: Docker-Content-Digest" expect_header Docker-Content-Digest "$digest"
check "HEAD: Content-Type" expect_header Content-Type application/octet-stream

request GET "$url" -H "Range: bytes=1000-70999"
dd if="$work/blob" of="$work/range" bs=1000 skip=1 count=70 status=none
check "ranged GET: 206" expect_status 206
check "ranged GET: Content-Range" expect_header Content-Range "bytes 1000-70999/$(stat -c %s "$work/blob")"
check "ranged GET: the 70000 bytes" expect_body_file "$work/range"

# Manifests, Linux to Windows: the Linux build stores a config blob and a
# manifest naming it and the blob above; the Windows v2_manifests.exe
# serves them.
oci=application/vnd.oci.image.manifest.v1+json
printf '{"os":"windows"}' >"$work/config"
config_digest=sha256:$(sha256sum "$work/config" | cut -c1-64)
printf '{"schemaVersion":2,"mediaType":"%s","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%d},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":%d}]}' \
  "$oci" "$config_digest" "$(stat -c %s "$work/config")" "$digest" "$(stat -c %s "$work/blob")" \
  >"$work/manifest"
manifest_digest=sha256:$(sha256sum "$work/manifest" | cut -c1-64)
check "the Linux build stores the config blob" "$regstore" --root "$storage" blob put "$work/config" >/dev/null
check "the Linux build stores the manifest under a tag" \
  "$regstore" --root "$storage" manifest put library/wine linux "$work/manifest" --type "$oci" >/dev/null
request GET /v2/library/wine/manifests/linux
check "GET manifest by tag (Windows): 200" expect_status 200
check "GET manifest by tag (Windows): the bytes the Linux build stored" expect_body_file "$work/manifest"
check "GET manifest by tag (Windows): Content-Type" expect_header Content-Type "$oci"
check "GET manifest by tag (Windows): Docker-Content-Digest" expect_header Docker-Content-Digest "$manifest_digest"

# Windows to Linux: a blob pushed in one POST through v2_uploads.exe and a
# manifest naming it pushed through v2_manifests.exe, read back by the
# Linux build.
head -c 54321 /dev/urandom >"$work/blob2"
digest2=sha256:$(sha256sum "$work/blob2" | cut -c1-64)
request POST "/v2/library/wine/blobs/uploads/?digest=$digest2" --data-binary @"$work/blob2" \
  -H "Content-Type: application/octet-stream"
check "POST blob (Windows): 201" expect_status 201
check "the Linux build reads the blob the Windows build stored" \
  eval '"$regstore" --root "$storage" blob get "$digest2" -o "$work/blob2.read" && cmp -s "$work/blob2" "$work/blob2.read"'
sed "s/$digest/$digest2/; s/\"size\":$(stat -c %s "$work/blob")}/\"size\":54321}/" "$work/manifest" >"$work/manifest2"
request PUT /v2/library/wine/manifests/windows -H "Content-Type: $oci" --data-binary @"$work/manifest2"
check "PUT manifest (Windows): 201" expect_status 201
check "the Linux build reads the manifest the Windows build stored" \
  eval '"$regstore" --root "$storage" manifest get library/wine windows >"$work/manifest2.read" &&
        cmp -s "$work/manifest2" "$work/manifest2.read"'

request DELETE "$url"
check "DELETE: 202" expect_status 202
check "DELETE: the Linux layout no longer holds the blob" \
  test ! -e "$storage/blobs/sha256/${hex:0:2}/$hex"
request HEAD "$url"
check "HEAD after DELETE: 404" expect_status 404

finish
