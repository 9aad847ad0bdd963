"""End-to-end tests of server-side includes: pages whose echo and include
directives are replaced while they are served, with includes of files,
pages and CGI programs, stopped loops and paths kept inside the tree."""

import os
import shutil
import tempfile

import pytest

from tq_site import Site, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler server-parsed .shtml
AddHandler cgi-script .cgi
"""

MIME_TYPES = """text/html html htm shtml
text/plain txt
"""

QUERY_CGI = """#!/bin/sh
printf 'Content-Type: text/plain\\r\\n\\r\\n'
printf 'cgi saw [%s]' "$QUERY_STRING"
"""


@pytest.fixture(scope="module")
def site():
    root = tempfile.mkdtemp(prefix="tq_ssi_", dir="/tmp")
    os.chmod(root, 0o755)
    s = Site(root, directives=DIRECTIVES, mime_types=MIME_TYPES)
    with open(os.path.join(root, "secret.txt"), "w") as f:
        f.write("outside the tree")
    s.put("echo.shtml",
          "q=<!--#echo var=\"QUERY_STRING\" -->;"
          "ua=<!--#echo var=\"HTTP_USER_AGENT\" -->;"
          "sw=<!--#echo var=\"SERVER_SOFTWARE\" -->;"
          "m=<!--#echo var=\"REQUEST_METHOD\" -->;"
          "p=<!--#echo var=\"_TSKQVL_PATH\" -->;"
          "none=<!--#echo var=\"NO_SUCH_VARIABLE\" -->;"
          "raw=<!--#echo var=\"HTTP_X_MARKUP\" encoding=\"none\" -->;"
          "esc=<!--#echo var=\"HTTP_X_MARKUP\" -->;"
          "other=<!--#exec cmd=\"id\" -->.")
    s.put("part.txt", "PART")
    s.put("sub/inner.txt", "INNER")
    s.put("sub/page.shtml",
          "[<!--#include file=\"inner.txt\" -->]"
          "[<!--#include virtual=\"/part.txt\" -->]"
          "[<!--#include virtual=\"../part.txt\" -->]"
          "[<!--#include file=\"/part.txt\" -->]")
    s.put("q.cgi", QUERY_CGI)
    s.put("cgi.shtml", "before <!--#include virtual=\"/q.cgi?x=1&y=a+b\" --> after")
    s.put("self.shtml", "S<!--#include virtual=\"/self.shtml\" -->E")
    s.put("a.shtml", "A<!--#include virtual=\"/b.shtml\" -->a")
    s.put("b.shtml", "B<!--#include virtual=\"/a.shtml\" -->b")
    s.put("escape.shtml",
          "<!--#include virtual=\"/../../../secret.txt\" -->|"
          "<!--#include file=\"../../secret.txt\" -->|"
          "<!--#include virtual=\"/closed/hidden.txt\" -->|"
          "<!--#include virtual=\"/a%3Ab.txt\" -->.")
    s.put("closed/hidden.txt", "HIDDEN")
    s.write_data("pub/closed/.htaccess", "Require all denied\n")
    s.put("split.shtml", "x" * 20000 + "<!--#echo var=\"REQUEST_METHOD\" -->" + "y" * 20000)
    for dirpath, dirs, _ in os.walk(root):
        for d in dirs:
            os.chmod(os.path.join(dirpath, d), 0o755)
    s.start()
    yield s
    s.stop()
    shutil.rmtree(root, ignore_errors=True)


def test_echo_of_every_kind_of_variable(site):
    status, hdrs, data = request(site, "GET", "/echo.shtml?a=1",
                                 headers={"User-Agent": "tester/1", "X-Markup": "<b>&"})
    assert status == 200
    assert hdrs["content-type"] == "text/html"
    text = data.decode()
    assert "q=a=1;" in text
    assert "ua=tester/1;" in text
    assert "sw=teskqvel/" in text
    assert "m=GET;" in text
    assert "p=/echo.shtml;" in text
    assert "none=;" in text
    assert "raw=<b>&;" in text
    assert "esc=&lt;b&gt;&amp;;" in text
    # A directive that is neither echo nor include stays as it is.
    assert "other=<!--#exec cmd=\"id\" -->." in text


def test_include_file_and_virtual(site):
    status, _, data = request(site, "GET", "/sub/page.shtml")
    assert status == 200
    assert data == b"[INNER][PART][PART][]"


def test_include_of_a_cgi_with_a_query(site):
    status, hdrs, data = request(site, "GET", "/cgi.shtml")
    assert status == 200
    # The program's head does not change the page's.
    assert hdrs["content-type"] == "text/html"
    assert data == b"before cgi saw [x=1&y=a b] after"


def test_self_include_and_cycles_stop(site):
    status, _, data = request(site, "GET", "/self.shtml")
    assert status == 200
    assert data == b"S[include loop stopped: /self.shtml]\nE"
    status, _, data = request(site, "GET", "/a.shtml")
    assert status == 200
    assert data == b"AB[include loop stopped: /a.shtml]\nba"


def test_includes_stay_inside_the_tree_and_pass_the_access_check(site):
    status, _, data = request(site, "GET", "/escape.shtml")
    assert status == 200
    assert data == b"|||."


def test_directive_across_read_pieces(site):
    status, _, data = request(site, "GET", "/split.shtml")
    assert status == 200
    assert data == b"x" * 20000 + b"GET" + b"y" * 20000
