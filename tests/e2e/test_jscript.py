"""End-to-end tests of in-process JavaScript pages: the built teskqvel binary
loads a page once, runs its main per request, lets it read the request and
write the answer, serialises pages that keep global state, reloads pages
whose files changed, and reports errors with the file and line they come
from."""

import hashlib
import os
import threading
import time

import pytest

from tq_site import Site, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler java-script .jss
"""

HELLO = r"""
function main() {
    var ws = webserver;
    ws.content_type("text/plain");
    var h = ws.server_object("http_response_header");
    h["X-Page"] = "hello";
    h["Status"] = "202 Accepted";
    ws.write_response("hello " + ws.environment_var("QUERY_STRING") + " \u00e9");
}
"""

BAD_LENGTH = r"""
function main() {
    var h = webserver.server_object("http_response_header");
    h["Content-Length"] = "5, 6";
    webserver.write_response("hello");
}
"""

HEADERS = r"""
function main() {
    var req = webserver.request_params;
    var out = [];
    for (var k in req) out.push(k + "=" + req[k]);
    req["X-Added"] = "by script";
    webserver.write_response(out.join("\n") + "\nmethod=" + req.request_method +
                             "\nadded=" + webserver.request_params["X-Added"]);
}
"""

BODY = r"""
function main() {
    var total = "", piece, pieces = 0;
    while ((piece = webserver.read_body(1000)) != "") { total += piece; pieces++; }
    webserver.write_response(total.length + " " + pieces + "\n" + total);
}
"""

COUNTER = r"""
var n = 0;
function main() {
    n++;
    var mine = n;
    webserver.sleep(150);
    webserver.write_response(String(mine));
}
"""

STATELESS = r"""
__declare_const("wid");
var wid = String(Math.random());
function main() {
    webserver.sleep(400);
    webserver.write_response(wid);
}
"""

PAGE_WITH_INCLUDE = r"""// the page
@include "lib/part.js"
function main() {
    webserver.errors_to_response(webserver.environment_var("QUERY_STRING") != "quiet");
    webserver.write_response("v=" + version_text() + ";");
    if (webserver.environment_var("QUERY_STRING") != "") broken();
}
"""

PART_V1 = """function version_text() { return "one"; }
function broken() {
    var a = 1;
    undefined_function_here(a);
}
"""

MODULE = r"""
var count = 0;
exports.next = function () { return ++count; };
exports.name = "counter-module";
"""

USES_MODULE = r"""
var m = require("shared_counter");
function main() { webserver.write_response(m.name + ":" + m.next()); }
"""

CYCLE_A = """var b = require("cyc_b");\nexports.a = 1;\n"""
CYCLE_B = """var a = require("cyc_a");\nexports.b = 1;\n"""
USES_CYCLE = """var x = require("cyc_a");\nfunction main() { webserver.write_response("loaded"); }\n"""

LOOP = """function main() { webserver.write_response("started"); while (true) {} }\n"""

EXIT = """function main() {
    try { webserver.write_response("before;"); exit(); } finally { webserver.write_response("finally!"); }
}
"""

SPAWNER = r"""
function main() {
    webserver.spawn_script("/spawned.jss", "p1");
    webserver.add_on_disconnect_handler("/spawned.jss", "gone", true);
    alert(1 / 0); alert(""); alert(null); alert(true);
    webserver.write_response("spawned");
}
"""

SPAWNED = """function main() { alert("spawned " + webserver.environment_var("_TSKQVL_SCRIPT_PARAM")); }\n"""

INJECT = r"""
function main() {
    var out = [];
    var h = webserver.server_object("http_response_header");
    try { h["X-Bad"] = "a\r\nInjected: 1"; out.push("set"); } catch (e) { out.push("refused"); }
    try { webserver.content_type("text/plain\r\nInjected: 2"); out.push("set"); } catch (e) { out.push("refused"); }
    h["X-Good"] = "fine";
    out.push(webserver.ini_file_value("*", "param", "script_timeout"));
    webserver.write_response(out.join(","));
}
"""

LATE = r"""
function main() {
    var h = webserver.server_object("http_response_header");
    webserver.write_response("body;");
    try { h["X-Late"] = "1"; webserver.write_response("set"); } catch (e) { webserver.write_response("refused"); }
}
"""

ALERT = """function main() { webserver.content_type("text/html"); alert("<b>'x'</b> & y"); }\n"""


# Texts a page writes, by number; with "raw" the page writes in io_mode 1
# (the low byte of each character).
TEXTS = r"""
var texts = ["plain ascii", "caf\u00e9 \u20ac \u07ff \uffe9", "\uD83D\uDE00 \uDBFF\uDFFF",
             "a\uD800b", "a\uDC00b", "x\uD83D", "caf\u00e9"];
function main() {
    var q = webserver.environment_var("QUERY_STRING").split(",");
    if (q[1] == "raw") webserver.io_mode = 1;
    webserver.write_response(texts[parseInt(q[0])]);
}
"""

# The page's webserver is one object that an assignment does not replace,
# and it serves each request in turn.
SAME_WEBSERVER = r"""
var first = webserver;
function main() {
    var a = webserver;
    webserver = 5;
    var b = webserver;
    b.write_response((a === b) + " " + (a === first) + " " + webserver.environment_var("QUERY_STRING"));
}
"""


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("jscript"))
    s = Site(root, directives=DIRECTIVES, param={"script_timeout": "3", "func_trace": "1"})
    s.put("hello.jss", HELLO)
    s.put("headers.jss", HEADERS)
    s.put("badlength.jss", BAD_LENGTH)
    s.put("body.jss", BODY)
    s.put("counter.jss", COUNTER)
    s.put("stateless.jss", STATELESS)
    s.put("inc.jss", PAGE_WITH_INCLUDE)
    s.put("lib/part.js", PART_V1)
    s.put("shared_counter.js", MODULE)
    s.put("mod.jss", USES_MODULE)
    s.put("cyc_a.js", CYCLE_A)
    s.put("cyc_b.js", CYCLE_B)
    s.put("cycle.jss", USES_CYCLE)
    s.put("loop.jss", LOOP)
    s.put("exit.jss", EXIT)
    s.put("alert.jss", ALERT)
    s.put("inject.jss", INJECT)
    s.put("late.jss", LATE)
    s.put("spawner.jss", SPAWNER)
    s.put("spawned.jss", SPAWNED)
    s.put("nomain.jss", "var x = 1;\n")
    s.put("texts.jss", TEXTS)
    s.put("same.jss", SAME_WEBSERVER)
    s.start()
    yield s
    s.stop()


def test_a_head_the_wire_refuses_ends_in_500_and_a_close(site):
    import socket
    with socket.create_connection(("127.0.0.1", site.port), timeout=10) as c:
        c.sendall(b"GET /badlength.jss HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        got = b""
        while True:
            piece = c.recv(4096)  # the close ends the loop; a hang times out
            if not piece:
                break
            got += piece
    assert got.startswith(b"HTTP/1.1 500"), got[:200]


def test_page_writes_body_headers_and_status(site):
    status, headers, data = request(site, "GET", "/hello.jss?abc")
    assert status == 202
    assert headers["x-page"] == "hello"
    assert headers["content-type"] == "text/plain; charset=utf-8"
    assert data.decode("utf-8") == "hello abc \u00e9"


def test_request_headers_enumerated_and_changed(site):
    status, _, data = request(site, "GET", "/headers.jss", headers={"X-Custom-One": "v1",
                                                                      "User-Agent": "tq-test"})
    text = data.decode()
    assert status == 200
    assert "X-Custom-One=v1" in text
    assert "User-Agent=tq-test" in text
    assert "method=GET" in text
    assert "added=by script" in text


def test_post_body_read_in_pieces_keeps_characters_whole(site):
    # Three-byte characters over 100 KiB: many of them straddle the pieces.
    body = ("a\u20acb\U0001F600" * 13000).encode("utf-8")
    assert len(body) > 100 * 1024
    status, _, data = request(site, "POST", "/body.jss", body=body,
                              headers={"Content-Type": "text/plain"})
    assert status == 200
    head, _, rest = data.partition(b"\n")
    assert rest == body
    assert "\ufffd" not in rest.decode("utf-8")
    assert int(head.split()[1]) > 10


@pytest.mark.parametrize("query,want", [
    ("0", b"plain ascii"),
    ("1", "caf\u00e9 \u20ac \u07ff \uffe9".encode("utf-8")),
    # A pair of surrogates is one character of four bytes, never two halves.
    ("2", "\U0001F600 \U0010FFFF".encode("utf-8")),
    # A lone half is no character: it reads as U+FFFD.
    ("3", "a\ufffdb".encode("utf-8")),
    ("4", "a\ufffdb".encode("utf-8")),
    ("5", "x\ufffd".encode("utf-8")),
    ("6,raw", b"caf\xe9"),
])
def test_written_text_arrives_as_utf8(site, query, want):
    status, _, data = request(site, "GET", "/texts.jss?" + query)
    assert status == 200
    assert data == want


def test_the_webserver_object_stays_and_serves_each_request(site):
    for q in ["one", "two", "three"]:
        status, _, data = request(site, "GET", "/same.jss?" + q)
        assert (status, data) == (200, b"true true " + q.encode())


def parallel(site, path, n):
    results = [None] * n

    def one(i):
        results[i] = request(site, "GET", path)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    return results


def test_stateful_page_serves_one_request_at_a_time(site):
    results = parallel(site, "/counter.jss", 5)
    assert all(r is not None and r[0] == 200 for r in results)
    # One worker, one counter: every request saw its own value.
    assert sorted(int(r[2]) for r in results) == [1, 2, 3, 4, 5]


def test_stateless_page_runs_on_several_workers(site):
    results = parallel(site, "/stateless.jss", 4)
    assert all(r is not None and r[0] == 200 for r in results)
    assert len({r[2] for r in results}) >= 2


def test_reload_on_change_of_page_and_included_file(site):
    assert request(site, "GET", "/inc.jss")[2] == b"v=one;"
    time.sleep(0.05)
    site.put("lib/part.js", PART_V1.replace('"one"', '"two"'))
    assert request(site, "GET", "/inc.jss")[2] == b"v=two;"
    time.sleep(0.05)
    site.put("inc.jss", PAGE_WITH_INCLUDE.replace('"v="', '"w="'))
    assert request(site, "GET", "/inc.jss")[2] == b"w=two;"


def test_error_names_included_file_and_line(site):
    status, _, data = request(site, "GET", "/inc.jss?x")
    text = data.decode()
    assert status == 200
    assert "Script error in " + os.path.join(site.pub, "lib", "part.js") in text
    assert "Line 4," in text
    assert "undefined_function_here" in text
    # Errors off: the page's output only; the trace has the report.
    status, _, data = request(site, "GET", "/inc.jss?quiet")
    assert data.decode().startswith("w=") or data.decode().startswith("v=")
    assert "Script error" not in data.decode()
    assert "undefined_function_here" in site.trace()


def test_module_exports_shared_between_requests(site):
    first = request(site, "GET", "/mod.jss")[2].decode()
    second = request(site, "GET", "/mod.jss")[2].decode()
    assert first == "counter-module:1"
    assert second == "counter-module:2"


def test_require_cycle_fails_cleanly(site):
    status, _, data = request(site, "GET", "/cycle.jss")
    assert status == 200
    assert b"circular" in data
    assert request(site, "GET", "/hello.jss")[0] == 202


def test_exit_is_not_caught_by_finally(site):
    for _ in range(2):
        status, _, data = request(site, "GET", "/exit.jss")
        assert (status, data) == (200, b"before;")


def test_missing_main_is_reported(site):
    status, _, data = request(site, "GET", "/nomain.jss")
    assert status == 200
    assert b"could not locate main" in data


def test_alert_text_is_escaped_in_html(site):
    data = request(site, "GET", "/alert.jss")[2].decode()
    assert "&lt;b&gt;&#39;x&#39;&lt;/b&gt; &amp; y" in data
    assert "<b>" not in data


def wait_for_trace(site, text, seconds=20):
    end = time.monotonic() + seconds
    while text not in site.trace() and time.monotonic() < end:
        time.sleep(0.05)
    return text in site.trace()


def test_spawned_and_disconnect_scripts_run_and_alerts_are_traced(site):
    status, _, data = request(site, "GET", "/spawner.jss")
    # Alerts go to the page too while errors go to the response.
    assert (status, data) == (200, b"Infinity\r\n[empty]\r\n[null]\r\nTrue\r\nspawned")
    assert wait_for_trace(site, "alert: spawned p1")
    # request() closes its connection: the handler runs with its parameter.
    assert wait_for_trace(site, "alert: spawned gone")
    trace = site.trace()
    for text in ("alert: Infinity\n", "alert: [empty]\n", "alert: [null]\n", "alert: True\n"):
        assert text in trace


def test_line_breaks_cannot_add_response_headers(site):
    status, headers, data = request(site, "GET", "/inject.jss")
    assert status == 200
    assert data == b"refused,refused,3"
    assert headers["x-good"] == "fine"
    assert "injected" not in headers
    assert "x-bad" not in headers
    # Once the head has gone out, headers stay as they were sent.
    status, headers, data = request(site, "GET", "/late.jss")
    assert (status, data) == (200, b"body;refused")
    assert "x-late" not in headers


def test_run_time_limit_ends_a_looping_page(site):
    status, _, data = request(site, "GET", "/loop.jss")
    assert status == 200
    assert b"started" in data
    assert b"run time limit" in data
    # The worker serves again afterwards.
    assert b"started" in request(site, "GET", "/loop.jss")[2]


def test_looping_page_is_interrupted_at_stop(tmp_path):
    s = Site(str(tmp_path), directives=DIRECTIVES, param={"script_timeout": "0"})
    s.put("loop.jss", LOOP)
    s.start()
    try:
        got = []
        t = threading.Thread(target=lambda: got.append(_quiet_request(s, "/loop.jss")))
        t.start()
        end = time.monotonic() + 20
        while "create thread" not in s.trace() and time.monotonic() < end:
            time.sleep(0.05)
        time.sleep(0.3)
    finally:
        rc = s.stop()
    t.join(30)
    assert rc == 0


def _quiet_request(site, path):
    try:
        return request(site, "GET", path)
    except Exception as e:  # the server may close the connection at stop
        return e
