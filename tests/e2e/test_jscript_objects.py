"""End-to-end tests of the objects a JavaScript page gets from the Webserver
object in the built teskqvel binary: named mutexes shared by concurrent
requests, loggers, file names, hash lists and scaled images."""

import io
import os
import shutil
import struct
import threading
import zlib

import pytest
from PIL import Image

from tq_site import Site, request

DIRECTIVES = """Require all granted
AddHandler java-script .jss
"""

MIME_TYPES = """text/html html htm
text/plain txt
image/png png
image/jpeg jpeg jpg jpe
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
    for (var it = l.begin(); !it.equal(l.end()); it.inc(1)) out.push(it.key() + "=" + it.value);
    webserver.write_response(out.join(",") + ";" + l.size());
}
"""

IMAGE_PAGE = r"""
function main() {
    var q = webserver.environment_var("QUERY_STRING").split(",");
    var img = webserver.create_image(webserver.absolute_filename(q[0]));
    // A size of 0 is not given: the other one bounds the longer side.
    img.send(parseInt(q[1]), parseInt(q[2]), q.length > 3 ? q[3] : "");
}
"""

SAVE_PAGE = r"""
function main() {
    var img = webserver.create_image(webserver.absolute_filename("/photo.jpg"));
    var out = [img.width, img.height,
               img.save(webserver.absolute_filename("/small.jpg"), 0, 200),
               img.save(webserver.absolute_filename("/stretched.jpg"), 300, 40)];
    var missing = webserver.create_image(webserver.absolute_filename("/none.jpg"));
    out.push(missing.width, missing.save(webserver.absolute_filename("/none-small.jpg"), 10, 0));
    webserver.write_response(out.join(","));
}
"""

NAMES_PAGE = r"""
function main() {
    var names = ["/notyet.txt", "/new/notyet.txt", "notyet.txt", "sub/../beside.txt",
                 "../outside.txt", "/con.txt"];
    var out = [];
    for (var i = 0; i < names.length; i++) out.push(webserver.absolute_filename(names[i]));
    // Files that do not exist yet are made by their first use.
    var log = webserver.logger("/logs/new.log", 0);
    log.write("begun ");
    log.write("and ended\n");
    log.write("left open");
    var l = webserver.hash_list("/newlist.txt", 0);
    l.open(0);
    l.value("k", "v");
    out.push(l.save());
    webserver.write_response(out.join("|"));
}
"""

# Walks a list both ways, finds, erases while walking and shows a prefix as an object.
WALK_PAGE = r"""
function main() {
    var l = webserver.hash_list("walk.txt", 0);
    l.open(0);
    var keys = ["b", "a", "d", "c", "pre.x", "pre.y"];
    for (var i = 0; i < keys.length; i++) l.value(keys[i], "v" + keys[i]);
    var fwd = [], back = [];
    for (var it = l.begin(); !it.equal(l.end()); it.inc(1)) fwd.push(it.key());
    var e = l.end();
    for (e.dec(1); ; e.dec(1)) { back.push(e.key() + "=" + e.value); if (e.equal(l.begin())) break; }
    var f = l.find("c");
    l.erase("b");
    f.dec(1); // the erased key is passed over
    var o = l.toObject("pre."), props = [];
    for (var k in o) props.push(k + "=" + o[k]);
    o["pre.z"] = "new";
    webserver.write_response(fwd.join(",") + ";" + back.join(",") + ";" + f.key() + ";"
                             + props.join(",") + ";" + l.value("pre.z") + ";" + l.size());
}
"""

# Saves its list; the test takes the list's folder away and brings it back between steps.
KEEP_PAGE = r"""
function main() {
    var step = webserver.environment_var("QUERY_STRING");
    var l = webserver.hash_list("kept/list.txt", 0);
    l.open(0);
    if (step == "1") l.value("k", "first");
    if (step == "2") { l.value("k", "second"); l.value("n", "new"); }
    webserver.write_response("saved=" + l.save() + " k=" + l.value("k") + " n=" + l.value("n"));
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


# Holds a mutex and waits for an event nobody sets; says so in a file first.
FOREVER_PAGE = r"""
function main() {
    var who = webserver.environment_var("QUERY_STRING");
    var m = webserver.create_mutex("kept");
    m.acquire();
    var f = webserver.file;
    f.open(webserver.absolute_filename("/" + who + ".mark"), 0x301);
    f.write("x");
    f.close();
    var e = webserver.create_event;
    webserver.write_response("r=" + webserver.wait_for_events([e], -1, false));
}
"""


def wait_for_file(path, thread):
    for _ in range(800):
        if os.path.exists(path):
            return True
        thread.join(0.025)
    return False


def jpeg(width, height):
    """A picture with a red left half and a blue right half."""
    im = Image.new("RGB", (width, height), (255, 0, 0))
    im.paste((0, 0, 255), (width // 2, 0, width, height))
    out = io.BytesIO()
    im.save(out, "JPEG", quality=90)
    return out.getvalue()


def size_of(data):
    with Image.open(io.BytesIO(data)) as im:
        return im.format, im.size


@pytest.fixture
def site(tmp_path):
    s = Site(str(tmp_path), directives=DIRECTIVES, mime_types=MIME_TYPES)
    s.put("mutex.jss", MUTEX_PAGE)
    s.put("list.jss", LIST_PAGE)
    s.put("image.jss", IMAGE_PAGE)
    s.put("save.jss", SAVE_PAGE)
    s.put("names.jss", NAMES_PAGE)
    s.put("walk.jss", WALK_PAGE)
    s.put("keep.jss", KEEP_PAGE)
    s.put("forever.jss", FOREVER_PAGE)
    s.put("wide.png", png(1000, 500))
    s.put("photo.jpg", jpeg(1000, 500))
    # The mutex test watches this file for the first page's mark.
    s.put("holding.txt", "")
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


@pytest.mark.parametrize("query, kind, size, content_type", [
    ("/wide.png,200,0", "PNG", (200, 100), "image/png"),
    ("/photo.jpg,200,0", "JPEG", (200, 100), "image/jpeg"),
    ("/photo.jpg,0,200", "JPEG", (200, 100), "image/jpeg"),
    ("/photo.jpg,0,0", "JPEG", (1000, 500), "image/jpeg"),
])
def test_image_scaled_keeping_its_aspect(site, query, kind, size, content_type):
    status, headers, body = request(site, "GET", "/image.jss?" + query)
    assert status == 200, body[:200]
    # The type registered for the picture's extension in mime.types.
    assert headers["content-type"] == content_type
    assert size_of(body) == (kind, size)


def test_image_cache_is_reused_then_rebuilt_when_the_picture_changes(site):
    cached = os.path.join(site.pub, "thumbs", "photo_200_-1.jpg")
    photo = os.path.join(site.pub, "photo.jpg")
    status, _, first = request(site, "GET", "/image.jss?/photo.jpg,200,0,thumbs/")
    assert status == 200, first[:200]
    assert size_of(first) == ("JPEG", (200, 100))
    with open(cached, "rb") as f:
        assert f.read() == first
    # Served from the cache while it is not older than the picture: a marked
    # copy put in its place comes back as it is.
    marker = jpeg(20, 10)
    with open(cached, "wb") as f:
        f.write(marker)
    t = os.stat(photo).st_mtime
    os.utime(cached, (t + 10, t + 10))
    assert request(site, "GET", "/image.jss?/photo.jpg,200,0,thumbs/")[2] == marker
    # A newer picture makes a new copy.
    os.utime(photo, (t + 20, t + 20))
    status, _, third = request(site, "GET", "/image.jss?/photo.jpg,200,0,thumbs/")
    assert status == 200
    assert size_of(third) == ("JPEG", (200, 100))
    with open(cached, "rb") as f:
        assert f.read() == third
    # The cache path goes in front of the name as it is: without a slash it
    # is a prefix of a file beside the picture.
    status, _, body = request(site, "GET", "/image.jss?/photo.jpg,200,0,small_")
    assert status == 200 and size_of(body) == ("JPEG", (200, 100))
    with open(os.path.join(site.pub, "small_photo_200_-1.jpg"), "rb") as f:
        assert f.read() == body
    # A cache folder may not climb out of the picture's folder.
    status, _, body = request(site, "GET", "/image.jss?/photo.jpg,200,0,../thumbs")
    assert body == b""
    assert not os.path.exists(os.path.join(site.data, "thumbs"))


def test_image_saved_to_files(site):
    status, _, body = request(site, "GET", "/save.jss")
    assert status == 200, body
    assert body == b"1000,500,true,true,0,false"
    with open(os.path.join(site.pub, "small.jpg"), "rb") as f:
        assert size_of(f.read()) == ("JPEG", (200, 100))
    # Both sizes given: used as they are.
    with open(os.path.join(site.pub, "stretched.jpg"), "rb") as f:
        assert size_of(f.read()) == ("JPEG", (300, 40))
    assert not os.path.exists(os.path.join(site.pub, "none-small.jpg"))


def test_file_names_of_files_not_there_yet(site):
    status, _, body = request(site, "GET", "/names.jss")
    assert status == 200, body
    pub = site.pub
    assert body.decode().split("|") == [
        pub + "/notyet.txt", pub + "/new/notyet.txt", pub + "/notyet.txt", pub + "/beside.txt",
        "", "", "true"]
    with open(os.path.join(pub, "newlist.txt"), "rb") as f:
        assert f.read() == b'\xef\xbb\xbf"k","v"\r\n'
    # The logger's last line has no line end: it is written when the logger
    # closes at server stop, not lost.
    assert site.stop() == 0
    with open(os.path.join(pub, "logs", "new.log"), "rb") as f:
        assert f.read() == b"begun and ended\r\nleft open\r\n"


def test_hash_list_walks_both_ways_and_shows_a_prefix_as_an_object(site):
    status, _, body = request(site, "GET", "/walk.jss")
    assert status == 200, body
    assert body.decode().split(";") == [
        "a,b,c,d,pre.x,pre.y",
        "pre.y=vpre.y,pre.x=vpre.x,d=vd,c=vc,b=vb,a=va",
        "a",
        "pre.x=vpre.x,pre.y=vpre.y",
        "new",
        "6"]


def test_failed_hash_list_save_keeps_the_data(site):
    folder = os.path.join(site.pub, "kept")
    os.makedirs(folder)
    assert request(site, "GET", "/keep.jss?1")[2] == b"saved=true k=first n="
    shutil.rmtree(folder)
    # The folder is gone: the save fails and the list keeps its new values.
    assert request(site, "GET", "/keep.jss?2")[2] == b"saved=false k=second n=new"
    os.makedirs(folder)
    assert request(site, "GET", "/keep.jss?3")[2] == b"saved=true k=second n=new"
    with open(os.path.join(folder, "list.txt"), "rb") as f:
        assert f.read() == b'\xef\xbb\xbf"k","second"\r\n"n","new"\r\n'


def test_server_stop_ends_pages_waiting_without_end(site):
    answers = {}

    def get(who):
        try:
            answers[who] = request(site, "GET", "/forever.jss?" + who)
        except OSError as e:
            answers[who] = e

    first = threading.Thread(target=get, args=("first",))
    first.start()
    assert wait_for_file(os.path.join(site.pub, "first.mark"), first)
    # The second page waits for the mutex the first one keeps.
    second = threading.Thread(target=get, args=("second",))
    second.start()
    # Both end with the server, which stops cleanly.
    assert site.stop() == 0
    first.join(30)
    second.join(30)
    assert not first.is_alive() and not second.is_alive()
    assert not os.path.exists(os.path.join(site.pub, "second.mark"))


def test_run_time_limit_ends_a_wait_without_end(tmp_path):
    s = Site(str(tmp_path), directives=DIRECTIVES, param={"script_timeout": 1})
    s.put("forever.jss", FOREVER_PAGE)
    s.start()
    try:
        # The wait ends (null) at the limit, and the run with it.
        assert request(s, "GET", "/forever.jss?first")[0] == 200
        # The mutex was let go with the page: the next page gets it.
        assert request(s, "GET", "/forever.jss?second")[0] == 200
        assert os.path.exists(os.path.join(s.pub, "second.mark"))
    finally:
        assert s.stop() == 0
