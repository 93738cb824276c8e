#!/usr/bin/env bash
# The file hand-off through the real web server (SERVER, default lighttpd):
# the same storage is served once without it and once with HANDOFF=1, and
# every blob request gets the same reply both times: status, every header
# the client sees (Date aside) and the body, compared by its SHA-256. Under
# the hand-off the blob program runs behind a wrapper that notes which
# replies named the file for the server, and that can delete the blob after
# the program answered or put a forged file name in its reply: the server
# then answers its own error, never other bytes.
#
#   tests/e2e/handoff_e2e.sh           (BUILD_DIR selects the build; default ./build)
#   SERVER=nginx tests/e2e/handoff_e2e.sh
set -uo pipefail
# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

program=$build_dir/endpoint/v2_blob
check "the program is built: $program" test -x "$program"
[ -x "$program" ] || finish

# ---- fixture -------------------------------------------------------------

# place FILE: stores FILE as a blob straight into the storage; prints its digest.
place() {
  local hex
  hex=$(sha256sum "$1" | cut -c1-64)
  mkdir -p "$storage/blobs/sha256/${hex:0:2}"
  cp "$1" "$storage/blobs/sha256/${hex:0:2}/$hex"
  echo "sha256:$hex"
}
blob_file() { echo "$storage/blobs/sha256/${1:7:2}/${1:7}"; }
# Several MiB, not a multiple of any transfer buffer.
size=$((5 * 1048576 + 4321))
head -c "$size" /dev/urandom >"$work/big"
: >"$work/empty"
head -c 3000 /dev/urandom >"$work/doomed"
big=$(place "$work/big")
empty=$(place "$work/empty")
doomed=$(place "$work/doomed")
# A file beside the storage that no reply may ever carry.
echo "not a blob: outside the store" >"$work/outside"
chmod -R a+rX "$storage" "$work/outside"

# One row per request: name | method | path | request header | status (or
# statuses: nginx and Apache refuse a path that climbs above the root
# themselves, 400, where lighttpd hands the program what is left, 404).
long=sha256:$(printf 'a%.0s' $(seq 1 300))
requests=(
  "whole blob|GET|/v2/app/blobs/$big||200"
  "range inside|GET|/v2/app/blobs/$big|Range: bytes=100-65636|206"
  "range to the end|GET|/v2/app/blobs/$big|Range: bytes=$((size - 1000))-|206"
  "range of every byte|GET|/v2/app/blobs/$big|Range: bytes=0-|206"
  "suffix form, the last 30 bytes|GET|/v2/app/blobs/$big|Range: bytes=-30|206"
  "two ranges, the first served|GET|/v2/app/blobs/$big|Range: bytes=0-9,20-29|206"
  "range past the end|GET|/v2/app/blobs/$big|Range: bytes=$size-|416"
  "a Range the program does not take|GET|/v2/app/blobs/$big|Range: Bytes=0-9|200"
  "If-None-Match of the digest|GET|/v2/app/blobs/$big|If-None-Match: \"$big\"|200"
  "If-Modified-Since in the future|GET|/v2/app/blobs/$big|If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT|200"
  "If-Match of another tag|GET|/v2/app/blobs/$big|If-Match: \"other\"|200"
  "HEAD|HEAD|/v2/app/blobs/$big||200"
  "empty blob|GET|/v2/app/blobs/$empty||200"
  "empty blob, ranged|GET|/v2/app/blobs/$empty|Range: bytes=0-|416"
  "blob not stored|GET|/v2/app/blobs/sha256:$(printf '0%.0s' $(seq 1 64))||404"
  "digest ../../etc/passwd|GET|/v2/app/blobs/sha256:../../../../../../etc/passwd||404 400"
  "digest %2e%2e|GET|/v2/app/blobs/sha256:%2e%2e%2f%2e%2e%2f%2e%2e%2fetc%2fpasswd||404"
  "overlong digest|GET|/v2/app/blobs/$long||404"
  "digest then ..|GET|/v2/app/blobs/$big/../../../../etc/passwd||404"
)

expect_status_in() {
  case " $1 " in *" $status "*) return 0 ;; esac
  detail="status $status, expected $1"
  return 1
}

# record DIR: sends every request of the table and keeps, per row, its
# status and sorted headers without Date (DIR/N.head), and the SHA-256 of its
# body (DIR/N.body). A row whose status is not one of the table's fails.
record() {
  local dir=$1 i=0 row name method path hdr want args framing
  mkdir -p "$dir"
  for row in "${requests[@]}"; do
    IFS='|' read -r name method path hdr want <<<"$row"
    args=()
    [ -n "$hdr" ] && args=(-H "$hdr")
    request "$method" "$path" "${args[@]}"
    check "$(basename "$dir"): $name: $want" expect_status_in "$want"
    # An error reply's body has no announced length: the server frames it
    # with a Content-Length or in chunks, as the timing falls. Its bytes
    # are compared all the same.
    framing='^(date):'
    [ "$status" -ge 400 ] 2>/dev/null && framing='^(date|content-length|transfer-encoding):'
    { echo "$status"; tr -d '\r' <"$work/headers" | grep -viE "$framing" | sort; } >"$dir/$i.head"
    sha256sum <"$work/body" | cut -c1-64 >"$dir/$i.body"
    i=$((i + 1))
  done
}

# ---- without the hand-off: the replies as the programs send them ---------

export HANDOFF=0
check "$server starts without the hand-off" start_server || finish
record "$work/plain"
# The baseline itself is right: the whole blob and a range, byte for byte.
request GET "/v2/app/blobs/$big"
check "plain: the whole blob's bytes" expect_body_file "$work/big"
stop_server

# ---- with the hand-off, the blob program behind a wrapper ----------------

# The other programs run as they are; the blob program's reply is held in
# a file and passed on unchanged, after the wrapper noted a hand-off line
# in $spy/handed-off and, when asked by a file in $spy, deleted the blob
# (delete) or put a forged file name in the line (forge, holding the name).
# With the programs as FastCGI responders (MODE=fastcgi) no wrapper can
# stand between the server and the blob program: the replies are compared
# all the same (a server that did not take the hand-off would send an empty
# body), and the checks that need the wrapper are left to the CGI run.
wrapped=1
[ "${MODE:-cgi}" = fastcgi ] && wrapped=0
spy=$work/spy
mkdir -p "$work/cgi/real" "$spy"
# Apache and nginx started by root run the programs as www-data, which
# scripts/serve hands copies of the wrappers; the wrappers run copies of the
# programs here, in the scratch folder that user can enter, since the build
# may lie in a checkout it cannot.
chmod 777 "$spy"
for name in v2_base v2_catalog v2_tags v2_manifests v2_referrers v2_uploads v2_blob ui; do
  cp "$build_dir/endpoint/$name" "$work/cgi/real/$name"
done
program=$work/cgi/real/v2_blob
for name in v2_base v2_catalog v2_tags v2_manifests v2_referrers v2_uploads ui; do
  printf '#!/bin/sh\nexec "%s"\n' "$work/cgi/real/$name" >"$work/cgi/$name"
done
cat >"$work/cgi/v2_blob" <<'WRAPPER'
#!/usr/bin/env bash
reply=$(mktemp "@SPY@/reply.XXXXXX")
"@PROGRAM@" >"$reply"
if sed '/^\r$/q' "$reply" | grep -Eq '^(X-Sendfile|X-Accel-Redirect): '; then
  echo "$REQUEST_METHOD $PATH_INFO ${HTTP_RANGE:-}" >>"@SPY@/handed-off"
  if [ -e "@SPY@/delete" ]; then
    hex=${PATH_INFO##*sha256:}
    rm -f "@STORAGE@/blobs/sha256/${hex:0:2}/$hex"
  fi
  if [ -e "@SPY@/forge" ]; then
    forged=$(cat "@SPY@/forge")
    sed -i -E "s#^(X-Sendfile: |X-Accel-Redirect: /\.registry-blobs)/[^\r]*#\1$forged#" "$reply"
  fi
fi
cat "$reply"
rm -f "$reply"
WRAPPER
sed -i "s#@SPY@#$spy#g; s#@PROGRAM@#$program#g; s#@STORAGE@#$storage#g" "$work/cgi/v2_blob"
chmod 755 "$work/cgi" "$work/cgi/real" "$work/cgi"/v2_* "$work/cgi/ui" "$work/cgi/real"/*
export HANDOFF=1
[ "$wrapped" = 0 ] || export CGI_BIN_DIR=$work/cgi
check "$server starts with the hand-off" start_server || finish
record "$work/handoff"

# mod_xsendfile adds the file's Last-Modified after mod_headers has run
# (deploy/apache.conf.in): under Apache that one header is expected extra
# on a reply the server sent from the file, and left out of the comparison.
same_reply() {
  local i=$1 head=$work/handoff/$1.head
  if [ "$server" = apache ]; then
    grep -v '^Last-Modified: ' "$head" >"$work/head.cmp"
    head=$work/head.cmp
  fi
  if ! diff "$work/plain/$i.head" "$head" >"$work/head.diff"; then
    detail="headers differ: $(tr '\n' ' ' <"$work/head.diff")"
    return 1
  fi
  cmp -s "$work/plain/$i.body" "$work/handoff/$i.body" || { detail="bodies differ"; return 1; }
}
i=0
for row in "${requests[@]}"; do
  IFS='|' read -r name _ <<<"$row"
  check "the same reply with and without the hand-off: $name" same_reply "$i"
  i=$((i + 1))
done

# Exactly the whole GETs of the stored, non-empty blob without a condition
# were handed to the server: the plain one and the one whose Range the
# program does not take (the server, its own ranges off, sends it whole).
handed_off_only_whole() {
  local want="GET /v2/app/blobs/$big "$'\n'"GET /v2/app/blobs/$big Bytes=0-9"
  [ "$(cat "$spy/handed-off" 2>/dev/null)" = "$want" ] && return 0
  detail="handed off: $(tr '\n' ';' <"$spy/handed-off" 2>/dev/null)"
  return 1
}
if [ "$wrapped" = 0 ]; then
  echo "SKIP the wrapper's checks (which GETs were handed off, a blob deleted before the server sends it, forged file names): the programs run as FastCGI responders, which no wrapper can stand in front of"
  stop_server
  finish
fi
check "only the whole GETs were handed off" handed_off_only_whole

not_carrying() {
  if grep -q "not a blob" "$work/body" || cmp -s "$work/body" "$1"; then
    detail="status $status carried the bytes of $(basename "$1")"
    return 1
  fi
}
no_success() {
  case $status in
    200 | 206) detail="status $status"; return 1 ;;
  esac
}

# A blob deleted after the program answered and before the server opened
# it: the server's own error, never bytes under the program's headers.
touch "$spy/delete"
request GET "/v2/app/blobs/$doomed"
rm -f "$spy/delete"
check "blob deleted before the server sends it: the server's error" no_success
check "blob deleted before the server sends it: none of its bytes" not_carrying "$work/doomed"
check "the deleted blob is gone" test ! -e "$(blob_file "$doomed")"

# A file name outside the blob store in the line (as a program gone wrong
# would send): the server's limit to the store refuses it.
for forged in "$work/outside" "$storage/blobs/../../outside" "$storage/blobs/sha256/../../../outside"; do
  printf '%s' "$forged" >"$spy/forge"
  request GET "/v2/app/blobs/$big"
  check "forged hand-off of ${forged#"$work"/}: refused" no_success
  check "forged hand-off of ${forged#"$work"/}: no bytes of it" not_carrying "$work/outside"
done
rm -f "$spy/forge"

stop_server
finish
