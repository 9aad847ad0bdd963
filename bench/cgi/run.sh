#!/usr/bin/env bash
# A "hello" CGI program, once compiled from C and once as a shell script, run
# by this server (Release build) and by lighttpd's mod_cgi on the same files,
# each server pinned to one core, wrk on other cores, keep-alive. Prints
# requests/s and the ratio. An answer other than 200 with the expected body,
# or any non-2xx answer during a run, is a failure: no rate is printed.
# Usage: [ROUNDS=2] bench/cgi/run.sh [SECONDS] [CONNECTIONS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
duration=${1:-5}
connections=${2:-16}
rounds=${ROUNDS:-2}

. "$root/bench/lib.sh"
build_release

cores=$(nproc)
if [ "$cores" -lt 4 ]; then
  echo "bench/cgi: needs at least 4 cores (has $cores)" >&2
  exit 1
fi
client_cores="2-$((cores - 1))"
client_threads=2

work=$(mktemp -d)
trap 'stop_all; rm -rf "$work"' EXIT

docs="$work/Tesk/teskqvel/pub"
mkdir -p "$docs"
cat >"$work/hello.c" <<'C'
#include <stdio.h>
int main(void) {
    fputs("Content-Type: text/plain\r\n\r\nhello\n", stdout);
    return 0;
}
C
cc -O2 -o "$docs/hello.cgi" "$work/hello.c"
printf '#!/bin/sh\nprintf "Content-Type: text/plain\\r\\n\\r\\nhello\\n"\n' >"$docs/hello.sh"
# The children may run as another account (nobody, under root).
chmod -R a+rX "$work"

expect_hello() { # port, file
  for _ in $(seq 1 100); do
    if [ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$1/$2")" = 200 ] &&
      [ "$(curl -s "http://127.0.0.1:$1/$2")" = hello ]; then
      return 0
    fi
    sleep 0.1
  done
  echo "server on port $1 does not answer $2 with 200 hello:" >&2
  curl -si "http://127.0.0.1:$1/$2" | head -12 >&2 || true
  exit 1
}

measure() { # url
  taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d1s "$1" >/dev/null
  local out
  out=$(taskset -c "$client_cores" wrk -t"$client_threads" -c"$connections" -d"${duration}s" "$1")
  if echo "$out" | grep -q -e 'Non-2xx' -e 'Socket errors'; then
    echo "failed answers from $1:" >&2
    echo "$out" >&2
    exit 1
  fi
  echo "$out" | awk '/Requests\/sec/ {print $2}'
}

qport=$(free_port)
lport=$(free_port)
data="$work/Tesk/teskqvel"
printf '[param]\r\nserver_port=%s\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\ntrace=0\r\nfunc_trace=0\r\n' \
  "$qport" >"$data/global.ini"
printf 'Require all granted\nqvel_logging disable\nAddHandler cgi-script .cgi .sh\n' >"$data/.htaccess"
printf 'text/plain txt\n' >"$data/mime.types"
XDG_DATA_HOME="$work" taskset -c 0 "$binary" >/dev/null 2>&1 &
pids+=($!)

cat >"$work/lighttpd.conf" <<CONF
server.modules = ( "mod_cgi" )
server.document-root = "$docs"
server.bind = "127.0.0.1"
server.port = $lport
server.max-worker = 0
server.max-keep-alive-requests = 1000000
server.errorlog = "$work/lighttpd.log"
cgi.assign = ( ".cgi" => "", ".sh" => "/bin/sh" )
mimetype.assign = ( ".txt" => "text/plain" )
CONF
taskset -c 1 lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)

echo "== CGI hello: teskqvel on core 0, lighttpd on core 1, wrk on $client_cores ($client_threads threads, $connections connections)"
for f in hello.cgi hello.sh; do
  expect_hello "$qport" "$f"
  expect_hello "$lport" "$f"
  q=0
  l=0
  for _ in $(seq 1 "$rounds"); do
    q=$(awk -v a="$q" -v b="$(measure "http://127.0.0.1:$qport/$f")" 'BEGIN { print a + b }')
    l=$(awk -v a="$l" -v b="$(measure "http://127.0.0.1:$lport/$f")" 'BEGIN { print a + b }')
  done
  awk -v f="$f" -v q="$q" -v l="$l" -v r="$rounds" 'BEGIN {
    printf "%-10s teskqvel %8.0f  lighttpd %8.0f  req/s   teskqvel/lighttpd %.2f\n", f, q / r, l / r, q / l }'
done
