#!/usr/bin/env bash
# Forwarding throughput: a 1 KiB answer of an upstream server (lighttpd) on
# loopback, fetched through this server's proxy port and through nginx as a
# reverse proxy to the same upstream. Each proxy runs pinned to one core (one
# worker), the upstream on two other cores, wrk on the rest; keep-alive on the
# client side, a new upstream connection per request for both proxies (as
# nginx does by default). A run that meets a non-2xx answer or a socket error
# prints the failure instead of a rate.
# Usage: [ROUNDS=2] bench/proxy/run.sh [SECONDS] [CONNECTIONS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
duration=${1:-5}
connections=${2:-32}
rounds=${ROUNDS:-2}

. "$root/bench/lib.sh"
build_release

cores=$(nproc)
if [ "$cores" -lt 6 ]; then
  echo "bench/proxy: needs at least 6 cores (has $cores)" >&2
  exit 1
fi
proxy_core_q=0
proxy_core_n=1
upstream_cores=2-3
client_cores="4-$((cores - 1))"
client_threads=$(( cores - 4 < 4 ? cores - 4 : 4 ))

work=$(mktemp -d)
trap 'stop_all; rm -rf "$work"' EXIT

up_docs="$work/upstream"
mkdir -p "$up_docs" "$work/Tesk/teskqvel/pub" "$work/nginx"
head -c 1024 /dev/zero | tr '\0' 'b' >"$up_docs/f1k.txt"
chmod -R a+rX "$work"
uport=$(free_port); qport=$(free_port); qproxy=$(free_port); nport=$(free_port)
upstream_host="127.0.0.1:$uport"

cat >"$work/lighttpd.conf" <<CONF
server.document-root = "$up_docs"
server.bind = "127.0.0.1"
server.port = $uport
server.max-worker = 2
server.max-keep-alive-requests = 1000000
server.errorlog = "$work/lighttpd.log"
mimetype.assign = ( ".txt" => "text/plain" )
CONF
# In a session of its own: with workers, lighttpd ends them by signalling its
# whole process group, which would otherwise hold this script.
setsid taskset -c "$upstream_cores" lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)

data="$work/Tesk/teskqvel"
printf '[param]\r\nserver_port=%s\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\nproxy_port=%s\r\ntrace=0\r\nfunc_trace=0\r\n' \
  "$qport" "$qproxy" >"$data/global.ini"
printf 'Require all granted\nqvel_logging disable\n' >"$data/.htaccess"
printf 'text/plain txt\n' >"$data/mime.types"
XDG_DATA_HOME="$work" taskset -c "$proxy_core_q" "$binary" >/dev/null 2>&1 &
pids+=($!)

cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nport;
    location / { proxy_pass http://$upstream_host; proxy_set_header Host \$http_host; }
  }
}
CONF
taskset -c "$proxy_core_n" nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
pids+=($!)

# Waits until the proxy answers the file with 200 and its content, so a
# server that answers errors is never measured.
wait_proxy() {
  for _ in $(seq 1 200); do
    if [ "$(curl -sf -H "Host: $upstream_host" "http://127.0.0.1:$1/f1k.txt" 2>/dev/null)" = \
         "$(cat "$up_docs/f1k.txt")" ]; then
      return 0
    fi
    sleep 0.1
  done
  echo "proxy on port $1 did not pass f1k.txt on" >&2
  curl -si -H "Host: $upstream_host" "http://127.0.0.1:$1/f1k.txt" | head -3 >&2 || true
  exit 1
}
wait_proxy "$qproxy"
wait_proxy "$nport"

# Requests/s, or "FAIL ..." when any answer was not 2xx or a socket failed.
measure() {
  local out
  taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d1s \
    -H "Host: $upstream_host" "$1" >/dev/null
  out=$(taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d"${duration}s" \
    -H "Host: $upstream_host" "$1")
  if grep -q -E "Non-2xx|Socket errors" <<<"$out"; then
    echo "FAIL $(grep -E 'Non-2xx|Socket errors' <<<"$out" | tr -s ' ' | tr '\n' ' ')"
    return
  fi
  awk '/Requests\/sec/ {print $2}' <<<"$out"
}

echo "== proxies on one core each (teskqvel $proxy_core_q, nginx $proxy_core_n), upstream lighttpd on $upstream_cores, wrk on $client_cores ($client_threads threads, $connections connections)"
q=0 n=0
for _ in $(seq 1 "$rounds"); do
  a=$(measure "http://127.0.0.1:$qproxy/f1k.txt")
  b=$(measure "http://127.0.0.1:$nport/f1k.txt")
  case "$a$b" in *FAIL*) echo "teskqvel: $a"; echo "nginx: $b"; exit 1 ;; esac
  q=$(awk -v x="$q" -v y="$a" 'BEGIN { print x + y }')
  n=$(awk -v x="$n" -v y="$b" 'BEGIN { print x + y }')
done
awk -v q="$q" -v n="$n" -v r="$rounds" 'BEGIN {
  printf "f1k.txt   teskqvel %8.0f  nginx %8.0f  req/s   teskqvel/nginx %.2f\n", q / r, n / r, q / n }'
