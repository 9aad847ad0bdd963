"""PROPFIND, PROPPATCH and REPORT against the real binary: the shapes of the
207 answers are checked by parsing them as XML, and the file system is checked
for what PROPPATCH changed (and did not change)."""

import os
import socket
import stat
import xml.etree.ElementTree as ET

import pytest

from tq_site import Site, request

D = "{DAV:}"
Z = "{urn:schemas-microsoft-com:}"

BODY_ALLPROP = '<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:allprop/></D:propfind>'
BODY_PROPNAME = '<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:propname/></D:propfind>'
BODY_PROP = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:prop><D:displayname/>'
             '<D:getetag/><D:current-user-principal/></D:prop></D:propfind>')


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    s = Site(str(tmp_path_factory.mktemp("davprops")))
    s.put("a.txt", "hello")
    s.put("sub dir/b.html", "<p>x</p>")
    s.put("sub dir/.hidden", "h")
    s.put("ümlaut & #x.txt", "u")
    # A name the path checks refuse (GET answers 403) is not listed.
    s.put("not <served>.txt", "n")
    s.put("locked/.htaccess", "Require all granted\n")
    os.symlink("/etc", os.path.join(s.pub, "outside"))
    os.symlink("a.txt", os.path.join(s.pub, "inside.txt"))
    s.start()
    yield s
    s.stop()


def multistatus(status, body):
    assert status == 207, body
    root = ET.fromstring(body)
    assert root.tag == D + "multistatus"
    return root


def responses(root):
    """href -> {property tag: text} of the 200 propstat, plus the statuses."""
    out = {}
    for r in root.findall(D + "response"):
        href = r.find(D + "href").text
        props = {}
        for ps in r.findall(D + "propstat"):
            assert ps.find(D + "status").text == "HTTP/1.1 200 OK"
            for p in ps.find(D + "prop"):
                props[p.tag] = p
        out[href] = props
    return out


def propfind(site, path, depth=None, body=BODY_ALLPROP):
    headers = {"Content-Type": "application/xml"}
    if depth is not None:
        headers["Depth"] = depth
    return request(site, "PROPFIND", path, headers, body)


def test_depth_zero_one_and_infinity(site):
    for depth in (None, "0", "infinity", "Infinity"):
        st, h, body = propfind(site, "/", depth)
        assert h["content-type"].endswith('; charset="utf-8"')
        assert list(responses(multistatus(st, body))) == ["/"]
    st, _, body = propfind(site, "/", "1")
    got = responses(multistatus(st, body))
    assert "/sub%20dir/" in got and "/a.txt" in got
    # Names with characters that need escaping come back as one href that
    # decodes to the name.
    escaped = [h for h in got if h.startswith("/%c3%bcmlaut")]
    assert len(escaped) == 1 and "%26" in escaped[0] and "%23" in escaped[0]
    assert request(site, "GET", "/not%20%3cserved%3e.txt")[0] == 403
    assert not any(h.startswith("/not") for h in got)
    # A link that stays inside the tree is listed; one leading out is not.
    assert "/inside.txt" in got and not any(h.startswith("/outside") for h in got)
    folder = got["/sub%20dir/"]
    assert folder[D + "resourcetype"].find(D + "collection") is not None
    assert D + "getcontenttype" not in folder
    f = got["/a.txt"]
    assert D + "resourcetype" not in f
    assert f[D + "getcontenttype"].text == "text/plain"
    assert f[D + "getcontentlength"].text == "5"
    assert f[Z + "Win32FileAttributes"].text == "00000020"
    # The entity tag is the one GET sends, so If-Match works on it.
    _, gh, _ = request(site, "GET", "/a.txt")
    etag = f[D + "getetag"].text
    assert etag.startswith('"') and etag == gh.get("etag", etag)
    st, _, body = propfind(site, "/sub%20dir/", "1")
    got = responses(multistatus(st, body))
    assert sorted(got) == ["/sub%20dir/", "/sub%20dir/.hidden", "/sub%20dir/b.html"]
    assert got["/sub%20dir/.hidden"][D + "ishidden"].text == "TRUE"
    # Depth 1 on a file is the file alone.
    st, _, body = propfind(site, "/a.txt", "1")
    assert list(responses(multistatus(st, body))) == ["/a.txt"]


def test_request_forms_and_errors(site):
    for body in (BODY_PROPNAME, BODY_PROP, ""):
        st, _, answer = propfind(site, "/a.txt", "0", body)
        props = responses(multistatus(st, answer))["/a.txt"]
        assert D + "getlastmodified" in props
    # current-user-principal is written only for the target, when asked.
    st, _, answer = propfind(site, "/", "1", BODY_PROP)
    got = responses(multistatus(st, answer))
    assert D + "current-user-principal" in got["/"]
    assert D + "current-user-principal" not in got["/a.txt"]
    assert propfind(site, "/missing", "0")[0] == 404
    assert propfind(site, "/a.txt", "0", "<D:propfind xmlns:D='DAV:'>")[0] == 400
    assert propfind(site, "/a.txt", "99999999999999")[0] == 400
    # Entity declarations are refused, not expanded.
    bomb = ('<?xml version="1.0"?><!DOCTYPE d [<!ENTITY a "aaaaaaaaaa">'
            '<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;">]><D:propfind xmlns:D="DAV:">'
            '<D:prop>&b;</D:prop></D:propfind>')
    assert propfind(site, "/a.txt", "0", bomb)[0] == 400
    # A body over the bound is refused whole, never cut and parsed (before
    # it comes, to a client that waits to be told to go on).
    head = ("PROPFIND /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nDepth: 0\r\nContent-Length: %d\r\n"
            "Expect: 100-continue\r\n\r\n" % (9 * 1024 * 1024))
    with socket.create_connection(("127.0.0.1", site.port), timeout=20) as c:
        c.sendall(head.encode() + b"<D:propfind")
        got = b""
        while b"\r\n\r\n" not in got and len(got) < 65536:
            piece = c.recv(65536)
            if not piece:
                break
            got += piece
    assert got.startswith(b"HTTP/1.1 413"), got
    # A large body under the bound is read whole and answered.
    large = "<D:propfind xmlns:D='DAV:'><D:allprop/>" + " " * (100 * 1024) + "</D:propfind>"
    multistatus(*propfind(site, "/a.txt", "0", large)[::2])
    # REPORT: nothing of a plain folder is a supported report.
    assert request(site, "REPORT", "/", {}, "<x/>")[0] == 403
    assert request(site, "REPORT", "/", {}, "")[0] == 400


def proppatch(site, path, inner):
    body = ('<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" '
            'xmlns:Z="urn:schemas-microsoft-com:">' + inner + '</D:propertyupdate>')
    st, _, answer = request(site, "PROPPATCH", path, {"Content-Type": "application/xml"}, body)
    assert st == 207, answer
    root = ET.fromstring(answer)
    out = []
    for ps in root.iter(D + "propstat"):
        for p in ps.find(D + "prop"):
            out.append((p.tag, ps.find(D + "status").text.split()[1]))
    return out, root


def test_proppatch_live_properties(site):
    path = site.put("times.txt", "t")
    got, root = proppatch(site, "/times.txt",
                          "<D:set><D:prop><Z:Win32LastModifiedTime>Wed, 01 Jan 2020 10:00:00 GMT"
                          "</Z:Win32LastModifiedTime><Z:Win32LastAccessTime>"
                          "Thu, 02 Jan 2020 10:00:00 GMT</Z:Win32LastAccessTime>"
                          "<Z:Win32CreationTime>Tue, 31 Dec 2019 10:00:00 GMT</Z:Win32CreationTime>"
                          "<D:ishidden>1</D:ishidden><D:isreadonly>1</D:isreadonly>"
                          "</D:prop></D:set>")
    assert got == [(Z + "Win32LastModifiedTime", "200"), (Z + "Win32LastAccessTime", "200"),
                   (Z + "Win32CreationTime", "200"), (D + "ishidden", "200"),
                   (D + "isreadonly", "200")]
    assert root.find(D + "response/" + D + "href").text == "/times.txt"
    st = os.stat(path)
    assert int(st.st_mtime) == 1577872800 and int(st.st_atime) == 1577959200
    assert not st.st_mode & stat.S_IWUSR
    props = responses(multistatus(*propfind(site, "/times.txt", "0")[::2]))["/times.txt"]
    assert props[D + "isreadonly"].text == "TRUE" and props[D + "ishidden"].text == "TRUE"
    assert props[Z + "Win32FileAttributes"].text == "00000023"
    assert props[Z + "Win32CreationTime"].text == "Tue, 31 Dec 2019 10:00:00 GMT"
    assert props[Z + "Win32LastModifiedTime"].text == "Wed, 01 Jan 2020 10:00:00 GMT"
    # What PROPFIND writes is accepted back unchanged; removing the bits
    # clears them.
    got, _ = proppatch(site, "/times.txt",
                       "<D:set><D:prop><Z:Win32LastModifiedTime>%s</Z:Win32LastModifiedTime>"
                       "</D:prop></D:set><D:remove><D:prop><D:isreadonly/><D:ishidden/>"
                       "</D:prop></D:remove>" % props[Z + "Win32LastModifiedTime"].text)
    assert [s for _, s in got] == ["200", "200", "200"]
    assert os.stat(path).st_mode & stat.S_IWUSR
    props = responses(multistatus(*propfind(site, "/times.txt", "0")[::2]))["/times.txt"]
    assert props[Z + "Win32FileAttributes"].text == "00000020"
    # The whole word, then a bit on top of it.
    got, _ = proppatch(site, "/times.txt",
                       "<D:set><D:prop><Z:Win32FileAttributes>00000000</Z:Win32FileAttributes>"
                       "</D:prop></D:set>")
    props = responses(multistatus(*propfind(site, "/times.txt", "0")[::2]))["/times.txt"]
    assert props[Z + "Win32FileAttributes"].text == "00000080"


def test_proppatch_refuses_what_it_cannot_store(site):
    path = site.put("dead.txt", "d")
    before = os.stat(path)
    got, root = proppatch(site, "/dead.txt",
                          "<D:set><D:prop><x:color xmlns:x='urn:example'>red</x:color>"
                          "<Z:Win32LastModifiedTime>Wed, 01 Jan 2020 10:00:00 GMT"
                          "</Z:Win32LastModifiedTime><D:displayname>n</D:displayname>"
                          "</D:prop></D:set><D:remove><D:prop><D:getetag/></D:prop></D:remove>")
    assert got == [("{urn:example}color", "403"), (Z + "Win32LastModifiedTime", "424"),
                   (D + "displayname", "403"), (D + "getetag", "403")]
    assert root.find(".//" + D + "responsedescription") is None
    # All or nothing: the time that could have been set was not.
    assert os.stat(path).st_mtime_ns == before.st_mtime_ns
    got, _ = proppatch(site, "/dead.txt",
                       "<D:set><D:prop><Z:Win32LastModifiedTime>not a date"
                       "</Z:Win32LastModifiedTime></D:prop></D:set>")
    assert got == [(Z + "Win32LastModifiedTime", "409")]


def test_proppatch_errors(site):
    st, _, _ = request(site, "PROPPATCH", "/missing.txt", {}, "<D:propertyupdate xmlns:D='DAV:'/>")
    assert st == 404
    assert request(site, "PROPPATCH", "/a.txt", {}, "")[0] == 400
    assert request(site, "PROPPATCH", "/a.txt", {}, "<D:propfind xmlns:D='DAV:'/>")[0] == 400
    body = ("<D:propertyupdate xmlns:D='DAV:'><D:set><D:prop><D:ishidden>1</D:ishidden>"
            "</D:prop></D:set></D:propertyupdate>")
    # The access file needs a login even to be reached; it is never changed.
    assert request(site, "PROPPATCH", "/locked/.htaccess", {}, body)[0] in (401, 403)
    assert not os.getxattr(os.path.join(site.pub, "locked/.htaccess"), "user.teskqvel.win32",
                           follow_symlinks=False) if "user.teskqvel.win32" in os.listxattr(
        os.path.join(site.pub, "locked/.htaccess")) else True
    # Conditions apply: a stale entity tag changes nothing.
    assert request(site, "PROPPATCH", "/a.txt", {"If-Match": '"stale"'}, body)[0] == 412
    props = responses(multistatus(*propfind(site, "/a.txt", "0")[::2]))["/a.txt"]
    assert D + "ishidden" not in props


def test_access_check_and_blocklist_apply(tmp_path):
    s = Site(str(tmp_path), directives="Require all granted\n")
    s.put("open/x.txt", "x")
    s.put("closed/y.txt", "y")
    s.put("closed/.htaccess", "Require user nobody\nAuthType Basic\nAuthName t\n")
    s.put("blocked/z.txt", "z")
    s.write_data("blocklist.txt", os.path.join(s.pub, "blocked") + "\n")
    s.start()
    try:
        assert propfind(s, "/open/", "1")[0] == 207
        for method in ("PROPFIND", "PROPPATCH"):
            st, h, _ = request(s, method, "/closed/y.txt", {}, "<D:propfind xmlns:D='DAV:'/>")
            assert st == 401 and "www-authenticate" in h
            assert request(s, method, "/blocked/z.txt", {}, "<x/>")[0] == 403
        # A blocked folder is not listed in its parent either.
        got = responses(multistatus(*propfind(s, "/", "1")[::2]))
        assert "/open/" in got and "/blocked/" not in got
    finally:
        s.stop()
