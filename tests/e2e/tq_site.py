"""What the end-to-end tests share: a program-data directory with its document
tree, the real teskqvel binary started on free loopback ports with a temporary
XDG_DATA_HOME, and small clients (http.client, raw sockets, curl). Every wait is
bounded. A missing binary fails the tests that need it; it never skips them."""

import http.client
import os
import signal
import socket
import subprocess
import time

import pytest

BUILD = os.environ.get("TQ_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build/test"))
BINARY = os.path.join(BUILD, "shell", "teskqvel")
READY = "***teskqvel server ready***"
HOST = "127.0.0.1"

DEFAULT_DIRECTIVES = """Require all granted
DirectoryIndex index.html
"""

DEFAULT_MIME_TYPES = """text/html html htm
text/plain txt
application/octet-stream bin
"""


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class Site:
    """One program-data directory, its document tree and the running program."""

    def __init__(self, root, directives=DEFAULT_DIRECTIVES, param=None,
                 mime_types=DEFAULT_MIME_TYPES, binary=None):
        self.root = root
        self.binary = binary or BINARY
        self.data = os.path.join(root, "Tesk", "teskqvel")
        self.pub = os.path.join(self.data, "pub")
        os.makedirs(self.pub, exist_ok=True)
        self.port = free_port()
        self.https_port = free_port()
        lines = ["[param]", "server_port=%d" % self.port, "https_port=%d" % self.https_port,
                 "host_name=%s" % HOST, "connection_timeout=30"]
        for k, v in (param or {}).items():
            lines.append("%s=%s" % (k, v))
        self.write_data("global.ini", "\r\n".join(lines) + "\r\n")
        self.write_data(".htaccess", directives)
        self.write_data("mime.types", mime_types)
        self.proc = None
        self.env = dict(os.environ, XDG_DATA_HOME=root)

    def write_data(self, name, text):
        with open(os.path.join(self.data, name), "w") as f:
            f.write(text)

    def put(self, rel, data):
        path = os.path.join(self.pub, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return path

    def trace(self):
        try:
            with open(os.path.join(self.data, "trace.txt"), encoding="utf-8",
                      errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def start(self, *args, pass_fds=(), **popen):
        """popen: more arguments for the program's Popen (preexec_fn, ...)."""
        if not os.path.exists(self.binary):
            pytest.fail("the program binary is not built: %s" % self.binary)
        # free_port() only tells that a port was free a moment ago: another
        # process may bind it first. The program then serves without it (its
        # trace says so) and the tests would talk to that stranger, so it is
        # started again on other ports.
        for _ in range(5):
            if self.launch(args, pass_fds, popen):
                return
            self.stop()
            self.port, self.https_port = free_port(), free_port()
            path = os.path.join(self.data, "global.ini")
            with open(path) as f:
                lines = f.read().splitlines()
            for i, line in enumerate(lines):
                if line.startswith("server_port="):
                    lines[i] = "server_port=%d" % self.port
                elif line.startswith("https_port="):
                    lines[i] = "https_port=%d" % self.https_port
            self.write_data("global.ini", "\r\n".join(lines) + "\r\n")
        pytest.fail("the program found its ports taken five times")

    def launch(self, args, pass_fds, popen=None):
        """Starts the program; False when it could not bind one of its ports."""
        # The trace grows from run to run: only this run's part counts.
        mark = len(self.trace())
        # The output goes to files, not pipes: nobody reads a pipe during the
        # test, and a long run would fill it and stall the server.
        err_path = os.path.join(self.root, "stderr.txt")
        with open(os.path.join(self.root, "stdout.txt"), "ab") as out, open(err_path, "ab") as err:
            self.proc = subprocess.Popen([self.binary, *args], env=self.env, stdout=out,
                                         stderr=err, pass_fds=pass_fds, **(popen or {}))
        own = (":%d/" % self.port, ":%d/" % self.https_port)
        end = time.monotonic() + 30
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                with open(err_path, "rb") as f:
                    pytest.fail("the program ended at start: %s" % f.read()[-2000:])
            trace = self.trace()[mark:]
            if READY in trace:
                lines = trace.splitlines()
                if any("Adding url" in line and "HttpAddUrl error" in after and
                       any(p in line for p in own) for line, after in zip(lines, lines[1:])):
                    return False
                if self.port_open():
                    return True
            time.sleep(0.05)
        # A server that hangs at start must not outlive its test.
        self.proc.kill()
        self.proc.wait(timeout=10)
        self.proc = None
        pytest.fail("the server did not become ready")

    def port_open(self):
        try:
            with socket.create_connection((HOST, self.port), timeout=1):
                return True
        except OSError:
            return False

    def stop(self):
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)
            pytest.fail("the program did not end within 30 s of SIGTERM")
        rc = self.proc.returncode
        self.proc = None
        return rc


def request(site, method, path, headers=None, body=None):
    c = http.client.HTTPConnection(HOST, site.port, timeout=20)
    try:
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
    finally:
        c.close()


def raw(site, data, timeout=10):
    """Sends bytes as they are and reads until the server closes or goes quiet."""
    with socket.create_connection((HOST, site.port), timeout=timeout) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        got = b""
        try:
            while len(got) < 16 * 1024 * 1024:
                piece = s.recv(65536)
                if not piece:
                    break
                got += piece
        except socket.timeout:
            pass
        return got


def curl(*args):
    return subprocess.run(["curl", "-s", "--max-time", "20", *args], capture_output=True,
                          timeout=30)


def flip_links(links, stop):
    """Points each link of (link, inside target, outside target) in and out
    of the tree until told to stop (bounded)."""
    rounds = 0
    while not stop.is_set() and rounds < 1000000:
        for link, inside, outside in links:
            for target in (inside, outside):
                tmp = link + ".tmp"
                os.symlink(target, tmp)
                os.replace(tmp, link)
        rounds += 1
