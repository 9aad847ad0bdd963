"""Small GETs while a local user exchanges two folders of the tree in a loop:
the median and the largest time of a request, quiet and under the flood.
Usage: rename_flood.py TESKQVEL_BINARY [SECONDS] (run by run.sh)."""

import http.client
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../tests/e2e"))
from tq_site import HOST, Site  # noqa: E402



FLOOD = """
import ctypes, sys, time
libc = ctypes.CDLL(None)
a, b, end = sys.argv[1].encode(), sys.argv[2].encode(), time.monotonic() + float(sys.argv[3])
n = 0
while n % 1000 or time.monotonic() < end:
    libc.renameat2(-100, a, -100, b, 2)  # RENAME_EXCHANGE
    n += 1
print(n)
"""


def flood(a, b, seconds):
    """The exchanges run in a process of their own, bounded in time."""
    return subprocess.Popen([sys.executable, "-c", FLOOD, a, b, str(seconds)],
                            stdout=subprocess.PIPE, text=True)


def measure(port, seconds):
    times = []
    c = http.client.HTTPConnection(HOST, port, timeout=30)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t = time.perf_counter()
        c.request("GET", "/small.txt")
        r = c.getresponse()
        r.read()
        times.append(time.perf_counter() - t)
        assert r.status == 200, r.status
    c.close()
    return times


def show(label, times):
    print("%-14s %7d GETs  median %8.3f ms  max %9.3f ms" % (
        label, len(times), statistics.median(times) * 1000, max(times) * 1000))


def main():
    binary = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 5
    root = tempfile.mkdtemp(prefix="tq_flood_")
    s = Site(root, binary=binary)
    try:
        s.put("small.txt", "small file\n")
        for d in ("a", "b"):
            for i in range(20):
                s.put("%s/f%d.txt" % (d, i), "x")
        s.start()
        show("quiet", measure(s.port, seconds))
        p = flood(os.path.join(s.pub, "a"), os.path.join(s.pub, "b"), seconds + 1)
        try:
            time.sleep(0.5)
            times = measure(s.port, seconds)
        finally:
            out, _ = p.communicate(timeout=60)
        show("rename flood", times)
        print("exchanges: %s" % out.strip())
    finally:
        s.stop()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
