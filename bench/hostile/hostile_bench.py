"""Sends each hostile body once to this server, lighttpd mod_webdav and
Radicale (where the body fits what each serves) and prints the answer's
status, the server's CPU seconds for it and its peak resident memory during
it (the peak is reset before each request through /proc/PID/clear_refs).
Usage: hostile_bench.py WORK_DIR TESKQVEL_BINARY (run by run.sh)."""

import base64
import http.client
import os
import socket
import subprocess
import sys
import threading
import time

HOST = "127.0.0.1"
# The proxy rows pass on heads of thousands of fields, which the client reads.
http.client._MAXHEADERS = 100000
TIMEOUT = 60


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_port(port, proc, name):
    for _ in range(300):
        if proc.poll() is not None:
            sys.exit("%s ended at start" % name)
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    sys.exit("%s did not listen on %d" % (name, port))


def ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def one_request(port, method, path, body, headers, pid):
    with open("/proc/%d/clear_refs" % pid, "w") as f:
        f.write("5")  # resets the peak resident size
    before = ticks(pid)
    c = http.client.HTTPConnection(HOST, port, timeout=TIMEOUT)
    try:
        c.request(method, path, body=body, headers=headers)
        r = c.getresponse()
        data = r.read()
        status = r.status
    except (OSError, http.client.HTTPException) as e:
        status, data = type(e).__name__, b""
    finally:
        c.close()
    # Work that outlives its answer still counts: wait until the process is idle.
    last = ticks(pid)
    for _ in range(300):
        time.sleep(0.1)
        now = ticks(pid)
        if now == last:
            break
        last = now
    hz = os.sysconf("SC_CLK_TCK")
    return (status, len(data), (last - before) / hz, status_kb(pid, "VmHWM") / 1024,
            status_kb(pid, "VmRSS") / 1024)


# --- the bodies ---------------------------------------------------------------

def propfind_attrs(n, prefix="a"):
    attrs = "".join(' %s%d="v"' % (prefix, i) for i in range(n))
    return '<D:propfind xmlns:D="DAV:"><D:prop%s><D:getetag/></D:prop></D:propfind>' % attrs


def propfind_xmlns(n):
    decl = "".join(' xmlns:p%d="urn:x%d"' % (i, i) for i in range(n))
    return '<D:propfind xmlns:D="DAV:"%s><D:prop><D:getetag/></D:prop></D:propfind>' % decl


def soap_attrs(n):
    attrs = "".join(' a%d="v"' % i for i in range(n))
    return ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/">'
            '<s:Body><u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"%s>'
            '<ObjectID>0</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>'
            '<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria/>'
            '</u:Browse></s:Body></s:Envelope>' % attrs)


def nested(depth):
    inner = "".join("BEGIN:X%d\r\nP:1\r\n" % (i % 10) for i in range(depth))
    ends = "".join("END:X%d\r\n" % (i % 10) for i in reversed(range(depth)))
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n" + inner + ends + "END:VCALENDAR\r\n"


def event(uid, rules=("FREQ=DAILY;COUNT=10",)):
    lines = "".join("RRULE:%s\r\n" % r for r in rules)
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\nBEGIN:VEVENT\r\nUID:%s\r\n"
            "DTSTAMP:20200101T000000Z\r\nDTSTART:20200101T000000Z\r\nDURATION:PT1S\r\n%s"
            "SUMMARY:hostile\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n" % (uid, lines))


def query(expand=None, rng=None):
    data = '<C:calendar-data/>' if not expand else (
        '<C:calendar-data><C:expand start="%s" end="%s"/></C:calendar-data>' % expand)
    inner = '<C:comp-filter name="VEVENT"><C:time-range start="%s" end="%s"/></C:comp-filter>' \
        % rng if rng else ""
    return ('<C:calendar-query xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop>'
            '<D:getetag/>%s</D:prop><C:filter><C:comp-filter name="VCALENDAR">%s</C:comp-filter>'
            '</C:filter></C:calendar-query>' % (data, inner))


def multiget(base, names):
    hrefs = "".join("<D:href>%s%s</D:href>" % (base, n) for n in names)
    return ('<C:calendar-multiget xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop>'
            '<D:getetag/><C:calendar-data/></D:prop>%s</C:calendar-multiget>' % hrefs)


def card_query(pattern):
    return ('<C:addressbook-query xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:carddav">'
            '<D:prop><D:getetag/></D:prop><C:filter><C:prop-filter name="EMAIL"><C:text-match '
            'collation="i;unicode-casemap">%s</C:text-match></C:prop-filter></C:filter>'
            '</C:addressbook-query>' % pattern)


def many_emails(n):
    emails = "".join("EMAIL:user%d@example.com\r\n" % i for i in range(n))
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:many\r\nFN:Many\r\n%sEND:VCARD\r\n" % emails


# --- the servers --------------------------------------------------------------

class server:
    def __init__(self, name, proc, port, cal, card, headers):
        self.name, self.proc, self.port = name, proc, port
        self.cal, self.card, self.headers = cal, card, headers

    def send(self, method, path, body, extra=None):
        h = dict(self.headers)
        h.update(extra or {})
        return one_request(self.port, method, path, body.encode() if body else None, h,
                           self.proc.pid)


def start_teskqvel(work, binary):
    data = os.path.join(work, "tq", "Tesk", "teskqvel")
    pub = os.path.join(data, "pub")
    for d in ("private/bench", "users/bench", "media"):
        os.makedirs(os.path.join(pub, d))
    with open(os.path.join(pub, "users", ".htaccess"), "w") as f:
        f.write("Require all denied\n")
    with open(os.path.join(pub, "users", "bench", "profile.txt"), "w") as f:
        f.write('"password","bench"\r\n')
    with open(os.path.join(pub, "media", "song.mp3"), "wb") as f:
        f.write(b"\xff" * 4096)
    port = free_port()
    proxy_port = free_port()
    with open(os.path.join(data, "global.ini"), "w") as f:
        f.write("[param]\r\nserver_port=%d\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\n"
                "proxy_port=%d\r\ntrace=0\r\nfunc_trace=0\r\nenable_media_server=1\r\n"
                % (port, proxy_port))
    with open(os.path.join(data, ".htaccess"), "w") as f:
        f.write("AuthType Basic\nAuthName cal\nAuthUserFile /users\nRequire valid-user\n"
                "qvel_logging disable\n")
    with open(os.path.join(data, "mime.types"), "w") as f:
        f.write("text/calendar ics\ntext/vcard vcf\ntext/plain txt\naudio/mpeg mp3\n")
    env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "tq"))
    proc = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    wait_port(port, proc, "teskqvel")
    auth = "Basic " + base64.b64encode(b"bench:bench").decode()
    s = server("teskqvel", proc, port, "/private/bench/caldav_personal/",
               "/private/bench/carddav_personal/",
               {"Authorization": auth, "Content-Type": "application/xml"})
    for ns, prop in (("caldav", "calendar-home-set"), ("carddav", "addressbook-home-set")):
        s.send("PROPFIND", "/private/bench/", '<D:propfind xmlns:D="DAV:" xmlns:C="urn:ietf:'
               'params:xml:ns:%s"><D:prop><C:%s/></D:prop></D:propfind>' % (ns, prop),
               {"Depth": "0"})
    s.store = os.path.join(pub, "private", "bench")
    s.proxy_port = proxy_port
    return s


# An upstream for the proxy whose every answer has the head given: a server
# the client names can send any head within the proxy's limit.
def hostile_upstream(head):
    listener = socket.socket()
    listener.bind((HOST, 0))
    listener.listen(8)

    def serve():
        while True:
            c, _ = listener.accept()
            with c:
                got = b""
                while b"\r\n\r\n" not in got:
                    piece = c.recv(65536)
                    if not piece:
                        break
                    got += piece
                c.sendall(head + b"Content-Length: 2\r\n\r\nok")

    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def start_lighttpd(work):
    docs = os.path.join(work, "lighttpd")
    os.makedirs(os.path.join(docs, "private", "bench", "caldav_personal"))
    port = free_port()
    conf = os.path.join(work, "lighttpd.conf")
    with open(conf, "w") as f:
        f.write('server.modules += ( "mod_webdav" )\nserver.document-root = "%s"\n'
                'server.bind = "127.0.0.1"\nserver.port = %d\nwebdav.activate = "enable"\n'
                'server.max-request-size = 8192\n' % (docs, port))
    proc = subprocess.Popen(["lighttpd", "-D", "-f", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    wait_port(port, proc, "lighttpd")
    return server("lighttpd", proc, port, "/private/bench/caldav_personal/", None,
                  {"Content-Type": "application/xml"})


def start_radicale(work):
    root = os.path.join(work, "radicale")
    user = os.path.join(root, "collection-root", "bench")
    for name, tag in (("calendar", "VCALENDAR"), ("contacts", "VADDRESSBOOK")):
        os.makedirs(os.path.join(user, name))
        with open(os.path.join(user, name, ".Radicale.props"), "w") as f:
            f.write('{"tag": "%s"}' % tag)
    with open(os.path.join(user, ".Radicale.props"), "w") as f:
        f.write("{}")
    port = free_port()
    proc = subprocess.Popen(
        ["/usr/bin/python3", "-m", "radicale", "--server-hosts", "127.0.0.1:%d" % port,
         "--storage-filesystem-folder", root, "--auth-type", "none", "--rights-type",
         "authenticated", "--logging-level", "warning"],
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "radicale.log"), "w"))
    wait_port(port, proc, "radicale")
    auth = "Basic " + base64.b64encode(b"bench:bench").decode()
    return server("radicale", proc, port, "/bench/calendar/", "/bench/contacts/",
                  {"Authorization": auth, "Content-Type": "application/xml"})


def soap_control_port():
    """The media server's fixed UPnP port and its ContentDirectory control path."""
    c = http.client.HTTPConnection(HOST, 2869, timeout=10)
    for _ in range(100):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(0.5)
        s.sendto(b"M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\""
                 b"\r\nST: urn:schemas-upnp-org:service:ContentDirectory:1\r\n\r\n",
                 (HOST, 1900))
        try:
            data = s.recv(4096).decode()
        except OSError:
            time.sleep(0.2)
            continue
        finally:
            s.close()
        location = [l.split(":", 1)[1].strip() for l in data.split("\r\n")
                    if l.lower().startswith("location:")][0]
        c.request("GET", location.split(":2869", 1)[1])
        desc = c.getresponse().read().decode()
        start = desc.index("ContentDirectory:1</serviceType>")
        control = desc[desc.index("<controlURL>", start) + 12:desc.index("</controlURL>", start)]
        return control
    return None


def show(row):
    label, who, status, size, cpu, peak, after = row
    print("%-44s %-9s %8s %10d %9.2f %9.0f %9.0f" % (label, who, status, size, cpu, peak, after),
          flush=True)


def main():
    work, binary = sys.argv[1], sys.argv[2]
    tq = start_teskqvel(work, binary)
    peers = {"lighttpd": start_lighttpd(work), "radicale": start_radicale(work)}
    print("%-44s %-9s %8s %10s %9s %9s %9s" % ("request", "server", "status", "bytes",
                                               "CPU s", "peak MB", "after MB"), flush=True)

    def run(label, who, method, body, target="cal", extra=None, setup=None):
        s = tq if who == "teskqvel" else peers[who]
        base = getattr(s, target) if target in ("cal", "card") else target
        if base is None:
            return
        if setup:
            setup(s)
        path = base
        if isinstance(body, tuple):  # (name, body) for a PUT
            path, body = base + body[0], body[1]
        show((label, who) + s.send(method, path, body, extra))

    def put_objects(objects, target="cal"):
        def setup(s):
            for name, text in objects:
                base = getattr(s, target)
                s.send("PUT", base + name, text, {"Content-Type": "text/calendar"})
        return setup

    all_servers = ("teskqvel", "lighttpd")
    cal_servers = ("teskqvel", "radicale")
    for who in all_servers:
        run("PROPFIND 256 attributes (legal)", who, "PROPFIND", propfind_attrs(256),
            extra={"Depth": "0"})
        run("PROPFIND 50,000 attributes", who, "PROPFIND", propfind_attrs(50000),
            extra={"Depth": "0"})
        run("PROPFIND 100,000 attributes", who, "PROPFIND", propfind_attrs(100000),
            extra={"Depth": "0"})
        run("PROPFIND 100,000 xmlns", who, "PROPFIND", propfind_xmlns(100000),
            extra={"Depth": "0"})
    for label, fields in (("proxy: upstream head of 5,000 fields", b"".join(
                              b"x%d: 1\r\n" % i for i in range(5000))),
                          ("proxy: upstream head of 10,000 of one field", b"a: 1\r\n" * 10000)):
        up = hostile_upstream(b"HTTP/1.1 200 OK\r\n" + fields)
        show((label, "teskqvel") + one_request(
            tq.proxy_port, "GET", "/", None,
            {"Host": "%s:%d" % (HOST, up), "Authorization": tq.headers["Authorization"]},
            tq.proc.pid))
    control = soap_control_port()
    if control:
        for n, label in ((30, "SOAP Browse 30 attributes (legal)"),
                         (22000, "SOAP Browse 22,000 attributes")):
            show((label, "teskqvel") + one_request(
                2869, "POST", control, soap_attrs(n).encode(),
                {"Content-Type": 'text/xml; charset="utf-8"',
                 "SOAPACTION": '"urn:schemas-upnp-org:service:ContentDirectory:1#Browse"'},
                tq.proc.pid))
    for who in cal_servers:
        run("PUT object nested 16 deep (legal)", who, "PUT", ("n16.ics", nested(15)),
            extra={"Content-Type": "text/calendar"})
        run("PUT object nested 32,000 deep", who, "PUT", ("deep.ics", nested(32000)),
            extra={"Content-Type": "text/calendar"})
        run("query after the nested PUT", who, "REPORT", query(), extra={"Depth": "1"})
    # Objects placed in the store folder directly where PUT refuses them.
    with open(os.path.join(tq.store, "caldav_personal", "deep-disk.ics"), "w") as f:
        f.write(nested(32000))
    run("query over a 32,000-deep file", "teskqvel", "REPORT", query(), extra={"Depth": "1"})
    os.unlink(os.path.join(tq.store, "caldav_personal", "deep-disk.ics"))
    for who in cal_servers:
        s = tq if who == "teskqvel" else peers[who]
        for name in ("n16.ics", "deep.ics"):
            s.send("DELETE", s.cal + name, None)
        ticks_ = [("s%d.ics" % i, event("s%d" % i, ["FREQ=SECONDLY"])) for i in range(100)]
        run("expand 100 SECONDLY objects, 10,000 years", who, "REPORT",
            query(("20200101T000000Z", "99991231T000000Z")), extra={"Depth": "1"},
            setup=put_objects(ticks_))
        for name, _ in ticks_:
            s.send("DELETE", s.cal + name, None)
        run("time-range over 200 SECONDLY rules", who, "REPORT",
            query(rng=("20200101T000000Z", "99991231T000000Z")), extra={"Depth": "1"},
            setup=put_objects([("r200.ics", event("r200", ["FREQ=SECONDLY;BYSECOND=%d" % (i % 60)
                                                           for i in range(200)]))]))
        s.send("DELETE", s.cal + "r200.ics", None)
    big = ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:big\r\nDTSTART:20200101T000000Z"
           "\r\nDESCRIPTION:" + "x" * (41 * 1024 * 1024) + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n")
    legal = big[:7 * 1024 * 1024] + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n"
    for who in cal_servers:
        run("multiget of a 7 MB object (legal)", who, "REPORT", multiget(
            (tq if who == "teskqvel" else peers[who]).cal, ["legal.ics"]),
            extra={"Depth": "1"}, setup=put_objects([("legal.ics", legal)]))
        run("PUT a 41 MB object", who, "PUT", ("big.ics", big),
            extra={"Content-Type": "text/calendar"})
    with open(os.path.join(tq.store, "caldav_personal", "big.ics"), "w") as f:
        f.write(big)
    for who in cal_servers:
        s = tq if who == "teskqvel" else peers[who]
        run("multiget of a 41 MB object", who, "REPORT", multiget(s.cal, ["big.ics"]),
            extra={"Depth": "1"})
    for who in cal_servers:
        s = tq if who == "teskqvel" else peers[who]
        s.send("PUT", s.card + "many.vcf", many_emails(50000), {"Content-Type": "text/vcard"})
        run("vCard text-match, 4 KB pattern (legal)", who, "REPORT", card_query("x" * 4096),
            target="card", extra={"Depth": "1"})
        run("vCard text-match, 400 KB pattern", who, "REPORT", card_query("x" * 400000),
            target="card", extra={"Depth": "1"})

    # Stopping while the server works: five 100,000-attribute bodies and five
    # expansions in flight, then SIGTERM; the time until the process is gone.
    for i in range(40):
        tq.send("PUT", tq.cal + "t%d.ics" % i, event("t%d" % i, ["FREQ=SECONDLY"]),
                {"Content-Type": "text/calendar"})
    hostile = [("PROPFIND", propfind_attrs(100000))] * 5 + \
        [("REPORT", query(("20200101T000000Z", "99991231T000000Z")))] * 5
    for method, body in hostile:
        threading.Thread(target=lambda m=method, b=body: one_request_quiet(tq, m, b),
                         daemon=True).start()
    time.sleep(1)
    for s in [tq] + list(peers.values()):
        s.proc.terminate()
    start = time.monotonic()
    tq.proc.wait(timeout=600)
    print("teskqvel stopped %.1f s after SIGTERM with 10 hostile requests in flight"
          % (time.monotonic() - start))
    for p in peers.values():
        try:
            p.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:  # a peer still busy with a body
            p.proc.kill()
            p.proc.wait(timeout=60)


def one_request_quiet(s, method, body):
    c = http.client.HTTPConnection(HOST, s.port, timeout=TIMEOUT)
    try:
        h = dict(s.headers, Depth="1")
        c.request(method, s.cal, body=body.encode(), headers=h)
        c.getresponse().read()
    except (OSError, http.client.HTTPException):
        pass
    finally:
        c.close()


if __name__ == "__main__":
    main()
