"""Links of the tree swapped while they are served: a local user who may
write in the tree flips a link between a file inside it and one outside.
Whatever the timing, a static GET, an SSI include and a DAV PUT never reach
the outside file; links that lead out of the tree, to a file or a folder,
are refused on every road."""

import http.client
import os
import shutil
import tempfile
import threading

import pytest

from tq_site import HOST, Site, flip_links, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler server-parsed .shtml
"""

MIME_TYPES = """text/html html htm shtml
text/plain txt
"""

OUTSIDE = b"OUTSIDE-MARKER"
INSIDE = b"inside-text"
ROUNDS = 600


@pytest.fixture(scope="module")
def site():
    root = tempfile.mkdtemp(prefix="tq_swap_", dir="/tmp")
    os.chmod(root, 0o755)
    s = Site(root, directives=DIRECTIVES, mime_types=MIME_TYPES)
    s.outside = os.path.join(root, "outside")
    os.makedirs(s.outside)
    # Small files are kept in memory, larger ones kept open: both kinds.
    for name, size in (("small.txt", 64), ("large.txt", 20000)):
        with open(os.path.join(s.outside, name), "wb") as f:
            f.write((OUTSIDE * (size // len(OUTSIDE) + 1))[:size])
        s.put("in_" + name, (INSIDE * (size // len(INSIDE) + 1))[:size])
    s.put("page_file.shtml", 'a<!--#include file="small.txt" -->b')
    s.put("page_virtual.shtml", 'a<!--#include virtual="/large.txt" -->b')
    os.symlink(s.outside, os.path.join(s.pub, "outdir"))
    os.symlink(os.path.join(s.outside, "small.txt"), os.path.join(s.pub, "out_link.txt"))
    s.put("via_dir.shtml", 'a<!--#include virtual="/outdir/small.txt" -->b')
    s.put("via_file.shtml", 'a<!--#include file="outdir/small.txt" -->b')
    s.put("via_link.shtml", 'a<!--#include file="out_link.txt" -->b')
    s.start()
    yield s
    s.stop()
    shutil.rmtree(root, ignore_errors=True)


def flip(site, stop):
    """Points small.txt and large.txt in and out of the tree until told to stop:
    a relative link inside (the kernel's road), an absolute one outside (the
    road that checks the opened file's real path)."""
    flip_links([(os.path.join(site.pub, n), "in_" + n, os.path.join(site.outside, n))
                for n in ("small.txt", "large.txt")], stop)


def test_swapped_link_never_serves_the_outside_file(site):
    for name in ("small.txt", "large.txt"):
        os.symlink("in_" + name, os.path.join(site.pub, name))
    stop = threading.Event()
    flipper = threading.Thread(target=flip, args=(site, stop))
    flipper.start()
    leaked, served = [], 0
    try:
        conn = http.client.HTTPConnection(HOST, site.port, timeout=20)
        for i in range(ROUNDS):
            for path in ("/small.txt", "/large.txt", "/page_file.shtml", "/page_virtual.shtml"):
                conn.request("GET", path)
                r = conn.getresponse()
                body = r.read()
                if OUTSIDE in body:
                    leaked.append(path)
                if r.status == 200 and INSIDE in body:
                    served += 1
    finally:
        stop.set()
        flipper.join(timeout=60)
    assert leaked == []
    # The inside file was served now and then: the race was run.
    assert served > 0


def test_links_out_of_the_tree_are_refused_on_every_road(site):
    assert request(site, "GET", "/out_link.txt")[0] == 403
    assert request(site, "GET", "/outdir/small.txt")[0] == 403
    for page in ("/via_dir.shtml", "/via_file.shtml", "/via_link.shtml"):
        status, _, body = request(site, "GET", page)
        assert status == 200 and body == b"ab", (page, body)
    # A write through the link to the outside folder changes nothing there.
    status = request(site, "PUT", "/outdir/small.txt", body=b"overwritten")[0]
    assert status in (403, 404, 409), status
    with open(os.path.join(site.outside, "small.txt"), "rb") as f:
        assert f.read().startswith(OUTSIDE)
    assert not os.path.exists(os.path.join(site.outside, "new.txt"))
    request(site, "PUT", "/outdir/new.txt", body=b"new")
    assert not os.path.exists(os.path.join(site.outside, "new.txt"))
