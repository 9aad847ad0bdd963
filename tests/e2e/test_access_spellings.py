"""One decision about one object, whatever the spelling: for every method and
every way of writing a protected file's name (a "/" after it, an escaped
slash, "/.", "//", escaped letters), the outcome is the outcome of the
canonical request for that file by the same client: refused there, refused
here, and nothing on disk changes."""

import base64
import os
import shutil
import time

import pytest

from tq_site import HOST, Site, request

USERS = {"alice": "wonder-land", "bob": "builder"}

PROTECTED = {
    # name in the tree: what protects it
    "secret.txt": "a Files section",
    "vault/keys.key": "a FilesMatch section",
    "ro.txt": "its read-only mode",
    "sub/hidden.txt": "a Files section of its folder",
    "closed/inside.txt": "Require all denied on its folder",
    "bobs/plan.txt": "Require user bob on its folder",
    "blk/listed.txt": "the blocklist",
    "sub/.htaccess": "being an access file",
    "outlink.txt": "a link to a file out of the tree",
    "outdir/outside.txt": "a link to a folder out of the tree",
    "private/bob/cal/bob.ics": "another user's store",
}

SPELLINGS = {
    "plain": lambda p: p,
    "slash": lambda p: p + "/",
    "escaped-slash": lambda p: p + "%2f",
    "escaped-backslash": lambda p: p + "%5c",
    "dot": lambda p: p + "/.",
    "escaped-dot": lambda p: p + "/%2e",
    "double-slash": lambda p: p + "//",
    "escaped-letter": lambda p: p[:-1] + "%%%02x" % ord(p[-1]),
    # Another name on this file system: it must not reach the protected one.
    "case": lambda p: p[:-1] + p[-1].swapcase(),
}

CLIENTS = {"anonymous": None, "alice": "alice:wonder-land", "bob": "bob:builder",
           "wrong": "alice:nope"}

LOCK_BODY = ('<?xml version="1.0"?><d:lockinfo xmlns:d="DAV:"><d:lockscope><d:exclusive/>'
             '</d:lockscope><d:locktype><d:write/></d:locktype></d:lockinfo>')
PROPPATCH_BODY = ('<?xml version="1.0"?><d:propertyupdate xmlns:d="DAV:" '
                  'xmlns:z="urn:schemas-microsoft-com:"><d:set><d:prop>'
                  '<z:Win32FileAttributes>00000000</z:Win32FileAttributes></d:prop></d:set>'
                  '</d:propertyupdate>')


MULTIGET_BODY = ('<?xml version="1.0"?><C:calendar-multiget xmlns:D="DAV:" '
                 'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><C:calendar-data/></D:prop>'
                 '<D:href>/private/bob/cal/bob.ics</D:href></C:calendar-multiget>')
EVENT = ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//tq//test//EN\r\nBEGIN:VEVENT\r\n"
         "UID:the content of bob\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:20250101T100000Z\r\n"
         "DURATION:PT1H\r\nSUMMARY:the content of private/bob/cal/bob.ics\r\nEND:VEVENT\r\n"
         "END:VCALENDAR\r\n")


def methods(site):
    dest = "http://%s:%d/shared/got.txt" % (HOST, site.port)
    return {
        "GET": ("GET", {}, None),
        "HEAD": ("HEAD", {}, None),
        "PUT": ("PUT", {}, b"overwritten"),
        "DELETE": ("DELETE", {}, None),
        "MKCOL": ("MKCOL", {}, None),
        "COPY": ("COPY", {"Destination": dest, "Overwrite": "T"}, None),
        "MOVE": ("MOVE", {"Destination": dest, "Overwrite": "T"}, None),
        "POST": ("POST", {"Content-Type": "application/x-www-form-urlencoded"}, b"a=1"),
        "PROPFIND": ("PROPFIND", {"Depth": "0"}, None),
        "PROPFIND-1": ("PROPFIND", {"Depth": "1"}, None),
        "UNLOCK": ("UNLOCK", {"Lock-Token": "<urn:uuid:00000000-0000-4000-8000-000000000000>"},
                   None),
        "REPORT": ("REPORT", {"Content-Type": "application/xml", "Depth": "1"}, MULTIGET_BODY),
        "PROPPATCH": ("PROPPATCH", {"Content-Type": "application/xml"}, PROPPATCH_BODY),
        "LOCK": ("LOCK", {"Depth": "0", "Content-Type": "application/xml"}, LOCK_BODY),
    }


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("spellings"))
    s = Site(root, directives="AuthType Basic\nAuthName tree\nAuthUserFile /users\n"
             "Require all granted\n", mime_types="text/plain txt key\ntext/calendar ics\n")
    # Files sections belong in a folder's access file: the global file is
    # read before the target is known.
    s.put(".htaccess", "<Files secret.txt>\nRequire all denied\n</Files>\n"
          "<FilesMatch \"\\.key$\">\nRequire all denied\n</FilesMatch>\n")
    s.put("users/.htaccess", "Require all denied\n")
    for user, password in USERS.items():
        s.put("users/%s/profile.txt" % user, '"password","%s"\r\n' % password)
    outside = tmp_path_factory.mktemp("outside")
    s.outside = str(outside)
    (outside / "target.txt").write_text("the content of outlink.txt")
    (outside / "outside.txt").write_text("the content of outdir/outside.txt")
    os.symlink(str(outside / "target.txt"), os.path.join(s.pub, "outlink.txt"))
    os.symlink(str(outside), os.path.join(s.pub, "outdir"))
    for rel in PROTECTED:
        if not os.path.lexists(os.path.join(s.pub, rel.split("/")[0])):
            s.put(rel, "the content of " + rel)
    s.put("private/bob/cal/bob.ics", EVENT)
    s.put("private/alice/cal/alice.ics", EVENT.replace("bob", "alice"))
    s.put("private/.htaccess", "Require actual-user .\n")
    s.put("bobs/.htaccess", "Require user bob\n")
    s.write_data("blocklist.txt", os.path.join(s.pub, "blk") + "\n")
    os.chmod(os.path.join(s.pub, "ro.txt"), 0o444)
    s.put("sub/.htaccess", "<Files hidden.txt>\nRequire all denied\n</Files>\n"
          "# the content of sub/.htaccess\n")
    s.put("closed/.htaccess", "Require all denied\n")
    s.put("shared/readme.txt", "shared")
    # An upload that an earlier run left cut short.
    left = s.put("shared/.tq-00112233445566aa.tmp", "cut short")
    os.utime(left, (1e9, 1e9))
    s.start()
    try:
        # A password written in plain is enciphered at its first use: that
        # change is made before any snapshot.
        for user, password in USERS.items():
            send(s, "GET", "/shared/readme.txt", {}, None, "%s:%s" % (user, password))
        yield s
    finally:
        s.stop()


def snapshot(site):
    """Every file (its bytes) and folder of the tree and of the folder outside
    it that links lead to."""
    out = {}
    for base, prefix in ((site.pub, ""), (site.outside, "OUTSIDE/")):
        for top, dirs, files in os.walk(base):
            # The server's own files: its logs, and the profiles whose
            # passwords it enciphers at their first use.
            if top == site.pub:
                for own in ("logs", "users"):
                    if own in dirs:
                        dirs.remove(own)
            for name in dirs:
                out[prefix + os.path.relpath(os.path.join(top, name), base)] = "folder"
            for name in files:
                path = os.path.join(top, name)
                with open(path, "rb") as f:
                    out[prefix + os.path.relpath(path, base)] = f.read()
    return out


def restore(site, before):
    """Puts the tree back as the snapshot had it."""
    now = snapshot(site)
    for rel in sorted(set(now) - set(before), reverse=True):
        path = os.path.join(site.outside, rel[8:]) if rel.startswith("OUTSIDE/") else \
            os.path.join(site.pub, rel)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.remove(path)
    for rel, data in sorted(before.items()):
        if data == "folder" or now.get(rel) == data or rel.startswith("OUTSIDE/"):
            continue
        path = os.path.join(site.pub, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def changes(before, after):
    return sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))


def send(site, method, path, headers, body, client):
    h = dict(headers)
    if client:
        h["Authorization"] = "Basic " + base64.b64encode(client.encode()).decode()
    status, _, answer = request(site, method, path, h, body)
    return status, answer


@pytest.mark.parametrize("client", sorted(CLIENTS))
def test_a_protected_file_is_refused_under_every_spelling(site, client):
    table = methods(site)
    failures = []
    for rel, why in sorted(PROTECTED.items()):
        secret = ("the content of " + rel).encode()
        for mname, (method, headers, body) in sorted(table.items()):
            before = snapshot(site)
            canonical, _ = send(site, method, "/" + rel, headers, body, CLIENTS[client])
            canonical_disk = snapshot(site)
            restore(site, before)
            if canonical < 400 or canonical_disk != before:
                # Not refused on the canonical road for this client (bob in
                # his folder, a read of a read-only file): no refusal to keep.
                continue
            for sname, spell in sorted(SPELLINGS.items()):
                if sname == "plain":
                    continue
                status, answer = send(site, method, spell("/" + rel), headers, body,
                                      CLIENTS[client])
                after = snapshot(site)
                if sname == "case":
                    # Another name: whatever it does, the protected file stays
                    # as it was and nothing of it comes out.
                    bad = secret in answer or after.get(rel) != before.get(rel) or any(
                        k.startswith("OUTSIDE/") for k in changes(before, after))
                else:
                    bad = status < 400 or after != before or secret in answer
                if bad:
                    failures.append((rel, why, mname, sname, canonical, status,
                                     changes(before, after)))
                restore(site, before)
    assert not failures, "\n".join(map(str, failures))


def test_a_protected_file_is_never_overwritten_as_a_spelled_destination(site):
    failures = []
    for rel in sorted(PROTECTED):
        for sname, spell in sorted(SPELLINGS.items()):
            for method in ("COPY", "MOVE"):
                site.put("shared/src.txt", "replacement")
                before = snapshot(site)
                dest = "http://%s:%d%s" % (HOST, site.port, spell("/" + rel))
                status, _ = send(site, method, "/shared/src.txt",
                                 {"Destination": dest, "Overwrite": "T"}, None, CLIENTS["alice"])
                after = snapshot(site)
                # Another name (the case spelling) may be written; this one not.
                if (status < 400 and sname != "case") or after.get(rel) != before.get(rel):
                    failures.append((rel, sname, method, status))
                restore(site, before)
    assert not failures, failures


def test_the_servers_temporary_files_are_neither_served_nor_listed_and_go_at_start(site):
    left = os.path.join(site.pub, "shared", ".tq-00112233445566aa.tmp")
    for _ in range(100):
        if not os.path.exists(left):
            break
        time.sleep(0.1)
    assert not os.path.exists(left)
    assert "removed a leftover temporary file" in site.trace()
    # One of this run (an upload under way) stays, and is no resource.
    site.put("shared/.tq-0123456789abcdef.tmp", "on its way")
    for path in ("/shared/.tq-0123456789abcdef.tmp", "/shared/.tq-0123456789abcdef.tmp/"):
        assert request(site, "GET", path)[0] == 404, path
    status, _, body = request(site, "PROPFIND", "/shared/", {"Depth": "1"})
    assert status == 207 and b".tq-" not in body and b"readme.txt" in body
    os.remove(os.path.join(site.pub, "shared", ".tq-0123456789abcdef.tmp"))


FOLDERS = ["/", "/sub/", "/vault/", "/closed/", "/shared/", "/users/", "/users/alice/", "/bobs/",
           "/blk/", "/private/", "/private/bob/", "/private/bob/cal/"]


@pytest.mark.parametrize("client", sorted(CLIENTS))
def test_a_listing_names_a_member_only_when_its_own_request_is_not_refused(site, client):
    """The oracle is the member's own request by the same client: a GET of a
    file, a PROPFIND of a folder. A member behind a login the client lacks is
    named (its request asks for the login); one its rules refuse is not."""
    failures = []
    listed_any = False
    for folder in FOLDERS:
        status, _, body = request(site, "PROPFIND", folder, auth_header(client, {"Depth": "1"}))
        if status != 207:
            continue
        listed_any = True
        text = body.decode()
        local = os.path.join(site.pub, folder.strip("/"))
        for name in sorted(os.listdir(local)):
            if folder == "/" and name == "logs":
                continue
            is_dir = os.path.isdir(os.path.join(local, name))
            href = folder + name + ("/" if is_dir else "")
            if is_dir:
                own = request(site, "PROPFIND", href, auth_header(client, {"Depth": "0"}))[0]
            else:
                own = request(site, "GET", href, auth_header(client, {}))[0]
            listed = "<d:href>%s</d:href>" % href in text
            if listed != (own < 400 or own == 401):
                failures.append((folder, name, own, listed))
    assert listed_any
    assert not failures, failures


def auth_header(client, headers):
    h = dict(headers)
    if CLIENTS[client]:
        h["Authorization"] = "Basic " + base64.b64encode(CLIENTS[client].encode()).decode()
    return h
