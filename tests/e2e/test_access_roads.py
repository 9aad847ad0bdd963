"""Every road to a file of the tree gets the answer a direct request gets:
COPY and MOVE destinations and sources, the members of the trees COPY, MOVE
and DELETE handle, the objects calendar reports and PROPFIND read, files that
do not exist in a folder that needs a login, and Destinations on another
server. Two users, alice and bob, each own a folder under /private/."""

import base64
import os
import xml.etree.ElementTree as ET
from urllib.parse import unquote

import pytest

from tq_site import HOST, Site, request

D = "{DAV:}"
C = "{urn:ietf:params:xml:ns:caldav}"
USERS = {"alice": "wonder-land", "bob": "builder"}
LOGIN = "AuthType Basic\nAuthName cal\nAuthUserFile /users\n"


def event(uid, summary):
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//tq//test//EN\r\nBEGIN:VEVENT\r\n"
            "UID:%s\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:20250101T100000Z\r\nDURATION:PT1H\r\n"
            "SUMMARY:%s\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n" % (uid, summary))


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("roads"))
    s = Site(root, directives=LOGIN + "Require all granted\nDirectoryIndex index.html\n"
             "AddHandler server-parsed .shtml\n",
             mime_types="text/plain txt\ntext/calendar ics\ntext/html shtml\n")
    s.put("users/.htaccess", "Require all denied\n")
    for user, password in USERS.items():
        s.put("users/%s/profile.txt" % user, '"password","%s"\r\n' % password)
        s.put("private/%s/cal/%s.ics" % (user, user), event(user, user.capitalize()))
    s.put("private/.htaccess", "Require actual-user .\n")
    # A tree with a blocked folder and a folder only bob may use, three times.
    for top in ("src", "del", "mv"):
        s.put("t/%s/a.txt" % top, "a")
        s.put("t/%s/blk/secret.txt" % top, "blocked")
        s.put("t/%s/bobs/.htaccess" % top, "Require user bob\n")
        s.put("t/%s/bobs/b.txt" % top, "b")
    # Read-only files (owner's write bit clear) in trees that go, and
    # folders replaced at a destination holding what must stay.
    for rel in ("t/ro_del/", "t/ro_mv/", "t/rp_src/", "t/rp_src2/"):
        s.put(rel + "a.txt", "a")
    for rel in ("t/ro_del/ro.txt", "t/ro_mv/ro.txt", "t/rp_dst2/ro.txt"):
        os.chmod(s.put(rel, "ro"), 0o444)
    s.put("t/rp_dst/old.txt", "old")
    s.put("t/rp_dst/bobs/.htaccess", "Require user bob\n")
    s.put("t/rp_dst/bobs/b.txt", "b")
    s.write_data("blocklist.txt", "".join(os.path.join(s.pub, "t", top, "blk") + "\n"
                                          for top in ("src", "del", "mv")))
    # Calendar reports run on the root too: objects there, a refused one and
    # a link out of the tree.
    s.put(".htaccess", "<Files secret.ics>\nRequire all denied\n</Files>\n")
    s.put("ok.ics", event("ok-uid", "Visible"))
    s.put("secret.ics", event("secret-uid", "Hidden"))
    outside = os.path.join(root, "outside.ics")
    with open(outside, "w") as f:
        f.write(event("outside-uid", "Outside"))
    os.symlink(outside, os.path.join(s.pub, "link.ics"))
    s.put("page.shtml", "".join('[<!--#include %s="%s" -->]' % i for i in (
        ("virtual", "/ok.ics"), ("virtual", "/secret.ics"), ("file", "link.ics"),
        ("virtual", "/private/bob/cal/bob.ics"), ("virtual", "/.htaccess"))))
    s.start()
    yield s
    s.stop()


def auth(user):
    if not user:
        return {}
    # "name:password" sends that pair as it stands.
    pair = user if ":" in user else "%s:%s" % (user, USERS[user])
    token = base64.b64encode(pair.encode()).decode()
    return {"Authorization": "Basic " + token}


def url(site, path):
    return "http://%s:%d%s" % (HOST, site.port, path)


def read(site, rel):
    try:
        with open(os.path.join(site.pub, rel)) as f:
            return f.read()
    except FileNotFoundError:
        return None


def test_copy_and_move_destinations_pass_the_whole_check(site):
    bob_ics = "private/bob/cal/bob.ics"
    before = read(site, bob_ics)
    cases = [
        # method, source, destination, overwrite, expected status
        ("COPY", "/private/alice/cal/", url(site, "/private/bob/cal/"), "T", 401),
        ("COPY", "/private/alice/cal/alice.ics", url(site, "/private/bob/cal/bob.ics"), "T", 401),
        ("MOVE", "/private/alice/cal/alice.ics", url(site, "/private/bob/cal/bob.ics"), "T", 401),
        ("COPY", "/private/alice/cal/alice.ics",
         url(site, "/private/alice/../bob/cal/bob.ics"), "T", 401),
        ("MOVE", "/private/alice/cal/alice.ics",
         url(site, "/private/alice/%2e%2e/bob/cal/bob.ics"), "T", 401),
        ("COPY", "/private/alice/cal/alice.ics", "/private/bob/cal/new.ics", "F", 401),
        # A Destination on another server.
        ("COPY", "/private/alice/cal/alice.ics", "http://evil.example.com/private/alice/x.ics",
         "F", 502),
        ("MOVE", "/private/alice/cal/alice.ics",
         "http://%s:%d/private/alice/cal/y.ics" % (HOST, site.port + 1 if site.port < 65535
                                                   else site.port - 1), "F", 502),
        # What alice may do still works.
        ("COPY", "/private/alice/cal/alice.ics", url(site, "/private/alice/cal/copy.ics"), "F", 201),
        ("COPY", "/private/alice/cal/alice.ics", "/private/alice/cal/copy2.ics", "F", 201),
    ]
    got = []
    for method, src, dest, overwrite, _ in cases:
        st = request(site, method, src, dict(auth("alice"), Destination=dest,
                                             Overwrite=overwrite))[0]
        got.append((method, src, dest, st))
    assert got == [(m, s, d, e) for m, s, d, _, e in cases]
    assert read(site, bob_ics) == before
    assert read(site, "private/bob/cal/new.ics") is None
    assert read(site, "private/alice/cal/alice.ics") is not None
    assert read(site, "private/alice/cal/copy.ics") == read(site, "private/alice/cal/alice.ics")


def test_missing_and_existing_files_answer_alike_before_the_login(site):
    cases = [
        # method, path, user, expected
        ("GET", "/private/bob/cal/bob.ics", None, 401),
        ("GET", "/private/bob/cal/missing.ics", None, 401),
        ("HEAD", "/private/bob/cal/missing.ics", None, 401),
        ("GET", "/private/bob/cal/missing.ics", "alice", 401),
        ("GET", "/private/bob/missing/", None, 401),
        ("GET", "/private/bob/cal/", None, 401),
        ("GET", "/private/bob/cal/", "alice", 401),
        ("GET", "/private/bob/missing/", "alice", 401),
        ("GET", "/private/bob/cal/", "bob:wrong", 401),
        ("GET", "/private/bob/missing/", "bob:wrong", 401),
        ("GET", "/private/bob/cal/bob.ics", "bob:wrong", 401),
        ("PROPFIND", "/private/bob/cal/missing.ics", None, 401),
        ("DELETE", "/private/bob/cal/missing.ics", None, 401),
        ("COPY", "/private/bob/cal/missing.ics", None, 401),
        ("MKCOL", "/private/bob/cal/", None, 401),
        ("MKCOL", "/private/bob/newcol/", None, 401),
        ("MKCOL", "/private/bob/cal/", "alice", 401),
        ("MKCOL", "/private/bob/cal/", "bob", 405),
        ("GET", "/private/bob/cal/missing.ics", "bob", 404),
        ("GET", "/private/bob/cal/bob.ics", "bob", 200),
    ]
    got = [(m, p, u, request(site, m, p, dict(auth(u), Depth="0",
                                              Destination="/private/bob/x.ics"))[0])
           for m, p, u, _ in cases]
    assert got == [(m, p, u, e) for m, p, u, e in cases]


def hrefs_of(body):
    return {unquote(r.find(D + "href").text): r for r in ET.fromstring(body).findall(D + "response")}


def test_tree_members_need_their_own_rights(site):
    def exists(rel):
        return os.path.lexists(os.path.join(site.pub, rel))

    got = []
    # COPY: the blocked folder and bob's folder stay behind and are named.
    st, _, body = request(site, "COPY", "/t/src/", {"Destination": url(site, "/t/copy/")})
    got.append(("COPY", st, set(hrefs_of(body)) if st == 207 else None, exists("t/copy/a.txt"),
                exists("t/copy/blk"), exists("t/copy/bobs"),
                request(site, "GET", "/t/copy/blk/secret.txt")[0]))
    # DELETE: what the client may not remove stays, with its access file.
    st, _, body = request(site, "DELETE", "/t/del/")
    got.append(("DELETE", st, set(hrefs_of(body)) if st == 207 else None, exists("t/del/a.txt"),
                read(site, "t/del/blk/secret.txt"), read(site, "t/del/bobs/b.txt"),
                read(site, "t/del/bobs/.htaccess")))
    # MOVE: the same for the source; the rest arrives.
    st, _, body = request(site, "MOVE", "/t/mv/", {"Destination": url(site, "/t/moved/")})
    got.append(("MOVE", st, set(hrefs_of(body)) if st == 207 else None, exists("t/mv/a.txt"),
                exists("t/moved/a.txt"), read(site, "t/mv/blk/secret.txt"),
                read(site, "t/mv/bobs/b.txt"), exists("t/moved/bobs")))
    assert got == [
        ("COPY", 207, {"/t/src/blk/", "/t/src/bobs/"}, True, False, False, 404),
        ("DELETE", 207, {"/t/del/blk/", "/t/del/bobs/"}, False, "blocked", "b",
         "Require user bob\n"),
        ("MOVE", 207, {"/t/mv/blk/", "/t/mv/bobs/"}, False, True, "blocked", "b", False),
    ]


def test_members_that_must_stay_are_kept_and_named(site):
    def there(rel):
        return os.path.lexists(os.path.join(site.pub, rel))

    # method, target, destination (replaced: Overwrite T), the 207's hrefs,
    # what must still be there, what must be gone
    cases = [
        ("DELETE", "/t/ro_del/", None, {"/t/ro_del/ro.txt"}, ["t/ro_del/ro.txt"],
         ["t/ro_del/a.txt"]),
        ("MOVE", "/t/ro_mv/", "/t/ro_moved/", {"/t/ro_mv/ro.txt"},
         ["t/ro_mv/ro.txt", "t/ro_moved/a.txt"], ["t/ro_mv/a.txt", "t/ro_moved/ro.txt"]),
        ("COPY", "/t/rp_src/", "/t/rp_dst/", {"/t/rp_dst/bobs/"},
         ["t/rp_dst/bobs/b.txt", "t/rp_dst/bobs/.htaccess", "t/rp_dst/old.txt"],
         ["t/rp_dst/a.txt"]),
        ("MOVE", "/t/rp_src2/", "/t/rp_dst2/", {"/t/rp_dst2/ro.txt"},
         ["t/rp_dst2/ro.txt", "t/rp_src2/a.txt"], ["t/rp_dst2/a.txt"]),
    ]
    got, want = [], []
    for method, path, dest, hrefs, kept, gone in cases:
        headers = {"Destination": url(site, dest), "Overwrite": "T"} if dest else {}
        st, _, body = request(site, method, path, headers)
        got.append((method, path, st, set(hrefs_of(body)) if st == 207 else body,
                    [k for k in kept if there(k)], [g for g in gone if there(g)]))
        want.append((method, path, 207, hrefs, kept, []))
    assert got == want


MULTIGET = ('<?xml version="1.0"?><C:calendar-multiget xmlns:D="DAV:" '
            'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><C:calendar-data/></D:prop>%s'
            '</C:calendar-multiget>')
QUERY = ('<?xml version="1.0"?><C:calendar-query xmlns:D="DAV:" '
         'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><C:calendar-data/></D:prop>'
         '<C:filter><C:comp-filter name="VCALENDAR"/></C:filter></C:calendar-query>')
PROPFIND = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:" '
            'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><C:calendar-data/></D:prop>'
            '</D:propfind>')


def test_reports_read_only_what_get_reads(site):
    # What GET says of the three objects.
    assert [request(site, "GET", "/%s.ics" % n)[0] for n in ("ok", "secret", "link")] == \
        [200, 403, 403]
    multiget = MULTIGET % "".join("<D:href>/%s.ics</D:href>" % n for n in ("ok", "secret", "link"))
    cases = (("REPORT", multiget), ("REPORT", QUERY), ("PROPFIND", PROPFIND))
    got = []
    for method, body in cases:
        st, _, answer = request(site, method, "/", {"Depth": "1",
                                                    "Content-Type": "application/xml"}, body)
        text = answer.decode()
        got.append((method, st, "ok-uid" in text, "secret-uid" in text, "outside-uid" in text))
    assert got == [(method, 207, True, False, False) for method, _ in cases]
    got = hrefs_of(request(site, "REPORT", "/", {"Depth": "1"}, multiget)[2])
    for name in ("secret", "link"):
        status = got["/%s.ics" % name].find(D + "status")
        assert status is not None and status.text.split(" ")[1] in ("403", "404")


def test_includes_read_only_what_the_client_may_get(site):
    for user, bobs in ((None, False), ("alice", False), ("bob", True)):
        st, _, body = request(site, "GET", "/page.shtml", auth(user))
        text = body.decode()
        assert st == 200, text
        assert "ok-uid" in text
        assert "secret-uid" not in text and "outside-uid" not in text, text
        assert "Require all denied" not in text, text
        assert ("UID:bob" in text) == bobs, (user, text)


def test_a_named_pipe_in_the_tree_is_refused_without_waiting(site):
    # Opening a pipe waits for a writer unless told not to: every request
    # for it would hold a server thread for good.
    os.mkfifo(os.path.join(site.pub, "pipe.txt"))
    site.put("pipe.shtml", '[<!--#include virtual="/pipe.txt" -->][<!--#include file="pipe.txt" -->]')
    try:
        got = [(m, p, request(site, m, p)[0]) for m, p in (
            ("GET", "/pipe.txt"), ("HEAD", "/pipe.txt"), ("GET", "/pipe.shtml"), ("GET", "/ok.ics"))]
        assert got == [("GET", "/pipe.txt", 403), ("HEAD", "/pipe.txt", 403),
                       ("GET", "/pipe.shtml", 200), ("GET", "/ok.ics", 200)]
        assert b"[" in request(site, "GET", "/pipe.shtml")[2]
    finally:
        os.unlink(os.path.join(site.pub, "pipe.txt"))
