"""The trace and the access log under load and with the disk full: every line
is written whole or not at all, and the server keeps serving. Real clients
against the built binary; every wait is bounded."""

import http.client
import os
import re
import resource
import subprocess
import tempfile
import threading
import time

import pytest

import tq_site
from tq_site import HOST, Site, request

CONNECTIONS = 64
REQUESTS = 20000

TRACE_PREFIX = r"[0-9]{6}~[0-9]{3} "
TRACE_LINE = re.compile(TRACE_PREFIX + r"[^\r\n]*")
ACCESS_LINE = re.compile(r'127\.0\.0\.1 - - \[[^\]]+\] "GET /[^" ]* HTTP/1\.1" [0-9]{3} [0-9-]+ '
                         r'"-" ("load/[0-9]+"|-)')
# Lines whose whole text is known: where the start shows, the rest must match.
KNOWN_TRACE = [("error req", r"error request: [0-9]+"),
               ("request path", r"request path: /[a-z0-9./-]+")]


class LoadSite(Site):
    """A site whose program writes its console output to a file: under load
    the trace echoed there would fill a pipe nobody reads."""

    def start(self, *args):
        if not os.path.exists(tq_site.BINARY):
            pytest.fail("the program binary is not built: %s" % tq_site.BINARY)
        self.console = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([tq_site.BINARY, *args], env=self.env,
                                     stdout=self.console, stderr=subprocess.STDOUT)
        end = time.monotonic() + 30
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                pytest.fail("the program ended at start")
            if tq_site.READY in self.trace() and self.port_open():
                return
            time.sleep(0.05)
        pytest.fail("the server did not become ready")


def trace_lines_are_whole(text, known):
    """Every line ends in CR LF and starts with one prefix; a line that holds one
    of the known texts is that text alone; the overflow note stands alone."""
    assert text.endswith("\r\n"), "the trace ends inside a line: %r" % text[-200:]
    bad = []
    for line in text[:-2].split("\r\n"):
        if line == "buffer overflow":
            continue
        if not TRACE_LINE.fullmatch(line) or re.search(TRACE_PREFIX, line[1:]):
            bad.append(line)
            continue
        body = line[11:]
        for start, pattern in known:
            if start in body and not (body.startswith(start) and re.fullmatch(pattern, body)):
                bad.append(line)
    assert not bad, "torn or merged trace lines: %r" % bad[:10]


def load(site, paths, count, connections):
    errors = []
    per = count // connections

    def client(n):
        c = http.client.HTTPConnection(HOST, site.port, timeout=30)
        try:
            for i in range(per):
                path = paths[(n + i) % len(paths)] % (n, i)
                c.request("GET", path, headers={"User-Agent": "load/%d" % n})
                r = c.getresponse()
                r.read()
                if r.status not in (200, 404):
                    errors.append(r.status)
        except Exception as e:  # a dropped connection is a failure too
            errors.append(repr(e))
        finally:
            c.close()

    threads = [threading.Thread(target=client, args=(n,)) for n in range(connections)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "clients still waiting after 120 s"
    assert not errors, errors[:5]
    return per * connections


def wait_for(predicate, seconds=20):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


def test_every_trace_and_access_log_line_is_whole_after_a_load():
    with tempfile.TemporaryDirectory() as root:
        s = LoadSite(root, param={"max_connections": "200"})
        s.put("hello.txt", "hello")
        s.start()
        try:
            done = load(s, ["/missing/%d/%d.txt", "/hello.txt?c=%d&n=%d", "/gone-%d-%d"],
                        REQUESTS, CONNECTIONS)
            log = os.path.join(s.pub, "logs", "access.log")
            assert wait_for(lambda: read(log).count("\n") >= done)
            assert request(s, "GET", "/hello.txt")[0] == 200
        finally:
            assert s.stop() == 0
        lines = read(log).split("\n")
        assert lines[-1] == "", "the access log ends inside a line"
        bad = [l for l in lines[:-1] if not ACCESS_LINE.fullmatch(l.rstrip("\r"))]
        assert not bad, "torn or merged access-log lines: %r" % bad[:10]
        assert sum('" 404 ' in l for l in lines) >= done * 2 // 3 - CONNECTIONS
        trace = read(os.path.join(s.data, "trace.txt"))
        assert trace.count("error request: 404") > 0
        trace_lines_are_whole(trace, KNOWN_TRACE)


def can_mount_tmpfs():
    if os.geteuid() != 0:
        return False
    with tempfile.TemporaryDirectory() as d:
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", d],
                           capture_output=True)
        if r.returncode != 0:
            return False
        subprocess.run(["umount", d], check=True)
        return True


def fill(path):
    """Writes until the file system is full; the filler's path."""
    filler = os.path.join(path, "filler")
    with open(filler, "wb", buffering=0) as f:
        block = b"\0" * 4096
        try:
            while True:
                f.write(block)
        except OSError:
            pass
        try:
            while True:
                f.write(b"\0")
        except OSError:
            pass
    return filler


@pytest.mark.skipif(not can_mount_tmpfs(), reason="no tmpfs can be mounted here "
                    "(the file-size limit case below covers the rollback)")
def test_a_full_disk_leaves_whole_trace_lines_and_tracing_resumes():
    with tempfile.TemporaryDirectory() as root:
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", root], check=True)
        try:
            s = LoadSite(root, param={"func_trace": "2"})
            s.put("hello.txt", "hello")
            s.start()
            try:
                filler = fill(root)
                # Two pages free again: the trace fills them and its next
                # write stops part way, inside a line.
                os.truncate(filler, os.path.getsize(filler) - 8192)
                for i in range(300):
                    assert request(s, "GET", "/full-%d.txt" % i)[0] == 404
                # Still serving with the disk full; the trace ends at a line end.
                assert request(s, "GET", "/hello.txt")[2] == b"hello"
                full = read(os.path.join(s.data, "trace.txt"))
                assert full.endswith("\r\n"), "the trace ends inside a line: %r" % full[-200:]
                os.unlink(filler)
                for i in range(20):
                    request(s, "GET", "/after-%d.txt" % i)
                assert wait_for(lambda: "request path: /after-19.txt" in s.trace())
            finally:
                assert s.stop() == 0
            trace = read(os.path.join(s.data, "trace.txt"))
            trace_lines_are_whole(trace, KNOWN_TRACE)
        finally:
            subprocess.run(["umount", "-l", root])


def test_a_file_size_limit_leaves_the_trace_at_a_whole_line():
    limit = 96 * 1024
    with tempfile.TemporaryDirectory() as root:
        s = LoadSite(root, param={"func_trace": "2", "max_trace_size": "1000000000"})
        s.put("hello.txt", "hello")
        s.start()
        try:
            resource.prlimit(s.proc.pid, resource.RLIMIT_FSIZE, (limit, limit))
            trace = os.path.join(s.data, "trace.txt")
            for i in range(2000):
                assert request(s, "GET", "/limit-%d.txt" % i)[0] == 404
                if i % 50 == 0 and os.path.getsize(trace) > limit - 2048:
                    break
            for i in range(50):
                assert request(s, "GET", "/past-%d.txt" % i)[0] == 404
            assert os.path.getsize(trace) > limit - 2048, "the limit was never reached"
            assert request(s, "GET", "/hello.txt")[2] == b"hello"
        finally:
            assert s.stop() == 0
        trace_lines_are_whole(read(trace), KNOWN_TRACE)


def test_the_log_folders_own_access_file_is_kept_and_an_outside_folder_untouched():
    with tempfile.TemporaryDirectory() as root, tempfile.TemporaryDirectory() as outside:
        # Whoever published the logs keeps them published.
        s = Site(root, directives="Require all granted\n")
        s.put("logs/.htaccess", "Require all granted\n")
        s.put("hello.txt", "hello")
        s.start()
        try:
            assert request(s, "GET", "/hello.txt?published=1")[0] == 200
            assert wait_for(lambda: "published=1" in read(os.path.join(s.pub, "logs",
                                                                       "access.log")))
            status, _, body = request(s, "GET", "/logs/access.log")
            assert status == 200 and b"published=1" in body
        finally:
            assert s.stop() == 0
        # A log folder outside the tree gets nothing put into it.
        t = Site(os.path.join(root, "second"), param={"log_dir": outside + "/"})
        t.put("hello.txt", "hello")
        t.start()
        try:
            assert request(t, "GET", "/hello.txt?outside=1")[0] == 200
            assert wait_for(lambda: "outside=1" in read(os.path.join(outside, "access.log")))
            assert not os.path.exists(os.path.join(outside, ".htaccess"))
        finally:
            assert t.stop() == 0
