"""End-to-end tests of the program's start-up and shut-down: the built
teskqvel binary runs with a temporary XDG_DATA_HOME (its program-data
directory and registry live there) and a free loopback port. Every wait is
bounded."""

import os
import signal
import socket
import subprocess
import tempfile
import time

import pytest

BUILD = os.environ.get("TQ_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build/test"))
BINARY = os.path.join(BUILD, "shell", "teskqvel")
READY = "***teskqvel server ready***"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Home:
    """One XDG_DATA_HOME with the program's data directory below it."""

    def __init__(self, root, param=None):
        self.root = root
        self.data = os.path.join(root, "Tesk", "teskqvel")
        os.makedirs(self.data, exist_ok=True)
        lines = ["[param]", "server_port=%d" % free_port(), "https_port=0"]
        for k, v in (param or {}).items():
            lines.append("%s=%s" % (k, v))
        with open(os.path.join(self.data, "global.ini"), "w") as f:
            f.write("\r\n".join(lines) + "\r\n")
        self.env = dict(os.environ, XDG_DATA_HOME=root)

    def path(self, name):
        return os.path.join(self.data, name)

    def trace(self):
        try:
            with open(self.path("trace.txt"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def start(self, *args):
        return subprocess.Popen([BINARY, *args], env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

    def run(self, *args, timeout=30):
        return subprocess.run([BINARY, *args], env=self.env, capture_output=True, text=True,
                              timeout=timeout)


def wait_for(cond, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def stop(proc, sig=signal.SIGTERM, timeout=20):
    if proc.poll() is None:
        proc.send_signal(sig)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)
        pytest.fail("the program did not end within %d s of the signal" % timeout)
    return proc.returncode


@pytest.fixture
def home():
    with tempfile.TemporaryDirectory() as d:
        yield Home(d)


def start_ready(home, *args):
    before = home.trace().count(READY)
    proc = home.start(*args)
    ready = lambda: home.trace().count(READY) > before
    assert wait_for(lambda: ready() or proc.poll() is not None), home.trace()
    assert proc.poll() is None, proc.stderr.read()
    return proc


def test_start_and_stop_lines_come_in_order_and_sigterm_ends_with_0(home):
    proc = start_ready(home)
    assert stop(proc) == 0
    out = proc.stdout.read()
    trace = home.trace()
    order = ["install dir: ", "program data dir: " + home.data + "/", READY, "stop signal 15"]
    pos = -1
    for text in order:
        at = trace.find(text, pos + 1)
        assert at > pos, "%r missing or out of order in:\n%s" % (text, trace)
        pos = at
    # The main trace also reaches standard output.
    assert READY in out
    # Each line carries the time of day and "~" with three digits of milliseconds.
    first = trace.splitlines()[0]
    assert first[6] == "~" and first[7:10].isdigit(), first


def test_first_start_writes_master_pwd_ini(home):
    assert not os.path.exists(home.path("master_pwd.ini"))
    proc = start_ready(home)
    assert stop(proc) == 0
    with open(home.path("master_pwd.ini"), encoding="utf-8") as f:
        text = f.read()
    assert "[param]" in text
    key = [l for l in text.splitlines() if l.startswith("master_pwd=")]
    assert key and len(key[0]) > len("master_pwd=")
    assert os.stat(home.path("master_pwd.ini")).st_mode & 0o077 == 0


def test_second_copy_exits_0_with_already_loaded(home):
    proc = start_ready(home)
    try:
        second = home.run(timeout=30)
        assert second.returncode == 0
        assert "already loaded" in home.trace()
        assert proc.poll() is None  # the first copy runs on
    finally:
        assert stop(proc) == 0


def test_another_data_directory_is_another_instance(home):
    proc = start_ready(home)
    try:
        with tempfile.TemporaryDirectory() as d:
            other = Home(d)
            proc2 = start_ready(other)
            assert stop(proc2) == 0
            assert "already loaded" not in other.trace()
    finally:
        assert stop(proc) == 0


def test_trace_0_writes_no_trace_file():
    with tempfile.TemporaryDirectory() as d:
        home = Home(d, {"trace": "0"})
        out_path = os.path.join(d, "stdout.txt")
        with open(out_path, "w") as out:
            proc = subprocess.Popen([BINARY], env=home.env, stdout=out,
                                    stderr=subprocess.DEVNULL)

        def printed():
            with open(out_path, encoding="utf-8", errors="replace") as f:
                return f.read()

        # Without the file, the start-up lines reach standard output only.
        assert wait_for(lambda: READY in printed() or proc.poll() is not None), printed()
        assert stop(proc) == 0
        assert printed().startswith("install dir: "), printed()
        assert not os.path.exists(home.path("trace.txt"))


def test_d_stops_the_running_copy_and_returns_0(home):
    proc = start_ready(home)
    closer = home.run("-d", timeout=30)
    assert closer.returncode == 0
    assert wait_for(lambda: proc.poll() is not None, 10)
    assert proc.returncode == 0
    # The window was closed: no signal stopped it.
    assert "daemon window destroyed" in home.trace()
    assert "stop signal" not in home.trace()
    # With no copy running, "-d" returns 0 as well.
    assert home.run("-d", timeout=30).returncode == 0


def test_sigint_stops_cleanly_and_the_guard_is_free_again(home):
    proc = start_ready(home)
    assert stop(proc, signal.SIGINT) == 0
    assert "stop signal 2" in home.trace()
    proc = start_ready(home)
    assert stop(proc) == 0


def test_dump_request_body_is_not_taken_for_d(home):
    proc = start_ready(home, "-dump_request_body")
    assert stop(proc) == 0


def test_service_mode_without_a_service_manager_ends_with_1(home):
    r = home.run("-service")
    assert r.returncode == 1
    assert "StartServiceCtrlDispatcher error 1063" in home.trace()
    # The shut-down ran: the guard is free for the next copy.
    proc = start_ready(home)
    assert stop(proc) == 0


def test_mbox_writes_started_to_stderr(home):
    proc = start_ready(home, "-mbox")
    assert stop(proc) == 0
    assert "started" in proc.stderr.read()


def test_a_closed_standard_output_does_not_end_the_program(home):
    before = home.trace().count(READY)
    proc = home.start()
    proc.stdout.close()  # every trace line to standard output now hits a closed pipe
    assert wait_for(lambda: home.trace().count(READY) > before or proc.poll() is not None)
    assert proc.poll() is None, proc.returncode
    assert stop(proc) == 0
    assert "stop signal 15" in home.trace()
