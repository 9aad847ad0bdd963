"""End-to-end tests of CGI programs: the built teskqvel binary runs shell,
Python and compiled programs as children with the CGI environment, turns
their output into answers, ends hung ones and starts them with no more
rights than it has (as "nobody" when it runs as root)."""

import gzip
import http.client
import json
import os
import pwd
import shutil
import subprocess
import tempfile
import time

import pytest

from tq_site import HOST, Site, raw, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler cgi-script .cgi .py
AddHandler php-script .php
AddHandler java-script .jss
"""

MIME_TYPES = """text/html html htm
text/plain txt
"""

ENV_PY = r"""#!/usr/bin/python3
import json, os, sys
def is_open(fd):
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False
body = sys.stdin.buffer.read()
info = {"env": dict(os.environ), "stdin": body.decode("latin-1"), "uid": os.getuid(),
        "gid": os.getgid(), "groups": os.getgroups(), "cwd": os.getcwd(),
        "fds": [fd for fd in range(4096) if is_open(fd)], "argv": sys.argv,
        "nice": os.nice(0), "fd3": os.readlink("/proc/self/fd/3")}
sys.stdout.write("Content-Type: application/json\r\n\r\n" + json.dumps(info))
"""

STATUS_SH = """#!/bin/sh
printf 'Status: 404 Not Found\\r\\nContent-Type: text/plain\\r\\nX-From-Script: yes\\r\\n\\r\\n'
printf 'no such thing'
"""

LOCATION_SH = """#!/bin/sh
printf 'Location: http://example.invalid/elsewhere\\n\\n'
"""

NPH_SH = """#!/bin/sh
printf 'HTTP/1.1 403 Forbidden\\r\\nContent-Type: text/plain\\r\\n\\r\\nnot for you'
"""

EXIT3_SH = """#!/bin/sh
exit 3
"""

BODY_EXIT1_SH = """#!/bin/sh
printf 'Content-Type: text/plain\\n\\nwritten before failing'
exit 1
"""

MISSING_SH = """#!/usr/bin/no-such-interpreter-here
print("never")
"""

NO_BANG = """echo this first line names no program
"""

NO_HEADER_SH = """#!/bin/sh
printf 'just words and no blank line'
"""

HUGE_HEADER_PY = """#!/usr/bin/python3
import sys
sys.stdout.write("X-Big: " + "a" * 100000 + "\\r\\n\\r\\nbody")
"""

LOOP_SH = """#!/bin/sh
# marker-looping-child
while :; do :; done
"""

BIG_PY = """#!/usr/bin/python3
import sys
out = sys.stdout.buffer
out.write(b"Content-Type: application/octet-stream\\r\\n\\r\\n")
piece = bytes(range(256)) * 256
for _ in range(800):
    out.write(piece)
out.flush()
"""

PIECES_PY = """#!/usr/bin/python3
import sys
sys.stdout.write("Content-Type: text/plain\\r\\n\\r\\n")
sys.stdout.flush()
for i in range(300):
    sys.stdout.write("piece %04d of the output\\n" % i)
    sys.stdout.flush()
"""

ENDLESS_SH = """#!/bin/sh
printf 'Content-Type: text/plain\\r\\n\\r\\n'
while :; do echo "endless output line"; done
"""

HELLO_C = r"""#include <stdio.h>
int main(void) {
    fputs("Content-Type: text/plain\r\n\r\nhello from C\n", stdout);
    return 0;
}
"""

PHP_AS_PYTHON = """import os, sys
sys.stdout.write("Content-Type: text/plain\\r\\n\\r\\ninterpreted " + os.environ["QUERY_STRING"])
"""


@pytest.fixture(scope="module")
def site():
    # Children run as "nobody" when the server is root: the tree must be
    # readable by everybody, which a pytest folder is not.
    root = tempfile.mkdtemp(prefix="tq_cgi_", dir="/tmp")
    os.chmod(root, 0o755)
    s = Site(root, directives=DIRECTIVES, mime_types=MIME_TYPES,
             param={"cgi_timeout": "15", "php_interpreter": "/usr/bin/python3",
                    "cgi_priority": "below_normal"})
    # Keep the sanitizer's store of freed memory small, so the size of the
    # process tells what the server holds.
    s.env["ASAN_OPTIONS"] = "detect_leaks=0:quarantine_size_mb=4:malloc_context_size=2"
    s.put("env.py", ENV_PY)
    s.put("status.cgi", STATUS_SH)
    s.put("location.cgi", LOCATION_SH)
    s.put("nph.cgi", NPH_SH)
    s.put("exit3.cgi", EXIT3_SH)
    s.put("body_exit1.cgi", BODY_EXIT1_SH)
    s.put("missing.cgi", MISSING_SH)
    s.put("nobang.cgi", NO_BANG)
    s.put("noheader.cgi", NO_HEADER_SH)
    s.put("hugeheader.py", HUGE_HEADER_PY)
    s.put("loop.cgi", LOOP_SH)
    s.put("big.py", BIG_PY)
    s.put("endless.cgi", ENDLESS_SH)
    s.put("gz/pieces.py", PIECES_PY)
    s.write_data("pub/gz/.htaccess", "SetOutputFilter deflate\n")
    s.put("my dir/it's a script.py", ENV_PY)
    s.put("interp.php", PHP_AS_PYTHON)
    s.put("page.jss", "// secret-script-source\nwrite('x');\n")
    src = s.put("hello.c", HELLO_C)
    exe = os.path.join(s.pub, "hello.cgi")
    subprocess.run(["cc", "-O2", "-o", exe, src], check=True)
    for dirpath, dirs, files in os.walk(root):
        for d in dirs:
            os.chmod(os.path.join(dirpath, d), 0o755)
    # The server inherits a descriptor above 2, as from a service manager or
    # a shell; its children must not.
    inherited = os.open(os.devnull, os.O_RDONLY)
    try:
        s.start(pass_fds=(inherited,))
        s.inherited_fd = inherited
    finally:
        os.close(inherited)
    yield s
    s.stop()
    shutil.rmtree(root, ignore_errors=True)


def env_of(site, path="/env.py", method="GET", headers=None, body=None):
    status, hdrs, data = request(site, method, path, headers=headers, body=body)
    assert status == 200, data
    assert hdrs["content-type"] == "application/json"
    return json.loads(data)


def test_get_environment(site):
    info = env_of(site, "/env.py?a=1&b=two", headers={"X-Custom-Thing": "v1", "Proxy": "evil:1"})
    env = info["env"]
    assert env["QUERY_STRING"] == "a=1&b=two"
    assert env["REQUEST_METHOD"] == "GET"
    assert env["GATEWAY_INTERFACE"] == "CGI/1.1"
    assert env["SCRIPT_NAME"] == "/env.py"
    assert env["REQUEST_URI"] == "/env.py?a=1&b=two"
    assert env["SCRIPT_FILENAME"] == os.path.join(site.pub, "env.py")
    assert env["PATH_TRANSLATED"] == os.path.join(site.pub, "env.py")
    assert env["HTTP_X_CUSTOM_THING"] == "v1"
    assert env["REMOTE_ADDR"] == "127.0.0.1"
    assert env["DOCUMENT_ROOT"].rstrip("/") == site.pub
    # A client's "Proxy" header would become the program's outgoing proxy.
    assert "HTTP_PROXY" not in env
    assert info["cwd"] == site.pub
    # The interpreter reads the script from the descriptor the server
    # checked, never by its name again.
    assert info["argv"] == ["/dev/fd/3"]
    assert info["fd3"] == os.path.join(site.pub, "env.py")
    assert info["stdin"] == ""


def test_post_body_reaches_standard_input(site):
    body = b"field=value&other=" + b"x" * 100000
    info = env_of(site, "/env.py", method="POST", body=body,
                  headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert info["stdin"].encode("latin-1") == body
    assert info["env"]["REQUEST_METHOD"] == "POST"
    assert info["env"]["CONTENT_LENGTH"] == str(len(body))


def test_priority_setting(site):
    # "below_normal" is nice 5; a process may not lower its nice value
    # without root, so one started nicer than that keeps its own.
    expected = 5 if os.geteuid() == 0 else max(5, os.nice(0))
    assert env_of(site)["nice"] == expected


def test_only_standard_descriptors_reach_the_child(site):
    # The server holds the inherited one; the child sees none of it.
    assert str(site.inherited_fd) in os.listdir("/proc/%d/fd" % site.proc.pid)
    # Besides the script it runs, which it reads as descriptor 3.
    assert env_of(site)["fds"] == [0, 1, 2, 3]


def test_child_runs_without_the_servers_privileges(site):
    info = env_of(site)
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody")
        assert info["uid"] == nobody.pw_uid
        assert info["gid"] == nobody.pw_gid
        assert 0 not in info["groups"]
    else:
        assert info["uid"] == os.geteuid()


def test_status_and_own_headers(site):
    status, hdrs, data = request(site, "GET", "/status.cgi")
    assert status == 404
    assert hdrs["x-from-script"] == "yes"
    assert "status" not in hdrs
    assert data == b"no such thing"


def test_location_without_status_redirects(site):
    status, hdrs, _ = request(site, "GET", "/location.cgi")
    assert status == 302
    assert hdrs["location"] == "http://example.invalid/elsewhere"


def test_non_parsed_header_status_line(site):
    status, hdrs, data = request(site, "GET", "/nph.cgi")
    assert status == 403
    assert data == b"not for you"


def test_failures_answer_with_an_error_status(site):
    status, _, data = request(site, "GET", "/exit3.cgi")
    assert status == 500
    assert b"returned error code 3" in data
    status, _, data = request(site, "GET", "/missing.cgi")
    assert status == 500
    assert b"CreateProcess" in data and b"no-such-interpreter-here" in data
    status, _, data = request(site, "GET", "/nobang.cgi")
    assert status == 500
    assert b"No '!' found" in data
    status, _, data = request(site, "GET", "/noheader.cgi")
    assert status == 502
    assert b"just words" not in data


def test_output_before_a_failing_exit_is_delivered(site):
    status, _, data = request(site, "GET", "/body_exit1.cgi")
    assert status == 200
    assert data == b"written before failing"


def test_header_block_is_bounded(site):
    status, _, data = request(site, "GET", "/hugeheader.py")
    assert status == 502
    assert b"header block over 65536 bytes" in data


def test_name_with_quote_and_blanks(site):
    info = env_of(site, "/my%20dir/it's%20a%20script.py")
    assert info["fd3"] == os.path.join(site.pub, "my dir", "it's a script.py")
    assert info["env"]["SCRIPT_FILENAME"] == info["fd3"]
    assert info["env"]["SCRIPT_NAME"] == "/my dir/it's a script.py"


def test_compiled_program_and_interpreter_setting(site):
    status, _, data = request(site, "GET", "/hello.cgi")
    assert (status, data) == (200, b"hello from C\n")
    status, _, data = request(site, "GET", "/interp.php?q=7")
    assert (status, data) == (200, b"interpreted q=7")


def test_script_page_runs_and_is_never_shown(site):
    # The page calls a function that does not exist: its error comes back,
    # its source does not.
    status, _, data = request(site, "GET", "/page.jss")
    assert status == 200
    assert b"Script error in" in data
    assert b"secret-script-source" not in data


def children_with(marker):
    """The processes whose command line or environment names the marker: a
    script's interpreter is given the script as a descriptor, its name is in
    the CGI variables."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        for part in ("cmdline", "environ"):
            try:
                with open("/proc/%s/%s" % (pid, part), "rb") as f:
                    seen = f.read()
            except OSError:
                continue
            if marker.encode() in seen:
                found.append(int(pid))
                break
    return found


def test_looping_child_is_ended(site):
    status, _, data = request(site, "GET", "/loop.cgi")
    assert status == 504
    assert b"timed out" in data
    # The server went on serving, and the child is gone (reaped, no zombie).
    assert request(site, "GET", "/status.cgi")[0] == 404
    end = time.monotonic() + 10
    while children_with("loop.cgi") and time.monotonic() < end:
        time.sleep(0.1)
    assert children_with("loop.cgi") == []


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def test_large_output_streams(site):
    # Warm up the paths once, then stream 50 MiB and watch the server's size.
    request(site, "GET", "/hello.cgi")
    before = rss_kib(site.proc.pid)
    c = http.client.HTTPConnection(HOST, site.port, timeout=60)
    c.request("GET", "/big.py")
    r = c.getresponse()
    assert r.status == 200
    total = 0
    peak = before
    expected = bytes(range(256)) * 256
    while True:
        piece = r.read(1 << 20)
        if not piece:
            break
        assert piece == (expected * 17)[total % 65536:total % 65536 + len(piece)]
        total += len(piece)
        peak = max(peak, rss_kib(site.proc.pid))
    c.close()
    assert total == 800 * 65536
    assert peak - before < 24 * 1024, (before, peak)


def test_gzip_of_small_pieces(site):
    status, hdrs, data = request(site, "GET", "/gz/pieces.py", headers={"Accept-Encoding": "gzip"})
    assert status == 200
    assert hdrs["content-encoding"] == "gzip"
    expected = "".join("piece %04d of the output\n" % i for i in range(300)).encode()
    assert gzip.decompress(data) == expected


def test_server_stop_ends_children(tmp_path):
    import socket
    root = tempfile.mkdtemp(prefix="tq_cgi_stop_", dir="/tmp")
    os.chmod(root, 0o755)
    s, conn = None, None
    try:
        s = Site(root, directives=DIRECTIVES, mime_types=MIME_TYPES, param={"cgi_timeout": "600"})
        s.put("hang.cgi", "#!/bin/sh\n# marker-hang-at-stop\nwhile :; do sleep 1; done\n")
        for dirpath, dirs, _ in os.walk(root):
            for d in dirs:
                os.chmod(os.path.join(dirpath, d), 0o755)
        s.start()
        conn = socket.create_connection((HOST, s.port), timeout=10)
        conn.sendall(b"GET /hang.cgi HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (HOST.encode(), s.port))
        end = time.monotonic() + 10
        while not children_with("hang.cgi") and time.monotonic() < end:
            time.sleep(0.05)
        assert children_with("hang.cgi")
        assert s.stop() == 0
        end = time.monotonic() + 10
        while children_with("hang.cgi") and time.monotonic() < end:
            time.sleep(0.1)
        assert children_with("hang.cgi") == []
    finally:
        # Whatever failed, neither the server (with its watchdog) nor the
        # program it started outlives the test.
        if conn is not None:
            conn.close()
        if s is not None:
            s.stop()
        for pid in children_with(root):
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        shutil.rmtree(root, ignore_errors=True)


def test_endless_output_ends_when_the_client_leaves(site):
    import socket
    conn = socket.create_connection((HOST, site.port), timeout=10)
    conn.sendall(b"GET /endless.cgi HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (HOST.encode(), site.port))
    got = b""
    while len(got) < 100000:
        got += conn.recv(65536)
    assert b"endless output line" in got
    conn.close()
    end = time.monotonic() + 15
    while children_with("endless.cgi") and time.monotonic() < end:
        time.sleep(0.1)
    assert children_with("endless.cgi") == []
    assert request(site, "GET", "/status.cgi")[0] == 404
