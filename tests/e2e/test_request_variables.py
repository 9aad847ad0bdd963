"""The variables a CGI program and a server-side include see, compared whole
against a table: every variable the server makes for a request (the
server's own environment taken away), for queries, bodies, headers spelled
in odd case, HTTPS and a logged-in user. The server makes these variables
only when a handler reads them; this test holds their names and values to
what making them all up front gave."""

import base64
import http.client
import json
import os
import re
import shutil
import ssl
import tempfile

import pytest

from tq_site import HOST, Site

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler cgi-script .py
AddHandler server-parsed .shtml
"""

MIME_TYPES = """text/html html htm shtml
text/plain txt
"""

ENV_PY = r"""#!/usr/bin/python3
import json, os, sys
body = sys.stdin.buffer.read()
sys.stdout.write("Content-Type: application/json\r\n\r\n" +
                 json.dumps({"env": dict(os.environ), "stdin": body.decode("latin-1")}))
"""

USERS = '"alice","secret"\r\n'

# The variables the include page echoes, one "NAME=value;" each.
SSI_NAMES = ["AUTH_TYPE", "CONTENT_LENGTH", "CONTENT_TYPE", "COOKIE", "DOCUMENT_ROOT",
             "GATEWAY_INTERFACE", "HTTP_ACCEPT", "HTTP_COOKIE", "HTTP_HOST", "HTTP_USER_AGENT",
             "HTTP_X_ODD_CASE", "HTTP_X_LOWER_NAME", "QUERY_STRING", "REDIRECT_STATUS",
             "REMOTE_ADDR", "REMOTE_HOST", "REMOTE_USER", "REQUEST_METHOD", "SERVER_NAME",
             "SERVER_PROTOCOL", "SERVER_SOFTWARE", "_TSKQVL_FILE", "_TSKQVL_PATH",
             "_TSKQVL_RESPONSE_CODE", "_TSKQVL_RESPONSE_TEXT", "NO_SUCH_NAME"]


@pytest.fixture(scope="module")
def site():
    # Children run as "nobody" when the server is root: the tree must be
    # readable by everybody, which a pytest folder is not.
    root = tempfile.mkdtemp(prefix="tq_vars_", dir="/tmp")
    os.chmod(root, 0o755)
    s = Site(root, directives=DIRECTIVES, mime_types=MIME_TYPES)
    s.put("env.py", ENV_PY)
    s.put("secret/.htaccess", "Require all denied\n")
    s.put("secret/users.txt", USERS)
    s.put("login/.htaccess", "AuthType Basic\nAuthName Login Area\n"
          "AuthUserFile /secret/users.txt\nRequire valid-user\n")
    s.put("login/env.py", ENV_PY)
    s.put("inc.shtml", '<!--#include virtual="/env.py?inc=1" -->')
    s.put("vars.shtml", "".join('%s=<!--#echo var="%s" -->;' % (n, n) for n in SSI_NAMES))
    for dirpath, dirs, _ in os.walk(root):
        for d in dirs:
            os.chmod(os.path.join(dirpath, d), 0o755)
    s.start()
    yield s
    s.stop()
    shutil.rmtree(root, ignore_errors=True)


def fetch(site, method, path, headers, body=None, tls=False):
    if tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        c = http.client.HTTPSConnection(HOST, site.https_port, timeout=20, context=ctx)
    else:
        c = http.client.HTTPConnection(HOST, site.port, timeout=20)
    try:
        # Headers go out exactly as given (no Accept-Encoding or Host added).
        c.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in headers:
            c.putheader(name, value.replace("HOST", "%s:%d" % (HOST, site.https_port if tls
                                                                else site.port)))
        if body is not None:
            c.putheader("Content-Length", str(len(body)))
        c.endheaders(body)
        r = c.getresponse()
        return r.status, r.read()
    finally:
        c.close()


def server_made(site, env):
    """The variables the server made: those not inherited unchanged."""
    return {k: v for k, v in env.items() if site.env.get(k) != v}


def expand(site, table):
    return {k: v.format(pub=site.pub, data=site.data, port=site.port, tls=site.https_port)
            for k, v in table.items()}


AUTH = "Basic " + base64.b64encode(b"alice:secret").decode()

# What every answer of /env.py over plain HTTP carries; a case names what
# differs. {pub} is the document tree, {port} the port the request came to.
BASE = {
    "AUTH_TYPE": "", "CONTENT_LENGTH": "", "CONTENT_TYPE": "", "COOKIE": "",
    "DOCUMENT_ROOT": "{pub}/", "GATEWAY_INTERFACE": "CGI/1.1", "HTTP_HOST": "127.0.0.1:{port}",
    "PATH_TRANSLATED": "{pub}/env.py", "QUERY_STRING": "", "REDIRECT_STATUS": "200",
    "REMOTE_ADDR": "127.0.0.1", "REMOTE_HOST": "", "REMOTE_USER": "", "REQUEST_METHOD": "GET",
    "REQUEST_URI": "/env.py", "SCRIPT_FILENAME": "{pub}/env.py", "SCRIPT_NAME": "/env.py",
    "SERVER_NAME": "127.0.0.1:{port}", "SERVER_PORT": "{port}", "SERVER_PROTOCOL": "HTTP/1.1",
    "_TSKQVL_AUTHNAME": "", "_TSKQVL_AUTHUSERFILE": "", "_TSKQVL_FILE": "{pub}/env.py",
    "_TSKQVL_PATH": "/env.py", "_TSKQVL_PRIVATE_DIR": "{data}/private/", "_TSKQVL_REQUIRE": "",
    "_TSKQVL_RESPONSE_CODE": "200", "_TSKQVL_RESPONSE_TEXT": "OK",
}

CGI_CASES = [
    # (label, method, path, headers, body, tls, variables that differ from BASE)
    ("query and odd-case headers", "GET", "/env.py?a=1&b=two%20x",
     [("Host", "HOST"), ("X-Odd-CASE", "Mixed"), ("x-lower-name", "low"),
      ("Cookie", "c=1; d=2"), ("User-Agent", "agent/1"), ("Accept", "*/*"),
      ("X_Under", "dropped"), ("Proxy", "evil:1")], None, False, {
         "COOKIE": "c=1; d=2", "HTTP_ACCEPT": "*/*", "HTTP_COOKIE": "c=1; d=2",
         "HTTP_USER_AGENT": "agent/1", "HTTP_X_LOWER_NAME": "low", "HTTP_X_ODD_CASE": "Mixed",
         "QUERY_STRING": "a=1&b=two%20x", "REQUEST_URI": "/env.py?a=1&b=two%20x"}),
    ("form post", "POST", "/env.py",
     [("Host", "HOST"), ("Content-Type", "application/x-www-form-urlencoded"),
      ("CONTENT-md5", "x"), ("Referer", "http://127.0.0.1/form")], b"name=value&x=%20", False, {
         "CONTENT_LENGTH": "16", "CONTENT_TYPE": "application/x-www-form-urlencoded",
         "HTTP_CONTENT_LENGTH": "16", "HTTP_CONTENT_MD5": "x",
         "HTTP_CONTENT_TYPE": "application/x-www-form-urlencoded",
         "HTTP_REFERER": "http://127.0.0.1/form", "REQUEST_METHOD": "POST"}),
    ("https", "GET", "/env.py?tls=1", [("Host", "HOST"), ("accept-LANGUAGE", "de")], None, True, {
        "HTTP_ACCEPT_LANGUAGE": "de", "HTTP_HOST": "127.0.0.1:{tls}", "QUERY_STRING": "tls=1",
        "REQUEST_URI": "/env.py?tls=1", "SERVER_NAME": "127.0.0.1:{tls}", "SERVER_PORT": "{tls}"}),
    ("logged-in user", "GET", "/login/env.py", [("Host", "HOST"), ("Authorization", AUTH)],
     None, False, {
         "AUTH_TYPE": "Basic", "HTTP_AUTHORIZATION": AUTH,
         "PATH_TRANSLATED": "{pub}/login/env.py", "REMOTE_USER": "alice",
         "REQUEST_URI": "/login/env.py", "SCRIPT_FILENAME": "{pub}/login/env.py",
         "SCRIPT_NAME": "/login/env.py", "_TSKQVL_AUTHNAME": "Login Area",
         "_TSKQVL_AUTHUSERFILE": "{pub}/secret/users.txt", "_TSKQVL_FILE": "{pub}/login/env.py",
         "_TSKQVL_PATH": "/login/env.py", "_TSKQVL_REQUIRE": "valid-user"}),
]

# The variables of a program that a page includes: the page's, with the
# program's own path and query.
INCLUDED = {"COOKIE": "k=v", "HTTP_COOKIE": "k=v", "HTTP_X_ODD_CASE": "inc",
            "QUERY_STRING": "inc=1", "REQUEST_URI": "/env.py?inc=1"}

# What the include page echoes ("" for a variable that is not set).
SSI_EXPECTED = {
    "AUTH_TYPE": "", "CONTENT_LENGTH": "", "CONTENT_TYPE": "", "COOKIE": "k=v",
    "DOCUMENT_ROOT": "{pub}/", "GATEWAY_INTERFACE": "CGI/1.1", "HTTP_ACCEPT": "",
    "HTTP_COOKIE": "k=v", "HTTP_HOST": "127.0.0.1:{port}", "HTTP_USER_AGENT": "agent/2",
    "HTTP_X_ODD_CASE": "ssi", "HTTP_X_LOWER_NAME": "", "QUERY_STRING": "q=1",
    "REDIRECT_STATUS": "200", "REMOTE_ADDR": "127.0.0.1", "REMOTE_HOST": "", "REMOTE_USER": "",
    "REQUEST_METHOD": "GET", "SERVER_NAME": "127.0.0.1:{port}", "SERVER_PROTOCOL": "HTTP/1.1",
    "_TSKQVL_FILE": "{pub}/vars.shtml", "_TSKQVL_PATH": "/vars.shtml",
    "_TSKQVL_RESPONSE_CODE": "200", "_TSKQVL_RESPONSE_TEXT": "OK", "NO_SUCH_NAME": "",
}


def check_common(made):
    # Values that change from run to run: checked by form.
    assert re.fullmatch(r"\d+", made.pop("REMOTE_PORT", "")), "REMOTE_PORT"
    assert made.pop("SERVER_SOFTWARE", "").startswith("teskqvel"), "SERVER_SOFTWARE"


@pytest.mark.parametrize("case", CGI_CASES, ids=[c[0] for c in CGI_CASES])
def test_cgi_environment(site, case):
    label, method, path, headers, body, tls, expected = case
    status, data = fetch(site, method, path, headers, body, tls)
    assert status == 200, data
    info = json.loads(data)
    made = server_made(site, info["env"])
    if os.environ.get("TQ_DUMP_VARS"):
        print(label, json.dumps(made, indent=1, sort_keys=True))
    check_common(made)
    assert made == expand(site, dict(BASE, **expected))


def test_include_page_variables(site):
    status, data = fetch(site, "GET", "/vars.shtml?q=1",
                         [("Host", "HOST"), ("x-ODD-case", "ssi"), ("User-Agent", "agent/2"),
                          ("Cookie", "k=v")])
    assert status == 200, data
    seen = dict(item.split("=", 1) for item in data.decode().split(";") if item)
    if os.environ.get("TQ_DUMP_VARS"):
        print(json.dumps(seen, indent=1))
    assert re.fullmatch(r"teskqvel/[\w.]+", seen.pop("SERVER_SOFTWARE"))
    assert seen == expand(site, SSI_EXPECTED)


def test_program_included_by_a_page(site):
    status, data = fetch(site, "GET", "/inc.shtml?page=1",
                         [("Host", "HOST"), ("X-Odd-CASE", "inc"), ("Cookie", "k=v")])
    assert status == 200, data
    made = server_made(site, json.loads(data)["env"])
    if os.environ.get("TQ_DUMP_VARS"):
        print(json.dumps(made, indent=1, sort_keys=True))
    check_common(made)
    assert made == expand(site, dict(BASE, **INCLUDED))
