"""End-to-end tests of serving a document tree: the built teskqvel binary runs
with a temporary XDG_DATA_HOME holding global.ini, the global directive file,
mime.types and a pub/ tree, on free loopback ports. Real clients (curl,
http.client, raw sockets) talk to it. Every wait is bounded."""

import email.utils
import gzip
import http.client
import os
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import zlib

import pytest

from tq_site import BINARY, HOST, Site, curl, raw, request

SECRET = b"outside-the-root-7f3a91"

GLOBAL_DIRECTIVES = """Require all granted
DirectoryIndex index.html
FileETag All
SetOutputFilter deflate
"""

MIME_TYPES = """text/html html htm
text/plain txt
application/octet-stream bin
"""


def large_text():
    lines = []
    for i in range(40000):
        lines.append("line %06d of the large file, with some repeated words words words\n" % i)
    return "".join(lines).encode()


@pytest.fixture(scope="module")
def outside():
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, "secret.txt"), "wb") as f:
            f.write(SECRET)
        yield d


@pytest.fixture(scope="module")
def site(outside):
    with tempfile.TemporaryDirectory() as root:
        s = Site(root, directives=GLOBAL_DIRECTIVES, mime_types=MIME_TYPES)
        s.put("index.html", "<html>home</html>")
        s.put("hello.txt", "hello world\n")
        s.put("data.bin", bytes(range(256)) * 8)
        s.put("big.txt", large_text())
        s.put("small.txt", "x" * 300)
        s.put("docs/index.html", "<html>docs</html>")
        s.put("empty/keep.txt", "k")
        s.put("locked/inner.txt", "locked")
        s.put("locked/.htaccess", "Require all denied\n")
        s.put("nf/.htaccess", "ErrorDocument 404 https://example.invalid/gone\n")
        os.symlink(os.path.join(outside, "secret.txt"), os.path.join(s.pub, "link.txt"))
        os.symlink(outside, os.path.join(s.pub, "linkdir"))
        os.symlink(os.path.relpath(os.path.join(outside, "secret.txt"), s.pub),
                   os.path.join(s.pub, "uplink.txt"))
        # Links whose target stays inside the tree are followed.
        os.symlink("hello.txt", os.path.join(s.pub, "in_rel.txt"))
        os.symlink(os.path.join(s.pub, "hello.txt"), os.path.join(s.pub, "in_abs.txt"))
        os.symlink("docs", os.path.join(s.pub, "in_dir"))
        os.symlink("../hello.txt", os.path.join(s.pub, "docs", "up_inside.txt"))
        s.put("bd/.htaccess", "DirectoryIndex index.html index.htm\n")
        s.put("bd/index.html", "blocked default")
        s.put("bd/index.htm", "next default")
        s.put("bf/.htaccess", "ErrorDocument 403 denied.html\n")
        s.put("bf/secret.txt", "blocked file")
        s.put("bf/denied.html", "<html>the folder's own refusal</html>")
        s.put("bom/mid.txt", "a mark inside the list is no mark")
        # The mark at the start of the file is one; the one that starts a
        # later line is part of that line's text.
        s.write_data("blocklist.txt", "\ufeffbd/index.html\nbf/secret.txt\n\ufeffbom/mid.txt\n")
        s.start()
        try:
            yield s
        finally:
            assert s.stop() == 0


def test_get_of_a_file(site):
    status, h, body = request(site, "GET", "/hello.txt")
    assert status == 200
    assert body == b"hello world\n"
    assert h["content-type"].startswith("text/plain")
    lm = email.utils.parsedate_to_datetime(h["last-modified"])
    assert abs(lm.timestamp() - os.path.getmtime(os.path.join(site.pub, "hello.txt"))) < 2
    assert "etag" in h
    assert h["content-length"] == str(len(body))


def test_a_port_another_process_took_before_the_start_is_left_to_it(tmp_path):
    """A port free_port() gave may be bound by another process before the
    program binds it: the site starts on other ports, and its requests reach
    the program rather than that process."""
    s = Site(str(tmp_path))
    s.put("hello.txt", "hello")
    taken = s.port
    with socket.socket() as stranger:
        stranger.bind((HOST, taken))
        stranger.listen(8)
        s.start()
        try:
            assert s.port != taken
            assert request(s, "GET", "/hello.txt")[::2] == (200, b"hello")
        finally:
            assert s.stop() == 0


def test_head_carries_the_get_headers_and_no_body(site):
    _, g, _ = request(site, "GET", "/data.bin")
    status, h, body = request(site, "HEAD", "/data.bin")
    assert status == 200
    assert body == b""
    assert h["content-length"] == "2048"
    assert h["last-modified"] == g["last-modified"]
    assert h["etag"] == g["etag"]


def test_default_document_and_folders(site):
    assert request(site, "GET", "/")[2] == b"<html>home</html>"
    assert request(site, "GET", "/docs/")[2] == b"<html>docs</html>"
    # A folder without a default document is not listed.
    assert request(site, "GET", "/empty/")[0] == 404
    assert request(site, "GET", "/no/such/file.txt")[0] == 404


def test_keep_alive_reuses_the_connection(site):
    c = http.client.HTTPConnection(HOST, site.port, timeout=20)
    try:
        c.request("GET", "/hello.txt")
        r = c.getresponse()
        assert r.read() == b"hello world\n"
        first = c.sock
        for _ in range(5):
            c.request("GET", "/index.html")
            r = c.getresponse()
            assert r.status == 200
            r.read()
            assert c.sock is first
    finally:
        c.close()


def test_ranges(site):
    status, h, body = request(site, "GET", "/data.bin", {"Range": "bytes=10-19"})
    assert status == 206
    assert body == bytes(range(10, 20))
    assert h["content-range"] == "bytes 10-19/2048"
    status, h, body = request(site, "GET", "/data.bin", {"Range": "bytes=-5"})
    assert status == 206 and body == bytes(range(251, 256))
    # Several ranges: the whole file.
    status, h, body = request(site, "GET", "/data.bin", {"Range": "bytes=0-1,5-6"})
    assert status == 200
    assert body == bytes(range(256)) * 8
    assert "content-range" not in h


def test_conditional_requests(site):
    _, h, _ = request(site, "GET", "/hello.txt")
    status, _, body = request(site, "GET", "/hello.txt", {"If-None-Match": h["etag"]})
    assert status == 304 and body == b""
    status, _, body = request(site, "GET", "/hello.txt", {"If-Modified-Since": h["last-modified"]})
    assert status == 304 and body == b""
    status, _, body = request(site, "GET", "/hello.txt",
                              {"If-Modified-Since": "Sun, 06 Nov 1994 08:49:37 GMT"})
    assert status == 200 and body == b"hello world\n"
    status, rh, body = request(site, "GET", "/data.bin",
                               {"Range": "bytes=0-3", "If-Range": h["etag"] + "x"})
    assert status == 200 and len(body) == 2048
    _, dh, _ = request(site, "GET", "/data.bin")
    status, rh, body = request(site, "GET", "/data.bin",
                               {"Range": "bytes=0-3", "If-Range": dh["etag"]})
    assert status == 206 and body == bytes(range(4))
    assert "last-modified" not in rh
    # A HEAD whose tag matches is not modified, not a failed precondition.
    status, nh, body = request(site, "HEAD", "/hello.txt", {"If-None-Match": h["etag"]})
    assert status == 304 and body == b""


def test_not_modified_carries_the_validators_and_no_type_of_its_own(site):
    _, h, _ = request(site, "GET", "/hello.txt")
    for cond in ({"If-None-Match": h["etag"]}, {"If-Modified-Since": h["last-modified"]}):
        got = raw(site, b"GET /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                  b"".join(b"%s: %s\r\n" % (k.encode(), v.encode()) for k, v in cond.items()) +
                  b"\r\n")
        head = got.split(b"\r\n\r\n")[0].decode().lower()
        assert head.startswith("http/1.1 304")
        assert "\r\netag: %s" % h["etag"].lower() in head
        assert "\r\nlast-modified: %s" % h["last-modified"].lower() in head
        assert "content-type" not in head


def test_compressed_answer_has_its_own_tag_and_can_be_not_modified(site):
    _, plain, _ = request(site, "GET", "/big.txt")
    for coding in ("gzip", "deflate"):
        status, h, _ = request(site, "GET", "/big.txt", {"Accept-Encoding": coding})
        assert status == 200 and h["content-encoding"] == coding
        tag = h["etag"]
        # The coding's suffix sits inside the quotes: a valid entity tag.
        assert tag.startswith(plain["etag"][:-1]) and tag.endswith('"') and tag.count('"') == 2
        assert tag != plain["etag"]
        status, nh, body = request(site, "GET", "/big.txt",
                                   {"Accept-Encoding": coding, "If-None-Match": tag})
        assert status == 304 and body == b""
        assert nh["etag"] == tag
        # The plain body's tag does not stand for the compressed one, and
        # the other way round.
        assert request(site, "GET", "/big.txt", {"Accept-Encoding": coding,
                                                  "If-None-Match": plain["etag"]})[0] == 200
        assert request(site, "GET", "/big.txt", {"If-None-Match": tag})[0] == 200
        assert request(site, "GET", "/big.txt", {"Accept-Encoding": coding,
                                                  "If-Match": plain["etag"]})[0] == 412
        assert request(site, "HEAD", "/big.txt", {"Accept-Encoding": coding,
                                                   "If-Match": tag})[0] == 200


def test_common_accept_encoding_gets_gzip(site):
    status, h, body = request(site, "GET", "/big.txt", {"Accept-Encoding": "gzip, deflate"})
    assert status == 200 and h["content-encoding"] == "gzip"
    assert gzip.decompress(body) == large_text()


def test_if_range_is_traced_at_the_default_level(site):
    _, h, _ = request(site, "GET", "/data.bin")
    status, _, _ = request(site, "GET", "/data.bin", {"Range": "bytes=1-2", "If-Range": h["etag"]})
    assert status == 206
    end = time.monotonic() + 10
    while "if-range: " + h["etag"] not in site.trace() and time.monotonic() < end:
        time.sleep(0.05)
    assert "if-range: " + h["etag"] in site.trace()


def test_blocked_default_document_is_passed_over(site):
    status, _, body = request(site, "GET", "/bd/")
    assert status == 200 and body == b"next default"
    assert request(site, "GET", "/bd/index.html")[0] == 403


def test_blocked_file_is_refused_with_its_folders_error_page_and_logged(site):
    status, _, body = request(site, "GET", "/bf/secret.txt?blk=1")
    assert status == 403
    assert body == b"<html>the folder's own refusal</html>"
    assert request(site, "GET", "/bf/denied.html")[0] == 200
    assert wait_for_log_line(site, '"GET /bf/secret.txt?blk=1 HTTP/1.1" 403')


def test_byte_order_mark_counts_at_the_start_of_a_file_only(site):
    status, _, body = request(site, "GET", "/bom/mid.txt")
    assert status == 200 and body == b"a mark inside the list is no mark"


def test_log_folder_is_not_served(site):
    request(site, "GET", "/hello.txt?before-log-read=1")
    assert wait_for_log_line(site, "before-log-read=1")
    status, _, body = request(site, "GET", "/logs/access.log")
    assert status == 403
    assert b"before-log-read" not in body
    with open(os.path.join(site.pub, "logs", ".htaccess")) as f:
        assert f.read() == "Require all denied\n"


def test_method_not_allowed_names_the_allowed_methods(site):
    got = raw(site, b"BREW /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    head = got.split(b"\r\n\r\n")[0].decode()
    assert head.startswith("HTTP/1.1 405")
    allow = [l for l in head.split("\r\n") if l.lower().startswith("allow:")]
    assert len(allow) == 1
    methods = {m.strip() for m in allow[0].split(":", 1)[1].split(",")}
    assert {"GET", "HEAD", "OPTIONS"} <= methods and "BREW" not in methods


@pytest.mark.parametrize("coding", ["gzip", "deflate"])
def test_compression_round_trip(site, coding):
    original = large_text()
    status, h, body = request(site, "GET", "/big.txt", {"Accept-Encoding": coding})
    assert status == 200
    assert h.get("content-encoding") == coding
    if coding == "gzip":
        assert gzip.decompress(body) == original
    else:
        try:
            plain = zlib.decompress(body)
        except zlib.error:
            plain = zlib.decompress(body, -15)
        assert plain == original
    assert len(body) < len(original) // 4
    status, h, body = request(site, "GET", "/small.txt", {"Accept-Encoding": coding})
    assert status == 200
    if h.get("content-encoding") == "gzip":
        body = gzip.decompress(body)
    elif h.get("content-encoding") == "deflate":
        body = zlib.decompress(body) if body[:1] == b"\x78" else zlib.decompress(body, -15)
    assert body == b"x" * 300


def test_curl_compressed_pieces(site):
    r = curl("--compressed", "http://%s:%d/big.txt" % (HOST, site.port))
    assert r.returncode == 0
    assert r.stdout == large_text()


def test_error_documents(site):
    status, h, body = request(site, "GET", "/missing.txt")
    assert status == 404
    assert body.startswith(b"404 Not Found")
    status, h, body = request(site, "GET", "/nf/gone.txt?a=1")
    assert status == 302
    assert h["location"].startswith("https://example.invalid/gone")


def test_refused_without_a_granting_require(site):
    assert request(site, "GET", "/locked/inner.txt")[0] == 403


def test_unknown_and_lower_case_methods(site):
    assert raw(site, b"FOO /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").startswith(b"HTTP/1.1 405")
    assert raw(site, b"get /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").startswith(b"HTTP/1.1 405")


def wait_for_log_line(site, part):
    """The access-log line holding the text, or None after a bounded wait."""
    log = os.path.join(site.pub, "logs", "access.log")
    end = time.monotonic() + 15
    while time.monotonic() < end:
        if os.path.exists(log):
            with open(log, encoding="utf-8", errors="replace") as f:
                found = [l for l in f.read().splitlines() if part in l]
            if found:
                return found[0]
        time.sleep(0.1)
    return None


def test_access_log_line(site):
    agent = 'probe "quoted" agent'
    request(site, "GET", "/hello.txt?log=1", {"User-Agent": agent})
    expected = '"GET /hello.txt?log=1 HTTP/1.1" 200 12 "-" "probe \\"quoted\\" agent"'
    line = wait_for_log_line(site, expected)
    assert line is not None
    assert line.startswith("127.0.0.1 - - [")


def test_https(site):
    r = curl("-k", "https://%s:%d/hello.txt" % (HOST, site.https_port))
    assert r.returncode == 0
    assert r.stdout == b"hello world\n"


# Each path and the answer it gets: 400 for a path that climbs above the root
# or holds a refused character, 403 for a link that leads out of the tree,
# 404 for a name that is merely not there.
TRAVERSAL = [
    (b"/../secret.txt", 400),
    (b"/../../../../../../etc/passwd", 400),
    (b"/%2e%2e/%2e%2e/%2e%2e/etc/passwd", 400),
    (b"/%2E%2E%2F%2E%2E%2Fetc%2Fpasswd", 400),
    (b"/..%2f..%2f..%2fetc%2fpasswd", 400),
    (b"/..\\..\\..\\etc\\passwd", 400),
    (b"/%5c..%5c..%5cetc%5cpasswd", 400),
    (b"/docs/..%5c..%5c..%5csecret.txt", 400),
    (b"/hello.txt%00.html", 400),
    (b"/%00/../../etc/passwd", 400),
    (b"/%c0%ae%c0%ae/%c0%ae%c0%ae/etc/passwd", 404),
    (b"/%c0%af..%c0%af..%c0%afetc/passwd", 403),
    (b"/%e0%80%ae%e0%80%ae/etc/passwd", 404),
    (b"/link.txt", 403),
    (b"/linkdir/secret.txt", 403),
    (b"/docs/../linkdir/secret.txt", 403),
    (b"/uplink.txt", 403),
    (b"/in_dir/../linkdir/secret.txt", 403),
    (b"//etc/passwd", 404),
    (b"/./../etc/passwd", 400),
    (b"/%252e%252e/etc/passwd", 404),
]


@pytest.mark.parametrize("path", ["/in_rel.txt", "/in_abs.txt", "/docs/up_inside.txt",
                                  "/in_dir/up_inside.txt"])
def test_links_that_stay_inside_are_followed(site, path):
    status, _, body = request(site, "GET", path)
    assert status == 200
    assert body == b"hello world\n"


@pytest.mark.parametrize("path,status", TRAVERSAL)
def test_path_traversal_never_leaves_the_root(site, path, status):
    got = raw(site, b"GET " + path + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
    assert SECRET not in got
    assert b"root:x:0:0" not in got
    assert got.startswith(b"HTTP/1.1 %d " % status)


def test_no_global_require_refuses_everything():
    with tempfile.TemporaryDirectory() as root:
        s = Site(root, directives="DirectoryIndex index.html\n")
        s.put("hello.txt", "hello")
        s.start()
        try:
            assert request(s, "GET", "/hello.txt")[0] == 403
        finally:
            assert s.stop() == 0


def test_connection_limit_answers_503_and_keeps_serving():
    with tempfile.TemporaryDirectory() as root:
        s = Site(root, directives=GLOBAL_DIRECTIVES, mime_types=MIME_TYPES, param={"max_connections": "1"})
        s.put("hello.txt", "hello")
        s.start()
        try:
            first = http.client.HTTPConnection(HOST, s.port, timeout=20)
            first.request("GET", "/hello.txt")
            r = first.getresponse()
            assert r.status == 200
            assert r.read() == b"hello"
            second = raw(s, b"GET /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            assert second.startswith(b"HTTP/1.1 503")
            for _ in range(3):
                first.request("GET", "/hello.txt")
                r = first.getresponse()
                assert r.read() == b"hello"
                assert r.status == 200
            first.close()
            # Once the first client has gone its place is free again.
            end = time.monotonic() + 10
            status = None
            while time.monotonic() < end:
                got = raw(s, b"GET /hello.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                status = got[9:12]
                if status != b"503":
                    break
                time.sleep(0.2)
            assert status == b"200"
        finally:
            assert s.stop() == 0
