"""The sample the run command makes (scripts/make-sample), started as the run
command starts it, on free loopback ports: every link of its index page
answers its page's output (not the page's source) with the right type,
nobody writes anywhere without a login, each login writes only its own
folders, and a calendar client finds the demo calendar from the root."""

import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import urllib.parse

import caldav
import pytest
import requests
from requests.auth import HTTPBasicAuth, HTTPDigestAuth

from tq_site import HOST, Site, request

MAKE_SAMPLE = os.path.join(os.path.dirname(__file__), "../../scripts/make-sample")


def make_sample(data):
    made = subprocess.run([MAKE_SAMPLE, data], capture_output=True, text=True, timeout=60)
    assert made.returncode == 0, made.stderr
    return made.stdout


@pytest.fixture(scope="module")
def sample():
    root = tempfile.mkdtemp(prefix="tq_sample_")
    # CGI programs run as "nobody" when the server is root: as under build/,
    # the tree is open to other accounts for reading.
    os.chmod(root, 0o755)
    s = Site(root)
    # The run command's data directory holds only what make-sample writes.
    shutil.rmtree(s.data)
    out = make_sample(s.data)
    editor = re.search(r"login for /dav/ is editor, password (\S+)", out).group(1)
    demo = re.search(r"calendar login is demo, password (\S+)", out).group(1)
    # The run command's global.ini, on this test's ports and on loopback.
    ini = os.path.join(s.data, "global.ini")
    with open(ini) as f:
        text = f.read()
    assert "server_port=8080" in text and "https_port=8443" in text
    text = text.replace("server_port=8080", "server_port=%d" % s.port)
    text = text.replace("https_port=8443", "https_port=%d" % s.https_port)
    with open(ini, "w") as f:
        f.write(text + "host_name=%s\r\n" % HOST)
    s.start()
    try:
        yield s, editor, demo
    finally:
        s.stop()
        shutil.rmtree(root, ignore_errors=True)


def url(s, path):
    return "http://%s:%d%s" % (HOST, s.port, path)


def tree(s):
    """The directive files and the document tree as they are on disk, but the
    server's own logs and the user files (a password is enciphered at its
    first use)."""
    out = {}
    for name in (".htaccess", "mime.types"):
        with open(os.path.join(s.data, name), "rb") as f:
            out[name] = hashlib.sha256(f.read()).hexdigest()
    for top, dirs, files in os.walk(s.pub):
        rel = os.path.relpath(top, s.pub)
        dirs[:] = [d for d in dirs if os.path.join(rel, d) not in ("./logs", "./users")]
        for name in dirs + files:
            path = os.path.join(top, name)
            if os.path.islink(path) or os.path.isdir(path):
                out[os.path.join(rel, name)] = "link" if os.path.islink(path) else "folder"
            else:
                with open(path, "rb") as f:
                    out[os.path.join(rel, name)] = hashlib.sha256(f.read()).hexdigest()
    return out


# Each link of the index page: status, content type, what its output holds
# and what only its source would hold.
PAGES = {
    "docs/readme.txt": (200, "text/plain", ["A plain text file"], []),
    "docs/data.json": (200, "application/json", ['"sample": true'], []),
    "images/dot.svg": (200, "image/svg+xml", ["<circle"], []),
    "pages/hello.shtml?from=index": (
        200, "text/html",
        ["<li>method: GET</li>", "<li>query: from=index</li>", "<li>your address: 127.0.0.1",
         "<li>your browser: python-requests", "This paragraph comes from pages/included.html."],
        ["<!--#"]),
    "pages/hello.jss?name=visitor": (
        200, "text/html; charset=utf-8",
        ["<h1>Hello, visitor!</h1>", "video_input_devices:", "<li>lavfi testsrc</li>",
         "<li>lavfi sine</li>"],
        ["function main", "webserver."]),
    "cgi-bin/hello.cgi?from=index": (
        200, "text/html; charset=utf-8",
        ["<li>QUERY_STRING: from=index</li>", "<li>SCRIPT_NAME: /cgi-bin/hello.cgi</li>",
         "<li>REMOTE_ADDR: 127.0.0.1</li>"],
        ["#!/bin/sh", "printf"]),
    "dav/welcome.txt": (401, None, [], []),
    "dav-basic/welcome.txt": (401, None, [], []),
    "private/demo/": (401, None, [], []),
    "media/dot.png": (200, "image/png", [], []),
    "media/silence.wav": (200, "audio/wav", [], []),
}


def test_every_link_of_the_index_shows_its_output(sample):
    s, _, _ = sample
    r = requests.get(url(s, "/"), timeout=20)
    assert r.status_code == 200 and r.headers["Content-Type"] == "text/html"
    links = re.findall(r'href="([^"]+)"', r.text)
    links.remove("style.css")
    assert sorted(links) == sorted(PAGES), "each link of the index has its check here"
    wrong = []
    for link, (status, ctype, output, source) in PAGES.items():
        r = requests.get(url(s, "/" + link), timeout=20)
        text = r.content.decode("utf-8", "replace")
        if r.status_code != status or (ctype and r.headers.get("Content-Type") != ctype):
            wrong.append("%s: %d %s" % (link, r.status_code, r.headers.get("Content-Type")))
        wrong += ["%s lacks %r" % (link, t) for t in output if t not in text]
        wrong += ["%s shows its source %r" % (link, t) for t in source if t in text]
    assert wrong == []
    # The login pages ask for their own schemes: Digest, Basic for the
    # clients that speak nothing else, the calendar login.
    challenge = {p: requests.get(url(s, "/" + p), timeout=20).headers["WWW-Authenticate"]
                 for p in ("dav/welcome.txt", "dav-basic/welcome.txt", "private/demo/")}
    assert challenge["dav/welcome.txt"].startswith("Digest ")
    assert challenge["dav-basic/welcome.txt"] == 'Basic realm="teskqvel sample"'
    assert challenge["private/demo/"] == 'Basic realm="calendars"'
    # What a page repeats from the request is escaped.
    r = requests.get(url(s, "/pages/hello.jss?name=%3Cb%3Ex%25"), timeout=20)
    assert "<h1>Hello, &lt;b&gt;x%!</h1>" in r.text
    r = requests.get(url(s, "/cgi-bin/hello.cgi?%3Cb%3E"), timeout=20)
    assert "<li>QUERY_STRING: %3Cb%3E</li>" in r.text and "<b>" not in r.text


FOLDERS = ["", "docs/", "images/", "pages/", "cgi-bin/", "dav/", "dav-basic/", "users/",
           "private/", "private/demo/", "private/other/", "media/", "logs/"]
# An existing file in each folder that has one.
EXISTING = {"": "index.html", "docs/": "readme.txt", "pages/": "hello.jss",
            "cgi-bin/": "hello.cgi", "dav/": "welcome.txt", "dav-basic/": "welcome.txt",
            "media/": "dot.png", "users/": "users.txt", "private/": ".htaccess",
            "pages/.htaccess": None}

PROPPATCH = (b'<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:"><D:set><D:prop>'
             b'<Z:note xmlns:Z="urn:x">x</Z:note></D:prop></D:set></D:propertyupdate>')
LOCK = (b'<?xml version="1.0"?><D:lockinfo xmlns:D="DAV:"><D:lockscope><D:exclusive/>'
        b'</D:lockscope><D:locktype><D:write/></D:locktype></D:lockinfo>')


def write_attempts(s, folder):
    """(method, path, headers, body) of every kind of write into the folder."""
    out = [("PUT", folder + "new.txt", {}, b"new"),
           ("PUT", folder + "new.jss", {}, b"function main() {}"),
           ("PUT", folder + ".htaccess", {}, b"Require all granted\n"),
           ("MKCOL", folder + "newdir/", {}, None),
           ("COPY", "docs/readme.txt", {"Destination": url(s, "/" + folder + "copied.txt")}, None)]
    name = EXISTING.get(folder)
    if name:
        existing = folder + name
        out += [("PUT", existing, {}, b"overwritten"),
                ("DELETE", existing, {}, None),
                ("MOVE", existing, {"Destination": url(s, "/" + folder + "moved")}, None),
                ("PROPPATCH", existing, {"Content-Type": "text/xml"}, PROPPATCH),
                ("LOCK", existing, {"Content-Type": "text/xml"}, LOCK)]
    return out


def test_nobody_writes_without_a_login(sample):
    s, _, _ = sample
    os.makedirs(os.path.join(s.pub, "private", "other"), exist_ok=True)
    before = tree(s)
    wrong = []
    for folder in FOLDERS:
        for method, path, headers, body in write_attempts(s, folder):
            status = request(s, method, "/" + path, headers, body)[0]
            if status not in (401, 403):
                wrong.append("%s /%s answered %d" % (method, path, status))
    # Listings ask for a login everywhere (calendar clients log in at the root).
    for folder in ("", "docs/", "private/demo/"):
        status = request(s, "PROPFIND", "/" + folder, {"Depth": "1"})[0]
        if status != 401:
            wrong.append("PROPFIND /%s answered %d" % (folder, status))
    assert wrong == []
    assert tree(s) == before


def written(s, auth, folder):
    """The write attempts in the folder that the login was granted."""
    granted = []
    for method, path, headers, body in write_attempts(s, folder):
        r = requests.request(method, url(s, "/" + path), headers=headers, data=body, auth=auth,
                             timeout=20)
        if r.status_code not in (401, 403, 404, 409):
            granted.append("%s /%s %d" % (method, path, r.status_code))
    return granted


def test_each_login_writes_only_its_own_folders(sample):
    s, editor, demo = sample
    os.makedirs(os.path.join(s.pub, "private", "other"), exist_ok=True)
    logins = {"demo": HTTPBasicAuth("demo", demo),
              "editor (Digest)": HTTPDigestAuth("editor", editor),
              "editor (Basic)": HTTPBasicAuth("editor", editor)}
    own = {"demo": {"private/demo/"}, "editor (Digest)": {"dav/"},
           "editor (Basic)": {"dav-basic/"}}
    for login, auth in logins.items():
        before = tree(s)
        for folder in FOLDERS:
            if folder in own[login]:
                continue
            assert written(s, auth, folder) == [], (login, folder)
        assert tree(s) == before, login
    # In their own folders: files yes; access files never, and a page put
    # there stays a file.
    for login, folder in (("demo", "private/demo/"), ("editor (Digest)", "dav/"),
                          ("editor (Basic)", "dav-basic/")):
        auth = logins[login]
        r = requests.put(url(s, "/" + folder + "mine.jss"), data=b"function main() {}",
                         auth=auth, timeout=20)
        assert r.status_code in (201, 204), (login, r.status_code)
        r = requests.get(url(s, "/" + folder + "mine.jss"), auth=auth, timeout=20)
        assert r.status_code == 200 and r.content == b"function main() {}", login
        r = requests.put(url(s, "/" + folder + ".htaccess"), data=b"AddHandler java-script .jss\n",
                         auth=auth, timeout=20)
        assert r.status_code == 403, (login, r.status_code)
        assert requests.delete(url(s, "/" + folder + "mine.jss"), auth=auth,
                               timeout=20).status_code in (200, 204)
    # Both addresses of the WebDAV folder are one folder.
    r = requests.put(url(s, "/dav-basic/both.txt"), data=b"both", auth=logins["editor (Basic)"],
                     timeout=20)
    assert r.status_code == 201
    r = requests.get(url(s, "/dav/both.txt"), auth=logins["editor (Digest)"], timeout=20)
    assert r.status_code == 200 and r.content == b"both"
    # The Digest login is not the calendar one, nor the other way round.
    assert requests.get(url(s, "/dav/both.txt"), auth=HTTPDigestAuth("demo", demo),
                        timeout=20).status_code == 401
    r = requests.request("PROPFIND", url(s, "/private/demo/"), headers={"Depth": "0"},
                         auth=HTTPBasicAuth("editor", editor), timeout=20)
    assert r.status_code == 401


def test_a_calendar_client_finds_the_demo_stores_from_the_root(sample):
    s, _, demo = sample
    client = caldav.DAVClient(url=url(s, "/"), username="demo", password=demo)
    principal = client.principal()
    assert str(principal.url).endswith("/private/demo/")
    calendars = principal.calendars()
    assert [str(c.url).rstrip("/").rsplit("/", 1)[-1] for c in calendars] == ["caldav_personal"]
    cal = calendars[0]
    assert cal.events() == []
    ev = cal.save_event("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//tq//sample//EN\r\n"
                        "BEGIN:VEVENT\r\nUID:sample-1\r\nDTSTAMP:20250101T000000Z\r\n"
                        "DTSTART:20250310T090000Z\r\nDURATION:PT1H\r\nSUMMARY:Try it\r\n"
                        "END:VEVENT\r\nEND:VCALENDAR\r\n")
    assert [str(e.icalendar_instance.walk("VEVENT")[0]["SUMMARY"]) for e in cal.events()] == [
        "Try it"]
    auth = HTTPBasicAuth("demo", demo)
    path = urllib.parse.urlsplit(str(ev.url)).path
    r = requests.get(url(s, path), auth=auth, timeout=20)
    assert r.status_code == 200 and r.headers["Content-Type"] == "text/calendar"
    assert requests.get(url(s, path), timeout=20).status_code == 401
    # An address-book client asks its principal for the home of its address
    # books (the server makes the store then), and lists the home.
    for depth, prop in (("0", b"<C:addressbook-home-set/>"), ("1", b"<D:resourcetype/>")):
        r = requests.request("PROPFIND", url(s, "/private/demo/"), auth=auth, timeout=20,
                             headers={"Depth": depth, "Content-Type": "application/xml"},
                             data=b'<D:propfind xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:'
                                  b'ns:carddav"><D:prop>' + prop + b'</D:prop></D:propfind>')
        assert r.status_code == 207
    assert "/private/demo/carddav_personal/" in urllib.parse.unquote(r.text)
    book = "/private/demo/carddav_personal/"
    card = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:card-1\r\nFN:Sample Person\r\nEND:VCARD\r\n"
    r = requests.put(url(s, book + "card-1.vcf"), data=card.encode(), auth=auth,
                     headers={"Content-Type": "text/vcard"}, timeout=20)
    assert r.status_code == 201
    r = requests.get(url(s, book + "card-1.vcf"), auth=auth, timeout=20)
    assert r.status_code == 200 and r.headers["Content-Type"] == "text/vcard"
    ev.delete()
    assert requests.delete(url(s, book + "card-1.vcf"), auth=auth,
                           timeout=20).status_code in (200, 204)


def test_a_second_run_keeps_the_sample_and_updates_unedited_files(tmp_path):
    data = str(tmp_path / "data")
    assert "password" in make_sample(data)
    with open(os.path.join(data, "pub", "index.html"), "a") as f:
        f.write("<!-- edited -->\n")
    with open(os.path.join(data, "mime.types"), "w") as f:
        # What an older sample wrote there, unedited: it is brought up to date.
        f.write(OLD_MIME_TYPES)
    before = {p: open(os.path.join(data, p), "rb").read()
              for p in ("pub/index.html", "pub/users/users.txt", "pub/users/demo/profile.txt")}
    assert make_sample(data) == ""
    for p, content in before.items():
        assert open(os.path.join(data, p), "rb").read() == content, p
    assert "text/html       html htm shtml\n" in open(os.path.join(data, "mime.types")).read()


OLD_MIME_TYPES = """# type          extensions
text/html       html htm
text/css        css
text/plain      txt text log ini
text/javascript js mjs
application/json json
application/xml xml
application/pdf pdf
application/zip zip
application/gzip gz
image/svg+xml   svg
image/png       png
image/jpeg      jpg jpeg
image/gif       gif
image/webp      webp
image/x-icon    ico
audio/mpeg      mp3
audio/ogg       ogg
video/mp4       mp4
video/webm      webm
font/woff2      woff2
"""


def test_rclone_mirrors_into_the_basic_address_and_must_skip_the_access_file(sample, tmp_path):
    s, editor, _ = sample
    rclone = shutil.which("rclone")
    assert rclone, "rclone is not installed (scripts/install-deps installs it)"
    notes = tmp_path / "notes"
    notes.mkdir()
    (notes / "a.txt").write_text("first\n")
    (notes / "b.txt").write_text("second\n")
    obscured = subprocess.run([rclone, "obscure", editor], capture_output=True, text=True,
                              timeout=30).stdout.strip()
    env = dict(os.environ, HOME=str(tmp_path), XDG_CONFIG_HOME=str(tmp_path / "config"))

    def sync(*extra):
        return subprocess.run(
            [rclone, "sync", str(notes), ":webdav:", "--webdav-url", url(s, "/dav-basic/"),
             "--webdav-user", "editor", "--webdav-pass", obscured, "--retries", "1",
             "--low-level-retries", "1", *extra], env=env, capture_output=True, text=True,
            timeout=120)

    dav = os.path.join(s.pub, "dav")
    with open(os.path.join(dav, ".htaccess"), "rb") as f:
        access = f.read()
    r = sync("--exclude", ".htaccess")
    assert r.returncode == 0, r.stderr
    assert sorted(os.listdir(dav)) == [".htaccess", "a.txt", "b.txt"]
    with open(os.path.join(dav, "a.txt")) as f:
        assert f.read() == "first\n"
    # Without the exclusion the mirror tries to delete the access file, which
    # no WebDAV request may do: the sync fails, and the file stays.
    r = sync()
    assert r.returncode != 0
    with open(os.path.join(dav, ".htaccess"), "rb") as f:
        assert f.read() == access
