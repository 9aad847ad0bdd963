"""What a forwarded answer may hold: the bytes of the client's own upstream
answer and the server's hop-by-hop fields, nothing else, on both forwarding
roads (the event loop's own for a numeric upstream, libcurl's for a named one),
however the upstream cuts its answer into writes; and every request ends with
an answer or a close."""

import base64
import os
import random
import socket
import threading
import time

import pytest

from tq_site import HOST, Site, free_port

SECRET = "session=VICTIM-SECRET-4f1d"


class ScriptedUpstream:
    """Answers each request for a known path with a list of (bytes, pause)
    writes, exactly as given, then closes when the script says so."""

    def __init__(self, backlog=256):
        self.scripts = {}
        self.lock = threading.Lock()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, 0))
        self.listener.listen(backlog)
        self.port = self.listener.getsockname()[1]
        self.seen = []
        self.running = True
        threading.Thread(target=self.accept, daemon=True).start()

    def set(self, path, writes, close=False):
        with self.lock:
            self.scripts[path] = (writes, close)

    def accept(self):
        while self.running:
            try:
                c, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(c,), daemon=True).start()

    def serve(self, c):
        c.settimeout(30)
        data = b""
        try:
            while True:
                while b"\r\n\r\n" not in data:
                    got = c.recv(65536)
                    if not got:
                        return
                    data += got
                head, data = data.split(b"\r\n\r\n", 1)
                lines = head.decode("latin-1").split("\r\n")
                path = lines[0].split(" ")[1]
                with self.lock:
                    self.seen.append(lines)
                    writes, close = self.scripts.get(path, ([(b"HTTP/1.1 404 Not Found\r\n"
                                                              b"Content-Length: 0\r\n\r\n", 0)],
                                                            False))
                for piece, pause in writes:
                    if pause:
                        time.sleep(pause)
                    c.sendall(piece)
                if close:
                    return
        except OSError:
            return
        finally:
            c.close()

    def stop(self):
        self.running = False
        self.listener.close()


@pytest.fixture
def upstream():
    u = ScriptedUpstream()
    try:
        yield u
    finally:
        u.stop()


def make_site(root, keep_alive=False, directives=None, extra=None):
    proxy_port = free_port()
    param = {"proxy_port": proxy_port, "proxy_timeout": 5, "proxy_local_upstreams": 1}
    if keep_alive:
        param["proxy_keep_alive"] = 1
    param.update(extra or {})
    kw = {"directives": directives} if directives else {}
    site = Site(str(root), param=param, **kw)
    site.proxy_port = proxy_port
    site.start()
    return site


def forward(site, host, path, method="GET", headers="", body=b"", timeout=15,
            half_close=False):
    """The raw answer the client gets for one request on a new connection,
    read to the server's close or to the answer's framing."""
    s = socket.create_connection((HOST, site.proxy_port), timeout=timeout)
    try:
        s.sendall(("%s %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n%s\r\n"
                   % (method, path, host, headers)).encode() + body)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        data = b""
        while True:
            got = s.recv(65536)
            if not got:
                return data
            data += got
    finally:
        s.close()


def split_answer(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    fields = []
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields.append((name.lower(), value.strip()))
    return lines[0], fields, body


def dechunk(body):
    out = b""
    while body:
        size_line, _, body = body.partition(b"\r\n")
        size = int(size_line.split(b";")[0], 16)
        if size == 0:
            return out
        out += body[:size]
        body = body[size + 2:]
    return out


def victim_head():
    filler = "".join("X-Pad-%02d: %s\r\n" % (i, "p" * 40) for i in range(45))
    return ("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nSet-Cookie: %s\r\n%s\r\nok"
            % (SECRET, filler)).encode()


# Upstream answers that cut the head or carry fields where a parser that
# records places per read goes wrong. Each: the writes, and what the client
# must get (status, fields that must be there with their value, body).
LONG = "L" * 3000
ATTACKS = {
    "trailer": ([(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\n"
                  b"Location: " + b"L" * 2000 + b"\r\n\r\n", 0)],
                {}, b"x"),
    "two-writes": ([(b"HTTP/1.1 200 OK\r\nLocation: " + LONG.encode() + b"\r\nX", 0),
                    (b"-Tail: t\r\nContent-Length: 0\r\n\r\n", 0.1)],
                   {"location": LONG, "x-tail": "t"}, b""),
    "big-head": ([(b"HTTP/1.1 200 OK\r\n" + b"".join(b"X-F%05d: %s\r\n" % (i, b"v" * 20)
                                                     for i in range(1000)), 0),
                  (b"Content-Length: 3\r\n\r\nabc", 0.05)],
                 {"x-f00000": "v" * 20, "x-f00999": "v" * 20}, b"abc"),
    "many-fields-bytewise": (
        [(bytes([b]), 0) for b in b"HTTP/1.1 200 OK\r\nA: 1\r\nB: 22\r\n"] +
        [(b"".join(b"F%d: %d\r\n" % (i, i) for i in range(3000)), 0.02),
         (b"Content-Length: 1\r\n\r\nz", 0.02)],
        {"a": "1", "b": "22", "f2999": "2999"}, b"z"),
}


@pytest.mark.parametrize("keep_alive", [False, True])
@pytest.mark.parametrize("attack", sorted(ATTACKS))
def test_an_answer_cut_anywhere_carries_only_its_own_upstream_bytes(tmp_path, upstream,
                                                                    keep_alive, attack):
    writes, expect, expect_body = ATTACKS[attack]
    upstream.set("/victim", [(victim_head(), 0)])
    upstream.set("/attack", writes, close=True)
    site = make_site(tmp_path, keep_alive=keep_alive)
    try:
        for host in ("%s:%d" % (HOST, upstream.port), "localhost:%d" % upstream.port):
            for _ in range(3):
                v = forward(site, host, "/victim")
                assert SECRET.encode() in v
                a = forward(site, host, "/attack")
                assert b"VICTIM" not in a, (host, a[:600])
                status, fields, body = split_answer(a)
                assert status.startswith("HTTP/1.1 200"), (host, status)
                got = dict(fields)
                for name, value in expect.items():
                    assert got.get(name) == value, (host, name, got.get(name, "")[:80])
                # No field of the head came from the trailer.
                assert "location" in got or "location" not in expect
                if attack == "trailer":
                    assert "location" not in got or got["location"] == "L" * 2000
                    body = dechunk(body) if got.get("transfer-encoding", "").lower() == "chunked" else body
                assert body == expect_body, host
    finally:
        assert site.stop() == 0


@pytest.mark.parametrize("size", [24 * 1024, 60 * 1024])
def test_a_large_head_is_forwarded_on_both_roads(tmp_path, upstream, size):
    fields = b""
    i = 0
    while len(fields) < size:
        fields += b"X-Many-%05d: %s\r\n" % (i, b"m" * 50)
        i += 1
    upstream.set("/large", [(b"HTTP/1.1 200 OK\r\n" + fields, 0),
                            (b"Content-Length: 4\r\n\r\ndone", 0.05)])
    site = make_site(tmp_path)
    try:
        for host in ("%s:%d" % (HOST, upstream.port), "localhost:%d" % upstream.port):
            status, got, body = split_answer(forward(site, host, "/large"))
            assert status.startswith("HTTP/1.1 200"), host
            names = [n for n, _ in got if n.startswith("x-many-")]
            assert len(names) == i, host
            assert body == b"done"
    finally:
        assert site.stop() == 0


def open_fds(site):
    return len(os.listdir("/proc/%d/fd" % site.proc.pid))


def test_an_answer_the_server_cannot_pass_on_ends_with_502(tmp_path, upstream):
    upstream.set("/two-lengths", [(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"
                                   b"Content-Length: 6\r\n\r\nhello!", 0)], close=True)
    upstream.set("/same-lengths", [(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"
                                    b"Content-Length: 5\r\n\r\nhello", 0)], close=True)
    upstream.set("/list-length", [(b"HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\n\r\nhello", 0)],
                 close=True)
    site = make_site(tmp_path)
    try:
        for host in ("%s:%d" % (HOST, upstream.port), "localhost:%d" % upstream.port):
            raw = forward(site, host, "/two-lengths", timeout=10)
            assert raw.startswith(b"HTTP/1.1 502"), (host, raw[:200])
            for path in ("/same-lengths", "/list-length"):
                raw = forward(site, host, path, timeout=10)
                status, fields, body = split_answer(raw)
                assert status.startswith("HTTP/1.1 200"), (host, path, raw[:200])
                assert [v for n, v in fields if n == "content-length"] == ["5"], (host, path)
                assert body == b"hello"
        before = open_fds(site)
        for _ in range(50):
            forward(site, "%s:%d" % (HOST, upstream.port), "/two-lengths", timeout=10)
        time.sleep(1)
        assert open_fds(site) <= before + 5
    finally:
        assert site.stop() == 0


def test_a_login_this_server_asked_for_is_not_forwarded(tmp_path, upstream):
    upstream.set("/who", [(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 0)])
    proxy_port = free_port()
    site = Site(str(tmp_path), param={"proxy_port": proxy_port, "proxy_timeout": 5,
                                      "proxy_local_upstreams": 1},
                directives="AuthType Basic\nAuthName Forward\nAuthUserFile /secret/users.txt\n"
                           "Require user alice\n")
    site.proxy_port = proxy_port
    site.put("secret/.htaccess", "Require all denied\n")
    site.put("secret/users.txt", '"alice","secret"\r\n')
    site.start()
    try:
        cred = base64.b64encode(b"alice:secret").decode()
        for host in ("%s:%d" % (HOST, upstream.port), "localhost:%d" % upstream.port):
            upstream.seen.clear()
            raw = forward(site, host, "/who", headers="Authorization: Basic %s\r\n" % cred)
            assert raw.startswith(b"HTTP/1.1 200"), raw[:300]
            sent = upstream.seen[-1]
            assert not any(l.lower().startswith("authorization:") for l in sent), host
    finally:
        assert site.stop() == 0


def test_an_upstream_login_passes_where_this_server_asks_none(tmp_path, upstream):
    upstream.set("/who", [(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 0)])
    site = make_site(tmp_path)
    try:
        for host in ("%s:%d" % (HOST, upstream.port), "localhost:%d" % upstream.port):
            upstream.seen.clear()
            forward(site, host, "/who", headers="Authorization: Basic dXA6c2VjcmV0\r\n")
            assert "Authorization: Basic dXA6c2VjcmV0" in upstream.seen[-1], host
    finally:
        assert site.stop() == 0


def test_forwarded_answers_gain_no_fields_and_keep_this_servers_via(tmp_path, upstream):
    upstream.set("/bare", [(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", 0)])
    site = make_site(tmp_path)
    try:
        for host in ("%s:%d" % (HOST, upstream.port), "localhost:%d" % upstream.port):
            for conn in ("Via", "via", "x,\tVia", "X-A ,VIA"):
                upstream.seen.clear()
                raw = forward(site, host, "/bare",
                              headers="Connection: %s\r\nVia: 1.1 elsewhere\r\n" % conn)
                status, fields, body = split_answer(raw)
                names = {n for n, _ in fields}
                assert "content-type" not in names, host
                assert "accept-ranges" not in names, host
                vias = [l for l in upstream.seen[-1] if l.lower().startswith("via:")]
                assert len(vias) == 1 and "elsewhere" not in vias[0], (host, conn, vias)
    finally:
        assert site.stop() == 0


def test_a_body_followed_by_a_half_close_is_forwarded_and_answered(tmp_path, upstream):
    upstream.set("/post", [(b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ngot!", 0)])
    site = make_site(tmp_path)
    try:
        for host in ("%s:%d" % (HOST, upstream.port), "localhost:%d" % upstream.port):
            raw = forward(site, host, "/post", method="POST", body=b"hello",
                          headers="Content-Length: 5\r\n", half_close=True)
            assert raw.startswith(b"HTTP/1.1 200") and raw.endswith(b"got!"), (host, raw[:200])
    finally:
        assert site.stop() == 0


def test_a_failed_connect_is_the_send_step_on_both_roads(tmp_path):
    dead = free_port()
    site = make_site(tmp_path)
    try:
        for host in ("%s:%d" % (HOST, dead), "localhost:%d" % dead):
            raw = forward(site, host, "/gone")
            assert raw.startswith(b"HTTP/1.1 502"), raw[:200]
        trace = site.trace()
        assert "ReceiveResponse 12029" not in trace
    finally:
        assert site.stop() == 0


@pytest.mark.parametrize("value", ["-1", "0", "86401", "4294968"])
def test_a_proxy_timeout_out_of_range_keeps_the_default(tmp_path, value):
    site = make_site(tmp_path, extra={"proxy_timeout": value})
    try:
        assert "proxy_timeout %s is outside 1..86400 seconds; 30 is kept" % value in site.trace()
    finally:
        assert site.stop() == 0


def test_a_kept_connection_with_bytes_past_the_answer_is_not_used_again(tmp_path, upstream):
    # The upstream sends one answer more than was asked for; the next client
    # on that connection must not get it.
    upstream.set("/extra", [(b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none"
                             b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nSTALE", 0)])
    upstream.set("/next", [(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh", 0)])
    site = make_site(tmp_path, keep_alive=True)
    try:
        host = "%s:%d" % (HOST, upstream.port)
        for _ in range(5):
            assert forward(site, host, "/extra").endswith(b"one")
            assert forward(site, host, "/next").endswith(b"fresh")
    finally:
        assert site.stop() == 0


# Upstream answers of every framing; each is sent cut in two at many
# positions while another client's exchange runs beside it.
CORPUS = {
    "length": b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: a\r\n\r\nhello",
    "chunked": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-B: b\r\n\r\n"
               b"3\r\nabc\r\n2;ext=1\r\nde\r\n0\r\n\r\n",
    "chunked-trailer": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                       b"2\r\nhi\r\n0\r\nX-Trail: t\r\n\r\n",
    "close": b"HTTP/1.1 200 OK\r\nX-C: c\r\n\r\nuntil the end",
    "interim": b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
    "no-content": b"HTTP/1.1 204 No Content\r\nX-D: d\r\n\r\n",
    "not-modified": b"HTTP/1.1 304 Not Modified\r\nETag: \"v\"\r\n\r\n",
    "one-field-per-byte": b"HTTP/1.1 200 OK\r\n" + b"".join(b"%c: %d\r\n" % (97 + i, i)
                                                           for i in range(20)) +
                          b"Content-Length: 1\r\n\r\n!",
}


def masked(raw):
    status, fields, body = split_answer(raw)
    keep = [(n, v) for n, v in fields if n not in ("date", "keep-alive", "connection")]
    if dict(fields).get("transfer-encoding", "").lower() == "chunked":
        body = dechunk(body)
        keep = [(n, v) for n, v in keep if n != "transfer-encoding"]
    keep = [(n, v) for n, v in keep if n != "content-length"]
    return status, sorted(keep), body


def test_both_roads_forward_every_cut_of_every_framing_alike(tmp_path, upstream):
    upstream.set("/victim", [(victim_head(), 0)])
    site = make_site(tmp_path)
    stop = threading.Event()
    leaks = []

    def victim():
        while not stop.is_set():
            v = forward(site, "%s:%d" % (HOST, upstream.port), "/victim")
            if SECRET.encode() not in v:
                leaks.append(v[:200])

    beside = threading.Thread(target=victim)
    beside.start()
    rng = random.Random(4242)
    try:
        for name, answer in sorted(CORPUS.items()):
            close = name == "close"
            cuts = list(range(1, len(answer)))
            if len(cuts) > 48:
                cuts = sorted(rng.sample(cuts, 48))
            for cut in cuts:
                path = "/d/%s/%d" % (name, cut)
                upstream.set(path, [(answer[:cut], 0), (answer[cut:], 0.005)], close=close)
                loop = forward(site, "%s:%d" % (HOST, upstream.port), path)
                curl = forward(site, "localhost:%d" % upstream.port, path)
                assert b"VICTIM" not in loop and b"VICTIM" not in curl, (name, cut)
                assert masked(loop) == masked(curl), (name, cut, loop[:300], curl[:300])
                if name != "no-content" and name != "not-modified":
                    assert masked(loop)[2] == answer.rsplit(b"\r\n\r\n", 1)[1] or \
                        name.startswith("chunked"), (name, cut)
    finally:
        stop.set()
        beside.join(30)
        assert site.stop() == 0
    assert not leaks
