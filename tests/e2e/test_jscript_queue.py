"""End-to-end tests of requests that wait for the busy engine of a page with
global state: they wait in the page's line on no thread of their own, a
client that leaves is dropped from it and its connection closed at once, the
line is bounded (503 with Retry-After beyond), and a server stop is not held
up by them, with and without a run-time limit."""

import os
import socket
import time

import pytest

from tq_site import HOST, Site, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler java-script .jss
"""

# Global state: one engine serves the page, one request after another.
PAGE = r"""
var x = 0;
function main() {
    x++;
    if (webserver.environment_var("QUERY_STRING") == "spin") while (true) {}
    webserver.write_response("x=" + x);
}
"""

QUEUED = 1000
# The most requests that wait for one page.
LINE_LIMIT = 1024


def threads(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise AssertionError("no thread count for %d" % pid)


def sockets(pid):
    n = 0
    fd_dir = "/proc/%d/fd" % pid
    for name in os.listdir(fd_dir):
        try:
            if os.readlink(os.path.join(fd_dir, name)).startswith("socket:"):
                n += 1
        except FileNotFoundError:
            pass
    return n


def send_requests(site, count):
    conns = []
    for _ in range(count):
        c = socket.create_connection((HOST, site.port), timeout=10)
        c.sendall(b"GET /count.jss HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        conns.append(c)
    return conns


def wait_for(check, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.05)
    return check()


def answered(conns):
    """The connections that have an answer (or an end) to read now."""
    got = []
    for c in conns:
        c.setblocking(False)
        try:
            got.append((c, c.recv(65536)))
        except BlockingIOError:
            pass
        finally:
            c.setblocking(True)
    return got


@pytest.mark.parametrize("script_timeout", [0, 120])
def test_requests_waiting_for_a_busy_page_cost_no_thread(tmp_path, script_timeout):
    s = Site(str(tmp_path), directives=DIRECTIVES, param={"script_timeout": script_timeout})
    s.put("count.jss", PAGE)
    s.start()
    conns, spinner = [], None
    try:
        status, _, body = request(s, "GET", "/count.jss")
        assert (status, body) == (200, b"x=1")
        pid = s.proc.pid
        time.sleep(0.5)
        idle_threads, idle_sockets = threads(pid), sockets(pid)

        # The page's one engine spins from now on: nobody else is served.
        spinner = socket.create_connection((HOST, s.port), timeout=10)
        spinner.sendall(b"GET /count.jss?spin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        time.sleep(0.3)
        conns = send_requests(s, QUEUED)
        assert wait_for(lambda: sockets(pid) >= idle_sockets + QUEUED, 10), sockets(pid)
        time.sleep(0.5)
        assert answered(conns) == [], "a request behind the busy engine was answered"
        waiting_threads = threads(pid)
        assert waiting_threads <= idle_threads + 8, (idle_threads, waiting_threads)

        # The clients leave: the server closes their connections at once.
        for c in conns:
            c.close()
        conns = []
        assert wait_for(lambda: sockets(pid) <= idle_sockets + 4, 1.5), (idle_sockets,
                                                                          sockets(pid))
        assert threads(pid) <= idle_threads + 8, (idle_threads, threads(pid))

        # A request with a body waits on a thread of the pool; its client
        # leaving ends that wait as soon.
        posts = []
        for _ in range(20):
            c = socket.create_connection((HOST, s.port), timeout=10)
            c.sendall(b"POST /count.jss HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      b"Content-Length: 2\r\n\r\nab")
            posts.append(c)
        assert wait_for(lambda: sockets(pid) >= idle_sockets + 20, 10), sockets(pid)
        time.sleep(0.5)
        assert answered(posts) == [], "a request behind the busy engine was answered"
        for c in posts:
            c.close()
        assert wait_for(lambda: sockets(pid) <= idle_sockets + 4, 1.5), (idle_sockets,
                                                                          sockets(pid))
        # Those pool threads stay for a while, idle.
        idle_threads = threads(pid)

        # Beyond its bound the line refuses at once, as a busy page does.
        conns = send_requests(s, LINE_LIMIT + 40)
        refused = {}

        def look():
            refused.update(answered([c for c in conns if c not in refused]))
            return len(refused) >= 40

        assert wait_for(look, 10), len(refused)
        time.sleep(0.3)
        look()
        assert len(refused) == 40, len(refused)
        for head in refused.values():
            assert head.startswith(b"HTTP/1.1 503 "), head[:200]
            assert b"\r\nRetry-After: " in head, head[:400]
        assert threads(pid) <= idle_threads + 8, (idle_threads, threads(pid))
        # A stop is not held up by the requests in line nor by the spinning run
        # (the harness fails the test after 30 s).
        assert s.stop() == 0
    finally:
        for c in conns:
            c.close()
        if spinner:
            spinner.close()
        s.stop()
