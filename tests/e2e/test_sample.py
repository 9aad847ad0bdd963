"""The sample the run command makes (scripts/make-sample): everyone may read,
no anonymous client may write, and the WebDAV folder takes writes from its
login. Only the ports in global.ini are the test's own."""

import os
import re
import subprocess
import tempfile
import shutil

import pytest
import requests
from requests.auth import HTTPDigestAuth

from tq_site import HOST, Site, request

MAKE_SAMPLE = os.path.join(os.path.dirname(__file__), "../../scripts/make-sample")


@pytest.fixture(scope="module")
def sample():
    root = tempfile.mkdtemp(prefix="tq_sample_")
    s = Site(root)
    # Site wrote its own directive files: the sample's take their place.
    for name in (".htaccess", "mime.types"):
        os.remove(os.path.join(s.data, name))
    made = subprocess.run([MAKE_SAMPLE, s.data], capture_output=True, text=True, timeout=60)
    assert made.returncode == 0, made.stderr
    password = re.search(r"editor, password (\S+)", made.stdout).group(1)
    s.start()
    yield s, password
    s.stop()
    shutil.rmtree(root, ignore_errors=True)


def url(s, path):
    return "http://%s:%d%s" % (HOST, s.port, path)


PROPPATCH = (b'<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:"><D:set><D:prop>'
             b'<Z:note xmlns:Z="urn:x">x</Z:note></D:prop></D:set></D:propertyupdate>')


def test_anonymous_clients_read_and_never_write(sample):
    s, _ = sample
    index = os.path.join(s.pub, "index.html")
    with open(index, "rb") as f:
        original = f.read()
    assert request(s, "GET", "/")[0] == 200
    assert request(s, "GET", "/docs/readme.txt")[0] == 200
    refused = []
    for method, path, headers, body in [
            ("PUT", "/index.html", {}, b"overwritten"),
            ("PUT", "/evil.cgi", {}, b"#!/bin/sh\n"),
            ("DELETE", "/docs/readme.txt", {}, None),
            ("MOVE", "/docs/data.json", {"Destination": url(s, "/moved.json")}, None),
            ("COPY", "/docs/data.json", {"Destination": url(s, "/copied.json")}, None),
            ("PROPPATCH", "/index.html", {"Content-Type": "text/xml"}, PROPPATCH),
            ("MKCOL", "/newdir", {}, None),
            ("PUT", "/dav/anon.txt", {}, b"anonymous"),
    ]:
        status = request(s, method, path, headers, body)[0]
        if status not in (401, 403):
            refused.append("%s %s answered %d" % (method, path, status))
    assert refused == []
    with open(index, "rb") as f:
        assert f.read() == original
    for name in ("evil.cgi", "moved.json", "copied.json", "newdir", "dav/anon.txt"):
        assert not os.path.exists(os.path.join(s.pub, name)), name
    assert os.path.exists(os.path.join(s.pub, "docs", "readme.txt"))
    assert os.path.exists(os.path.join(s.pub, "docs", "data.json"))
    # The logins are not for fetching.
    assert request(s, "GET", "/users/users.txt")[0] in (401, 403)


def test_the_dav_folder_takes_writes_from_its_login(sample):
    s, password = sample
    auth = HTTPDigestAuth("editor", password)
    r = requests.put(url(s, "/dav/note.txt"), data=b"from the login", auth=auth, timeout=20)
    assert r.status_code in (200, 201, 204), r.status_code
    r = requests.get(url(s, "/dav/note.txt"), auth=auth, timeout=20)
    assert r.status_code == 200 and r.content == b"from the login"
    assert requests.get(url(s, "/dav/note.txt"), timeout=20).status_code == 401
    r = requests.delete(url(s, "/dav/note.txt"), auth=auth, timeout=20)
    assert r.status_code in (200, 204)
