#!/usr/bin/env bash
# The browsable pages (/ui/) through a web server (SERVER: lighttpd, apache
# or nginx; MODE: cgi or fastcgi), looked at in a real browser: headless
# chromium, driven through its DevTools protocol by tests/e2e/ui_browser.py.
#
#   - a store made through the registry's own API (curl): an index with two
#     platforms and its images, an image with a signature pointing at it
#     (subject, artifactType, annotations), a repository of 300 tags, and
#     labels and annotations that hold HTML and script;
#   - without a policy: every page lists what the store holds (repositories,
#     filter and paging, tags, platforms, labels, layers, referrers, pull
#     commands with the host the browser used); the hostile strings show as
#     text and nothing of them runs; the reply headers (CSP, nosniff,
#     Referrer-Policy); / sends the browser on to /ui/;
#   - under an access policy (AUTH=policy): pages show only what the user
#     may pull, a denied anonymous page asks for a login (401 Basic); the
#     delete form works in the browser for a user allowed to delete; a
#     cross-site form (another site and another port) and forged requests
#     are refused and change nothing.
#
# Under lighttpd with CGI it saves a screenshot of each kind of page in
# $BUILD_DIR/ui-screenshots/; UI_DOCS_SCREENSHOTS=1 also writes the two of
# the README (docs/ui-repository.png, docs/ui-image.png).
#
#   tests/e2e/ui_e2e.sh     (BUILD_DIR selects the build; default ./build)
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

require_tools curl jq htpasswd chromium gzip tar
# Debian's python3 with its websocket module (a python3 earlier on PATH,
# such as a pyenv shim, may lack it).
python=/usr/bin/python3
if ! "$python" -c 'import websocket' 2>/dev/null; then
  echo "FAIL setup: $python cannot import websocket (scripts/setup installs python3-websocket)"
  finish
fi
browser_run() { "$python" "$top/tests/e2e/ui_browser.py" "$@"; }

mode=${MODE:-cgi}
shots=
if [ "$server" = lighttpd ] && [ "$mode" = cgi ]; then
  shots=$build_dir/ui-screenshots
  mkdir -p "$shots"
fi

sha() { sha256sum "$1" | cut -c1-64; }
size() { stat -c %s "$1"; }
OCI_MANIFEST=application/vnd.oci.image.manifest.v1+json
OCI_INDEX=application/vnd.oci.image.index.v1+json

# ---- pushing through the API -------------------------------------------------

# push_blob REPO FILE: a monolithic upload; sets $pushed to the digest.
push_blob() {
  pushed=sha256:$(sha "$2")
  request POST "/v2/$1/blobs/uploads/?digest=$pushed" --data-binary @"$2"
  [ "$status" = 201 ] || { detail="blob into $1: status $status: $(head -c 200 "$work/body")"; return 1; }
}
# push_manifest REPO REFERENCE FILE MEDIATYPE
push_manifest() {
  request PUT "/v2/$1/manifests/$2" -H "Content-Type: $4" --data-binary @"$3"
  [ "$status" = 201 ] || { detail="manifest $1:$2: status $status: $(head -c 300 "$work/body")"; return 1; }
}

blobs=$work/blobs
mkdir -p "$blobs"
# layer NAME TEXT: a gzip'd tar of one file; sets $layer_digest, $layer_size
# and $diff_id (the digest of the tar).
layer() {
  mkdir -p "$blobs/$1.d"
  printf '%s\n' "$2" >"$blobs/$1.d/$1.txt"
  tar -C "$blobs/$1.d" --mtime=@0 --owner=0 --group=0 --numeric-owner -cf "$blobs/$1.tar" "$1.txt"
  gzip -n -c "$blobs/$1.tar" >"$blobs/$1.tar.gz"
  diff_id=sha256:$(sha "$blobs/$1.tar")
  layer_digest=sha256:$(sha "$blobs/$1.tar.gz")
  layer_size=$(size "$blobs/$1.tar.gz")
}

# image REPO NAME ARCH LABELS-JSON: pushes the image (a config and two
# layers) into REPO; sets $image_digest, $image_size, and the digest of its
# second layer in $image_layer.
image() {
  local repo=$1 name=$2 arch=$3 labels=$4 base base_diff base_size app app_diff app_size
  layer "$name-base" "base of $name for $arch"
  base=$layer_digest base_diff=$diff_id base_size=$layer_size
  layer "$name-app" "the $name program for $arch"
  app=$layer_digest app_diff=$diff_id app_size=$layer_size
  jq -cn --arg arch "$arch" --argjson labels "$labels" --arg b "$base_diff" --arg a "$app_diff" '{
    created: "2026-12-01T10:00:00Z", architecture: $arch, os: "linux",
    config: {Env: ["PATH=/usr/local/bin:/usr/bin:/bin", "GREETING=hello from the registry"],
             Entrypoint: ["/usr/bin/hello"], Labels: $labels},
    rootfs: {type: "layers", diff_ids: [$b, $a]},
    history: [{created: "2026-11-30T08:00:00Z", created_by: "ADD base.tar /"},
              {created: "2026-12-01T10:00:00Z", created_by: "COPY hello /usr/bin/hello"}]}' \
    >"$blobs/$name.config"
  push_blob "$repo" "$blobs/$name-base.tar.gz" && push_blob "$repo" "$blobs/$name-app.tar.gz" &&
    push_blob "$repo" "$blobs/$name.config" || return 1
  jq -cn --arg mt "$OCI_MANIFEST" --arg c "sha256:$(sha "$blobs/$name.config")" \
    --argjson cs "$(size "$blobs/$name.config")" --arg b "$base" --argjson bs "$base_size" \
    --arg a "$app" --argjson asz "$app_size" '{schemaVersion: 2, mediaType: $mt,
      config: {mediaType: "application/vnd.oci.image.config.v1+json", digest: $c, size: $cs},
      layers: [{mediaType: "application/vnd.oci.image.layer.v1.tar+gzip", digest: $b, size: $bs},
               {mediaType: "application/vnd.oci.image.layer.v1.tar+gzip", digest: $a, size: $asz}]}' \
    >"$blobs/$name.manifest"
  image_digest=sha256:$(sha "$blobs/$name.manifest")
  image_size=$(size "$blobs/$name.manifest")
  image_layer=$app
  push_manifest "$repo" "$image_digest" "$blobs/$name.manifest" "$OCI_MANIFEST"
}

# referrer REPO NAME SUBJECT-DIGEST SUBJECT-SIZE ARTIFACT-TYPE ANNOTATIONS-JSON:
# an artifact manifest (empty config, one layer) whose subject is the image.
referrer() {
  printf '{}' >"$blobs/empty"
  printf 'artifact %s\n' "$2" >"$blobs/$2.blob"
  push_blob "$1" "$blobs/empty" && push_blob "$1" "$blobs/$2.blob" || return 1
  jq -cn --arg mt "$OCI_MANIFEST" --arg at "$5" --arg e "sha256:$(sha "$blobs/empty")" \
    --arg l "sha256:$(sha "$blobs/$2.blob")" --argjson ls "$(size "$blobs/$2.blob")" \
    --arg s "$3" --argjson ss "$4" --argjson ann "$6" '{schemaVersion: 2, mediaType: $mt,
      artifactType: $at,
      config: {mediaType: "application/vnd.oci.empty.v1+json", digest: $e, size: 2},
      layers: [{mediaType: $at, digest: $l, size: $ls}],
      subject: {mediaType: $mt, digest: $s, size: $ss}, annotations: $ann}' >"$blobs/$2.manifest"
  referrer_digest=sha256:$(sha "$blobs/$2.manifest")
  push_manifest "$1" "$referrer_digest" "$blobs/$2.manifest" "$OCI_MANIFEST"
}

xss_img="<img src=x onerror=document.title='pwned'>"
xss_script="</script><script>document.title='pwned'</script>"
signature_type=application/vnd.example.signature.v1+json

make_store() {
  # library/hello: 1.0 and 1.1 (signed), latest an index of 1.1 (amd64) and
  # an arm64 image.
  image library/hello hello-1.0 amd64 '{"org.opencontainers.image.title": "hello",
    "org.opencontainers.image.version": "1.0"}' &&
    hello10=$image_digest && push_manifest library/hello 1.0 "$blobs/hello-1.0.manifest" "$OCI_MANIFEST" &&
    image library/hello hello-1.1 amd64 '{"org.opencontainers.image.title": "hello",
      "org.opencontainers.image.version": "1.1",
      "org.opencontainers.image.description": "Says hello from the registry",
      "org.opencontainers.image.licenses": "MIT"}' &&
    hello11=$image_digest hello11_size=$image_size hello11_layer=$image_layer &&
    push_manifest library/hello 1.1 "$blobs/hello-1.1.manifest" "$OCI_MANIFEST" &&
    image library/hello hello-arm64 arm64 '{"org.opencontainers.image.title": "hello",
      "org.opencontainers.image.version": "1.1"}' &&
    hello_arm=$image_digest hello_arm_size=$image_size hello_arm_layer=$image_layer || return 1
  jq -cn --arg mt "$OCI_INDEX" --arg im "$OCI_MANIFEST" --arg a "$hello11" --argjson asz "$hello11_size" \
    --arg b "$hello_arm" --argjson bs "$hello_arm_size" '{schemaVersion: 2, mediaType: $mt,
      manifests: [{mediaType: $im, digest: $a, size: $asz, platform: {architecture: "amd64", os: "linux"}},
                  {mediaType: $im, digest: $b, size: $bs, platform: {architecture: "arm64", os: "linux"}}]}' \
    >"$blobs/hello.index"
  hello_index=sha256:$(sha "$blobs/hello.index")
  push_manifest library/hello latest "$blobs/hello.index" "$OCI_INDEX" &&
    referrer library/hello signature "$hello11" "$hello11_size" "$signature_type" \
      '{"org.opencontainers.image.created": "2026-12-01T12:00:00Z", "com.example.signer": "release-key-2026"}' ||
    return 1
  # demo/xss: labels and a referrer's annotation that hold markup.
  image demo/xss xss amd64 "$(jq -cn --arg i "$xss_img" --arg s "$xss_script" \
    '{"com.example.img": $i, "com.example.script": $s}')" &&
    xss=$image_digest xss_size=$image_size &&
    push_manifest demo/xss v1 "$blobs/xss.manifest" "$OCI_MANIFEST" &&
    referrer demo/xss xss-sbom "$xss" "$xss_size" application/vnd.example.sbom.v1+json \
      "$(jq -cn --arg i "$xss_img" '{"com.example.note": $i}')" || return 1
  # demo/many: 300 tags of one image, t000 to t299.
  image demo/many many amd64 '{}' || return 1
  # One curl for all of them (the same body to each address), each answer's
  # status on a line of its own.
  local urls=() i
  for i in $(seq -w 0 299); do urls+=(-o /dev/null "$base/v2/demo/many/manifests/t$i"); done
  curl -sS --max-time 120 -X PUT -H "Content-Type: $OCI_MANIFEST" --data-binary @"$blobs/many.manifest" \
    -w '%{http_code}\n' "${urls[@]}" >"$work/many.status" 2>"$work/curl.err" &&
    [ "$(sort -u "$work/many.status")" = 201 ] && [ "$(wc -l <"$work/many.status")" = 300 ] ||
    { detail="300 tags of demo/many: $(sort "$work/many.status" | uniq -c | tr '\n' ' ') $(cat "$work/curl.err")"; return 1; }
  # demo/trash: three tags of three images, for the deletes.
  local tag
  for tag in browser curl keep; do
    image demo/trash "trash-$tag" amd64 "{\"purpose\": \"$tag\"}" &&
      push_manifest demo/trash "$tag" "$blobs/trash-$tag.manifest" "$OCI_MANIFEST" || return 1
  done
  # private/secret: pulled only by alice once the policy is in force.
  image private/secret secret amd64 '{}' &&
    push_manifest private/secret v1 "$blobs/secret.manifest" "$OCI_MANIFEST"
}

check "$server ($mode) without a policy starts" start_server
[ "$failed" = 0 ] || finish
reg=127.0.0.1:$port
base=http://$reg
check "the store is made through the API: an index, a signed image, 300 tags, markup in labels" make_store
[ "$failed" = 0 ] || finish

# ---- headers and the way in ----------------------------------------------------

request GET /
check "GET /: 302 to /ui/" eval 'expect_status 302 &&
  { [ "$(header Location)" = /ui/ ] || [ "$(header Location)" = "$base/ui/" ] ||
    { detail="Location: $(header Location)"; false; }; }'

# The headers every page carries: a script policy that allows no inline
# script, no sniffing of types, no full address in the Referer of links.
page_headers() {
  local csp
  expect_status 200 || return 1
  [[ "$(header Content-Type)" == text/html* ]] || { detail="Content-Type: $(header Content-Type)"; return 1; }
  expect_header X-Content-Type-Options nosniff || return 1
  has_header Referrer-Policy || { detail="no Referrer-Policy"; return 1; }
  csp=$(header Content-Security-Policy)
  [ -n "$csp" ] || { detail="no Content-Security-Policy"; return 1; }
  [[ "$csp" =~ (script-src|default-src) ]] || { detail="CSP names no script source: $csp"; return 1; }
  [[ "$csp" != *unsafe-inline* || "$csp" =~ script-src[^\;]*sha256- ]] ||
    { detail="CSP allows inline script: $csp"; return 1; }
}
for path in /ui/ /ui/repo/library/hello /ui/repo/library/hello/tag/1.1 "/ui/repo/library/hello/digest/$hello_index"; do
  request GET "$path"
  check "headers of $path" page_headers
done
static_file() {
  request GET "$1"
  expect_status 200 || return 1
  [[ "$(header Content-Type)" == "$2"* ]] || { detail="Content-Type: $(header Content-Type)"; return 1; }
  expect_header X-Content-Type-Options nosniff || return 1
  [ -s "$work/body" ] || { detail="empty body"; return 1; }
}
check "the stylesheet: text/css" static_file /ui/static/style.css text/css
check "the script: JavaScript" eval 'static_file /ui/static/ui.js text/javascript ||
  static_file /ui/static/ui.js application/javascript'
request GET /ui/static/nothing.css
check "a static file that is not there: 404" expect_status 404
request GET /ui/repo/no/such/repository
check "a repository that is not there: 404" expect_status 404

# ---- the pages in the browser ------------------------------------------------------

pages=$work/pages
mkdir -p "$pages"
steps() { jq -n "$@"; }
# The link to the next page of a list: one marked as such, else the last
# link that carries the paging parameter.
next='["a[rel~=\"next\"]", "a.next", "a[href*=\"last=\"]"]'
shot() { [ -z "$shots" ] && echo '[]' || jq -cn --arg f "$shots/$1.png" '[{shot: $f, width: 1280, height: 1600}]'; }
{
  steps --arg b "$base" '[{open: ($b + "/"), until: "/ui/", name: "root"}]'
  shot index
  steps --arg b "$base" --argjson next "$next" '[{open: ($b + "/ui/?q=hello"), name: "filter"},
    {open: ($b + "/ui/?n=2"), name: "first-two"},
    {follow: $next, until_text: ["repositories", "private/secret"], max: 5, name: "repos-paged"},
    {open: ($b + "/ui/repo/library/hello"), name: "repo"}]'
  shot repository
  steps --arg b "$base" '[{open: ($b + "/ui/repo/library/hello/tag/1.1"), name: "image"}]'
  shot image
  steps --arg b "$base" '[{open: ($b + "/ui/repo/library/hello/tag/latest"), name: "index"}]'
  shot index-image
  steps --arg sel "#platforms a[href\$=\"/digest/$hello_arm\"]" '[{click: $sel, name: "platform"}]'
  steps --arg b "$base" --argjson next "$next" '[
    {open: ($b + "/ui/repo/demo/many?n=10"), name: "ten-tags"},
    {open: ($b + "/ui/repo/demo/many"), name: "many"},
    {follow: $next, until_text: ["tags", "t299"], max: 30, name: "many-paged"},
    {open: ($b + "/ui/repo/demo/xss/tag/v1"), name: "xss"},
    {open: ($b + "/ui/repo/demo/xss"), name: "xss-repo"},
    {open: ($b + "/ui/?q=%3Cimg%20src%3Dx%20onerror%3Ddocument.title%3D%27pwned%27%3E"), name: "xss-query"},
    {open: ($b + "/ui/repo/%3Cimg%20src%3Dx%20onerror%3Ddocument.title%3D%27pwned%27%3E/tag/v1"), name: "xss-path"}]'
  if [ "${UI_DOCS_SCREENSHOTS:-0}" = 1 ]; then
    steps --arg b "$base" --arg d "$top/docs" '[
      {open: ($b + "/ui/repo/library/hello"), name: "docs-repo"},
      {shot: ($d + "/ui-repository.png"), width: 1280, height: 330},
      {open: ($b + "/ui/repo/library/hello/tag/1.1"), name: "docs-image"},
      {shot: ($d + "/ui-image.png"), width: 1280, height: 1480}]'
  fi
} | jq -s 'add' >"$work/steps.json"
browse() {
  browser_run "$work/steps.json" "$pages" 2>"$work/browser.err" && return 0
  detail=$(tail -n 3 "$work/browser.err" | tr '\n' ' ')
  return 1
}
check "chromium opens every page" browse

# page NAME FILTER: the jq FILTER over what the browser held after NAME
# loaded is true; a failure shows the page's sections.
page() {
  [ -s "$pages/$1.json" ] || { detail="no page $1"; return 1; }
  jq -e "$2" "$pages/$1.json" >/dev/null 2>&1 && return 0
  detail="$1 ($(jq -r '.url // .error' "$pages/$1.json")): $(jq -c '{status: [.documents[].status], sections: (.sections | with_entries(select(.key | test("^(repositories|tags|platforms|labels|layers|referrers|pull|config)$"))))}' "$pages/$1.json" 2>/dev/null | head -c 1500)"
  return 1
}
# shows NAME ID TEXT: the element ID of page NAME shows TEXT.
shows() { page "$1" "(.sections[\"$2\"] // \"\") | contains($(jq -n --arg t "$3" '$t'))"; }
lacks() { page "$1" "(.sections[\"$2\"] // \"\") | contains($(jq -n --arg t "$3" '$t')) | not"; }
# links_to NAME TEXT PATH: a link with text TEXT leads to PATH.
links_to() {
  page "$1" "any(.links[]; .text == $(jq -n --arg t "$2" '$t') and (.href | endswith($(jq -n --arg p "$3" '$p'))))"
}
short=${hello11#sha256:}
short=${short:0:12}

# What each page lists, one line each: page | element | text it shows.
while IFS='|' read -r name id text; do
  name=$(echo $name) id=$(echo $id) text=$(echo "$text" | sed 's/^ *//; s/ *$//')
  [ -n "$name" ] || continue
  check "page $name: #$id shows '$text'" shows "$name" "$id" "$text"
done <<EOF
root       | repositories | library/hello
root       | repositories | demo/many
root       | repositories | private/secret
filter     | repositories | library/hello
repo       | tags         | 1.0
repo       | tags         | 1.1
repo       | tags         | latest
repo       | tags         | linux/amd64
repo       | tags         | linux/arm64
image      | labels       | org.opencontainers.image.description
image      | labels       | Says hello from the registry
image      | config       | GREETING=hello from the registry
image      | config       | COPY hello /usr/bin/hello
image      | referrers    | $signature_type
image      | referrers    | release-key-2026
image      | pull         | podman pull $reg/library/hello:1.1
image      | pull         | docker pull $reg/library/hello:1.1
image      | pull         | skopeo
index      | platforms    | linux/amd64
index      | platforms    | linux/arm64
many       | tags         | t000
many-paged | tags         | t299
xss        | labels       | $xss_img
xss        | labels       | $xss_script
xss        | referrers    | application/vnd.example.sbom.v1+json
xss        | referrers    | $xss_img
EOF
# A layer: its short digest shown, the whole one in a title or a link.
shows_layer() {
  local hex=${2#sha256:}
  shows "$1" layers "sha256:${hex:0:12}" &&
    page "$1" "any(.titles[], .links[].href; contains(\"$2\"))"
}
check "page image: #layers shows the layer" shows_layer image "$hello11_layer"
check "page platform: #layers shows the arm64 image's layer" shows_layer platform "$hello_arm_layer"
check "page root: #repositories links each name to its page" links_to root library/hello /ui/repo/library/hello
check "page root: demo/many's row counts its 300 tags" page root \
  '.sections.repositories | test("demo/many\\s+300\\s")'
check "page repo: each tag's creation time" page repo \
  '.sections.tags | [scan("2026-12-01T10:00:00Z")] | length == 3'
check "page filter: ?q=hello leaves out demo/many" lacks filter repositories demo/many
check "page first-two: ?n=2 lists two repositories" page first-two '.rows.repositories == 2'
check "page repos-paged: the paging links reach the last repository" shows repos-paged repositories private/secret
check "page repo: a short digest, the full one in its title" page repo \
  "(.sections.tags | contains(\"$short\")) and any(.titles[]; contains(\"$hello11\"))"
check "page index: each platform links to its image" eval "links_to index linux/amd64 /ui/repo/library/hello/digest/$hello11 &&
  links_to index linux/arm64 /ui/repo/library/hello/digest/$hello_arm"
check "page platform: the arm64 platform's link leads to its image" page platform \
  ".url | endswith(\"/ui/repo/library/hello/digest/$hello_arm\")"
check "page ten-tags: ?n=10 lists ten tags" page ten-tags '.rows.tags == 10'
check "page many-paged: t299 reached by following the paging links" page many-paged '.follows >= 1'
# The hostile strings are text: no element of theirs, no handler, no
# script of theirs ran or is in the document, the title is the page's.
# (xss-query and xss-path: the markup in the filter and in a repository
# name of the address, which the pages may repeat.)
for name in xss xss-repo xss-query xss-path; do
  check "page $name: the markup made no element" page "$name" \
    '.img_x == 0 and .on_attributes == 0 and all(.scripts[]; contains("pwned") | not)'
  check "page $name: nothing of it ran (title not 'pwned')" page "$name" '.title != "pwned" and .title != ""'
done
# The same image page as chromium's own --dump-dom prints it once the page
# has loaded: both payloads are text of the labels table (the serialised
# DOM writes a text's '<' as "&lt;"), no element of theirs exists, and the
# title is the page's. Under lighttpd with CGI --screenshot keeps a picture.
dump_dom_shows_payloads_as_text() {
  local dom=$work/xss.dom
  chromium --headless --no-sandbox --disable-gpu --no-first-run --virtual-time-budget=2000 \
    --dump-dom "$base/ui/repo/demo/xss/tag/v1" >"$dom" 2>/dev/null || { detail="chromium failed"; return 1; }
  grep -q 'id="labels"' "$dom" || { detail="no labels table in the DOM"; return 1; }
  grep -qF "&lt;img src=x onerror=document.title='pwned'&gt;" "$dom" || { detail="img payload not shown as text"; return 1; }
  grep -qF "&lt;/script&gt;&lt;script&gt;document.title='pwned'&lt;/script&gt;" "$dom" ||
    { detail="script payload not shown as text"; return 1; }
  if grep -qiE '<img|onerror="|<script>document' "$dom"; then detail="payload markup in the DOM"; return 1; fi
  grep -q "<title>[^<]*pwned" "$dom" && { detail="title changed"; return 1; }
  return 0
}
check "chromium --dump-dom: the hostile labels are text and made no element" dump_dom_shows_payloads_as_text
if [ -n "$shots" ]; then
  check "chromium --screenshot of the hostile labels' page saved" eval \
    "chromium --headless --no-sandbox --disable-gpu --no-first-run --window-size=1280,1600 \
       --screenshot='$shots/hostile-labels.png' '$base/ui/repo/demo/xss/tag/v1' >/dev/null 2>&1 &&
     file '$shots/hostile-labels.png' | grep -q 'PNG image data'"
fi
if [ -n "$shots" ]; then
  for kind in index repository image index-image; do
    check "screenshot $kind.png saved" eval "file '$shots/$kind.png' | grep -q 'PNG image data, 1280 x 1600'"
  done
fi

# ---- under an access policy ----------------------------------------------------

stop_server
: >"$work/htpasswd"
for user in alice bob; do
  htpasswd -bB "$work/htpasswd" "$user" "$user-Secret1" 2>/dev/null
done
chmod 644 "$work/htpasswd"
cat >"$work/access.json" <<'JSON'
{
  "realm": "registry",
  "rules": [
    {"who": ["anonymous"], "repositories": ["library/**", "demo/**"], "actions": ["pull"]},
    {"who": ["user:alice"], "repositories": ["**"], "actions": ["pull", "push", "delete"]},
    {"who": ["user:bob"], "repositories": ["library/**", "demo/**"], "actions": ["pull"]}
  ]
}
JSON
chmod 644 "$work/access.json"
export HTPASSWD=$work/htpasswd POLICY=$work/access.json AUTH=policy
check "$server ($mode) with AUTH=policy starts" start_server
[ -n "$server_pid" ] || finish
reg=127.0.0.1:$port
base=http://$reg
alice=(-u alice:alice-Secret1)
bob=(-u bob:bob-Secret1)

# Who sees which repository on /ui/ and its page: user | repository | 200 or
# the refusal.
while IFS='|' read -r user repo expected; do
  user=$(echo $user) repo=$(echo $repo) expected=$(echo $expected)
  [ -n "$user" ] || continue
  opts=()
  [ "$user" = anonymous ] || opts=(-u "$user:$user-Secret1")
  listed=no
  [ "$expected" = 200 ] && listed=yes
  sees() {
    request GET /ui/ "${opts[@]}"
    expect_status 200 || return 1
    if grep -q ">$repo<" "$work/body"; then
      [ "$listed" = yes ] || { detail="listed"; return 1; }
    else
      [ "$listed" = no ] || { detail="not listed"; return 1; }
    fi
    request GET "/ui/repo/$repo" "${opts[@]}"
    case $expected in
      200) expect_status 200 ;;
      # The program's own page with the challenge, as HTML: the server
      # leaves its type alone.
      401) expect_status 401 && [[ "$(header WWW-Authenticate)" == Basic* ]] &&
        [[ "$(header Content-Type)" == text/html* ]] ||
        { detail="$detail WWW-Authenticate: $(header WWW-Authenticate), Content-Type: $(header Content-Type)"; false; } ;;
      403) [ "$status" = 403 ] || [ "$status" = 404 ] || { detail="status $status, expected 403 or 404"; false; } ;;
    esac
  }
  check "$user: /ui/ $([ $listed = yes ] && echo lists || echo leaves out) $repo, its page answers $expected" sees
done <<'EOF'
anonymous | library/hello  | 200
anonymous | private/secret | 401
alice     | private/secret | 200
bob       | library/hello  | 200
bob       | private/secret | 403
EOF
request GET /ui/ -u alice:wrong
check "wrong credentials: the server's 401" expect_status 401

# The delete link only for a user the policy allows to delete.
request GET /ui/repo/demo/trash/tag/keep "${alice[@]}"
delete_link() {
  grep -o '<a [^>]*>' "$work/body" | grep 'href="/ui/repo/demo/trash/tag/keep/delete"' |
    grep -q 'class="\([^"]* \)\?delete[ "]' && return 0
  detail="no <a class=\"delete\" href=\"/ui/repo/demo/trash/tag/keep/delete\">"
  return 1
}
check "alice sees the delete link" eval 'expect_status 200 && delete_link'
for who in anonymous bob; do
  opts=()
  [ "$who" = bob ] && opts=("${bob[@]}")
  request GET /ui/repo/demo/trash/tag/keep "${opts[@]}"
  check "$who sees the page without the delete link" eval 'expect_status 200 && ! grep -q "/keep/delete" "$work/body"'
done

tags_of() {
  curl -sS -u alice:alice-Secret1 "$base/v2/$1/tags/list" | jq -r '.tags[]?' 2>/dev/null
}
has_tag() { tags_of "$1" | grep -qx "$2" || { detail="$1 has no tag $2"; return 1; }; }
lacks_tag() { ! tags_of "$1" | grep -qx "$2" || { detail="$1 still has tag $2"; return 1; }; }

# The browser deletes as alice: the image page's delete link, the
# confirmation, the button; then the confirmation page of "keep" (its token
# for the cross-site form below).
profile=$work/profile
steps --arg b "$base" '[{auth: "alice:alice-Secret1"},
  {open: ($b + "/ui/repo/demo/trash/tag/browser"), name: "trash"},
  {click: "a.delete", until: "/delete", name: "confirm"}]' >"$work/a.json"
if [ -n "$shots" ]; then
  jq --arg f "$shots/delete.png" '. + [{shot: $f, width: 1280, height: 1600}]' "$work/a.json" >"$work/a2.json" &&
    mv "$work/a2.json" "$work/a.json"
fi
jq --arg b "$base" '. + [{click: "#confirm-delete", until: "/ui/repo/demo/trash", name: "deleted"},
  {open: ($b + "/ui/repo/demo/trash/tag/keep/delete"), name: "keep-confirm"}]' \
  "$work/a.json" >"$work/a2.json" && mv "$work/a2.json" "$work/a.json"
check "chromium as alice: the delete link, the confirmation, the button" eval \
  'browser_run "$work/a.json" "$pages" "$profile" 2>"$work/browser.err" ||
   { detail=$(tail -n 3 "$work/browser.err" | tr "\n" " "); false; }'
check "the confirmation is a form with a token" page confirm \
  '.url | endswith("/ui/repo/demo/trash/tag/browser/delete")'
check "the button posted and was sent on (303) to the repository page" page deleted \
  'any(.documents[]; .method == "POST" and .status == 303) and (.url | test("/ui/repo/demo/trash/?$"))'
check "the tag deleted in the browser is gone from /v2/ tags" lacks_tag demo/trash browser
check "the other tags stay" eval 'has_tag demo/trash keep && has_tag demo/trash curl'
[ -z "$shots" ] || check "screenshot delete.png saved" eval "file '$shots/delete.png' | grep -q 'PNG image data'"

# token_of FILE: the value of the form's hidden token.
token_of() {
  "$python" -c '
import html.parser, sys
class P(html.parser.HTMLParser):
    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "input" and a.get("name") == "token":
            print(a.get("value", ""))
            sys.exit(0)
P().feed(open(sys.argv[1]).read())
' "$1"
}
keep_token=$(token_of "$pages/keep-confirm.html")
check "the confirmation page of keep holds a token" eval '[ -n "$keep_token" ]'

# A page of another site (localhost, another port) and of another port of
# this host, each with a form that posts itself to the delete URL with the
# real token, opened in the same browser with alice's credentials.
attacker=$work/attacker
mkdir -p "$attacker"
cat >"$attacker/attack.html" <<EOF
<!doctype html><html><body>
<form method="post" action="$base/ui/repo/demo/trash/tag/keep/delete">
<input type="hidden" name="token" value="$keep_token">
<button type="submit" id="confirm-delete">Delete</button></form>
<script>document.forms[0].submit()</script>
</body></html>
EOF
attacker_port=$((20000 + RANDOM % 40000))
while port_in_use "$attacker_port"; do attacker_port=$((20000 + RANDOM % 40000)); done
(cd "$attacker" && exec "$python" -m http.server "$attacker_port" --bind 127.0.0.1 >/dev/null 2>&1) &
attacker_pid=$!
for _ in $(seq 1 50); do port_in_use "$attacker_port" && break; sleep 0.1; done
steps --arg x "http://localhost:$attacker_port/attack.html" --arg y "http://127.0.0.1:$attacker_port/attack.html" \
  '[{auth: "alice:alice-Secret1"},
    {open: $x, until: "/keep/delete", name: "cross-site"},
    {open: $y, until: "/keep/delete", name: "other-port"}]' >"$work/b.json"
check "chromium as alice opens the other sites' pages, which post the form" eval \
  'browser_run "$work/b.json" "$pages" "$profile" 2>"$work/browser.err" ||
   { detail=$(tail -n 3 "$work/browser.err" | tr "\n" " "); false; }'
kill "$attacker_pid" 2>/dev/null
wait "$attacker_pid" 2>/dev/null
for name in cross-site other-port; do
  check "page $name: its POST reached the registry and was refused (403)" page "$name" \
    'any(.documents[]; .method == "POST" and (.url | endswith("/keep/delete")) and .status == 403)'
done
check "the tag the other sites' forms aimed at is still there" has_tag demo/trash keep

# The same by hand: each request that must be refused, then the one that
# may delete (the same form, own origin, its token).
own=$base
request GET /ui/repo/demo/trash/tag/curl/delete "${alice[@]}"
curl_token=$(token_of "$work/body")
check "the confirmation page of curl holds a token" eval '[ -n "$curl_token" ]'
url=/ui/repo/demo/trash/tag/curl/delete
forged=${curl_token%?}$([ "${curl_token: -1}" = A ] && echo B || echo A)
# case | who | Origin | Sec-Fetch-Site | token | the refusal
while IFS='|' read -r case who origin site token refusal; do
  case=$(echo $case) who=$(echo $who) origin=$(echo $origin) site=$(echo $site) token=$(echo $token)
  refusal=$(echo $refusal)
  [ -n "$case" ] || continue
  opts=(-H "Content-Type: application/x-www-form-urlencoded")
  [ "$who" = alice ] && opts+=("${alice[@]}")
  [ "$who" = bob ] && opts+=("${bob[@]}")
  [ "$origin" = - ] || opts+=(-H "Origin: ${origin//OWN/$own}")
  [ "$site" = - ] || opts+=(-H "Sec-Fetch-Site: $site")
  case $token in
    none) opts+=(--data-binary "") ;;
    *) opts+=(--data-urlencode "token=$(eval echo "\$$token")") ;;
  esac
  request POST "$url" "${opts[@]}"
  check "refused: $case ($refusal, curl stays)" eval '{ [[ "$status" =~ ^($refusal)$ ]] ||
    { detail="status $status, expected $refusal"; false; }; } && has_tag demo/trash curl'
done <<'EOF'
another site's Origin         | alice | http://evil.example | -           | curl_token | 403
another port's Origin         | alice | http://127.0.0.1:1  | -           | curl_token | 403
Sec-Fetch-Site cross-site     | alice | OWN                 | cross-site  | curl_token | 403
Sec-Fetch-Site same-site      | alice | -                   | same-site   | curl_token | 403
no token                      | alice | OWN                 | same-origin | none       | 403
a forged token                | alice | OWN                 | same-origin | forged     | 403
the token of another form     | alice | OWN                 | same-origin | keep_token | 403
bob, not allowed to delete    | bob   | OWN                 | same-origin | curl_token | 403
anonymous                     | -     | OWN                 | same-origin | curl_token | 401|403
EOF
request POST "$url" "${alice[@]}" -H "Origin: $own" -H "Sec-Fetch-Site: same-origin" \
  --data-urlencode "token=$curl_token"
check "alice's own form with its token deletes: 303 to the repository page" eval 'expect_status 303 &&
  { [[ "$(header Location)" =~ ^($base)?/ui/repo/demo/trash/?$ ]] || { detail="Location: $(header Location)"; false; }; }'
check "the tag is gone, keep stays" eval 'lacks_tag demo/trash curl && has_tag demo/trash keep'

# The confirmation page only for a user who may delete.
request GET /ui/repo/demo/trash/tag/keep/delete
check "anonymous asks for the confirmation: 401 with the challenge" eval 'expect_status 401 &&
  [[ "$(header WWW-Authenticate)" == Basic* ]] || { detail="$detail WWW-Authenticate: $(header WWW-Authenticate)"; false; }'
request GET /ui/repo/demo/trash/tag/keep/delete "${bob[@]}"
check "bob, who may only pull, asks for the confirmation: 403" expect_status 403

# A manifest by its digest: the manifest the deleted tag named is still
# there; its own form deletes it.
curl_manifest=sha256:$(sha "$blobs/trash-curl.manifest")
delete_by_digest() {
  local url=/ui/repo/demo/trash/digest/$curl_manifest/delete token
  request GET "/v2/demo/trash/manifests/$curl_manifest" "${alice[@]}"
  expect_status 200 || { detail="before: $detail"; return 1; }
  request GET "$url" "${alice[@]}"
  expect_status 200 || { detail="confirmation: $detail"; return 1; }
  token=$(token_of "$work/body")
  request POST "$url" "${alice[@]}" -H "Origin: $own" --data-urlencode "token=$token"
  expect_status 303 || return 1
  request GET "/v2/demo/trash/manifests/$curl_manifest" "${alice[@]}"
  expect_status 404 || { detail="after: $detail"; return 1; }
}
check "alice deletes a manifest by digest through its form: 303, then 404 from /v2/" delete_by_digest

# ---- the server's own logins (AUTH=all, AUTH=write) ---------------------------

# The pages log in as the API does: AUTH | who | method path | status.
# Anonymous requests that must log in get the server's 401; logged-in ones
# reach the program (a POST with a forged token: its 403).
stop_server
unset POLICY
for auth in all write; do
  export AUTH=$auth
  check "$server ($mode) with AUTH=$auth starts" start_server
  [ -n "$server_pid" ] || continue
  base=http://127.0.0.1:$port
  while IFS='|' read -r mode_auth who method path expected; do
    mode_auth=$(echo $mode_auth) who=$(echo $who) method=$(echo $method) path=$(echo $path) expected=$(echo $expected)
    [ "$mode_auth" = "$auth" ] || continue
    opts=()
    [ "$who" = alice ] && opts=("${alice[@]}")
    [ "$method" = POST ] && opts+=(-H "Origin: $base" --data-binary "token=x")
    request "$method" "$path" "${opts[@]}"
    check "AUTH=$auth: $who $method $path: $expected" expect_status "$expected"
  done <<'EOF'
all   | anonymous | GET  | /ui/                                   | 401
all   | anonymous | GET  | /                                      | 401
all   | alice     | GET  | /ui/                                   | 200
all   | alice     | POST | /ui/repo/demo/trash/tag/keep/delete    | 403
write | anonymous | GET  | /ui/repo/library/hello                 | 200
write | anonymous | POST | /ui/repo/demo/trash/tag/keep/delete    | 401
write | alice     | POST | /ui/repo/demo/trash/tag/keep/delete    | 403
EOF
  check "AUTH=$auth: the tag keep is still there" has_tag demo/trash keep
  stop_server
done

finish
