"""How a CGI child is set up, each case a request whose answer shows one
step of the start: signals reach it as they reach any program, it leads a
process group of its own that the time-out ends as a whole, its standard
error is part of the answer, and blank lines before its "#!" line are
skipped."""

import os
import shutil
import tempfile
import time

import pytest

from tq_site import Site, request

DIRECTIVES = """Require all granted
AddHandler cgi-script .cgi
"""

HEAD = "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"

# name, script, expected status, bytes the body must hold
CASES = [
    # The server blocks every signal while it starts a child: a child that
    # kept that mask could not end a program of its own with SIGTERM.
    ("signals.cgi", "#!/bin/sh\n" + HEAD +
     "sleep 20 & kid=$!\nkill -TERM $kid\nwait $kid\necho \"child status $?\"\n",
     200, b"child status 143"),
    ("stderr.cgi", "#!/bin/sh\n" + HEAD + "echo on-standard-output\necho on-standard-error >&2\n",
     200, b"on-standard-output\non-standard-error"),
    ("blanks.cgi", "  \t \n\n   #!/bin/sh  \n" + HEAD + "echo after-blank-lines\n",
     200, b"after-blank-lines"),
    # A program that starts one of its own and hangs: the time-out ends both.
    ("group.cgi", "#!/bin/sh\nsleep 300 >/dev/null 2>&1 &\nwhile :; do sleep 1; done\n",
     504, b"timed out"),
]


def processes_naming(text):
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


@pytest.fixture(scope="module")
def site():
    # Children run as "nobody" when the server is root: the tree must be
    # readable by everybody.
    root = tempfile.mkdtemp(prefix="tq_cgi_setup_", dir="/tmp")
    os.chmod(root, 0o755)
    s = None
    try:
        s = Site(root, directives=DIRECTIVES, param={"cgi_timeout": "2"})
        for name, script, _, _ in CASES:
            os.chmod(s.put(name, script), 0o755)
        for dirpath, dirs, _ in os.walk(root):
            for d in dirs:
                os.chmod(os.path.join(dirpath, d), 0o755)
        s.start()
        yield s
    finally:
        if s is not None:
            s.stop()
        for pid in processes_naming(root):
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        shutil.rmtree(root, ignore_errors=True)


@pytest.mark.parametrize("name,script,status,expected", CASES, ids=[c[0] for c in CASES])
def test_child_set_up(site, name, script, status, expected):
    got, _, body = request(site, "GET", "/" + name)
    assert (got, expected in body) == (status, True), body
    # Nothing the program started is left once its answer is in.
    marker = "SCRIPT_NAME=/" + name
    end = time.monotonic() + 10
    while processes_naming(marker) and time.monotonic() < end:
        time.sleep(0.1)
    assert processes_naming(marker) == []
