"""End-to-end tests of the request road: where requests run (quick answers
on the event loop that read them; work that may block, such as a CGI
program, a body or a large file to a slow client, on pool threads, so that
with one core a held loop would show as a client time-out, never as a
measured time), pipelined requests crossing both in order, large files sent
from their descriptor, what the fast static path keeps between requests (the
configuration, descriptors and facts of large files, files around the
in-memory limit) with every change made on disk before a request showing in
its answer, and the access log staying whole when its file cannot grow. The
real binary on loopback; every wait bounded."""

import hashlib
import http.client
import os
import re
import resource
import shutil
import signal
import socket
import ssl
import tempfile
import threading
import time

import pytest

from tq_site import HOST, Site, curl, request


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


CGI_DIRECTIVES = """Require all granted
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
def cgi_site():
    # CGI children run as "nobody" when the server is root: a tree readable
    # by everybody.
    root = tempfile.mkdtemp(prefix="tq_loop_", dir="/tmp")
    os.chmod(root, 0o755)
    s = RoadSite(root, directives=CGI_DIRECTIVES)
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


def test_a_blocked_cgi_holds_up_no_quick_request_on_one_core(cgi_site):
    gate = os.path.join(cgi_site.root, "gate")
    cgi_site.put("wait.cgi", GATE_CGI.replace("$GATE", gate))
    cgi_site.put("small.txt", b"small\n")
    cgi_site.put("err/.htaccess", b"Require all denied\n")
    cgi_site.put("err/x.txt", b"x\n")
    readable_tree(cgi_site.root)
    cgi_site.start(cores=one_core())
    blocked = socket.create_connection((HOST, cgi_site.port), timeout=90)
    try:
        send_request(blocked, "/wait.cgi")
        # The CGI waits for the gate; these must all be answered meanwhile.
        for i in range(50):
            status, _, body = request(cgi_site, "GET", "/small.txt?n=%d" % i)
            assert (status, body) == (200, b"small\n")
        # Error answers and redirects are quick too.
        assert request(cgi_site, "GET", "/err/x.txt")[0] == 403
        assert request(cgi_site, "GET", "/nothing-here.txt")[0] == 404
        status, headers, _ = request(cgi_site, "GET", "/err")
        assert status in (301, 302, 403)
        with open(gate, "w"):
            pass
        status, _, body, rest = read_response(blocked)
        assert (status, body, rest) == (200, b"opened", b"")
    finally:
        blocked.close()


def test_slow_client_of_a_large_file_and_fifty_quick_requests(cgi_site):
    big = os.urandom(6 * 1024 * 1024)
    cgi_site.put("big.bin", big)
    cgi_site.put("small.txt", b"small\n")
    cgi_site.start(cores=one_core())
    slow = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    slow.settimeout(60)
    slow.connect((HOST, cgi_site.port))
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
            status, _, body = request(cgi_site, "GET", "/small.txt?q=%d" % i)
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


def test_pipelining_across_the_loop_and_the_pool(cgi_site):
    cgi_site.put("a.txt", b"aaaa\n")
    cgi_site.put("mid.bin", bytes(range(256)) * 1024)  # sent from its descriptor
    cgi_site.put("wait.cgi", GATE_CGI.replace("$GATE", "/"))  # answers at once
    readable_tree(cgi_site.root)
    cgi_site.start(cores=one_core())
    with socket.create_connection((HOST, cgi_site.port), timeout=30) as s:
        for _ in range(3):  # later rounds on the kept-alive connection
            s.sendall(b"GET /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"GET /wait.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"GET /mid.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\nxy"
                      b"HEAD /mid.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"GET /mid.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=10-19\r\n\r\n"
                      b"GET /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                      b"PROPFIND /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nDepth: 0\r\n"
                      b"Content-Length: 0\r\n\r\n")
            rest = b""
            answers = []
            for i in range(8):
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
            assert answers[7][0] == 207
            assert rest == b""


def test_large_file_from_its_descriptor_with_ranges_and_head(cgi_site):
    data = os.urandom(3 * 1024 * 1024 + 17)
    cgi_site.put("f.bin", data)
    cgi_site.start()
    status, headers, body = request(cgi_site, "GET", "/f.bin")
    assert status == 200 and body == data
    assert headers["content-length"] == str(len(data))
    cases = [("bytes=0-0", data[0:1]), ("bytes=1000-200000", data[1000:200001]),
             ("bytes=-5000", data[-5000:]), ("bytes=%d-" % (len(data) - 70000), data[-70000:])]
    for rng, want in cases:
        status, headers, body = request(cgi_site, "GET", "/f.bin", {"Range": rng})
        assert (status, body) == (206, want), rng
        assert headers["content-length"] == str(len(want))
    status, headers, body = request(cgi_site, "HEAD", "/f.bin")
    assert (status, body) == (200, b"")
    assert headers["content-length"] == str(len(data))
    # Conditions still apply before any byte is sent.
    status, _, body = request(cgi_site, "GET", "/f.bin", {"If-None-Match": headers["etag"]}) \
        if "etag" in headers else (304, None, b"")
    assert status == 304 and body == b""
    # A file that changes between two requests is sent as it is now.
    data2 = os.urandom(2 * 1024 * 1024)
    cgi_site.put("f.bin", data2)
    assert request(cgi_site, "GET", "/f.bin")[2] == data2


def test_https_large_file_is_byte_exact(cgi_site):
    data = os.urandom(5 * 1024 * 1024 + 3)
    cgi_site.put("t.bin", data)
    cgi_site.start(cores=one_core())
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    with socket.create_connection((HOST, cgi_site.https_port), timeout=60) as raw_sock:
        with ctx.wrap_socket(raw_sock, server_hostname=HOST) as s:
            for path, extra, want, code in [
                    ("/t.bin", b"", data, 200),
                    ("/t.bin", b"Range: bytes=70000-4000000\r\n", data[70000:4000001], 206),
                    ("/t.bin", b"", data, 200)]:
                send_request(s, path, extra=extra)
                status, _, body, rest = read_response(s)
                assert status == code and rest == b""
                assert hashlib.sha256(body).digest() == hashlib.sha256(want).digest()
    r = curl("-k", "-o", "-", "https://%s:%d/t.bin" % (HOST, cgi_site.https_port))
    assert r.returncode == 0 and r.stdout == data


LIMIT = 8 * 1024 - 1  # files up to this size are kept in memory


class Client:
    """One kept-alive connection; every answer's length is checked."""

    def __init__(self, site):
        self.c = http.client.HTTPConnection(HOST, site.port, timeout=20)

    def get(self, path, headers=None, method="GET"):
        self.c.request(method, path, headers=headers or {})
        r = self.c.getresponse()
        body = r.read()
        h = {k.lower(): v for k, v in r.getheaders()}
        if method == "GET" and r.status == 200:
            assert int(h["content-length"]) == len(body)
        return r.status, h, body

    def close(self):
        self.c.close()


def kept_files(site):
    """The files under the document tree the server holds open now, by
    the name the kernel gives them (" (deleted)" once unlinked)."""
    fd_dir = "/proc/%d/fd" % site.proc.pid
    names = []
    for fd in os.listdir(fd_dir):
        try:
            target = os.readlink(os.path.join(fd_dir, fd))
        except OSError:
            continue
        if target.startswith(site.pub) and not target.endswith("/logs/access.log"):
            names.append(target)
    return sorted(names)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def test_large_file_changes_show_on_the_next_request(site):
    site.put("big/.htaccess", b"FileETag All\n")
    first = os.urandom(200 * 1024)
    path = site.put("big/file.bin", first)
    site.start()
    c = Client(site)
    tags = set()

    def expect(body, new_tag=True):
        for _ in range(3):  # the later answers use what the first one kept
            status, h, got = c.get("/big/file.bin")
            assert (status, got) == (200, body)
        assert c.get("/big/file.bin", method="HEAD")[1]["content-length"] == str(len(body))
        tag = h["etag"]
        assert (tag not in tags) == new_tag
        tags.add(tag)
        assert c.get("/big/file.bin", {"If-None-Match": tag})[0] == 304
        assert c.get("/big/file.bin", {"Range": "bytes=10-19"})[2] == body[10:20]
        return h

    h1 = expect(first)
    # Served again without an open: the server keeps it open (once for each
    # configuration that names it, one per method).
    assert path in kept_files(site)
    # Replaced by a rename, same size and the same modification time: only
    # the identity of the file tells the two apart.
    old = os.stat(path)
    second = os.urandom(len(first))
    tmp = site.put("big/file.tmp", second)
    os.utime(tmp, ns=(old.st_atime_ns, old.st_mtime_ns))
    os.replace(tmp, path)
    expect(second)
    # The replaced file's descriptor went with it.
    assert not [n for n in kept_files(site) if n.endswith("(deleted)")]
    assert path in kept_files(site)
    # The old tag no longer matches: the whole new file, not a 304.
    status, _, body = c.get("/big/file.bin", {"If-None-Match": h1["etag"]})
    assert (status, body) == (200, second)
    with open(path, "ab") as f:  # grown in place
        f.write(b"tail" * 1000)
    grown = second + b"tail" * 1000
    expect(grown)
    with open(path, "r+b") as f:  # shrunk in place, still above the limit
        f.truncate(100 * 1024)
    expect(grown[:100 * 1024])
    os.remove(path)
    assert c.get("/big/file.bin")[0] == 404
    assert c.get("/big/file.bin")[0] == 404
    write(path, first)
    assert c.get("/big/file.bin")[2] == first
    c.close()


def test_files_around_the_in_memory_limit(site):
    sizes = [LIMIT - 1, LIMIT, LIMIT + 1]
    bodies = {n: os.urandom(n) for n in sizes}
    for n in sizes:
        site.put("edge/f%d.bin" % n, bodies[n])
    site.start()
    c = Client(site)
    for n in sizes:
        for _ in range(3):
            assert c.get("/edge/f%d.bin" % n)[2] == bodies[n]
        assert c.get("/edge/f%d.bin" % n, {"Range": "bytes=%d-" % (n - 5)})[2] == bodies[n][-5:]
    # Each one crosses the limit the other way, in place: one byte more for
    # the two at or below it, one less for the one above.
    for n in sizes:
        path = os.path.join(site.pub, "edge/f%d.bin" % n)
        if n <= LIMIT:
            with open(path, "ab") as f:
                f.write(b"+")
            bodies[n] += b"+"
        else:
            with open(path, "r+b") as f:
                f.truncate(n - 1)
            bodies[n] = bodies[n][:-1]
        for _ in range(3):
            status, h, body = c.get("/edge/f%d.bin" % n)
            assert (status, len(body)) == (200, len(bodies[n]))
            assert body == bodies[n]
    c.close()


@pytest.mark.parametrize("name,size", [("small.txt", 100), ("large.bin", 300 * 1024)])
def test_access_file_and_file_edits_seen_by_the_very_next_request(site, name, size):
    """Many rounds of a change immediately followed by a request on an open
    connection: every answer reflects the change made before it was sent."""
    data = os.urandom(size)
    site.put("acc/" + name, data)
    site.put("acc/.htaccess", b"Require all granted\n")
    access = os.path.join(site.pub, "acc/.htaccess")
    path = os.path.join(site.pub, "acc/" + name)
    site.start()
    c = Client(site)
    url = "/acc/" + name
    assert c.get(url)[2] == data
    for i in range(40):
        write(access, b"Require all denied\n")
        assert c.get(url)[0] == 403, "round %d: denied" % i
        write(access, b"Require all granted\n")
        status, _, body = c.get(url)
        assert status == 200, "round %d: granted" % i
        # The file itself, replaced by a rename between two requests.
        data = bytes([i]) + data[1:]
        tmp = path + ".tmp"
        write(tmp, data)
        os.replace(tmp, path)
        assert c.get(url)[2] == data, "round %d: replaced" % i
    os.remove(path)
    assert c.get(url)[0] == 404
    c.close()
