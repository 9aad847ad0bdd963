"""Pages on the access roads. A page that asks whether its client may reach
another URL gets the answer a request of that client would get; the file,
image and hash-list objects open paths of the tree beneath its root, so a
link in the tree that leads out of it (or is swapped to lead out) is
refused, while a path outside the tree that the page names itself stays
allowed; a replaced file's new content is renamed in the folder it was
made in."""

import base64
import http.client
import os
import shutil
import tempfile
import threading
import time
import urllib.parse

import pytest

from test_jscript_objects import png
from tq_site import HOST, Site, flip_links, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler java-script .jss
"""

USERS = '"alice","secret"\r\n"bob","builder"\r\n'

# Asks authenticate for the URL of the query.
AUTH_PAGE = r"""
function main() {
    var url = decodeURIComponent(webserver.environment_var("QUERY_STRING"));
    webserver.write_response("" + webserver.authenticate(url, "GET"));
}
"""

# Opens the local path of the query with a file object and answers whether
# it opened and the file's length.
FILE_PAGE = r"""
function main() {
    var f = webserver.file();
    var ok = f.open(decodeURIComponent(webserver.environment_var("QUERY_STRING")), 0);
    webserver.write_response(ok + "," + (ok ? f.length : -1));
    f.close();
}
"""

# Replaces the file of the query (opened with truncation), then waits for
# the test's "go" file before it closes, so the test can swap its folder.
REPLACE_PAGE = r"""
function main() {
    var q = decodeURIComponent(webserver.environment_var("QUERY_STRING")).split("|");
    var f = webserver.file();
    // Write-only, create, truncate.
    var ok = f.open(q[0], 0x301);
    f.write(webserver.str2bytearray("new content"));
    var go = webserver.file();
    for (var i = 0; i < 500 && !go.open(q[1], 0); i++) webserver.sleep(20);
    go.close();
    f.close();
    webserver.write_response("" + ok);
}
"""

# Width of the picture of the query, and whether a scaled copy could be
# saved under the second name.
IMAGE_PAGE = r"""
function main() {
    var q = decodeURIComponent(webserver.environment_var("QUERY_STRING")).split("|");
    var img = webserver.create_image(q[0]);
    webserver.write_response(img.width + "," + img.save(q[1], 4, 0));
}
"""

# A value of the hash list of the query (a name of the tree), then a save.
LIST_PAGE = r"""
function main() {
    var l = webserver.hash_list(decodeURIComponent(webserver.environment_var("QUERY_STRING")), 0);
    l.open(0);
    var before = l.value("k");
    l.value("k", "page");
    webserver.write_response(before + "," + l.save());
}
"""

OUTSIDE = b"OUTSIDE-MARKER"  # 14 bytes
INSIDE = b"inside-text"  # 11 bytes


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


@pytest.fixture(scope="module")
def site():
    root = tempfile.mkdtemp(prefix="tq_script_access_", dir="/tmp")
    os.chmod(root, 0o755)
    s = Site(root, directives=DIRECTIVES)
    s.outside = os.path.join(root, "outside")
    os.makedirs(s.outside)
    for name, data in (("file.txt", OUTSIDE), ("swap.txt", OUTSIDE), ("pic.png", png(40, 20)),
                       ("list.txt", b'"k","outside"\r\n')):
        with open(os.path.join(s.outside, name), "wb") as f:
            f.write(data)
    os.symlink(s.outside, os.path.join(s.pub, "outdir"))
    s.put("auth.jss", AUTH_PAGE)
    s.put("file.jss", FILE_PAGE)
    s.put("replace.jss", REPLACE_PAGE)
    s.put("image.jss", IMAGE_PAGE)
    s.put("list.jss", LIST_PAGE)
    s.put("in.txt", INSIDE)
    s.put("in_swap.txt", INSIDE)
    s.put("pic.png", png(30, 10))
    s.put("secret/.htaccess", "Require all denied\n")
    s.put("secret/users.txt", USERS)
    s.put("alices/.htaccess", "AuthType Basic\nAuthName Alice\n"
          "AuthUserFile /secret/users.txt\nRequire user alice\n")
    s.put("alices/file.txt", "a\n")
    s.put("open/.htaccess", "<Files denied.txt>\nRequire all denied\n</Files>\n")
    s.put("open/file.txt", "o\n")
    s.put("open/denied.txt", "d\n")
    s.put("blk/file.txt", "b\n")
    s.write_data("blocklist.txt", os.path.join(s.pub, "blk") + "\n")
    s.start()
    yield s
    s.stop()
    shutil.rmtree(root, ignore_errors=True)


@pytest.mark.parametrize("url, authorization, status, answer, challenge", [
    ("/open/file.txt", None, 200, "2", False),
    # A login: none, the user the folder names, another user of the file.
    ("/alices/file.txt", None, 401, "0", True),
    ("/alices/file.txt", basic("alice", "secret"), 200, "1", False),
    ("/alices/file.txt", basic("bob", "builder"), 401, "0", True),
    # What no request of any client gets: a blocked folder, a name its
    # Files section denies, a folder that is a link out of the tree.
    ("/blk/file.txt", None, 403, "0", False),
    ("/open/denied.txt", None, 403, "0", False),
    ("/outdir/file.txt", None, 403, "0", False),
])
def test_a_page_asks_the_decision_a_request_would_get(site, url, authorization, status,
                                                      answer, challenge):
    # The same question as a request of the client, for comparison.
    headers = {"Authorization": authorization} if authorization else {}
    assert request(site, "GET", url, headers=headers)[0] == status
    got, h, data = request(site, "GET", "/auth.jss?" + urllib.parse.quote(url), headers=headers)
    assert (got, data.decode()) == (status, answer)
    assert ("www-authenticate" in h) == challenge


def page(site, path, *args):
    query = urllib.parse.quote("|".join(args), safe="")
    status, _, data = request(site, "GET", path + "?" + query)
    assert status == 200, data
    return data.decode()


# (page, arguments, answer, a file outside that must stay as it was or not
# appear). Paths: "P" the tree, "O" the folder outside it, "P/outdir" the
# link to it.
OBJECT_ROWS = [
    # The file object: inside, through the link, the outside file by its own name.
    ("/file.jss", ("P/in.txt",), "true,11", None),
    ("/file.jss", ("P/outdir/file.txt",), "false,-1", None),
    ("/file.jss", ("O/file.txt",), "true,14", None),
    # The image object reads and writes the same way.
    ("/image.jss", ("P/pic.png", "P/small.png"), "30,true", None),
    ("/image.jss", ("P/outdir/pic.png", "P/outdir/small.png"), "0,false", ("small.png", None)),
    ("/image.jss", ("O/pic.png", "P/outdir/small.png"), "40,false", ("small.png", None)),
    ("/image.jss", ("O/pic.png", "O/mine.png"), "40,true", None),
    # A hash list (its names are always names of the tree) neither reads
    # nor replaces a list through the link.
    ("/list.jss", ("/outdir/list.txt",), ",false", ("list.txt", b'"k","outside"\r\n')),
]


@pytest.mark.parametrize("path, args, answer, kept", OBJECT_ROWS)
def test_objects_refuse_links_out_of_the_tree_but_not_outside_names(site, path, args, answer,
                                                                     kept):
    names = [a.replace("P/", site.pub + "/", 1).replace("O/", site.outside + "/", 1)
             for a in args]
    assert page(site, path, *names) == answer
    if kept:
        name, content = kept
        target = os.path.join(site.outside, name)
        if content is None:
            assert not os.path.exists(target)
        else:
            with open(target, "rb") as f:
                assert f.read() == content


def test_a_file_object_never_reads_through_a_swapped_link(site):
    link = os.path.join(site.pub, "swap.txt")
    os.symlink("in_swap.txt", link)
    stop = threading.Event()
    flipper = threading.Thread(
        target=flip_links,
        args=([(link, "in_swap.txt", os.path.join(site.outside, "swap.txt"))], stop))
    flipper.start()
    answers = {}
    try:
        conn = http.client.HTTPConnection(HOST, site.port, timeout=20)
        target = "/file.jss?" + urllib.parse.quote(link, safe="")
        for _ in range(400):
            conn.request("GET", target)
            r = conn.getresponse()
            body = r.read().decode()
            answers[body] = answers.get(body, 0) + 1
        conn.close()
    finally:
        stop.set()
        flipper.join(timeout=60)
    assert "true,14" not in answers, answers
    # The inside file was read now and then: the race was run.
    assert answers.get("true,11", 0) > 0, answers


def test_a_replaced_file_is_renamed_in_the_folder_it_was_made_in(site):
    folder = os.path.join(site.pub, "w")
    real = os.path.join(site.pub, "w_real")
    elsewhere = os.path.join(site.root, "elsewhere")
    os.makedirs(folder)
    os.makedirs(elsewhere)
    with open(os.path.join(folder, "target.txt"), "wb") as f:
        f.write(b"old content")
    with open(os.path.join(elsewhere, "target.txt"), "wb") as f:
        f.write(b"elsewhere")
    go = os.path.join(site.root, "go")
    result = {}

    def run():
        result["answer"] = page(site, "/replace.jss", os.path.join(folder, "target.txt"), go)

    t = threading.Thread(target=run)
    t.start()
    try:
        temps = []
        for _ in range(500):
            temps = [n for n in os.listdir(folder) if n.endswith(".tmp")]
            if temps:
                break
            time.sleep(0.01)
        assert len(temps) == 1, os.listdir(folder)
        # The folder moves away; a link to another folder, which holds a
        # file of the temporary name, takes its place.
        os.rename(folder, real)
        os.symlink(elsewhere, folder)
        with open(os.path.join(elsewhere, temps[0]), "wb") as f:
            f.write(b"planted")
    finally:
        open(go, "w").close()
        t.join(timeout=60)
    assert result.get("answer") == "true"
    with open(os.path.join(real, "target.txt"), "rb") as f:
        assert f.read() == b"new content"
    with open(os.path.join(elsewhere, "target.txt"), "rb") as f:
        assert f.read() == b"elsewhere"
    assert [n for n in os.listdir(real) if n.endswith(".tmp")] == []
