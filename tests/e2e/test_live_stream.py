"""End-to-end tests of live streams: a JavaScript page starts a stream of the
test sources with run_stream, two clients read it over the stream's own port
(one joining late), and ffprobe checks what each received: an ASF stream of
Windows Media video and audio with increasing time stamps. A start on a
device that does not exist answers the failure and opens no port."""

import json
import os
import shutil
import socket
import subprocess
import threading

import pytest

from tq_site import HOST, Site, free_port, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler java-script .jss
"""

START = r"""
function main() {
    var q = webserver.environment_var("QUERY_STRING").split("&");
    try {
        webserver.run_stream("", q[1], q[2], parseInt(q[0], 10));
        webserver.write_response("ok");
    } catch (e) {
        webserver.write_response("error " + (e.number >>> 0).toString(16));
    }
}
"""

DEVICES = r"""
function main() {
    var out = [];
    var names = ["video_input_devices", "audio_input_devices"];
    for (var i = 0; i < names.length; i++) {
        var list = webserver.server_object(names[i]), items = [];
        for (var k in list) items.push(k + "=" + list[k]);
        out.push(names[i] + ":" + items.join("|"));
    }
    webserver.write_response(out.join("\n"));
}
"""

# What a player sends; the stream answers any request head the same way.
STREAM_REQUEST = b"GET / HTTP/1.0\r\nUser-Agent: NSPlayer/9.0\r\n\r\n"
PACKET = 3200  # the writer's data packet size


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = str(tmp_path_factory.mktemp("live"))
    s = Site(root, directives=DIRECTIVES, param={"func_trace": "1"})
    s.put("start.jss", START)
    s.put("devices.jss", DEVICES)
    s.start()
    yield s
    s.stop()


def start_stream(site, port, audio="sine", video="testsrc"):
    status, _, data = request(site, "GET", "/start.jss?%d&%s&%s" % (port, audio, video))
    assert status == 200
    return data.decode()


def port_open(port):
    try:
        with socket.create_connection((HOST, port), timeout=5):
            return True
    except OSError:
        return False


class reader:
    """One stream client: the response head, then the stream bytes."""

    def __init__(self, port):
        self.sock = socket.create_connection((HOST, port), timeout=30)
        self.sock.sendall(STREAM_REQUEST)
        self.data = b""

    def read_until(self, size):
        while len(self.data) < size:
            chunk = self.sock.recv(65536)
            assert chunk, "the stream ended after %d bytes" % len(self.data)
            self.data += chunk

    def head_and_body(self):
        end = self.data.index(b"\r\n\r\n")
        return self.data[:end].decode(), self.data[end + 4:]

    def close(self):
        self.sock.close()


def probe(path):
    ffprobe = shutil.which("ffprobe")
    assert ffprobe, "ffprobe (Debian's ffmpeg package) is not installed"
    out = subprocess.run([ffprobe, "-v", "error", "-of", "json", "-show_format", "-show_streams",
                          "-show_packets", path], capture_output=True, timeout=60, check=True)
    return json.loads(out.stdout)


def check_capture(body, path):
    with open(path, "wb") as f:
        f.write(body)
    info = probe(path)
    assert info["format"]["format_name"] == "asf"
    codecs = {s["index"]: (s["codec_type"], s["codec_name"]) for s in info["streams"]}
    assert sorted(codecs.values()) == [("audio", "wmav2"), ("video", "wmv2")]
    for index, (kind, _) in codecs.items():
        times = [int(p["pts"]) for p in info["packets"]
                 if p["stream_index"] == index and "pts" in p]
        assert len(times) > 3, kind
        assert all(a < b for a, b in zip(times, times[1:])), (kind, times)
    return info


def test_two_clients_one_joining_late_get_the_whole_stream(site, tmp_path):
    port = free_port()
    assert start_stream(site, port) == "ok"
    # The same stream again starts nothing new.
    assert start_stream(site, port) == "ok"

    first = reader(port)
    first.read_until(2000 + 25 * PACKET)
    late = reader(port)
    # The first one goes on while the second one joins.
    pump = threading.Thread(target=first.read_until, args=(len(first.data) + 10 * PACKET,))
    pump.start()
    late.read_until(2000 + 15 * PACKET)
    pump.join(60)
    assert not pump.is_alive()
    first.close()
    late.close()

    for client, name in ((first, "first.asf"), (late, "late.asf")):
        head, body = client.head_and_body()
        assert head.startswith("HTTP/1.1 200 OK\r\n")
        assert "Content-Type: video/x-ms-wmv" in head.split("\r\n")
        assert "Server: Tesk Stream Server V0.1" in head.split("\r\n")
        info = check_capture(body, str(tmp_path / name))
        # The picture begins with a key frame, for the late joiner too.
        video = [s["index"] for s in info["streams"] if s["codec_type"] == "video"][0]
        first_video = next(p for p in info["packets"] if p["stream_index"] == video)
        assert first_video["flags"].startswith("K"), (name, first_video)
    # Both received the same stream header, once, at the start.
    _, first_body = first.head_and_body()
    _, late_body = late.head_and_body()
    # The header object (its size at offset 16) and the data object's head.
    header_end = int.from_bytes(first_body[16:24], "little") + 50
    assert late_body[:header_end] == first_body[:header_end]
    assert first_body.count(first_body[:16]) == 1
    assert late_body.count(first_body[:16]) == 1
    # The late joiner's first packet holds payloads of the declared streams
    # only, and its picture payloads begin with the key frame.
    streams = payload_streams(late_body[header_end:header_end + PACKET])
    assert streams and all(n in (1, 2) for n, _ in streams), streams
    pictures = [key for n, key in streams if n == video + 1]
    assert pictures and pictures[0], streams
    # Every picture the late joiner decodes is the continuous client's
    # picture of the same time.
    first_frames = frame_sums(str(tmp_path / "first.asf"))
    late_frames = frame_sums(str(tmp_path / "late.asf"))
    assert late_frames and all(first_frames.get(t) == h for t, h in late_frames.items()
                               if t in first_frames), (late_frames, first_frames)
    assert sum(t in first_frames for t in late_frames) >= 3


def frame_sums(path):
    """The decoded pictures of a capture: time -> hash."""
    out = subprocess.run([shutil.which("ffmpeg"), "-v", "error", "-copyts", "-i", path,
                          "-map", "0:v", "-fps_mode", "passthrough",
                          "-f", "framemd5", "-"], capture_output=True, timeout=60, check=True)
    sums = {}
    for line in out.stdout.decode().splitlines():
        if line.startswith("#"):
            continue
        fields = [f.strip() for f in line.split(",")]
        sums[int(fields[2])] = fields[5]
    return sums


def payload_streams(packet):
    """(stream number, key flag) of each payload of an ASF data packet."""
    size = {0: 0, 1: 1, 2: 2, 3: 4}
    pos = 1 + (packet[0] & 0x0F) if packet[0] & 0x80 else 0
    lf, pf = packet[pos], packet[pos + 1]
    pos += 2 + size[(lf >> 5) & 3] + size[(lf >> 1) & 3] + size[(lf >> 3) & 3] + 6
    count, length_type = 1, 0
    if lf & 1:
        count, length_type = packet[pos] & 0x3F, (packet[pos] >> 6) & 3
        pos += 1
    out = []
    for _ in range(count):
        out.append((packet[pos] & 0x7F, bool(packet[pos] & 0x80)))
        pos += 1 + size[(pf >> 4) & 3] + size[(pf >> 2) & 3]
        replicated = int.from_bytes(packet[pos:pos + size[pf & 3]], "little")
        pos += size[pf & 3] + replicated
        if lf & 1:
            length = int.from_bytes(packet[pos:pos + size[length_type]], "little")
            pos += size[length_type] + length
    return out


def test_a_start_on_an_unknown_device_fails_and_opens_no_port(site):
    port = free_port()
    assert start_stream(site, port, video="no_such_camera") == "error 80004005"
    assert not port_open(port)
    assert start_stream(site, port, audio="no_such_microphone") == "error 80004005"
    assert not port_open(port)


def test_server_stop_closes_the_stream(tmp_path):
    s = Site(str(tmp_path), directives=DIRECTIVES)
    s.put("start.jss", START)
    s.start()
    try:
        port = free_port()
        assert start_stream(s, port) == "ok"
        client = reader(port)
        client.read_until(1000)
        assert port_open(port)
    finally:
        s.stop()
    assert not port_open(port)
    # The client that was reading is ended too.
    client.sock.settimeout(30)
    while client.sock.recv(65536):
        pass
    client.close()


def test_device_lists_name_the_test_sources_last(site):
    # No camera or sound card here: the lists hold the test sources only.
    status, _, data = request(site, "GET", "/devices.jss")
    assert status == 200
    lines = dict(line.split(":", 1) for line in data.decode().split("\n"))
    assert lines["video_input_devices"].split("|")[-1] == "lavfi testsrc=lavfi testsrc"
    assert lines["audio_input_devices"].split("|")[-1] == "lavfi sine=lavfi sine"
