#!/usr/bin/env bash
# One store, two hosts, on a real distributed file system: starts glusterd
# (its state in the scratch folder), makes a one-brick GlusterFS volume on
# this machine (with performance.stat-prefetch off, which the upload lock
# needs) and mounts it twice (FUSE), then runs two web servers over
# the two mounts: lighttpd on the first, nginx on the second, the same
# storage root through each. While writers push blobs through both servers
# (each blob read back at once through the other one) and readers fetch
# every blob pushed so far through either, skopeo pushes an image through
# one server and pulls it through the other. Every body must be exactly the
# bytes its digest names; afterwards the store's invariant checker runs over
# the volume. Runs the load for GLUSTER_SECONDS (default 20). Then a
# process on each mount works on one upload at once: an append through one
# and the finish through the other must take turns.
#
# Stops all it started (the servers, both mounts, the volume, glusterd by
# its process id), also when a check fails. Skips (exit 0, a SKIP line) only
# where FUSE is missing; anything else that keeps GlusterFS from working is
# a failure.
#
#   tests/e2e/gluster_e2e.sh     (BUILD_DIR selects the build; default ./build)
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

seconds=${GLUSTER_SECONDS:-20}
check_store=$build_dir/tests/check_store
store_worker=$build_dir/tests/fault/store_worker
volume=regtest$$

if [ ! -c /dev/fuse ] || ! grep -qw fuse /proc/filesystems 2>/dev/null; then
  echo "SKIP GlusterFS: FUSE is missing here (no /dev/fuse or no fuse in /proc/filesystems)"
  exit 0
fi
for tool in glusterd gluster mount.glusterfs skopeo jq; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL setup: $tool is needed (scripts/setup installs glusterfs-server, glusterfs-client)"
    finish
  fi
done
[ "$(id -u)" = 0 ] || { echo "FAIL setup: GlusterFS needs root, and this is $(id -un)"; finish; }

# ---- stopping all of it, whatever happens -----------------------------------

glusterd_pid=
volume_made=0
mounts=()
pids=()
ports=()
gluster_cleanup() {
  local pid m
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  for m in "${mounts[@]}"; do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null
  done
  if [ "$volume_made" = 1 ]; then
    gluster --mode=script volume stop "$volume" force >/dev/null 2>&1
    gluster --mode=script volume delete "$volume" >/dev/null 2>&1
  fi
  if [ -n "$glusterd_pid" ]; then
    kill "$glusterd_pid" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$glusterd_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  cleanup
}
trap gluster_cleanup EXIT

# ---- GlusterFS: glusterd, a volume of one brick, two mounts ----------------

# A brick's host must not be a loopback address: this machine's own.
address=$(hostname -I 2>/dev/null | tr ' ' '\n' | grep -E '^[0-9]+\.' | head -n 1)
start_gluster() {
  [ -n "$address" ] || { detail="this machine has no IPv4 address for the brick"; return 1; }
  if port_in_use 24007; then
    detail="port 24007 is taken: another glusterd runs here"
    return 1
  fi
  mkdir -p "$work/glusterd" "$work/brick" "$work/mnt1" "$work/mnt2"
  glusterd -N --pid-file="$work/glusterd.pid" --log-file="$work/log/glusterd.log" \
    --xlator-option "*.working-directory=$work/glusterd" >"$work/log/glusterd.out" 2>&1 &
  glusterd_pid=$!
  local i
  for i in $(seq 1 100); do
    gluster --mode=script volume list >/dev/null 2>&1 && break
    kill -0 "$glusterd_pid" 2>/dev/null || { detail="glusterd ended: $(tail -n 3 "$work/log/glusterd.log")"; return 1; }
    sleep 0.2
  done
  # force: the brick lies on the root file system, which GlusterFS warns of.
  # performance.stat-prefetch off: the clients' metadata cache would keep a
  # file's size from before another client's append past the lock that
  # orders them, so that a finish could hash a stale prefix.
  gluster --mode=script volume create "$volume" "$address:$work/brick" force >"$work/log/create" 2>&1 &&
    volume_made=1 &&
    gluster --mode=script volume set "$volume" performance.stat-prefetch off >>"$work/log/create" 2>&1 &&
    gluster --mode=script volume start "$volume" >"$work/log/start" 2>&1 ||
    { detail="volume: $(cat "$work/log/create" "$work/log/start" 2>/dev/null | tr '\n' ' ')"; return 1; }
  local m
  for m in "$work/mnt1" "$work/mnt2"; do
    mount -t glusterfs "$address:/$volume" "$m" 2>"$work/log/mount" ||
      { detail="mount $m: $(cat "$work/log/mount")"; return 1; }
    mounts+=("$m")
  done
  echo ready >"$work/mnt1/probe" && [ "$(cat "$work/mnt2/probe")" = ready ] && rm "$work/mnt2/probe" ||
    { detail="a file written through one mount does not read back through the other"; return 1; }
}
check "glusterd, a one-brick volume, two FUSE mounts of it" start_gluster || finish

# ---- two web servers, one over each mount -----------------------------------

# serve_over SERVER MOUNT: scripts/serve on a free port with the storage
# root registry/ of that mount; its port goes into ports[], its pid into pids[].
# Every host of one store must run the programs as one user, or one host
# cannot write into a directory another made: lighttpd runs them as root
# here, so nginx (which would drop to www-data) is told to do the same.
serve_over() {
  local name=$1 mount=$2 attempt port pid i log=$work/log/serve-$1.log
  for attempt in $(seq 1 20); do
    port=$((20000 + RANDOM % 40000))
    port_in_use "$port" && continue
    SERVER=$name NGINX_USER=root PORT=$port RUN_DIR=$work/run-$name REGISTRY_STORAGE_ROOT=$mount/registry \
      BUILD_DIR=$build_dir SERVE_SKIP_BUILD=1 "$top/scripts/serve" >"$log" 2>&1 </dev/null &
    pid=$!
    for i in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      if port_in_use "$port" &&
        [ "$(curl -s --max-time 5 -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/v2/")" = 200 ]; then
        pids+=("$pid")
        ports+=("$port")
        return 0
      fi
      sleep 0.1
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    grep -q 'Address already in use' "$log" || { detail=$(tail -n 5 "$log" | tr '\n' ' '); return 1; }
  done
  detail="no free port"
  return 1
}
check "lighttpd over the first mount" serve_over lighttpd "$work/mnt1" || finish
check "nginx over the second mount" serve_over nginx "$work/mnt2" || finish
echo "     (lighttpd on ${ports[0]}, nginx on ${ports[1]}, $seconds s of load)"

# ---- the load ---------------------------------------------------------------

sha() { sha256sum "$1" | cut -c1-64; }
# verify_get PORT DIGEST OUT: GET of the blob through that server answers 200
# with exactly the bytes of DIGEST; prints why not.
verify_get() {
  local code
  code=$(curl -s --max-time 60 -o "$3" -w '%{http_code}' "http://127.0.0.1:$1/v2/load/blobs/sha256:$2")
  [ "$code" = 200 ] || { echo "GET through :$1 of $2 answered $code"; return 1; }
  [ "$(sha "$3")" = "$2" ] || { echo "GET through :$1 of $2 gave other bytes"; return 1; }
}
# writer NAME MINE OTHER: pushes random blobs through port MINE (in one POST
# or as POST, PATCH, PUT, in turn) until the time is up, and reads each back
# through port OTHER at once. Appends each digest to $work/pushed.
writer() {
  local name=$1 mine=$2 other=$3 n=0 size file hex location code bad=0
  local end=$((SECONDS + seconds))
  while [ "$SECONDS" -lt "$end" ]; do
    n=$((n + 1))
    size=$((1 + RANDOM * 37 % 400000))
    [ $((n % 10)) = 0 ] && size=$((2 * 1048576 + RANDOM))
    file=$work/w-$name
    head -c "$size" /dev/urandom >"$file"
    hex=$(sha "$file")
    if [ $((n % 2)) = 0 ]; then
      code=$(curl -s --max-time 60 -o /dev/null -w '%{http_code}' -X POST --data-binary @"$file" \
        "http://127.0.0.1:$mine/v2/load/blobs/uploads/?digest=sha256:$hex")
    else
      location=$(curl -s --max-time 60 -D - -o /dev/null -X POST -H 'Content-Length: 0' \
        "http://127.0.0.1:$mine/v2/load/blobs/uploads/" | tr -d '\r' | sed -n 's/^[Ll]ocation: //p')
      code=$(curl -s --max-time 60 -o /dev/null -w '%{http_code}' -X PATCH --data-binary @"$file" \
        "http://127.0.0.1:$mine$location")
      [ "$code" = 202 ] && code=$(curl -s --max-time 60 -o /dev/null -w '%{http_code}' -X PUT \
        -H 'Content-Length: 0' "http://127.0.0.1:$mine$location?digest=sha256:$hex")
    fi
    if [ "$code" != 201 ]; then
      echo "push $n of $name through :$mine answered $code" >>"$work/bad"
      bad=$((bad + 1))
      continue
    fi
    echo "$hex" >>"$work/pushed"
    verify_get "$other" "$hex" "$file.back" >>"$work/bad" || bad=$((bad + 1))
  done
  echo "$name $n $bad" >>"$work/writers"
}
# reader NAME: until the time is up, GETs a random blob pushed so far
# through a random one of the two servers.
reader() {
  local name=$1 n=0 bad=0 hex port
  local end=$((SECONDS + seconds))
  while [ "$SECONDS" -lt "$end" ]; do
    [ -s "$work/pushed" ] || { sleep 0.1; continue; }
    hex=$(shuf -n 1 "$work/pushed")
    [ ${#hex} = 64 ] || continue
    port=${ports[$((RANDOM % 2))]}
    n=$((n + 1))
    verify_get "$port" "$hex" "$work/r-$name" >>"$work/bad" || bad=$((bad + 1))
  done
  echo "$name $n $bad" >>"$work/readers"
}

images=$work/images
"$top/tests/e2e/make_test_images.sh" "$images" >"$work/digests" 2>"$work/log/images.err"
: >"$work/pushed" >"$work/bad" >"$work/writers" >"$work/readers"
load=()
writer w1 "${ports[0]}" "${ports[1]}" & load+=("$!")
writer w2 "${ports[1]}" "${ports[0]}" & load+=("$!")
writer w3 "${ports[0]}" "${ports[1]}" & load+=("$!")
writer w4 "${ports[1]}" "${ports[0]}" & load+=("$!")
reader r1 & load+=("$!")
reader r2 & load+=("$!")

skopeo_across() {
  local d
  d=$(awk '$1 == "index" {print $2}' "$work/digests")
  [ -n "$d" ] || { detail="no test images: $(tail -n 2 "$work/log/images.err")"; return 1; }
  timeout 300 "${sk[@]}" copy --all --retry-times 0 --preserve-digests --dest-tls-verify=false \
    "oci:$images/index:v1" "docker://127.0.0.1:${ports[0]}/shared/index:v1" >"$work/log/push.out" 2>&1 ||
    { detail="push through lighttpd: $(tail -n 2 "$work/log/push.out")"; return 1; }
  timeout 300 "${sk[@]}" copy --all --retry-times 0 --preserve-digests --src-tls-verify=false \
    "docker://127.0.0.1:${ports[1]}/shared/index:v1" "oci:$work/pulled:v1" >"$work/log/pull.out" 2>&1 ||
    { detail="pull through nginx: $(tail -n 2 "$work/log/pull.out")"; return 1; }
  local out
  out=$(diff -r "$images/index/blobs" "$work/pulled/blobs" 2>&1) || { detail=$(head -n 2 <<<"$out"); return 1; }
  [ "$(jq -r '.manifests[0].digest' "$work/pulled/index.json")" = "$d" ] ||
    { detail="the pulled index names another digest"; return 1; }
}
check "skopeo --all pushes an index through lighttpd and pulls it through nginx, byte-identical, under load" \
  skopeo_across
for pid in "${load[@]}"; do wait "$pid"; done

pushes=$(awk '{s += $2} END {print s + 0}' "$work/writers")
reads=$(awk '{s += $2} END {print s + 0}' "$work/readers")
echo "     ($pushes pushes, each read back through the other server; $reads random reads)"
check "all writers and readers finished" eval '[ "$(wc -l <"$work/writers")" = 4 ] && [ "$(wc -l <"$work/readers")" = 2 ] ||
  { detail="$(wc -l <"$work/writers") writers, $(wc -l <"$work/readers") readers reported"; false; }'
check "pushes through both servers: every one 201 and read back whole through the other" eval \
  '[ "$pushes" -gt 0 ] && [ ! -s "$work/bad" ] || { detail="$(wc -l <"$work/bad") failures: $(head -n 3 "$work/bad" | tr "\n" " ")"; false; }'
check "readers verified bodies through both servers" eval '[ "$reads" -gt 0 ] || { detail="no reads"; false; }'

for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
pids=()

# One upload, two hosts: a process on the first mount finishes an upload of
# a few MiB while a process on the second appends to it the moment the
# finish starts, GLUSTER_ROUNDS times (default 20). The upload's lock (a
# POSIX record lock, which the volume shares between its clients) makes
# them take turns: the finish commits and the append finds the upload gone,
# or the append comes first and the finish reports a digest mismatch; the
# committed blob always holds exactly its digest's bytes. The appender's
# name cache may still show a committed upload; the retirement mark on the
# file tells it.
upload_contended_across_mounts() {
  local rounds=${GLUSTER_ROUNDS:-20} rc1 rc2
  mkdir -p "$work/contend"
  "$store_worker" "$work/mnt1/registry" contend "$work/contend" finish "$rounds" \
    >"$work/contend-finish.out" 2>"$work/contend-finish.err" &
  local finisher=$!
  "$store_worker" "$work/mnt2/registry" contend "$work/contend" append "$rounds" \
    >"$work/contend-append.out" 2>"$work/contend-append.err"
  rc2=$?
  wait "$finisher"
  rc1=$?
  echo "     (finish: $(tail -n 1 "$work/contend-finish.out"); append: $(tail -n 1 "$work/contend-append.out"))"
  [ "$rc1" = 0 ] && [ "$rc2" = 0 ] && grep -q "violations=0" "$work/contend-finish.out" ||
    { detail="$(head -n 3 "$work/contend-finish.err" "$work/contend-append.err" | tr '\n' ' ')"; return 1; }
}
check "an append through one mount and a finish through the other take turns on one upload" \
  upload_contended_across_mounts

check "the store on the volume keeps its invariants" eval '"$check_store" "$work/mnt1/registry" >"$work/check" 2>&1 ||
  { detail=$(head -c 600 "$work/check"); false; }'
finish
