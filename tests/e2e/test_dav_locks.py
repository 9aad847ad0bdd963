"""End-to-end tests of WebDAV locks as clients meet them: who may use a lock,
what a lock may be taken on, the empty file of a lock on a new name, the read-
only attribute, lock discovery with cadaver, and a davfs2 mount copying a tree.
Every wait is bounded."""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import xml.etree.ElementTree as ET

import pytest

from test_caldav_client import auth_headers, dav, make_site, make_stores
from tq_site import HOST, Site, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
FileETag All
"""

USERS = {"carol": "c-secret", "dave": "d-secret"}


@pytest.fixture()
def site():
    with tempfile.TemporaryDirectory() as root:
        s = Site(root, directives=DIRECTIVES)
        s.put("dav/keep.txt", "keep")
        s.put("secret/.htaccess", "Require all denied\n")
        s.put("secret/users.txt", "".join('"%s","%s"\r\n' % u for u in USERS.items()))
        s.put("team/.htaccess", "AuthType Basic\nAuthName Team\n"
              "AuthUserFile /secret/users.txt\nRequire valid-user\n")
        s.start()
        try:
            yield s
        finally:
            s.stop()


def url(site, rel):
    return "http://%s:%d/%s" % (HOST, site.port, rel)


def local(site, rel):
    return os.path.join(site.pub, rel)


def read(site, rel):
    with open(local(site, rel), "rb") as f:
        return f.read()


def as_user(user, headers=None):
    h = dict(headers or {})
    if user:
        h["Authorization"] = "Basic " + base64.b64encode(
            ("%s:%s" % (user, USERS[user])).encode()).decode()
    return h


LOCKINFO = ('<?xml version="1.0" encoding="utf-8"?><D:lockinfo xmlns:D="DAV:">'
            '<D:lockscope><D:exclusive/></D:lockscope><D:locktype><D:write/></D:locktype>'
            '<D:owner>%s</D:owner></D:lockinfo>')


def lock(site, path, user=None, depth="0", owner="<D:href>tester</D:href>"):
    h = as_user(user, {"Depth": depth, "Content-Type": "application/xml",
                       "Timeout": "Second-600"})
    s, headers, body = request(site, "LOCK", path, h, LOCKINFO % owner)
    return s, headers.get("lock-token", "").strip("<>"), body


def test_the_root_is_never_locked(site):
    for depth in ("infinity", "0"):
        s, token, _ = lock(site, "/", depth=depth)
        assert s == 403 and not token, (depth, s)
    # Nobody's writing stops for it.
    assert request(site, "PUT", "/dav/new.txt", body=b"x")[0] == 201
    assert request(site, "PUT", "/team/c.txt", as_user("carol"), b"c")[0] == 201


def test_a_lock_belongs_to_the_login_that_took_it(site):
    site.put("team/c.txt", "carol's")
    site.put("dav/a.txt", "anonymous")
    s, carol_token, _ = lock(site, "/team/c.txt", "carol")
    assert s == 200
    s, anon_token, _ = lock(site, "/dav/a.txt")
    assert s == 200
    tagged_anon = "<%s> (<%s>)" % (url(site, "dav/a.txt"), anon_token)
    for user, method, path, headers in [
        ("dave", "PUT", "/team/c.txt", {"If": "(<%s>)" % carol_token}),
        ("dave", "DELETE", "/team/c.txt", {"If": "(<%s>)" % carol_token}),
        ("dave", "MOVE", "/team/c.txt", {"If": "(<%s>)" % carol_token,
                                         "Destination": url(site, "team/d.txt")}),
        ("dave", "LOCK", "/team/c.txt", {"If": "(<%s>)" % carol_token}),
        ("dave", "UNLOCK", "/team/c.txt", {"Lock-Token": "<%s>" % carol_token}),
        # An anonymous lock is of no use to a login, even where its If
        # header would hold.
        ("carol", "PUT", "/team/new.txt", {"If": tagged_anon}),
        # And a login's lock is of no use to an anonymous client.
        (None, "PUT", "/dav/a.txt", {"If": "<%s> (<%s>)" % (url(site, "team/c.txt"),
                                                            carol_token)}),
    ]:
        body = None if method in ("LOCK", "UNLOCK") else b"stolen"
        s = request(site, method, path, as_user(user, headers), body)[0]
        assert s == 403, (user, method, path, s)
    assert read(site, "team/c.txt") == b"carol's"
    assert not os.path.exists(local(site, "team/new.txt"))
    # Its owner still uses it.
    assert request(site, "PUT", "/team/c.txt",
                   as_user("carol", {"If": "(<%s>)" % carol_token}), b"v2")[0] in (200, 204)
    assert request(site, "UNLOCK", "/team/c.txt",
                   as_user("carol", {"Lock-Token": "<%s>" % carol_token}))[0] == 204
    assert request(site, "PUT", "/dav/a.txt", {"If": "(<%s>)" % anon_token}, b"a2")[0] in (200, 204)
    assert request(site, "UNLOCK", "/dav/a.txt", {"Lock-Token": "<%s>" % anon_token})[0] == 204
    assert read(site, "team/c.txt") == b"v2" and read(site, "dav/a.txt") == b"a2"


def test_a_lock_on_a_new_name(site):
    # The lock creates the resource; the PUT that follows fills it, with the
    # If-None-Match that davfs2 sends.
    s, token, body = lock(site, "/dav/new.txt")
    assert s == 201 and token.encode() in body
    assert read(site, "dav/new.txt") == b""
    s = request(site, "PUT", "/dav/new.txt",
                {"If": "(<%s>)" % token, "If-None-Match": "*"}, b"content")[0]
    assert s == 201
    assert request(site, "UNLOCK", "/dav/new.txt", {"Lock-Token": "<%s>" % token})[0] == 204
    assert read(site, "dav/new.txt") == b"content"
    # The empty file has an entity tag like any file, which davfs2 reads and
    # sends back in If-Match.
    s, token, _ = lock(site, "/dav/tagged.txt")
    assert s == 201
    etag = request(site, "GET", "/dav/tagged.txt")[1]["etag"]
    assert request(site, "PUT", "/dav/tagged.txt", {"If": "(<%s>)" % token,
                                                   "If-Match": '"other"'}, b"no")[0] == 412
    assert request(site, "PUT", "/dav/tagged.txt", {"If": "(<%s>)" % token,
                                                   "If-Match": etag}, b"tagged")[0] == 201
    assert request(site, "UNLOCK", "/dav/tagged.txt", {"Lock-Token": "<%s>" % token})[0] == 204
    assert read(site, "dav/tagged.txt") == b"tagged"
    # Once it has content, If-None-Match holds it as any other file.
    s, token, _ = lock(site, "/dav/new.txt")
    assert s == 200
    assert request(site, "PUT", "/dav/new.txt",
                   {"If": "(<%s>)" % token, "If-None-Match": "*"}, b"over")[0] == 412
    assert request(site, "UNLOCK", "/dav/new.txt", {"Lock-Token": "<%s>" % token})[0] == 204
    assert read(site, "dav/new.txt") == b"content"
    # A lock that ends without a PUT takes its empty file with it.
    s, token, _ = lock(site, "/dav/unused.txt")
    assert s == 201 and os.path.exists(local(site, "dav/unused.txt"))
    assert request(site, "UNLOCK", "/dav/unused.txt", {"Lock-Token": "<%s>" % token})[0] == 204
    assert not os.path.exists(local(site, "dav/unused.txt"))
    # A name ending in "/" is a folder: no file is made for it.
    assert lock(site, "/dav/folder/")[0] == 403
    assert not os.path.exists(local(site, "dav/folder"))
    assert request(site, "PUT", "/dav/folder/", body=b"x")[0] == 403
    assert not os.path.exists(local(site, "dav/folder"))


def test_unused_locks_expire_with_their_empty_files(site):
    h = {"Depth": "0", "Content-Type": "application/xml", "Timeout": "Second-1"}
    assert request(site, "LOCK", "/dav/brief.txt", h, LOCKINFO % "t")[0] == 201
    assert os.path.exists(local(site, "dav/brief.txt"))
    # The sweep runs every second; a later one must have taken it.
    for _ in range(100):
        if not os.path.exists(local(site, "dav/brief.txt")):
            break
        subprocess.run(["sleep", "0.1"], check=True)
    assert not os.path.exists(local(site, "dav/brief.txt"))


def test_a_folder_delete_honours_a_lock_on_a_member(site):
    site.put("dav/coll/m.txt", "member")
    site.put("dav/coll/other.txt", "other")
    s, token, _ = lock(site, "/dav/coll/m.txt")
    assert s == 200
    s = request(site, "DELETE", "/dav/coll")[0]
    assert s in (207, 423), s
    assert read(site, "dav/coll/m.txt") == b"member"
    assert request(site, "UNLOCK", "/dav/coll/m.txt", {"Lock-Token": "<%s>" % token})[0] == 204
    assert request(site, "DELETE", "/dav/coll")[0] == 200
    assert not os.path.exists(local(site, "dav/coll"))


READ_ONLY = ('<?xml version="1.0"?><d:propertyupdate xmlns:d="DAV:"><d:%s><d:prop>'
             '<d:isreadonly>1</d:isreadonly></d:prop></d:%s></d:propertyupdate>')


def test_a_read_only_file_is_neither_replaced_nor_removed(site):
    site.put("dav/ro.txt", "kept")
    site.put("dav/src.txt", "source")
    xml = {"Content-Type": "application/xml"}
    assert request(site, "PROPPATCH", "/dav/ro.txt", xml, READ_ONLY % ("set", "set"))[0] == 207
    assert os.stat(local(site, "dav/ro.txt")).st_mode & 0o777 == 0o444
    for method, path, headers in [
        ("PUT", "/dav/ro.txt", {}),
        ("DELETE", "/dav/ro.txt", {}),
        ("MOVE", "/dav/ro.txt", {"Destination": url(site, "dav/moved.txt")}),
        ("COPY", "/dav/src.txt", {"Destination": url(site, "dav/ro.txt"), "Overwrite": "T"}),
        ("MOVE", "/dav/src.txt", {"Destination": url(site, "dav/ro.txt"), "Overwrite": "T"}),
    ]:
        assert request(site, method, path, headers, b"changed")[0] == 403, (method, path)
    assert read(site, "dav/ro.txt") == b"kept" and read(site, "dav/src.txt") == b"source"
    # Copying it is reading it.
    assert request(site, "COPY", "/dav/ro.txt", {"Destination": url(site, "dav/copy.txt")})[0] == 201
    assert request(site, "PROPPATCH", "/dav/ro.txt", xml, READ_ONLY % ("remove", "remove"))[0] == 207
    assert request(site, "PUT", "/dav/ro.txt", body=b"changed")[0] in (200, 204)
    assert read(site, "dav/ro.txt") == b"changed"


def test_propfind_discovers_locks_and_cadaver_sees_them(site):
    site.put("dav/f.txt", "locked")
    site.put("dav/tree/inner.txt", "inner")
    # cadaver shows an owner given as text, as neon's clients send it.
    s, token, _ = lock(site, "/dav/f.txt", owner="tester@example.com")
    assert s == 200
    s, tree_token, _ = lock(site, "/dav/tree", depth="infinity")
    assert s == 200
    by_name = ('<?xml version="1.0"?><d:propfind xmlns:d="DAV:"><d:prop><d:lockdiscovery/>'
               '<d:supportedlock/></d:prop></d:propfind>')
    allprop = '<?xml version="1.0"?><d:propfind xmlns:d="DAV:"><d:allprop/></d:propfind>'
    for body in (by_name, allprop):
        s, _, answer = request(site, "PROPFIND", "/dav/f.txt", {"Depth": "0"}, body)
        text = answer.decode()
        assert s == 207
        assert re.search(r"<d:supportedlock><d:lockentry><d:lockscope><d:exclusive/>", text), text
        active = re.search(r"<d:lockdiscovery>(.*)</d:lockdiscovery>", text, re.S).group(1)
        assert token in active and "<d:owner>tester@example.com</d:owner>" in active, text
        assert "<d:depth>0</d:depth>" in active and "Second-" in active, text
        # A member of a folder locked with depth infinity shows that lock.
        s, _, answer = request(site, "PROPFIND", "/dav/tree/inner.txt", {"Depth": "0"}, body)
        text = answer.decode()
        assert tree_token in text and "<d:depth>infinity</d:depth>" in text, text
        assert "<d:owner><d:href>tester</d:href></d:owner>" in text, text
        s, _, answer = request(site, "PROPFIND", "/dav/keep.txt", {"Depth": "0"}, body)
        assert b"<d:lockdiscovery/>" in answer and b"<d:supportedlock>" in answer

    cadaver = shutil.which("cadaver")
    if not cadaver:
        pytest.fail("cadaver is not installed (scripts/install-deps installs it)")
    home = tempfile.mkdtemp()
    try:
        r = subprocess.run([cadaver, url(site, "dav/")], input="discover f.txt\nquit\n",
                           capture_output=True, text=True, timeout=120,
                           env=dict(os.environ, HOME=home))
        out = r.stdout + r.stderr
        assert "no locks found" not in out, out
        assert token in out and "tester@example.com" in out, out
    finally:
        shutil.rmtree(home)


def test_calendar_propfind_discovers_locks_on_its_objects():
    by_name = ('<?xml version="1.0"?><d:propfind xmlns:d="DAV:"><d:prop><d:getetag/>'
               '<d:lockdiscovery/><d:supportedlock/></d:prop></d:propfind>')
    allprop = '<?xml version="1.0"?><d:propfind xmlns:d="DAV:"><d:allprop/></d:propfind>'
    etag_only = ('<?xml version="1.0"?><d:propfind xmlns:d="DAV:"><d:prop><d:getetag/>'
                 '</d:prop></d:propfind>')
    cal = "/private/alice/caldav_personal/"
    with tempfile.TemporaryDirectory() as root:
        cal_site = make_site(root)
        cal_site.start()
        try:
            make_stores(cal_site)
            for name in ("locked", "free"):
                ics = ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//tq//test//EN\r\n"
                       "BEGIN:VEVENT\r\nUID:%s\r\nDTSTAMP:20240101T000000Z\r\n"
                       "DTSTART:20250101T100000Z\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n" % name)
                assert dav(cal_site, "PUT", cal + name + ".ics", ics)[0] == 201
            h = auth_headers("alice", {"Depth": "0", "Timeout": "Second-600"})
            s, headers, _ = request(cal_site, "LOCK", cal + "locked.ics", h,
                                    LOCKINFO % "alice@example.com")
            token = headers.get("lock-token", "").strip("<>")
            assert s == 200 and token, s
            bodies = (("by name", by_name, True), ("allprop", allprop, True),
                      ("etag only", etag_only, False))
            got = []
            for label, body, _ in bodies:
                for depth in ("1", "0"):
                    s, _, answer = dav(cal_site, "PROPFIND", cal, body, depth)
                    by_href = {r.find("{DAV:}href").text: ET.tostring(r).decode()
                               for r in ET.fromstring(answer).findall("{DAV:}response")}
                    got.append((label, depth, s, {
                        href.rsplit("/", 1)[-1] or "calendar":
                        (token in text, "exclusive" in text, "lockdiscovery" in text,
                         "alice@example.com" in text)
                        for href, text in by_href.items()}))
                s, _, answer = dav(cal_site, "PROPFIND", cal + "locked.ics", body, "0")
                got.append((label, "object", s, token in answer.decode()))
            # (holds the lock's token, lists the lock kinds, has lockdiscovery,
            # names the owner)
            locked, free, none = ((True, True, True, True), (False, True, True, False),
                                  (False, False, False, False))
            expected = []
            for label, _, asked in bodies:
                plain = free if asked else none
                expected += [(label, "1", 207, {"calendar": plain, "free.ics": plain,
                                                "locked.ics": locked if asked else none}),
                             (label, "0", 207, {"calendar": plain}),
                             (label, "object", 207, asked)]
            assert got == expected
        finally:
            cal_site.stop()


def test_supported_reports_are_the_answered_ones():
    with tempfile.TemporaryDirectory() as root:
        cal_site = make_site(root)
        cal_site.start()
        try:
            make_stores(cal_site)
            for store, report_ns in (("caldav_personal", "cal"), ("carddav_personal", "card")):
                path = "/private/alice/%s/" % store
                s, answer = dav(cal_site, "PROPFIND", path, '<?xml version="1.0"?><d:propfind '
                                'xmlns:d="DAV:"><d:prop><d:supported-report-set/></d:prop>'
                                '</d:propfind>', "0")[::2]
                text = answer.decode()
                listed = re.findall(r"<d:report><([\w:-]+)/></d:report>", text)
                assert s == 207 and listed, text
                for name in listed:
                    body = ('<?xml version="1.0"?><%s xmlns:d="DAV:" '
                            'xmlns:cal="urn:ietf:params:xml:ns:caldav" '
                            'xmlns:card="urn:ietf:params:xml:ns:carddav"><d:prop><d:getetag/>'
                            '</d:prop>%s</%s>')
                    extra = {"cal:calendar-query": '<cal:filter><cal:comp-filter '
                             'name="VCALENDAR"/></cal:filter>',
                             "cal:calendar-multiget": "<d:href>%sx.ics</d:href>" % path,
                             "card:addressbook-multiget": "<d:href>%sx.vcf</d:href>" % path,
                             }.get(name, "")
                    s = dav(cal_site, "REPORT", path, body % (name, extra, name), "1")[0]
                    assert s == 207, (store, name, s)
        finally:
            cal_site.stop()


def checksums(folder):
    out = {}
    for dirpath, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = hashlib.sha256(f.read()).hexdigest()
    return out


def test_davfs2_copies_a_tree_into_a_mount(site):
    mount = shutil.which("mount.davfs") or "/usr/sbin/mount.davfs"
    if not os.path.exists(mount):
        pytest.fail("davfs2 is not installed (scripts/install-deps installs it)")
    if not os.path.exists("/dev/fuse"):
        pytest.fail("no /dev/fuse: davfs2 cannot mount here")
    work = tempfile.mkdtemp()
    # davfs2 drops root for its own user, which must reach its cache.
    os.chmod(work, 0o755)
    os.makedirs(os.path.join(work, "cache"), mode=0o777)
    os.chmod(os.path.join(work, "cache"), 0o777)
    point = os.path.join(work, "mnt")
    tree = os.path.join(work, "tree")
    os.makedirs(point)
    for i in range(200):
        sub = os.path.join(tree, "d%d" % (i % 7))
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, "f%03d.bin" % i), "wb") as f:
            f.write(hashlib.sha256(b"%d" % i).digest() * (1 + i * 13))
    conf = os.path.join(work, "davfs2.conf")
    secrets = os.path.join(work, "secrets")
    with open(secrets, "w") as f:
        f.write('%s "" ""\n' % url(site, "dav/"))
    os.chmod(secrets, 0o600)
    with open(conf, "w") as f:
        # Locks stay on, as they are by default; only the places davfs2
        # keeps its files move into this test's folder.
        f.write("use_locks 1\ncache_dir %s\nsecrets %s\nask_auth 0\n"
                % (os.path.join(work, "cache"), secrets))
    mounted = False
    try:
        r = subprocess.run([mount, url(site, "dav/"), point, "-o", "conf=%s" % conf],
                           capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
        assert r.returncode == 0, r.stdout + r.stderr
        mounted = True
        subprocess.run(["cp", "-r", tree, os.path.join(point, "tree")], check=True, timeout=300)
        r = subprocess.run(["umount", point], capture_output=True, text=True, timeout=300)
        assert r.returncode == 0, r.stdout + r.stderr
        mounted = False
        assert checksums(os.path.join(site.pub, "dav", "tree")) == checksums(tree)
        # No lock and no stray empty file stays behind.
        assert not [n for n in os.listdir(os.path.join(site.pub, "dav")) if n.startswith(".tq-")]
    finally:
        if mounted:
            subprocess.run(["umount", "-l", point], timeout=60)
        shutil.rmtree(work, ignore_errors=True)


def test_what_is_advertised_is_what_is_served(site):
    """A shared lock is refused, not granted as an exclusive one, and OPTIONS
    names only the methods and classes that are answered."""
    site.put("dav/shared.txt", "x")
    shared = LOCKINFO.replace("<D:exclusive/>", "<D:shared/>") % "<D:href>t</D:href>"
    s, headers, body = request(site, "LOCK", "/dav/shared.txt",
                               {"Depth": "0", "Content-Type": "application/xml"}, shared)
    assert s == 501 and "lock-token" not in headers, (s, body)
    assert request(site, "PUT", "/dav/shared.txt", body=b"y")[0] in (200, 201, 204)
    s, headers, _ = request(site, "OPTIONS", "/dav/")
    assert headers["allow"] == ("GET,HEAD,POST,OPTIONS,PROPFIND,COPY,REPORT,PUT,MKCOL,PROPPATCH,"
                                "LOCK,UNLOCK,DELETE,MOVE")
    allowed = headers["allow"].split(",")
    for method in allowed:
        if method in ("OPTIONS", "POST"):
            continue
        assert request(site, method, "/dav/shared.txt",
                       {"Destination": "http://127.0.0.1:%d/dav/c.txt" % site.port,
                        "Depth": "0"})[0] != 501, method
    # ACL is not served: neither listed nor named as a DAV class.
    assert request(site, "ACL", "/dav/shared.txt")[0] == 405
    assert "ACL" not in allowed and "access-control" not in headers["dav"]
