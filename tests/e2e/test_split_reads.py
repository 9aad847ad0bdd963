"""Every road answers the same when its input arrives in pieces: each exchange
is sent once straight and once through a relay that cuts both directions into
pieces of a few bytes, and the two answers must be equal once the fields that
change from call to call are masked."""

import http.server
import os
import random
import re
import socket
import threading
import time

import pytest

from split_relay import SplitRelay
from tq_site import HOST, Site, free_port

SEED = int(os.environ.get("TQ_SPLIT_SEED", random.SystemRandom().randrange(1 << 30)))
print("split-read seed: TQ_SPLIT_SEED=%d" % SEED)

VARYING = re.compile(rb"(?im)^(date|expires|last-modified|keep-alive|set-cookie|"
                     rb"x-request-id|age):[^\r\n]*")
# Disk use and access times move between two calls, whoever makes them.
MOVING = re.compile(rb"(?<=quota-used-bytes>)\d+|(?<=quota-available-bytes>)\d+|"
                        rb"(?<=Win32LastAccessTime>)[^<]+")


def mask(data):
    return MOVING.sub(b"*", VARYING.sub(b"\\1: *", data))


def exchange(port, data, timeout=20):
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(data)
        got = b""
        while len(got) < 4 * 1024 * 1024:
            piece = s.recv(65536)
            if not piece:
                break
            got += piece
        return got


def req(method, path, headers=(), body=b"", close=True, host=HOST):
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: " + host]
    lines += ["%s: %s" % h for h in headers]
    if body and not any(k.lower() in ("content-length", "transfer-encoding") for k, _ in headers):
        lines.append("Content-Length: %d" % len(body))
    if close:
        lines.append("Connection: close")
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


BIG = bytes(random.Random(7).randrange(256) for _ in range(20000))
PROPFIND = (b'<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:prop><D:getcontentlength/>'
            b'<D:resourcetype/></D:prop></D:propfind>')
LOCK = (b'<?xml version="1.0"?><D:lockinfo xmlns:D="DAV:"><D:lockscope><D:exclusive/>'
        b'</D:lockscope><D:locktype><D:write/></D:locktype><D:owner>me</D:owner></D:lockinfo>')
REPORT = (b'<?xml version="1.0"?><D:expand-property xmlns:D="DAV:"><D:property name="displayname"/>'
          b'</D:expand-property>')
CHUNKED = b"5\r\nhello\r\n3;x=y\r\n, w\r\n4\r\norld\r\n0\r\n\r\n"

CASES = [
    ("get", req("GET", "/big.bin")),
    ("head", req("HEAD", "/big.bin")),
    ("range", req("GET", "/big.bin", [("Range", "bytes=3-9,100-200,-17")])),
    ("if-none-match", req("GET", "/index.html", [("If-None-Match", '"x", *')])),
    ("if-modified-since", req("GET", "/index.html",
                              [("If-Modified-Since", "Sun, 06 Nov 2033 08:49:37 GMT")])),
    ("missing", req("GET", "/nothing/here%20x.html")),
    ("pipelined", req("GET", "/index.html", close=False) + req("HEAD", "/big.bin", close=False)
     + req("GET", "/big.bin", [("Range", "bytes=0-99")], close=False) + req("GET", "/index.html")),
    ("chunked put", req("PUT", "/up/chunked.txt", [("Transfer-Encoding", "chunked")], CHUNKED)
     + b""),
    ("put", req("PUT", "/up/put.bin", body=BIG)),
    ("get put", req("GET", "/up/put.bin")),
    ("propfind", req("PROPFIND", "/dav/", [("Depth", "1"), ("Content-Type", "text/xml")],
                     PROPFIND)),
    ("report", req("REPORT", "/dav/keep.txt", [("Content-Type", "text/xml")], REPORT)),
    ("lock", req("LOCK", "/dav/locked.txt", [("Content-Type", "text/xml"), ("Timeout", "Second-60")],
                 LOCK)),
    ("post js", req("POST", "/post.jss", [("Content-Type", "application/x-www-form-urlencoded")],
                    b"a=1&b=" + b"x" * 3000 + b"&c=%20end")),
    ("post cgi", req("POST", "/echo.cgi", [("Content-Type", "text/plain")], BIG[:5000])),
]

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler cgi-script .cgi
AddHandler java-script .jss
"""

ECHO_CGI = """#!/usr/bin/python3
import hashlib, os, sys
body = sys.stdin.buffer.read(int(os.environ.get("CONTENT_LENGTH", "0")))
sys.stdout.write("Content-Type: text/plain\\r\\n\\r\\n%d %s\\n" % (len(body), hashlib.sha256(body).hexdigest()))
"""

POST_PAGE = """
function main() {
    webserver.write_response("[" + webserver.environment_var("CONTENT_LENGTH") + "]" +
                             webserver.request_params().request_method);
}
"""


@pytest.fixture(scope="module")
def site():
    import tempfile
    root = tempfile.mkdtemp(prefix="tq_split_", dir="/tmp")
    os.chmod(root, 0o755)
    s = Site(root, directives=DIRECTIVES)
    s.put("index.html", "<p>home</p>")
    s.put("big.bin", BIG)
    os.chmod(s.put("echo.cgi", ECHO_CGI), 0o755)
    s.put("post.jss", POST_PAGE)
    s.put("dav/locked.txt", "lock me")
    s.put("dav/keep.txt", "keep")
    s.put("up/keep.txt", "keep")
    os.chmod(s.pub, 0o777)
    os.chmod(os.path.join(s.pub, "dav"), 0o777)
    s.start()
    relay = SplitRelay(s.port, SEED)
    yield s, relay
    relay.stop()
    assert s.stop() == 0


@pytest.mark.parametrize("name,data", CASES, ids=[c[0] for c in CASES])
def test_answer_in_pieces_equals_answer_whole(site, name, data):
    s, relay = site
    if name == "lock":
        exchange(s.port, req("UNLOCK", "/dav/locked.txt"))
    put = re.match(rb"PUT (\S+)", data)
    if put:
        exchange(s.port, req("DELETE", put.group(1).decode()))
    whole = exchange(s.port, data)
    if put:
        exchange(s.port, req("DELETE", put.group(1).decode()))
    if name == "lock":
        # The lock taken straight must go before the split one asks again.
        token = re.search(rb"(?i)\r\nLock-Token: <([^>]+)>", whole)
        assert token, whole[:500]
        exchange(s.port, req("UNLOCK", "/dav/locked.txt", [("Lock-Token", "<%s>" %
                                                             token.group(1).decode())]))
    split = exchange(relay.port, data)
    if name == "lock":
        other = re.search(rb"(?i)\r\nLock-Token: <([^>]+)>", split)
        assert other, split[:500]
        exchange(s.port, req("UNLOCK", "/dav/locked.txt", [("Lock-Token", "<%s>" %
                                                             other.group(1).decode())]))
        whole = whole.replace(token.group(1), b"TOKEN")
        split = split.replace(other.group(1), b"TOKEN")
    # Two equal refusals would prove nothing: each case has to reach its road.
    assert re.match(rb"HTTP/1.1 (2\d\d|304|404 Not Found\r\n.*GET /nothing)", whole,
                    re.S) or (name == "missing" and whole.startswith(b"HTTP/1.1 404")) or \
        (name == "report" and whole.startswith(b"HTTP/1.1 403")), \
        (name, whole[:300])
    assert mask(split) == mask(whole), (name, SEED, whole[:600], split[:600])


class Upstreams:
    """Two upstreams, each answering with bytes no other one sends."""

    def __init__(self):
        self.servers = []
        for tag in (b"A", b"B"):
            class Handler(http.server.BaseHTTPRequestHandler):
                protocol_version = "HTTP/1.1"
                mark = tag

                def log_message(self, *a):
                    pass

                def answer(self, extra=b""):
                    body = (self.mark * 3000) + self.path.encode() + extra
                    # The head goes out in two writes, as a real upstream may.
                    self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n")
                    self.wfile.flush()
                    time.sleep(0.002)
                    self.wfile.write(b"X-From: %s\r\nContent-Length: %d\r\n\r\n" %
                                     (self.mark, len(body)) + body)

                def do_GET(self):
                    self.answer()

                def do_POST(self):
                    n = int(self.headers.get("Content-Length", "0"))
                    self.answer(b"|" + self.rfile.read(n))

            srv = http.server.ThreadingHTTPServer((HOST, 0), Handler)
            srv.daemon_threads = True
            threading.Thread(target=srv.serve_forever, daemon=True).start()
            self.servers.append(srv)

    def stop(self):
        for srv in self.servers:
            srv.shutdown()
            srv.server_close()


def strip_head(answer):
    head, _, body = answer.partition(b"\r\n\r\n")
    return head, body


@pytest.mark.parametrize("road", ["event loop", "libcurl"])
def test_proxy_in_pieces_two_clients_each_get_their_own_upstream(tmp_path, road):
    proxy_port = free_port()
    s = Site(str(tmp_path), param={"proxy_port": proxy_port, "proxy_timeout": 10})
    ups = Upstreams()
    s.start()
    client_relay = SplitRelay(proxy_port, SEED)
    up_relays = [SplitRelay(srv.server_address[1], SEED + i + 1)
                 for i, srv in enumerate(ups.servers)]
    try:
        def call(port, mark, up_port, i):
            path = "/%s/%d" % (mark, i)
            if road == "event loop":
                data = req("GET", path, host="%s:%d" % (HOST, up_port))
            else:
                data = req("POST", path, [("Content-Type", "text/plain")],
                           b"body-%s-%d" % (mark.encode(), i), host="%s:%d" % (HOST, up_port))
            return exchange(port, data)

        results = {}

        def client(mark, up_relay, up_port):
            out = []
            for i in range(6):
                whole = call(proxy_port, mark, up_port, i)
                split = call(client_relay.port, mark, up_relay.port, i)
                out.append((whole, split))
            results[mark] = out

        threads = [threading.Thread(target=client, args=(m, r, srv.server_address[1]))
                   for m, r, srv in zip("AB", up_relays, ups.servers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        for mark in "AB":
            assert len(results.get(mark, [])) == 6, "a client did not finish"
            other = b"BA"["AB".index(mark)]
            for i, (whole, split) in enumerate(results[mark]):
                assert mask(split) == mask(whole), (road, mark, i, SEED, whole[:400], split[:400])
                head, body = strip_head(split)
                assert head.startswith(b"HTTP/1.1 200"), (road, head)
                assert b"x-from: " + mark.lower().encode() in head.lower(), (road, head)
                assert bytes([other]) * 8 not in body and body.startswith(mark.encode() * 3000)
    finally:
        client_relay.stop()
        for r in up_relays:
            r.stop()
        ups.stop()
        assert s.stop() == 0
