#!/usr/bin/env bash
# Smoke test of the Windows blob endpoint behind the real web server: the
# cross-built v2_blob.exe runs under Wine as lighttpd's CGI program (through
# a two-line wrapper), over a storage root that the Linux build made, given
# to the Windows program in its Windows form (Z:\...). Checks HEAD, a ranged
# GET and DELETE; prints one line per check and "N passed, M failed".
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
for program in v2_base v2_catalog v2_tags v2_manifests v2_referrers v2_uploads v2_blob; do
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

request DELETE "$url"
check "DELETE: 202" expect_status 202
check "DELETE: the Linux layout no longer holds the blob" \
  test ! -e "$storage/blobs/sha256/${hex:0:2}/$hex"
request HEAD "$url"
check "HEAD after DELETE: 404" expect_status 404

finish
