"""End-to-end tests of what a cached JavaScript page reuses between requests:
the answer handed back from the page's worker in one piece (large, streamed
and empty answers still arrive whole), the page's freshness taken from the
configuration cache (an edit is seen by the very next request, also one
within the same second and of the same size), the wrappers of native
objects kept across runs (a native object kept in a global still works),
and a page with global state serving concurrent requests one at a time."""

import threading

import pytest

from tq_site import Site, request

DIRECTIVES = """Require all granted
AddHandler java-script .jss
"""

# The same length in both versions: only the content tells them apart.
def version_page(tag):
    return 'function main() { webserver.write_response("version %s"); }\n' % tag


STATEFUL = r"""
var count = 0;
function main() {
    count++;
    var mine = count;
    // Work between reading and answering: a second run at the same time
    // would see the count move.
    var x = 0;
    for (var i = 0; i < 20000; i++) x += i;
    webserver.write_response(String(mine) + " " + (count == mine ? "alone" : "overlapped"));
}
"""

KEPT = r"""
var ws = null, first = null, runs = 0;
function main() {
    runs++;
    if (ws === null) { ws = webserver; first = webserver.request_params; }
    // The same object as the global webserver, on this request.
    ws.write_response((ws === webserver) + " " + runs + " " + ws.environment_var("QUERY_STRING"));
    // A request object of a finished request: its values or a clean error.
    try { ws.write_response(" old=" + first.url); } catch (e) { ws.write_response(" old-error"); }
    var w = ws.write_response;
    w(" end");
}
"""

BIG = r"""
__declare_const("piece");
var piece = new Array(1001).join("0123456789");
function main() {
    for (var i = 0; i < 30; i++) webserver.write_response(piece);
}
"""

SLOW_WRITER = r"""
function main() {
    webserver.write_response("first ");
    webserver.sleep(300);
    webserver.write_response("second");
}
"""

SILENT = r"""
function main() { }
"""


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("jscript_reuse"))
    s = Site(root, directives=DIRECTIVES, param={"script_timeout": "20"})
    s.put("version.jss", version_page("A"))
    s.put("stateful.jss", STATEFUL)
    s.put("kept.jss", KEPT)
    s.put("big.jss", BIG)
    s.put("slow.jss", SLOW_WRITER)
    s.put("silent.jss", SILENT)
    s.start()
    yield s
    s.stop()


def test_edit_between_two_requests_is_seen_at_once(site):
    for tag in "BCDEF":
        status, _, data = request(site, "GET", "/version.jss")
        assert status == 200
        before = data
        # Rewritten in place at once, the same size: the next request must
        # not be answered by the page as it was.
        site.put("version.jss", version_page(tag))
        status, _, data = request(site, "GET", "/version.jss")
        assert status == 200
        assert data == ("version %s" % tag).encode(), before


def test_stateful_page_gives_concurrent_requests_distinct_consecutive_counts(site):
    status, _, data = request(site, "GET", "/stateful.jss")
    assert status == 200
    start = int(data.split()[0])
    results = []
    lock = threading.Lock()

    def one():
        st, _, body = request(site, "GET", "/stateful.jss")
        with lock:
            results.append((st, body.decode()))

    threads = [threading.Thread(target=one) for _ in range(20)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert len(results) == 20
    assert all(st == 200 for st, _ in results), results
    assert all(body.endswith(" alone") for _, body in results), results
    counts = sorted(int(body.split()[0]) for _, body in results)
    assert counts == list(range(start + 1, start + 21))


def test_native_objects_kept_in_globals_work_on_later_requests(site):
    status, _, first = request(site, "GET", "/kept.jss?one")
    assert status == 200
    assert first == b"true 1 one old=/kept.jss end"
    # The request object of the first request no longer reaches a request
    # (whose data is gone): empty, never the old request's memory.
    status, _, second = request(site, "GET", "/kept.jss?two")
    assert status == 200
    assert second == b"true 2 two old= end"


def test_large_streamed_and_empty_answers_arrive_whole(site):
    status, _, data = request(site, "GET", "/big.jss")
    assert status == 200
    assert data == b"0123456789" * 1000 * 30
    status, _, data = request(site, "GET", "/slow.jss")
    assert status == 200
    assert data == b"first second"
    status, headers, data = request(site, "GET", "/silent.jss")
    assert status == 200
    assert data == b""
