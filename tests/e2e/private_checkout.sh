#!/usr/bin/env bash
# The registry served from a checkout that only root can enter, as a clone
# under /root is on Debian (mode 0700): Apache and nginx started by root run
# the programs as www-data, which cannot enter such a folder, so scripts/serve
# must put what that user needs elsewhere without opening the checkout.
#
# Copies this checkout (the files git knows, committed or not, ignored ones
# left out) and the programs of the build (BUILD_DIR, default ./build) into a
# fresh folder inside a new 0700 folder, and from that copy:
#   - runs the API end-to-end test (api_e2e.sh) under Apache;
#   - serves with nginx and every default (./run, ./registry_storage), pushes
#     a blob over HTTP and finds it with regstore from the checkout;
#   - asks Apache and nginx to serve a storage root inside the closed folder,
#     which both must refuse at start, saying what www-data cannot reach.
# Not one of the *_e2e.sh files: scripts/test runs it once, as root.
#
#   BUILD_DIR=build tests/e2e/private_checkout.sh
set -uo pipefail

if [ "${1:-}" != --inside ]; then
  source_top=$(cd "$(dirname "$0")/../.." && pwd)
  source_build=$(cd "${BUILD_DIR:-$source_top/build}" && pwd) || exit 1
  if [ "$(id -u)" != 0 ]; then
    echo "FAIL setup: run as root (the servers drop to www-data only when started by root)"
    echo "0 passed, 1 failed"
    exit 1
  fi
  # mktemp -d makes the folder with mode 0700.
  closed=$(mktemp -d "${TMPDIR:-/tmp}/registry-closed.XXXXXX")
  trap 'rm -rf "$closed"' EXIT
  copy=$closed/checkout
  mkdir "$copy"
  if git -C "$source_top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$source_top" && git ls-files -z --cached --others --exclude-standard |
      tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -C "$copy" -xf -
  else
    tar -C "$source_top" --exclude=./build --exclude='./build-*' --exclude=./.deps --exclude=./run \
      --exclude=./registry_storage -cf - . | tar -C "$copy" -xf -
  fi
  mkdir -p "$copy/build/endpoint" "$copy/build/tools" "$copy/build/tests"
  for program in v2_base v2_catalog v2_tags v2_manifests v2_referrers v2_uploads v2_blob ui; do
    cp "$source_build/endpoint/$program" "$copy/build/endpoint/" || exit 1
  done
  cp "$source_build/tools/regstore" "$copy/build/tools/" &&
    cp "$source_build/tests/check_store" "$copy/build/tests/" || exit 1
  echo "     (checkout copied into $copy, inside a folder of mode $(stat -c %a "$closed"))"
  BUILD_DIR=$copy/build bash "$copy/tests/e2e/private_checkout.sh" --inside
  exit
fi

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

# The storage that scripts/serve moves out of the checkout, removed at the end.
moved_storage=
cleanup() {
  stop_server
  rm -rf "$work"
  [ -z "$moved_storage" ] || rm -rf "$moved_storage"
}

as_www_data() { runuser -u www-data -- "$@"; }
check "www-data cannot enter this checkout" eval '! as_www_data test -x "$top"'

api_under_apache() {
  SERVER=apache BUILD_DIR=$build_dir bash "$top/tests/e2e/api_e2e.sh" >"$work/api.log" 2>&1 && return 0
  detail=$(grep -E '^FAIL|passed, ' "$work/api.log" | head -n 8 | tr '\n' ' ')
  return 1
}
check "the API end-to-end test under Apache, from here" api_under_apache
tail -n 1 "$work/api.log" | sed 's/^/     (api_e2e.sh: /; s/$/)/'

# ---- every default under nginx --------------------------------------------

server=nginx
storage=
serve_run_dir=$top/run
if check "nginx starts from here with ./run and ./registry_storage" start_server; then
  moved_storage=$(readlink -f "$top/registry_storage")
  check "./registry_storage is a link to a folder www-data can write" eval '[ -L "$top/registry_storage" ] &&
    as_www_data test -w "$moved_storage"'
  head -c 100000 /dev/urandom >"$work/blob"
  digest=sha256:$(sha256sum "$work/blob" | cut -c1-64)
  check "a blob pushed over HTTP: 201" eval 'request POST "/v2/demo/blobs/uploads/?digest=$digest" \
    --data-binary @"$work/blob" && expect_status 201'
  check "the blob reads back" eval 'request GET "/v2/demo/blobs/$digest" && expect_status 200 &&
    expect_body_file "$work/blob"'
  check "the programs ran as www-data: it owns the blob file" eval '
    [ "$(stat -c %U "$moved_storage/blobs/sha256/${digest:7:2}/${digest:7}")" = www-data ]'
  regstore_finds_it() {
    (cd "$top" && build/tools/regstore blob stat "$digest") >"$work/stat" 2>&1 &&
      grep -qx "size: 100000" "$work/stat" && return 0
    detail="regstore blob stat: $(tr '\n' ' ' <"$work/stat")"
    return 1
  }
  check "regstore from the checkout finds it in ./registry_storage" regstore_finds_it
  check "the pages list the repository, run as www-data" eval 'request GET /ui/ && expect_status 200 &&
    grep -q ">demo<" "$work/body"'
  served_port=$port
  stop_server
  check "the server's folder under /var/lib is gone once it stopped" eval '
    ! ls -d /var/lib/tarnwick-registry/run/nginx-"$served_port"-* >/dev/null 2>&1'
fi

# ---- a storage root www-data cannot reach -----------------------------------

# Both servers refuse it before they start, name what www-data cannot reach,
# and exit non-zero.
refuses_closed_storage() {
  local name=$1 free
  free=$((20000 + RANDOM % 40000))
  while port_in_use "$free"; do free=$((20000 + RANDOM % 40000)); done
  SERVER=$name PORT=$free RUN_DIR=$work/run-$name REGISTRY_STORAGE_ROOT=$top/closed-storage \
    BUILD_DIR=$build_dir SERVE_SKIP_BUILD=1 timeout 60 "$top/scripts/serve" >"$work/refused.log" 2>&1 </dev/null
  local status=$?
  if [ "$status" = 0 ] || [ "$status" = 124 ]; then
    detail="scripts/serve exited $status"
    return 1
  fi
  grep -q "www-data.*cannot reach $top/closed-storage" "$work/refused.log" && return 0
  detail="no 'cannot reach' in: $(tr '\n' ' ' <"$work/refused.log" | head -c 400)"
  return 1
}
for name in apache nginx; do
  check "$name: a storage root www-data cannot reach stops scripts/serve, saying so" refuses_closed_storage "$name"
done

finish
