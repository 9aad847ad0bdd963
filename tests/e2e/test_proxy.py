"""The forwarding proxy against a small upstream server on loopback: requests
and bodies go on unchanged, answers come back as the upstream sent them, and
an upstream that is dead, hangs or breaks off is reported, never hidden. The
request cache answers a repeated conditional request without the upstream."""

import base64
import hashlib
import http.client
import http.server
import os
import random
import socket
import stat
import subprocess
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
        self.proxy_port = None      # where /bounce sends a request back to
        self.big_headers = set()    # paths answered with an oversize head
        self.head_status = {}       # paths whose HEAD answers this status
        self.connections = 0        # connections the upstream accepted
        up = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def setup(self):
                up.connections += 1
                super().setup()

            def note(self):
                path = self.path.split("?")[0]
                up.hits[path] = up.hits.get(path, 0) + 1
                # A name that came more than once: its values joined.
                up.seen[path] = (self.path, {k: ", ".join(self.headers.get_all(k))
                                             for k in self.headers.keys()})

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
                elif p == "/folded":
                    self.wfile.write(b"HTTP/1.1 200 OK\r\nX-Fold: a\r\n  b\r\n\tc\r\n"
                                     b"Content-Length: 2\r\n\r\nok")
                elif p == "/switch":
                    self.wfile.write(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n"
                                     b"Connection: Upgrade\r\n\r\nRAW")
                    self.close_connection = True
                elif p == "/gzipped":
                    self.wfile.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
                                     b"3\r\nabc\r\n0\r\n\r\n")
                elif p == "/nocontent":
                    self.wfile.write(b"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n")
                elif p == "/hang":
                    up.release.wait(20)
                elif p == "/res.png":
                    self.send(200, b"\x89PNG....", [("Content-Type", "image/png"),
                                                    ("Last-Modified", RESOURCE_DATE)])
                elif p in ("/cookie.png", "/private.png", "/grow.png", "/gone.png",
                           "/auth.png", "/crumb.png"):
                    extra = [("Content-Type", "image/png"), ("Last-Modified", RESOURCE_DATE),
                             ("ETag", '"v1"'), ("Cache-Control", "max-age=60"),
                             ("Set-Cookie", "session=SECRET")]
                    if p == "/private.png":
                        extra.append(("Cache-Control", "private"))
                    if p in up.big_headers:
                        extra.append(("X-Big", "b" * 20000))
                    self.send(200, b"\x89PNG....", extra)
                elif p == "/bounce":
                    # Another proxy that sends the request back where it came
                    # from, Via and all; a loop ends here after five rounds.
                    if up.hits[p] > 5:
                        self.send(508, b"loop")
                        return
                    c = http.client.HTTPConnection(HOST, up.proxy_port, timeout=10)
                    h = {k: v for k, v in self.headers.items() if k.lower() != "host"}
                    h["Host"] = "%s:%d" % (HOST, up.port)
                    c.request("GET", "/bounce", headers=h)
                    r = c.getresponse()
                    self.send(r.status, r.read())
                    c.close()
                elif p == "/page.html":
                    self.send(200, b"<html></html>", [("Content-Type", "text/html"),
                                                       ("Last-Modified", RESOURCE_DATE)])
                else:
                    self.send(404, b"none")

            def do_HEAD(self):
                self.note()
                up.hits["HEAD " + self.path] = up.hits.get("HEAD " + self.path, 0) + 1
                self.send_response(up.head_status.get(self.path, 200))
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


def make_site(root, cache=False, local_upstreams=None, keep_alive=False, directives=None):
    proxy_port = free_port()
    param = {"proxy_port": proxy_port, "proxy_timeout": 2}
    if keep_alive:
        param["proxy_keep_alive"] = 1
    if cache:
        param["enable_request_cache"] = 1
    if local_upstreams:
        param["proxy_local_upstreams"] = local_upstreams
    site = Site(str(root), param=param, **({"directives": directives} if directives else {}))
    if local_upstreams is not None:
        # Listening on every address, as a proxy for a LAN does.
        path = os.path.join(site.data, "global.ini")
        with open(path) as f:
            text = f.read()
        site.write_data("global.ini", text.replace("host_name=%s" % HOST, "host_name=+"))
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


def test_a_name_sent_twice_reaches_upstream_with_both_values(site, upstream):
    c = http.client.HTTPConnection(HOST, site.proxy_port, timeout=30)
    try:
        c.putrequest("GET", "/file", skip_host=True, skip_accept_encoding=True)
        c.putheader("Host", "%s:%d" % (HOST, upstream.port))
        c.putheader("X-Rep", "one")
        c.putheader("x-rep", "two")
        c.endheaders()
        r = c.getresponse()
        assert r.status == 200 and r.read() == BODY_1K
    finally:
        c.close()
    assert upstream.seen["/file"][1]["X-Rep"] == "one, two"


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


def test_folds_switches_and_bodiless_answers_are_passed_on_soundly(site, upstream):
    status, headers, body = through(site, upstream.port, "GET", "/folded")
    assert status == 200 and body == b"ok"
    assert " ".join(headers["x-fold"].split()) == "a b c"
    # A switch of protocols nobody asked for is no answer.
    status, _, _ = through(site, upstream.port, "GET", "/switch", {"Upgrade": "x"})
    assert status == 502
    # Nor is a body in a transfer coding the client would not be told of.
    status, _, _ = through(site, upstream.port, "GET", "/gzipped", {"TE": "gzip"})
    assert status == 502
    # The next answer on the same connection is not taken for the body of a
    # 204 that came with a length.
    c = http.client.HTTPConnection(HOST, site.proxy_port, timeout=30)
    try:
        host = {"Host": "%s:%d" % (HOST, upstream.port)}
        c.request("GET", "/nocontent", headers=host)
        r = c.getresponse()
        assert r.status == 204 and r.getheader("Content-Length") is None
        assert r.read() == b""
        c.request("GET", "/file", headers=host)
        r = c.getresponse()
        assert r.status == 200 and r.read() == BODY_1K
    finally:
        c.close()


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
        # A client that sent an entity tag is not confirmed on dates alone.
        hits = upstream.hits["/res.png"]
        status, _, _ = through(site, upstream.port, "GET", "/res.png",
                               {"If-Modified-Since": newer, "If-None-Match": '"v0"'})
        assert status == 200
        assert upstream.hits["/res.png"] == hits + 1
    finally:
        assert site.stop() == 0


def raw_through(port, host_value, path="/file", extra=b""):
    """One request with the Host value as given; the status of the answer."""
    with socket.create_connection((HOST, port), timeout=30) as s:
        s.sendall(b"GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n%s\r\n"
                  % (path.encode(), host_value.encode(), extra))
        answer = b""
        while len(answer) < 1 << 20:
            piece = s.recv(65536)
            if not piece:
                break
            answer += piece
    return int(answer.split(b" ")[1])


LOOP_SPELLINGS = ["127.0.0.1", "2130706433", "0x7f000001", "0177.0.0.1", "127.1",
                  "[::ffff:127.0.0.1]", "[::1]", "localhost", "0.0.0.0", "0", "[::]"]


def test_every_spelling_of_this_server_is_a_loop_ended_at_once(site, upstream):
    before = site.trace().count("request loop to")
    for spelling in LOOP_SPELLINGS:
        for port in (site.proxy_port, site.port):
            status = raw_through(site.proxy_port, "%s:%d" % (spelling, port))
            assert status == 502, spelling
    # Each was refused before any request left: one refusal each, and no
    # forwarded copy came back to be refused again.
    expected = before + 2 * len(LOOP_SPELLINGS)
    for _ in range(100):
        if site.trace().count("request loop to") >= expected:
            break
        time.sleep(0.05)
    assert site.trace().count("request loop to") == expected


@pytest.mark.parametrize("host_value", ["x@%s:{up}" % HOST, "%s:{up}/file" % HOST,
                                        "%s :{up}" % HOST, "%s:99999" % HOST, "%s:" % HOST,
                                        "%s:0" % HOST, "%s:{up}?" % HOST, "[%s]:{up}" % HOST])
def test_host_that_is_no_upstream_is_refused(site, upstream, host_value):
    before = upstream.hits.get("/file", 0)
    assert raw_through(site.proxy_port, host_value.format(up=upstream.port)) == 400
    assert upstream.hits.get("/file", 0) == before


@pytest.fixture(scope="module")
def kept_site(tmp_path_factory):
    s = make_site(tmp_path_factory.mktemp("kept"), keep_alive=True)
    yield s
    assert s.stop() == 0


@pytest.mark.parametrize("which", ["site", "kept_site"])
def test_loop_through_another_proxy_ends_at_first_return(request, upstream, which):
    site = request.getfixturevalue(which)
    upstream.proxy_port = site.proxy_port
    # With kept connections the request goes out on one already open.
    for _ in range(3):
        through(site, upstream.port, "GET", "/file")
    upstream.hits["/bounce"] = 0
    status, headers, _ = through(site, upstream.port, "GET", "/bounce")
    assert status == 502
    assert upstream.hits["/bounce"] == 1
    via = upstream.seen["/bounce"][1]["Via"]
    assert via.startswith("1.1 teskqvel-")
    # The answer names this server too.
    status, headers, _ = through(site, upstream.port, "GET", "/file", {"Via": "1.0 far"})
    assert status == 200
    assert upstream.seen["/file"][1]["Via"] == "1.0 far, " + via
    assert headers["via"] == via


def test_cache_hands_no_client_another_ones_headers(tmp_path, upstream):
    site = make_site(tmp_path, cache=True)
    newer = "Tue, 07 Nov 2023 08:49:37 GMT"
    try:
        status, headers, _ = through(site, upstream.port, "GET", "/cookie.png",
                                     {"Cookie": "mine=1"})
        assert status == 200 and headers["set-cookie"] == "session=SECRET"
        # A request with a cookie stored nothing; one without does.
        through(site, upstream.port, "GET", "/cookie.png")
        hits = upstream.hits["/cookie.png"]
        status, headers, body = through(site, upstream.port, "GET", "/cookie.png",
                                        {"If-Modified-Since": newer})
        assert status == 304 and body == b""
        assert upstream.hits["/cookie.png"] == hits
        assert "set-cookie" not in headers
        allowed = {"date", "server", "last-modified", "etag", "cache-control", "expires",
                   "vary", "content-location", "keep-alive", "connection", "accept-ranges"}
        assert set(headers) <= allowed, set(headers) - allowed
        assert headers["last-modified"] == RESOURCE_DATE and headers["etag"] == '"v1"'

        # Credentials and private answers are neither stored nor confirmed.
        for path, h in (("/auth.png", {"Authorization": "Basic YTpi"}),
                        ("/crumb.png", {"Cookie": "who=me"}),
                        ("/private.png", {})):
            through(site, upstream.port, "GET", path, h)
            hits = upstream.hits[path]
            status, _, _ = through(site, upstream.port, "GET", path,
                                   dict(h, **{"If-Modified-Since": newer}))
            assert status == 200 and upstream.hits[path] == hits + 1, path
            status, _, _ = through(site, upstream.port, "GET", path, {"If-Modified-Since": newer})
            assert status == 200 and upstream.hits[path] == hits + 2, path

        # A head too large to store drops the entry it would replace.
        through(site, upstream.port, "GET", "/grow.png")
        assert through(site, upstream.port, "GET", "/grow.png",
                       {"If-Modified-Since": newer})[0] == 304
        upstream.big_headers.add("/grow.png")
        through(site, upstream.port, "GET", "/grow.png")
        hits = upstream.hits["/grow.png"]
        assert through(site, upstream.port, "GET", "/grow.png",
                       {"If-Modified-Since": newer})[0] == 200
        assert upstream.hits["/grow.png"] == hits + 1
    finally:
        assert site.stop() == 0
    store = os.path.join(site.data, "req_cache_data.txt")
    assert stat.S_IMODE(os.stat(store).st_mode) == 0o600
    with open(store, "rb") as f:
        text = f.read()
    assert b"/cookie.png" in text
    for secret in (b"SECRET", b"YTpi", b"mine=1", b"Authorization", b"Cookie"):
        assert secret not in text, secret


def test_refresh_that_fails_drops_the_entry_and_a_new_answer_restores_it(tmp_path, upstream):
    site = make_site(tmp_path, cache=True)
    newer = "Tue, 07 Nov 2023 08:49:37 GMT"
    page = "http://%s:%d/page.html" % (HOST, upstream.port)
    try:
        through(site, upstream.port, "GET", "/gone.png", {"Referer": page})
        assert through(site, upstream.port, "GET", "/gone.png",
                       {"If-Modified-Since": newer})[0] == 304
        upstream.head_status["/gone.png"] = 404
        through(site, upstream.port, "GET", "/page.html")
        for _ in range(200):
            if upstream.hits.get("HEAD /gone.png"):
                break
            time.sleep(0.05)
        assert upstream.hits.get("HEAD /gone.png") == 1
        hits = upstream.hits["/gone.png"]
        status = 304
        for _ in range(200):
            status = through(site, upstream.port, "GET", "/gone.png",
                             {"If-Modified-Since": newer})[0]
            if status != 304:
                break
            time.sleep(0.05)
        assert status == 200 and upstream.hits["/gone.png"] > hits
        # The fresh answer was stored again: the entry is not refused forever.
        assert through(site, upstream.port, "GET", "/gone.png",
                       {"If-Modified-Since": newer})[0] == 304
    finally:
        upstream.head_status.pop("/gone.png", None)
        assert site.stop() == 0


class Namespace:
    """A network namespace joined to this machine by a veth pair: a client
    from another address, reaching the proxy as a LAN client would."""

    def __init__(self):
        tag = "%d%d" % (os.getpid() % 100000, random.randrange(100))
        self.name = "tqpx" + tag
        self.outer = "tqo" + tag
        self.inner = "tqi" + tag
        net = random.randrange(1 << 14)
        self.base = "10.%d.%d." % (64 + (net >> 8), net & 0xff)
        self.host_address = self.base + "1"

    def run(self, *cmd):
        subprocess.run(cmd, check=True, capture_output=True, timeout=30)

    def __enter__(self):
        inside = ("ip", "netns", "exec", self.name)
        self.run("ip", "netns", "add", self.name)
        try:
            self.run("ip", "link", "add", self.outer, "type", "veth", "peer", "name", self.inner)
            self.run("ip", "link", "set", self.inner, "netns", self.name)
            self.run("ip", "addr", "add", self.base + "1/30", "dev", self.outer)
            self.run("ip", "link", "set", self.outer, "up")
            self.run(*inside, "ip", "addr", "add", self.base + "2/30", "dev", self.inner)
            self.run(*inside, "ip", "link", "set", self.inner, "up")
            self.run(*inside, "ip", "link", "set", "lo", "up")
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *a):
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True, timeout=30)
        subprocess.run(["ip", "link", "del", self.outer], capture_output=True, timeout=30)

    def fetch(self, port, host_value, path="/file", headers=()):
        """The status of a GET from inside the namespace through the proxy."""
        args = ["ip", "netns", "exec", self.name, "curl", "-s", "-o", "/dev/null", "-w",
                "%{http_code}", "--max-time", "20", "-H", "Host: " + host_value]
        for h in headers:
            args += ["-H", h]
        args.append("http://%s:%d%s" % (self.host_address, port, path))
        out = subprocess.run(args, capture_output=True, timeout=30, text=True)
        return int(out.stdout or 0)


def test_client_from_elsewhere_cannot_reach_this_machine(tmp_path, upstream):
    up = "%s:%d" % (HOST, upstream.port)
    with Namespace() as ns:
        site = make_site(tmp_path / "a", cache=True, local_upstreams="")
        try:
            # This client may use the proxy (a dead upstream elsewhere is a
            # gateway error, not a refusal), but not to reach this machine.
            assert ns.fetch(site.proxy_port, "192.0.2.1:9") in (502, 504)
            for target in (up, "2130706433:%d" % upstream.port, "[::1]:%d" % upstream.port,
                           "localhost:%d" % upstream.port,
                           "%s:%d" % (ns.host_address, upstream.port), "169.254.1.1:80"):
                assert ns.fetch(site.proxy_port, target) == 403, target
            # A loopback client stores a resource of a local upstream; the
            # cache does not confirm it to the other client.
            through(site, upstream.port, "GET", "/res.png")
            assert ns.fetch(site.proxy_port, up, "/res.png",
                            ["If-Modified-Since: Tue, 07 Nov 2023 08:49:37 GMT"]) == 403
            assert "is on this machine, refused" in site.trace()
        finally:
            assert site.stop() == 0
        # The configuration may open one local upstream on purpose.
        (tmp_path / "b").mkdir()
        site = make_site(tmp_path / "b", local_upstreams=up)
        try:
            assert ns.fetch(site.proxy_port, up) == 200
            assert ns.fetch(site.proxy_port, "%s:%d" % (HOST, upstream.port + 1)) == 403
            assert ns.fetch(site.proxy_port, "%s:%d" % (HOST, site.proxy_port)) == 502
        finally:
            assert site.stop() == 0


def test_a_kept_connection_is_checked_again_for_each_request(tmp_path, upstream):
    up = "%s:%d" % (HOST, upstream.port)
    with Namespace() as ns:
        site = make_site(tmp_path, local_upstreams="", keep_alive=True)
        try:
            # Loopback clients leave a kept connection to the upstream on
            # every event loop (each new client connection goes to the next).
            requests = 4 * (os.cpu_count() or 1)
            before = upstream.connections
            for _ in range(requests):
                status, _, body = through(site, upstream.port, "GET", "/file")
                assert status == 200 and body == BODY_1K
            assert upstream.connections - before < requests
            # A client from elsewhere may not use one of them to reach this
            # machine, nor another spelling of the same address.
            hits = upstream.hits["/file"]
            for target in (up, "localhost:%d" % upstream.port):
                for _ in range(4):
                    assert ns.fetch(site.proxy_port, target) == 403, target
            assert upstream.hits["/file"] == hits
            # The loopback client still may.
            assert through(site, upstream.port, "GET", "/file")[0] == 200
        finally:
            assert site.stop() == 0


# The proxy port forwards only whom the root's access rules admit: not an
# anonymous client, not another user, not a wrong password; each refusal
# leaves the upstream untouched. On both roads (a kept upstream connection
# is the event loop's).
@pytest.mark.parametrize("keep_alive", [False, True])
def test_only_the_user_the_root_admits_is_forwarded(tmp_path, upstream, keep_alive):
    rules = ("AuthType Basic\nAuthName Proxy\nAuthUserFile /secret/users.txt\n"
             "Require user alice\n")
    site = make_site(tmp_path, keep_alive=keep_alive, directives=rules)
    site.put("secret/.htaccess", "Require all denied\n")
    site.put("secret/users.txt", '"alice","secret"\r\n"bob","builder"\r\n')
    try:
        for login, expect in ((None, 401), ("bob:builder", 401), ("alice:wrong", 401),
                              ("alice:secret", 200)):
            headers = {}
            if login:
                headers["Authorization"] = "Basic " + base64.b64encode(login.encode()).decode()
            hits = upstream.hits.get("/file", 0)
            status, _, body = through(site, upstream.port, "GET", "/file", headers)
            assert status == expect, login
            assert upstream.hits.get("/file", 0) == hits + (1 if expect == 200 else 0), login
            if expect == 200:
                assert body == BODY_1K
    finally:
        assert site.stop() == 0


def test_a_connection_that_is_not_kept_is_ended_after_the_answer(site):
    """An upstream that leaves its end open despite "Connection: close" still
    sees the proxy end the connection once the answer has passed, for every
    request (nothing is left open behind the answers)."""
    listener = socket.socket()
    listener.bind((HOST, 0))
    listener.listen(8)
    listener.settimeout(10)
    ends = []

    def serve(count):
        for _ in range(count):
            conn, _ = listener.accept()
            conn.settimeout(10)
            head = b""
            while b"\r\n\r\n" not in head:
                head += conn.recv(4096)
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok")
            try:
                ends.append(conn.recv(1) == b"")
            except socket.timeout:
                ends.append(False)
            conn.close()

    t = threading.Thread(target=serve, args=(3,))
    t.start()
    try:
        for _ in range(3):
            status, _, body = through(site, listener.getsockname()[1], "GET", "/open")
            assert (status, body) == (200, b"ok")
    finally:
        t.join(30)
        listener.close()
    assert ends == [True, True, True]
