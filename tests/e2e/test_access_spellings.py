"""One decision about one object, whatever the spelling: for every method and
every way of writing a protected file's name (a "/" after it, an escaped
slash, "/.", "//", escaped letters), the outcome is the outcome of the
canonical request for that file by the same client: refused there, refused
here, and nothing on disk changes."""

import base64
import hashlib
import os
import time

import pytest

from tq_site import HOST, Site, request

USERS = {"alice": "wonder-land"}

PROTECTED = {
    # name in the tree: what protects it
    "secret.txt": "a Files section",
    "vault/keys.key": "a FilesMatch section",
    "ro.txt": "its read-only mode",
    "sub/hidden.txt": "a Files section of its folder",
    "closed/inside.txt": "Require all denied on its folder",
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
}

CLIENTS = {"anonymous": None, "alice": "alice:wonder-land", "wrong": "alice:nope"}

LOCK_BODY = ('<?xml version="1.0"?><d:lockinfo xmlns:d="DAV:"><d:lockscope><d:exclusive/>'
             '</d:lockscope><d:locktype><d:write/></d:locktype></d:lockinfo>')
PROPPATCH_BODY = ('<?xml version="1.0"?><d:propertyupdate xmlns:d="DAV:" '
                  'xmlns:z="urn:schemas-microsoft-com:"><d:set><d:prop>'
                  '<z:Win32FileAttributes>00000000</z:Win32FileAttributes></d:prop></d:set>'
                  '</d:propertyupdate>')


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
        "PROPFIND": ("PROPFIND", {"Depth": "0"}, None),
        "PROPPATCH": ("PROPPATCH", {"Content-Type": "application/xml"}, PROPPATCH_BODY),
        "LOCK": ("LOCK", {"Depth": "0", "Content-Type": "application/xml"}, LOCK_BODY),
    }


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("spellings"))
    s = Site(root, directives="AuthType Basic\nAuthName tree\nAuthUserFile /users\n"
             "Require all granted\n", mime_types="text/plain txt key\n")
    # Files sections belong in a folder's access file: the global file is
    # read before the target is known.
    s.put(".htaccess", "<Files secret.txt>\nRequire all denied\n</Files>\n"
          "<FilesMatch \"\\.key$\">\nRequire all denied\n</FilesMatch>\n")
    s.put("users/.htaccess", "Require all denied\n")
    s.put("users/alice/profile.txt", '"password","wonder-land"\r\n')
    for rel in PROTECTED:
        s.put(rel, "the content of " + rel)
    os.chmod(os.path.join(s.pub, "ro.txt"), 0o444)
    s.put("sub/.htaccess", "<Files hidden.txt>\nRequire all denied\n</Files>\n")
    s.put("closed/.htaccess", "Require all denied\n")
    s.put("shared/readme.txt", "shared")
    # An upload that an earlier run left cut short.
    left = s.put("shared/.tq-00112233445566aa.tmp", "cut short")
    os.utime(left, (1e9, 1e9))
    s.start()
    yield s
    s.stop()


def snapshot(site):
    out = {}
    for top, dirs, files in os.walk(site.pub):
        if top == site.pub and "logs" in dirs:
            dirs.remove("logs")
        for name in files:
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, site.pub)] = hashlib.sha1(f.read()).hexdigest()
    return out


def send(site, method, path, headers, body, client):
    h = dict(headers)
    if client:
        h["Authorization"] = "Basic " + base64.b64encode(client.encode()).decode()
    return request(site, method, path, h, body)[0]


@pytest.mark.parametrize("client", sorted(CLIENTS))
def test_a_protected_file_is_refused_under_every_spelling(site, client):
    table = methods(site)
    failures = []
    for rel, why in sorted(PROTECTED.items()):
        for mname, (method, headers, body) in sorted(table.items()):
            before = snapshot(site)
            canonical = send(site, method, "/" + rel, headers, body, CLIENTS[client])
            canonical_disk = snapshot(site)
            if canonical < 400 or canonical_disk != before:
                # Not refused on the canonical road for this client (a read of
                # a read-only file): there is no refusal to keep.
                for path in set(canonical_disk) - set(before):
                    os.remove(os.path.join(site.pub, path))
                continue
            for sname, spell in sorted(SPELLINGS.items()):
                if sname == "plain":
                    continue
                status = send(site, method, spell("/" + rel), headers, body, CLIENTS[client])
                after = snapshot(site)
                if status < 400 or after != before:
                    failures.append((rel, why, mname, sname, canonical, status,
                                     sorted(set(after.items()) ^ set(before.items()))))
                    for path in set(after) - set(before):
                        os.remove(os.path.join(site.pub, path))
    assert not failures, "\n".join(map(str, failures))


def test_a_protected_file_is_never_overwritten_as_a_spelled_destination(site):
    failures = []
    for rel in sorted(PROTECTED):
        for sname, spell in sorted(SPELLINGS.items()):
            for method in ("COPY", "MOVE"):
                site.put("shared/src.txt", "replacement")
                before = snapshot(site)
                dest = "http://%s:%d%s" % (HOST, site.port, spell("/" + rel))
                status = send(site, method, "/shared/src.txt",
                              {"Destination": dest, "Overwrite": "T"}, None, CLIENTS["alice"])
                after = snapshot(site)
                if status < 400 or after.get(rel) != before.get(rel):
                    failures.append((rel, sname, method, status))
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


FOLDERS = ["/", "/sub/", "/vault/", "/closed/", "/shared/", "/users/", "/users/alice/"]


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
