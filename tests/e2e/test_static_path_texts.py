"""The texts of the static path that are now made once and reused: the Date
header (made once a second) and the access-log line (made in a per-thread
buffer and written in batches). Real clients against the built binary;
every wait is bounded."""

import base64
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


LONG_AGENT = "Mozilla/5.0 " + "x" * 3000 + ' "q" \\ end'


def basic(user, password):
    token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
    return {"Authorization": "Basic " + token}


# (method, path, request headers, the user field, the rest of the line after
# the time field as a pattern)
LOG_CASES = [
    ("GET", "/hello.txt", {}, "-", re.escape('"GET /hello.txt HTTP/1.1" 200 5 "-" -')),
    ("HEAD", "/hello.txt", {}, "-", re.escape('"HEAD /hello.txt HTTP/1.1" 200 - "-" -')),
    ("GET", "/hello.txt?q=%22", {"User-Agent": 'say "hi" \\ bye', "Referer": "http://x/a b"}, "-",
     re.escape('"GET /hello.txt?q=%22 HTTP/1.1" 200 5 "http://x/a b" "say \\"hi\\" \\\\ bye"')),
    ("GET", "/missing.txt", {"Referer": 'r"1'}, "-",
     re.escape('"GET /missing.txt HTTP/1.1" 404 ') + '[0-9]+' + re.escape(' "r\\"1" -')),
    ("GET", "/basic/file.txt", basic("alice", "wrong"), '"alice"',
     re.escape('"GET /basic/file.txt HTTP/1.1" 401 ') + '[0-9]+' + re.escape(' "-" -')),
    ("GET", "/basic/file.txt", basic('al"i\\ce', "x"), re.escape('"al\\"i\\\\ce"'),
     re.escape('"GET /basic/file.txt HTTP/1.1" 401 ') + '[0-9]+' + re.escape(' "-" -')),
    ("GET", "/basic/file.txt", basic("alice", "secret"), '"alice"',
     re.escape('"GET /basic/file.txt HTTP/1.1" 200 9 "-" -')),
    # Text that is not ASCII is logged as its UTF-8 bytes, the URL as sent.
    ("GET", "/d%C3%AFr/%C3%BCn%C3%AF.txt?x=%E2%82%AC", {"User-Agent": "agént ü".encode()}, "-",
     re.escape('"GET /d%C3%AFr/%C3%BCn%C3%AF.txt?x=%E2%82%AC HTTP/1.1" 200 7 "-" "agént ü"')),
    ("GET", "/hello.txt", {"User-Agent": LONG_AGENT}, "-",
     re.escape('"GET /hello.txt HTTP/1.1" 200 5 "-" "' + LONG_AGENT.replace("\\", "\\\\")
               .replace('"', '\\"') + '"')),
]


def test_access_log_lines_and_the_flush_at_stop():
    with tempfile.TemporaryDirectory() as root:
        s = Site(root, directives=DIRECTIVES)
        s.put("hello.txt", "hello")
        s.put("dïr/ünï.txt", "unicode")
        s.put("secret/.htaccess", "Require all denied\n")
        s.put("secret/users.txt", '"alice","secret"\r\n')
        s.put("basic/.htaccess", "AuthType Basic\nAuthName Area\n"
              "AuthUserFile /secret/users.txt\nRequire valid-user\n")
        s.put("basic/file.txt", "protected")
        s.start()
        log = os.path.join(s.pub, "logs", "access.log")
        try:
            for method, path, headers, _, _ in LOG_CASES:
                c = http.client.HTTPConnection(HOST, s.port, timeout=20)
                c.request(method, path, headers=headers)
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
    when = r'\[[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}\] '
    burst = re.compile(r'127\.0\.0\.1 - - ' + when +
                       r'"GET /hello\.txt\?t=([0-9]+)&i=([0-9]+) HTTP/1\.1" 200 5 "-" '
                       r'"burst/([0-9]+)"')
    # A line may be written after its answer was read (logins run on a pool
    # thread), so the single requests' lines are found by their text.
    burst_lines = [burst.fullmatch(line) for line in lines]
    single = [line for line, m in zip(lines, burst_lines) if not m]
    for _, path, _, user, rest in LOG_CASES:
        pattern = re.compile(r'127\.0\.0\.1 - ' + user + ' ' + when + rest)
        assert len([line for line in single if pattern.fullmatch(line)]) == 1, \
            (path, [line[:200] for line in single])
    next_of = [0] * 64
    for m in filter(None, burst_lines):
        assert m.group(1) == m.group(3)
        # One connection's requests are answered one after the other: their
        # lines keep that order.
        n, i = int(m.group(1)), int(m.group(2))
        assert i == next_of[n], "line %d of connection %d out of order" % (i, n)
        next_of[n] = i + 1
    assert next_of == [per_thread] * 64
