#!/usr/bin/env bash
# A 1 MiB PUT replacing the same file, over one keep-alive connection: this
# server (Release build, access log and trace off), Apache httpd with mod_dav
# and lighttpd with mod_webdav, each pinned to the same single core, on the
# same tree; the client runs on another core. Every PUT must succeed and the
# stored file must be the last body, else the run fails instead of printing a
# rate. Prints the median time per PUT, the rate and the ratios.
# Usage: [ROUNDS=40] [SIZE=1048576] bench/dav_put/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
rounds=${ROUNDS:-40}
size=${SIZE:-1048576}

. "$root/bench/lib.sh"
build_release

cores=$(nproc)
server_core=$((cores > 4 ? 4 : 0))
client_core=$((cores > 5 ? 5 : 0))

work=$(mktemp -d)
trap 'stop_all; rm -rf "$work"' EXIT

wait_port() { # port, name
  for _ in $(seq 1 200); do
    if curl -sf -o /dev/null "http://127.0.0.1:$1/up/ready.txt"; then return 0; fi
    sleep 0.1
  done
  echo "FAILED: $2 on port $1 did not serve /up/ready.txt" >&2
  curl -si "http://127.0.0.1:$1/up/ready.txt" | head -3 >&2 || true
  tail -5 "$work/apache/error.log" "$work/lighttpd.log" >&2 2>/dev/null || true
  exit 1
}

data="$work/Tesk/teskqvel"
docs="$data/pub"
mkdir -p "$docs/up"
echo ready >"$docs/up/ready.txt"
chmod -R a+rX "$work"
# Apache's workers write as www-data.
chown -R www-data "$docs/up"

qport=$(free_port); aport=$(free_port); lport=$(free_port)
printf '[param]\r\nserver_port=%s\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\ntrace=0\r\nfunc_trace=0\r\n' \
  "$qport" >"$data/global.ini"
printf 'Require all granted\nqvel_logging disable\n' >"$data/.htaccess"
printf 'text/plain txt\napplication/octet-stream bin\n' >"$data/mime.types"
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
LimitRequestBody 0
DocumentRoot $docs
DAVLockDB $work/apache/lock/DAVLock
# The program-data folder above the tree holds this server's own directive
# file, which Apache must not read as its own.
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
server.upload-dirs = ( "$work" )
mimetype.assign = ( ".txt" => "text/plain" )
webdav.activate = "enable"
webdav.is-readonly = "disable"
CONF
taskset -c "$server_core" lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)

wait_port "$qport" teskqvel; wait_port "$aport" apache; wait_port "$lport" lighttpd

measure() { # port, name
  local out
  if ! out=$(taskset -c "$client_core" /usr/bin/python3 "$root/bench/dav_put/put_client.py" \
      "$1" /up/put.bin "$size" "$rounds"); then
    echo "$2: $out" >&2
    exit 1
  fi
  echo "$out"
}

echo "== PUT of $size bytes over the same file, $rounds rounds; servers on core $server_core, client on core $client_core"
q=$(measure "$qport" teskqvel); a=$(measure "$aport" apache); l=$(measure "$lport" lighttpd)
awk -v q="$q" -v a="$a" -v l="$l" 'BEGIN {
  split(q, Q, " "); split(a, A, " "); split(l, L, " ");
  printf "teskqvel %7.2f ms %7.1f PUT/s\n", Q[1], Q[2];
  printf "apache   %7.2f ms %7.1f PUT/s\n", A[1], A[2];
  printf "lighttpd %7.2f ms %7.1f PUT/s\n", L[1], L[2];
  printf "rate teskqvel/apache %.2f  teskqvel/lighttpd %.2f\n", Q[2] / A[2], Q[2] / L[2] }'
