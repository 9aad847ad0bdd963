"""Access files as members of a tree: a copy never makes one (a PUT of it is
refused to everyone), and a DELETE or MOVE of a folder decides every member
with the rules the tree had before the operation began, leaving what must
stay together with the access file that protects it."""

import base64
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

from tq_site import HOST, Site, request

LOGIN = {"Authorization": "Basic " + base64.b64encode(b"alice:wonder-land").decode()}
GUARD = "<Files keep.txt>\nRequire all denied\n</Files>\n"


@pytest.fixture
def site():
    # A program runs as "nobody" when the server is root: the tree must be
    # readable by everybody.
    root = tempfile.mkdtemp(prefix="tq_access_trees_", dir="/tmp")
    os.chmod(root, 0o755)
    s = Site(root, directives="AuthType Basic\nAuthName tree\nAuthUserFile /users\n"
             "Require valid-user\n", mime_types="text/plain txt run\n")
    s.put("users/.htaccess", "Require all denied\n")
    s.put("users/alice/profile.txt", '"password","wonder-land"\r\n')
    s.put("users/bob/profile.txt", '"password","builder"\r\n')
    s.put("tools/.htaccess", "AddHandler cgi-script .run\n")
    s.put("tools/hello.run", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
          "echo ran-as-a-program\n")
    os.chmod(os.path.join(s.pub, "tools", "hello.run"), 0o755)
    for top in ("dx", "mx"):
        s.put("shared/%s/a.txt" % top, "a")
        s.put("shared/%s/y/.htaccess" % top, GUARD)
        s.put("shared/%s/y/keep.txt" % top, "kept back")
        s.put("shared/%s/y/other.txt" % top, "other")
    for dirpath, dirs, _ in os.walk(root):
        for d in dirs:
            os.chmod(os.path.join(dirpath, d), 0o755)
    try:
        s.start()
        yield s
    finally:
        s.stop()
        shutil.rmtree(root, ignore_errors=True)


def send(site, method, path, headers=None, body=None):
    return request(site, method, path, {**LOGIN, **(headers or {})}, body)


def exists(site, rel):
    return os.path.exists(os.path.join(site.pub, rel))


def test_a_copied_folder_leaves_its_access_file_behind_and_names_it(site):
    assert send(site, "GET", "/tools/hello.run")[2] == b"ran-as-a-program\n"
    dest = "http://%s:%d/shared/mytools/" % (HOST, site.port)
    status, _, body = send(site, "COPY", "/tools/", {"Destination": dest, "Depth": "infinity"})
    assert status == 207 and b"/tools/.htaccess" in body and b"403" in body, body
    assert exists(site, "shared/mytools/hello.run")
    assert not exists(site, "shared/mytools/.htaccess")
    # The copy's programs are files there, not programs.
    assert send(site, "PUT", "/shared/mytools/evil.run", body=b"#!/bin/sh\necho evil\n")[0] < 300
    assert send(site, "GET", "/shared/mytools/evil.run")[2].startswith(b"#!/bin/sh")
    assert send(site, "GET", "/shared/mytools/hello.run")[2].startswith(b"#!/bin/sh")


@pytest.mark.parametrize("method", ["DELETE", "MOVE"])
def test_what_its_access_file_protects_stays_with_it(site, method):
    top = "dx" if method == "DELETE" else "mx"
    assert send(site, "GET", "/shared/%s/y/keep.txt" % top)[0] == 403
    headers = {"Destination": "http://%s:%d/shared/moved/" % (HOST, site.port)} \
        if method == "MOVE" else {}
    status, _, body = send(site, method, "/shared/%s/" % top, headers)
    assert status == 207 and b"keep.txt" in body, body
    assert not exists(site, "shared/%s/a.txt" % top)
    assert not exists(site, "shared/%s/y/other.txt" % top)
    assert exists(site, "shared/%s/y/keep.txt" % top)
    assert exists(site, "shared/%s/y/.htaccess" % top)
    assert send(site, "GET", "/shared/%s/y/keep.txt" % top)[0] == 403
    if method == "MOVE":
        assert exists(site, "shared/moved/a.txt") and exists(site, "shared/moved/y/other.txt")
        assert not exists(site, "shared/moved/y/keep.txt")


BOB = {"Authorization": "Basic " + base64.b64encode(b"bob:builder").decode()}
LOCK_BODY = ('<?xml version="1.0"?><d:lockinfo xmlns:d="DAV:"><d:lockscope><d:exclusive/>'
             '</d:lockscope><d:locktype><d:write/></d:locktype></d:lockinfo>')


def test_a_lock_holds_the_file_under_every_name_it_has(site):
    site.put("shared/lk.txt", "locked content")
    os.symlink("shared", os.path.join(site.pub, "alias"))
    os.symlink("lk.txt", os.path.join(site.pub, "shared", "lk-link.txt"))
    status, headers, _ = send(site, "LOCK", "/shared/lk.txt",
                              {"Content-Type": "application/xml", "Depth": "0"}, LOCK_BODY)
    assert status == 200
    token = headers["lock-token"]
    names = ["/shared/lk.txt", "/alias/lk.txt", "/shared/lk-link.txt", "/alias/lk-link.txt"]
    for name in names:
        for method, body in (("PUT", b"overwritten"), ("DELETE", None), ("PROPPATCH", None)):
            assert request(site, method, name, BOB, body)[0] == 423, (method, name)
        status, _, body = request(site, "LOCK", name, {**BOB, "Content-Type": "application/xml"},
                                  LOCK_BODY)
        assert status == 423 or (status == 207 and b" 423 " in body), (name, status, body)
    assert open(os.path.join(site.pub, "shared", "lk.txt")).read() == "locked content"
    # The holder writes through any of them with the token.
    assert send(site, "PUT", "/alias/lk.txt", {"If": "(%s)" % token}, b"mine")[0] < 300
    assert open(os.path.join(site.pub, "shared", "lk.txt")).read() == "mine"


def test_a_folder_swapped_for_a_link_out_of_the_tree_is_never_listed(site, tmp_path):
    from test_caldav_client import SWAPPER
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "outsidename.txt").write_text("x")
    site.put("shared/listed/insidename.txt", "y")
    folder = os.path.join(site.pub, "shared", "listed")
    link = os.path.join(site.pub, "shared", "other")
    os.symlink(str(outside), link)
    swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, folder, link])
    try:
        inside_seen = 0
        for _ in range(300):
            answer = send(site, "PROPFIND", "/shared/listed/", {"Depth": "1"})[2]
            assert b"outsidename" not in answer
            inside_seen += b"insidename" in answer
        assert inside_seen > 0
    finally:
        swapper.kill()
        swapper.wait(10)


def test_a_copy_makes_no_link_that_leads_out_of_the_tree(site):
    a = os.path.join(site.pub, "shared", "deep", "a")
    os.makedirs(a)
    site.put("shared/readme.txt", "readme")
    site.put("shared/deep/a/sib.txt", "sib")
    os.symlink("sib.txt", os.path.join(a, "ok"))              # stays inside anywhere
    os.symlink("../../readme.txt", os.path.join(a, "rel"))    # inside here, not at the top
    os.symlink("/etc", os.path.join(a, "etc"))                # out of the tree everywhere
    dest = "http://%s:%d/copy-a/" % (HOST, site.port)
    status, _, body = send(site, "COPY", "/shared/deep/a/", {"Destination": dest})
    assert status == 207 and b"/shared/deep/a/etc" in body and b"/shared/deep/a/rel" in body
    copy = os.path.join(site.pub, "copy-a")
    assert os.readlink(os.path.join(copy, "ok")) == "sib.txt"
    assert sorted(os.listdir(copy)) == ["ok", "sib.txt"]
    # The link named itself: all or nothing.
    dest = "http://%s:%d/rel-copy" % (HOST, site.port)
    assert send(site, "GET", "/shared/deep/a/rel")[2] == b"readme"
    assert send(site, "COPY", "/shared/deep/a/rel", {"Destination": dest})[0] == 403
    assert not os.path.lexists(os.path.join(site.pub, "rel-copy"))
    # Moved, a link goes as it is.
    dest = "http://%s:%d/shared/deep/moved/" % (HOST, site.port)
    assert send(site, "MOVE", "/shared/deep/a/", {"Destination": dest})[0] == 201
    assert os.readlink(os.path.join(site.pub, "shared", "deep", "moved", "etc")) == "/etc"


def test_every_road_asks_for_the_login_with_one_answer(site):
    """A 401 is the same answer whichever road gave it: the challenge, its
    text and one content type."""
    dest = {"Destination": "http://%s:%d/shared/c.txt" % (HOST, site.port)}
    answers = set()
    for method, headers, body in (("GET", {}, None), ("POST", {}, b"a=1"),
                                  ("PROPFIND", {"Depth": "0"}, None), ("PUT", {}, b"x"),
                                  ("DELETE", {}, None), ("MKCOL", {}, None),
                                  ("COPY", dest, None), ("MOVE", dest, None),
                                  ("LOCK", {"Content-Type": "application/xml"}, LOCK_BODY),
                                  ("PROPPATCH", {}, None)):
        status, h, text = request(site, method, "/shared/dx/a.txt", headers, body)
        assert status == 401, (method, status)
        answers.add((h.get("www-authenticate"), h.get("content-type"), text))
    assert len(answers) == 1, answers
    challenge, kind, text = answers.pop()
    assert challenge.startswith("Basic") and kind.startswith("text/plain")
    assert text.startswith(b"You need authorization for access:")
