"""End-to-end tests of three Webserver members against the real program: a
page's own choice of compression (set_compression), logins checked by a page
for other URLs (authenticate, Basic and Digest with real clients), and the
request body read in pieces counted in UTF-16 units (read_body)."""

import base64
import hashlib
import json
import re
import urllib.parse
import zlib

import pytest

from tq_site import HOST, Site, curl, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler java-script .jss
"""

TEXT = "".join("line %04d: compressible text \u00e9\u20ac\n" % i for i in range(200))

# A page that writes TEXT after the compression call its query names.
COMPRESSING = r"""
function main() {
    var q = webserver.environment_var("QUERY_STRING");
    var out = "";
    try {
        if (q == "on") webserver.set_compression(true, true, 6, 8, 15);
        else if (q == "gzip") webserver.set_compression(false, true, 9, 9, 15);
        else if (q == "deflate") webserver.set_compression(true, false, 1, 1, 9);
        else if (q == "off") webserver.set_compression(false, false, 6, 8, 15);
        else if (q == "partial") {
            webserver.set_compression(true, true, 6, 8, 15);
            // Fails at its second argument: deflate is already stored off.
            try { webserver.set_compression(false, "no", 6, 8, 15); } catch (e) {}
        } else if (q == "bad_only") {
            try { webserver.set_compression(true, true, "x", 8, 15); } catch (e) {}
        }
    } catch (e) {
        out = "error " + (e.number >>> 0).toString(16) + "\n";
    }
    webserver.content_type("text/plain");
    webserver.write_response(out + TEXT);
}
"""

BAD_ARGS = r"""
function main() {
    var cases = [
        function () { webserver.set_compression("yes please", true, 6, 8, 15); },
        function () { webserver.set_compression(true, true, "six", 8, 15); },
        function () { webserver.set_compression(true, true, 6, 8, "wide"); },
        function () { webserver.set_compression(true, true, 6, 8); },
        function () { webserver.set_compression(1, 0, "7", 8, 15); }
    ];
    var out = [];
    for (var i = 0; i < cases.length; i++) {
        try { cases[i](); out.push("ok"); }
        catch (e) { out.push((e.number >>> 0).toString(16)); }
    }
    webserver.write_response(out.join(","));
}
"""

USERS = '"alice","secret"\r\n"bob","builder"\r\n'

# Asks authenticate for each URL of the query ("," between them); an "@"
# line in the query adds directive lines (their "~" standing for new lines).
AUTH_PAGE = r"""
function main() {
    var q = decodeURIComponent(webserver.environment_var("QUERY_STRING"));
    var parts = q.split("@");
    var urls = parts[0].split(",");
    var out = [];
    for (var i = 0; i < urls.length; i++) {
        if (parts.length > 1)
            out.push(webserver.authenticate(urls[i], "GET", parts[1].split("~").join("\n")));
        else
            out.push(webserver.authenticate(urls[i], "GET"));
    }
    webserver.write_response(out.join(","));
}
"""

# Reads the body in pieces of the sizes of the query, in turn, and reports
# each piece's length (JavaScript's, in UTF-16 units) before the text itself.
PIECES_PAGE = r"""
function main() {
    var sizes = webserver.environment_var("QUERY_STRING").split(",");
    var parts = [], piece, lengths = [], i = 0;
    while ((piece = webserver.read_body(Number(sizes[i % sizes.length]))) != "") {
        lengths.push(piece.length);
        parts.push(piece);
        i++;
    }
    webserver.content_type("text/plain; charset=utf-8");
    webserver.write_response(lengths.join(",") + "\n" + parts.join(""));
}
"""


def auth_dir(kind, realm, require="valid-user"):
    return ("AuthType %s\nAuthName %s\nAuthUserFile /secret/users.txt\nRequire %s\n"
            % (kind, realm, require))


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    s = Site(str(tmp_path_factory.mktemp("jsmembers")), directives=DIRECTIVES,
             param={"func_trace": "3"})
    page = "var TEXT = %s;\n%s" % (json.dumps(TEXT), COMPRESSING)
    s.put("plain/page.jss", page)
    s.put("filtered/.htaccess", "SetOutputFilter DEFLATE\n")
    s.put("filtered/page.jss", page)
    s.put("badargs.jss", BAD_ARGS)
    s.put("secret/.htaccess", "Require all denied\n")
    s.put("secret/users.txt", USERS)
    s.put("basic/.htaccess", auth_dir("Basic", "Basic Area"))
    s.put("basic/file.txt", "b\n")
    s.put("basic2/.htaccess", auth_dir("Basic", "Basic Area"))
    s.put("basic2/file.txt", "b\n")
    s.put("bobs/.htaccess", auth_dir("Basic", "Basic Area", "user bob"))
    s.put("bobs/file.txt", "b\n")
    s.put("digest/.htaccess", auth_dir("Digest", "Digest Area"))
    s.put("digest/file.txt", "d\n")
    s.put("digest/page.jss", AUTH_PAGE)
    s.put("digest2/.htaccess", auth_dir("Digest", "Digest Area"))
    s.put("digest2/file.txt", "d\n")
    s.put("open/file.txt", "o\n")
    s.put("open/auth.jss", AUTH_PAGE)
    s.put("pieces.jss", PIECES_PAGE)
    s.start()
    yield s
    s.stop()


def decoded(coding, data):
    if coding == "gzip":
        return zlib.decompress(data, 16 + zlib.MAX_WBITS)
    if coding == "deflate":
        return zlib.decompress(data, -zlib.MAX_WBITS)
    return data


@pytest.mark.parametrize("path, accept, coding", [
    # Turned on by the page: the coding follows what the client takes.
    ("/plain/page.jss?on", "gzip", "gzip"),
    ("/plain/page.jss?on", "deflate", "deflate"),
    ("/plain/page.jss?on", "gzip,deflate", "deflate"),
    ("/plain/page.jss?on", None, None),
    ("/plain/page.jss?gzip", "gzip,deflate", "gzip"),
    ("/plain/page.jss?deflate", "gzip,deflate", "deflate"),
    ("/plain/page.jss?deflate", "gzip", None),
    # Without a call the directory decides: off here, on with its filter.
    ("/plain/page.jss", "gzip", None),
    ("/filtered/page.jss", "gzip", "gzip"),
    # Turned off by the page, even where the directory compresses.
    ("/filtered/page.jss?off", "gzip", None),
    ("/filtered/page.jss?off", "gzip,deflate", None),
    # A call that fails leaves the values it stored before the bad
    # argument; the choice of the earlier call still holds.
    ("/plain/page.jss?partial", "gzip,deflate", "gzip"),
    # A failed call alone makes no choice.
    ("/plain/page.jss?bad_only", "gzip", None),
    ("/filtered/page.jss?bad_only", "gzip", "gzip"),
])
def test_page_chooses_its_compression(site, path, accept, coding):
    headers = {"Accept-Encoding": accept} if accept else {}
    status, h, data = request(site, "GET", path, headers=headers)
    assert status == 200
    assert h.get("content-encoding") == coding
    assert decoded(coding, data).decode("utf-8") == TEXT
    if coding:
        assert "content-length" not in h
        assert h["vary"] == "Accept-Encoding, User-Agent"


def test_compressed_page_through_curl(site):
    r = curl("--compressed", "-D", "-", "http://%s:%d/plain/page.jss?on" % (HOST, site.port))
    head, _, body = r.stdout.partition(b"\r\n\r\n")
    assert re.search(rb"(?im)^content-encoding: (gzip|deflate)\r?$", head), head
    assert body.decode("utf-8") == TEXT


def test_set_compression_refuses_bad_arguments(site):
    status, _, data = request(site, "GET", "/badargs.jss")
    assert status == 200
    # Type mismatch for text that is no boolean or number, a wrong count of
    # arguments, and numbers and number texts taken as they convert.
    assert data.decode().split(",") == ["80020005", "80020005", "80020005", "8002000e", "ok"]


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def challenge_params(header):
    assert header.startswith("Digest "), header
    return {k: a or b for k, a, b in re.findall(r'(\w+)=(?:"([^"]*)"|([^,\s]*))', header[7:])}


def digest_header(ch, user, password, method, uri, cnonce, nc=1):
    ha1 = md5("%s:%s:%s" % (user, ch["realm"], password))
    ha2 = md5("%s:%s" % (method, uri))
    ncs = "%08x" % nc
    resp = md5("%s:%s:%s:%s:auth:%s" % (ha1, ch["nonce"], ncs, cnonce, ha2))
    return ('Digest username="%s", realm="%s", nonce="%s", uri="%s", response="%s", '
            'opaque="%s", qop=auth, nc=%s, cnonce="%s"'
            % (user, ch["realm"], ch["nonce"], uri, resp, ch["opaque"], ncs, cnonce))


@pytest.mark.parametrize("query, authorization, status, answer, realm", [
    # Not required, and refused URLs.
    ("/open/file.txt", None, 200, "2", None),
    ("/bad|name.txt", None, 403, "0", None),
    # Basic: no credentials, wrong ones, right ones.
    ("/basic/file.txt", None, 401, "0", 'Basic realm="Basic Area"'),
    ("/basic/file.txt", basic("alice", "wrong"), 401, "0", 'Basic realm="Basic Area"'),
    ("/basic/file.txt", basic("alice", "secret"), 200, "1", None),
    # The same login for a second URL is already done; a URL that admits
    # only another user refuses the login that passed.
    ("/basic/file.txt,/basic2/file.txt", basic("alice", "secret"), 200, "1,3", None),
    ("/basic/file.txt,/bobs/file.txt", basic("alice", "secret"), 401, "1,0", None),
    ("/bobs/file.txt", basic("bob", "builder"), 200, "1", None),
    # Directive lines of the page protect a URL that has no login of its own.
    ("/open/file.txt@AuthType Basic~AuthName Page Area~AuthUserFile /secret/users.txt~"
     "Require valid-user", None, 401, "0", 'Basic realm="Page Area"'),
    ("/open/file.txt@AuthType Basic~AuthName Page Area~AuthUserFile /secret/users.txt~"
     "Require valid-user", basic("bob", "builder"), 200, "1", None),
    ("/open/file.txt@0", None, 200, "2", None),
])
def test_authenticate_answers(site, query, authorization, status, answer, realm):
    headers = {"Authorization": authorization} if authorization else {}
    target = "/open/auth.jss?" + urllib.parse.quote(query, safe="/,@~")
    got_status, h, data = request(site, "GET", target, headers=headers)
    assert (got_status, data.decode()) == (status, answer)
    if realm:
        assert h["www-authenticate"] == realm


def test_authenticate_digest_with_curl(site):
    # curl answers the page's own challenge; the login then holds for the
    # page's first URL and is already done for the second of the realm.
    url = "http://%s:%d/open/auth.jss?/digest/file.txt,/digest2/file.txt" % (HOST, site.port)
    r = curl("--digest", "-u", "alice:secret", "-w", "\n%{http_code}", url)
    assert r.stdout.decode().split("\n") == ["1,3", "200"]
    r = curl("--digest", "-u", "alice:wrong", "-w", "\n%{http_code}", url)
    assert r.stdout.decode().split("\n")[-1] == "401"


def test_authenticate_after_the_page_own_login_is_already_done(site):
    # The server's check of the page used the Digest answer: checking it a
    # second time would see a replayed nonce count.
    url = "http://%s:%d/digest/page.jss?/digest2/file.txt,/open/file.txt" % (HOST, site.port)
    r = curl("--digest", "-u", "alice:secret", "-w", "\n%{http_code}", url)
    assert r.stdout.decode().split("\n") == ["3,2", "200"]


def test_authenticate_asks_once_per_url(site):
    status, h, _ = request(site, "GET", "/open/auth.jss?/digest/file.txt")
    assert status == 401
    ch = challenge_params(h["www-authenticate"])
    target = "/open/auth.jss?/digest/file.txt,/digest/file.txt"
    cnonce = "once7f3a9c"
    auth = digest_header(ch, "alice", "secret", "GET", target, cnonce)
    status, _, data = request(site, "GET", target, headers={"Authorization": auth})
    assert (status, data.decode()) == (200, "1,1")
    # The access check traces each Authorization it looks at.
    assert len(re.findall(r"authorization: \[[^\n]*" + cnonce, site.trace())) == 1
    # The same answer again is a replay.
    status, _, data = request(site, "GET", target, headers={"Authorization": auth})
    assert (status, data.decode()) == (401, "0,0")


def expected_pieces(units, sizes):
    """The lengths read_body gives: a piece never ends inside a surrogate
    pair, except that a piece that would be empty takes the whole pair."""
    out, pos, i = [], 0, 0
    while pos < len(units):
        want = sizes[i % len(sizes)]
        n = min(want, len(units) - pos)
        if n < len(units) - pos and 0xD800 <= units[pos + n - 1] <= 0xDBFF:
            n = n - 1 if n > 1 else 2
        out.append(n)
        pos += n
        i += 1
    return out


@pytest.mark.parametrize("sizes", [[1], [3, 7, 1, 13], [101, 1, 2, 32769], [-1]])
def test_body_read_in_utf16_units(site, sizes):
    pattern = "ab\u00e9c\u20ac\U0001F600d\U00010348\u07ff\uffe9xyz\U0010FFFF"
    text = (pattern * 6000)[: 100 * 1024 // 2]
    body = text.encode("utf-8")
    assert len(body) >= 100 * 1024
    status, _, data = request(site, "POST", "/pieces.jss?" + ",".join(map(str, sizes)),
                              body=body, headers={"Content-Type": "text/plain"})
    assert status == 200
    head, _, rest = data.partition(b"\n")
    assert rest == body
    raw16 = text.encode("utf-16-le")
    units = [int.from_bytes(raw16[k:k + 2], "little") for k in range(0, len(raw16), 2)]
    want = [s if s >= 0 else 1 << 32 for s in sizes]
    assert [int(n) for n in head.split(b",")] == expected_pieces(units, want)
