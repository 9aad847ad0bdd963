"""End-to-end tests of where requests run: quick answers on the event loop
that read them, work that may block (a CGI program, a body, a large file to a
slow client) on pool threads, and large files sent straight from their
descriptor. The server runs on one core (one event loop), so a request that
held the loop would hold up every other one; such a hold shows as a client
time-out, never as a measured time. The real binary on loopback."""

import hashlib
import os
import shutil
import socket
import ssl
import tempfile
import threading

import pytest

from tq_site import HOST, curl, request
from test_main_road import RoadSite, read_response

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler cgi-script .cgi
"""

# Waits (bounded) for the gate file the test creates, then answers.
GATE_CGI = """#!/bin/sh
i=0
while [ ! -e "$GATE" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done
printf 'Content-Type: text/plain\\r\\n\\r\\nopened'
"""

def one_core():
    return {min(os.sched_getaffinity(0))}


@pytest.fixture
def site():
    # CGI children run as "nobody" when the server is root: a tree readable
    # by everybody.
    root = tempfile.mkdtemp(prefix="tq_loop_", dir="/tmp")
    os.chmod(root, 0o755)
    s = RoadSite(root, directives=DIRECTIVES)
    yield s
    s.stop()
    shutil.rmtree(root, ignore_errors=True)


def readable_tree(root):
    for dirpath, dirs, files in os.walk(root):
        os.chmod(dirpath, 0o755)
        for f in files:
            os.chmod(os.path.join(dirpath, f), 0o755)


def send_request(sock, path, method="GET", extra=b""):
    sock.sendall(b"%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (method.encode(), path.encode(),
                                                                 extra))


def test_a_blocked_cgi_holds_up_no_quick_request_on_one_core(site):
    gate = os.path.join(site.root, "gate")
    site.put("wait.cgi", GATE_CGI.replace("$GATE", gate))
    site.put("small.txt", b"small\n")
    site.put("err/.htaccess", b"Require all denied\n")
    site.put("err/x.txt", b"x\n")
    readable_tree(site.root)
    site.start(cores=one_core())
    blocked = socket.create_connection((HOST, site.port), timeout=90)
    try:
        send_request(blocked, "/wait.cgi")
        # The CGI waits for the gate; these must all be answered meanwhile.
        for i in range(50):
            status, _, body = request(site, "GET", "/small.txt?n=%d" % i)
            assert (status, body) == (200, b"small\n")
        # Error answers and redirects are quick too.
        assert request(site, "GET", "/err/x.txt")[0] == 403
        assert request(site, "GET", "/nothing-here.txt")[0] == 404
        status, headers, _ = request(site, "GET", "/err")
        assert status in (301, 302, 403)
        with open(gate, "w"):
            pass
        status, _, body, rest = read_response(blocked)
        assert (status, body, rest) == (200, b"opened", b"")
    finally:
        blocked.close()


def test_slow_client_of_a_large_file_and_fifty_quick_requests(site):
    big = os.urandom(6 * 1024 * 1024)
    site.put("big.bin", big)
    site.put("small.txt", b"small\n")
    site.start(cores=one_core())
    slow = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    slow.settimeout(60)
    slow.connect((HOST, site.port))
    done = threading.Event()
    taken = []

    def read_slowly():
        # A slow client, not a dead one: a little now and then (the server
        # cuts a client that takes nothing for a long while).
        try:
            while not done.is_set():
                piece = slow.recv(4096)
                if not piece:
                    break
                taken.append(piece)
                done.wait(0.02)
        except OSError:
            pass

    reader = threading.Thread(target=read_slowly)
    try:
        # Two large answers and a small one pipelined on the slow connection.
        slow.sendall(b"GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                     b"GET /small.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                     b"GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=100-\r\n\r\n")
        reader.start()
        # The file is still going out to the slow client while these are
        # answered.
        for i in range(50):
            status, _, body = request(site, "GET", "/small.txt?q=%d" % i)
            assert (status, body) == (200, b"small\n")
        done.set()
        reader.join(timeout=60)
        assert not reader.is_alive()
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        status, _, body, rest = read_response(slow, b"".join(taken))
        assert status == 200 and hashlib.sha256(body).digest() == hashlib.sha256(big).digest()
        status, _, body, rest = read_response(slow, rest)
        assert (status, body) == (200, b"small\n")
        status, headers, body, rest = read_response(slow, rest)
        assert status == 206 and body == big[100:] and rest == b""
        assert headers["content-range"] == "bytes 100-%d/%d" % (len(big) - 1, len(big))
    finally:
        done.set()
        slow.close()
        if reader.is_alive():
            reader.join(timeout=30)


def test_pipelining_across_the_loop_and_the_pool(site):
    site.put("a.txt", b"aaaa\n")
    site.put("mid.bin", bytes(range(256)) * 1024)  # sent from its descriptor
    site.put("wait.cgi", GATE_CGI.replace("$GATE", "/"))  # answers at once
    readable_tree(site.root)
    site.start(cores=one_core())
    with socket.create_connection((HOST, site.port), timeout=30) as s:
        for _ in range(3):  # later rounds on the kept-alive connection
            s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"GET /wait.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"GET /mid.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\nxy"
                      b"HEAD /mid.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"GET /mid.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=10-19\r\n\r\n"
                      b"GET /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            rest = b""
            answers = []
            for i in range(7):
                if i == 4:  # HEAD: a length, no body
                    while b"\r\n\r\n" not in rest:
                        rest += s.recv(65536)
                    head, rest = rest.split(b"\r\n\r\n", 1)
                    assert head.startswith(b"HTTP/1.1 200")
                    assert b"\r\nContent-Length: %d\r\n" % (256 * 1024) in head
                    answers.append((200, b""))
                    continue
                status, headers, body, rest = read_response(s, rest)
                answers.append((status, body))
            assert answers[0] == (200, b"aaaa\n")
            assert answers[1] == (200, b"opened")
            assert answers[2] == (200, bytes(range(256)) * 1024)
            assert answers[5] == (206, bytes(range(10, 20)))
            assert answers[6] == (200, b"aaaa\n")
            assert rest == b""


def test_large_file_from_its_descriptor_with_ranges_and_head(site):
    data = os.urandom(3 * 1024 * 1024 + 17)
    site.put("f.bin", data)
    site.start()
    status, headers, body = request(site, "GET", "/f.bin")
    assert status == 200 and body == data
    assert headers["content-length"] == str(len(data))
    cases = [("bytes=0-0", data[0:1]), ("bytes=1000-200000", data[1000:200001]),
             ("bytes=-5000", data[-5000:]), ("bytes=%d-" % (len(data) - 70000), data[-70000:])]
    for rng, want in cases:
        status, headers, body = request(site, "GET", "/f.bin", {"Range": rng})
        assert (status, body) == (206, want), rng
        assert headers["content-length"] == str(len(want))
    status, headers, body = request(site, "HEAD", "/f.bin")
    assert (status, body) == (200, b"")
    assert headers["content-length"] == str(len(data))
    # Conditions still apply before any byte is sent.
    status, _, body = request(site, "GET", "/f.bin", {"If-None-Match": headers["etag"]}) \
        if "etag" in headers else (304, None, b"")
    assert status == 304 and body == b""
    # A file that changes between two requests is sent as it is now.
    data2 = os.urandom(2 * 1024 * 1024)
    site.put("f.bin", data2)
    assert request(site, "GET", "/f.bin")[2] == data2


def test_https_large_file_is_byte_exact(site):
    data = os.urandom(5 * 1024 * 1024 + 3)
    site.put("t.bin", data)
    site.start(cores=one_core())
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    with socket.create_connection((HOST, site.https_port), timeout=60) as raw_sock:
        with ctx.wrap_socket(raw_sock, server_hostname=HOST) as s:
            for path, extra, want, code in [
                    ("/t.bin", b"", data, 200),
                    ("/t.bin", b"Range: bytes=70000-4000000\r\n", data[70000:4000001], 206),
                    ("/t.bin", b"", data, 200)]:
                send_request(s, path, extra=extra)
                status, _, body, rest = read_response(s)
                assert status == code and rest == b""
                assert hashlib.sha256(body).digest() == hashlib.sha256(want).digest()
    r = curl("-k", "-o", "-", "https://%s:%d/t.bin" % (HOST, site.https_port))
    assert r.returncode == 0 and r.stdout == data
