"""Media sharing seen by a UPnP control point: discovery over SSDP (our own
M-SEARCH and gssdp-discover), the device and service descriptions, Browse
over SOAP, a GENA subscription that receives a NOTIFY after a file is added,
and a media GET with the DLNA headers and a range.

The device host uses the fixed UPnP ports (TCP 2869, UDP 1900) and multicast,
so the whole test runs in a network namespace of its own whose loopback
interface carries multicast: nothing leaks to the machine's network and
parallel tests cannot meet."""

import ctypes
import http.client
import http.server
import os
import re
import socket
import subprocess
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET

import pytest

from tq_site import Site

CLONE_NEWNET = 0x40000000
MEDIA_SERVER = "urn:schemas-upnp-org:device:MediaServer:1"
CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
CMS = "urn:schemas-upnp-org:service:ConnectionManager:1"
NS = {"d": "urn:schemas-upnp-org:device-1-0",
      "didl": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
      "dc": "http://purl.org/dc/elements/1.1/",
      "upnp": "urn:schemas-upnp-org:metadata-1-0/upnp/",
      "e": "urn:schemas-upnp-org:event-1-0"}
MIME_TYPES = "text/plain txt\naudio/mpeg mp3\nimage/jpeg jpg\n"


@pytest.fixture(scope="module", autouse=True)
def own_network():
    """Moves this test process (and the servers it starts) into a new network
    namespace with a multicast-capable loopback."""
    if os.geteuid() != 0:
        pytest.fail("the media test needs root for a network namespace of its own")
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        pytest.fail("unshare(CLONE_NEWNET): errno %d" % ctypes.get_errno())
    for cmd in (["ip", "link", "set", "lo", "up"], ["ip", "link", "set", "lo", "multicast", "on"],
                ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"]):
        subprocess.run(cmd, check=True)
    yield


def msearch(st, mx=1, wait=4.0, unicast_port=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
    s.settimeout(0.2)
    target = ("127.0.0.1", unicast_port) if unicast_port else ("239.255.255.250", 1900)
    msg = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
           "MX: %d\r\nST: %s\r\n\r\n" % (mx, st))
    if unicast_port:
        msg = msg.replace("MX: %d\r\n" % mx, "")
    s.sendto(msg.encode(), target)
    answers = []
    end = time.monotonic() + wait
    while time.monotonic() < end:
        try:
            data, _ = s.recvfrom(4096)
        except socket.timeout:
            if answers:
                break
            continue
        head = {}
        for line in data.decode().split("\r\n")[1:]:
            if ":" in line:
                k, v = line.split(":", 1)
                head[k.strip().lower()] = v.strip()
        answers.append(head)
    s.close()
    return answers


def media_server_answers():
    """The SSDP answers of the media server, asked again until one comes."""
    answers = []
    for _ in range(20):
        answers = [a for a in msearch(MEDIA_SERVER) if a.get("st") == MEDIA_SERVER]
        if answers:
            break
    return answers


def http_call(url, method="GET", headers=None, body=None):
    u = urllib.parse.urlsplit(url)
    c = http.client.HTTPConnection(u.hostname, u.port, timeout=20)
    try:
        c.request(method, u.path + ("?" + u.query if u.query else ""), body=body,
                  headers=headers or {})
        r = c.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
    finally:
        c.close()


def soap(url, service, action, args):
    body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"'
            ' s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:%s xmlns:u="%s">%s</u:%s></s:Body></s:Envelope>'
            % (action, service, "".join("<%s>%s</%s>" % (k, v, k) for k, v in args), action))
    status, _, data = http_call(url, "POST", {
        "Content-Type": 'text/xml; charset="utf-8"',
        "SOAPACTION": '"%s#%s"' % (service, action)}, body.encode())
    root = ET.fromstring(data)
    if status != 200:
        code = root.find(".//{urn:schemas-upnp-org:control-1-0}errorCode")
        return status, int(code.text)
    resp = root.find(".//{%s}%sResponse" % (service, action))
    return status, {child.tag: (child.text or "") for child in resp}


def browse(url, object_id, flag="BrowseDirectChildren", start=0, count=0):
    status, out = soap(url, CDS, "Browse", [
        ("ObjectID", object_id), ("BrowseFlag", flag), ("Filter", "*"),
        ("StartingIndex", start), ("RequestedCount", count), ("SortCriteria", "")])
    if status != 200:
        return status, out, None
    return status, out, ET.fromstring(out["Result"])


class notify_listener:
    """A GENA callback: collects NOTIFY requests."""

    def __init__(self):
        events = self.events = []
        cond = self.cond = threading.Condition()

        class handler(http.server.BaseHTTPRequestHandler):
            def do_NOTIFY(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                with cond:
                    events.append((dict(self.headers), body))
                    cond.notify_all()
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *a):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def wait_for(self, n, timeout=30):
        with self.cond:
            self.cond.wait_for(lambda: len(self.events) >= n, timeout)
            return list(self.events)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def properties(body):
    root = ET.fromstring(body)
    return {child.tag: child.text or "" for prop in root.findall("e:property", NS)
            for child in prop}


def test_control_point_discovers_browses_subscribes_and_plays(tmp_path):
    site = Site(str(tmp_path), param={"enable_media_server": "1", "func_trace": "1"},
                mime_types=MIME_TYPES)
    song = bytes(range(256)) * 40
    site.put("media/Music/song.mp3", song)
    site.put("media/pic & co.jpg", b"\xff\xd8jpeg")
    site.put("media/notes.txt", "not media")
    # Folders and files the configuration refuses stay out of the catalogue.
    site.put("media/private/.htaccess", "Require all denied\n")
    site.put("media/private/secret.mp3", b"x")
    site.put("media/Music/.htaccess", "<Files hidden.mp3>\nRequire all denied\n</Files>\n")
    site.put("media/Music/hidden.mp3", b"x")
    # Names with characters the server refuses in every local name have no
    # URL that plays: they are left out, each with a trace line.
    site.put("media/Track 01: Intro.mp3", b"x")
    site.put("media/A|B/inner.mp3", b"x")
    site.start()
    listener = notify_listener()
    try:
        # Discovery: multicast M-SEARCH, then a unicast one to the port.
        answers = media_server_answers()
        assert answers, "no SSDP answer"
        location = answers[0]["location"]
        usn = answers[0]["usn"]
        assert location.startswith("http://127.0.0.1:2869/upnphost/")
        assert re.fullmatch(r"uuid:[0-9a-f-]{36}::" + re.escape(MEDIA_SERVER), usn)
        uuid = usn.split("::")[0]
        all_types = {a.get("st") for a in msearch("ssdp:all", unicast_port=1900)}
        assert {"upnp:rootdevice", uuid, MEDIA_SERVER, CDS, CMS} <= all_types

        # The GSSDP library's view of the same device (the SSDP side of GUPnP).
        browse_script = os.path.join(os.path.dirname(__file__), "gssdp_browse.py")
        out = subprocess.run(["/usr/bin/python3", browse_script, "lo", MEDIA_SERVER, "3"],
                             capture_output=True, text=True, timeout=60)
        assert usn + " " + location in out.stdout, out.stderr

        # The device description with its UDN and URLs filled in.
        status, _, desc = http_call(location)
        assert status == 200
        root = ET.fromstring(desc)
        dev = root.find("d:device", NS)
        assert dev.find("d:deviceType", NS).text == MEDIA_SERVER
        assert dev.find("d:UDN", NS).text == uuid
        assert dev.find("d:friendlyName", NS).text.startswith("Tesk QVel Media Sharing at ")
        base = "http://127.0.0.1:2869"
        services = {s.find("d:serviceType", NS).text: s for s in dev.iter("{%s}service" % NS["d"])}
        cds_control = base + services[CDS].find("d:controlURL", NS).text
        cds_event = base + services[CDS].find("d:eventSubURL", NS).text
        cms_control = base + services[CMS].find("d:controlURL", NS).text
        for s in services.values():
            status, _, scpd = http_call(base + s.find("d:SCPDURL", NS).text)
            assert status == 200 and b"<scpd" in scpd
        status, _, icon = http_call(base + dev.find("d:iconList/d:icon/d:url", NS).text)
        assert status == 200 and icon.startswith(b"\x89PNG")

        # Browse the folder: the subfolder, then the image; no text file.
        status, out, didl = browse(cds_control, "0")
        assert status == 200
        assert out["NumberReturned"] == out["TotalMatches"] == "2"
        titles = [n.find("dc:title", NS).text for n in didl]
        assert titles == ["Music", "pic & co.jpg"]
        music_id = didl[0].get("id")
        status, out, didl = browse(cds_control, music_id)
        item = didl.find("didl:item", NS)
        res = item.find("didl:res", NS)
        assert res.get("protocolInfo").startswith("http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;")
        assert res.get("size") == str(len(song))
        media_url = res.text
        assert "/media/.enc/" in media_url

        trace = site.trace()
        assert "media store, left out (name cannot be served): " in trace
        assert "Track 01: Intro.mp3\n" in trace and "A|B/\n" in trace

        # Faults: unknown objects, an unknown flag, an unknown action.
        for oid in ("4711", "aaaa", "0/../..", "0-", "-1", "0-x", "99999999999"):
            assert browse(cds_control, oid)[:2] == (500, 701), oid
        assert browse(cds_control, "0", flag="BrowseEverything")[:2] == (500, 402)
        assert browse(cds_control, "0", flag="BrowseMetadata")[0] == 200
        assert soap(cds_control, CDS, "NoSuchAction", []) == (500, 401)
        status, out = soap(cms_control, CMS, "GetProtocolInfo", [])
        assert status == 200 and "http-get:*:audio/mpeg:*" in out["Source"]

        # The media GET with the DLNA header and a range.
        status, head, body = http_call(media_url, headers={
            "getcontentFeatures.dlna.org": "1", "Range": "bytes=100-199"})
        assert status == 206
        assert body == song[100:200]
        assert head["contentfeatures.dlna.org"].startswith("DLNA.ORG_PN=MP3;DLNA.ORG_PS=1;")

        # A control body with many attributes on one element is refused as a
        # SOAP fault before it is parsed; the same call without them works.
        attrs = "".join(' a%d="v"' % i for i in range(1000))
        status, _, data = http_call(cds_control, "POST", {
            "Content-Type": 'text/xml; charset="utf-8"', "SOAPACTION": '"%s#Browse"' % CDS},
            ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/'
             'envelope/"><s:Body><u:Browse xmlns:u="%s"%s><ObjectID>0</ObjectID><BrowseFlag>'
             'BrowseMetadata</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex>'
             '<RequestedCount>0</RequestedCount><SortCriteria/></u:Browse></s:Body>'
             '</s:Envelope>' % (CDS, attrs)).encode())
        assert status == 500 and b"<s:Fault>" in data and b"<errorCode>401<" in data
        assert browse(cds_control, "0", "BrowseMetadata")[0] == 200
        # Events go to the subscriber's own address only.
        for callback in ("http://127.0.0.2:%d/cb" % listener.port, "http://127.0.0.1:0/cb"):
            assert http_call(cds_event, "SUBSCRIBE", {
                "CALLBACK": "<%s>" % callback, "NT": "upnp:event",
                "TIMEOUT": "Second-300"})[0] == 412, callback

        # Subscribe: the initial event, then one after a file is added.
        status, head, _ = http_call(cds_event, "SUBSCRIBE", {
            "CALLBACK": "<http://127.0.0.1:%d/cb>" % listener.port, "NT": "upnp:event",
            "TIMEOUT": "Second-300"})
        assert status == 200 and head["sid"].startswith("uuid:")
        assert head["timeout"] == "Second-300"
        events = listener.wait_for(1)
        assert events and events[0][0]["SEQ"] == "0"
        first = properties(events[0][1])
        assert set(first) == {"TransferIDs", "SystemUpdateID", "ContainerUpdateIDs"}
        site.put("media/Music/new.mp3", b"x")
        events = listener.wait_for(2)
        assert len(events) >= 2, "no NOTIFY after a file was added"
        headers, body = events[1]
        assert headers["SEQ"] == "1" and headers["SID"] == head["sid"]
        changed = properties(body)
        # Only evented variables travel.
        assert set(changed) == {"SystemUpdateID", "ContainerUpdateIDs"}
        assert int(changed["SystemUpdateID"]) == int(first["SystemUpdateID"]) + 1
        status, out, didl = browse(cds_control, music_id)
        assert out["TotalMatches"] == "2"
        assert http_call(cds_event, "UNSUBSCRIBE", {"SID": head["sid"]})[0] == 200
        assert http_call(cds_event, "UNSUBSCRIBE", {"SID": head["sid"]})[0] == 412
        # A subscription lasts half an hour at most, however long it asks
        # for and however many digits it asks with.
        for asked, granted in (("Second-1800", 1800), ("Second-1801", 1800),
                               ("Second-100000", 1800), ("Second-99999999999", 1800),
                               ("infinite", 1800), ("Second-0", 1800), ("Second-60", 60)):
            status, head, _ = http_call(cds_event, "SUBSCRIBE", {
                "CALLBACK": "<http://127.0.0.1:%d/cb>" % listener.port, "NT": "upnp:event",
                "TIMEOUT": asked})
            assert (status, head.get("timeout")) == (200, "Second-%d" % granted), asked
            assert http_call(cds_event, "UNSUBSCRIBE", {"SID": head["sid"]})[0] == 200
    finally:
        listener.close()
        assert site.stop() == 0
    # Stopped: the host's ports are free again and the device id was kept.
    with socket.socket() as s:
        s.bind(("0.0.0.0", 2869))
    ini = open(os.path.join(site.data, "global.ini"), encoding="utf-8", errors="replace").read()
    assert "media_server_id=" + uuid[5:] in ini

    # The next start registers the same device again.
    site.start()
    try:
        answers = media_server_answers()
        assert answers and answers[0]["usn"].startswith(uuid + "::")
    finally:
        assert site.stop() == 0


def test_failed_start_leaves_no_port_behind(tmp_path):
    site = Site(str(tmp_path), param={"enable_media_server": "1", "func_trace": "1"},
                mime_types=MIME_TYPES)
    site.put("media/a.mp3", b"x")
    blocker = socket.socket()
    blocker.bind(("0.0.0.0", 2869))
    blocker.listen()
    try:
        site.start()
        try:
            assert "unable to register UPnP device" in site.trace()
            # The SSDP port was let go as well: a plain bind succeeds.
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                u.bind(("0.0.0.0", 1900))
            assert msearch(MEDIA_SERVER, wait=1.5) == []
        finally:
            assert site.stop() == 0
    finally:
        blocker.close()


def content_directory_control():
    """The ContentDirectory's control URL, found as a control point finds it."""
    answers = media_server_answers()
    assert answers, "no SSDP answer"
    status, _, desc = http_call(answers[0]["location"])
    assert status == 200
    for s in ET.fromstring(desc).iter("{%s}service" % NS["d"]):
        if s.find("d:serviceType", NS).text == CDS:
            return "http://127.0.0.1:2869" + s.find("d:controlURL", NS).text
    raise AssertionError("no ContentDirectory in the description")


def browse_after_scan(control):
    """The media folder's children, once the first scan has found some."""
    for _ in range(100):
        status, out, didl = browse(control, "0")
        if status != 200 or out["TotalMatches"] != "0":
            break
        time.sleep(0.1)
    return status, out, didl


def test_links_out_of_the_tree_are_neither_listed_nor_played(tmp_path):
    site = Site(str(tmp_path / "site"), param={"enable_media_server": "1"},
                mime_types=MIME_TYPES)
    song = b"inside" * 100
    site.put("media/in.mp3", song)
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret.mp3").write_bytes(b"outside")
    (outside / "deep.mp3").write_bytes(b"outside")
    media = os.path.join(site.pub, "media")
    os.symlink(str(outside / "secret.mp3"), os.path.join(media, "out.mp3"))
    os.symlink("../../../../../outside/secret.mp3", os.path.join(media, "up.mp3"))
    os.symlink(str(outside), os.path.join(media, "outdir"))
    # A link that stays in the tree is a file like any other.
    os.symlink("in.mp3", os.path.join(media, "alias.mp3"))
    site.start()
    try:
        control = content_directory_control()
        status, out, didl = browse_after_scan(control)
        assert status == 200
        titles = [n.find("dc:title", NS).text for n in didl]
        assert titles == ["alias.mp3", "in.mp3"]
        urls = [n.find("didl:res", NS).text for n in didl]
        assert http_call(urls[0])[2] == song
        # The encoded URL an outside link would have had, and its plain path.
        prefix = urls[1][:urls[1].index("/.enc/") + len("/.enc/")]
        for name in ("out", "up"):
            for url in (prefix + name.encode().hex().upper() + ".mp3",
                        "http://127.0.0.1:%d/media/%s.mp3" % (site.port, name)):
                status, _, body = http_call(url)
                assert status in (403, 404) and b"outside" not in body, url
        # A rule added later takes the item out on the next scan, as GET
        # refuses it.
        site.put("media/.htaccess", "<Files in.mp3>\nRequire all denied\n</Files>\n")
        end = time.monotonic() + 30
        while "in.mp3" in titles and time.monotonic() < end:
            time.sleep(0.2)
            titles = [n.find("dc:title", NS).text for n in browse(control, "0")[2]]
        assert titles == ["alias.mp3"]
        assert http_call("http://127.0.0.1:%d/media/in.mp3" % site.port)[0] == 403
    finally:
        assert site.stop() == 0


def test_a_gupnp_player_reads_the_items_and_the_answer_escapes_only_what_xml_requires(tmp_path):
    site = Site(str(tmp_path), param={"enable_media_server": "1"}, mime_types=MIME_TYPES)
    song = b"song" * 300
    site.put("media/Rock & Roll/Tom's 'Best' & more.mp3", song)
    site.put("media/Rock & Roll/cover.jpg", b"\xff\xd8jpeg")
    site.start()
    try:
        control = content_directory_control()
        status, out, didl = browse_after_scan(control)
        assert status == 200
        folder = didl[0].get("id")
        # The raw answer: in the envelope only "<" and "&" of the document
        # are replaced; in the document the Part's own replacements ("&" and
        # the double quote) and nothing for the apostrophe.
        body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/'
                'envelope/"><s:Body><u:Browse xmlns:u="%s"><ObjectID>%s</ObjectID><BrowseFlag>'
                'BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0'
                '</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria/></u:Browse>'
                '</s:Body></s:Envelope>' % (CDS, folder))
        status, _, raw = http_call(control, "POST", {
            "Content-Type": 'text/xml; charset="utf-8"', "SOAPACTION": '"%s#Browse"' % CDS},
            body.encode())
        assert status == 200
        raw = raw.decode()
        assert ("&lt;dc:title>Tom's 'Best' &amp;amp; more.mp3&lt;/dc:title>"
                "&lt;upnp:album>Rock &amp;amp; Roll&lt;/upnp:album>&lt;/item>") in raw, raw
        assert "&gt;" not in raw and "&quot;" not in raw and "&apos;" not in raw

        # GUPnP finds the device, calls Browse and parses the DIDL-Lite.
        script = os.path.join(os.path.dirname(__file__), "gupnp_browse.py")
        out = subprocess.run(["/usr/bin/python3", script, "lo", "20", "Rock & Roll"],
                             capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        rows = [line.split("\t") for line in out.stdout.splitlines()]
        assert [r[:5] for r in rows] == [
            ["item", folder + "-0", folder, "Tom's 'Best' & more.mp3", "object.item.audioItem"],
            ["item", folder + "-1", folder, "cover.jpg", "object.item.imageItem"]], out.stdout
        assert rows[0][6:] == [str(len(song)), "http-get:*:audio/mpeg:MP3"]
        assert rows[1][7] == "http-get:*:image/jpeg:JPEG"
        # The URL the player read plays the file.
        status, _, data = http_call(rows[0][5])
        assert status == 200 and data == song
    finally:
        assert site.stop() == 0


def test_browse_in_pieces_equals_browse_whole(tmp_path):
    """A SOAP Browse whose request and answer arrive in pieces of a few bytes
    gets the answer it gets straight."""
    from split_relay import SplitRelay
    from test_split_reads import exchange, mask

    site = Site(str(tmp_path), param={"enable_media_server": "1"}, mime_types=MIME_TYPES)
    site.put("media/one.mp3", b"one" * 100)
    site.put("media/two & three.mp3", b"two" * 100)
    site.start()
    relay = None
    try:
        control = content_directory_control()
        for _ in range(100):
            if browse(control, "0")[1]["TotalMatches"] == "2":
                break
            time.sleep(0.1)
        relay = SplitRelay(2869, int(time.time()))
        path = urllib.parse.urlsplit(control).path
        body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/'
                'envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">'
                '<s:Body><u:Browse xmlns:u="%s"><ObjectID>0</ObjectID><BrowseFlag>'
                'BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0'
                '</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>'
                '</u:Browse></s:Body></s:Envelope>' % CDS).encode()
        data = ("POST %s HTTP/1.1\r\nHost: 127.0.0.1:2869\r\nContent-Type: text/xml; "
                "charset=\"utf-8\"\r\nSOAPACTION: \"%s#Browse\"\r\nContent-Length: %d\r\n"
                "Connection: close\r\n\r\n" % (path, CDS, len(body))).encode() + body
        whole = exchange(2869, data)
        assert whole.startswith(b"HTTP/1.1 200") and b"one.mp3" in whole, whole[:400]
        for _ in range(3):
            assert mask(exchange(relay.port, data)) == mask(whole)
    finally:
        if relay:
            relay.stop()
        assert site.stop() == 0
