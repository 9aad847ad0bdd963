"""The forwarding proxy against a small upstream server on loopback: requests
and bodies go on unchanged, answers come back as the upstream sent them, and
an upstream that is dead, hangs or breaks off is reported, never hidden. The
request cache answers a repeated conditional request without the upstream."""

import hashlib
import http.client
import http.server
import socket
import threading
import time

import pytest

from tq_site import HOST, Site, free_port

RESOURCE_DATE = "Mon, 06 Nov 2023 08:49:37 GMT"
BODY_1K = bytes((i * 7) % 251 for i in range(1024))


class Upstream:
    """http.server in a thread; counts hits per path and keeps what it saw."""

    def __init__(self):
        self.hits = {}
        self.seen = {}
        self.release = threading.Event()
        up = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def note(self):
                path = self.path.split("?")[0]
                up.hits[path] = up.hits.get(path, 0) + 1
                up.seen[path] = (self.path, dict(self.headers.items()))

            def body(self):
                if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
                    data = b""
                    while True:
                        size = int(self.rfile.readline().strip(), 16)
                        if size == 0:
                            self.rfile.readline()
                            return data
                        data += self.rfile.read(size)
                        self.rfile.readline()
                return self.rfile.read(int(self.headers.get("Content-Length", "0")))

            def send(self, status, body, headers=()):
                self.send_response(status)
                for k, v in headers:
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                self.note()
                p = self.path.split("?")[0]
                if p == "/file":
                    self.send(200, BODY_1K, [("Content-Type", "application/octet-stream")])
                elif p == "/redirect":
                    self.send(302, b"", [("Location", "http://%s:1/elsewhere" % HOST)])
                elif p == "/nolength":
                    self.protocol_version = "HTTP/1.0"
                    self.send_response(200)
                    self.send_header("Content-Type", "text/plain")
                    self.end_headers()
                    self.wfile.write(b"x" * 100000)
                    self.close_connection = True
                elif p == "/cut":
                    self.send_response(200)
                    self.send_header("Content-Length", "100000")
                    self.end_headers()
                    self.wfile.write(b"y" * 1000)
                    self.wfile.flush()
                    self.close_connection = True
                elif p == "/cutchunked":
                    self.send_response(200)
                    self.send_header("Transfer-Encoding", "chunked")
                    self.end_headers()
                    self.wfile.write(b"3e8\r\n" + b"c" * 1000 + b"\r\n3e8\r\nccc")
                    self.wfile.flush()
                    self.close_connection = True
                elif p == "/odd":
                    self.send(200, b"odd", [("X-Odd", "a%0d%0aSet-Cookie: evil=1"),
                                            ("X-Pct", "%41%E9"), ("Connection", "close, X-Secret"),
                                            ("X-Secret", "hop"), ("Keep-Alive", "timeout=1"),
                                            ("Upgrade", "h2c"), ("Proxy-Authenticate", "Basic")])
                elif p == "/hang":
                    up.release.wait(20)
                elif p == "/res.png":
                    self.send(200, b"\x89PNG....", [("Content-Type", "image/png"),
                                                    ("Last-Modified", RESOURCE_DATE)])
                elif p == "/page.html":
                    self.send(200, b"<html></html>", [("Content-Type", "text/html"),
                                                       ("Last-Modified", RESOURCE_DATE)])
                else:
                    self.send(404, b"none")

            def do_HEAD(self):
                self.note()
                self.send_response(200)
                self.send_header("Content-Type", "image/png")
                self.send_header("Last-Modified", RESOURCE_DATE)
                self.send_header("Content-Length", "8")
                self.end_headers()

            def do_POST(self):
                self.note()
                data = self.body()
                self.send(200, b"%d %s" % (len(data), hashlib.md5(data).hexdigest().encode()))

        self.server = http.server.ThreadingHTTPServer((HOST, 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture(scope="module")
def upstream():
    u = Upstream()
    yield u
    u.stop()


def make_site(root, cache=False):
    proxy_port = free_port()
    param = {"proxy_port": proxy_port, "proxy_timeout": 2}
    if cache:
        param["enable_request_cache"] = 1
    site = Site(str(root), param=param)
    site.proxy_port = proxy_port
    site.start()
    return site


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    s = make_site(tmp_path_factory.mktemp("proxy"))
    yield s
    assert s.stop() == 0


def through(site, upstream_port, method, path, headers=None, body=None, chunked=False):
    c = http.client.HTTPConnection(HOST, site.proxy_port, timeout=30)
    try:
        h = {"Host": "%s:%d" % (HOST, upstream_port)}
        h.update(headers or {})
        c.request(method, path, body=body, headers=h, encode_chunked=chunked)
        r = c.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
    finally:
        c.close()


def test_get_goes_on_as_received_and_hop_headers_stay_behind(site, upstream):
    status, headers, body = through(site, upstream.port, "GET", "/file?q=%41&b=/../x",
                                    {"X-End": "kept", "Connection": "X-Hop",
                                     "X-Hop": "hop", "Keep-Alive": "300",
                                     "Proxy-Authorization": "Basic eDp5", "Upgrade": "h2c",
                                     "Accept": "text/plain, */*"})
    assert status == 200
    assert body == BODY_1K
    assert headers["content-length"] == "1024"
    path, seen = upstream.seen["/file"]
    assert path == "/file?q=%41&b=/../x"
    assert seen["Host"] == "%s:%d" % (HOST, upstream.port)
    assert seen["X-End"] == "kept"
    assert seen["Accept"] == "text/plain, */*"
    for gone in ("X-Hop", "Keep-Alive", "Proxy-Authorization", "Upgrade"):
        assert gone not in seen, gone
    # A redirect of the upstream goes to the client, not followed.
    status, headers, _ = through(site, upstream.port, "GET", "/redirect")
    assert status == 302
    assert headers["location"] == "http://%s:1/elsewhere" % HOST


def test_chunked_post_body_reaches_upstream_whole(site, upstream):
    data = bytes((i * 13 + i // 7) % 256 for i in range(200 * 1024))
    pieces = (data[i:i + 7000] for i in range(0, len(data), 7000))
    status, _, body = through(site, upstream.port, "POST", "/echo", body=pieces, chunked=True)
    assert status == 200
    assert body == b"%d %s" % (len(data), hashlib.md5(data).hexdigest().encode())
    assert upstream.seen["/echo"][1].get("Transfer-Encoding", "").lower() == "chunked"
    status, _, body = through(site, upstream.port, "POST", "/echo", body=data)
    assert body == b"%d %s" % (len(data), hashlib.md5(data).hexdigest().encode())


def test_answer_without_length_arrives_chunked_and_whole(site, upstream):
    status, headers, body = through(site, upstream.port, "GET", "/nolength")
    assert status == 200
    assert headers.get("transfer-encoding", "").lower() == "chunked"
    assert body == b"x" * 100000


@pytest.mark.parametrize("path", ["/cut", "/cutchunked"])
def test_upstream_that_breaks_off_is_not_passed_as_complete(site, upstream, path):
    c = http.client.HTTPConnection(HOST, site.proxy_port, timeout=30)
    c.request("GET", path, headers={"Host": "%s:%d" % (HOST, upstream.port)})
    r = c.getresponse()
    assert r.status == 200
    with pytest.raises(http.client.IncompleteRead):
        r.read()
    c.close()


def test_header_values_pass_undecoded_and_hop_headers_are_dropped(site, upstream):
    status, headers, body = through(site, upstream.port, "GET", "/odd")
    assert status == 200 and body == b"odd"
    assert headers["x-odd"] == "a%0d%0aSet-Cookie: evil=1"
    assert headers["x-pct"] == "%41%E9"
    assert "set-cookie" not in headers
    for gone in ("x-secret", "upgrade", "proxy-authenticate"):
        assert gone not in headers, gone
    assert headers.get("keep-alive") != "timeout=1"


def test_dead_and_hanging_upstreams_are_gateway_errors(site, upstream):
    status, _, _ = through(site, free_port(), "GET", "/file")
    assert status == 502
    status, _, _ = through(site, upstream.port, "GET", "/hang")
    assert status == 504
    # A Host that names the proxy itself would forward without end.
    status, _, _ = through(site, site.proxy_port, "GET", "/file")
    assert status == 502
    # The server goes on serving.
    status, _, body = through(site, upstream.port, "GET", "/file")
    assert status == 200 and body == BODY_1K


def test_connect_is_refused(site, upstream):
    with socket.create_connection((HOST, site.proxy_port), timeout=10) as s:
        s.sendall(b"CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n\r\n"
                  % (HOST.encode(), upstream.port, HOST.encode(), upstream.port))
        answer = s.recv(4096)
    status = int(answer.split(b" ")[1])
    assert status in (400, 405)


def test_cache_answers_unchanged_resource_without_upstream(tmp_path, upstream):
    site = make_site(tmp_path, cache=True)
    try:
        newer = "Tue, 07 Nov 2023 08:49:37 GMT"
        older = "Sun, 05 Nov 2023 08:49:37 GMT"
        status, _, body = through(site, upstream.port, "GET", "/res.png",
                                  {"If-Modified-Since": newer})
        assert status == 200 and body.startswith(b"\x89PNG")
        before = upstream.hits["/res.png"]
        for _ in range(3):
            status, headers, body = through(site, upstream.port, "GET", "/res.png",
                                            {"If-Modified-Since": newer})
            assert status == 304 and body == b""
            assert headers["last-modified"] == RESOURCE_DATE
        assert upstream.hits["/res.png"] == before
        # A copy older than the stored answer is not confirmed.
        status, _, _ = through(site, upstream.port, "GET", "/res.png",
                               {"If-Modified-Since": older})
        assert status == 200
        assert upstream.hits["/res.png"] == before + 1
        # Without a condition, and for a page, the upstream answers.
        through(site, upstream.port, "GET", "/res.png")
        assert upstream.hits["/res.png"] == before + 2
        for _ in range(2):
            through(site, upstream.port, "GET", "/page.html", {"If-Modified-Since": newer})
        assert upstream.hits["/page.html"] == 2
        assert "+used cache" in site.trace()
    finally:
        assert site.stop() == 0
