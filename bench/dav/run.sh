#!/usr/bin/env bash
# PROPFIND Depth 1 (allprop) of a folder with 10,000 files: this server
# (Release build, access log and trace off), Apache httpd with mod_dav and
# lighttpd with mod_webdav, on the same tree, each pinned to the same single
# core; the client runs on another core. Prints the median time per request,
# the rate and the ratios. Usage: [FILES=10000] [ROUNDS=15] bench/dav/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
files=${FILES:-10000}
rounds=${ROUNDS:-15}

. "$root/bench/lib.sh"
build_release

cores=$(nproc)
server_core=$((cores > 2 ? 2 : 0))
client_core=$((cores > 3 ? 3 : 0))

work=$(mktemp -d)
trap 'stop_all; rm -rf "$work"' EXIT

wait_port() { # port, name
  for _ in $(seq 1 200); do
    if curl -sf -o /dev/null "http://127.0.0.1:$1/big/f1.txt"; then return 0; fi
    sleep 0.1
  done
  echo "FAILED: $2 on port $1 did not serve /big/f1.txt" >&2
  curl -si "http://127.0.0.1:$1/big/f1.txt" | head -3 >&2 || true
  tail -3 "$work/apache/error.log" >&2 || true; tail -3 "$work/lighttpd.log" >&2 || true
  exit 1
}

data="$work/Tesk/teskqvel"
docs="$data/pub"
mkdir -p "$docs/big"
/usr/bin/python3 - "$docs/big" "$files" <<'PY'
import os, sys
d, n = sys.argv[1], int(sys.argv[2])
for i in range(1, n + 1):
    with open(os.path.join(d, "f%d.txt" % i), "w") as f:
        f.write("x" * (i % 200))
PY
# Apache's workers run as www-data.
chmod -R a+rX "$work"

qport=$(free_port); aport=$(free_port); lport=$(free_port)
printf '[param]\r\nserver_port=%s\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\ntrace=0\r\nfunc_trace=0\r\n' \
  "$qport" >"$data/global.ini"
printf 'Require all granted\nqvel_logging disable\n' >"$data/.htaccess"
printf 'text/plain txt\n' >"$data/mime.types"
XDG_DATA_HOME="$work" taskset -c "$server_core" "$binary" >/dev/null 2>&1 &
pids+=($!)

mkdir -p "$work/apache/lock"
chown -R www-data "$work/apache/lock"
cat >"$work/apache/apache2.conf" <<CONF
ServerName 127.0.0.1
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule mime_module /usr/lib/apache2/modules/mod_mime.so
LoadModule dav_module /usr/lib/apache2/modules/mod_dav.so
LoadModule dav_fs_module /usr/lib/apache2/modules/mod_dav_fs.so
User www-data
Group www-data
Listen 127.0.0.1:$aport
PidFile $work/apache/httpd.pid
ErrorLog $work/apache/error.log
TypesConfig /etc/mime.types
StartServers 1
ServerLimit 1
ThreadsPerChild 4
MaxRequestWorkers 4
DocumentRoot $docs
DAVLockDB $work/apache/lock/DAVLock
# Our own directive file sits above the tree: Apache must not read it.
<Directory />
  AllowOverride None
</Directory>
<Directory $docs>
  Dav On
  Require all granted
</Directory>
CONF
taskset -c "$server_core" /usr/sbin/apache2 -f "$work/apache/apache2.conf" -DFOREGROUND &
pids+=($!)

cat >"$work/lighttpd.conf" <<CONF
server.modules += ( "mod_webdav" )
server.document-root = "$docs"
server.bind = "127.0.0.1"
server.port = $lport
server.errorlog = "$work/lighttpd.log"
mimetype.assign = ( ".txt" => "text/plain" )
webdav.activate = "enable"
CONF
taskset -c "$server_core" lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)

wait_port "$qport" teskqvel; wait_port "$aport" apache; wait_port "$lport" lighttpd

measure() { # port, name
  local out
  if ! out=$(taskset -c "$client_core" /usr/bin/python3 "$root/bench/dav/propfind_client.py" \
      "$1" /big/ $((files + 1)) "$rounds"); then
    echo "$2: $out" >&2
    exit 1
  fi
  echo "$out"
}

echo "== PROPFIND Depth 1 allprop of $files files; servers on core $server_core, client on core $client_core"
q=$(measure "$qport" teskqvel); a=$(measure "$aport" apache); l=$(measure "$lport" lighttpd)
awk -v q="$q" -v a="$a" -v l="$l" 'BEGIN {
  split(q, Q, " "); split(a, A, " "); split(l, L, " ");
  printf "teskqvel %7.1f ms %6.2f req/s  (%d bytes)\n", Q[1], Q[2], Q[3];
  printf "apache   %7.1f ms %6.2f req/s  (%d bytes)\n", A[1], A[2], A[3];
  printf "lighttpd %7.1f ms %6.2f req/s  (%d bytes)\n", L[1], L[2], L[3];
  printf "rate teskqvel/apache %.2f  teskqvel/lighttpd %.2f\n", Q[2] / A[2], Q[2] / L[2] }'
