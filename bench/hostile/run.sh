#!/usr/bin/env bash
# Hostile bodies, one request each: the CPU seconds and the peak memory each
# costs this server (Release build), beside lighttpd mod_webdav (the PROPFIND
# bodies) and Radicale (the calendar and address-book bodies) where they take
# them, and the largest body each bound still lets through; then two hostile
# upstream heads passed through this server's proxy. Runs in a network
# namespace of its own (the media server's fixed UPnP ports). Every answer's
# status is printed with its figures.
# Usage: [BINARY=path/to/teskqvel] bench/hostile/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

. "$root/bench/lib.sh"
if [ -z "${BINARY:-}" ]; then
  build_release
  BINARY=$binary
else
  "$root/scripts/install-deps" bench
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unshare -n /bin/bash -c 'ip link set lo up && ip link set lo multicast on &&
  ip route add 224.0.0.0/4 dev lo &&
  exec /usr/bin/python3 "$0" "$1" "$2"' "$root/bench/hostile/hostile_bench.py" "$work" "$BINARY"
