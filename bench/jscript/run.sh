#!/usr/bin/env bash
# A "hello" JavaScript page (reads one request variable, writes 1 KiB) run
# in-process by this server (Release build) and by nginx's JavaScript module
# (njs) doing the same, both pinned to the same core and measured in turn, wrk on other cores,
# keep-alive. Prints requests/s and the ratio, the CPU time and context
# switches per request of each server, then the memory each further
# cached script costs this server (RSS growth over 50 distinct pages, each
# loaded once). An answer other than 200 with the expected body, or any
# non-2xx answer during a run, is a failure: no rate is printed.
# Usage: [ROUNDS=2] bench/jscript/run.sh [SECONDS] [CONNECTIONS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
duration=${1:-5}
connections=${2:-16}
rounds=${ROUNDS:-2}

. "$root/bench/lib.sh"
build_release

cores=$(nproc)
if [ "$cores" -lt 4 ]; then
  echo "bench/jscript: needs at least 4 cores (has $cores)" >&2
  exit 1
fi
client_cores="2-$((cores - 1))"
client_threads=2

work=$(mktemp -d)
trap 'stop_all; rm -rf "$work"' EXIT

data="$work/Tesk/teskqvel"
docs="$data/pub"
mkdir -p "$docs" "$work/njs" "$work/nginx"
# The body: "hello world\n" and padding to 1024 bytes.
pad=$(head -c $((1024 - 12)) /dev/zero | tr '\0' 'x')
printf 'hello world\n%s' "$pad" >"$work/expected"

cat >"$docs/hello.jss" <<JS
__declare_const("pad");
var pad = "$pad";
function main() {
    webserver.write_response("hello " + webserver.environment_var("QUERY_STRING") + "\n" + pad);
}
JS
for i in $(seq 1 50); do cp "$docs/hello.jss" "$docs/extra$i.jss"; done

cat >"$work/njs/hello.js" <<JS
var pad = "$pad";
function hello(r) {
    r.headersOut["Content-Type"] = "text/plain; charset=utf-8";
    r.return(200, "hello " + r.variables.args + "\n" + pad);
}
export default { hello };
JS

qport=$(free_port)
nport=$(free_port)
printf '[param]\r\nserver_port=%s\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\ntrace=0\r\nfunc_trace=0\r\n' \
  "$qport" >"$data/global.ini"
printf 'Require all granted\nqvel_logging disable\nAddHandler java-script .jss\n' >"$data/.htaccess"
printf 'text/plain txt\n' >"$data/mime.types"
# Both servers on core 0, measured in turn: this VM slows a single core now
# and then for half a minute, which must not fall on one side only.
XDG_DATA_HOME="$work" taskset -c 0 "$binary" >/dev/null 2>&1 &
qpid=$!
pids+=($qpid)

cat >"$work/nginx/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ngx_http_js_module.so;
worker_processes 1;
daemon off;
master_process off;
error_log $work/nginx/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_requests 1000000;
    client_body_temp_path $work/nginx;
    proxy_temp_path $work/nginx;
    fastcgi_temp_path $work/nginx;
    uwsgi_temp_path $work/nginx;
    scgi_temp_path $work/nginx;
    js_path "$work/njs/";
    js_import hello from hello.js;
    server {
        listen 127.0.0.1:$nport;
        location = /hello.jss { js_content hello.hello; }
    }
}
CONF
taskset -c 0 nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" 2>"$work/nginx/stderr" &
pids+=($!)

wait_ready() { # port
  for _ in $(seq 1 100); do
    check_answer "http://127.0.0.1:$1/hello.jss?world" "$work/expected" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "server on port $1 does not answer hello.jss with 200 and the 1 KiB body:" >&2
  curl -si "http://127.0.0.1:$1/hello.jss?world" | head -20 >&2 || true
  cat "$work/nginx/stderr" "$work/nginx/error.log" 2>/dev/null | tail -5 >&2 || true
  exit 1
}
wait_ready "$qport"
wait_ready "$nport"

# Voluntary and involuntary context switches of all threads of a process;
# counted over the warm-up second and the run, both at about the same rate.
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { s += $2 } END { print s + 0 }'; }

echo "== JavaScript hello (1 KiB): teskqvel and nginx+njs in turn on core 0, wrk on $client_cores ($client_threads threads, $connections connections)"
q=0 n=0 qus=0 nus=0 qcs=0 ncs=0
for _ in $(seq 1 "$rounds"); do
  c0=$(switches "$qpid")
  measure teskqvel "http://127.0.0.1:$qport/hello.jss?world" "$work/expected" "$qpid" \
    "$client_cores" "$client_threads" "$connections" "$duration"
  if [ "$m_ok" != 1 ]; then echo "FAILED: $m_error" >&2; exit 1; fi
  c1=$(switches "$qpid")
  q=$(awk -v a="$q" -v b="$m_rate" 'BEGIN { print a + b }')
  qus=$(awk -v a="$qus" -v b="$m_us" 'BEGIN { print a + b }')
  qcs=$(awk -v a="$qcs" -v c=$((c1 - c0)) -v r="$m_rate" -v s="$((duration + 1))" 'BEGIN { print a + c / (r * s) }')
  c0=$(switches "${pids[1]}")
  measure nginx "http://127.0.0.1:$nport/hello.jss?world" "$work/expected" "${pids[1]}" \
    "$client_cores" "$client_threads" "$connections" "$duration"
  if [ "$m_ok" != 1 ]; then echo "FAILED: $m_error" >&2; exit 1; fi
  c1=$(switches "${pids[1]}")
  n=$(awk -v a="$n" -v b="$m_rate" 'BEGIN { print a + b }')
  nus=$(awk -v a="$nus" -v b="$m_us" 'BEGIN { print a + b }')
  ncs=$(awk -v a="$ncs" -v c=$((c1 - c0)) -v r="$m_rate" -v s="$((duration + 1))" 'BEGIN { print a + c / (r * s) }')
done
awk -v q="$q" -v n="$n" -v r="$rounds" 'BEGIN {
  printf "hello.jss  teskqvel %8.0f  nginx+njs %8.0f  req/s   teskqvel/nginx %.2f\n", q / r, n / r, q / n }'
awk -v q="$qus" -v n="$nus" -v qc="$qcs" -v nc="$ncs" -v r="$rounds" 'BEGIN {
  printf "per request: teskqvel %.1f us CPU, %.1f context switches; nginx+njs %.1f us CPU, %.1f context switches\n", q / r, qc / r, n / r, nc / r }'

rss() { awk '/VmRSS/ { print $2 }' "/proc/$1/status"; }
before=$(rss "$qpid")
for i in $(seq 1 50); do
  check_answer "http://127.0.0.1:$qport/extra$i.jss?world" "$work/expected" || {
    echo "FAILED: extra$i.jss" >&2
    exit 1
  }
done
after=$(rss "$qpid")
awk -v b="$before" -v a="$after" 'BEGIN {
  printf "memory per cached script: %.0f KiB (RSS %d -> %d KiB over 50 scripts)\n", (a - b) / 50, b, a }'
