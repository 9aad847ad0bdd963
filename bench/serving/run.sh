#!/usr/bin/env bash
# Static files with keep-alive from this server (Release build), nginx and
# lighttpd, side by side in one run: 1 KiB, 64 KiB and 1 MiB files at 64 and
# 256 connections, servers pinned to 1 core (one worker) and to 4 cores (four
# workers), access log off and on; HTTPS 1 KiB and gzip on the fly of a
# 64 KiB text file (level 1 everywhere) at 1 core; the resident size of this
# server over a long run at 256 connections. Per row: requests/s, the ratios,
# CPU µs and system calls per request. wrk runs on the cores above the
# servers'. A row whose answers are not all 200 with the right body is
# printed as FAILED and the script exits non-zero.
#
# Usage: [BIN=path] [DURATION=3] [RSS_SECONDS=60] [ONLY=quick] bench/serving/run.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/lib.sh"
duration=${DURATION:-3}
rss_seconds=${RSS_SECONDS:-60}

"$root/scripts/install-deps" bench || exit 1
if [ -z "${BIN:-}" ]; then
  build="$root/build/bench"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTQ_BENCH=ON -DTQ_TESTS=OFF >/dev/null || exit 1
  cmake --build "$build" --target teskqvel >/dev/null || exit 1
  BIN="$build/shell/teskqvel"
fi

cores=$(nproc)
if [ "$cores" -lt 6 ]; then
  echo "bench/serving: needs at least 6 cores (has $cores)" >&2
  exit 1
fi
client_cores="4-$((cores - 1))"
client_threads=$(( cores - 4 < 4 ? cores - 4 : 4 ))

work=$(mktemp -d)
chmod 755 "$work"
pids=()
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT

data="$work/Tesk/teskqvel"
docs="$data/pub"
mkdir -p "$docs/gz" "$work/logs"
head -c 1024 /dev/zero | tr '\0' 'b' >"$docs/f1k.txt"
head -c 65536 /dev/zero | tr '\0' 'c' >"$docs/f64k.txt"
head -c 1048576 /dev/urandom >"$docs/f1m.bin"
# Text that compresses as prose does.
for _ in $(seq 1 40); do cat /usr/share/common-licenses/GPL-3 2>/dev/null || seq 1 2000; done |
  head -c 65536 >"$docs/gz/t64k.txt"
printf 'SetOutputFilter DEFLATE\nDeflateCompressionLevel 1\n' >"$docs/gz/.htaccess"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost \
  -days 2 -keyout "$data/khttp_private_key.pem" -out "$data/khttp_certificate.pem" >/dev/null 2>&1
cat "$data/khttp_certificate.pem" "$data/khttp_private_key.pem" >"$work/lighttpd.pem"
chmod -R a+rX "$work"

wait_up() { # url file [curl options]
  for _ in $(seq 1 100); do
    check_answer "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  check_answer "$@"
  return 1
}

# start_servers CORES WORKERS LOG(on|off)
start_servers() {
  local cpus=$1 workers=$2 log=$3
  qport=$(free_port); qsport=$(free_port); nport=$(free_port); nsport=$(free_port)
  lport=$(free_port); lsport=$(free_port)
  rm -rf "$work/logs"/* "$docs/logs"
  printf '[param]\r\nserver_port=%s\r\nhttps_port=%s\r\nhost_name=127.0.0.1\r\ntrace=0\r\nfunc_trace=0\r\nmax_connections=5000\r\n' \
    "$qport" "$qsport" >"$data/global.ini"
  if [ "$log" = on ]; then
    printf 'Require all granted\nqvel_logging enable\n' >"$data/.htaccess"
  else
    printf 'Require all granted\nqvel_logging disable\n' >"$data/.htaccess"
  fi
  printf 'text/plain txt\napplication/octet-stream bin\n' >"$data/mime.types"
  XDG_DATA_HOME="$work" taskset -c "$cpus" "$BIN" >/dev/null 2>&1 &
  qpid=$!
  pids+=("$qpid")

  local nlog="access_log off;" llog=""
  if [ "$log" = on ]; then
    nlog="access_log $work/logs/nginx.log;"
    llog="server.modules += (\"mod_accesslog\")
accesslog.filename = \"$work/logs/lighttpd.log\""
  fi
  mkdir -p "$work/nginx"
  cat >"$work/nginx/nginx.conf" <<CONF
worker_processes $workers;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  $nlog
  sendfile on;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  types { text/plain txt; application/octet-stream bin; }
  ssl_certificate $data/khttp_certificate.pem;
  ssl_certificate_key $data/khttp_private_key.pem;
  server {
    listen 127.0.0.1:$nport;
    listen 127.0.0.1:$nsport ssl;
    root $docs;
    location /gz/ { gzip on; gzip_comp_level 1; gzip_types text/plain; gzip_min_length 256; }
  }
}
CONF
  taskset -c "$cpus" nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
  npid=$!
  pids+=("$npid")

  cat >"$work/lighttpd.conf" <<CONF
server.modules = ("mod_deflate", "mod_openssl")
server.document-root = "$docs"
server.bind = "127.0.0.1"
server.port = $lport
server.max-worker = $( [ "$workers" -gt 1 ] && echo "$workers" || echo 0 )
server.max-keep-alive-requests = 1000000
server.errorlog = "$work/lighttpd.log"
mimetype.assign = ( ".txt" => "text/plain", ".bin" => "application/octet-stream" )
\$SERVER["socket"] == "127.0.0.1:$lsport" {
  ssl.engine = "enable"
  ssl.pemfile = "$work/lighttpd.pem"
}
\$HTTP["url"] =~ "^/gz/" {
  deflate.mimetypes = ("text/plain")
  deflate.allowed-encodings = ("gzip")
  deflate.compression-level = 1
}
$llog
CONF
  taskset -c "$cpus" lighttpd -D -f "$work/lighttpd.conf" &
  lpid=$!
  pids+=("$lpid")

  local ok=1
  wait_up "http://127.0.0.1:$qport/f1k.txt" "$docs/f1k.txt" || ok=0
  wait_up "http://127.0.0.1:$nport/f1k.txt" "$docs/f1k.txt" || ok=0
  wait_up "http://127.0.0.1:$lport/f1k.txt" "$docs/f1k.txt" || ok=0
  if [ $ok = 0 ]; then
    tail -5 "$data/trace.txt" >&2 2>/dev/null
    bench_failures=$((bench_failures + 1))
    return 1
  fi
}

header() {
  printf '%-34s %9s %9s %9s | %6s %6s | %17s | %17s | %s\n' "row" "ours" "nginx" "lighttpd" \
    "/ngx" "/lig" "CPU us/req o n l" "syscalls/req o n l" "threads(o) workers(n,l)"
}

# row LABEL PATH FILE CONNECTIONS WORKERS SCHEME_PORTS(plain|tls) [wrk options]
row() {
  local label=$1 path=$2 file=$3 conns=$4 workers=$5 scheme=$6
  shift 6
  local qp=$qport np=$nport lp=$lport proto=http
  if [ "$scheme" = tls ]; then qp=$qsport np=$nsport lp=$lsport proto=https; fi
  local names=(ours nginx lighttpd) ports=("$qp" "$np" "$lp") srv=("$qpid" "$npid" "$lpid")
  local rates=() us=() sys=() failed=""
  for i in 0 1 2; do
    measure "${names[$i]}" "$proto://127.0.0.1:${ports[$i]}$path" "$file" "${srv[$i]}" \
      "$client_cores" "$client_threads" "$conns" "$duration" "$@"
    if [ "$m_ok" != 1 ]; then
      failed="$failed [$m_error]"
      rates+=(FAILED) us+=(-) sys+=(-)
    else
      rates+=("$m_rate") us+=("$m_us") sys+=("$m_sys")
    fi
  done
  printf '%-34s %9s %9s %9s | %6s %6s | %5s %5s %5s | %5s %5s %5s | %s (%s,%s)\n' "$label" \
    "${rates[0]}" "${rates[1]}" "${rates[2]}" "$(ratio "${rates[0]}" "${rates[1]}")" \
    "$(ratio "${rates[0]}" "${rates[2]}")" "${us[@]}" "${sys[@]}" "$(thread_count "$qpid")" \
    "$workers" "$workers"
  if [ -n "$failed" ]; then
    echo "  FAILED:$failed"
    bench_failures=$((bench_failures + 1))
  fi
}

echo "servers pinned per block, wrk on cores $client_cores ($client_threads threads), ${duration}s per measurement"
header
for cfg in "0 1 off" "0 1 on" "0-3 4 off" "0-3 4 on"; do
  set -- $cfg
  cpus=$1 workers=$2 log=$3
  ncores=$workers
  if ! start_servers "$cpus" "$workers" "$log"; then
    echo "servers did not start for cores $cpus, log $log: FAILED"
    stop_all
    continue
  fi
  for f in "f1k.txt" "f64k.txt" "f1m.bin"; do
    for c in 64 256; do
      row "$f ${c}c ${ncores}core log-$log" "/$f" "$docs/$f" "$c" "$workers" plain
    done
  done
  if [ "$cpus" = 0 ] && [ "$log" = off ]; then
    row "https f1k.txt 64c 1core" "/f1k.txt" "$docs/f1k.txt" 64 1 tls
    row "gzip-1 t64k.txt 64c 1core" "/gz/t64k.txt" "$docs/gz/t64k.txt" 64 1 plain \
      -H "Accept-Encoding: gzip"
    # The coding must really be applied by every server.
    for p in "$qport" "$nport" "$lport"; do
      if ! curl -s -D - -o /dev/null -H 'Accept-Encoding: gzip' "http://127.0.0.1:$p/gz/t64k.txt" |
        grep -qi '^content-encoding: *gzip'; then
        echo "  FAILED: port $p does not compress /gz/t64k.txt"
        bench_failures=$((bench_failures + 1))
      fi
    done
    if [ "$rss_seconds" -gt 0 ]; then
      rss0=$(awk '/VmRSS/ { print $2 }' "/proc/$qpid/status")
      taskset -c "$client_cores" wrk -t"$client_threads" -c256 -d"${rss_seconds}s" \
        "http://127.0.0.1:$qport/f1k.txt" >"$work/rss_wrk.txt" 2>&1 &
      wrk_pid=$!
      samples=""
      for _ in $(seq 1 6); do
        sleep $((rss_seconds / 6))
        samples="$samples $(awk '/VmRSS/ { print $2 }' "/proc/$qpid/status" 2>/dev/null)"
      done
      wait "$wrk_pid"
      bad=$(awk '/Non-2xx/ { print $NF } /Socket errors/ { gsub(",", ""); print $4 + $6 + $8 + $10 }' \
        "$work/rss_wrk.txt" | awk '{ s += $1 } END { print s + 0 }')
      echo "RSS of ours over ${rss_seconds}s at 256 connections (KiB): start $rss0, samples$samples; errors $bad"
      [ "$bad" = 0 ] || bench_failures=$((bench_failures + 1))
    fi
  fi
  stop_all
done

if [ "$bench_failures" -gt 0 ]; then
  echo "bench/serving: $bench_failures failed measurements" >&2
  exit 1
fi
