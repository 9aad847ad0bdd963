"""End-to-end tests of pages whose requests their own worker takes from the
event loop: a long answer goes out whole, piece by piece, and many requests
at once to a page with global state are each run once, one after another,
after which the worker serves requests of every kind again."""

import concurrent.futures
import http.client

import pytest

from tq_site import HOST, Site, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler java-script .jss
"""

# Numbered lines, so that a lost, doubled or reordered piece shows.
LONG_PAGE = r"""
function main() {
    var q = webserver.environment_var("QUERY_STRING");
    if (q == "html") webserver.content_type("text/html");
    for (var i = 0; i < 4000; i++)
        webserver.write_response("line " + i + " " + new Array(60).join("z") + "\n");
}
"""

# Global state: one worker, one run at a time.
COUNTER_PAGE = r"""
var count = 0;
function main() {
    count++;
    var body = webserver.read_body(-1);
    webserver.write_response("run " + count + (body.length ? " body " + body.length : ""));
}
"""


def expected_long():
    return b"".join(b"line %d %s\n" % (i, b"z" * 59) for i in range(4000))


@pytest.fixture
def site(tmp_path):
    s = Site(str(tmp_path), directives=DIRECTIVES, param={"script_timeout": 30})
    s.put("long.jss", LONG_PAGE)
    s.put("counter.jss", COUNTER_PAGE)
    s.start()
    yield s
    assert s.stop() == 0


def test_a_long_answer_goes_out_whole(site):
    want = expected_long()
    assert len(want) > 256 * 1024
    c = http.client.HTTPConnection(HOST, site.port, timeout=20)
    try:
        # Several on one connection: the worker is taken and let go each time.
        for query, lead in [("", b""), ("html", b"<html><head><title>Script output"), ("", b"")]:
            c.request("GET", "/long.jss?" + query)
            r = c.getresponse()
            body = r.read()
            assert r.status == 200, body[:200]
            assert body.startswith(lead), body[:80]
            assert body.endswith(want), (len(body), body[-80:])
            assert len(body) - len(want) < 100, len(body)
    finally:
        c.close()


def test_many_requests_at_once_run_a_page_with_global_state_once_each(site):
    def client(_):
        c = http.client.HTTPConnection(HOST, site.port, timeout=20)
        got = []
        try:
            for _ in range(15):
                c.request("GET", "/counter.jss")
                r = c.getresponse()
                got.append((r.status, r.read()))
        finally:
            c.close()
        return got

    with concurrent.futures.ThreadPoolExecutor(24) as pool:
        answers = [a for one in pool.map(client, range(24)) for a in one]
    assert all(status == 200 for status, _ in answers), answers[:5]
    counts = sorted(int(body.split()[1]) for _, body in answers)
    assert counts == list(range(1, len(answers) + 1)), counts[:20]
    # The worker was let go: a request with a body, which waits for it on a
    # pool thread, is served by it and sees every run before.
    status, _, body = request(site, "POST", "/counter.jss", body=b"abc")
    assert status == 200, body
    assert body == b"run %d body 3" % (len(answers) + 1), body


def test_a_loaded_page_still_asks_for_the_login_of_each_request(tmp_path):
    # Once bob has loaded the page, its worker takes requests straight from
    # the event loop: each must still pass the page's own access rules.
    import base64
    s = Site(str(tmp_path), directives=DIRECTIVES, param={"script_timeout": 30})
    s.put("users/.htaccess", "Require all denied\n")
    for user, password in (("bob", "builder"), ("alice", "wonder")):
        s.put("users/%s/profile.txt" % user, '"password","%s"\r\n' % password)
    s.put("bobs/.htaccess", "AuthType Basic\nAuthName b\nAuthUserFile /users\nRequire user bob\n")
    s.put("bobs/counter.jss", COUNTER_PAGE)
    s.start()
    try:
        def get(user):
            h = {}
            if user:
                h["Authorization"] = "Basic " + base64.b64encode(user.encode()).decode()
            st, _, body = request(s, "GET", "/bobs/counter.jss", h)
            return st, body
        got = [get("bob:builder"), get(None), get("alice:wonder"), get("bob:wrong"),
               get("bob:builder")]
        assert [g[0] for g in got] == [200, 401, 401, 401, 200]
        # The refused requests never ran the page.
        assert (got[0][1], got[4][1]) == (b"run 1", b"run 2")
    finally:
        assert s.stop() == 0


# Loops for ever when asked; script_timeout=0 never ends such a run.
LOOPING_PAGE = r"""
function main() {
    if (webserver.environment_var("QUERY_STRING") == "loop")
        for (;;) {}
    webserver.write_response("quick");
}
"""


def test_requests_queued_behind_a_looping_run_are_answered(tmp_path):
    import socket
    s = Site(str(tmp_path), directives=DIRECTIVES, param={"script_timeout": 0})
    s.put("looping.jss", LOOPING_PAGE)
    s.start()
    try:
        # Loaded, and its worker idle: the next requests come to it from the loop.
        assert request(s, "GET", "/looping.jss")[2] == b"quick"
        socks = [socket.create_connection((HOST, s.port), timeout=20) for _ in range(7)]
        try:
            # Sent back to back, so that the loop reads them in one round and
            # queues the quick ones on the worker behind the looping one.
            for i, c in enumerate(socks):
                q = "loop" if i == 0 else "q%d" % i
                c.sendall(b"GET /looping.jss?%s HTTP/1.1\r\nHost: %s\r\n\r\n"
                          % (q.encode(), HOST.encode()))
            for c in socks[1:]:
                got = b""
                # The answer is chunked: it ends with the empty chunk.
                while not got.endswith(b"\r\n0\r\n\r\n") and len(got) < 4096:
                    piece = c.recv(4096)
                    if not piece:
                        break
                    got += piece
                assert got.startswith(b"HTTP/1.1 200") and b"\r\nquick\r\n" in got, got[:300]
        finally:
            for c in socks:
                c.close()
    finally:
        assert s.stop() == 0
