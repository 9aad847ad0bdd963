"""End-to-end tests of the configuration commands sent with teskqvel_cmd over
the command socket, the start and stop scripts, the daily log rotation with
an injected date, the dynamic-address datagram and the class registration in
the registry store."""

import http.client
import os
import pwd
import shutil
import socket
import stat
import subprocess
import tempfile
import threading

import pytest

from tq_site import BUILD, HOST, Site, request

CLIENT = os.path.join(BUILD, "shell", "teskqvel_cmd")
CLSID = "{9D2946F5-C0A6-4E85-914A-521043E7BD80}"

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler cgi-script .cgi
"""

# Appends its name and parameter to a file that everybody may write: CGI
# children run as "nobody" when the server runs as root.
RECORD_CGI = """#!/bin/sh
printf '%s %s\\n' "$(basename "$SCRIPT_FILENAME")" "$_TSKQVL_SCRIPT_PARAM" >> {out}
printf 'Content-Type: text/plain\\r\\n\\r\\nok'
"""


def open_root(prefix):
    root = tempfile.mkdtemp(prefix=prefix, dir="/tmp")
    os.chmod(root, 0o755)
    return root


def open_tree(root):
    for dirpath, dirs, files in os.walk(root):
        for d in dirs:
            os.chmod(os.path.join(dirpath, d), 0o755)


def send(site, *words, as_user=None, data_dir=None):
    if not os.path.exists(CLIENT):
        pytest.fail("the command client is not built: %s" % CLIENT)
    argv = [CLIENT, "-data_dir", data_dir or site.data, *words]
    if as_user:
        u = pwd.getpwnam(as_user)
        argv = ["setpriv", "--reuid=%d" % u.pw_uid, "--regid=%d" % u.pw_gid, "--clear-groups",
                *argv]
    r = subprocess.run(argv, capture_output=True, text=True, timeout=60, env=site.env)
    return r.returncode, r.stdout.rstrip("\n"), r.stderr


def answer(site, *words, **kw):
    rc, out, err = send(site, *words, **kw)
    assert rc == 0, err
    return out


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def wait_for(predicate, seconds=30):
    import time
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


@pytest.fixture
def site(tmp_path):
    s = Site(str(tmp_path), directives=DIRECTIVES, param={"command_users": "root"})
    s.put("index.html", "home")
    s.put("secret.txt", "top secret")
    os.makedirs(os.path.join(s.pub, "sub"))
    s.write_data("pub/sub/.htaccess", "DefaultType text/plain\r\nExpiresActive Off\r\n")
    s.start()
    yield s
    s.stop()


def test_every_command_word(site):
    sock = os.path.join(site.data, "config_cmd.sock")
    assert stat.S_ISSOCK(os.stat(sock).st_mode)
    assert stat.S_IMODE(os.stat(sock).st_mode) == 0o600
    pub = site.pub + "/"
    assert answer(site, "pub_dir") == pub
    assert answer(site, "@pub_dir") == pub
    assert answer(site, "private_dir") == os.path.join(site.data, "private") + "/"
    assert answer(site, "current_user") == "root"
    assert "\nAddHandler\n" in answer(site, "get_directives")

    secret = os.path.join(site.pub, "secret.txt")
    assert answer(site, "file_status", '"%s"' % secret) == ""
    assert request(site, "GET", "/secret.txt")[0] == 200
    assert answer(site, "block", '"%s"' % secret) == ""
    assert answer(site, "file_status", '"%s"' % secret) == "blocked"
    assert request(site, "GET", "/secret.txt")[0] == 403
    with open(os.path.join(site.data, "blocklist.txt"), "rb") as f:
        assert secret in f.read().decode("utf-16")
    assert answer(site, "unblock", secret) == ""
    assert request(site, "GET", "/secret.txt")[0] == 200

    sub = os.path.join(site.pub, "sub")
    assert "\nDefaultType text/plain" in answer(site, "get_settings", sub)
    assert answer(site, "insert_setting", sub, "ExpiresActive On") == "OK"
    assert answer(site, "delete_setting", sub, "expiresactive off") == "OK"
    assert answer(site, "delete_setting", sub, "NoSuch") == "OK FALSE"
    assert read(os.path.join(sub, ".htaccess")) == "DefaultType text/plain\nExpiresActive On\n"
    assert answer(site, "delete_setting", sub) == "No setting given"
    assert sorted(os.listdir(sub)) == [".htaccess"]

    outside = os.path.join(os.path.dirname(site.data), "elsewhere")
    os.makedirs(outside)
    with open(os.path.join(outside, ".htaccess"), "w") as f:
        f.write("Require all granted\n")
    os.symlink(outside, os.path.join(site.pub, "link"))
    for p in (os.path.join(site.pub, "link"), os.path.join(site.pub, "..", "..", "elsewhere")):
        assert answer(site, "insert_setting", p, "Require all denied") == \
            "No Tesk qvel directory"
    assert read(os.path.join(outside, ".htaccess")) == "Require all granted\n"
    assert answer(site, "get_settings", site.data) == "No public sub-directory"

    assert answer(site, "add_dynip_redirect", "box", "127.0.0.1", "9", "0", "0") == "OK"
    assert answer(site, "Block", "x") == "unknown command"
    assert answer(site, "nonsense") == "unknown command"
    trace = site.trace()
    assert "cmd: pub_dir\n" in trace and "cmd: @pub_dir" not in trace


def test_lines_from_standard_input(site):
    r = subprocess.run([CLIENT, "-data_dir", site.data], input="pub_dir\n", capture_output=True,
                       text=True, timeout=60, env=site.env)
    assert r.returncode == 0 and r.stdout == site.pub + "/\n"


def test_callers_are_named_by_their_credentials():
    # The server runs as "nobody" and lists only "nobody" as a command user:
    # a root client is refused although the server itself would be allowed,
    # and a client of the server's own account gets through.
    nobody = pwd.getpwnam("nobody")
    root = open_root("tq_cmd_uid_")
    try:
        wrapper = os.path.join(root, "as_nobody.sh")
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nexec setpriv --reuid=%d --regid=%d --clear-groups %s \"$@\"\n"
                    % (nobody.pw_uid, nobody.pw_gid, os.path.join(BUILD, "shell", "teskqvel")))
        os.chmod(wrapper, 0o755)
        s = Site(os.path.join(root, "d"), param={"command_users": "nobody"}, binary=wrapper)
        open_tree(root)
        for dirpath, dirs, files in os.walk(os.path.join(root, "d")):
            for n in dirs + files:
                os.chown(os.path.join(dirpath, n), nobody.pw_uid, nobody.pw_gid)
        os.chown(os.path.join(root, "d"), nobody.pw_uid, nobody.pw_gid)
        s.start()
        try:
            target = os.path.join(s.pub, "t.txt")
            assert answer(s, "current_user") == "root"
            assert answer(s, "pub_dir") == s.pub + "/"
            assert answer(s, "block", target) == "Not allowed"
            assert answer(s, "file_status", target) == ""
            assert answer(s, "current_user", as_user="nobody") == "nobody"
            assert answer(s, "block", target, as_user="nobody") == ""
            assert answer(s, "file_status", target) == "blocked"
            # Another account cannot even open the socket.
            rc, out, err = send(s, "pub_dir", as_user="daemon")
            assert rc == 2 and out == "" and "cannot reach" in err
        finally:
            s.stop()
    finally:
        shutil.rmtree(root, ignore_errors=True)


def test_refused_when_not_listed(site):
    site.write_data("global.ini", read(os.path.join(site.data, "global.ini")).replace(
        "command_users=root", "command_users=daemon, Root"))
    restart(site)
    secret = os.path.join(site.pub, "secret.txt")
    assert answer(site, "block", secret) == "Not allowed"
    assert answer(site, "insert_setting", os.path.join(site.pub, "sub"), "X y") == "Not allowed"
    assert answer(site, "add_dynip_redirect", "a", "127.0.0.1", "1") == "Not allowed"
    assert answer(site, "file_status", secret) == ""
    assert answer(site, "pub_dir") == site.pub + "/"
    # A client for another account's data directory reaches nothing.
    rc, _, err = send(site, "pub_dir", as_user="daemon")
    assert rc == 2 and "cannot reach" in err


def test_start_and_stop_scripts_run_in_order():
    root = open_root("tq_cmd_events_")
    s = None
    try:
        out = os.path.join(root, "events.txt")
        open(out, "w").close()
        os.chmod(out, 0o666)
        s = Site(os.path.join(root, "d"), directives=DIRECTIVES)
        for name in ("first.cgi", "second.cgi", "wrong.cgi", "stop.cgi", "stop2.cgi"):
            s.put(name, RECORD_CGI.format(out=out))
        ini = read(os.path.join(s.data, "global.ini"))
        ini += ("[scripts]\r\non_start=/first.cgi a b\r\nOn_start=/wrong.cgi\r\n"
                "on_start_more=/second.cgi\r\non_start_empty=\r\non_stop=/stop.cgi x  y\r\n"
                "on_stop2=/missing.cgi\r\non_stop3=/stop2.cgi\r\n")
        s.write_data("global.ini", ini)
        open_tree(root)
        s.start()
        assert read(out) == "first.cgi a b\nsecond.cgi \n"
        s.stop()
        assert read(out) == "first.cgi a b\nsecond.cgi \nstop.cgi x y\nstop2.cgi \n"
        assert "run script: invalid or unallowed path: /missing.cgi" in s.trace()
    finally:
        # The server goes whatever failed (stop is a no-op once it is gone).
        if s is not None:
            s.stop()
        shutil.rmtree(root, ignore_errors=True)


def request_ids(path):
    ids = []
    for line in read(path).splitlines():
        if "/page.txt?n=" in line:
            ids.append(line.split("/page.txt?n=")[1].split(" ")[0])
    return ids


@pytest.mark.parametrize("taken", [False, True])
def test_rotation_with_an_injected_date_loses_no_line(taken):
    root = open_root("tq_cmd_rot_")
    s = None
    try:
        out = os.path.join(root, "events.txt")
        open(out, "w").close()
        os.chmod(out, 0o666)
        s = Site(os.path.join(root, "d"), directives=DIRECTIVES,
                 param={"daily_maintenance": "/maint.cgi"})
        s.put("page.txt", "x")
        s.put("maint.cgi", RECORD_CGI.format(out=out))
        logs = os.path.join(s.pub, "logs")
        rotated = os.path.join(logs, "access.log.20250131.txt")
        if taken:
            os.makedirs(logs)
            with open(rotated, "w") as f:
                f.write("kept\n")
        open_tree(root)
        s.env["TESKQVEL_TEST_MAINTENANCE"] = "1500 20250131"
        s.start()
        sent = []
        stop = threading.Event()

        def load():
            c = http.client.HTTPConnection(HOST, s.port, timeout=20)
            n = 0
            while not stop.is_set() and n < 20000:
                c.request("GET", "/page.txt?n=%d" % n)
                r = c.getresponse()
                r.read()
                assert r.status == 200
                sent.append(str(n))
                n += 1
            c.close()

        t = threading.Thread(target=load)
        t.start()
        try:
            assert wait_for(lambda: "maint.cgi" in read(out), 60)
        finally:
            stop.set()
            t.join(60)
        assert not t.is_alive()
        for n in range(50):
            assert request(s, "GET", "/page.txt?n=after%d" % n)[0] == 200
            sent.append("after%d" % n)
        s.stop()
        current = os.path.join(logs, "access.log")
        got = request_ids(rotated) + request_ids(current)
        assert sorted(got) == sorted(sent)
        if taken:
            assert read(rotated) == "kept\n"
            assert sorted(request_ids(current)) == sorted(sent)
            assert "unable to rename" in s.trace()
        else:
            assert request_ids(rotated) and request_ids(current)
            assert "after49" in request_ids(current)
        assert read(out) == "maint.cgi \n"
    finally:
        # The server goes whatever failed (stop is a no-op once it is gone).
        if s is not None:
            s.stop()
        shutil.rmtree(root, ignore_errors=True)


def test_dynamic_address_datagram(tmp_path):
    s = Site(str(tmp_path))
    s.write_data("global.ini", read(os.path.join(s.data, "global.ini")) +
                 "[dynip]\r\nprefix=dyn\r\nredirect_delay=20\r\n")
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind((HOST, 0))
    rx.settimeout(20)
    port = rx.getsockname()[1]
    s.start()
    try:
        assert answer(s, "add_dynip_redirect", "quiet", HOST, str(port), "0", "0") == "OK"
        assert answer(s, "add_dynip_redirect", "loud", HOST, str(port), "1", "0") == "OK"
        ports = {}
        for name in ("quiet", "loud"):
            c = http.client.HTTPConnection(HOST, s.port, timeout=20)
            c.connect()
            ports[name] = c.sock.getsockname()[1]
            c.request("GET", "/dyn/%s/some/page?q=1" % name)
            r = c.getresponse()
            r.read()
            assert r.status == 302
            assert r.getheader("Location") == "http://%s:%d/some/page?q=1" % (HOST, port)
            c.close()
        # The quiet name went first and sent nothing: the first datagram is
        # the loud one's.
        data, _ = rx.recvfrom(1024)
        assert data == ("call %s %d 2" % (HOST, ports["loud"])).encode()
    finally:
        s.stop()
        rx.close()


def registry_text(site):
    return read(os.path.join(site.data, "registry_machine.txt"))


def restart(site):
    # A fresh trace, so that the ready line seen is this run's.
    site.stop()
    os.remove(os.path.join(site.data, "trace.txt"))
    site.start()


def test_registration_leaves_the_registry_store_as_found(tmp_path):
    s = Site(str(tmp_path))
    # The first runs make the program's own keys (the master password).
    s.start()
    try:
        restart(s)
    finally:
        s.stop()
    before = registry_text(s)
    assert before.startswith("teskqvel registry 1")
    assert CLSID not in before
    os.remove(os.path.join(s.data, "trace.txt"))
    s.start()
    try:
        during = registry_text(s)
        assert "K\tSoftware\\Classes\\teskqvel.config\n" in during
        assert "K\tSoftware\\Classes\\CLSID\\%s\\LocalServer32\n" % CLSID in during
        assert "s:%s%%00" % os.path.realpath(os.path.join(BUILD, "shell", "teskqvel")) in during
    finally:
        s.stop()
    assert registry_text(s) == before
    assert not os.path.exists(os.path.join(s.data, "config_cmd.sock"))
    # Once the server has stopped, no client reaches the commands.
    rc, _, err = send(s, "pub_dir")
    assert rc == 2 and "cannot reach" in err
