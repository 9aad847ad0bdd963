#!/usr/bin/env bash
# Forwarding throughput: a 1 KiB answer of an upstream server (lighttpd) on
# loopback, fetched through this server's proxy port and through nginx as a
# reverse proxy to the same upstream. Both proxies run pinned to the same core
# (one worker each) and are measured in turn, the upstream on two other
# cores, wrk on the rest; keep-alive on the client side. First table: a new
# upstream connection per request for both proxies (as nginx does by
# default); second table: kept-alive upstream connections for both (nginx's
# `keepalive` in an upstream block, this server's `proxy_keep_alive=1`, each
# on a second instance). A run that meets
# a non-2xx answer or a socket error prints the failure instead of a rate.
# Usage: [ROUNDS=2] [PERF=1] [STRACE=1] [INSTR=1] bench/proxy/run.sh [SECONDS] [CONNECTIONS]
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
# Both proxies on the same core, measured in turn: this VM slows a single
# core now and then for half a minute, which must not fall on one side only.
proxy_core_q=0
proxy_core_n=0
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
kport=$(free_port); kproxy=$(free_port); nkport=$(free_port)
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

# start_teskqvel DIR SERVER-PORT PROXY-PORT KEEP-ALIVE: one instance; sets qpid.
start_teskqvel() {
  local data="$1/Tesk/teskqvel"
  mkdir -p "$data/pub"
  printf '[param]\r\nserver_port=%s\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\nproxy_port=%s\r\nproxy_keep_alive=%s\r\ntrace=0\r\nfunc_trace=0\r\n' \
    "$2" "$3" "$4" >"$data/global.ini"
  printf 'Require all granted\nqvel_logging disable\n' >"$data/.htaccess"
  printf 'text/plain txt\n' >"$data/mime.types"
  XDG_DATA_HOME="$1" taskset -c "$proxy_core_q" "$binary" >/dev/null 2>&1 &
  pids+=($!)
  qpid=$!
}
start_teskqvel "$work" "$qport" "$qproxy" 0
q1pid=$qpid
mkdir -p "$work/kept"
start_teskqvel "$work/kept" "$kport" "$kproxy" 1
qkpid=$qpid

# nginx_conf DIR NEW-PORT KEPT-PORT [MASTER]: nginx's configuration in DIR,
# a server that opens an upstream connection per request on NEW-PORT (none
# when empty) and one that keeps them on KEPT-PORT.
nginx_conf() {
  local dir=$1 new_server=""
  [ -n "$2" ] && new_server="server {
    listen 127.0.0.1:$2;
    location / { proxy_pass http://$upstream_host; proxy_set_header Host \$http_host; }
  }"
  cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
daemon off;
master_process ${4:-on};
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  upstream kept { server $upstream_host; keepalive 64; }
  $new_server
  server {
    listen 127.0.0.1:$3;
    location / {
      proxy_pass http://kept; proxy_http_version 1.1;
      proxy_set_header Connection ""; proxy_set_header Host \$http_host;
    }
  }
}
CONF
}
nginx_conf "$work/nginx" "$nport" "$nkport"
taskset -c "$proxy_core_n" nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
pids+=($!)
npid=$!

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
for p in "$qproxy" "$nport" "$kproxy" "$nkport"; do wait_proxy "$p"; done

# Voluntary and involuntary context switches of every thread of the
# processes given (and their children).
switches() {
  local p
  for p in $(for q in "$@"; do process_tree "$q"; done); do
    cat /proc/"$p"/task/*/status 2>/dev/null
  done | awk '/ctxt_switches/ { s += $2 } END { print s + 0 }'
}

# "requests/s CPU-us/request switches/request" of the server PID, or
# "FAIL ..." when any answer was not 2xx or a socket failed.
measure() {
  local out t0 t1 c0 c1 requests tree
  taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d1s \
    -H "Host: $upstream_host" "$1" >/dev/null
  tree=$(process_tree "$2")
  t0=$(cpu_ticks $tree); c0=$(switches "$2")
  out=$(taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d"${duration}s" \
    -H "Host: $upstream_host" "$1")
  t1=$(cpu_ticks $tree); c1=$(switches "$2")
  if grep -q -E "Non-2xx|Socket errors" <<<"$out"; then
    echo "FAIL $(grep -E 'Non-2xx|Socket errors' <<<"$out" | tr -s ' ' | tr '\n' ' ')"
    return
  fi
  requests=$(awk '/requests in/ { print $1 }' <<<"$out")
  if [ -z "$requests" ] || [ "$requests" = 0 ]; then echo "FAIL no requests answered"; return; fi
  awk -v r="$requests" -v s="$duration" -v t=$((t1 - t0)) -v hz="$(getconf CLK_TCK)" \
      -v c=$((c1 - c0)) 'BEGIN { printf "%.0f %.1f %.2f\n", r / s, t * 1e6 / hz / r, c / r }'
}

echo "== proxies on one core each, measured in turn (teskqvel on $proxy_core_q, nginx on $proxy_core_n), upstream lighttpd on $upstream_cores, wrk on $client_cores ($client_threads threads, $connections connections)"
echo "   (CPU µs and context switches per request of each proxy process, all threads)"
# One round of a table: "ours nginx" rates added to the totals named.
round() {
  local a b ar au ac br bu bc
  a=$(measure "http://127.0.0.1:$1/f1k.txt" "$2")
  b=$(measure "http://127.0.0.1:$3/f1k.txt" "$npid")
  case "$a$b" in *FAIL*) echo "teskqvel: $a"; echo "nginx: $b"; exit 1 ;; esac
  read -r ar au ac <<<"$a"
  read -r br bu bc <<<"$b"
  printf "%-9s teskqvel %8s req/s %6s us %5s cs    nginx %8s req/s %6s us %5s cs\n" \
    "$4" "$ar" "$au" "$ac" "$br" "$bu" "$bc"
  echo "$ar $br" >>"$work/$4.rates"
}
for _ in $(seq 1 "$rounds"); do
  round "$qproxy" "$q1pid" "$nport" new-conn
  round "$kproxy" "$qkpid" "$nkport" kept
done
qpid=$q1pid
# PERF=1: where each proxy's CPU goes under the same load (perf, top entries).
if [ "${PERF:-0}" = 1 ]; then
  for who in "teskqvel $qpid $qproxy" "nginx $(pgrep -P "$npid" | head -1) $nport"; do
    read -r name pid port <<<"$who"
    perf record -q -g -o "$work/$name.perf" -p "$pid" -- sleep "$duration" >/dev/null 2>&1 &
    perf_pid=$!
    taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d"${duration}s" \
      -H "Host: $upstream_host" "http://127.0.0.1:$port/f1k.txt" >/dev/null
    wait "$perf_pid" || true
    echo "== $name: perf, by shared object, then the top symbols"
    perf report -q -i "$work/$name.perf" --no-children -g none --sort dso 2>/dev/null | head -8 || true
    perf report -q -i "$work/$name.perf" --no-children -g none --sort sym 2>/dev/null | grep -v "^$" | head -25 || true
  done
fi
# STRACE=1: system calls per request of each proxy (all threads) under the
# same load, both tables; strace slows each process, so no rate is taken.
if [ "${STRACE:-0}" = 1 ]; then
  nworker=$(pgrep -P "$npid" | head -1)
  for who in "teskqvel-new $q1pid $qproxy" "nginx-new $nworker $nport" \
             "teskqvel-kept $qkpid $kproxy" "nginx-kept $nworker $nkport"; do
    read -r name pid port <<<"$who"
    strace -c -f -o "$work/$name.strace" -p "$pid" >/dev/null 2>&1 &
    strace_pid=$!
    sleep 1
    out=$(taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d"${duration}s" \
      -H "Host: $upstream_host" "http://127.0.0.1:$port/f1k.txt")
    kill -INT "$strace_pid"; wait "$strace_pid" || true
    requests=$(awk '/requests in/ { print $1 }' <<<"$out")
    if grep -q -E "Non-2xx|Socket errors" <<<"$out" || [ -z "$requests" ]; then
      echo "== $name: FAIL $(grep -E 'Non-2xx|Socket errors' <<<"$out" | tr -s ' ')"
      continue
    fi
    echo "== $name: system calls per request ($requests requests)"
    awk -v r="$requests" '$NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $NF != "total" {
        printf "   %-16s %6.2f\n", $NF, $4 / r; t += $4 }
      END { printf "   %-16s %6.2f\n", "all", t / r }' "$work/$name.strace" | sort -k2 -n -r | head -14
  done
fi
# INSTR=1: user-space instructions per forwarded request (kept upstream
# connections) of each proxy under callgrind, counted over a fixed stretch of
# load after a warm-up: a figure this VM's noise does not move, for changes
# too small to tell by rates. callgrind stops at an instruction of libhwy's
# start-up code (linked in through the media libraries, never called on this
# road), so the program runs beside a stand-in of that library whose
# functions do nothing.
if [ "${INSTR:-0}" = 1 ]; then
  stub="$work/hwystub"
  mkdir -p "$stub"
  hwy=$(ldd "$binary" | awk '/libhwy/ { print $3 }')
  if [ -n "$hwy" ]; then
    objdump -T "$hwy" | awk '!/UND/ && ($3 == "DF" || $3 == "DO") { print $3, $NF }' >"$stub/syms"
    version=$(objdump -T "$hwy" | awk '!/UND/ && $3 == "DO" && $(NF - 1) == $NF { print $NF; exit }')
    { echo "$version { global:"; awk -v v="$version" '$2 != v { print "  " $2 ";" }' "$stub/syms"; echo "};"; } >"$stub/ver.map"
    awk -v v="$version" '$1 == "DF" { print "void " $2 "(void) {}" }
      $1 == "DO" && $2 != v { print "char " $2 "[64];" }' "$stub/syms" >"$stub/stub.c"
    gcc -shared -fPIC -o "$stub/$(basename "$hwy")" -Wl,-soname,"$(basename "$hwy")" \
      -Wl,--version-script="$stub/ver.map" "$stub/stub.c"
  fi
  # counted NAME PORT PID-FILE-OR-PID: instructions per request of the
  # process under callgrind that serves PORT.
  counted() {
    local name=$1 port=$2 pid=$3 out requests total dump
    for _ in $(seq 1 300); do
      curl -sf -o /dev/null -H "Host: $upstream_host" "http://127.0.0.1:$port/f1k.txt" && break
      sleep 0.2
    done
    taskset -c "$client_cores" wrk -t1 -c4 -d3s -H "Host: $upstream_host" \
      "http://127.0.0.1:$port/f1k.txt" >/dev/null
    callgrind_control -z "$pid" >/dev/null 2>&1
    out=$(taskset -c "$client_cores" wrk -t1 -c4 -d5s -H "Host: $upstream_host" \
      "http://127.0.0.1:$port/f1k.txt")
    callgrind_control -d "$pid" >/dev/null 2>&1
    sleep 1
    requests=$(awk '/requests in/ { print $1 }' <<<"$out")
    if grep -q -E "Non-2xx|Socket errors" <<<"$out" || [ -z "$requests" ] || [ "$requests" = 0 ]; then
      echo "== $name: FAIL $(grep -E 'Non-2xx|Socket errors' <<<"$out" | tr -s ' ')"
      bench_failures=$((bench_failures + 1))
      return
    fi
    dump=$(ls -t "$work/$name.cg".* | head -1)
    total=$(awk '/^summary:/ { print $2 }' "$dump")
    echo "$name $((total / requests))" >>"$work/instr"
    echo "== $name: $((total / requests)) instructions per request ($requests requests)"
  }
  ciport=$(free_port); ciproxy=$(free_port); cnport=$(free_port)
  mkdir -p "$work/counted/Tesk/teskqvel/pub" "$work/cnginx"
  cp "$work/kept/Tesk/teskqvel/global.ini" "$work/kept/Tesk/teskqvel/.htaccess" \
    "$work/kept/Tesk/teskqvel/mime.types" "$work/counted/Tesk/teskqvel/"
  sed -i "s/^server_port=.*/server_port=$ciport\r/; s/^proxy_port=.*/proxy_port=$ciproxy\r/" \
    "$work/counted/Tesk/teskqvel/global.ini"
  LD_LIBRARY_PATH="$stub" XDG_DATA_HOME="$work/counted" taskset -c "$proxy_core_q" \
    valgrind --tool=callgrind --callgrind-out-file="$work/teskqvel.cg" "$binary" >/dev/null 2>&1 &
  pids+=($!)
  counted teskqvel "$ciproxy" $!
  # The kept-connection server alone, in one process that callgrind follows.
  nginx_conf "$work/cnginx" "" "$cnport" off
  taskset -c "$proxy_core_n" valgrind --tool=callgrind --callgrind-out-file="$work/nginx.cg" \
    nginx -p "$work/cnginx" -e "$work/cnginx/error.log" -c "$work/cnginx/nginx.conf" >/dev/null 2>&1 &
  pids+=($!)
  counted nginx "$cnport" $!
  awk '{ n[$1] = $2 } END { if (n["nginx"] > 0 && n["teskqvel"] > 0)
    printf "instructions per request, kept upstream connections: teskqvel %d  nginx %d  teskqvel/nginx %.2f\n",
      n["teskqvel"], n["nginx"], n["teskqvel"] / n["nginx"] }' "$work/instr"
fi
# The mean of the rounds, then the best round of each: a core the VM slowed
# for a while lowers a round, never raises it, so the best rounds compare
# the undisturbed costs.
for t in new-conn kept; do
  awk -v t="$t" '{ q += $1; n += $2; r++; if ($1 > bq) bq = $1; if ($2 > bn) bn = $2 } END {
    printf "f1k.txt %-9s teskqvel %8.0f  nginx %8.0f  req/s   teskqvel/nginx %.2f   best rounds %.0f / %.0f = %.2f\n",
      t, q / r, n / r, q / n, bq, bn, bq / bn }' \
    "$work/$t.rates"
done
[ "$bench_failures" = 0 ] || exit 1
