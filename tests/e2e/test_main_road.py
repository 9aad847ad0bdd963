"""End-to-end tests of the request path's threads and caches: requests that
can block (a large file to a slow client) hold up no other request even with
one core, changes on disk are seen on the next request, pipelined requests
cross the short and the long path in order, and the access log stays whole
when its file cannot grow. The real binary on loopback; every wait bounded."""

import hashlib
import os
import re
import resource
import signal
import socket
import tempfile
import threading
import time

import pytest

from tq_site import HOST, Site, request


class RoadSite(Site):
    """A site whose program runs on the given cores, with SIGXFSZ ignored so a
    file-size limit makes writes fail instead of ending the program."""

    def start(self, cores=None):
        # The start itself is the site's: its ports are started again when
        # another process took them first.
        def prepare():
            if cores is not None:
                os.sched_setaffinity(0, cores)
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        super().start(preexec_fn=prepare, restore_signals=False)


@pytest.fixture
def site():
    with tempfile.TemporaryDirectory() as root:
        s = RoadSite(root)
        yield s
        s.stop()


def read_response(sock, pending=b""):
    """One response (Content-Length framing) and what was read beyond it."""
    buf = pending
    while b"\r\n\r\n" not in buf:
        d = sock.recv(65536)
        if not d:
            raise EOFError(buf)
        buf += d
    head, rest = buf.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = {k.strip().lower(): v.strip() for k, v in (l.split(":", 1) for l in lines[1:])}
    if headers.get("transfer-encoding", "").lower() == "chunked":
        body = b""
        while True:
            while b"\r\n" not in rest:
                rest += sock.recv(65536)
            size_line, rest = rest.split(b"\r\n", 1)
            n = int(size_line.split(b";")[0], 16)
            while len(rest) < n + 2:
                rest += sock.recv(65536)
            body, rest = body + rest[:n], rest[n + 2:]
            if n == 0:
                return status, headers, body, rest
    n = 0 if status in (204, 304) else int(headers.get("content-length", "0"))
    while len(rest) < n:
        d = sock.recv(65536)
        if not d:
            raise EOFError(rest)
        rest += d
    return status, headers, rest[:n], rest[n:]


def test_slow_download_holds_up_no_other_request_on_one_core(site):
    # Above what the socket's send buffer can grow to (4 MiB), so that the
    # answer really waits for the client.
    big = os.urandom(8 * 1024 * 1024)
    site.put("big.bin", big)
    site.put("small.txt", b"small file\n")
    # One core: one receive loop, so the slow answer must move off it.
    site.start(cores={min(os.sched_getaffinity(0))})
    slow = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    slow.settimeout(30)
    slow.connect((HOST, site.port))
    done = threading.Event()
    received = []

    def read_slowly():
        # A slow client, not a dead one: it keeps taking a little now and then
        # (the server cuts a client that takes nothing for a minute).
        got = b""
        widened = False
        try:
            while len(got) < len(big) + 200:
                if done.is_set() and not widened:
                    # The rest as fast as the connection goes.
                    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
                    widened = True
                piece = slow.recv(4096 if not done.is_set() else 1 << 20)
                if not piece:
                    break
                got += piece
                if not done.is_set():
                    time.sleep(0.02)
                if b"\r\n\r\n" in got and len(got.split(b"\r\n\r\n", 1)[1]) >= len(big):
                    break
        except OSError:
            pass
        received.append(got)

    reader = threading.Thread(target=read_slowly)
    try:
        slow.sendall(b"GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        reader.start()
        for i in range(50):
            status, _, body = request(site, "GET", "/small.txt?n=%d" % i)
            assert (status, body) == (200, b"small file\n")
        done.set()
        reader.join(timeout=600)
        assert not reader.is_alive() and received
        head, body = received[0].split(b"\r\n\r\n", 1)
        assert head.startswith(b"HTTP/1.1 200")
        assert hashlib.sha256(body).digest() == hashlib.sha256(big).digest()
    finally:
        done.set()
        slow.close()
        if reader.is_alive():
            reader.join(timeout=30)


def test_changes_on_disk_are_seen_on_the_next_request(site):
    site.put("dir/page.txt", b"first version\n")
    site.put("dir/gone.txt", b"short-lived\n")
    site.start()
    assert request(site, "GET", "/dir/page.txt")[2] == b"first version\n"
    assert request(site, "GET", "/dir/gone.txt")[0] == 200
    # Replaced by a rename, same size and the same modification time: only
    # the file's identity tells them apart.
    old = os.stat(os.path.join(site.pub, "dir/page.txt"))
    tmp = site.put("dir/page.tmp", b"other version\n")
    os.utime(tmp, ns=(old.st_atime_ns, old.st_mtime_ns))
    os.replace(tmp, os.path.join(site.pub, "dir/page.txt"))
    assert request(site, "GET", "/dir/page.txt")[2] == b"other version\n"
    os.remove(os.path.join(site.pub, "dir/gone.txt"))
    assert request(site, "GET", "/dir/gone.txt")[0] == 404
    # An access file edited between two requests.
    site.put("dir/.htaccess", b"Require all denied\n")
    assert request(site, "GET", "/dir/page.txt")[0] == 403
    site.put("dir/.htaccess", b"Require all granted\n")
    assert request(site, "GET", "/dir/page.txt")[0] == 200


def test_pipelining_and_keep_alive_across_short_and_long_requests(site):
    site.put("a.txt", b"aaaa\n")
    site.put("b.txt", b"bbbbbb\n")
    site.put("big.bin", b"z" * (512 * 1024))
    site.start()
    with socket.create_connection((HOST, site.port), timeout=20) as s:
        for _ in range(2):  # the second round runs on a kept-alive connection
            s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nxyz"
                      b"GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"PROPFIND /b.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nDepth: 0\r\nContent-Length: 0\r\n\r\n"
                      b"GET /b.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            rest = b""
            answers = []
            for _ in range(5):
                status, headers, body, rest = read_response(s, rest)
                answers.append((status, body))
            assert answers[0] == (200, b"aaaa\n")
            assert answers[2] == (200, b"z" * (512 * 1024))
            assert answers[4] == (200, b"bbbbbb\n")
            assert rest == b""


LOG_LINE = re.compile(r'^127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}(:\d\d){3} [+-]\d{4}\] '
                      r'"GET /[^" ]*\?[^" ]* HTTP/1\.1" 200 2 "-" ("[^"]*"|-)$')


def log_text(site):
    path = os.path.join(site.pub, "logs", "access.log")
    if not os.path.exists(path):
        return ""
    with open(path, "rb") as f:
        return f.read().decode("latin-1")


def wait_for_log(site, needle, seconds=15):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if needle in log_text(site):
            return True
        time.sleep(0.05)
    return False


def test_access_log_stays_whole_when_the_file_cannot_grow(site):
    site.put("a.txt", b"a\n")
    site.start()
    assert request(site, "GET", "/a.txt?start")[0] == 200
    assert wait_for_log(site, "?start")
    size = len(log_text(site).encode("latin-1"))
    # Room for about one and a half lines more.
    limit = size + len(log_text(site).splitlines()[0]) * 3 // 2
    resource.prlimit(site.proc.pid, resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    for i in range(6):
        assert request(site, "GET", "/a.txt?full=%d" % i)[0] == 200
        before = log_text(site)
        end = time.monotonic() + 1
        while time.monotonic() < end and log_text(site) == before and "full=%d" % i not in before:
            time.sleep(0.05)
    full = log_text(site)
    assert "full=5" not in full  # the limit was met
    resource.prlimit(site.proc.pid, resource.RLIMIT_FSIZE,
                     (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    for i in range(3):
        assert request(site, "GET", "/a.txt?after=%d" % i)[0] == 200
    assert wait_for_log(site, "?after=2")
    text = log_text(site)
    assert text.endswith("\n")
    for line in text.splitlines():
        assert LOG_LINE.match(line), line
    for i in range(3):
        assert "?after=%d " % i in text


def test_files_kept_in_memory_follow_every_change(site):
    """Small files are answered from memory once read: every way of changing
    one on disk (in place, shorter, longer, same size and restored time, a
    link swapped to lead out of the tree) shows on the very next request,
    also in its length, entity tag, ranges and conditions."""
    site.put("m/.htaccess", b"FileETag All\n")
    path = site.put("m/page.txt", b"one two three\n")
    big = os.urandom(100 * 1024)  # above what is kept in memory
    site.put("m/big.bin", big)
    site.put("m/inner/doc.txt", b"inside\n")
    outside = os.path.join(site.root, "outside")
    os.makedirs(outside)
    with open(os.path.join(outside, "doc.txt"), "wb") as f:
        f.write(b"outside\n")
    os.symlink(os.path.join(site.pub, "m/inner"), os.path.join(site.pub, "m/link"))
    site.start()

    def get(p="/m/page.txt", headers=None):
        status, h, body = request(site, "GET", p, headers)
        if status == 200:
            assert int(h["content-length"]) == len(body)
        return status, h, body

    seen_tags = set()

    def expect(body, new_tag=True):
        for _ in range(2):  # the second answer comes from memory
            status, h, got = get()
            assert (status, got) == (200, body)
            assert request(site, "HEAD", "/m/page.txt")[1]["content-length"] == str(len(body))
        tag = h["etag"]
        assert (tag not in seen_tags) == new_tag
        seen_tags.add(tag)
        assert get(headers={"If-None-Match": tag})[0] == 304
        assert get(headers={"Range": "bytes=1-3"})[2] == body[1:4]
        return h

    first = expect(b"one two three\n")
    stat = os.stat(path)
    with open(path, "r+b") as f:  # in place, same size, time restored
        f.write(b"ONE")
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    # The tag stands for the file's identity, size and time, all as before.
    expect(b"ONE two three\n", new_tag=False)
    with open(path, "r+b") as f:  # truncated in place
        f.truncate(4)
    expect(b"ONE ")
    with open(path, "ab") as f:  # appended
        f.write(b"and more\n")
    second = expect(b"ONE and more\n")
    assert first["last-modified"] and second["last-modified"]
    for _ in range(2):
        assert get("/m/big.bin")[2] == big
    assert get("/m/link/doc.txt")[2] == b"inside\n"
    assert get("/m/link/doc.txt")[2] == b"inside\n"
    os.remove(os.path.join(site.pub, "m/link"))
    os.symlink(outside, os.path.join(site.pub, "m/link"))
    assert get("/m/link/doc.txt")[0] in (403, 404)
    os.remove(path)
    assert get()[0] == 404
