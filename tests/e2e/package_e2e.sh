#!/usr/bin/env bash
# The Debian package end to end, on this machine, as root:
#   - scripts/package builds it from the release build (BUILD_DIR), lintian
#     passes, and its programs are the build's (the same code);
#   - installing it starts no server and enables no snippet, site or module;
#     it makes the storage root for www-data, puts regstore on the PATH and
#     the manual pages in place, enables the gc timer and leaves the fsck
#     timer off; the units' commands run as the units say;
#   - the machine's lighttpd (the snippet for CGI, then the one for FastCGI),
#     Apache (its snippet, with the modules it names) and nginx (its snippet
#     in a server block, with fcgiwrap), configured with the
#     shipped snippets only, serve skopeo's pushes and pulls; each runs from
#     the machine's own main configuration with one change this test makes,
#     the listening port (a free loopback port instead of 80), which the
#     snippets never set;
#   - removing it keeps every stored file and disables an enabled snippet;
#     purging says what it removes and removes it.
# Everything this test enabled or started is undone at its end (and when it
# is stopped), the package purged: the other stages run the same servers on
# configurations of their own.
set -uo pipefail
# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"

pkg=tarnwick-registry
root=/var/lib/$pkg/storage
libdir=/usr/lib/$pkg

if [ "$(id -u)" != 0 ]; then
  echo "FAIL setup: this test installs a package and runs the system's servers: run it as root"
  finish
fi
require_tools skopeo jq lintian dpkg-buildpackage apt-get lighttpd apache2 nginx spawn-fcgi curl
if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed\|config-files'; then
  echo "FAIL setup: $pkg is installed on this machine already; this test installs and purges it, so it leaves it alone"
  finish
fi
if [ -e "$root" ] || [ -e /etc/$pkg ]; then
  echo "FAIL setup: $root or /etc/$pkg exists already; purging the package would remove it, so this test leaves it alone"
  finish
fi

# ---- undoing everything at the end -------------------------------------------

servers=()          # pids of the servers this test started
enabled_lighty=()   # lighttpd snippets this test enabled
enabled_apache_mods=()
made_run_lighttpd=0
fcgiwrap_pidfile=
undo() {
  local pid m
  for pid in "${servers[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  servers=()
  for m in "${enabled_lighty[@]}"; do
    lighty-disable-mod "$m" >/dev/null 2>&1
  done
  [ -L /etc/apache2/conf-enabled/$pkg.conf ] && a2disconf -q "$pkg" >/dev/null 2>&1
  for m in "${enabled_apache_mods[@]}"; do
    a2dismod -q -f "$m" >/dev/null 2>&1
  done
  if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed\|config-files'; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$pkg" >/dev/null 2>&1
  fi
  [ "$made_run_lighttpd" = 1 ] && rm -rf /run/lighttpd
  rm -f /etc/$pkg/htpasswd
  rmdir /etc/$pkg 2>/dev/null
  if [ -n "$fcgiwrap_pidfile" ]; then
    [ -s "$fcgiwrap_pidfile" ] && kill "$(cat "$fcgiwrap_pidfile")" 2>/dev/null
    rm -f /run/fcgiwrap.socket
    fcgiwrap_pidfile=
  fi
}
trap 'undo; cleanup' EXIT

# What installing must not change: the enabled snippets, modules and sites
# of the three servers.
enabled_state() {
  ls -l /etc/lighttpd/conf-enabled /etc/apache2/conf-enabled /etc/apache2/mods-enabled \
    /etc/apache2/sites-enabled /etc/nginx/sites-enabled /etc/nginx/conf.d 2>&1
}
enabled_state >"$work/enabled.before"

# ---- build -------------------------------------------------------------------

pkg_dir=$work/package
build_package() {
  if ! PACKAGE_SKIP_BUILD=1 BUILD_DIR=$build_dir PACKAGE_DIR=$pkg_dir "$top/scripts/package" \
    >"$work/log/package.out" 2>"$work/log/package.err"; then
    detail=$(tail -n 20 "$work/log/package.err" | tr '\n' ' ')
    return 1
  fi
  deb=$(tail -n 1 "$work/log/package.out")
  [ -f "$deb" ] || { detail="scripts/package named no .deb: $deb"; return 1; }
}
check "scripts/package builds the .deb and lintian passes" build_package
[ -n "${deb:-}" ] && [ -f "$deb" ] || finish

# The package holds every program the build registered, with the code the
# tests ran: dh_strip takes the debug information out, so the executable
# code (.text) and read-only data (.rodata) are compared.
deb_tree=$work/deb-tree
dpkg-deb -x "$deb" "$deb_tree"
same_programs() {
  local program section n=0
  while read -r program; do
    [ -x "$deb_tree$libdir/$program" ] || { detail="$libdir/$program is not in the package"; return 1; }
    for section in .text .rodata; do
      objcopy -O binary --only-section="$section" "$build_dir/endpoint/$program" "$work/a.bin" &&
        objcopy -O binary --only-section="$section" "$deb_tree$libdir/$program" "$work/b.bin" &&
        [ -s "$work/a.bin" ] && cmp -s "$work/a.bin" "$work/b.bin" ||
        { detail="$section of $program differs from $build_dir/endpoint/$program"; return 1; }
    done
    n=$((n + 1))
  done <"$build_dir/endpoint/cgi_programs.txt"
  objcopy -O binary --only-section=.text "$build_dir/tools/regstore" "$work/a.bin" &&
    objcopy -O binary --only-section=.text "$deb_tree/usr/bin/regstore" "$work/b.bin" &&
    cmp -s "$work/a.bin" "$work/b.bin" || { detail="regstore's code differs from the build's"; return 1; }
  # Nothing else in the programs' folder: the lighttpd CGI snippet runs
  # every file there.
  [ "$(find "$deb_tree$libdir" -type f | wc -l)" = "$n" ] ||
    { detail="$libdir holds files that are not programs: $(ls "$deb_tree$libdir")"; return 1; }
}
check "the package's programs are the build's, every one of them" same_programs

# Every snippet names every program (a program without a route would be
# installed and never run).
snippets_route_every_program() {
  local program snippet
  while read -r program; do
    for snippet in etc/apache2/conf-available/$pkg.conf etc/nginx/snippets/$pkg.conf \
      etc/lighttpd/conf-available/50-$pkg.conf etc/lighttpd/conf-available/50-$pkg-fastcgi.conf; do
      grep -q "$program" "$deb_tree/$snippet" || { detail="$snippet does not route to $program"; return 1; }
    done
  done <"$build_dir/endpoint/cgi_programs.txt"
}
check "every snippet routes to every program" snippets_route_every_program

# ---- install -----------------------------------------------------------------

install_package() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/log/install.out" 2>&1 ||
    { detail=$(tail -n 5 "$work/log/install.out" | tr '\n' ' '); return 1; }
}
check "apt-get installs the .deb" install_package
dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || finish

installed_as_described() {
  enabled_state >"$work/enabled.after"
  cmp -s "$work/enabled.before" "$work/enabled.after" ||
    { detail="installing changed enabled snippets, modules or sites: $(diff "$work/enabled.before" "$work/enabled.after" | tr '\n' ' ')"; return 1; }
  [ "$(stat -c %U:%G "$root")" = www-data:www-data ] || { detail="$root belongs to $(stat -c %U:%G "$root")"; return 1; }
  [ -d "$root/blobs" ] && [ -d "$root/repositories" ] || { detail="$root has no layout"; return 1; }
  [ "$(command -v regstore)" = /usr/bin/regstore ] || { detail="regstore is not on the PATH"; return 1; }
  man -w regstore >/dev/null 2>&1 && man -w 5 tarnwick-registry >/dev/null 2>&1 ||
    { detail="a manual page is missing"; return 1; }
}
check "installing enables nothing of the servers, makes the storage root for www-data, regstore and the manual pages" \
  installed_as_described

manual_pages_render() {
  local page
  for page in regstore 5/tarnwick-registry; do
    MANWIDTH=80 man --warnings=w "${page#*/}" 2>"$work/man.err" | grep -q 'NAME' ||
      { detail="man ${page} shows nothing"; return 1; }
    [ ! -s "$work/man.err" ] || { detail="man ${page}: $(head -c 300 "$work/man.err")"; return 1; }
  done
  # Every command of regstore's own help is in its manual page.
  local cmd
  for cmd in $(regstore --help | awk '/^Commands:/ {on = 1; next} /^$/ {on = 0} on && /^  [a-z]/ {print $1}' | sort -u); do
    MANWIDTH=200 man regstore 2>/dev/null | grep -q "^ *$cmd\b" ||
      { detail="regstore's manual page does not describe '$cmd'"; return 1; }
  done
}
check "the manual pages render without warnings and cover every regstore command" manual_pages_render

units_as_described() {
  local wants=/etc/systemd/system/timers.target.wants
  [ -L "$wants/$pkg-gc.timer" ] || { detail="the gc timer is not enabled"; return 1; }
  [ ! -e "$wants/$pkg-fsck.timer" ] || { detail="the fsck timer is enabled"; return 1; }
  grep -qx 'OnCalendar=daily' /lib/systemd/system/$pkg-gc.timer &&
    grep -qx 'OnCalendar=weekly' /lib/systemd/system/$pkg-fsck.timer ||
    { detail="the timers do not run daily and weekly"; return 1; }
  systemd-analyze verify /lib/systemd/system/$pkg-{gc,fsck}.{service,timer} >"$work/verify.out" 2>&1 ||
    { detail="systemd-analyze verify: $(head -c 500 "$work/verify.out")"; return 1; }
}
check "the gc timer is enabled, the fsck timer installed but off, and systemd accepts the units" units_as_described

# The services' commands, run as the units run them (User=, ExecStart=):
# regstore accepts them on the packaged root.
run_unit_command() {
  local unit=/lib/systemd/system/$1 user exec
  user=$(sed -n 's/^User=//p' "$unit")
  exec=$(sed -n 's/^ExecStart=//p' "$unit")
  [ "$user" = www-data ] && [ -n "$exec" ] || { detail="$1 has User=$user ExecStart=$exec"; return 1; }
  # shellcheck disable=SC2086 # ExecStart is a plain command line
  runuser -u "$user" -- $exec >"$work/log/$1.out" 2>&1 ||
    { detail="'$exec' as $user: $(tail -n 3 "$work/log/$1.out" | tr '\n' ' ')"; return 1; }
}
check "the gc service's command runs as www-data on the storage root" run_unit_command $pkg-gc.service
check "the fsck service's command runs as www-data on the storage root" run_unit_command $pkg-fsck.service

# ---- the servers ---------------------------------------------------------------

images=$work/images
"$top/tests/e2e/make_test_images.sh" "$images" >"$work/digests" 2>"$work/log/images.err" ||
  { echo "FAIL test images: $(tail -n 3 "$work/log/images.err")"; finish; }
digest_of() { awk -v n="$1" '$1 == n {print $2}' "$work/digests"; }
push=("${sk[@]}" copy --retry-times 0 --preserve-digests --dest-tls-verify=false)
pull=("${sk[@]}" copy --retry-times 0 --preserve-digests --src-tls-verify=false)

free_port() {
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 40000))
    port_in_use "$p" || { echo "$p"; return 0; }
  done
  return 1
}
wait_for_port() {
  local pid=$1
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 1
    port_in_use "$port" && return 0
    sleep 0.1
  done
  return 1
}
stop_servers() {
  local pid
  for pid in "${servers[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  servers=()
}

# The machine's lighttpd: /etc/lighttpd/lighttpd.conf as it is, but for the
# port (and the files of a running server: pid and error log), in a copy of
# that file; everything else, the enabled snippets included, is read from
# /etc/lighttpd as the system's lighttpd reads it.
start_lighttpd() {
  local conf=$work/lighttpd.conf
  port=$(free_port) || { detail="no free port"; return 1; }
  sed -e "s|^server.port *=.*|server.port = $port\nserver.bind = \"127.0.0.1\"|" \
    -e "s|^server.pid-file *=.*|server.pid-file = \"$work/lighttpd.pid\"|" \
    -e "s|^server.errorlog *=.*|server.errorlog = \"$work/lighttpd-error.log\"|" \
    -e 's|^include_shell "/usr/share/lighttpd/use-ipv6.pl.*||' \
    /etc/lighttpd/lighttpd.conf >"$conf"
  grep -q "^server.port = $port" "$conf" || { detail="no server.port line in /etc/lighttpd/lighttpd.conf"; return 1; }
  lighttpd -tt -f "$conf" >"$work/log/lighttpd-check.out" 2>&1 ||
    { detail="lighttpd -tt: $(head -c 800 "$work/log/lighttpd-check.out")"; return 1; }
  : >"$work/lighttpd-error.log"
  chown www-data "$work/lighttpd-error.log"
  lighttpd -D -f "$conf" >"$work/log/lighttpd.out" 2>&1 </dev/null &
  servers+=($!)
  wait_for_port $! || { detail="lighttpd did not start: $(tail -n 5 "$work/log/lighttpd.out" "$work/lighttpd-error.log" | tr '\n' ' ')"; return 1; }
}

# The machine's Apache: /etc/apache2/apache2.conf as it is, with the Listen
# lines of ports.conf replaced by the test's port, its runtime files in the
# scratch folder, the rest (modules, conf-enabled, sites) read from
# /etc/apache2.
start_apache() {
  local conf=$work/apache2.conf
  port=$(free_port) || { detail="no free port"; return 1; }
  # apache2ctl makes socks/ for mod_cgid's socket; apache2 itself does not.
  mkdir -p "$work/apache-run/socks" "$work/apache-log"
  sed -e "s|^Include ports.conf|Listen 127.0.0.1:$port|" /etc/apache2/apache2.conf >"$conf"
  grep -q "^Listen 127.0.0.1:$port" "$conf" || { detail="no 'Include ports.conf' in apache2.conf"; return 1; }
  (
    # envvars is written for sh, with variables that may be unset.
    set +u
    # shellcheck disable=SC1091
    . /etc/apache2/envvars
    export APACHE_PID_FILE=$work/apache-run/apache2.pid APACHE_RUN_DIR=$work/apache-run \
      APACHE_LOCK_DIR=$work/apache-run APACHE_LOG_DIR=$work/apache-log
    apache2 -d /etc/apache2 -f "$conf" -t >"$work/log/apache-check.out" 2>&1
  ) || { detail="apache2 -t: $(head -c 800 "$work/log/apache-check.out")"; return 1; }
  (
    set +u
    # shellcheck disable=SC1091
    . /etc/apache2/envvars
    export APACHE_PID_FILE=$work/apache-run/apache2.pid APACHE_RUN_DIR=$work/apache-run \
      APACHE_LOCK_DIR=$work/apache-run APACHE_LOG_DIR=$work/apache-log
    exec apache2 -d /etc/apache2 -f "$conf" -DFOREGROUND
  ) >"$work/log/apache.out" 2>&1 </dev/null &
  servers+=($!)
  wait_for_port $! || { detail="Apache did not start: $(tail -n 5 "$work/log/apache.out" "$work/apache-log/error.log" 2>/dev/null | tr '\n' ' ')"; return 1; }
}

# push_pull REPO: skopeo pushes the OCI image and the two-platform index,
# pulls both back with the same digests, and the blob of one layer comes
# back whole with a plain GET (the file hand-off where the snippet uses it);
# the catalog and the page /ui/ list the repository.
push_pull() {
  local repo=$1 reg=127.0.0.1:$port name digest
  for name in oci index; do
    digest=$(digest_of "$name")
    run "push-$repo-$name" "${push[@]}" --all --digestfile "$work/pushed.digest" \
      "oci:$images/$name:v1" "docker://$reg/$repo/$name:v1" || return 1
    [ "$(cat "$work/pushed.digest")" = "$digest" ] ||
      { detail="pushed $name as $(cat "$work/pushed.digest"), expected $digest"; return 1; }
    rm -rf "$work/pulled"
    run "pull-$repo-$name" "${pull[@]}" --all --digestfile "$work/pulled.digest" \
      "docker://$reg/$repo/$name:v1" "oci:$work/pulled:v1" || return 1
    [ "$(cat "$work/pulled.digest")" = "$digest" ] ||
      { detail="pulled $name as $(cat "$work/pulled.digest"), expected $digest"; return 1; }
  done
  local layer
  layer=$(jq -r '.layers[0].digest' "$images/oci/blobs/sha256/$(digest_of oci | cut -d: -f2)")
  request GET "/v2/$repo/oci/blobs/$layer"
  expect_status 200 || return 1
  [ "sha256:$(sha256sum <"$work/body" | cut -c1-64)" = "$layer" ] ||
    { detail="GET of blob $layer gave other bytes"; return 1; }
  request GET /v2/_catalog
  expect_status 200 && grep -q "\"$repo/oci\"" "$work/body" ||
    { detail="catalog: $status $(head -c 300 "$work/body")"; return 1; }
  # The pages under /ui/ list it too.
  request GET /ui/
  expect_status 200 && grep -q ">$repo/oci<" "$work/body" ||
    { detail="/ui/: $status $(head -c 300 "$work/body")"; return 1; }
}

# The server's own errors carry the registry's JSON, the programs are never
# sent as files, and the rest of the server is left alone.
server_edges() {
  head -c 70000 /dev/zero >"$work/big"
  request PUT /v2/x/tags/list --data-binary @"$work/big"
  expect_status 413 || return 1
  # The same JSON document (Apache's ErrorDocument text ends without a line
  # end, lighttpd's file with one).
  [ "$(jq -c . "$work/body" 2>/dev/null)" = '{"errors":[{"code":"SIZE_INVALID","message":"request body too large"}]}' ] ||
    { detail="413 body: $(head -c 300 "$work/body")"; return 1; }
  expect_header Content-Type "application/json; charset=utf-8" || return 1
  request GET /.registry-cgi/v2_base
  if [ "$status" = 200 ] && head -c 4 "$work/body" | grep -q 'ELF'; then
    detail="the program v2_base was sent as a file"
    return 1
  fi
  request GET /v2/
  expect_status 200 && expect_header Docker-Distribution-API-Version registry/2.0 || return 1
}

# The users' file the snippets' login lines name, as htpasswd.example says
# to make it.
password=pw-$RANDOM$RANDOM
make_htpasswd() {
  htpasswd -cbB /etc/$pkg/htpasswd alice "$password" >/dev/null 2>&1 &&
    chgrp www-data /etc/$pkg/htpasswd && chmod 640 /etc/$pkg/htpasswd
}
# enable_login FILE SED-SCRIPT: removes the "#" of a snippet's login lines
# for every request (the lines the script names), as its comment says.
enable_login() {
  sed -i -e "$2" "$1" || return 1
  grep -q '^[^#]*/etc/tarnwick-registry/htpasswd' "$1" || { detail="no login line enabled in $1"; return 1; }
}
# With the login lines: a request without credentials gets 401 with the
# challenge and the registry's JSON body; skopeo with them pushes and pulls;
# where the server keeps the programs' standard error in LOG, the checked
# user reached the program (its access line names alice). lighttpd passes a
# CGI program's standard error on to its own (the test's log here, the
# journal under systemd) unless server.breakagelog names a file; Apache
# writes it to its error log.
logins_work() {
  local repo=$1 log=${2:-} reg=127.0.0.1:$port
  request GET /v2/
  expect_status 401 || return 1
  has_header WWW-Authenticate || { detail="401 without WWW-Authenticate"; return 1; }
  [ "$(jq -c . "$work/body" 2>/dev/null)" = '{"errors":[{"code":"UNAUTHORIZED","message":"authentication required"}]}' ] ||
    { detail="401 body: $(head -c 300 "$work/body")"; return 1; }
  run "push-login-$repo" "${push[@]}" --dest-creds "alice:$password" "oci:$images/oci:v1" "docker://$reg/$repo:v1" || return 1
  rm -rf "$work/pulled"
  run "pull-login-$repo" "${pull[@]}" --src-creds "alice:$password" "docker://$reg/$repo:v1" "oci:$work/pulled:v1" || return 1
  run "pull-nologin-$repo" "${pull[@]}" "docker://$reg/$repo:v1" "oci:$work/pulled2:v1" &&
    { detail="a pull without credentials went through"; return 1; }
  if [ -n "$log" ]; then
    grep -q "registry-access user=alice .*action=manifest.put repository=$repo" "$log" ||
      { detail="no access line of alice in $log"; return 1; }
  fi
  return 0
}
check "the users' file made as htpasswd.example says" make_htpasswd

lighttpd_with() {
  local mod=$1 repo=$2
  lighty-enable-mod "$mod" >"$work/log/lighty-enable.out" 2>&1 ||
    { detail="lighty-enable-mod $mod: $(cat "$work/log/lighty-enable.out")"; return 1; }
  enabled_lighty+=("$mod")
  start_lighttpd && push_pull "$repo" && server_edges
  local rc=$?
  stop_servers
  return $rc
}
check "lighttpd with the CGI snippet (lighty-enable-mod $pkg): skopeo pushes and pulls" \
  lighttpd_with "$pkg" lighttpd-cgi
lighttpd_logins() {
  enable_login /etc/lighttpd/conf-available/50-$pkg.conf \
    's/^#server.modules += ( "mod_auth"/server.modules += ( "mod_auth"/; s/^  #auth.backend/  auth.backend/; 0,/^  #auth.require = /s/^  #auth.require = /  auth.require = /' &&
    start_lighttpd && logins_work lighttpd-login "$work/log/lighttpd.out"
  local rc=$?
  stop_servers
  return $rc
}
check "lighttpd with the CGI snippet's login lines: every request logs in, the user reaches the programs" \
  lighttpd_logins
lighty-disable-mod "$pkg" >/dev/null 2>&1

# The FastCGI responders' sockets go into /run/lighttpd/, which Debian's
# lighttpd service makes at its start (systemd-tmpfiles).
if [ ! -d /run/lighttpd ]; then
  install -d -o www-data -g www-data /run/lighttpd
  made_run_lighttpd=1
fi
check "lighttpd with the FastCGI snippet (lighty-enable-mod $pkg-fastcgi): skopeo pushes and pulls" \
  lighttpd_with "$pkg-fastcgi" lighttpd-fastcgi
snippets_conflict() {
  ! lighty-enable-mod "$pkg" >"$work/log/conflict.out" 2>&1 &&
    [ ! -e "/etc/lighttpd/conf-enabled/50-$pkg.conf" ] ||
    { detail="lighty-enable-mod enabled the CGI snippet beside the FastCGI one"; return 1; }
}
check "the two lighttpd snippets are alternatives" snippets_conflict

# With mod_xsendfile enabled (Debian's libapache2-mod-xsendfile enables it
# on installation) the snippet hands whole blob GETs to Apache, which adds a
# Last-Modified of the blob file: the one header the programs never send.
apache_hands_off() {
  a2query -q -m xsendfile || { echo "     (mod_xsendfile is not enabled: no hand-off to check)"; return 0; }
  local layer
  layer=$(jq -r '.layers[0].digest' "$images/oci/blobs/sha256/$(digest_of oci | cut -d: -f2)")
  request GET "/v2/apache/oci/blobs/$layer"
  expect_status 200 || return 1
  has_header Last-Modified || { detail="mod_xsendfile is enabled, yet Apache did not send the blob file itself"; return 1; }
}
apache_with_snippet() {
  local m
  for m in cgid headers; do
    if ! a2query -q -m "$m"; then
      a2enmod -q "$m" >/dev/null 2>&1 || { detail="a2enmod $m failed"; return 1; }
      enabled_apache_mods+=("$m")
    fi
  done
  a2enconf -q "$pkg" >"$work/log/a2enconf.out" 2>&1 || { detail="a2enconf: $(cat "$work/log/a2enconf.out")"; return 1; }
  start_apache && push_pull apache && server_edges && apache_hands_off
  local rc=$?
  stop_servers
  return $rc
}
check "Apache with its snippet (a2enconf $pkg, a2enmod cgid headers): skopeo pushes and pulls" apache_with_snippet
apache_logins() {
  enable_login /etc/apache2/conf-available/$pkg.conf \
    's/^    #Auth/    Auth/; s/^    #Require valid-user$/    Require valid-user/' &&
    start_apache && logins_work apache-login "$work/apache-log/error.log"
  local rc=$?
  stop_servers
  return $rc
}
check "Apache with its snippet's login lines: every request logs in, the user reaches the programs" apache_logins
[ -L /etc/apache2/conf-enabled/$pkg.conf ] && a2disconf -q "$pkg" >/dev/null 2>&1
for m in "${enabled_apache_mods[@]}"; do a2dismod -q -f "$m" >/dev/null 2>&1; done
enabled_apache_mods=()

# nginx: /etc/nginx/nginx.conf as it is, but for its pid and log files and
# the sites, which are replaced by one server block on the test's port that
# includes the snippet. The snippet's programs run through fcgiwrap's
# socket /run/fcgiwrap.socket, which Debian's fcgiwrap.socket unit listens
# on; where no such socket is there (no systemd here), the test starts
# fcgiwrap on it as www-data, as that unit does.
nginx_with_snippet() {
  local conf=$work/nginx.conf
  port=$(free_port) || { detail="no free port"; return 1; }
  if [ ! -S /run/fcgiwrap.socket ]; then
    fcgiwrap_pidfile=$work/fcgiwrap.pid
    spawn-fcgi -s /run/fcgiwrap.socket -M 0660 -u www-data -g www-data -U www-data -G www-data \
      -P "$fcgiwrap_pidfile" -- /usr/sbin/fcgiwrap >"$work/log/fcgiwrap.out" 2>&1 ||
      { detail="spawn-fcgi fcgiwrap: $(cat "$work/log/fcgiwrap.out")"; return 1; }
  fi
  sed -e "s|^pid .*|pid $work/nginx.pid;|" -e "s|^error_log .*|error_log $work/nginx-error.log;|" \
    -e "s|access_log .*|access_log $work/nginx-access.log;|" \
    -e "s|^\(\s*\)include /etc/nginx/sites-enabled/\*;|\1server { listen 127.0.0.1:$port; server_name localhost; include /etc/nginx/snippets/$pkg.conf; }|" \
    /etc/nginx/nginx.conf >"$conf"
  grep -q "listen 127.0.0.1:$port" "$conf" || { detail="no sites-enabled include in nginx.conf"; return 1; }
  nginx -t -q -c "$conf" >"$work/log/nginx-check.out" 2>&1 ||
    { detail="nginx -t: $(head -c 800 "$work/log/nginx-check.out")"; return 1; }
  nginx -c "$conf" -g 'daemon off;' >"$work/log/nginx.out" 2>&1 </dev/null &
  servers+=($!)
  wait_for_port $! || { detail="nginx did not start: $(tail -n 5 "$work/log/nginx.out" | tr '\n' ' ')"; return 1; }
  push_pull nginx && server_edges
  local rc=$?
  stop_servers
  return $rc
}
check "nginx with its snippet (include snippets/$pkg.conf in a server block): skopeo pushes and pulls" nginx_with_snippet
nginx_logins() {
  enable_login /etc/nginx/snippets/$pkg.conf \
    's/^    #auth_basic/    auth_basic/; s/^    #fastcgi_param REMOTE_USER/    fastcgi_param REMOTE_USER/' &&
    nginx -t -q -c "$work/nginx.conf" >"$work/log/nginx-check.out" 2>&1 ||
    { detail="nginx -t: $(head -c 800 "$work/log/nginx-check.out")"; return 1; }
  nginx -c "$work/nginx.conf" -g 'daemon off;' >"$work/log/nginx.out" 2>&1 </dev/null &
  servers+=($!)
  wait_for_port $! || { detail="nginx did not start"; return 1; }
  logins_work nginx-login
  local rc=$?
  stop_servers
  return $rc
}
check "nginx with its snippet's login lines: every request logs in" nginx_logins
if [ -n "$fcgiwrap_pidfile" ]; then
  [ -s "$fcgiwrap_pidfile" ] && kill "$(cat "$fcgiwrap_pidfile")" 2>/dev/null
  rm -f /run/fcgiwrap.socket
  fcgiwrap_pidfile=
fi

# ---- remove and purge ------------------------------------------------------------

# What the servers stored: every file of the storage root, with its bytes.
store_listing() { (cd "$root" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
store_listing >"$work/store.before"
blobs_stored=$(grep -c '/blobs/sha256/' "$work/store.before")
echo "     ($blobs_stored blob files stored)"

remove_keeps_images() {
  [ "$blobs_stored" -gt 0 ] || { detail="the servers stored no blob"; return 1; }
  # An enabled snippet names the programs that are about to go.
  DEBIAN_FRONTEND=noninteractive apt-get remove -y "$pkg" >"$work/log/remove.out" 2>&1 ||
    { detail=$(tail -n 5 "$work/log/remove.out" | tr '\n' ' '); return 1; }
  [ ! -e "$libdir" ] && [ ! -e /usr/bin/regstore ] || { detail="programs left after remove"; return 1; }
  store_listing >"$work/store.after"
  cmp -s "$work/store.before" "$work/store.after" ||
    { detail="the store changed on remove: $(diff "$work/store.before" "$work/store.after" | head -n 5 | tr '\n' ' ')"; return 1; }
  [ ! -e "/etc/lighttpd/conf-enabled/50-$pkg-fastcgi.conf" ] ||
    { detail="the enabled FastCGI snippet stayed enabled after remove"; return 1; }
  grep -q "disabled /etc/lighttpd/conf-enabled/50-$pkg-fastcgi.conf" "$work/log/remove.out" ||
    { detail="remove did not say it disabled the snippet"; return 1; }
}
check "removing the package keeps every stored file and disables the enabled snippet" remove_keeps_images
enabled_lighty=()

purge_says_and_removes() {
  DEBIAN_FRONTEND=noninteractive apt-get purge -y "$pkg" >"$work/log/purge.out" 2>&1 ||
    { detail=$(tail -n 5 "$work/log/purge.out" | tr '\n' ' '); return 1; }
  grep -q "purging removes the storage root $root" "$work/log/purge.out" ||
    { detail="purge did not say what it removes: $(tail -n 5 "$work/log/purge.out" | tr '\n' ' ')"; return 1; }
  # The users' file is the operator's, not the package's: kept, and named.
  [ -f /etc/$pkg/htpasswd ] && grep -q "keeping /etc/$pkg/htpasswd" "$work/log/purge.out" ||
    { detail="purge did not keep and name /etc/$pkg/htpasswd"; return 1; }
  rm -f /etc/$pkg/htpasswd
  rmdir /etc/$pkg
  [ ! -e "$root" ] && [ ! -e /etc/lighttpd/conf-available/50-$pkg.conf ] &&
    [ ! -e /etc/apache2/conf-available/$pkg.conf ] && [ ! -e /etc/nginx/snippets/$pkg.conf ] &&
    [ ! -e /etc/systemd/system/timers.target.wants/$pkg-gc.timer ] ||
    { detail="files left after purge"; return 1; }
}
check "purging says what it removes and removes the store, the configuration and the timer links" \
  purge_says_and_removes

leaves_machine_as_found() {
  enabled_state >"$work/enabled.end"
  cmp -s "$work/enabled.before" "$work/enabled.end" ||
    { detail="$(diff "$work/enabled.before" "$work/enabled.end" | tr '\n' ' ')"; return 1; }
}
check "the servers' enabled snippets, modules and sites are as before" leaves_machine_as_found

finish
