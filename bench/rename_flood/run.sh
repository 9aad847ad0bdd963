#!/usr/bin/env bash
# Small GETs while a local user exchanges two folders of the tree in a loop
# (renameat2 RENAME_EXCHANGE): median and largest request time, quiet and
# under the flood, on the Release build.
# Usage: [BINARY=path/to/teskqvel] [SECONDS=5] bench/rename_flood/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/lib.sh"
if [ -z "${BINARY:-}" ]; then
  build_release
  BINARY=$binary
fi
/usr/bin/python3 "$root/bench/rename_flood/rename_flood.py" "$BINARY" "${SECONDS_EACH:-5}"
