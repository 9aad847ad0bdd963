"""POST bodies and rewrite-script steps. With a stand-in for the script
host's pages (tests/khttp_tools/script_stand_in) the page answers with the
length and MD5 of the body it was fed, so every body shape is checked byte
for byte; the real program answers a CGI page it cannot start with an error
status, never an empty success, and runs a JavaScript rewrite step."""

import hashlib
import http.client
import os
import re
import subprocess

import pytest

from tq_site import BUILD, DEFAULT_DIRECTIVES, HOST, Site, curl, request

STAND_IN = os.path.join(BUILD, "tests", "khttp_tools", "script_stand_in")
DIRECTIVES = DEFAULT_DIRECTIVES + "AddHandler cgi-script .cgi\nAddHandler java-script .rw\n"


def digest(data):
    return b"%d %s\n" % (len(data), hashlib.md5(data).hexdigest().encode())


def prepare(site):
    site.put("echo.cgi", "page")
    site.put("static.txt", "static text")
    # Rewrite scripts: each folder's script writes a control byte and output.
    for name, output in (("data", b"\x00hello from the step"), ("empty", b"\x02"),
                         ("body", b"\x01\x00after body")):
        folder = os.path.join(site.pub, "rw_" + name)
        site.put("rw_%s/step.rw" % name, output)
        site.put("rw_%s/target.txt" % name, "target")
        with open(os.path.join(folder, ".htaccess"), "w") as f:
            f.write("RewriteScript step.rw\n")


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    s = Site(str(tmp_path_factory.mktemp("post")), directives=DIRECTIVES, binary=STAND_IN)
    prepare(s)
    s.start()
    yield s
    assert s.stop() == 0


def post(site, path, body, headers=None, chunked=False):
    c = http.client.HTTPConnection(HOST, site.port, timeout=60)
    try:
        c.request("POST", path, body=body, headers=headers or {}, encode_chunked=chunked)
        r = c.getresponse()
        return r.status, r.read()
    finally:
        c.close()


@pytest.mark.parametrize("size", [0, 1024, 10 * 1024 * 1024])
def test_bodies_reach_the_page_byte_identical(site, size):
    data = bytes((i * 31 + i // 1000) % 256 for i in range(size))
    status, body = post(site, "/echo.cgi", data)
    assert status == 200
    assert body == digest(data)


def test_chunked_body_reaches_the_page(site):
    data = os.urandom(300 * 1024)
    pieces = (data[i:i + 5000] for i in range(0, len(data), 5000))
    status, body = post(site, "/echo.cgi", pieces, chunked=True)
    assert status == 200
    assert body == digest(data)


def test_body_after_100_continue_reaches_the_page(site, tmp_path):
    data = os.urandom(200 * 1024)
    path = tmp_path / "body.bin"
    path.write_bytes(data)
    r = curl("-H", "Expect: 100-continue", "--data-binary", "@%s" % path,
             "http://%s:%d/echo.cgi" % (HOST, site.port))
    assert r.returncode == 0, r.stderr
    assert r.stdout == digest(data)
    # curl waited for the interim answer before it sent the body.
    r = curl("-v", "-H", "Expect: 100-continue", "--data-binary", "@%s" % path,
             "http://%s:%d/echo.cgi" % (HOST, site.port))
    assert b"HTTP/1.1 100 Continue" in r.stderr


def test_coded_body_is_refused_and_static_file_answers(site):
    status, _ = post(site, "/echo.cgi", b"abc", {"Content-Encoding": "gzip"})
    assert status == 501
    status, body = post(site, "/echo.cgi", b"abc", {"Content-Encoding": "Identity"})
    assert status == 200 and body == digest(b"abc")
    status, _ = post(site, "/echo.cgi", b"abc", {"Content-Range": "bytes 0-2/3"})
    assert status == 501
    status, body = post(site, "/static.txt", b"x" * 100000)
    assert status == 200 and body == b"static text"


def test_rewrite_step_control_bytes(site):
    status, headers, body = request(site, "GET", "/rw_data/target.txt")
    assert status == 200
    assert body == b"hello from the step"
    assert headers.get("transfer-encoding", "").lower() == "chunked"
    status, _, body = request(site, "GET", "/rw_empty/target.txt")
    assert status == 200 and body == b""
    status, body = post(site, "/rw_body/target.txt", b"z" * 100000)
    assert status == 200 and body == b"after body"


def test_real_program_answers_pages_it_cannot_run_with_an_error(tmp_path):
    site = Site(str(tmp_path), directives=DIRECTIVES)
    prepare(site)
    site.start()
    try:
        # A CGI file that names no program cannot start: an error, never its source.
        status, body = post(site, "/echo.cgi", b"abc" * 1000)
        assert status == 500 and b"page" not in body
        # A rewrite step in JavaScript runs in-process: its control byte
        # lets the request through with the step's output.
        site.put("rw_data/step.rw",
                 'function main() { webserver.write_response("\\u0000hello from the step"); }\n')
        status, _, body = request(site, "GET", "/rw_data/target.txt")
        assert (status, body) == (200, b"hello from the step")
        status, body = post(site, "/static.txt", b"abc")
        assert status == 200 and body == b"static text"
    finally:
        assert site.stop() == 0


def test_dynamic_address_redirect_keeps_the_query_once(tmp_path):
    site = Site(str(tmp_path), binary=STAND_IN)
    with open(os.path.join(site.data, "global.ini"), "a") as f:
        f.write("[dynip]\r\nprefix=dyn\r\n")
    site.env["TQ_TEST_DYNIP"] = "box=192.168.7.9 8081"
    site.start()
    try:
        c = http.client.HTTPConnection(HOST, site.port, timeout=20)
        for path, location in (("/dyn/box/a?x=1", "http://192.168.7.9:8081/a?x=1"),
                               ("/dyn/box", "http://192.168.7.9:8081"),
                               ("/dyn/box/f.txt", "http://192.168.7.9:8081/f.txt")):
            c.request("GET", path)
            r = c.getresponse()
            r.read()
            assert r.status == 302, path
            assert r.getheader("Location") == location
        c.request("GET", "/dyn/other/a")
        r = c.getresponse()
        r.read()
        assert r.status == 404
        c.close()
    finally:
        assert site.stop() == 0
    with open(os.path.join(site.pub, "logs", "access.log")) as f:
        log = f.read()
    assert "/dyn/other/a" in log and "/dyn/box" not in log


def test_dump_request_body_traces_each_piece_as_a_hex_dump(tmp_path):
    site = Site(str(tmp_path))
    site.start("-dump_request_body")
    try:
        # A PUT reads its whole body, and one this large follows the head in
        # pieces of its own (a static file's POST may leave its body to the
        # HTTP service, which reads it without the server seeing it).
        payload = b"0123456789abcdef" * 65536
        c = http.client.HTTPConnection(HOST, site.port, timeout=60)
        c.request("PUT", "/dumped.bin", body=payload)
        status = c.getresponse().status
        c.close()
        assert status in (200, 201, 204)
        with open(os.path.join(site.pub, "dumped.bin"), "rb") as f:
            assert f.read() == payload
    finally:
        assert site.stop() == 0
    trace = site.trace()
    assert "post/put dump:\n" in trace
    dump = trace[trace.index("post/put dump:\n"):].splitlines()[1:40]
    # Sixteen bytes a line with "-" before the ninth, four blanks before
    # each line, the characters after the bytes; no offset column.
    line = re.compile(r"^(\d{6}~\d{3} )?    ([0-9a-f]{2} ){7}[0-9a-f]{2}-([0-9a-f]{2} ){7}[0-9a-f]{2}"
                      r" [0-9a-f]{16}$")
    full = [l for l in dump if line.match(l)]
    assert len(full) > 30, "\n".join(dump)
