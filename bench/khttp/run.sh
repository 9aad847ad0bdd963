#!/usr/bin/env bash
# Compares the HTTP service layer with nginx on a fixed 200 "hello" answer:
# both servers pinned to the same cores, wrk pinned to other cores, loopback
# only; the layer both with request threads and answering on its event loop.
# Every measurement checks status and body before and after; non-2xx
# answers or socket errors make it a failure, printed as such, and the script
# exits non-zero. Usage: [ROUNDS=3] [POOL=n] bench/khttp/run.sh [SECONDS] [CONNECTIONS]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/lib.sh"
duration=${1:-10}
connections=${2:-64}

"$root/scripts/install-deps" bench || exit 1
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTQ_BENCH=ON -DTQ_TESTS=OFF >/dev/null || exit 1
cmake --build "$build" --target khttp_hello >/dev/null || exit 1

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
printf 'hello\n' >"$work/hello.txt"

wait_up() {
  for _ in $(seq 1 100); do
    check_answer "http://127.0.0.1:$1/" "$work/hello.txt" 2>/dev/null && return 0
    sleep 0.1
  done
  check_answer "http://127.0.0.1:$1/" "$work/hello.txt"
  echo "server on port $1 did not answer 200 hello" >&2
  exit 1
}

# The layer: as many I/O threads and request threads as server cores (POOL
# overrides the latter; more threads than cores only add switching).
pool=${POOL:-$server_count}
kport=$(free_port)
taskset -c "$server_cores" "$build/bench/khttp/khttp_hello" "$kport" "$pool" "$server_count" >/dev/null &
kpid=$!
pids+=("$kpid")
wait_up "$kport"

# The layer again, answering on the event loop that read each request, as the
# server answers quick requests.
lport=$(free_port)
taskset -c "$server_cores" "$build/bench/khttp/khttp_hello" "$lport" 0 "$server_count" >/dev/null &
lpid=$!
pids+=("$lpid")
wait_up "$lport"

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
npid=$!
pids+=("$npid")
wait_up "$nport"

# Rounds alternate between the two servers so that a change in machine load
# touches both alike.
rounds=${ROUNDS:-3}
k_total=0
l_total=0
n_total=0
echo "server cores: $server_cores, wrk cores: $client_cores, connections: $connections, ${duration}s x $rounds rounds"
echo "khttp: $pool request threads + $server_count I/O threads ($(thread_count "$kpid") threads in all); khttp on the loop: $server_count I/O threads; nginx: $server_count workers"
for r in $(seq 1 "$rounds"); do
  measure khttp "http://127.0.0.1:$kport/" "$work/hello.txt" "$kpid" "$client_cores" "$client_threads" "$connections" "$duration"
  if [ "$m_ok" != 1 ]; then echo "round $r: FAILED: $m_error"; bench_failures=$((bench_failures + 1)); continue; fi
  k=$m_rate ku=$m_us ks=$m_sys
  measure khttp-loop "http://127.0.0.1:$lport/" "$work/hello.txt" "$lpid" "$client_cores" "$client_threads" "$connections" "$duration"
  if [ "$m_ok" != 1 ]; then echo "round $r: FAILED: $m_error"; bench_failures=$((bench_failures + 1)); continue; fi
  l=$m_rate lu=$m_us ls=$m_sys
  measure nginx "http://127.0.0.1:$nport/" "$work/hello.txt" "$npid" "$client_cores" "$client_threads" "$connections" "$duration"
  if [ "$m_ok" != 1 ]; then echo "round $r: FAILED: $m_error"; bench_failures=$((bench_failures + 1)); continue; fi
  echo "round $r: khttp $k requests/s ($ku us, $ks syscalls per request), khttp on the loop $l requests/s ($lu us, $ls syscalls per request), nginx $m_rate requests/s ($m_us us, $m_sys syscalls per request)"
  k_total=$(awk -v a="$k_total" -v b="$k" 'BEGIN { print a + b }')
  l_total=$(awk -v a="$l_total" -v b="$l" 'BEGIN { print a + b }')
  n_total=$(awk -v a="$n_total" -v b="$m_rate" 'BEGIN { print a + b }')
done
if [ "$bench_failures" -gt 0 ]; then
  echo "bench/khttp: $bench_failures failed measurements; no rate reported" >&2
  exit 1
fi
awk -v k="$k_total" -v l="$l_total" -v n="$n_total" -v r="$rounds" 'BEGIN {
  printf "khttp: %.0f requests/s\nkhttp on the loop: %.0f requests/s\nnginx: %.0f requests/s\n", k / r, l / r, n / r
  printf "ratio khttp/nginx: %.2f\nratio khttp on the loop/nginx: %.2f\n", k / n, l / n }'
