"""Request bodies that arrive slowly: while nothing comes they wait on the
event loop, not on a thread of their own, and a body that falls behind the
configured minimum rate once its grace period is over is answered 408 and
traced; a body that keeps up is stored whole, and the server still stops at
once with such clients present."""

import hashlib
import http.client
import os
import selectors
import socket
import threading
import time

from tq_site import HOST, Site

GRACE = 3  # seconds
RATE = 1  # bytes a second: a byte every DRIP seconds falls behind after a few
DRIP = 2
CLIENTS = 1000


def threads_of(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise AssertionError("no thread count for %d" % pid)


def make_site(root, param=None):
    s = Site(root, param=param)
    os.chmod(s.pub, 0o777)
    s.start()
    return s


def open_drippers(site, n):
    """n PUTs announcing a megabyte, each with the first byte of its body."""
    socks = []
    for i in range(n):
        c = socket.create_connection((HOST, site.port), timeout=10)
        c.sendall(b"PUT /d%d.bin HTTP/1.1\r\nHost: %s:%d\r\nContent-Length: 1000000\r\n\r\nx"
                  % (i, HOST.encode(), site.port))
        c.setblocking(False)
        socks.append(c)
    return socks


def drip(socks):
    for c in socks:
        try:
            c.send(b"x")
        except OSError:
            pass


def normal_put(site, body, out):
    c = http.client.HTTPConnection(HOST, site.port, timeout=30)
    try:
        c.request("PUT", "/whole.bin", body=body)
        r = c.getresponse()
        r.read()
        out.append(r.status)
    finally:
        c.close()


def test_dripping_bodies_cost_no_thread_and_end_by_the_rate_rule(tmp_path):
    site = make_site(str(tmp_path), {"request_body_grace": GRACE, "request_body_min_rate": RATE})
    socks = []
    try:
        time.sleep(0.5)
        idle = threads_of(site.proc.pid)
        start = time.monotonic()
        socks = open_drippers(site, CLIENTS)
        body = os.urandom(3 * 1024 * 1024)
        status = []
        putter = threading.Thread(target=normal_put, args=(site, body, status))
        putter.start()
        # Dripping and watching until every client has its answer.
        answers = {}
        sel = selectors.DefaultSelector()
        for c in socks:
            sel.register(c, selectors.EVENT_READ)
        most = idle
        next_drip = time.monotonic() + DRIP
        end = time.monotonic() + GRACE + 30
        while len(answers) < CLIENTS and time.monotonic() < end:
            # Sampled while the clients are still within their grace: every
            # one of them is open and waiting for its body then.
            if time.monotonic() - start < GRACE:
                most = max(most, threads_of(site.proc.pid))
            if time.monotonic() >= next_drip:
                next_drip += DRIP
                drip([c for c in socks if c not in answers])
            for key, _ in sel.select(timeout=0.2):
                try:
                    got = key.fileobj.recv(4096)
                except OSError:
                    got = b""
                answers[key.fileobj] = got
                sel.unregister(key.fileobj)
        putter.join(timeout=30)
        assert most <= idle + 10, (idle, most)
        assert len(answers) == CLIENTS, "%d of %d answered" % (len(answers), CLIENTS)
        late = [a for a in answers.values() if not a.startswith(b"HTTP/1.1 408 ")]
        assert not late, late[:3]
        # Ended by the rule, not by the gap between pieces (far longer).
        assert time.monotonic() - start < GRACE + 20
        assert status == [201]
        with open(os.path.join(site.pub, "whole.bin"), "rb") as f:
            assert hashlib.md5(f.read()).digest() == hashlib.md5(body).digest()
        # The trace is written behind the answers, and whole once the server
        # has stopped.
        assert site.stop() == 0
        trace = site.trace()
        assert "body too slow" in trace
        # One line each, unless the trace's ring gave way under the load (it
        # then says so and drops the oldest lines whole).
        if "buffer overflow" not in trace:
            assert trace.count("body too slow") == CLIENTS
        assert not os.path.exists(os.path.join(site.pub, "d7.bin"))
    finally:
        for c in socks:
            c.close()
        site.stop()


def test_stop_with_dripping_clients_present(tmp_path):
    site = make_site(str(tmp_path))
    socks = []
    try:
        socks = open_drippers(site, CLIENTS)
        time.sleep(1)
        drip(socks)
        began = time.monotonic()
        assert site.stop() == 0
        assert time.monotonic() - began < 30
    finally:
        for c in socks:
            c.close()
        site.stop()
