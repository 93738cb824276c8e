#!/usr/bin/env bash
# Access rules per repository through a web server (SERVER: lighttpd,
# apache or nginx; MODE: cgi or fastcgi) with scripts/serve AUTH=policy:
# credentials are optional at the server, which checks those a request
# brings, and the programs decide by the access policy.
#
#   - the matrix: anonymous, two users of one group (alice, bob), a third
#     user (carol) and an admin, each against a public, a private (alice's),
#     a team and a shared repository, with pull, push and delete; each
#     answer is taken from a table written out by hand below, not from the
#     code under test;
#   - a refusal: 401 with the challenge without credentials, 403 DENIED
#     with them; wrong credentials get the server's 401; refused requests
#     leave the store as it was and an access line with result=denied;
#   - GET /v2/ and the catalog per user;
#   - skopeo with --creds and podman with login, pushing and pulling where
#     the policy allows it and refused where it does not.
#
#   tests/e2e/access_e2e.sh     (BUILD_DIR selects the build; default ./build)
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

require_tools skopeo jq htpasswd curl

: >"$work/htpasswd"
for user in alice bob carol admin; do
  htpasswd -bB "$work/htpasswd" "$user" "$user-Secret1" 2>/dev/null
done
chmod 644 "$work/htpasswd"
export HTPASSWD=$work/htpasswd

cat >"$work/access.json" <<'EOF'
{
  "realm": "registry",
  "groups": {"devs": ["alice", "bob"]},
  "rules": [
    {"who": ["anonymous"], "repositories": ["public/**"], "actions": ["pull"]},
    {"who": ["user:alice"], "repositories": ["alice/**"], "actions": ["pull", "push", "delete"]},
    {"who": ["group:devs"], "repositories": ["team/**"], "actions": ["pull", "push"]},
    {"who": ["authenticated"], "repositories": ["shared/*"], "actions": ["pull"]},
    {"who": ["user:admin"], "repositories": ["**"], "actions": ["pull", "push", "delete"]}
  ]
}
EOF
chmod 644 "$work/access.json"
export POLICY=$work/access.json AUTH=policy

images=$work/images
"$top/tests/e2e/make_test_images.sh" "$images" >"$work/digests" 2>"$work/log/images.err" || {
  echo "FAIL setup: test images: $(tail -n 3 "$work/log/images.err")"
  finish
}
oci_d=$(awk '$1 == "oci" {print $2}' "$work/digests")

# regstore tells the same decisions, and where a broken policy is broken.
regstore=$build_dir/tools/regstore
check "regstore access check: bob may push team/app, by rules[2] on line 7" eval \
  '"$regstore" access check bob push team/app --policy "$POLICY" >"$work/check.out" &&
   grep -q "^allowed: bob may push team/app (rules\[2\], line 7 of " "$work/check.out" ||
   { detail=$(cat "$work/check.out"); false; }'
check "regstore access check: carol may not pull alice/app (exit 1)" eval \
  '! "$regstore" access check carol pull alice/app --policy "$POLICY" >"$work/check.out" &&
   grep -q "^denied: carol may not pull alice/app" "$work/check.out" ||
   { detail=$(cat "$work/check.out"); false; }'
check "regstore access lint: a policy naming an unknown group, with its line and column (exit 1)" eval \
  'sed "s/group:devs/group:ops/" "$POLICY" >"$work/broken.json" &&
   ! "$regstore" access lint "$work/broken.json" >"$work/lint.out" &&
   grep -q "broken.json: line 7, column 14 (rules\[2\].who\[0\]): unknown group .ops." "$work/lint.out" ||
   { detail=$(cat "$work/lint.out"); false; }'

check "$server (${MODE:-cgi}) with AUTH=policy starts" start_server || finish
reg=127.0.0.1:$port

creds() { [ "$1" = anonymous ] || printf '%s:%s-Secret1' "$1" "$1"; }

# ---- the repositories, filled by the admin through skopeo --dest-creds -----

seed() {
  local repo
  for repo in public/app alice/app team/app shared/app; do
    run "seed-${repo%/app}" "${sk[@]}" copy --retry-times 0 --preserve-digests --dest-tls-verify=false \
      --dest-creds "$(creds admin)" "oci:$images/oci:v1" "docker://$reg/$repo:v1" || return 1
  done
}
check "admin pushes one image into each repository with skopeo --dest-creds" seed

# ---- the matrix --------------------------------------------------------------

# What each user may do in each repository, from the policy above by hand:
# p pull, u push, d delete, - nothing.
#           public/app  alice/app  team/app  shared/app
matrix='
anonymous   p           -          -         -
alice       p           pud        pu        p
bob         p           -          pu        p
carol       p           -          -         p
admin       pud         pud        pud       pud
'
repos=(public/app alice/app team/app shared/app)

# A refusal as the user gets it: 401 with the challenge and UNAUTHORIZED
# without credentials, 403 DENIED with them.
expect_refused() {
  if [ "$1" = anonymous ]; then
    expect_status 401 || return 1
    expect_header WWW-Authenticate 'Basic realm="registry"' || return 1
    [ "$(jq -r '.errors[0].code' "$work/body" 2>/dev/null)" = UNAUTHORIZED ] ||
      { detail="body is not UNAUTHORIZED: $(head -c 200 "$work/body")"; return 1; }
  else
    expect_status 403 || return 1
    [ "$(jq -r '.errors[0].code' "$work/body" 2>/dev/null)" = DENIED ] ||
      { detail="body is not DENIED: $(head -c 200 "$work/body")"; return 1; }
  fi
}
# as USER METHOD PATH [curl options]: a request with USER's credentials.
as() {
  local user=$1
  shift
  if [ "$user" = anonymous ]; then request "$@"; else request "$@" -u "$(creds "$user")"; fi
}
# One user in one repository: pull (GET of the manifest), push (an upload
# started and, when allowed, cancelled again) and delete (a tag that is not
# there: 404 when allowed).
user_in_repo() {
  local user=$1 repo=$2 grants=$3
  as "$user" GET "/v2/$repo/manifests/v1"
  if [[ $grants == *p* ]]; then expect_status 200 || { detail="pull: $detail"; return 1; }
  else expect_refused "$user" || { detail="pull: $detail"; return 1; }; fi
  as "$user" POST "/v2/$repo/blobs/uploads/" -H 'Content-Length: 0'
  if [[ $grants == *u* ]]; then
    expect_status 202 || { detail="push: $detail"; return 1; }
    local location
    location=$(header Location)
    as "$user" DELETE "$location"
    expect_status 204 || { detail="cancel: $detail"; return 1; }
  else
    expect_refused "$user" || { detail="push: $detail"; return 1; }
  fi
  as "$user" DELETE "/v2/$repo/manifests/none"
  if [[ $grants == *d* ]]; then expect_status 404 || { detail="delete: $detail"; return 1; }
  else expect_refused "$user" || { detail="delete: $detail"; return 1; }; fi
}

# The store's files with their contents' digests: what a refused request
# must leave as it was.
store_state() { (cd "$storage" && find . -type f ! -name '*.lock' -print0 | sort -z | xargs -0 -r sha256sum); }
store_state >"$work/state-before"

while read -r user g1 g2 g3 g4; do
  [ -n "$user" ] || continue
  grants=("$g1" "$g2" "$g3" "$g4")
  for i in 0 1 2 3; do
    check "$user in ${repos[$i]}: ${grants[$i]}" user_in_repo "$user" "${repos[$i]}" "${grants[$i]}"
  done
done <<<"$matrix"

check "the store is as it was after the matrix (refused writes changed nothing)" eval \
  'store_state >"$work/state-after" && cmp -s "$work/state-before" "$work/state-after" ||
   { detail=$(diff "$work/state-before" "$work/state-after" | head -c 600); false; }'
check "refusals are in the log as access lines with result=denied" eval \
  'grep -aq "registry-access user=carol addr=127.0.0.1 action=push repository=team/app digest=- reference=- result=denied" "$work/server.log" &&
   grep -aq "registry-access user=- addr=127.0.0.1 action=pull repository=alice/app digest=- reference=- result=denied" "$work/server.log" ||
   { detail="no such lines: $(grep -a result=denied "$work/server.log" | head -n 3)"; false; }'

# ---- the refusal's details ----------------------------------------------------

check "a wrong password gets the server's 401, even where anonymous may pull" eval \
  'request GET /v2/public/app/manifests/v1 -u alice:wrong && expect_status 401'
check "a refused blob upload with a body stores nothing" eval \
  'head -c 50000 /dev/urandom >"$work/blob" &&
   d=sha256:$(sha256sum "$work/blob" | cut -c1-64) &&
   as carol POST "/v2/team/app/blobs/uploads/?digest=$d" --data-binary @"$work/blob" &&
   expect_refused carol && as admin HEAD "/v2/team/app/blobs/$d" && expect_status 404'
check "GET /v2/: 200 to anonymous (the policy grants it a pull) and to carol" eval \
  'as anonymous GET /v2/ && expect_status 200 && as carol GET /v2/ && expect_status 200'

# The catalog per user: only what each may pull.
catalog_is() {
  as "$1" GET /v2/_catalog
  expect_status 200 || return 1
  local got
  got=$(jq -c .repositories "$work/body" 2>/dev/null)
  [ "$got" = "$2" ] || { detail="catalog $got, expected $2"; return 1; }
}
check "catalog: anonymous sees public/app" catalog_is anonymous '["public/app"]'
check "catalog: carol sees public/app and shared/app" catalog_is carol '["public/app","shared/app"]'
check "catalog: bob sees public, shared and team" catalog_is bob '["public/app","shared/app","team/app"]'
check "catalog: admin sees all four" catalog_is admin '["alice/app","public/app","shared/app","team/app"]'
check "catalog: carol's pages of one hold her repositories only" eval \
  'as carol GET "/v2/_catalog?n=1" && expect_status 200 &&
   [ "$(jq -c .repositories "$work/body")" = "[\"public/app\"]" ] &&
   as carol GET "/v2/_catalog?n=1&last=public/app" && [ "$(jq -c .repositories "$work/body")" = "[\"shared/app\"]" ] &&
   expect_no_header Link'

# ---- skopeo with --creds ------------------------------------------------------

fails() {
  local log=$1
  if run "$@"; then
    detail="'${*: -2:1} ${*: -1}' succeeded"
    return 1
  fi
  detail=
}
check "skopeo: bob pushes into team/ with --dest-creds" run sk-bob-team "${sk[@]}" copy --retry-times 0 \
  --dest-tls-verify=false --dest-creds "$(creds bob)" "oci:$images/oci:v1" "docker://$reg/team/bob:v1"
check "skopeo: bob cannot push into alice/" fails sk-bob-alice "${sk[@]}" copy --retry-times 0 \
  --dest-tls-verify=false --dest-creds "$(creds bob)" "oci:$images/oci:v1" "docker://$reg/alice/bob:v1"
check "skopeo: anonymous pulls public/app" run sk-anon-public "${sk[@]}" copy --retry-times 0 \
  --src-tls-verify=false "docker://$reg/public/app:v1" "oci:$work/pulled-public:v1"
check "skopeo: anonymous cannot pull team/app" fails sk-anon-team "${sk[@]}" copy --retry-times 0 \
  --src-tls-verify=false "docker://$reg/team/app:v1" "oci:$work/pulled-team:v1"
check "skopeo: carol cannot pull alice/app with --src-creds" fails sk-carol-alice "${sk[@]}" copy \
  --retry-times 0 --src-tls-verify=false --src-creds "$(creds carol)" "docker://$reg/alice/app:v1" \
  "oci:$work/pulled-alice:v1"
check "skopeo: carol pulls shared/app with --src-creds, the manifest as pushed" eval \
  'run sk-carol-shared "${sk[@]}" copy --retry-times 0 --preserve-digests --src-tls-verify=false \
     --src-creds "$(creds carol)" "docker://$reg/shared/app:v1" "oci:$work/pulled-shared:v1" &&
   cmp -s "$work/pulled-shared/blobs/sha256/${oci_d#sha256:}" "$images/oci/blobs/sha256/${oci_d#sha256:}" ||
   { detail=${detail:-"the pulled manifest differs"}; false; }'
check "skopeo: alice deletes alice/app:v1" run sk-alice-delete "${sk[@]}" delete --retry-times 0 \
  --tls-verify=false --creds "$(creds alice)" "docker://$reg/alice/app:v1"
check "skopeo: bob cannot delete team/app:v1" fails sk-bob-delete "${sk[@]}" delete --retry-times 0 \
  --tls-verify=false --creds "$(creds bob)" "docker://$reg/team/app:v1"

# ---- podman with login --------------------------------------------------------

printf 'unqualified-search-registries = []\n' >"$work/registries.conf"
export CONTAINERS_REGISTRIES_CONF=$work/registries.conf
export REGISTRY_AUTH_FILE=$work/podman-auth.json
printf '{}\n' >"$REGISTRY_AUTH_FILE"
pm=(podman --root "$work/podman/root" --runroot "$work/podman/run" --tmpdir "$work/podman/tmp"
  --storage-driver vfs --cgroup-manager cgroupfs --events-backend none)
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
pmp=(--tls-verify=false --signature-policy "$work/policy.json")
if [ -n "$podman_why" ]; then
  echo "SKIP podman: $podman_why"
else
  check "podman: anonymous pulls public/app" run pm-pull-public "${pm[@]}" pull -q "${pmp[@]}" "$reg/public/app:v1"
  check "podman: login as bob" run pm-login-bob "${pm[@]}" login --tls-verify=false -u bob -p "bob-Secret1" "$reg"
  check "podman: bob pushes into team/" run pm-push-team "${pm[@]}" push "${pmp[@]}" "$reg/public/app:v1" \
    "$reg/team/podman:v1"
  check "podman: bob cannot push into alice/" fails pm-push-alice "${pm[@]}" push "${pmp[@]}" \
    "$reg/public/app:v1" "$reg/alice/podman:v1"
  check "podman: bob pulls team/podman back" eval \
    'run pm-rm "${pm[@]}" rmi -f "$reg/team/podman:v1" && run pm-pull-team "${pm[@]}" pull -q "${pmp[@]}" "$reg/team/podman:v1"'
  check "podman: bob cannot pull alice/app" fails pm-pull-alice "${pm[@]}" pull -q "${pmp[@]}" "$reg/alice/app:v1"
  check "podman: login as alice, whose push into alice/ goes through" eval \
    'run pm-login-alice "${pm[@]}" login --tls-verify=false -u alice -p "alice-Secret1" "$reg" &&
     run pm-push-alice2 "${pm[@]}" push "${pmp[@]}" "$reg/public/app:v1" "$reg/alice/podman:v1"'
  check "podman: login with a wrong password fails" fails pm-login-wrong "${pm[@]}" login \
    --tls-verify=false -u carol -p wrong "$reg"
  "${pm[@]}" rmi -a -f >/dev/null 2>&1
fi
stop_server

check "the store keeps its invariants" eval '"$build_dir/tests/check_store" "$storage" >"$work/check" 2>&1 ||
  { detail=$(head -c 600 "$work/check"); false; }'
finish
