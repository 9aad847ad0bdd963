"""End-to-end tests of the HTTP service layer against its echo program
(tests/khttp_tools/khttp_echo_main.cpp) with real clients: curl, http.client,
ssl and raw sockets. Loopback only; every wait is bounded."""

import hashlib
import http.client
import os
import socket
import ssl
import stat
import subprocess
import tempfile
import time

import pytest

BUILD = os.environ.get("TQ_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build/test"))
ECHO = os.path.join(BUILD, "tests", "khttp_tools", "khttp_echo")
HOST = "127.0.0.1"


class Server:
    def __init__(self, data_dir, extra=(), listen=None):
        args = [ECHO, "0", data_dir, "--idle", "1500", "--head", "1000", "--body", "1000",
                "--drain", "100000"]
        args += list(extra)
        if listen:
            args += ["--listen", listen]
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()  # the program prints it before serving
        assert line.startswith("LISTENING"), line + self.proc.stderr.read()
        fields = dict(kv.split("=") for kv in line.split()[1:])
        self.port = int(fields["http"])
        self.tls_port = int(fields["https"])

    def stop(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)
        return self.proc.returncode


@pytest.fixture(scope="module")
def data_dir():
    with tempfile.TemporaryDirectory() as d:
        yield d


@pytest.fixture(scope="module")
def server(data_dir):
    s = Server(data_dir)
    yield s
    assert s.stop() == 0


def raw(port, data, timeout=10):
    """Sends data on a new connection and returns everything until the server closes."""
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(data)
        out = b""
        while len(out) < 4_000_000:
            try:
                d = s.recv(65536)
            except ConnectionResetError:
                break
            if not d:
                break
            out += d
        return out


def read_response(sock, head_only=False):
    """Reads one response (Content-Length or chunked framing) from a socket."""
    buf = b""
    while b"\r\n\r\n" not in buf:
        d = sock.recv(65536)
        if not d:
            raise EOFError(buf)
        buf += d
    head, rest = buf.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = {}
    for l in lines[1:]:
        k, v = l.split(":", 1)
        headers[k.strip().lower()] = v.strip()
    if head_only or status in (100, 204, 304):
        return status, headers, b"", rest
    if headers.get("transfer-encoding", "").lower() == "chunked":
        while b"0\r\n\r\n" not in rest:
            d = sock.recv(65536)
            if not d:
                raise EOFError(rest)
            rest += d
        end = rest.index(b"0\r\n\r\n") + 5
        return status, headers, rest[:end], rest[end:]
    n = int(headers.get("content-length", "0"))
    while len(rest) < n:
        d = sock.recv(65536)
        if not d:
            raise EOFError(rest)
        rest += d
    return status, headers, rest[:n], rest[n:]


def fields(body):
    out = {}
    for line in body.decode("utf-8", "replace").split("\n"):
        if "=" in line:
            k, v = line.split("=", 1)
            out.setdefault(k, v)
    return out


def closed(sock, timeout=10):
    sock.settimeout(timeout)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def test_get_fields_and_keep_alive(server):
    c = http.client.HTTPConnection(HOST, server.port, timeout=10)
    c.request("GET", "/t/echo/x%20y/./z/../w?q=1&r", headers={"X-Custom": "v1", "Cookie": "a=1"})
    r = c.getresponse()
    f = fields(r.read())
    assert r.status == 200
    assert f["abs_path"] == "/t/echo/x y/w"
    assert f["raw_url"] == "/t/echo/x%20y/./z/../w?q=1&r"
    assert f["query"] == "q=1&r"
    assert f["verb"] == "4" and f["version"] == "1.1" and f["context"] == "1"
    assert f["known.28"] == f"{HOST}:{server.port}"
    assert f["known.25"] == "a=1"
    assert f["unknown.X-Custom"] == "v1"
    assert f["remote"].startswith("127.0.0.1:") and f["local"] == f"127.0.0.1:{server.port}"
    assert f["secure"] == "0" and f["more_body"] == "0" and f["body_end"] == "38"
    first = f["connection"]
    ids = set()
    for method in ("POST", "MKCALENDAR", "HEAD", "GET"):
        c.request(method, "/t/echo", body=b"abc" if method == "POST" else None)
        r = c.getresponse()
        body = r.read()
        if method == "HEAD":
            assert body == b"" and int(r.getheader("Content-Length")) > 0
            continue
        f = fields(body)
        ids.add(f["connection"])
        if method == "POST":
            assert f["body"] == "abc" and f["more_body"] == "1" and f["verb"] == "6"
        if method == "MKCALENDAR":
            assert f["verb"] == "1" and f["unknown_verb"] == "MKCALENDAR"
    assert ids == {first}
    c.close()


def test_curl_get_post_and_large_bodies(server, tmp_path):
    url = f"http://{HOST}:{server.port}/t/echo"
    out = subprocess.run(["curl", "-s", url], capture_output=True, timeout=30).stdout
    assert fields(out)["verb"] == "4"
    blob = os.urandom(300_000)
    p = tmp_path / "blob"
    p.write_bytes(blob)
    for extra in ([], ["-H", "Transfer-Encoding: chunked"], ["-H", "Expect: 100-continue"]):
        out = subprocess.run(["curl", "-s", "--data-binary", f"@{p}", *extra, url],
                             capture_output=True, timeout=30).stdout
        assert fields(out)["body_length"] == str(len(blob))
        assert out.split(b"\nbody=", 1)[1][:-1] == blob
    big = subprocess.run(["curl", "-s", f"http://{HOST}:{server.port}/t/big?n=5000000"],
                         capture_output=True, timeout=60).stdout
    assert len(big) == 5_000_000


def test_pipelined_requests_answered_in_order(server):
    reqs = (b"GET /t/sleep?ms=300 HTTP/1.1\r\nHost: a\r\n\r\n"
            b"GET /t/echo?n=2 HTTP/1.1\r\nHost: a\r\n\r\n"
            b"POST /t/echo?n=3 HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nxyz"
            b"GET /t/echo?n=4 HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(reqs)
        st, _, body, rest = read_response(s)
        assert body == b"slept ms=300"
        answers = []
        for _ in range(3):
            # Put back what the previous read took too much.
            st, h, body, rest = read_from(s, rest)
            answers.append(fields(body))
        assert [a["query"] for a in answers] == ["n=2", "n=3", "n=4"]
        assert answers[1]["body"] == "xyz"
        assert len({a["connection"] for a in answers}) == 1
        assert closed(s)


def read_from(sock, pending):
    class Prefixed:
        def __init__(self):
            self.buf = pending

        def recv(self, n):
            if self.buf:
                b, self.buf = self.buf, b""
                return b
            return sock.recv(n)

    return read_response(Prefixed())


def test_chunked_upload_and_100_continue(server):
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(b"PUT /t/echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
                  b"5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n")
        st, _, body, rest = read_response(s)
        f = fields(body)
        assert f["body"] == "hello world" and f["more_body"] == "1"
        s.sendall(b"POST /t/echo HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\n"
                  b"Content-Length: 4\r\n\r\n")
        st, _, _, rest = read_from(s, rest)
        assert st == 100
        s.sendall(b"data")
        st, _, body, rest = read_from(s, rest)
        assert st == 200 and fields(body)["body"] == "data"


def test_unread_body_is_drained_or_connection_closed(server):
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(b"POST /t/noread HTTP/1.1\r\nHost: a\r\nContent-Length: 5000\r\n\r\n" +
                  b"z" * 5000 + b"GET /t/echo?after HTTP/1.1\r\nHost: a\r\n\r\n")
        st, _, body, rest = read_response(s)
        assert body == b"ok"
        st, _, body, rest = read_from(s, rest)
        assert fields(body)["query"] == "after"
    # The handler sees the request once the first 64 KiB of its body are in;
    # far more than a drain's worth is left then.
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(b"POST /t/noread HTTP/1.1\r\nHost: a\r\nContent-Length: 500000\r\n\r\n" +
                  b"z" * 70000)
        st, h, body, _ = read_response(s)
        assert body == b"ok"
        assert closed(s)


def test_disconnect_notification(server):
    a = http.client.HTTPConnection(HOST, server.port, timeout=10)
    a.request("GET", "/t/watch")
    conn_id = a.getresponse().read().decode()
    b = http.client.HTTPConnection(HOST, server.port, timeout=10)
    b.request("GET", "/t/disconnects")
    assert conn_id not in b.getresponse().read().decode().split()
    a.close()
    seen = False
    for _ in range(100):
        b.request("GET", "/t/disconnects")
        if conn_id in b.getresponse().read().decode().split():
            seen = True
            break
        time.sleep(0.05)
    assert seen
    b.close()


MALFORMED = [
    (b"GARBAGE\r\n\r\n", 400),
    (b"GET /t/echo HTTP/1.1\r\n\r\n", 400),  # no Host
    (b"GET /t/echo HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400),
    (b"POST /t/echo HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", 400),
    (b"POST /t/echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", 400),
    (b"POST /t/echo HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", 400),
    (b"POST /t/echo HTTP/1.1\r\nHost: a\r\nContent-Length: 5x\r\n\r\n", 400),
    (b"POST /t/echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n", 400),
    (b"POST /t/echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n", 501),
    (b"POST /t/echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 501),
    (b"GET /t/echo HTTP/2.0\r\nHost: a\r\n\r\n", 505),
    (b"GET /t/echo HTTP/1.2\r\nHost: a\r\n\r\n", 505),
    (b"GET /t/echo HTTP/0.9\r\nHost: a\r\n\r\n", 505),
    (b"GET /t/echo HTTP/1.1\r\nHost: a\r\nX-Big: " + b"a" * 140_000 + b"\r\n\r\n", 431),
    (b"GET /t/" + b"a" * 140_000 + b" HTTP/1.1\r\nHost: a\r\n\r\n", 431),
    (b"GET /t/../../etc/passwd HTTP/1.1\r\nHost: a\r\n\r\n", 400),
    (b"GET /t/%2e%2e/%2E%2E/x HTTP/1.1\r\nHost: a\r\n\r\n", 400),
    (b"GET /t/..%5c..%5cx HTTP/1.1\r\nHost: a\r\n\r\n", 400),
    (b"GET /t/a%00b HTTP/1.1\r\nHost: a\r\n\r\n", 400),
    (b"GET /t/a%zz HTTP/1.1\r\nHost: a\r\n\r\n", 400),
    (b"GET /t/a%4 HTTP/1.1\r\nHost: a\r\n\r\n", 400),
    (b"GET t/echo HTTP/1.1\r\nHost: a\r\n\r\n", 400),
]


@pytest.mark.parametrize("data,status", MALFORMED)
def test_malformed_requests(server, data, status):
    out = raw(server.port, data)
    assert out.startswith(f"HTTP/1.1 {status} ".encode()), out[:200]
    assert b"Connection: close" in out.split(b"\r\n\r\n")[0]


def test_paths_are_canonical(server):
    cases = [
        (b"/t/echo/a\\b/%2e/c%2F..%2fd", "/t/echo/a/b/d"),
        (b"/t/echo/%C3%A9t%C3%A9", "/t/echo/\u00e9t\u00e9"),
        (b"/t/echo/%C0%AF", "/t/echo/\ufffd"),  # overlong "/" is no separator
        (b"/t/echo/x/..", "/t/echo/"),
        (b"/t/echo//y", "/t/echo//y"),
        (b"http://Example.COM:81/t/echo/abs?z", "/t/echo/abs"),
    ]
    for target, path in cases:
        out = raw(server.port, b"GET " + target + b" HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
        f = fields(out.split(b"\r\n\r\n", 1)[1])
        assert f["abs_path"] == path, target
    out = raw(server.port, b"GET http://Example.COM:81/t/echo?z HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
    f = fields(out.split(b"\r\n\r\n", 1)[1])
    assert f["host"] == "example.com" and f["query"] == "z"


def test_prefix_routing(server):
    def context(path, host):
        out = raw(server.port, b"GET " + path + b" HTTP/1.1\r\nHost: " + host +
                  b"\r\nConnection: close\r\n\r\n")
        return out.split(b"\r\n", 1)[0], fields(out.split(b"\r\n\r\n", 1)[1]).get("context")

    assert context(b"/t/x", b"a")[1] == "1"
    assert context(b"/t/api/x", b"a")[1] == "2"
    assert context(b"/T/API", b"a")[1] == "2"
    assert context(b"/t/api/v2/x", f"localhost:{server.port}".encode())[1] == "3"
    assert context(b"/t/api/v2/x", b"127.0.0.1")[1] == "2"
    status, _ = context(b"/elsewhere", b"a")
    assert status.startswith(b"HTTP/1.1 404")
    # The service's own 404 keeps the connection.
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(b"GET /nope HTTP/1.1\r\nHost: a\r\n\r\nGET /t/echo HTTP/1.1\r\nHost: a\r\n\r\n")
        st, _, _, rest = read_response(s)
        assert st == 404
        st, _, _, _ = read_from(s, rest)
        assert st == 200


def test_response_framing(server):
    def get(path, method=b"GET", version=b"1.1"):
        with socket.create_connection((HOST, server.port), timeout=10) as s:
            s.sendall(method + b" " + path + b" HTTP/" + version + b"\r\nHost: a\r\n\r\n")
            head_only = method == b"HEAD"
            try:
                st, h, body, rest = read_response(s, head_only)
            except EOFError as e:
                return None, None, e.args[0], True
            # A second request shows whether the connection stayed.
            try:
                s.sendall(b"GET /t/echo HTTP/1.1\r\nHost: a\r\n\r\n")
                st2, _, _, _ = read_from(s, rest)
                alive = st2 == 200
            except (EOFError, ConnectionError):
                alive = False
            return st, h, body, alive

    st, h, body, alive = get(b"/t/chunked")
    assert h["transfer-encoding"] == "chunked" and alive
    st, h, body, alive = get(b"/t/status204")
    assert st == 204 and body == b"" and alive
    st, h, body, alive = get(b"/t/status304")
    assert st == 304 and alive
    st, h, body, alive = get(b"/t/echo", method=b"HEAD")
    assert st == 200 and int(h["content-length"]) > 0 and alive
    st, h, body, alive = get(b"/t/empty")
    assert h["content-length"] == "0" and alive
    st, h, body, alive = get(b"/t/disconnect")
    assert body == b"bye" and not alive
    st, h, body, alive = get(b"/t/crlf")
    assert st == 500 and body == b"refused 87" and "injected" not in h
    out = raw(server.port, b"GET /t/nolength HTTP/1.1\r\nHost: a\r\n\r\n")
    assert out.endswith(b"\r\n\r\nabcdef") and b"Connection: close" in out
    out = raw(server.port, b"GET /t/short HTTP/1.1\r\nHost: a\r\n\r\n")
    assert out.endswith(b"\r\n\r\n01234")
    out = raw(server.port, b"GET /t/long HTTP/1.1\r\nHost: a\r\n\r\n")
    assert out.endswith(b"\r\n\r\n012")
    # HTTP/1.0 without keep-alive: closed after the answer.
    out = raw(server.port, b"GET /t/noread HTTP/1.0\r\n\r\n")
    assert out.endswith(b"ok") and b"Connection: close" in out


def test_slow_clients_are_timed_out(server):
    for data in (b"", b"GET /t/echo HTTP/1.1\r\nHo",
                 b"POST /t/echo HTTP/1.1\r\nHost: a\r\nContent-Length: 100\r\n\r\n0123456789"):
        with socket.create_connection((HOST, server.port), timeout=15) as s:
            s.sendall(data)
            assert closed(s, timeout=15)
    # A keep-alive connection is closed after the idle time-out.
    with socket.create_connection((HOST, server.port), timeout=15) as s:
        s.sendall(b"GET /t/noread HTTP/1.1\r\nHost: a\r\n\r\n")
        read_response(s)
        assert closed(s, timeout=15)


def test_tls(server, data_dir):
    cert = os.path.join(data_dir, "khttp_certificate.pem")
    key = os.path.join(data_dir, "khttp_private_key.pem")
    assert os.path.exists(cert)
    assert stat.S_IMODE(os.stat(key).st_mode) == 0o600
    out = subprocess.run(["curl", "-sk", f"https://{HOST}:{server.tls_port}/t/echo?s"],
                         capture_output=True, timeout=30).stdout
    f = fields(out)
    assert f["secure"] == "1" and f["query"] == "s" and f["context"] == "10"
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    with socket.create_connection((HOST, server.tls_port), timeout=10) as raw_sock:
        with ctx.wrap_socket(raw_sock) as s:
            assert s.version() in ("TLSv1.2", "TLSv1.3")
            for i in range(2):
                s.sendall(b"POST /t/echo HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nhi")
                st, _, body, rest = read_response(s)
                assert fields(body)["body"] == "hi"
    # Plain HTTP on the TLS port and garbage in the handshake end the
    # connection without an HTTP answer.
    for junk in (b"GET /t/echo HTTP/1.1\r\nHost: a\r\n\r\n", os.urandom(3000),
                 b"\x16\x03\x01\x00\x05hello"):
        with socket.create_connection((HOST, server.tls_port), timeout=10) as s:
            s.sendall(junk)
            s.settimeout(15)
            got = b""
            try:
                while len(got) < 100_000:
                    d = s.recv(4096)
                    if not d:
                        break
                    got += d
            except ConnectionResetError:
                pass
            assert b"HTTP/" not in got and b"abs_path" not in got
    # A half-open handshake is timed out.
    with socket.create_connection((HOST, server.tls_port), timeout=15) as s:
        assert closed(s, timeout=15)
    out = subprocess.run(["curl", "-sk", f"https://{HOST}:{server.tls_port}/t/echo"],
                         capture_output=True, timeout=30).stdout
    assert fields(out)["secure"] == "1"


class Carry:
    """A socket whose first receive returns what came with an earlier answer."""

    def __init__(self, sock):
        self.sock, self.buf = sock, b""

    def recv(self, n):
        if self.buf:
            out, self.buf = self.buf, b""
            return out
        return self.sock.recv(n)


def tls_connect(port, timeout=15):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx.wrap_socket(socket.create_connection((HOST, port), timeout=timeout))


def test_tls_streams(server):
    # Pipelined requests, a body among them, answered in order. Each request
    # is a record of its own, and the later ones wait for the first one's
    # acknowledgement, so several records come in one read.
    with tls_connect(server.tls_port) as s:
        for r in (b"GET /t/echo?1 HTTP/1.1\r\nHost: a\r\n\r\n",
                  b"POST /t/echo?2 HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello",
                  b"GET /t/chunked HTTP/1.1\r\nHost: a\r\n\r\n",
                  b"GET /t/echo?4 HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"):
            s.sendall(r)
        c = Carry(s)
        _, _, body, c.buf = read_response(c)
        assert fields(body)["query"] == "1"
        _, _, body, c.buf = read_response(c)
        assert fields(body)["query"] == "2" and fields(body)["body"] == "hello"
        _, _, body, c.buf = read_response(c)
        assert body == b"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"
        _, _, body, c.buf = read_response(c)
        assert fields(body)["query"] == "4" and c.buf == b""
        assert closed(s)
    # A large request body, read by a server thread as it comes.
    payload = os.urandom(300_000).replace(b"\n", b" ")
    with tls_connect(server.tls_port) as s:
        s.sendall(b"POST /t/echo HTTP/1.1\r\nHost: a\r\nContent-Length: %d\r\n\r\n"
                  % len(payload) + payload)
        st, _, body, _ = read_response(s)
        assert st == 200 and b"\nbody=" + payload + b"\n" in body
    # A client that goes away in the middle of an answer far too large to
    # finish is noticed while the answer is being sent.
    with tls_connect(server.tls_port) as s:
        s.sendall(b"GET /t/watch HTTP/1.1\r\nHost: a\r\n\r\n")
        conn_id = read_response(s)[2].decode()
        s.sendall(b"GET /t/big?n=100000000000 HTTP/1.1\r\nHost: a\r\n\r\n")
        got = 0
        while got < 200_000:
            got += len(s.recv(65536))
    seen = False
    with tls_connect(server.tls_port) as s:
        for _ in range(100):
            s.sendall(b"GET /t/disconnects HTTP/1.1\r\nHost: a\r\n\r\n")
            if conn_id in read_response(s)[2].decode().split():
                seen = True
                break
            time.sleep(0.05)
    assert seen


def test_tls_slow_reader_holds_up_no_one(data_dir):
    # The idle and send time-outs are far beyond any wait here, so that a
    # loaded machine cannot turn the client's pause into a closed connection.
    s_ = Server(data_dir, extra=["--idle", "60000", "--body", "60000"])
    try:
        # A large answer to a client that does not read holds up no one else, and
        # arrives whole once the client reads.
        size = 6_000_000
        slow = tls_connect(s_.tls_port)
        slow.sendall(b"GET /t/big?n=%d HTTP/1.1\r\nHost: a\r\n\r\n" % size)
        time.sleep(0.3)
        with tls_connect(s_.tls_port) as s:
            for i in range(5):
                s.sendall(b"GET /t/echo?%d HTTP/1.1\r\nHost: a\r\n\r\n" % i)
                assert fields(read_response(s)[2])["query"] == str(i)
        st, _, body, rest = read_response(slow)
        assert st == 200 and len(body) == size and body.count(b"x") == size and rest == b""
        slow.sendall(b"GET /t/echo?after HTTP/1.1\r\nHost: a\r\n\r\n")
        assert fields(read_response(slow)[2])["query"] == "after"
        slow.close()
    finally:
        assert s_.stop() == 0


def test_tls_close_notify_with_the_last_requests(data_dir):
    # Requests and the client's close_notify in one segment: the requests are
    # answered, then the connection ends, as with a plain stream's end (the
    # idle time-out is far beyond the wait).
    s = Server(data_dir, extra=["--idle", "60000"])
    try:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = ctx.wrap_bio(incoming, outgoing)
        with socket.create_connection((HOST, s.tls_port), timeout=15) as sock:
            while True:
                try:
                    tls.do_handshake()
                    break
                except ssl.SSLWantReadError:
                    sock.sendall(outgoing.read())
                    d = sock.recv(65536)
                    assert d
                    incoming.write(d)
            for i in (1, 2):
                tls.write(b"GET /t/echo?%d HTTP/1.1\r\nHost: a\r\n\r\n" % i)
            try:
                tls.unwrap()
            except ssl.SSLWantReadError:
                pass
            sock.sendall(outgoing.read())
            got = b""
            while d := sock.recv(65536):
                incoming.write(d)
                try:
                    while piece := tls.read(65536):
                        got += piece
                except (ssl.SSLWantReadError, ssl.SSLEOFError, ssl.SSLZeroReturnError):
                    pass
        c = Carry(None)
        c.buf = got
        _, _, body, c.buf = read_response(c)
        assert fields(body)["query"] == "1"
        _, _, body, c.buf = read_response(c)
        assert fields(body)["query"] == "2" and c.buf == b""
    finally:
        assert s.stop() == 0


def test_certificate_is_kept_across_starts(data_dir):
    cert = os.path.join(data_dir, "khttp_certificate.pem")
    s = Server(data_dir)
    try:
        before = hashlib.sha256(open(cert, "rb").read()).hexdigest()
    finally:
        assert s.stop() == 0
    s = Server(data_dir)
    try:
        assert hashlib.sha256(open(cert, "rb").read()).hexdigest() == before
    finally:
        assert s.stop() == 0


def test_ipv4_mapped_addresses_reported_as_ipv4(data_dir):
    s = Server(data_dir, listen="::ffff:127.0.0.1")
    try:
        out = raw(s.port, b"GET /t/echo HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
        f = fields(out.split(b"\r\n\r\n", 1)[1])
        assert f["remote"].startswith("127.0.0.1:") and f["local"].startswith("127.0.0.1:")
    finally:
        assert s.stop() == 0


def test_queue_close_with_open_connections(data_dir):
    s = Server(data_dir)
    socks = []
    try:
        for _ in range(5):
            c = socket.create_connection((HOST, s.port), timeout=10)
            c.sendall(b"GET /t/noread HTTP/1.1\r\nHost: a\r\n\r\n")
            read_response(c)
            socks.append(c)
        slow = socket.create_connection((HOST, s.port), timeout=10)
        slow.sendall(b"POST /t/echo HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\nab")
        socks.append(slow)
    finally:
        assert s.stop() == 0
        for c in socks:
            c.close()


def openssl_client(port, *args):
    r = subprocess.run(["openssl", "s_client", "-connect", f"{HOST}:{port}", *args],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    return (r.stdout + r.stderr).decode("latin-1")


def test_tls_versions_and_suites(server):
    # The client really offers TLS 1.1 (security level 0 lets it); the server
    # answers with a protocol alert. A client that refused on its own would
    # print "no protocols available" and no alert.
    out = openssl_client(server.tls_port, "-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0")
    assert "alert protocol version" in out, out
    # TLS 1.2 offers authenticated encryption only: a CBC suite is refused...
    out = openssl_client(server.tls_port, "-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA")
    assert "Cipher is (NONE)" in out, out
    # ...and the server's order wins over the client's.
    out = openssl_client(server.tls_port, "-tls1_2", "-cipher",
                         "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256")
    assert "Cipher is ECDHE-ECDSA-AES128-GCM-SHA256" in out, out
    out = openssl_client(server.tls_port, "-tls1_3")
    assert "Protocol  : TLSv1.3" in out or "New, TLSv1.3" in out, out


def test_blank_lines_before_a_request_line_are_ignored(server):
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(b"\r\n\r\nGET /t/echo?a HTTP/1.1\r\nHost: a\r\n\r\n")
        st, _, body, rest = read_response(s)
        assert st == 200 and fields(body)["query"] == "a"
        # A client that ends a body with an extra line end.
        s.sendall(b"POST /t/echo?b HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nhi\r\n\n"
                  b"GET /t/echo?c HTTP/1.1\r\nHost: a\r\n\r\n")
        st, _, body, rest = read_from(s, rest)
        assert st == 200 and fields(body)["body"] == "hi"
        st, _, body, rest = read_from(s, rest)
        assert st == 200 and fields(body)["query"] == "c"


def test_pipelined_requests_before_half_close_are_all_answered(server):
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(b"GET /t/sleep?ms=200 HTTP/1.1\r\nHost: a\r\n\r\n" +
                  b"".join(b"GET /t/echo?n=%d HTTP/1.1\r\nHost: a\r\n\r\n" % i for i in range(3)))
        s.shutdown(socket.SHUT_WR)
        st, _, body, rest = read_response(s)
        assert body == b"slept ms=200"
        queries = []
        for _ in range(3):
            st, _, body, rest = read_from(s, rest)
            queries.append(fields(body)["query"])
        assert queries == ["n=0", "n=1", "n=2"]
        assert closed(s)


@pytest.mark.parametrize("requests", [1, 3])
def test_end_that_comes_with_the_requests_closes_after_the_answers(data_dir, requests):
    # Corked, the requests and the end of the client's sending leave in one
    # segment: the read that takes the bytes is the only news of the end.
    # The idle time-out is far beyond the wait for the close, which must
    # come from that end.
    server = Server(data_dir, extra=["--idle", "120000"])
    try:
        end_with_requests(server.port, requests)
    finally:
        assert server.stop() == 0


def end_with_requests(port, requests):
    with socket.create_connection((HOST, port), timeout=10) as s:
        # A first exchange leaves the server waiting on a connection it has
        # read to the end.
        s.sendall(b"GET /t/echo HTTP/1.1\r\nHost: a\r\n\r\n")
        st, _, _, rest = read_response(s)
        assert st == 200 and rest == b""
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)
        s.sendall(b"".join(b"GET /t/echo?n=%d HTTP/1.1\r\nHost: a\r\n\r\n" % i
                           for i in range(requests)))
        s.shutdown(socket.SHUT_WR)
        rest = b""
        for i in range(requests):
            st, _, body, rest = read_from(s, rest)
            assert st == 200 and fields(body)["query"] == "n=%d" % i
        assert rest == b"" and closed(s, timeout=5)


@pytest.mark.parametrize("head", [
    # One field too large for the parser to store.
    b"GET /t/echo HTTP/1.1\r\nHost: a\r\nX-Big: " + b"a" * 100_000 + b"\r\n\r\n",
    # Whole lines below the limit, then an unfinished line that crosses it.
    b"GET /t/echo HTTP/1.1\r\nHost: a\r\n" +
    b"".join(b"X-%d: %s\r\n" % (i, b"c" * 1000) for i in range(120)) + b"X-Last: " + b"d" * 20_000,
])
def test_oversized_head_is_refused_at_once(server, head):
    # The client keeps its side open: the answer may not wait for the end of
    # the line nor come from the head time-out (which closes silently).
    with socket.create_connection((HOST, server.port), timeout=10) as s:
        s.sendall(head)
        got = b""
        try:
            while True:
                d = s.recv(65536)
                if not d:
                    break
                got += d
        except ConnectionResetError:
            pass
    assert got.startswith(b"HTTP/1.1 431 "), got[:100]


@pytest.mark.parametrize("data,status", [
    (b"HEAD /t/echo HTTP/2.0\r\nHost: a\r\n\r\n", 505),
    (b"HEAD /t/echo HTTP/1.1\r\n\r\n", 400),
    (b"HEAD /t/echo HTTP/1.1\r\nHost: a\r\nX-Big: " + b"a" * 140_000 + b"\r\n\r\n", 431),
])
def test_refusals_of_head_requests_carry_no_body(server, data, status):
    out = raw(server.port, data)
    head, _, body = out.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 %d " % status) and body == b"", out[:300]
