"""The calendar benchmark's client: makes the calendar of N events (a tenth
recurring, a seventh in Europe/Berlin), loads it into this server, Radicale
and Xandikos, and times the same requests against each, one at a time over a
kept-alive connection. The time is that of the request and its whole answer;
every answer is then checked against what the generator knows of the data
(outside the time), and a wrong answer is printed as a failure, never as a
time. A request that takes longer than the timeout (TIMEOUT seconds, 60 by
default) is printed as "timeout": the server is stopped and started again on
the same data, and its remaining rounds of that row are given up.

Usage: caldav_bench.py WORK BINARY SERVER_CORE ROUNDS N[,N...]
With several sizes, every size gets its own calendars and its own table, and
a last table puts each row's times side by side by size.
"""

import base64
import datetime
import http.client
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from zoneinfo import ZoneInfo

D = "{DAV:}"
C = "{urn:ietf:params:xml:ns:caldav}"
UTC = datetime.timezone.utc
BERLIN = ZoneInfo("Europe/Berlin")
MONTH = (datetime.datetime(2025, 3, 1, tzinfo=UTC), datetime.datetime(2025, 4, 1, tzinfo=UTC))
VTIMEZONE = ("BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:STANDARD\r\n"
             "DTSTART:19701025T030000\r\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\n"
             "TZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\nBEGIN:DAYLIGHT\r\n"
             "DTSTART:19700329T020000\r\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\n"
             "TZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\nEND:DAYLIGHT\r\nEND:VTIMEZONE\r\n")
RULES = [("WEEKLY", 20, datetime.timedelta(weeks=1)), ("DAILY", 30, datetime.timedelta(days=1))]


def generate(n):
    """name -> text, and the expected matches and instances of the month."""
    objects, matches, instances = {}, set(), 0
    base = datetime.datetime(2024, 1, 1, 8, 0)
    for i in range(n):
        name = "ev%05d.ics" % i
        local = base + datetime.timedelta(hours=(i * 2617) % (3 * 365 * 24))
        zoned = i % 7 == 0
        recurring = i % 10 == 0
        tz = BERLIN if zoned else UTC
        if zoned:
            start = "DTSTART;TZID=Europe/Berlin:%s" % local.strftime("%Y%m%dT%H%M%S")
        else:
            start = "DTSTART:%sZ" % local.strftime("%Y%m%dT%H%M%S")
        rule = ""
        starts = [local]
        if recurring:
            freq, count, step = RULES[(i // 10) % 2]
            rule = "RRULE:FREQ=%s;COUNT=%d\r\n" % (freq, count)
            starts = [local + k * step for k in range(count)]
        hit = 0
        for s in starts:
            u = s.replace(tzinfo=tz).astimezone(UTC)
            if u < MONTH[1] and u + datetime.timedelta(hours=1) > MONTH[0]:
                hit += 1
        if hit:
            matches.add(name)
            instances += hit
        objects[name] = ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//tq//bench//EN\r\n%s"
                         "BEGIN:VEVENT\r\nUID:ev%05d@bench\r\nDTSTAMP:20240101T000000Z\r\n%s\r\n"
                         "DURATION:PT1H\r\n%sSUMMARY:Event %d\r\nDESCRIPTION:Benchmark event "
                         "number %d with a little text\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n"
                         % (VTIMEZONE if zoned else "", i, start, rule, i, i))
    return objects, matches, instances


class Failure(Exception):
    pass


class Timeout(Exception):
    pass


TIMEOUT = float(os.environ.get("TIMEOUT", "60"))


class Server:
    def __init__(self, name, port, collection, headers, proc, launch):
        self.name, self.port, self.collection, self.headers = name, port, collection, headers
        self.proc, self.launch = proc, launch
        self.conn = None

    def restart(self):
        """A server still busy with a request given up on is stopped and
        started again on the same data, so the next row does not queue
        behind it."""
        if self.conn is not None:
            self.conn.close()
            self.conn = None
        stop(self.proc)
        self.proc = self.launch()

    def request(self, method, path, body=None, extra=None):
        h = dict(self.headers)
        h.update(extra or {})
        for attempt in range(2):
            if self.conn is None:
                self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=TIMEOUT)
            try:
                self.conn.request(method, path, body=body, headers=h)
                r = self.conn.getresponse()
                data = r.read()
                if r.getheader("connection", "").lower() == "close":
                    self.conn.close()
                    self.conn = None
                return r.status, data
            except socket.timeout:
                self.conn.close()
                self.conn = None
                raise Timeout()
            except (http.client.HTTPException, OSError):
                self.conn.close()
                self.conn = None
                if attempt:
                    raise


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:  # a server that does not stop is stopped
            proc.kill()
            proc.wait()


def wait_port(port, proc, name):
    for _ in range(600):
        if proc.poll() is not None:
            raise Failure("%s ended at start" % name)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.1)
    raise Failure("%s did not open port %d" % (name, port))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def responses(status, body, what):
    if status != 207:
        raise Failure("%s answered %d: %r" % (what, status, body[:300]))
    root = ET.fromstring(body)
    out = {}
    for r in root.findall(D + "response"):
        href = r.findtext(D + "href")
        ok = [ps for ps in r.findall(D + "propstat")
              if (ps.findtext(D + "status") or "").split(" ")[1:2] == ["200"]]
        if not ok:
            raise Failure("%s: %s answered without a 200 propstat" % (what, href))
        out[href.rstrip("/").rsplit("/", 1)[-1]] = ok[0].find(D + "prop")
    return out


QUERY = ('<?xml version="1.0" encoding="utf-8"?><C:calendar-query xmlns:D="DAV:" '
         'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><D:getetag/><C:calendar-data>%s'
         '</C:calendar-data></D:prop><C:filter><C:comp-filter name="VCALENDAR">'
         '<C:comp-filter name="VEVENT"><C:time-range start="20250301T000000Z" '
         'end="20250401T000000Z"/></C:comp-filter></C:comp-filter></C:filter></C:calendar-query>')
EXPAND = '<C:expand start="20250301T000000Z" end="20250401T000000Z"/>'
PROPFIND = ('<?xml version="1.0" encoding="utf-8"?><D:propfind xmlns:D="DAV:"><D:prop>'
            '<D:getetag/><D:getcontenttype/><D:resourcetype/></D:prop></D:propfind>')


def operations(objects, matches, instances, n):
    """(label, send, check): send makes the request and reads the whole answer
    (the time measured); check looks at what came back, outside the time, so
    the client's own XML parsing is not counted as the server's."""
    names = sorted(objects)
    multiget_names = names[::max(1, len(names) // 500)][:500]
    counter = [0]

    def query_send(s):
        return s.request("REPORT", s.collection, QUERY % "", {"Depth": "1"})

    def query_check(answer):
        got = responses(*answer, "query")
        if set(got) != matches:
            raise Failure("query: %d objects, expected %d" % (len(got), len(matches)))

    def expand_send(s):
        return s.request("REPORT", s.collection, QUERY % EXPAND, {"Depth": "1"})

    def expand_check(answer):
        got = responses(*answer, "expand")
        if set(got) != matches:
            raise Failure("expand: %d objects, expected %d" % (len(got), len(matches)))
        total = sum((p.findtext(C + "calendar-data") or "").count("BEGIN:VEVENT")
                    for p in got.values())
        if total != instances or any("RRULE" in (p.findtext(C + "calendar-data") or "")
                                     for p in got.values()):
            raise Failure("expand: %d instances, expected %d" % (total, instances))

    def propfind_send(s):
        return s.request("PROPFIND", s.collection, PROPFIND, {"Depth": "1"})

    def propfind_check(answer):
        got = responses(*answer, "propfind")
        items = {k for k, p in got.items() if k.endswith(".ics")}
        if len(items) < n or not set(names) <= items:
            raise Failure("propfind: %d objects, expected %d" % (len(items), n))
        if any(not (got[k].findtext(D + "getetag") or "") for k in names):
            raise Failure("propfind: an object without an entity tag")

    def multiget_send(s):
        body = ('<?xml version="1.0" encoding="utf-8"?><C:calendar-multiget xmlns:D="DAV:" '
                'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><D:getetag/><C:calendar-data/>'
                '</D:prop>%s</C:calendar-multiget>'
                % "".join("<D:href>%s%s</D:href>" % (s.collection, m) for m in multiget_names))
        return s.request("REPORT", s.collection, body, {"Depth": "1"})

    def multiget_check(answer):
        got = responses(*answer, "multiget")
        if set(got) != set(multiget_names):
            raise Failure("multiget: %d objects, expected %d" % (len(got), len(multiget_names)))
        for m in multiget_names:
            # The same content lines; a server may write them in another order.
            text = (got[m].findtext(C + "calendar-data") or "").replace("\r\n", "\n")
            if sorted(text.split()) != sorted(objects[m].replace("\r\n", "\n").split()):
                raise Failure("multiget: %s came back changed" % m)

    def put_send(s):
        counter[0] += 1
        name = "new%05d.ics" % counter[0]
        text = objects[names[1]].replace("ev00001@bench", "new%05d@bench" % counter[0])
        return s.request("PUT", s.collection + name, text.encode(),
                         {"Content-Type": "text/calendar", "If-None-Match": "*"})

    def put_check(answer):
        status, body = answer
        if status not in (201, 204):
            raise Failure("put answered %d: %r" % (status, body[:200]))

    ops = [("month query", query_send, query_check),
           ("month query, expanded", expand_send, expand_check),
           ("PROPFIND Depth 1", propfind_send, propfind_check),
           ("multiget of 500", multiget_send, multiget_check),
           ("PUT into the full calendar", put_send, put_check)]
    # OPS=put (words of the labels, comma-separated) times only those rows.
    wanted = [w.strip().lower() for w in os.environ.get("OPS", "").split(",") if w.strip()]
    return [op for op in ops if not wanted or any(w in op[0].lower() for w in wanted)]


def cpu_seconds(pid):
    """User and system time of the process, all its threads."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def time_all(server, ops, rounds):
    out = {}
    for label, send, check in ops:
        t = time.perf_counter()
        try:
            check(send(server))  # warm-up (caches, first reads), checked like the rest
            times = []
            cpu = cpu_seconds(server.proc.pid)
            for _ in range(rounds):
                t = time.perf_counter()
                answer = send(server)
                times.append(time.perf_counter() - t)
                check(answer)
            cpu = (cpu_seconds(server.proc.pid) - cpu) / rounds * 1000
            out[label] = statistics.median(times) * 1000
            # What other load on the machine distorts least: the server's own
            # CPU time per request (its checks run while it is idle).
            print("  %s / %s: %.2f ms median, %.2f ms CPU per request"
                  % (server.name, label, out[label], cpu), flush=True)
        except Timeout:
            out[label] = "timeout"
            print("TIMEOUT %s / %s: no answer within %g s" % (server.name, label, TIMEOUT),
                  flush=True)
            server.restart()
        except Failure as e:
            out[label] = None
            print("FAILED %s / %s: %s (the wrong answer took %.1f ms)"
                  % (server.name, label, e, (time.perf_counter() - t) * 1000), flush=True)
        except Exception as e:  # a dead server or a broken connection
            out[label] = None
            print("FAILED %s / %s: %r" % (server.name, label, e), flush=True)
    return out


def write_objects(folder, objects):
    for name, text in objects.items():
        with open(os.path.join(folder, name), "w", newline="") as f:
            f.write(text)


def start_teskqvel(work, binary, core, objects):
    data = os.path.join(work, "tq", "Tesk", "teskqvel")
    pub = os.path.join(data, "pub")
    cal = os.path.join(pub, "private", "bench", "caldav_personal")
    os.makedirs(cal)
    os.makedirs(os.path.join(pub, "users", "bench"))
    with open(os.path.join(pub, "users", ".htaccess"), "w") as f:
        f.write("Require all denied\n")
    with open(os.path.join(pub, "users", "bench", "profile.txt"), "w") as f:
        f.write('"password","bench"\r\n')
    with open(os.path.join(cal, ".htaccess"), "w") as f:
        f.write("qvel_lock on\n")
    write_objects(cal, objects)
    port = free_port()
    with open(os.path.join(data, "global.ini"), "w") as f:
        f.write("[param]\r\nserver_port=%d\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\n"
                "trace=0\r\nfunc_trace=0\r\n" % port)
    with open(os.path.join(data, ".htaccess"), "w") as f:
        f.write("AuthType Basic\nAuthName cal\nAuthUserFile /users\nRequire valid-user\n"
                "FileETag All\nqvel_logging disable\n")
    with open(os.path.join(data, "mime.types"), "w") as f:
        f.write("text/calendar ics\ntext/plain txt\n")
    env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "tq"))

    def launch():
        proc = subprocess.Popen(["taskset", "-c", str(core), binary], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(port, proc, "teskqvel")
        return proc

    auth = "Basic " + base64.b64encode(b"bench:bench").decode()
    return Server("teskqvel", port, "/private/bench/caldav_personal/",
                  {"Authorization": auth, "Content-Type": "application/xml"}, launch(), launch)


def start_radicale(work, core, objects):
    root = os.path.join(work, "radicale")
    cal = os.path.join(root, "collection-root", "bench", "calendar")
    os.makedirs(cal)
    with open(os.path.join(root, "collection-root", "bench", ".Radicale.props"), "w") as f:
        f.write("{}")
    with open(os.path.join(cal, ".Radicale.props"), "w") as f:
        f.write('{"tag": "VCALENDAR"}')
    write_objects(cal, objects)
    port = free_port()

    def launch():
        proc = subprocess.Popen(
            ["taskset", "-c", str(core), "/usr/bin/python3", "-m", "radicale",
             "--server-hosts", "127.0.0.1:%d" % port, "--storage-filesystem-folder", root,
             "--auth-type", "none", "--rights-type", "authenticated", "--logging-level",
             "warning"],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "radicale.log"), "a"))
        wait_port(port, proc, "radicale")
        return proc

    auth = "Basic " + base64.b64encode(b"bench:bench").decode()
    return Server("radicale", port, "/bench/calendar/",
                  {"Authorization": auth, "Content-Type": "application/xml"}, launch(), launch)


def start_xandikos(work, core, objects):
    root = os.path.join(work, "xandikos")
    port = free_port()
    cmd = ["taskset", "-c", str(core), shutil.which("xandikos"), "-d", root, "--defaults",
           "-p", str(port), "-l", "127.0.0.1"]

    def launch():
        proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL,
                                stderr=open(os.path.join(work, "xandikos.log"), "a"))
        wait_port(port, proc, "xandikos")
        return proc

    # The first start makes the calendar, a git repository: the objects go
    # in as one commit.
    stop(launch())
    cal = os.path.join(root, "user", "calendars", "calendar")
    write_objects(cal, objects)
    git = ["git", "-C", cal, "-c", "user.name=bench", "-c", "user.email=bench@localhost"]
    subprocess.run(git + ["add", "-A"], check=True, capture_output=True)
    subprocess.run(git + ["commit", "-qm", "bench data"], check=True, capture_output=True)
    return Server("xandikos", port, "/user/calendars/calendar/",
                  {"Content-Type": "application/xml"}, launch(), launch)


def cell(v):
    if v is None:
        return "FAILED"
    if v == "timeout":
        return "timeout"
    return "%.2f" % v


def run_size(work, binary, core, rounds, n, servers):
    """Times every row on each server for a calendar of n events; returns
    {server: {label: ms, None (failed) or "timeout"}} and whether starting
    a server failed."""
    os.makedirs(work)
    objects, matches, instances = generate(n)
    print("calendar: %d events, %d recurring, %d in Europe/Berlin; the month holds %d objects "
          "and %d instances" % (n, len([i for i in range(n) if i % 10 == 0]),
                                len([i for i in range(n) if i % 7 == 0]), len(matches),
                                instances), flush=True)
    results, failed = {}, False
    starts = [("teskqvel", lambda: start_teskqvel(work, binary, core, objects)),
              ("radicale", lambda: start_radicale(work, core, objects)),
              ("xandikos", lambda: start_xandikos(work, core, objects))]
    for start in [f for name, f in starts if not servers or name in servers]:
        try:
            server = start()
        except (Failure, subprocess.CalledProcessError, OSError) as e:
            print("FAILED to start: %s" % e, flush=True)
            failed = True
            continue
        try:
            results[server.name] = time_all(server, operations(objects, matches, instances, n),
                                            rounds)
        finally:
            stop(server.proc)
        print("%s: %s" % (server.name, ", ".join(
            "%s %s" % (k, cell(v))
            for k, v in results[server.name].items())), flush=True)
    labels = [op[0] for op in operations(objects, matches, instances, n)]
    print("\n%-28s %12s %12s %12s %10s %10s" % ("median ms, %d events" % n, "teskqvel",
                                                 "radicale", "xandikos", "vs rad.", "vs xan."))
    for label in labels:
        row = [results.get(s, {}).get(label) for s in ("teskqvel", "radicale", "xandikos")]
        ratios = []
        for peer in row[1:]:
            if not isinstance(row[0], float) or peer is None:
                ratios.append("%10s" % "-")
            elif peer == "timeout":
                ratios.append("%10s" % (">%.0fx" % (TIMEOUT * 1000 / row[0])))
            else:
                ratios.append("%9.1fx" % (peer / row[0]))
        print("%-28s %s %s" % (label, " ".join(
            "%12s" % (cell(v) if s in results else "-")
            for s, v in zip(("teskqvel", "radicale", "xandikos"), row)), " ".join(ratios)))
    print("(ratio: the peer's time over this server's; above 1 means this server is faster; "
          "'>' marks a peer that timed out)\n", flush=True)
    shutil.rmtree(work, ignore_errors=True)
    return results, labels, failed


def main():
    work, binary, core, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    sizes = [int(w) for w in sys.argv[5].split(",") if w.strip()]
    # SERVERS=teskqvel,xandikos runs only those.
    servers = [w.strip() for w in os.environ.get("SERVERS", "").split(",") if w.strip()]
    by_size, failed, labels = {}, False, []
    for n in sizes:
        results, labels, start_failed = run_size(os.path.join(work, str(n)), binary, core,
                                                 rounds, n, servers)
        by_size[n] = results
        # This server failing or timing out fails the run; a peer's timeout
        # is a measurement of the peer.
        failed = failed or start_failed or any(
            not isinstance(v, float) for v in results.get("teskqvel", {}).values()) or any(
            v is None for r in results.values() for v in r.values())
    if len(sizes) > 1:
        print("%-28s %s" % ("median ms by size", " ".join(
            "%26s" % ("%d events" % n) for n in sizes)))
        print("%-28s %s" % ("", " ".join("%8s %8s %8s" % ("tq", "rad.", "xan.") for n in sizes)))
        for label in labels:
            print("%-28s %s" % (label, " ".join(
                "%8s %8s %8s" % tuple(cell(by_size[n].get(s, {}).get(label, None))
                                      if s in by_size[n] else "-"
                                      for s in ("teskqvel", "radicale", "xandikos"))
                for n in sizes)))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
