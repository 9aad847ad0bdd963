#!/usr/bin/env bash
# Media sharing: the first scan of a tree of 100,000 media files and Browse
# of a folder of 10,000 items, this server (Release build) against minidlna
# on the same tree, both pinned to the same core, the client on another.
# Prints the times, the ratios and the memory per 100,000 items. Runs in a
# network namespace of its own (root needed): the UPnP ports are fixed.
# Usage: [FILES=100000] [ROUNDS=9] bench/media/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
files=${FILES:-100000}
rounds=${ROUNDS:-9}

. "$root/bench/lib.sh"
build_release

cores=$(nproc)
server_core=$((cores > 2 ? 2 : 0))
client_core=$((cores > 3 ? 3 : 0))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# 10,000 files in "big", the rest in folders of 1,000. Every file is a hard
# link to one short MP3 (three silent frames): minidlna skips files it cannot
# read as MP3, and links keep the tree small on disk.
/usr/bin/python3 - "$work" "$files" <<'PY'
import os, sys
work, n = sys.argv[1], int(sys.argv[2])
media = os.path.join(work, "tree", "media")
os.makedirs(os.path.join(work, "empty", "media"))
made = [0]
def link(dst):
    # A file system allows some 65,000 links to one file: a new source
    # every 50,000.
    src = os.path.join(work, "frames%d.mp3" % (made[0] // 50000))
    if made[0] % 50000 == 0:
        with open(src, "wb") as f:
            f.write((bytes([0xFF, 0xFB, 0x90, 0x64]) + bytes(413)) * 3)
    os.link(src, dst)
    made[0] += 1
big = min(10000, n)
os.makedirs(os.path.join(media, "big"))
for i in range(big):
    link(os.path.join(media, "big", "f%05d.mp3" % i))
for i in range(n - big):
    d = os.path.join(media, "d%03d" % (i // 1000))
    if i % 1000 == 0:
        os.makedirs(d)
    link(os.path.join(d, "f%05d.mp3" % i))
open(os.path.join(work, "count"), "w").write(str(n))
PY
unshare -n /usr/bin/python3 "$root/bench/media/bench.py" "$binary" "$work" "$server_core" \
  "$client_core" "$rounds"
