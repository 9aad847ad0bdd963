"""End-to-end tests of how long a JavaScript page runs: a page that streams
learns that its client left, every wait of a page ends with its run-time
limit, a request that a busy page could not serve is answered 503, and a page
whose top-level code loops holds up no other page."""

import concurrent.futures
import os
import socket
import threading

import pytest

from tq_site import HOST, Site, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler java-script .jss
"""

# A page with global state: one worker serves it, one request after another,
# so a second request is served only once the first run is over.
RUNS_PAGE = r"""
var last = -1;
function main() {
    var q = webserver.environment_var("QUERY_STRING");
    if (q == "stream") {
        var piece = new Array(8193).join("x"), n = 0;
        while (webserver.write_response(piece)) n++;
        last = n;
    } else if (q == "upload") {
        last = webserver.read_body(-1).length;
    } else if (q == "flood") {
        var big = new Array(65537).join("y");
        for (var i = 0; i < 400; i++) webserver.write_response(big);
        last = 400;
    } else if (q == "hold") {
        var t = Date.now();
        while (Date.now() - t < 800) {}
        webserver.write_response("held");
    } else {
        webserver.write_response("last=" + last);
    }
}
"""

# Top-level code that marks that it began and then never ends on its own.
LOOPING_TOP = r"""
var f = webserver.file;
f.open(webserver.absolute_filename("/loop.mark"), 0x301);
f.write("began");
f.close();
while (true) {}
function main() { webserver.write_response("never"); }
"""

PLAIN_PAGE = r"""
function main() { webserver.write_response("plain page"); }
"""


def make_site(tmp_path, **param):
    s = Site(str(tmp_path), directives=DIRECTIVES, param=param)
    s.put("runs.jss", RUNS_PAGE)
    s.put("loop.jss", LOOPING_TOP)
    s.put("plain.jss", PLAIN_PAGE)
    s.start()
    return s


@pytest.fixture
def unlimited(tmp_path):
    s = make_site(tmp_path, script_timeout=0)
    yield s
    assert s.stop() == 0


@pytest.fixture
def limited(tmp_path):
    s = make_site(tmp_path, script_timeout=2)
    yield s
    assert s.stop() == 0


# A page's first request loads it on a pool thread; once loaded, its worker
# takes requests from the event loop and runs the page on its own thread.
@pytest.mark.parametrize("loaded", [False, True])
def test_a_page_that_streams_learns_that_its_client_left(unlimited, loaded):
    if loaded:
        assert request(unlimited, "GET", "/runs.jss?ask")[2] == b"last=-1"
    with socket.create_connection((HOST, unlimited.port), timeout=20) as c:
        c.sendall(b"GET /runs.jss?stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        got = b""
        while len(got) < 100000:
            piece = c.recv(65536)
            assert piece, "the stream ended before the client left"
            got += piece
        assert b" 200 " in got.split(b"\r\n", 1)[0]
    # Without a run-time limit the stream ends only because its write says the
    # client is gone; until then the page's one worker serves nobody else.
    status, _, body = request(unlimited, "GET", "/runs.jss?ask")
    assert status == 200, body
    assert body.startswith(b"last=") and int(body[5:]) > 0, body


@pytest.mark.parametrize("opening", [
    # A body that is announced as 100 bytes and stops after 10.
    b"POST /runs.jss?upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n0123456789",
    # An answer of 25 MiB to a client that reads none of it.
    b"GET /runs.jss?flood HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
])
def test_a_wait_of_a_page_ends_with_its_run(limited, opening):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as c:
        c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        c.settimeout(20)
        c.connect((HOST, limited.port))
        c.sendall(opening)
        # The page's one worker is busy with the run above until its limit
        # ends the wait; the next request is then served by the page.
        status, _, body = request(limited, "GET", "/runs.jss?ask")
        assert status == 200, body
        assert body.startswith(b"last="), body
        # The first request did reach the page.
        head = c.recv(12)
        assert head.startswith(b"HTTP/1.1 ") and not head.startswith(b"HTTP/1.1 404"), head


def test_a_request_that_a_busy_page_could_not_serve_is_503(tmp_path):
    # Each run holds the one worker for about 0.8 s; a request waits for it at most
    # its run-time limit and 10 s more, so the last of 16 give up.
    s = make_site(tmp_path, script_timeout=1)
    try:
        with concurrent.futures.ThreadPoolExecutor(16) as pool:
            answers = list(pool.map(lambda _: request(s, "GET", "/runs.jss?hold"), range(16)))
    finally:
        assert s.stop() == 0
    served = [a for a in answers if a[0] == 200]
    refused = [a for a in answers if a[0] != 200]
    assert served and refused, [a[0] for a in answers]
    for status, _, body in served:
        # The page's answer (or, on a loaded machine, its run-limit report):
        # never the text of a request that was not served.
        assert b"stayed busy" not in body, body
    for status, headers, body in refused:
        assert status == 503, (status, body)
        assert headers.get("retry-after", "").isdigit(), headers


def test_a_looping_top_level_holds_up_no_other_page(tmp_path):
    s = make_site(tmp_path, script_timeout=20)
    try:
        looping = {}
        t = threading.Thread(
            target=lambda: looping.update(answer=request(s, "GET", "/loop.jss")))
        t.start()
        mark = os.path.join(s.pub, "loop.mark")
        for _ in range(400):
            if os.path.exists(mark):
                break
            t.join(0.025)
        assert os.path.exists(mark), "the looping page never began"
        # Served while the other page's first run still loops.
        status, _, body = request(s, "GET", "/plain.jss")
        assert status == 200 and body == b"plain page", body
        assert t.is_alive(), "the looping page ended before the other was served"
    finally:
        assert s.stop() == 0
    t.join(30)
