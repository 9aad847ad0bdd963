"""The texts of the static path that are now made once and reused: the Date
header (made once a second) and the access-log line (made in a per-thread
buffer and written in batches). Real clients against the built binary;
every wait is bounded."""

import email.utils
import http.client
import os
import re
import socket
import tempfile
import threading
import time

from tq_site import HOST, Site

DIRECTIVES = """Require all granted
DirectoryIndex index.html
qvel_logging enable
"""

DATE = re.compile(r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} "
                  r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                  r"[0-9]{2}:[0-9]{2}:[0-9]{2} GMT")


def date_of(conn):
    conn.request("GET", "/hello.txt")
    r = conn.getresponse()
    assert r.status == 200
    assert r.read() == b"hello"
    return r.getheader("Date")


def test_date_header_follows_the_clock_across_seconds():
    with tempfile.TemporaryDirectory() as root:
        s = Site(root, directives=DIRECTIVES)
        s.put("hello.txt", "hello")
        s.start()
        try:
            conn = http.client.HTTPConnection(HOST, s.port, timeout=20)
            seen = [date_of(conn)]
            # Bounded: 60 requests 0.1 s apart cross at least one second.
            for _ in range(60):
                time.sleep(0.1)
                seen.append(date_of(conn))
                if len(set(seen)) >= 3:
                    break
            conn.close()
        finally:
            assert s.stop() == 0
    for d in seen:
        assert DATE.fullmatch(d), d
    times = [email.utils.parsedate_to_datetime(d) for d in seen]
    assert times == sorted(times), "the Date went back"
    # The same connection (and so the same serving thread) gets new texts.
    assert len(set(seen)) >= 3, seen
    # A text names the weekday of its own date.
    for d, t in zip(seen, times):
        assert d.startswith(t.strftime("%a")), d




# (request headers, path, expected line after the time field)
LOG_CASES = [
    ({}, "/hello.txt", '"GET /hello.txt HTTP/1.1" 200 5 "-" -'),
    ({"User-Agent": 'say "hi" \\ bye', "Referer": "http://x/a b"}, "/hello.txt?q=%22",
     '"GET /hello.txt?q=%22 HTTP/1.1" 200 5 "http://x/a b" "say \\"hi\\" \\\\ bye"'),
    ({"Referer": 'r"1'}, "/missing.txt", None),
]


def test_access_log_lines_and_the_flush_at_stop():
    with tempfile.TemporaryDirectory() as root:
        s = Site(root, directives=DIRECTIVES)
        s.put("hello.txt", "hello")
        s.start()
        log = os.path.join(s.pub, "logs", "access.log")
        try:
            for headers, path, _ in LOG_CASES:
                c = http.client.HTTPConnection(HOST, s.port, timeout=20)
                c.request("GET", path, headers=headers)
                c.getresponse().read()
                c.close()
            # A burst from 64 connections at once, then a stop at once: every
            # line is in the file after the stop, whole.
            per_thread = 25
            errors = []

            def client(n):
                try:
                    c = http.client.HTTPConnection(HOST, s.port, timeout=20)
                    for i in range(per_thread):
                        c.request("GET", "/hello.txt?t=%d&i=%d" % (n, i),
                                  headers={"User-Agent": "burst/%d" % n})
                        r = c.getresponse()
                        if r.read() != b"hello":
                            errors.append(n)
                    c.close()
                except OSError as e:
                    errors.append(e)

            threads = [threading.Thread(target=client, args=(n,)) for n in range(64)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=120)
            assert not errors
        finally:
            assert s.stop() == 0
        with open(log, encoding="utf-8") as f:
            text = f.read()
    lines = text.split("\n")
    assert lines[-1] == "", "the log ends inside a line"
    lines = lines[:-1]
    assert len(lines) == len(LOG_CASES) + 64 * per_thread
    stamp = r'127\.0\.0\.1 - - \[[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}\] '
    for line, (_, path, rest) in zip(lines, LOG_CASES):
        if rest is None:
            rest = '"GET %s HTTP/1.1" 404 [0-9]+ "r\\\\"1" -' % re.escape(path)
            assert re.fullmatch(stamp + rest, line), line
        else:
            assert re.fullmatch(stamp + re.escape(rest), line), line
    burst = re.compile(stamp + r'"GET /hello\.txt\?t=([0-9]+)&i=([0-9]+) HTTP/1\.1" 200 5 "-" '
                       r'"burst/([0-9]+)"')
    seen = set()
    for line in lines[len(LOG_CASES):]:
        m = burst.fullmatch(line)
        assert m, "torn or merged line: %r" % line
        assert m.group(1) == m.group(3)
        seen.add((m.group(1), m.group(2)))
    assert len(seen) == 64 * per_thread
