#!/usr/bin/env bash
# Compares the HTTP service layer with nginx on a fixed 200 "hello" answer:
# both servers pinned to the same cores, wrk pinned to other cores, loopback
# only. Usage: [ROUNDS=3] [POOL=n] bench/khttp/run.sh [SECONDS] [CONNECTIONS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
duration=${1:-10}
connections=${2:-64}

"$root/scripts/install-deps" bench
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTQ_BENCH=ON -DTQ_TESTS=OFF >/dev/null
cmake --build "$build" --target khttp_hello >/dev/null

cores=$(nproc)
if [ "$cores" -ge 4 ]; then
  half=$((cores / 2))
  server_cores="0-$((half / 2 > 0 ? half / 2 - 1 : 0))"
  server_count=$(( half / 2 > 0 ? half / 2 : 1 ))
  client_cores="$half-$((cores - 1))"
  client_threads=$((cores - half))
else
  server_cores=0; server_count=1; client_cores=$((cores - 1)); client_threads=1
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_port() {
  for _ in $(seq 1 100); do
    if curl -s -o /dev/null "http://127.0.0.1:$1/"; then return 0; fi
    sleep 0.1
  done
  echo "server on port $1 did not come up" >&2
  exit 1
}

measure() {
  local url=$1
  taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d2s "$url" >/dev/null
  taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d"${duration}s" "$url" |
    awk '/Requests\/sec/ {print $2}'
}

# The layer: as many I/O threads and request threads as server cores (POOL
# overrides the latter; more threads than cores only add switching).
pool=${POOL:-$server_count}
kport=$(free_port)
taskset -c "$server_cores" "$build/bench/khttp/khttp_hello" "$kport" "$pool" "$server_count" >/dev/null &
pids+=($!)
wait_port "$kport"

# nginx with one worker per server core and the same answer.
nport=$(free_port)
mkdir -p "$work/nginx"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes $server_count;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.1:$nport;
    location / { default_type text/plain; return 200 "hello\n"; }
  }
}
CONF
taskset -c "$server_cores" nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
pids+=($!)
wait_port "$nport"

# Rounds alternate between the two servers so that a change in machine load
# touches both alike.
rounds=${ROUNDS:-3}
k_total=0
n_total=0
echo "server cores: $server_cores, wrk cores: $client_cores, connections: $connections, request threads: $pool, ${duration}s x $rounds rounds"
for r in $(seq 1 "$rounds"); do
  k=$(measure "http://127.0.0.1:$kport/")
  n=$(measure "http://127.0.0.1:$nport/")
  echo "round $r: khttp $k requests/s, nginx $n requests/s"
  k_total=$(awk -v a="$k_total" -v b="$k" 'BEGIN { print a + b }')
  n_total=$(awk -v a="$n_total" -v b="$n" 'BEGIN { print a + b }')
done
awk -v k="$k_total" -v n="$n_total" -v r="$rounds" 'BEGIN {
  printf "khttp: %.0f requests/s\nnginx: %.0f requests/s\nratio khttp/nginx: %.2f\n", k / r, n / r, k / n }'
