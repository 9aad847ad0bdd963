"""Sends ROUNDS PUTs of a SIZE-byte body to one path over one keep-alive
connection and prints the median milliseconds per PUT and the rate. Any answer
other than 200, 201 or 204 is printed as a failure and ends with status 1.
Usage: put_client.py PORT PATH SIZE ROUNDS"""

import http.client
import os
import statistics
import sys
import time

port, path, size, rounds = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
body = os.urandom(size)
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
times = []
for i in range(rounds + 2):
    start = time.perf_counter()
    conn.request("PUT", path, body=body, headers={"Content-Type": "application/octet-stream"})
    r = conn.getresponse()
    r.read()
    elapsed = time.perf_counter() - start
    if r.status not in (200, 201, 204):
        print("FAILED: PUT %s answered %d %s" % (path, r.status, r.reason))
        sys.exit(1)
    if i >= 2:  # the first two create the file and warm up
        times.append(elapsed)
conn.close()
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
conn.request("GET", path)
r = conn.getresponse()
if r.status != 200 or r.read() != body:
    print("FAILED: the stored file is not the last body sent (GET %d)" % r.status)
    sys.exit(1)
median = statistics.median(times)
print("%.2f %.1f" % (median * 1000, 1 / median))
