"""End-to-end tests of the program shell: the start-up and shut-down order
read line by line from the trace file, as a desktop program (headless) and
as a service under a stand-in service manager (a datagram socket in
NOTIFY_SOCKET); the daemon window reached through its socket; a language
change from the tray menu; the service installation switches. Every wait
is bounded."""

import fcntl
import os
import re
import signal
import socket
import subprocess
import tempfile

import pytest

from test_startup import BINARY, READY, Home, start_ready, stop, wait_for


def lines_of(trace):
    # Drop the time prefix ("hhmmss~mmm ").
    return [re.sub(r"^\d{6}~\d{3} ", "", l) for l in trace.splitlines()]


def assert_in_order(lines, expected):
    """Each expected entry (a prefix) appears, in this order."""
    pos = -1
    for e in expected:
        found = next((i for i in range(pos + 1, len(lines)) if lines[i].startswith(e)), None)
        assert found is not None, "%r missing after line %d in:\n%s" % (e, pos, "\n".join(lines))
        pos = found


def post(home, message, wparam=0, lparam=0, cls="TESKqvel_CLASS"):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(home.path("window.sock"))
        s.sendall(b"post %d %d %d %s\n" % (message, wparam, lparam, cls.encode()))
        return s.recv(16)


WM_CLOSE, WM_COMMAND, WM_RBUTTONDOWN = 16, 273, 516


@pytest.fixture
def home():
    with tempfile.TemporaryDirectory() as d:
        yield Home(d)


def test_desktop_start_and_shut_down_order(home):
    proc = start_ready(home)
    assert stop(proc) == 0
    lines = lines_of(home.trace())
    assert_in_order(lines, [
        "install dir: ",
        "program data dir: ",
        "language 1033 (English (United States))",
        "Adding url http://+:",
        "tray: icon 0 added, image IDI_ICONSM, tip 'Tesk Qvelora v3.07'",
        "daemon window created",
        READY,
        "stop signal 15",
        "tray: icon 0 balloon 'Tesk Qvelora v3.07' 'Tesk qvel is closing down.' 60000 ms",
        "R 0/0",  # the server's statistics line ends its stop
        "tray: icon 0 removed",
        "daemon window destroyed",
    ])
    # The shut-down ran once.
    assert sum(l.startswith("daemon window destroyed") for l in lines) == 1


def test_d_ends_the_running_copy_through_its_window(home):
    proc = start_ready(home)
    assert os.stat(home.path("window.sock")).st_mode & 0o077 == 0
    r = home.run("-d", timeout=30)
    assert r.returncode == 0
    assert wait_for(lambda: proc.poll() is not None, 10)
    assert proc.returncode == 0
    assert not os.path.exists(home.path("window.sock"))
    # An unknown window class is answered "not posted".
    proc = start_ready(home)
    try:
        assert post(home, WM_CLOSE, cls="NO_SUCH_CLASS") == b"0\n"
        assert proc.poll() is None
    finally:
        assert stop(proc) == 0


def menu_items(trace, after):
    """The (id, text) of the menu lines traced after position `after`."""
    items = []
    for l in lines_of(trace[after:]):
        m = re.match(r"menu: \s*\*?(\d+) (.*)$", l)
        if m:
            items.append((int(m.group(1)), m.group(2)))
    return items


def test_a_language_change_restarts_the_program_once(home):
    proc = start_ready(home)
    try:
        mark = len(home.trace())
        assert post(home, WM_RBUTTONDOWN) == b"1\n"
        assert wait_for(lambda: "Deutsch" in home.trace()[mark:], 10), home.trace()[mark:]
        items = dict((text, i) for i, text in menu_items(home.trace(), mark))
        assert "End Tesk qvel" in items and "English (United States)" in items, items
        assert post(home, WM_COMMAND, items["Deutsch"]) == b"1\n"
        # The old copy ends and a new one comes up in German.
        assert wait_for(lambda: proc.poll() is not None, 20)
        assert proc.returncode == 0
        assert wait_for(lambda: home.trace().count(READY) == 2, 30), home.trace()
    finally:
        if proc.poll() is None:
            stop(proc)
    try:
        trace = home.trace()
        assert trace.count("restarting...") == 1
        assert "language 1031 (Deutsch)" in trace
        # The new copy runs under the program's own name, as the first did.
        with open(home.path(LOCK_FILE)) as f:
            pid = int(f.read().split()[0])
        with open("/proc/%d/comm" % pid) as f:
            assert f.read().strip() == "teskqvel"
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            assert f.read().split(b"\0")[0] == BINARY.encode()
        with open(home.path("global.ini"), encoding="utf-8") as f:
            assert "fulllangid=1031" in f.read()
        # The new copy's menu speaks German; ending it does not restart.
        mark = len(home.trace())
        assert post(home, WM_RBUTTONDOWN) == b"1\n"
        assert wait_for(lambda: "Tesk qvel beenden" in home.trace()[mark:], 10)
        items = dict((text, i) for i, text in menu_items(home.trace(), mark))
        assert post(home, WM_COMMAND, items["Tesk qvel beenden"]) == b"1\n"
        assert wait_for(lambda: home.trace().count("daemon window destroyed") == 2, 20)
        assert wait_for(lambda: not os.path.exists(home.path("window.sock")), 10)
    finally:
        home.run("-d", timeout=30)
    assert home.trace().count("restarting...") == 1
    assert home.trace().count(READY) == 2


class FakeManager:
    """A datagram socket standing in for the service manager's notify socket."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "notify.sock")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(20)
        self.messages = []

    def receive_until(self, text):
        while not any(text in m for m in self.messages):
            self.messages.append(self.sock.recv(4096).decode())
        return self.messages

    def drain(self):
        self.sock.settimeout(0.5)
        try:
            while True:
                self.messages.append(self.sock.recv(4096).decode())
        except socket.timeout:
            pass
        return self.messages

    def close(self):
        self.sock.close()


def run_service_until_stopped(home, manager, stop_it):
    """Runs the program as a service of the stand-in manager until it is
    ready, stops it with stop_it(proc) and waits for the end, exit code 0."""
    env = dict(home.env, NOTIFY_SOCKET=manager.path)
    proc = subprocess.Popen([BINARY, "-service"], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    try:
        manager.receive_until("READY=1")
        assert wait_for(lambda: READY in home.trace(), 20), home.trace()
        stop_it(proc)
        manager.receive_until("STATUS=stopped")
        assert proc.wait(timeout=30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_service_mode_order_and_notifications(home):
    manager = FakeManager(home.root)
    try:
        run_service_until_stopped(home, manager, lambda proc: proc.send_signal(signal.SIGTERM))
        joined = "".join(manager.drain())
        # "Stopped" is told once, last, after the shut-down has run.
        assert joined.count("STATUS=stopped") == 1, manager.messages
        assert manager.messages[-1].endswith("STATUS=stopped\n"), manager.messages
        # Stopping is announced before the end.
        assert joined.index("READY=1") < joined.index("STOPPING=1") < joined.index("STATUS=stopped")
        assert joined.count("STOPPING=1") == 1
        lines = lines_of(home.trace())
        assert_in_order(lines, [
            "install dir: ",
            "language 1033",
            "Adding url http://+:",
            "srv: service_start",
            "daemon window created",
            READY,
            "service: start loop",
            "waiting for service proc...",
            "tray: icon 0 balloon 'Tesk Qvelora v3.07' 'Tesk qvel is closing down.'",
            "R 0/0",
            "tray: icon 0 removed",
            "daemon window destroyed",
            "service: end loop",
            "...done",
        ])
        assert sum(l.startswith("daemon window destroyed") for l in lines) == 1
    finally:
        manager.close()


def test_service_switches_without_a_service_manager(home):
    # No manager runs in the test environment: installing fails with 1.
    r = home.run("-start_service")
    assert r.returncode == 1
    assert "Installing service+ (teskqvel)" in home.trace()
    assert "OpenSCManager failed: " in home.trace()
    r = home.run("-stop_service")
    assert r.returncode == 1
    assert "Deinstalling service+ (teskqvel)" in home.trace()
    # "-service" outside a manager: the dispatcher error, the shut-down, 1.
    r = home.run("-service")
    assert r.returncode == 1
    assert "StartServiceCtrlDispatcher error 1063" in home.trace()


def test_a_copy_that_died_leaves_nothing_that_blocks_the_next(home):
    proc = start_ready(home)
    proc.kill()  # no shut-down: the lock and the socket file stay behind
    proc.wait(timeout=10)
    assert os.path.exists(home.path("window.sock"))
    # Nobody answers at the old socket: "-d" is done at once.
    assert home.run("-d", timeout=30).returncode == 0
    proc = start_ready(home)
    try:
        assert "already loaded" not in home.trace()
        assert post(home, WM_CLOSE) == b"1\n"
        assert proc.wait(timeout=20) == 0
    finally:
        if proc.poll() is None:
            stop(proc)


def test_missing_or_empty_string_files_end_the_start_with_1(home):
    # The install directory is the executable's folder: a copy of the program
    # in a folder of its own has no string files beside it.
    bindir = os.path.join(home.root, "bin")
    os.makedirs(bindir)
    exe = os.path.join(bindir, "teskqvel")
    try:
        os.link(BINARY, exe)  # the link's own path is the one the program sees
    except OSError:
        with open(BINARY, "rb") as src, open(exe, "wb") as dst:
            dst.write(src.read())
        os.chmod(exe, 0o755)
    r = subprocess.run([exe], env=home.env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert "Fatal error in multilingual support!" in r.stderr
    assert READY not in home.trace()
    # A main file that names no language is as bad as none.
    with open(os.path.join(bindir, "qvelsml.txt"), "w") as f:
        f.write("// nothing here\n")
    r = subprocess.run([exe], env=home.env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 1
    assert "Fatal error in multilingual support!" in r.stderr
    # With a language the copy starts, and "-d" ends it.
    with open(os.path.join(bindir, "qvelsml.txt"), "w") as f:
        f.write('#language 1033\nclosing_server = "bye";\n')
    proc = subprocess.Popen([exe], env=home.env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: READY in home.trace() or proc.poll() is not None, 30)
        assert proc.poll() is None
        assert home.run("-d", timeout=30).returncode == 0
        assert proc.wait(timeout=20) == 0
        assert "balloon 'Tesk Qvelora v3.07' 'bye'" in home.trace()
    finally:
        if proc.poll() is None:
            stop(proc)


WM_ENDSESSION = 22
LOCK_FILE = "teskqvel w32daemon loaded.lock"


def test_the_end_of_the_session_shuts_down_once_and_ends_cleanly(home):
    proc = start_ready(home)
    try:
        # The shut-down runs inside the window's own message; the window
        # object must outlive it (the sanitizers end the process otherwise).
        assert post(home, WM_ENDSESSION, 1, 1) == b"1\n"
        assert proc.wait(timeout=30) == 0, proc.stderr.read()
    finally:
        if proc.poll() is None:
            stop(proc)
    lines = lines_of(home.trace())
    assert_in_order(lines, ["end session", "R 0/0", "daemon window destroyed"])
    assert sum(l.startswith("daemon window destroyed") for l in lines) == 1
    assert not os.path.exists(home.path("window.sock"))


def test_d_reaches_a_copy_in_a_deep_data_directory_and_fails_on_one_it_cannot_reach():
    with tempfile.TemporaryDirectory() as d:
        deep = os.path.join(d, "x" * 60, "y" * 60)
        os.makedirs(deep)
        home = Home(deep)
        assert len(home.path("window.sock")) >= 108
        proc = start_ready(home)
        try:
            assert "cannot be reached by other copies" not in home.trace()
            assert post_deep(home, WM_CLOSE, cls="NO_SUCH_CLASS") == b"0\n"
            r = home.run("-d", timeout=30)
            assert r.returncode == 0
            assert proc.wait(timeout=30) == 0
        finally:
            if proc.poll() is None:
                stop(proc)
        # A copy that holds the data directory's lock but listens nowhere is
        # not "gone": "-d" says it failed.
        with open(home.path(LOCK_FILE), "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            r = home.run("-d", timeout=30)
            assert r.returncode == 1
            assert "the running copy cannot be reached" in home.trace()
        # Nobody holds it any more: nothing to end.
        assert home.run("-d", timeout=30).returncode == 0


def post_deep(home, message, wparam=0, lparam=0, cls="TESKqvel_CLASS"):
    """post() through the directory's descriptor, for a path too long for
    a socket address."""
    fd = os.open(home.data, os.O_RDONLY | os.O_DIRECTORY)
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect("/proc/self/fd/%d/window.sock" % fd)
            s.sendall(b"post %d %d %d %s\n" % (message, wparam, lparam, cls.encode()))
            return s.recv(16)
    finally:
        os.close(fd)


def test_ending_the_window_in_service_mode_ends_the_service(home):
    manager = FakeManager(home.root)
    try:
        def end_with_d(_proc):
            assert home.run("-d", timeout=30).returncode == 0

        run_service_until_stopped(home, manager, end_with_d)
        joined = "".join(manager.drain())
        assert joined.index("READY=1") < joined.index("STOPPING=1") < joined.index("STATUS=stopped")
        assert joined.count("STOPPING=1") == 1
        lines = lines_of(home.trace())
        assert_in_order(lines, ["service: start loop", "daemon window destroyed",
                                "service: end loop", "...done"])
    finally:
        manager.close()


def test_the_start_event_is_set_when_the_server_is_ready(home):
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as event:
        event.bind(home.path("TeskQVel Start Event"))
        event.settimeout(30)
        proc = start_ready(home)
        try:
            assert event.recv(16) == b"1"
        finally:
            assert stop(proc) == 0


def test_a_crash_is_reported_on_standard_error_and_in_the_trace_without_a_terminal(home):
    proc = subprocess.Popen([BINARY], env=home.env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                            start_new_session=True)  # no controlling terminal
    try:
        assert wait_for(lambda: READY in home.trace() or proc.poll() is not None, 30)
        assert proc.poll() is None
        proc.send_signal(signal.SIGSEGV)
        # The watchdog holds standard error until it has told its message.
        _, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode != 0
    assert "Tesk Exception Handler: " in err, err
    assert wait_for(lambda: "Tesk Exception Handler: " in home.trace(), 30), home.trace()
    assert os.path.exists(home.path("crash_report.txt"))
