#!/usr/bin/env bash
# Serves the same 100 B, 1 KiB and 64 KiB files with this server (Release
# build, access log off), nginx and lighttpd on loopback ports, keep-alive,
# and prints requests/s and the ratios. Two runs: every server pinned to one
# core (one worker), then to four cores (four workers); wrk runs on other
# cores. Usage: [ROUNDS=2] bench/serving/run.sh [SECONDS] [CONNECTIONS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
duration=${1:-5}
connections=${2:-64}
rounds=${ROUNDS:-2}

"$root/scripts/install-deps" bench
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTQ_BENCH=ON -DTQ_TESTS=OFF >/dev/null
cmake --build "$build" --target teskqvel >/dev/null
binary="$build/shell/teskqvel"

cores=$(nproc)
if [ "$cores" -lt 6 ]; then
  echo "bench/serving: needs at least 6 cores (has $cores)" >&2
  exit 1
fi
client_cores="4-$((cores - 1))"
client_threads=$(( cores - 4 < 4 ? cores - 4 : 4 ))

work=$(mktemp -d)
pids=()
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Waits until the server answers the 100-byte file with 200 and its content,
# so a server that answers errors is never measured.
wait_port() {
  for _ in $(seq 1 200); do
    if [ "$(curl -sf "http://127.0.0.1:$1/f100.txt" 2>/dev/null)" = "$(cat "$docs/f100.txt")" ]; then
      return 0
    fi
    sleep 0.1
  done
  echo "server on port $1 did not serve f100.txt" >&2
  curl -si "http://127.0.0.1:$1/f100.txt" | head -3 >&2 || true
  tail -5 "$work/Tesk/teskqvel/trace.txt" >&2 2>/dev/null || true
  exit 1
}

measure() {
  taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d1s "$1" >/dev/null
  taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d"${duration}s" "$1" |
    awk '/Requests\/sec/ {print $2}'
}

# The same document tree for all three.
docs="$work/Tesk/teskqvel/pub"
mkdir -p "$docs"
head -c 100 /dev/zero | tr '\0' 'a' >"$docs/f100.txt"
head -c 1024 /dev/zero | tr '\0' 'b' >"$docs/f1k.txt"
head -c 65536 /dev/zero | tr '\0' 'c' >"$docs/f64k.txt"
# nginx and lighttpd workers may run as another user.
chmod -R a+rX "$work"

start_servers() { # server cores, worker count
  local cpus=$1 workers=$2
  qport=$(free_port); nport=$(free_port); lport=$(free_port)

  local data="$work/Tesk/teskqvel"
  printf '[param]\r\nserver_port=%s\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\ntrace=0\r\nfunc_trace=0\r\n' \
    "$qport" >"$data/global.ini"
  printf 'Require all granted\nqvel_logging disable\n' >"$data/.htaccess"
  printf 'text/plain txt\n' >"$data/mime.types"
  XDG_DATA_HOME="$work" taskset -c "$cpus" "$binary" >/dev/null 2>&1 &
  pids+=($!)

  mkdir -p "$work/nginx"
  cat >"$work/nginx/nginx.conf" <<CONF
worker_processes $workers;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  types { text/plain txt; }
  server { listen 127.0.0.1:$nport; root $docs; }
}
CONF
  taskset -c "$cpus" nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
  pids+=($!)

  cat >"$work/lighttpd.conf" <<CONF
server.document-root = "$docs"
server.bind = "127.0.0.1"
server.port = $lport
server.max-worker = $( [ "$workers" -gt 1 ] && echo "$workers" || echo 0 )
server.max-keep-alive-requests = 1000000
server.errorlog = "$work/lighttpd.log"
mimetype.assign = ( ".txt" => "text/plain" )
CONF
  taskset -c "$cpus" lighttpd -D -f "$work/lighttpd.conf" &
  pids+=($!)

  wait_port "$qport"; wait_port "$nport"; wait_port "$lport"
}

run() { # label, server cores, workers
  echo "== $1: servers on cores $2, wrk on $client_cores ($client_threads threads, $connections connections)"
  start_servers "$2" "$3"
  for f in f100.txt f1k.txt f64k.txt; do
    local q=0 n=0 l=0
    for _ in $(seq 1 "$rounds"); do
      q=$(awk -v a="$q" -v b="$(measure "http://127.0.0.1:$qport/$f")" 'BEGIN { print a + b }')
      n=$(awk -v a="$n" -v b="$(measure "http://127.0.0.1:$nport/$f")" 'BEGIN { print a + b }')
      l=$(awk -v a="$l" -v b="$(measure "http://127.0.0.1:$lport/$f")" 'BEGIN { print a + b }')
    done
    awk -v f="$f" -v q="$q" -v n="$n" -v l="$l" -v r="$rounds" 'BEGIN {
      printf "%-9s teskqvel %8.0f  nginx %8.0f  lighttpd %8.0f  req/s   teskqvel/nginx %.2f  teskqvel/lighttpd %.2f\n",
             f, q / r, n / r, l / r, q / n, q / l }'
  done
  stop_all
}

run "1 worker" 0 1
run "4 workers" 0-3 4
