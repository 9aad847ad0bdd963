"""Forwarding without a thread per request: many requests waiting on a slow
upstream at once take no thread each, a client that reads slowly holds the
upstream back instead of filling the server's memory, and a client that
leaves mid-answer ends the upstream transfer."""

import base64
import hashlib
import http.server
import os
import socket
import threading
import time

import pytest

from tq_site import HOST, Site, free_port

BIG = 96 * 1024 * 1024
PIECE = bytes(range(256)) * 256  # 64 KiB


class Upstream:
    """Counts what it wrote of /big and notes when a reader of it went away."""

    def __init__(self):
        self.release = threading.Event()
        self.waiting = 0
        self.sent = 0
        self.hits = 0
        self.aborted = threading.Event()
        self.lock = threading.Lock()
        up = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def do_GET(self):
                with up.lock:
                    up.hits += 1
                if self.path == "/slow":
                    with up.lock:
                        up.waiting += 1
                    up.release.wait(60)
                    body = b"slow " + self.headers.get("X-N", "").encode()
                elif self.path == "/big":
                    self.send_response(200)
                    self.send_header("Content-Length", str(BIG))
                    self.end_headers()
                    try:
                        for _ in range(BIG // len(PIECE)):
                            self.wfile.write(PIECE)
                            with up.lock:
                                up.sent += len(PIECE)
                    except OSError:
                        up.aborted.set()
                    return
                else:
                    body = b"none"
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        class Server(http.server.ThreadingHTTPServer):
            # The tests open a hundred connections at once: a short backlog
            # would leave some waiting for SYN retries.
            request_queue_size = 512

        self.server = Server((HOST, 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def upstream():
    u = Upstream()
    yield u
    u.stop()


@pytest.fixture
def site(tmp_path):
    proxy_port = free_port()
    s = Site(str(tmp_path), param={"proxy_port": proxy_port, "proxy_timeout": 30})
    s.proxy_port = proxy_port
    s.start()
    yield s
    assert s.stop() == 0


def open_get(site, upstream, path, extra=""):
    s = socket.create_connection((HOST, site.proxy_port), timeout=30)
    s.sendall(("GET %s HTTP/1.1\r\nHost: %s:%d\r\n%s\r\n" %
               (path, HOST, upstream.port, extra)).encode())
    return s


def read_head(s):
    data = b""
    while b"\r\n\r\n" not in data:
        got = s.recv(4096)
        assert got, "connection ended before the head"
        data += got
    head, rest = data.split(b"\r\n\r\n", 1)
    return head.decode("latin-1"), rest


def read_answer(s):
    head, body = read_head(s)
    length = int([l.split(":", 1)[1] for l in head.split("\r\n")
                  if l.lower().startswith("content-length:")][0])
    while len(body) < length:
        got = s.recv(65536)
        assert got, "answer cut short"
        body += got
    return head, body


def threads_of(site):
    return len(os.listdir("/proc/%d/task" % site.proc.pid))


def wait_until(what, seconds=20):
    for _ in range(int(seconds * 10)):
        if what():
            return True
        time.sleep(0.1)
    return what()


def settled(read, seconds=20):
    """The value of read once it stopped changing for a second."""
    last, same = read(), 0
    for _ in range(int(seconds * 10)):
        time.sleep(0.1)
        now = read()
        same = same + 1 if now == last else 0
        last = now
        if same >= 10:
            break
    return last


def test_requests_waiting_on_a_slow_upstream_take_no_thread_each(site, upstream):
    before = threads_of(site)
    many = 120
    socks = [open_get(site, upstream, "/slow", "X-N: %d\r\n" % i) for i in range(many)]
    assert wait_until(lambda: upstream.waiting == many), upstream.waiting
    # Every request now waits on the upstream at the same time.
    assert threads_of(site) < before + 20, (before, threads_of(site))
    upstream.release.set()
    for i, s in enumerate(socks):
        head, body = read_answer(s)
        assert head.startswith("HTTP/1.1 200"), head
        assert body == b"slow %d" % i
        s.close()


def test_a_slow_reader_holds_the_upstream_back_and_gets_every_byte(site, upstream):
    s = open_get(site, upstream, "/big")
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    head, body = read_head(s)
    assert head.startswith("HTTP/1.1 200"), head
    # The client stops reading: what the upstream could write is bounded by
    # the socket buffers and the little the proxy holds, not the answer.
    sent = settled(lambda: upstream.sent)
    assert sent < 32 * 1024 * 1024, sent
    digest = hashlib.md5(body)
    got = len(body)
    while got < BIG:
        piece = s.recv(1 << 20)
        assert piece, "answer cut short at %d" % got
        digest.update(piece)
        got += len(piece)
    s.close()
    expected = hashlib.md5(PIECE * (BIG // len(PIECE))).hexdigest()
    assert digest.hexdigest() == expected


def test_a_client_that_leaves_mid_answer_ends_the_upstream_transfer(site, upstream):
    s = open_get(site, upstream, "/big")
    head, _ = read_head(s)
    assert head.startswith("HTTP/1.1 200"), head
    settled(lambda: upstream.sent)
    s.close()
    assert upstream.aborted.wait(20), upstream.sent
    assert upstream.sent < BIG
    # The proxy goes on serving.
    s = open_get(site, upstream, "/other")
    head, body = read_answer(s)
    assert head.startswith("HTTP/1.1 200") and body == b"none"
    s.close()



def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


def test_a_login_the_root_asks_for_decides_who_forwards_on_the_loop(upstream, tmp_path):
    """Anonymous, the user the root names, a second user and a wrong password
    on the loop road: only the named user reaches the upstream."""
    proxy_port = free_port()
    s = Site(str(tmp_path), param={"proxy_port": proxy_port, "proxy_timeout": 30},
             directives="AuthType Basic\nAuthName Forward\nAuthUserFile /secret/users.txt\n"
                        "Require user alice\n")
    s.proxy_port = proxy_port
    s.put("secret/.htaccess", "Require all denied\n")
    s.put("secret/users.txt", '"alice","secret"\r\n"bob","builder"\r\n')
    s.start()
    try:
        for login, status, hits in ((None, "401", 0), (basic("alice", "secret"), "200", 1),
                                    (basic("bob", "builder"), "401", 1),
                                    (basic("alice", "wrong"), "401", 1)):
            extra = "Authorization: %s\r\n" % login if login else ""
            c = open_get(s, upstream, "/none", extra)
            head, _ = read_answer(c)
            c.close()
            assert head.split("\r\n")[0].split(" ")[1] == status, (login, head)
            assert upstream.hits == hits, login
    finally:
        assert s.stop() == 0


def test_the_root_access_file_still_decides_who_forwards_on_the_loop(upstream, tmp_path):
    proxy_port = free_port()
    s = Site(str(tmp_path), param={"proxy_port": proxy_port, "proxy_timeout": 30},
             directives="Require ip 10.9.9.9\n")
    s.proxy_port = proxy_port
    s.start()
    try:
        c = open_get(s, upstream, "/none")
        head, _ = read_answer(c)
        c.close()
        assert head.split("\r\n")[0].split(" ")[1] == "403", head
        assert upstream.hits == 0
    finally:
        assert s.stop() == 0
