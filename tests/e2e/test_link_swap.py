"""Links of the tree swapped while they are served: a local user who may
write in the tree flips a link between a file inside it and one outside.
Whatever the timing, a static GET, an SSI include, a CGI script's first
line and the DAV writes never reach the outside file; links that lead out of the tree, to a file or a folder,
are refused on every road."""

import http.client
import os
import shutil
import tempfile
import threading
import time

import pytest

from tq_site import HOST, Site, flip_links, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler server-parsed .shtml
AddHandler cgi-script .cgi
"""

MIME_TYPES = """text/html html htm shtml
text/plain txt
"""

OUTSIDE = b"OUTSIDE-MARKER"
INSIDE = b"inside-text"
ROUNDS = 600
O_PATH = 0o10000000


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


PATCH = (b'<?xml version="1.0"?><d:propertyupdate xmlns:d="DAV:" '
         b'xmlns:Z="urn:schemas-microsoft-com:"><d:set><d:prop>'
         b'<Z:Win32LastModifiedTime>Wed, 01 Jan 2020 00:00:00 GMT</Z:Win32LastModifiedTime>'
         b'<Z:Win32FileAttributes>00000001</Z:Win32FileAttributes>'
         b'</d:prop></d:set></d:propertyupdate>')
LOCK_BODY = (b'<?xml version="1.0"?><d:lockinfo xmlns:d="DAV:"><d:lockscope><d:exclusive/>'
             b'</d:lockscope><d:locktype><d:write/></d:locktype></d:lockinfo>')
DAV_ROUNDS = 250


def flip_link(link, targets, stop):
    """Points link at each of its two targets in turn until told to stop."""
    flip_links([(link,) + tuple(targets)], stop)


def snapshot(top):
    """Every name below top with its kind, mode, times and content."""
    seen = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            st = os.lstat(p)
            content = None
            if os.path.isfile(p) and not os.path.islink(p):
                with open(p, "rb") as f:
                    content = f.read()
            seen[os.path.relpath(p, top)] = (st.st_mode, st.st_mtime_ns, content)
    return seen


def fill_inside(folder):
    """What the DAV requests of one round consume, made again inside."""
    os.makedirs(os.path.join(folder, "sub"), exist_ok=True)
    for rel in ("marker.txt", "victim.txt", "gone.txt", "sub/m.txt"):
        p = os.path.join(folder, rel)
        if not os.path.exists(p):
            with open(p, "wb") as f:
                f.write(INSIDE)
        os.chmod(p, 0o644)
    for rel in ("new.txt", "locknew.txt", "newcol", "moved_in.txt"):
        p = os.path.join(folder, rel)
        if os.path.isdir(p) and not os.path.islink(p):
            shutil.rmtree(p)
        elif os.path.lexists(p):
            os.unlink(p)


def test_dav_writes_through_a_swapped_link_stay_in_the_tree(site):
    """COPY, MOVE, DELETE, MKCOL, PROPPATCH and LOCK name a path through a link
    that a thread flips between a folder inside the tree and the outside
    folder; nothing outside is read, made, changed or removed."""
    outside = os.path.join(site.root, "outside_dav")
    inside = os.path.join(site.pub, "inside_dav")
    fill_inside(outside)
    with open(os.path.join(outside, "marker.txt"), "wb") as f:
        f.write(OUTSIDE)
    with open(os.path.join(outside, "sub", "m.txt"), "wb") as f:
        f.write(OUTSIDE)
    fill_inside(inside)
    site.put("src.txt", INSIDE)
    before = snapshot(outside)
    link = os.path.join(site.pub, "swap")
    os.symlink("inside_dav", link)
    stop = threading.Event()

    dest = "http://%s:%d" % (HOST, site.port)
    requests = [
        ("COPY", "/swap/marker.txt", {"Destination": dest + "/got.txt", "Overwrite": "T"}, None),
        ("COPY", "/swap/sub", {"Destination": dest + "/gotdir", "Overwrite": "T"}, None),
        ("COPY", "/src.txt", {"Destination": dest + "/swap/new.txt", "Overwrite": "T"}, None),
        ("MOVE", "/swap/victim.txt", {"Destination": dest + "/moved.txt", "Overwrite": "T"}, None),
        ("MOVE", "/src.txt", {"Destination": dest + "/swap/moved_in.txt"}, None),
        ("DELETE", "/swap/gone.txt", {}, None),
        ("DELETE", "/swap/sub", {}, None),
        ("MKCOL", "/swap/newcol", {}, None),
        ("PROPPATCH", "/swap/marker.txt", {"Content-Type": "application/xml"}, PATCH),
        ("LOCK", "/swap/locknew.txt", {"Content-Type": "application/xml"}, LOCK_BODY),
    ]
    flipper = threading.Thread(target=flip_link, args=(link, ("inside_dav", outside), stop))
    flipper.start()
    read_outside, done = [], 0
    try:
        conn = http.client.HTTPConnection(HOST, site.port, timeout=20)
        for i in range(DAV_ROUNDS):
            fill_inside(inside)
            if not os.path.exists(os.path.join(site.pub, "src.txt")):
                site.put("src.txt", INSIDE)
            for method, path, headers, body in requests:
                conn.request(method, path, body=body, headers=headers)
                r = conn.getresponse()
                answer = r.read()
                if method == "LOCK" and r.status in (200, 201):
                    token = r.getheader("Lock-Token")
                    conn.request("UNLOCK", path, headers={"Lock-Token": token})
                    conn.getresponse().read()
                if r.status < 300 or r.status == 207:
                    done += 1
                if OUTSIDE in answer:
                    read_outside.append(path)
            for copied in ("got.txt", "gotdir/m.txt"):
                p = os.path.join(site.pub, copied)
                if os.path.exists(p):
                    with open(p, "rb") as f:
                        if OUTSIDE in f.read():
                            read_outside.append(copied)
    finally:
        stop.set()
        flipper.join(timeout=60)
    after = snapshot(outside)
    changed = sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))
    assert changed == []
    assert read_outside == []
    # The requests went through now and then: the race was run.
    assert done > 0


def test_a_script_is_read_only_from_inside_the_tree(site):
    """The server reads a script's first line (and its program header) from
    the file it opened beneath the root: a link flipped to a pipe outside the
    tree never has that pipe opened for reading."""
    pipe = os.path.join(site.outside, "script.fifo")
    os.mkfifo(pipe)
    script = site.put("in_script.cgi", "#!/bin/sh\necho 'Content-Type: text/plain'\necho\n"
                      "echo inside-text\n")
    os.chmod(script, 0o755)
    link = os.path.join(site.pub, "swap.cgi")
    os.symlink("in_script.cgi", link)
    stop = threading.Event()
    opened = []

    def server_holds(path):
        """True when the server has the file open for reading (a path handle,
        which reads nothing, is no such open). One read of a descriptor's
        information gives its flags and file together, whatever the number
        was used for before."""
        inode = os.stat(path).st_ino
        fds = "/proc/%d/fd" % site.proc.pid
        for name in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, name)) != path:
                    continue
                with open("/proc/%d/fdinfo/%s" % (site.proc.pid, name)) as f:
                    info = dict(line.split(":", 1) for line in f if ":" in line)
                if (int(info["ino"]) == inode and
                        not int(info["flags"], 8) & O_PATH):
                    return True
            except (OSError, KeyError, ValueError):
                pass
        return False

    def watch():
        # A writer opens a pipe without waiting only while a reader holds it
        # open, and that reader waits for what is written: meanwhile the
        # reader is found among the server's descriptors (the interpreter
        # the script runs in may read its script by name; that is a child).
        tries = 0
        while not stop.is_set() and tries < 100000000:
            tries += 1
            try:
                fd = os.open(pipe, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                continue
            for look in range(100):
                if server_holds(pipe):
                    opened.append(tries)
                    break
                time.sleep(0.0005)
            try:
                os.write(fd, b"\x7fELF")
            except OSError:
                pass
            os.close(fd)

    threads = [threading.Thread(target=flip_link, args=(link, ("in_script.cgi", pipe), stop)),
               threading.Thread(target=watch)]
    for t in threads:
        t.start()
    served = 0
    try:
        conn = http.client.HTTPConnection(HOST, site.port, timeout=20)
        for i in range(ROUNDS):
            conn.request("GET", "/swap.cgi")
            r = conn.getresponse()
            body = r.read()
            if r.status == 200 and INSIDE in body:
                served += 1
            if r.isclosed() or r.getheader("Connection", "").lower() == "close":
                conn.close()
                conn = http.client.HTTPConnection(HOST, site.port, timeout=20)
    finally:
        stop.set()
        for t in threads:
            t.join(timeout=60)
    assert opened == []
    assert served > 0


OUTSIDE_C = r"""#include <stdio.h>
int main(void) {
    fputs("Content-Type: text/plain\r\n\r\nOUTSIDE-MARKER\n", stdout);
    return 0;
}
"""
INSIDE_C = OUTSIDE_C.replace("OUTSIDE-MARKER", "inside-text")
CGI_ROUNDS = 400


def test_a_flipped_cgi_link_never_runs_the_outside_program(site):
    """A script and a compiled program are run from the file the server
    checked: with their links flipped between the client's file and an
    outside program after every request, no answer comes from outside."""
    import subprocess
    for name, text in (("in_prog.cgi", INSIDE_C), ("out_prog.cgi", OUTSIDE_C)):
        src = os.path.join(site.root, name + ".c")
        with open(src, "w") as f:
            f.write(text)
        target = (os.path.join(site.outside, name) if name.startswith("out")
                  else os.path.join(site.pub, name))
        subprocess.run(["cc", "-O2", "-o", target, src], check=True)
    sh = "#!/bin/sh\necho 'Content-Type: text/plain'\necho\necho %s\n"
    script = site.put("in_run.cgi", sh % INSIDE.decode())
    outside_script = os.path.join(site.outside, "out_run.cgi")
    with open(outside_script, "w") as f:
        f.write(sh % OUTSIDE.decode())
    for p in (script, outside_script):
        os.chmod(p, 0o755)
    # A script outside run by the inside script's interpreter, and a program
    # outside run in place of the inside one.
    links = [(os.path.join(site.pub, "run.cgi"), "in_run.cgi", outside_script),
             (os.path.join(site.pub, "prog.cgi"), "in_prog.cgi",
              os.path.join(site.outside, "out_prog.cgi"))]
    for link, inside, _ in links:
        os.symlink(inside, link)
    stop = threading.Event()
    flipper = threading.Thread(target=flip_links, args=(links, stop))
    flipper.start()
    leaked, served = [], {"/run.cgi": 0, "/prog.cgi": 0}
    try:
        conn = http.client.HTTPConnection(HOST, site.port, timeout=20)
        for i in range(CGI_ROUNDS):
            for path in served:
                conn.request("GET", path)
                r = conn.getresponse()
                body = r.read()
                if OUTSIDE in body:
                    leaked.append(path)
                if r.status == 200 and INSIDE in body:
                    served[path] += 1
                if r.isclosed() or r.getheader("Connection", "").lower() == "close":
                    conn.close()
                    conn = http.client.HTTPConnection(HOST, site.port, timeout=20)
    finally:
        stop.set()
        flipper.join(timeout=60)
    assert leaked == []
    # Both ran now and then: the race was run.
    assert min(served.values()) > 0, served
