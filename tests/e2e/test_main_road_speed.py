"""End-to-end tests of what the fast static path keeps between requests: the
configuration checked without reading the change notifications on the
request's own thread, the descriptors and facts (size, times, entity tag)
kept for files above the in-memory limit, and files around that limit. Every change made on disk before
a request is sent shows in that request's answer. The real binary on loopback,
kept-alive connections so that a change and the next request follow each
other as closely as a client can make them; every wait bounded."""

import http.client
import os
import tempfile

import pytest

from tq_site import HOST, Site

LIMIT = 8 * 1024 - 1  # files up to this size are kept in memory


@pytest.fixture
def site():
    with tempfile.TemporaryDirectory() as root:
        s = Site(root)
        yield s
        s.stop()


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
