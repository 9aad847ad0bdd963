"""End-to-end tests of waiting in JavaScript pages: an event set by one page
wakes another that waits on it (any one, all, or a time-out), and the events
of a created object run the page's handlers on the page's own thread while it
waits or sleeps.

The program has no component of its own that raises events or that two pages
could share, so these tests run the program built with two test components
(tests/e2e/test_components): "teskqvel_test.ticker" raises tick(n) from a
thread of its own, "teskqvel_test.board" hands values from page to page."""

import os
import threading

import pytest

from tq_site import BUILD, Site, request

BINARY = os.path.join(BUILD, "shell", "teskqvel_test_components")

DIRECTIVES = """Require all granted
AddHandler java-script .jss
"""

# Waits for events it hands to the setter page through the board.
WAIT_PAGE = r"""
function main() {
    var board = webserver.CreateObject("teskqvel_test.board");
    var q = webserver.environment_var("QUERY_STRING"), out;
    if (q == "any") {
        var idle = webserver.create_event, ev = webserver.create_event;
        board.put("any", ev);
        var before = ev.is_set();
        var got = webserver.wait_for_events([idle, ev], 20000, false);
        out = "before=" + before + " got=" + (got === null ? "null" : got.is_set())
            + " idle=" + idle.is_set();
    } else if (q == "all") {
        var a = webserver.create_event, b = webserver.create_event;
        board.put("all-a", a);
        board.put("all-b", b);
        var all = webserver.wait_for_events({first: a, second: b}, 20000, true);
        out = "all=" + all + " a=" + a.is_set() + " b=" + b.is_set();
    } else {
        var c = webserver.create_event, d = webserver.create_event;
        d.set();
        out = "timeout=" + webserver.wait_for_events([c], 50, false)
            + " all=" + webserver.wait_for_events([c, d], 50, true)
            + " none=" + webserver.wait_for_events([], 50, false);
    }
    webserver.write_response(out);
}
"""

SET_PAGE = r"""
function main() {
    var board = webserver.CreateObject("teskqvel_test.board");
    var name = webserver.environment_var("QUERY_STRING");
    var ev = board.take(name);
    if (ev === null) {
        webserver.write_response("missing " + name);
        return;
    }
    ev.set();
    webserver.write_response("set " + name);
}
"""

# Handlers named by a prefix are the page's global functions; an object's
# methods serve as handlers too.
TICK_PAGE = r"""
var ticks, home, away, done, ticker;
function on_tick(n) {
    ticks.push(n);
    if (ticker.thread_tag() != home) away++;
    if (n == 3) done.set();
}
function main() {
    ticks = [];
    away = 0;
    done = webserver.create_event;
    var q = webserver.environment_var("QUERY_STRING"), out = "";
    if (q == "object") {
        var o = { tick: function (n) { ticks.push("o" + n); if (n == 3) done.set(); } };
        ticker = webserver.CreateObject("teskqvel_test.ticker", o);
    } else {
        ticker = webserver.CreateObject("teskqvel_test.ticker", "on_");
    }
    home = ticker.thread_tag();
    ticker.start(3);
    if (q == "sleep") {
        for (var i = 0; i < 1000 && !done.is_set(); i++) webserver.sleep(20);
    } else if (q == "held") {
        // Fired, but not run: a handler runs only while the page waits.
        ticker.wait_fired(3);
        out = "before=" + ticks.length + " ";
        webserver.sleep(0);
    } else {
        out = "woke=" + (webserver.wait_for_events([done], 20000, false) !== null) + " ";
    }
    webserver.write_response(out + "ticks=" + ticks.join(",") + " away=" + away);
}
"""

BAD_PAGE = r"""
function main() {
    var out = [];
    try { webserver.CreateObject("teskqvel_test.ticker", 5); out.push("no error"); }
    catch (e) { out.push((e.number >>> 0).toString(16)); }
    try { webserver.CreateObject("teskqvel_test.board", "on_"); out.push("no error"); }
    catch (e) { out.push((e.number >>> 0).toString(16)); }
    webserver.write_response(out.join(","));
}
"""


@pytest.fixture
def site(tmp_path):
    s = Site(str(tmp_path), directives=DIRECTIVES, binary=BINARY)
    s.put("wait.jss", WAIT_PAGE)
    s.put("set.jss", SET_PAGE)
    s.put("tick.jss", TICK_PAGE)
    s.put("bad.jss", BAD_PAGE)
    s.start()
    yield s
    s.stop()


def in_background(site, path):
    answer = {}

    def run():
        answer["r"] = request(site, "GET", path)

    t = threading.Thread(target=run)
    t.start()
    return t, answer


def test_event_set_by_one_page_wakes_another(site):
    waiter, answer = in_background(site, "/wait.jss?any")
    status, _, body = request(site, "GET", "/set.jss?any")
    assert (status, body) == (200, b"set any")
    waiter.join(30)
    assert answer["r"][0] == 200, answer
    assert answer["r"][2] == b"before=false got=true idle=false"


def test_wait_for_all_ends_when_the_last_is_set(site):
    waiter, answer = in_background(site, "/wait.jss?all")
    assert request(site, "GET", "/set.jss?all-a")[2] == b"set all-a"
    assert request(site, "GET", "/set.jss?all-b")[2] == b"set all-b"
    waiter.join(30)
    assert answer["r"][0] == 200, answer
    assert answer["r"][2] == b"all=true a=true b=true"


def test_wait_times_out_with_null(site):
    status, _, body = request(site, "GET", "/wait.jss?timeout")
    assert status == 200, body
    assert body == b"timeout=null all=null none=null"


@pytest.mark.parametrize("how, expected", [
    ("wait", b"woke=true ticks=1,2,3 away=0"),
    ("sleep", b"ticks=1,2,3 away=0"),
    ("held", b"before=0 ticks=1,2,3 away=0"),
    ("object", b"woke=true ticks=o1,o2,o3 away=0"),
])
def test_events_of_a_created_object_run_on_the_waiting_page(site, how, expected):
    status, _, body = request(site, "GET", "/tick.jss?" + how)
    assert status == 200, body
    assert body == expected
    assert "ConnectObject: using interface iticker_events" in site.trace()


def test_connections_that_cannot_be_made_are_script_errors(site):
    status, _, body = request(site, "GET", "/bad.jss")
    assert status == 200, body
    # DISP_E_BADVARTYPE, CONNECT_E_NOCONNECTION
    assert body == b"80020008,80040200"
