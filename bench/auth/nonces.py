"""Fetches N Digest challenges from the server on one keep-alive connection
and writes their nonces, one a line; prints the realm and opaque value."""
import http.client
import re
import sys

host, port, path, count, out = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5]
conn = http.client.HTTPConnection(host, port, timeout=20)
realm = opaque = None
with open(out, "w") as f:
    for _ in range(count):
        conn.request("GET", path)
        r = conn.getresponse()
        r.read()
        if r.status != 401:
            sys.exit("expected 401, got %d" % r.status)
        params = dict(re.findall(r'(\w+)="([^"]*)"', r.getheader("WWW-Authenticate")))
        realm, opaque = params["realm"], params["opaque"]
        f.write(params["nonce"] + "\n")
print(realm, opaque)
