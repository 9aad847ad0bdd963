#!/usr/bin/env bash
# A long mixed load on this server (Release build): static files, a range,
# PUT, GET, DELETE and PROPFIND under a Basic login, a JavaScript page, a page
# with includes, a CGI program and, on the proxy port, a file of an upstream
# lighttpd, at 128 connections in all (wrk with bench/soak/mix.lua, which
# checks every answer) for MINUTES minutes. Prints, per minute, the rate, the
# server's resident size (VmRSS), threads and descriptors; judged "flat" when
# the last minute's resident size is within 5 % (or 4 MiB) of the first
# minute's (which allows for the pools and caches a server fills while
# warming up) and the last minute's rate is at least 80 % of the first's.
# The server runs on cores 0-3, the upstream on core 4, wrk on the rest. A
# minute with a wrong answer, a socket error or a dead server prints FAILED
# instead of a rate and the script exits non-zero.
# OFF=list leaves parts of the mix out (static, range, put, get, delete,
# propfind, js, ssi, cgi, proxy), to tell which part a growth comes from.
# STEP=seconds shortens the "minute" for a quick try.
# Usage: [BIN=path] [MINUTES=10] [STEP=60] [OFF=part,...] [CONNECTIONS=128] bench/soak/run.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
minutes=${MINUTES:-10}
step=${STEP:-60}
connections=${CONNECTIONS:-128}
proxy_connections=$((connections / 8))
case ",${OFF:-}," in *,proxy,*) proxy_connections=0 ;; esac
mix_connections=$((connections - proxy_connections))

. "$root/bench/lib.sh"
if [ -z "${BIN:-}" ]; then
  build_release || exit 1
else
  binary=$BIN
fi

cores=$(nproc)
if [ "$cores" -lt 7 ]; then
  echo "bench/soak: needs at least 7 cores (has $cores)" >&2
  exit 1
fi
server_cores=0-3
upstream_core=4
client_cores="5-$((cores - 1))"
client_threads=$((cores - 5 < 3 ? cores - 5 : 3))
mix_threads=$((client_threads > 1 ? client_threads - 1 : 1))

work=$(mktemp -d)
chmod 755 "$work"
trap 'stop_all; rm -rf "$work"' EXIT

data="$work/Tesk/teskqvel"
docs="$data/pub"
mkdir -p "$docs/dav/col" "$docs/expected" "$work/upstream"
head -c 1024 /dev/zero | tr '\0' 'b' >"$docs/f1k.txt"
cp "$docs/f1k.txt" "$work/upstream/f1k.txt"
seq 1 20000 | head -c 65536 >"$docs/f64k.txt"
echo "fixed file under the login" >"$docs/dav/fixed.txt"
for i in $(seq 1 20); do echo "member $i" >"$docs/dav/col/m$i.txt"; done
user=soak password=soak-password
mkdir -p "$docs/users/$user"
printf 'Require all denied\n' >"$docs/users/.htaccess"
printf '"password","%s"\r\n' "$password" >"$docs/users/$user/profile.txt"
printf 'AuthType Basic\nAuthName soak\nAuthUserFile /users\nRequire valid-user\n' >"$docs/dav/.htaccess"
token=$(printf '%s:%s' "$user" "$password" | base64 -w0)

cat >"$docs/hello.jss" <<'JS'
function main() {
    webserver.write_response("hello " + webserver.environment_var("QUERY_STRING") + "\n");
}
JS
printf 'hello soak\n' >"$docs/expected/hello"
printf 'A<!--#include virtual="/f1k.txt" -->Z q=<!--#echo var="QUERY_STRING" -->.\n' >"$docs/page.shtml"
printf 'A%sZ q=.\n' "$(cat "$docs/f1k.txt")" >"$docs/expected/page"
cat >"$work/hello.c" <<'C'
#include <stdio.h>
int main(void) {
    fputs("Content-Type: text/plain\r\n\r\nhello from cgi\n", stdout);
    return 0;
}
C
cc -O2 -o "$docs/hello.cgi" "$work/hello.c" || exit 1
printf 'hello from cgi\n' >"$docs/expected/cgi"
printf 'Deleted.' >"$docs/expected/deleted"
# The CGI children may run as another account (nobody, under root), and the
# DAV folder is written by the server.
chmod -R a+rX "$work"

port=$(free_port) proxy_port=$(free_port) uport=$(free_port)
printf '[param]\r\nserver_port=%s\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\nproxy_port=%s\r\ntrace=0\r\nfunc_trace=0\r\nmax_connections=5000\r\n' \
  "$port" "$proxy_port" >"$data/global.ini"
printf 'Require all granted\nqvel_logging disable\nAddHandler java-script .jss\nAddHandler server-parsed .shtml\nAddHandler cgi-script .cgi\n' \
  >"$data/.htaccess"
printf 'text/plain txt\ntext/html shtml\napplication/octet-stream bin\n' >"$data/mime.types"

cat >"$work/lighttpd.conf" <<CONF
server.document-root = "$work/upstream"
server.bind = "127.0.0.1"
server.port = $uport
server.max-keep-alive-requests = 1000000
server.errorlog = "$work/lighttpd.log"
mimetype.assign = ( ".txt" => "text/plain" )
CONF
# In a session of its own: lighttpd ends its workers by signalling its whole
# process group, which would otherwise hold this script.
setsid taskset -c "$upstream_core" lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)
XDG_DATA_HOME="$work" taskset -c "$server_cores" "$binary" >"$work/server.out" 2>&1 &
pid=$!
pids+=($pid)

base="http://127.0.0.1:$port"
auth=(-H "Authorization: Basic $token")
# The answers the load relies on, once each with curl before it starts.
sanity() {
  check_answer "$base/f1k.txt" "$docs/f1k.txt" &&
    check_answer "$base/dav/fixed.txt" "$docs/dav/fixed.txt" "${auth[@]}" &&
    check_answer "$base/hello.jss?soak" "$docs/expected/hello" &&
    check_answer "$base/page.shtml" "$docs/expected/page" &&
    check_answer "$base/hello.cgi" "$docs/expected/cgi" &&
    check_answer "http://127.0.0.1:$proxy_port/f1k.txt" "$docs/f1k.txt" -H "Host: 127.0.0.1:$uport" &&
    [ "$(curl -s -o /dev/null -w '%{http_code}' "$base/dav/fixed.txt")" = 401 ] &&
    [ "$(curl -s -o /dev/null -w '%{http_code}' -X PROPFIND -H 'Depth: 1' "${auth[@]}" "$base/dav/col/")" = 207 ]
}
up=0
for _ in $(seq 1 100); do
  if sanity 2>/dev/null; then up=1; break; fi
  sleep 0.1
done
if [ $up = 0 ]; then
  echo "bench/soak: FAILED: the server does not answer the mix as expected" >&2
  sanity
  tail -5 "$work/server.out" >&2
  exit 1
fi

rss() { awk '/VmRSS/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo dead; }
fds() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }

echo "bench/soak: $binary on cores $server_cores, upstream lighttpd on $upstream_core, wrk on $client_cores"
echo "  $mix_connections connections of the mix ($mix_threads threads), $proxy_connections through the proxy, $minutes minute(s)"
echo "  start: RSS $(rss "$pid") KiB, $(thread_count "$pid") threads, $(fds "$pid") descriptors"
printf '%6s %10s %10s %10s %8s %6s\n' minute "req/s" "proxy/s" "RSS KiB" threads fds
rss_samples=() rates=()
failed=0
for m in $(seq 1 "$minutes"); do
  loads=(mix) proxy_wrk=""
  echo "soak: requests 0 bad 0 errors 0 first -" >"$work/proxy.txt"
  if [ "$proxy_connections" -gt 0 ]; then
    loads+=(proxy)
    taskset -c "$client_cores" wrk --timeout 10s -t1 -c"$proxy_connections" -d"${step}s" \
      -H "Host: 127.0.0.1:$uport" -s "$root/bench/soak/mix.lua" \
      "http://127.0.0.1:$proxy_port/f1k.txt" -- proxy "$docs" "$token" "$m" >"$work/proxy.txt" 2>&1 &
    proxy_wrk=$!
  fi
  taskset -c "$client_cores" wrk --timeout 10s -t"$mix_threads" -c"$mix_connections" -d"${step}s" \
    -s "$root/bench/soak/mix.lua" "$base/" -- mix "$docs" "$token" "$m" "${OFF:-}" >"$work/mix.txt" 2>&1
  [ -n "$proxy_wrk" ] && wait "$proxy_wrk"
  r=$(rss "$pid")
  problem=""
  if ! kill -0 "$pid" 2>/dev/null || [ "$r" = dead ]; then
    problem="server died"
  else
    for f in "${loads[@]}"; do
      line=$(grep "^soak:" "$work/$f.txt")
      read -r _ _ req _ bad _ err _ first <<<"$line"
      if [ -z "$line" ] || [ "${req:-0}" = 0 ]; then
        problem+=" $f: no requests answered ($(tail -1 "$work/$f.txt"))"
      elif [ "$bad" != 0 ] || [ "$err" != 0 ]; then
        problem+=" $f: $bad wrong answers (first: $first), $err $(grep "^errors:" "$work/$f.txt")"
      fi
    done
  fi
  if [ -n "$problem" ]; then
    printf '%6s %10s %10s %10s %8s %6s  %s\n' "$m" FAILED - "$r" "$(thread_count "$pid")" "$(fds "$pid")" "$problem"
    failed=1
    break
  fi
  mreq=$(awk '/^soak:/ { print $3 }' "$work/mix.txt")
  preq=$(awk '/^soak:/ { print $3 }' "$work/proxy.txt")
  rate=$(((mreq + preq) / step))
  printf '%6s %10s %10s %10s %8s %6s\n' "$m" "$rate" "$((preq / step))" "$r" "$(thread_count "$pid")" "$(fds "$pid")"
  rss_samples+=("$r") rates+=("$rate")
  # What the minute before put and did not delete, so each minute starts
  # alike (this minute's last requests may still be running).
  find "$docs/dav" -maxdepth 1 -name "t$((m - 1))_*.txt" -delete 2>/dev/null
done

if [ $failed = 1 ]; then
  echo "bench/soak: FAILED" >&2
  exit 1
fi
verdict=$(awk -v a="${rss_samples[0]}" -v b="${rss_samples[-1]}" -v ra="${rates[0]}" -v rb="${rates[-1]}" 'BEGIN {
  d = b - a; v = ""
  if (d > 4096 && d > a * 0.05) v = sprintf("GROWING by %d KiB", d)
  if (rb < ra * 0.8) v = v (v == "" ? "" : ", ") sprintf("rate FALLING %d -> %d req/s", ra, rb)
  print v == "" ? "flat" : v }')
echo "bench/soak: RSS ${rss_samples[0]} -> ${rss_samples[-1]} KiB, rate ${rates[0]} -> ${rates[-1]} req/s over $minutes minute(s): $verdict"
[ "$verdict" = flat ] || exit 1
