#!/usr/bin/env bash
# The cost of a login: the same 1 KiB file served unprotected, in a folder
# protected by Basic and in one protected by Digest (each Digest request with
# a fresh nonce count, computed by the wrk script), by this server (Release
# build, trace and access log off) pinned to one core; wrk runs on other
# cores. Prints requests/s and the ratios to the unprotected rate; any answer
# other than 2xx, or a socket error, is printed as a failure instead of a rate.
# Usage: [ROUNDS=3] bench/auth/run.sh [SECONDS] [CONNECTIONS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
here="$root/bench/auth"
duration=${1:-5}
connections=${2:-32}
rounds=${ROUNDS:-3}

. "$root/bench/lib.sh"
build_release

cores=$(nproc)
if [ "$cores" -lt 4 ]; then
  echo "bench/auth: needs at least 4 cores (has $cores)" >&2
  exit 1
fi
client_cores="2-$((cores - 1))"
threads=${THREADS_WRK:-4}

work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

port=$(free_port)
data="$work/Tesk/teskqvel"
docs="$data/pub"
mkdir -p "$docs/open" "$docs/basic" "$docs/digest" "$docs/secret"
head -c 1024 /dev/zero | tr '\0' 'b' >"$docs/open/f1k.txt"
cp "$docs/open/f1k.txt" "$docs/basic/f1k.txt"
cp "$docs/open/f1k.txt" "$docs/digest/f1k.txt"
printf 'Require all denied\n' >"$docs/secret/.htaccess"
printf '"alice","secret"\r\n' >"$docs/secret/users.txt"
for kind in Basic Digest; do
  dir=$(echo "$kind" | tr 'A-Z' 'a-z')
  printf 'AuthType %s\nAuthName bench\nAuthUserFile /secret/users.txt\nRequire valid-user\n' \
    "$kind" >"$docs/$dir/.htaccess"
done
printf '[param]\r\nserver_port=%s\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\ntrace=0\r\nfunc_trace=0\r\n' \
  "$port" >"$data/global.ini"
printf 'Require all granted\nqvel_logging disable\n' >"$data/.htaccess"
printf 'text/plain txt\n' >"$data/mime.types"
XDG_DATA_HOME="$work" taskset -c 0 "$binary" >/dev/null 2>&1 &
pid=$!

base="http://127.0.0.1:$port"
for _ in $(seq 1 200); do
  [ "$(curl -s -o /dev/null -w '%{http_code}' "$base/open/f1k.txt")" = 200 ] && break
  sleep 0.1
done
for check in "--basic" "--digest"; do
  dir=${check#--}
  code=$(curl -s -o /dev/null -w '%{http_code}' "$check" -u alice:secret "$base/$dir/f1k.txt")
  if [ "$code" != 200 ]; then
    echo "bench/auth: $dir login answered $code" >&2
    exit 1
  fi
done

# Prints requests/s, or FAILED with the reason.
measure() { # url, extra wrk arguments...
  local url=$1
  shift
  local out
  out=$(taskset -c "$client_cores" wrk -t"$threads" -c"$connections" -d"${duration}s" "$url" "$@" 2>&1) || true
  if grep -qE 'Non-2xx|Socket errors' <<<"$out" || ! grep -q 'Requests/sec' <<<"$out"; then
    echo "FAILED: $(grep -E 'Non-2xx|Socket errors|requests in|error' <<<"$out" | head -5 | tr '\n' ' ')"
    return
  fi
  awk '/Requests\/sec/ {print $2}' <<<"$out"
}

basic_header="Authorization: Basic $(printf 'alice:secret' | base64)"
digest_run() { # folder: "digest", or "open" to measure the same client against the open file
  # Enough fresh nonces for the run: 32 requests each.
  local info
  info=$(/usr/bin/python3 "$here/nonces.py" 127.0.0.1 "$port" /digest/f1k.txt 20000 "$work/nonces")
  local realm=${info% *} opaque=${info#* }
  NONCES="$work/nonces" THREADS=$threads measure "$base/$1/f1k.txt" -s "$here/digest.lua" -- \
    alice secret "$realm" "$opaque" "/$1/f1k.txt"
}

echo "== 1 KiB GET, server on core 0, wrk on $client_cores ($threads threads, $connections connections, ${duration}s, $rounds rounds)"
# Warm-up.
taskset -c "$client_cores" wrk -t"$threads" -c"$connections" -d1s "$base/open/f1k.txt" >/dev/null
# "open+dc" is the open file fetched by the Digest client itself (the server
# ignores its Authorization header there): it shows what the client's own
# per-request work costs, so digest/open+dc is the server's share of a login.
for round in $(seq 1 "$rounds"); do
  open=$(measure "$base/open/f1k.txt")
  basic=$(measure "$base/basic/f1k.txt" -H "$basic_header")
  digest=$(digest_run digest)
  dclient=$(digest_run open)
  awk -v r="$round" -v o="$open" -v b="$basic" -v d="$digest" -v c="$dclient" 'BEGIN {
    if (o !~ /^[0-9.]+$/ || b !~ /^[0-9.]+$/ || d !~ /^[0-9.]+$/ || c !~ /^[0-9.]+$/) {
      printf "round %d  open: %s\n  basic: %s\n  digest: %s\n  open+dc: %s\n", r, o, b, d, c
      exit 0
    }
    printf "round %d  open %7.0f  basic %7.0f  digest %7.0f  open+dc %7.0f req/s   basic/open %.3f  digest/open %.3f  digest/open+dc %.3f\n",
           r, o, b, d, c, b / o, d / o, d / c }'
done
