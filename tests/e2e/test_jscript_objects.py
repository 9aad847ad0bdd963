"""End-to-end tests of the objects a JavaScript page gets from the Webserver
object in the built teskqvel binary: named mutexes shared by concurrent
requests, loggers, hash lists and scaled images."""

import os
import struct
import threading
import zlib

import pytest

from tq_site import Site, request

DIRECTIVES = """Require all granted
AddHandler java-script .jss
"""

# Takes the mutex, writes its mark into a shared file, holds the mutex while
# the other request starts, then writes its end mark.
MUTEX_PAGE = r"""
function main() {
    var who = webserver.environment_var("QUERY_STRING");
    var m = webserver.create_mutex("shared-order");
    m.acquire();
    var log = webserver.logger("/order.txt", 0);
    log.write("start " + who + "\n");
    if (who == "first") {
        var f = webserver.file;
        f.open(webserver.absolute_filename("/holding.txt"), 1);
        f.write("x");
        f.close();
        webserver.sleep(1500);
    }
    log.write("end " + who + "\n");
    m.release();
    webserver.write_response("ok " + who);
}
"""

LIST_PAGE = r"""
function main() {
    // A relative name lies beside the page.
    var l = webserver.hash_list("list.txt", 0);
    l.value("b", "2");
    l.value("a", "1");
    l.value("c", "3");
    var out = [];
    for (var it = l.begin(); !it.equal(l.end()); it.inc(1)) out.push(it.key + "=" + it.value);
    webserver.write_response(out.join(",") + ";" + l.size);
}
"""

IMAGE_PAGE = r"""
function main() {
    var img = webserver.create_image(webserver.absolute_filename("/wide.png"));
    img.send(200, 0); // the height follows the aspect ratio
}
"""


def png(width, height):
    row = b"\x00" + b"\x80\x40\x20" * width
    raw = row * height

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


@pytest.fixture
def site(tmp_path):
    s = Site(str(tmp_path), directives=DIRECTIVES)
    s.put("mutex.jss", MUTEX_PAGE)
    s.put("list.jss", LIST_PAGE)
    s.put("image.jss", IMAGE_PAGE)
    s.put("wide.png", png(1000, 500))
    # Pages name only files that exist.
    for name in ("holding.txt", "order.txt", "list.txt"):
        s.put(name, "")
    s.start()
    yield s
    s.stop()


def test_mutex_makes_the_second_request_wait_and_logger_keeps_lines(site):
    answers = {}

    def get(who):
        answers[who] = request(site, "GET", "/mutex.jss?" + who)

    first = threading.Thread(target=get, args=("first",))
    first.start()
    holding = os.path.join(site.pub, "holding.txt")
    for _ in range(400):
        if os.path.getsize(holding):
            break
        first.join(0.025)
    assert os.path.getsize(holding), "the first page never took the mutex"
    get("second")
    first.join(30)
    assert answers["first"][0] == 200 and answers["first"][2] == b"ok first"
    assert answers["second"][0] == 200 and answers["second"][2] == b"ok second"
    # The logger's lines are in the file once the server has stopped.
    assert site.stop() == 0
    with open(os.path.join(site.pub, "order.txt"), encoding="utf-8") as f:
        marks = [line.split(" ", 1)[1].strip() if line[:1].isdigit() else line.strip()
                 for line in f if line.strip()]
    marks = [m for m in (" ".join(x.split()[-2:]) for x in marks)]
    assert marks == ["start first", "end first", "start second", "end second"]


def test_hash_list_iterates_in_key_order(site):
    status, _, body = request(site, "GET", "/list.jss")
    assert status == 200, body
    assert body == b"a=1,b=2,c=3;3", body


def test_image_scaled_keeping_its_aspect(site):
    status, headers, body = request(site, "GET", "/image.jss")
    assert status == 200, body[:200]
    assert body[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", body[16:24])
    assert (width, height) == (200, 100)
