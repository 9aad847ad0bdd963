"""Times PROPFIND Depth 1 (allprop) of one folder on one server over one
keep-alive connection. Every answer must be a 207 listing the expected number
of resources; anything else prints the failure and exits non-zero, never a
time. Prints: median milliseconds and requests per second."""

import http.client
import re
import statistics
import sys
import time

BODY = b'<?xml version="1.0" encoding="utf-8"?><D:propfind xmlns:D="DAV:"><D:allprop/></D:propfind>'
RESPONSE = re.compile(rb"<(?:[A-Za-z][\w.-]*:)?response[\s>]")


def main():
    port, path, expected, rounds = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    times = []
    for i in range(rounds + 2):
        start = time.perf_counter()
        c.request("PROPFIND", path, body=BODY,
                  headers={"Depth": "1", "Content-Type": "application/xml"})
        r = c.getresponse()
        data = r.read()
        elapsed = time.perf_counter() - start
        if r.status != 207:
            print("FAILED: status %d: %r" % (r.status, data[:300]))
            sys.exit(1)
        n = len(RESPONSE.findall(data))
        if n != expected:
            print("FAILED: %d responses, expected %d" % (n, expected))
            sys.exit(1)
        if i >= 2:  # two warm-up rounds
            times.append(elapsed)
    med = statistics.median(times)
    print("%.1f %.2f %d" % (med * 1000, 1 / med, len(data)))


main()
