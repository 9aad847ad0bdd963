"""The training that the Release build's profile comes from
(scripts/train-profile): it runs through against the real program, and it
fails, never passes, when the program answers wrongly or is missing."""

import os
import subprocess
import sys
import tempfile

from tq_site import BINARY

TRAIN = os.path.join(os.path.dirname(__file__), "../../scripts/train-profile")

# A stand-in program that starts like the server (its ports from global.ini
# under XDG_DATA_HOME) and serves the default page, but answers every other
# request with a short body.
WRONG_SERVER = r'''
import http.server, os, re
ini = open(os.path.join(os.environ["XDG_DATA_HOME"], "Tesk", "teskqvel", "global.ini")).read()
port = int(re.search(r"server_port=(\d+)", ini).group(1))
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        body = b"short"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *a):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", port), H).serve_forever()
'''


def run(binary, rounds="2"):
    return subprocess.run([TRAIN, binary, rounds], capture_output=True, text=True, timeout=300)


def test_training_runs_through_against_the_program():
    done = run(BINARY)
    assert done.returncode == 0, done.stderr[-3000:]


def test_a_wrong_answer_or_a_missing_program_fails_the_training():
    with tempfile.TemporaryDirectory() as d:
        fake = os.path.join(d, "server")
        with open(fake, "w") as f:
            f.write("#!%s\n%s" % (sys.executable, WRONG_SERVER))
        os.chmod(fake, 0o755)
        done = run(fake)
        assert done.returncode != 0
        assert "/f1k.txt answered 200 (5 bytes)" in done.stderr, done.stderr[-2000:]
        done = run(os.path.join(d, "none"))
        assert done.returncode != 0
        assert "no program" in done.stderr
