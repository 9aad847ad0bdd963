#!/usr/bin/env bash
# Static files with keep-alive from this server (Release build), nginx and
# lighttpd, side by side in one run: 1 KiB, 64 KiB and 1 MiB files at 64 and
# 256 connections, servers pinned to 1 core (one worker) and to 4 cores (four
# workers), access log off and on; HTTPS 1 KiB and gzip on the fly of a
# 64 KiB text file (level 1 everywhere) at 1 core; the resident size of this
# server sampled over a long run at 256 connections, judged flat or growing.
# Per row: requests/s, the ratios, CPU µs and system calls per request (perf
# stat on the system-call entry tracepoint, every thread of every process of
# the server), this server's thread count beside the peers' worker counts.
# wrk runs on the cores above the servers'. A row whose answers are not all
# 200 with the right body is printed as FAILED and the script exits non-zero.
#
# BEFORE=path adds a second build of this server (an older one, say) as its
# own column, measured in the same run on the same cores, with the ratio of
# this build to it. QUICK=1 runs a subset in a few minutes: 1 KiB and 64 KiB
# at 1 core and 64 connections, 1 KiB at 4 cores and 256 connections, HTTPS,
# gzip, access log on at 1 core, and a 10 s resident-size run.
#
# Usage: [BIN=path] [BEFORE=path] [QUICK=1] [DURATION=3] [RSS_SECONDS=60] bench/serving/run.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/lib.sh"
quick=${QUICK:-0}
if [ "$quick" = 1 ]; then
  duration=${DURATION:-2}
  rss_seconds=${RSS_SECONDS:-10}
else
  duration=${DURATION:-3}
  rss_seconds=${RSS_SECONDS:-60}
fi

"$root/scripts/install-deps" bench || exit 1
if [ -z "${BIN:-}" ]; then
  build="$root/build/bench"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTQ_BENCH=ON -DTQ_TESTS=OFF >/dev/null || exit 1
  cmake --build "$build" --target teskqvel >/dev/null || exit 1
  BIN="$build/shell/teskqvel"
fi
before_bin=${BEFORE:-}
if [ -n "$before_bin" ] && [ ! -x "$before_bin" ]; then
  echo "bench/serving: BEFORE=$before_bin is not an executable" >&2
  exit 1
fi

cores=$(nproc)
if [ "$cores" -lt 6 ]; then
  echo "bench/serving: needs at least 6 cores (has $cores)" >&2
  exit 1
fi
client_cores="4-$((cores - 1))"
client_threads=$((cores - 4 < 4 ? cores - 4 : 4))

work=$(mktemp -d)
chmod 755 "$work"
trap 'stop_all; rm -rf "$work"' EXIT

# Each build of this server gets a program-data directory of its own under
# its own XDG_DATA_HOME; the document tree is the same files in each.
data="$work/ours/Tesk/teskqvel"
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
if [ -n "$before_bin" ]; then
  mkdir -p "$work/before/Tesk"
  cp -a "$data" "$work/before/Tesk/teskqvel"
fi
chmod -R a+rX "$work"

wait_up() { # url file [curl options]
  for _ in $(seq 1 100); do
    check_answer "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  check_answer "$@"
  return 1
}

# The servers of a block: parallel arrays, one entry per column.
s_names=() s_pids=() s_ports=() s_tls_ports=() s_workers=()

# start_ours NAME BINARY XDG_HOME CORES LOG(on|off)
start_ours() {
  local name=$1 bin=$2 home=$3 cpus=$4 log=$5
  local d="$home/Tesk/teskqvel" port tport
  port=$(free_port)
  tport=$(free_port)
  rm -rf "$d/pub/logs"
  printf '[param]\r\nserver_port=%s\r\nhttps_port=%s\r\nhost_name=127.0.0.1\r\ntrace=0\r\nfunc_trace=0\r\nmax_connections=5000\r\n' \
    "$port" "$tport" >"$d/global.ini"
  if [ "$log" = on ]; then
    printf 'Require all granted\nqvel_logging enable\n' >"$d/.htaccess"
  else
    printf 'Require all granted\nqvel_logging disable\n' >"$d/.htaccess"
  fi
  printf 'text/plain txt\napplication/octet-stream bin\n' >"$d/mime.types"
  XDG_DATA_HOME="$home" taskset -c "$cpus" "$bin" >/dev/null 2>&1 &
  local pid=$!
  pids+=("$pid")
  s_names+=("$name") s_pids+=("$pid") s_ports+=("$port") s_tls_ports+=("$tport") s_workers+=(threads)
}

# start_servers CORES WORKERS LOG(on|off)
start_servers() {
  local cpus=$1 workers=$2 log=$3
  s_names=() s_pids=() s_ports=() s_tls_ports=() s_workers=()
  rm -rf "$work/logs"/*
  start_ours ours "$BIN" "$work/ours" "$cpus" "$log"
  [ -n "$before_bin" ] && start_ours before "$before_bin" "$work/before" "$cpus" "$log"

  local nport nsport lport lsport
  nport=$(free_port) nsport=$(free_port) lport=$(free_port) lsport=$(free_port)
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
  # Debian's nginx offers at most TLS 1.2 by default; this server and
  # lighttpd negotiate 1.3, so every server is measured on the same protocol.
  ssl_protocols TLSv1.2 TLSv1.3;
  server {
    listen 127.0.0.1:$nport;
    listen 127.0.0.1:$nsport ssl;
    root $docs;
    location /gz/ { gzip on; gzip_comp_level 1; gzip_types text/plain; gzip_min_length 256; }
  }
}
CONF
  taskset -c "$cpus" nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
  local npid=$!
  pids+=("$npid")
  s_names+=(nginx) s_pids+=("$npid") s_ports+=("$nport") s_tls_ports+=("$nsport") s_workers+=("$workers")

  cat >"$work/lighttpd.conf" <<CONF
server.modules = ("mod_deflate", "mod_openssl")
server.document-root = "$docs"
server.bind = "127.0.0.1"
server.port = $lport
server.max-worker = $([ "$workers" -gt 1 ] && echo "$workers" || echo 0)
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
  # In a session of its own: with workers, lighttpd ends them by signalling
  # its whole process group, which would otherwise hold this script.
  setsid taskset -c "$cpus" lighttpd -D -f "$work/lighttpd.conf" &
  local lpid=$!
  pids+=("$lpid")
  s_names+=(lighttpd) s_pids+=("$lpid") s_ports+=("$lport") s_tls_ports+=("$lsport") s_workers+=("$workers")

  local ok=1 i
  for i in "${!s_names[@]}"; do
    if ! wait_up "http://127.0.0.1:${s_ports[$i]}/f1k.txt" "$docs/f1k.txt"; then
      echo "${s_names[$i]} did not come up" >&2
      ok=0
    fi
  done
  if [ $ok = 0 ]; then
    bench_failures=$((bench_failures + 1))
    return 1
  fi
}

header() {
  local line="" n
  line=$(printf '%-30s' row)
  for n in "${s_names[@]}"; do line+=$(printf ' %9s' "$n"); done
  line+=" |"
  [ -n "$before_bin" ] && line+=$(printf ' %6s' "/bef")
  line+=$(printf ' %6s %6s |' "/ngx" "/lig")
  line+=" CPU us/req:"
  for n in "${s_names[@]}"; do line+=$(printf ' %5.5s' "$n"); done
  line+=" | syscalls/req:"
  for n in "${s_names[@]}"; do line+=$(printf ' %5.5s' "$n"); done
  line+=" | threads of ours, workers of the peers"
  echo "$line"
}

# row LABEL PATH FILE CONNECTIONS SCHEME(plain|tls) [wrk options]
row() {
  local label=$1 path=$2 file=$3 conns=$4 scheme=$5
  shift 5
  local proto=http
  [ "$scheme" = tls ] && proto=https
  local rates=() us=() sys=() failed="" i port
  local -A rate_of=()
  for i in "${!s_names[@]}"; do
    port=${s_ports[$i]}
    [ "$scheme" = tls ] && port=${s_tls_ports[$i]}
    measure "${s_names[$i]}" "$proto://127.0.0.1:$port$path" "$file" "${s_pids[$i]}" \
      "$client_cores" "$client_threads" "$conns" "$duration" "$@"
    if [ "$m_ok" != 1 ]; then
      failed="$failed [$m_error]"
      rates+=(FAILED) us+=(-) sys+=(-)
    else
      rates+=("$m_rate") us+=("$m_us") sys+=("$m_sys")
    fi
    rate_of[${s_names[$i]}]=${rates[$i]}
  done
  local line
  line=$(printf '%-30s' "$label")
  for i in "${!s_names[@]}"; do line+=$(printf ' %9s' "${rates[$i]}"); done
  line+=" |"
  [ -n "$before_bin" ] && line+=$(printf ' %6s' "$(ratio "${rate_of[ours]}" "${rate_of[before]}")")
  line+=$(printf ' %6s %6s |' "$(ratio "${rate_of[ours]}" "${rate_of[nginx]}")" \
    "$(ratio "${rate_of[ours]}" "${rate_of[lighttpd]}")")
  line+="            "
  for i in "${!s_names[@]}"; do line+=$(printf ' %5s' "${us[$i]}"); done
  line+=" |              "
  for i in "${!s_names[@]}"; do line+=$(printf ' %5s' "${sys[$i]}"); done
  line+=" |"
  for i in "${!s_names[@]}"; do
    if [ "${s_workers[$i]}" = threads ]; then
      line+=" ${s_names[$i]}=$(thread_count "${s_pids[$i]}")t"
    else
      line+=" ${s_names[$i]}=${s_workers[$i]}w"
    fi
  done
  echo "$line"
  if [ -n "$failed" ]; then
    echo "  FAILED:$failed"
    bench_failures=$((bench_failures + 1))
  fi
}

# rss_run PID PORT: the resident size of a server under 256 connections for
# rss_seconds, sampled ten times; "flat" when the last sample is within 5 %
# (or 4 MiB) of the one taken after the first tenth of the run, which allows
# for the pools and caches a server fills while warming up.
rss_run() {
  local name=$1 pid=$2 port=$3
  local rss0 samples=() step wrk_pid
  rss0=$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")
  taskset -c "$client_cores" wrk --timeout 10s -t"$client_threads" -c256 -d"${rss_seconds}s" \
    "http://127.0.0.1:$port/f1k.txt" >"$work/rss_wrk.txt" 2>&1 &
  wrk_pid=$!
  step=$(awk -v s="$rss_seconds" 'BEGIN { printf "%.2f", s / 10 }')
  for _ in $(seq 1 10); do
    sleep "$step"
    samples+=("$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo dead)")
  done
  wait "$wrk_pid"
  local bad requests
  bad=$(awk '/Non-2xx/ { print $NF } /Socket errors/ { gsub(",", ""); print $4 + $6 + $8 + $10 }' \
    "$work/rss_wrk.txt" | awk '{ s += $1 } END { print s + 0 }')
  requests=$(awk '/requests in/ { print $1 }' "$work/rss_wrk.txt")
  local verdict
  if ! kill -0 "$pid" 2>/dev/null || [ "${samples[-1]}" = dead ]; then
    verdict="FAILED: server died"
  elif [ "$bad" != 0 ] || [ -z "$requests" ]; then
    verdict="FAILED: $bad non-2xx answers or socket errors"
  else
    verdict=$(awk -v a="${samples[0]}" -v b="${samples[-1]}" 'BEGIN {
      d = b - a; if (d <= 4096 || d <= a * 0.05) print "flat"; else printf "GROWING by %d KiB\n", d }')
  fi
  echo "RSS of $name over ${rss_seconds}s at 256 connections (KiB): start $rss0, samples ${samples[*]}; ${requests:-0} requests: $verdict"
  case "$verdict" in
    flat) ;;
    *) bench_failures=$((bench_failures + 1)) ;;
  esac
}

if [ "$quick" = 1 ]; then
  blocks=("0 1 off" "0 1 on" "0-3 4 off")
else
  blocks=("0 1 off" "0 1 on" "0-3 4 off" "0-3 4 on")
fi
echo "servers pinned per block, wrk on cores $client_cores ($client_threads threads), ${duration}s per measurement after a 1 s warm-up"
echo "ours: $BIN${before_bin:+; before: $before_bin}"
for cfg in "${blocks[@]}"; do
  set -- $cfg
  cpus=$1 workers=$2 log=$3
  if ! start_servers "$cpus" "$workers" "$log"; then
    echo "servers did not start for cores $cpus, log $log: FAILED"
    stop_all
    continue
  fi
  echo
  echo "== $workers core(s) ($cpus), access log $log"
  header
  if [ "$quick" = 1 ]; then
    if [ "$workers" = 1 ] && [ "$log" = off ]; then
      row "f1k.txt 64c" /f1k.txt "$docs/f1k.txt" 64 plain
      row "f64k.txt 64c" /f64k.txt "$docs/f64k.txt" 64 plain
    elif [ "$workers" = 1 ]; then
      row "f1k.txt 64c" /f1k.txt "$docs/f1k.txt" 64 plain
    else
      row "f1k.txt 256c" /f1k.txt "$docs/f1k.txt" 256 plain
    fi
  else
    for f in f1k.txt f64k.txt f1m.bin; do
      for c in 64 256; do
        row "$f ${c}c" "/$f" "$docs/$f" "$c" plain
      done
    done
  fi
  if [ "$workers" = 1 ] && [ "$log" = off ]; then
    row "https f1k.txt 64c" /f1k.txt "$docs/f1k.txt" 64 tls
    row "gzip-1 t64k.txt 64c" /gz/t64k.txt "$docs/gz/t64k.txt" 64 plain -H "Accept-Encoding: gzip"
    # The coding must really be applied by every server.
    for i in "${!s_names[@]}"; do
      if ! curl -s -D - -o /dev/null -H 'Accept-Encoding: gzip' \
        "http://127.0.0.1:${s_ports[$i]}/gz/t64k.txt" | grep -qi '^content-encoding: *gzip'; then
        echo "  FAILED: ${s_names[$i]} does not compress /gz/t64k.txt"
        bench_failures=$((bench_failures + 1))
      fi
    done
    if [ "$rss_seconds" -gt 0 ]; then
      for i in "${!s_names[@]}"; do
        case "${s_names[$i]}" in
          ours | before) rss_run "${s_names[$i]}" "${s_pids[$i]}" "${s_ports[$i]}" ;;
        esac
      done
    fi
  fi
  stop_all
done

echo
if [ "$bench_failures" -gt 0 ]; then
  echo "bench/serving: $bench_failures FAILED measurements" >&2
  exit 1
fi
echo "bench/serving: every measurement answered 200 with the right body"
