#!/usr/bin/env bash
# HTTPS from the web server (SERVER: lighttpd, apache or nginx): scripts/serve
# TLS=1 makes a certificate for localhost signed by a CA of its own; curl and
# skopeo trust that CA (--cacert, --cert-dir) and nothing else, push an image
# and pull it back over HTTPS; without the CA the certificate is refused, and
# plain HTTP on the port gets no registry reply.
#
#   tests/e2e/tls_e2e.sh     (BUILD_DIR selects the build; default ./build)
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

require_tools skopeo jq openssl

images=$work/images
"$top/tests/e2e/make_test_images.sh" "$images" >"$work/digests" 2>"$work/log/images.err" || {
  echo "FAIL setup: test images: $(tail -n 3 "$work/log/images.err")"
  finish
}
oci_d=$(awk '$1 == "oci" {print $2}' "$work/digests")

export TLS=1
check "$server with TLS=1 starts" start_server || finish
ca=$work/run/tls/ca.crt
reg=localhost:$port
# skopeo reads the CAs to trust from *.crt files of a folder.
mkdir -p "$work/certs"
cp "$ca" "$work/certs/ca.crt"

check "the made certificate names localhost and is signed by the made CA" eval '
  openssl verify -CAfile "$ca" "$work/run/tls/localhost.crt" >/dev/null 2>&1 &&
  openssl x509 -in "$work/run/tls/localhost.crt" -noout -ext subjectAltName | grep -q "DNS:localhost" ||
  { detail="openssl verify or the subjectAltName failed"; false; }'

request_opts=(--cacert "$ca")
check "curl --cacert: GET https://localhost/v2/ is 200 {}" eval 'request GET /v2/ && expect_status 200 &&
  [ "$(cat "$work/body")" = "{}" ]'
not_trusted() {
  if curl -sS --max-time 20 -o /dev/null "https://localhost:$port/v2/" --cacert /dev/null \
    --capath /nonexistent 2>"$work/curl-untrusted.err"; then
    detail="curl trusted the certificate without its CA"
    return 1
  fi
  grep -qi 'certificate' "$work/curl-untrusted.err" ||
    { detail="curl failed otherwise: $(cat "$work/curl-untrusted.err")"; return 1; }
}
check "without the CA, curl refuses the certificate" not_trusted
plain_http_refused() {
  local code
  code=$(curl -s --max-time 20 -o "$work/plain" -w '%{http_code}' "http://127.0.0.1:$port/v2/")
  [ "$code" != 200 ] || { detail="plain HTTP got 200"; return 1; }
  ! grep -qs '^{}$' "$work/plain" || { detail="plain HTTP got the registry's reply"; return 1; }
}
check "plain HTTP on the TLS port gets no registry reply" plain_http_refused

check "skopeo pushes over HTTPS trusting only the made CA" run push "${sk[@]}" copy --retry-times 0 \
  --preserve-digests --dest-cert-dir "$work/certs" "oci:$images/oci:v1" "docker://$reg/tls/oci:v1"
pull_tls() {
  run pull "${sk[@]}" copy --retry-times 0 --preserve-digests --src-cert-dir "$work/certs" \
    "docker://$reg/tls/oci:v1" "oci:$work/pulled:v1" || return 1
  local f
  for f in "$images"/oci/blobs/sha256/*; do
    cmp -s "$f" "$work/pulled/blobs/sha256/$(basename "$f")" ||
      { detail="blob $(basename "$f") differs after the pull"; return 1; }
  done
  [ "$(jq -r '.manifests[0].digest' "$work/pulled/index.json")" = "$oci_d" ] ||
    { detail="the pulled index names another digest"; return 1; }
}
check "skopeo pulls over HTTPS: every blob byte-identical" pull_tls
pull_untrusted() {
  mkdir -p "$work/no-certs"
  if run pull-untrusted "${sk[@]}" copy --retry-times 0 --src-cert-dir "$work/no-certs" \
    "docker://$reg/tls/oci:v1" "oci:$work/untrusted:v1"; then
    detail="skopeo pulled without trusting the CA"
    return 1
  fi
  grep -qi 'certificate' "$work/log/pull-untrusted.err" ||
    { detail="skopeo failed otherwise: $(tail -n 2 "$work/log/pull-untrusted.err")"; return 1; }
}
check "skopeo without the CA refuses the certificate" pull_untrusted

stop_server
check "the store keeps its invariants" eval '"$build_dir/tests/check_store" "$storage" >"$work/check" 2>&1 ||
  { detail=$(head -c 600 "$work/check"); false; }'
finish
