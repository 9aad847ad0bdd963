#!/usr/bin/env bash
# A calendar of 10,000 events (a tenth recurring, a seventh in a time zone)
# served by this server (Release build, trace and access log off), Radicale
# and Xandikos on the same data, each pinned to the same single core; the
# client runs on another core. Times the one-month calendar-query with and
# without expansion, PROPFIND Depth 1, a multiget of 500 hrefs and one PUT
# into the full calendar; every answer is checked, a failure is printed in
# place of a time. OPS=put (words of the row labels) times only those rows;
# SERVERS=teskqvel,xandikos runs only those servers. EVENTS may list several
# sizes: EVENTS=1000,10000,50000 OPS=put shows PUT against the calendar's
# size, each size on fresh calendars. A request without an answer within
# TIMEOUT seconds (60) prints "timeout" for its row, and that server is
# started again for the next row.
# Usage: [EVENTS=10000] [ROUNDS=10] [OPS=...] [TIMEOUT=60] bench/caldav/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
events=${EVENTS:-10000}
rounds=${ROUNDS:-10}

. "$root/bench/lib.sh"
build_release

cores=$(nproc)
server_core=$((cores > 2 ? 2 : 0))
client_core=$((cores > 3 ? 3 : 0))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
taskset -c "$client_core" /usr/bin/python3 "$root/bench/caldav/caldav_bench.py" \
  "$work" "$binary" "$server_core" "$rounds" "$events"
