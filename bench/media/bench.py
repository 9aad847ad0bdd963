"""The media benchmark's measuring half; run.sh starts it in a network
namespace of its own (the UPnP ports are fixed). Scans a tree of media files
with this server and with minidlna, then browses a folder of 10,000 items on
both, interleaved, and prints times, ratios and memory.
Usage: bench.py BINARY WORK SERVER_CORE CLIENT_CORE ROUNDS"""

import http.client
import os
import re
import statistics
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

binary, work, server_core, client_core, rounds = sys.argv[1], sys.argv[2], sys.argv[3], \
    sys.argv[4], int(sys.argv[5])
os.sched_setaffinity(0, {int(client_core)})
CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
failures = []


def fail(text):
    failures.append(text)
    print("FAILED: " + text, flush=True)


def net_up():
    for cmd in (["ip", "link", "set", "lo", "up"], ["ip", "link", "set", "lo", "multicast", "on"],
                ["ip", "route", "add", "224.0.0.0/4", "dev", "lo"]):
        subprocess.run(cmd, check=True)


def resident_kib(pid):
    """Anonymous resident memory of one process (its heap: where a catalogue
    lives), without mapped files, whose pages come and go with the page cache
    and are shared with other processes. Children are not counted: ours has
    none that holds items, and minidlna's scanner child is gone once its scan
    has ended (wait_alone)."""
    for line in open("/proc/%d/status" % pid):
        if line.startswith("RssAnon:"):
            return int(line.split()[1])
    raise RuntimeError("no RssAnon for process %d" % pid)


def wait_alone(pid, limit=120):
    """Waits until the process has no children (minidlna scans in a forked
    child); false when one is still there at the limit."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if not subprocess.run(["pgrep", "-P", str(pid)], capture_output=True).stdout.split():
            return True
        time.sleep(0.05)
    return False


def daemon_pid(p, pid_file):
    """The pid of the serving minidlna process: the one it writes to its pid
    file (with -S it does not fork itself away, so it is the process started
    here; anything else is a failure, not a figure)."""
    for _ in range(200):
        try:
            pid = int(open(pid_file).read().split()[0])
            break
        except (FileNotFoundError, IndexError, ValueError):
            time.sleep(0.05)
    else:
        raise RuntimeError("minidlna wrote no pid file")
    if pid != p.pid or p.poll() is not None:
        raise RuntimeError("minidlna serves as process %d, not the one started (%d)" % (pid, p.pid))
    if not wait_alone(pid):
        raise RuntimeError("minidlna's scanner child did not end")
    return pid


def cpu_seconds(pid):
    """User + system time of the whole process, all its threads."""
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def context_switches(pid):
    total = 0
    for t in os.listdir("/proc/%d/task" % pid):
        try:
            for line in open("/proc/%d/task/%s/status" % (pid, t)):
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
        except FileNotFoundError:
            pass
    return total


def wait_for(path, pattern, limit=900):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            m = re.search(pattern, open(path, errors="replace").read())
            if m:
                return m
        except FileNotFoundError:
            pass
        time.sleep(0.01)
    return None


class soap_client:
    def __init__(self, port, path):
        self.port = port
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        self.path = path
        self.requests = 0
        # Seconds spent waiting for answers, up to the last byte: the part of
        # a Browse the server decides, without the client's own parsing.
        self.waited = 0.0
        # Where to save the raw answers (BENCH_DUMP=dir): one file per call.
        self.dump = None

    def post(self, body, action):
        """One call; a keep-alive connection the server closed while idle is
        opened again (outside the timed rounds, which follow one another)."""
        for attempt in (0, 1):
            try:
                self.conn.request("POST", self.path, body, {
                    "Content-Type": 'text/xml; charset="utf-8"',
                    "SOAPACTION": '"%s#%s"' % (CDS, action)})
                t0 = time.perf_counter()
                r = self.conn.getresponse()
                data = r.read()
                self.waited += time.perf_counter() - t0
                self.requests += 1
                return r.status, data
            except (http.client.HTTPException, OSError):
                self.conn.close()
                self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120)
                if attempt:
                    raise

    def browse(self, object_id, start=0, count=0):
        body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/'
                'envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
                '<u:Browse xmlns:u="%s"><ObjectID>%s</ObjectID><BrowseFlag>BrowseDirectChildren'
                '</BrowseFlag><Filter>*</Filter><StartingIndex>%d</StartingIndex><RequestedCount>'
                '%d</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body>'
                '</s:Envelope>' % (CDS, object_id, start, count))
        status, data = self.post(body, "Browse")
        if self.dump:
            with open("%s-%d.xml" % (self.dump, start), "wb") as f:
                f.write(data)
        if status != 200:
            raise RuntimeError("Browse %s answered %d" % (object_id, status))
        resp = ET.fromstring(data).find(".//{%s}BrowseResponse" % CDS)
        out = {c.tag: c.text or "" for c in resp}
        return int(out["NumberReturned"]), int(out["TotalMatches"]), out["Result"]

    def browse_all(self, object_id):
        """Every child, page after page as the server hands them out."""
        got, total, results = 0, None, []
        while total is None or got < total:
            n, total, result = self.browse(object_id, got, 0)
            if n == 0:
                break
            got += n
            results.append(result)
        return got, total, results

    def child_id(self, object_id, title):
        _, _, results = self.browse_all(object_id)
        for result in results:
            for node in ET.fromstring(result):
                t = node.find("{http://purl.org/dc/elements/1.1/}title")
                if t is not None and t.text == title:
                    return node.get("id")
        raise RuntimeError("no %s below %s" % (title, object_id))


def control_url():
    """The ContentDirectory's control path, found as a control point finds it."""
    import socket
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.5)
    for _ in range(40):
        s.sendto(("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
                  "ST: %s\r\n\r\n" % CDS).encode(), ("127.0.0.1", 1900))
        try:
            data = s.recv(4096).decode()
            break
        except socket.timeout:
            continue
    else:
        raise RuntimeError("no SSDP answer")
    location = re.search(r"LOCATION: http://127.0.0.1:2869(\S+)", data).group(1)
    c = http.client.HTTPConnection("127.0.0.1", 2869, timeout=10)
    c.request("GET", location)
    text = c.getresponse().read().decode()
    return re.search(r"<serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId>.*?"
                     r"<controlURL>([^<]+)</controlURL>", text, re.S).group(1)


def system_update_id(client):
    body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/">'
            '<s:Body><u:GetSystemUpdateID xmlns:u="%s"/></s:Body></s:Envelope>' % CDS)
    data = client.post(body, "GetSystemUpdateID")[1].decode()
    return int(re.search(r"<Id>(\d+)</Id>", data).group(1))


def start_ours(media_empty=False):
    data = os.path.join(work, "q", "Tesk", "teskqvel")
    os.makedirs(data, exist_ok=True)
    pub = os.path.join(work, "tree") if not media_empty else os.path.join(work, "empty")
    for f in ("trace.txt", "trace_old.txt"):
        if os.path.exists(os.path.join(data, f)):
            os.remove(os.path.join(data, f))
    with open(os.path.join(data, "global.ini"), "w") as f:
        f.write("[param]\r\nserver_port=18080\r\nhttps_port=0\r\nhost_name=127.0.0.1\r\n"
                "enable_media_server=1\r\nfunc_trace=1\r\npublic_dir=%s/\r\n" % pub)
    with open(os.path.join(data, ".htaccess"), "w") as f:
        f.write("Require all granted\nqvel_logging disable\n")
    with open(os.path.join(data, "mime.types"), "w") as f:
        f.write("audio/mpeg mp3\n")
    t0 = time.monotonic()
    p = subprocess.Popen(["taskset", "-c", server_core, binary], env=dict(
        os.environ, XDG_DATA_HOME=os.path.join(work, "q")), stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    trace = os.path.join(data, "trace.txt")
    if media_empty:
        ok = wait_for(trace, r"\*\*\*teskqvel server ready\*\*\*")
        time.sleep(1)
        return p, 0, ok is not None
    # The scan has ended when the update id turns 1.
    client = soap_client(2869, control_url())
    end = time.monotonic() + 900
    while time.monotonic() < end and system_update_id(client) < 1:
        time.sleep(0.01)
    elapsed = time.monotonic() - t0
    return p, elapsed, system_update_id(client) >= 1, client


def start_minidlna(media_empty=False):
    d = os.path.join(work, "m")
    subprocess.run(["rm", "-rf", d])
    os.makedirs(os.path.join(d, "db"))
    os.makedirs(os.path.join(d, "log"))
    media = os.path.join(work, "tree", "media") if not media_empty else \
        os.path.join(work, "empty", "media")
    with open(os.path.join(d, "conf"), "w") as f:
        f.write("media_dir=%s\ndb_dir=%s/db\nlog_dir=%s/log\nport=18200\nnetwork_interface=lo\n"
                "inotify=no\nfriendly_name=bench\n" % (media, d, d))
    t0 = time.monotonic()
    p = subprocess.Popen(["taskset", "-c", server_core, "minidlnad", "-f", d + "/conf", "-S",
                          "-R", "-P", d + "/pid"], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    m = wait_for(os.path.join(d, "log", "minidlna.log"), r"Scanning \S+ finished \((\d+) files\)")
    elapsed = time.monotonic() - t0
    return p, elapsed, m, os.path.join(d, "db", "files.db"), d + "/pid"


def stop(p):
    p.terminate()
    try:
        p.wait(timeout=60)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()


net_up()
files = int(open(os.path.join(work, "count")).read())

# Memory with an empty folder first: the cost of the catalogue is the difference.
p, _, ok = start_ours(media_empty=True)
base_ours = resident_kib(p.pid)
stop(p)
p, _, m, db, pid_file = start_minidlna(media_empty=True)
time.sleep(1)
try:
    base_mini = resident_kib(daemon_pid(p, pid_file))
except RuntimeError as e:
    fail("minidlna's memory, empty: %s" % e)
    base_mini = None
stop(p)

ours, t_ours, ok, q = start_ours()
if not ok:
    fail("this server did not finish its scan")
mem_ours = resident_kib(ours.pid) - base_ours
mini, t_mini, m, db, pid_file = start_minidlna()
if not m or int(m.group(1)) != files:
    fail("minidlna scanned %s files, not %d" % (m.group(1) if m else "no", files))
time.sleep(1)
try:
    mem_mini = resident_kib(daemon_pid(mini, pid_file)) - base_mini if base_mini is not None \
        else None
except RuntimeError as e:
    fail("minidlna's memory, loaded: %s" % e)
    mem_mini = None
db_size = os.path.getsize(db) if os.path.exists(db) else 0

print("scan of %d files: this server %.2f s, minidlna %.2f s, ratio %.2f (minidlna / this)"
      % (files, t_ours, t_mini, t_mini / t_ours if t_ours > 0 else 0), flush=True)


def per_100k(kib):
    return kib / 1024 * 100000 / files


# A heap a few pages smaller after loading is a catalogue kept elsewhere
# (minidlna's database) plus allocator noise, shown as 0; a larger fall means
# the two readings are not of the same process and is a failure.
NOISE_KIB = 256
if -NOISE_KIB <= mem_ours < 0:
    mem_ours = 0
if mem_mini is not None and -NOISE_KIB <= mem_mini < 0:
    mem_mini = 0
if mem_ours < 0:
    fail("this server's resident memory fell while it loaded the catalogue (%d KiB)" % mem_ours)
elif mem_mini is not None and mem_mini < 0:
    fail("minidlna's resident memory fell while it loaded the catalogue (%d KiB)" % mem_mini)
elif mem_mini is not None:
    # minidlna keeps its catalogue in a database file, not in its heap.
    print("memory per 100,000 items (heap of the serving process, loaded minus empty): this "
          "server %.1f MiB; minidlna %.1f MiB + %.1f MiB database" % (
              per_100k(mem_ours), per_100k(mem_mini), db_size / 1048576 * 100000 / files),
          flush=True)

try:
    m_client = soap_client(18200, "/ctl/ContentDir")
    big_ours = q.child_id("0", "big")
    big_mini = m_client.child_id(m_client.child_id("0", "Browse Folders"), "big")
    # One untimed read each first: the timed rounds are the repeated reads a
    # player makes, with each server's caches (our last answer, minidlna's
    # database pages) as they then are. The first read is printed apart.
    for name, c, oid, proc in (("ours", q, big_ours, ours), ("mini", m_client, big_mini, mini)):
        if os.environ.get("BENCH_DUMP"):
            c.dump = os.path.join(os.environ["BENCH_DUMP"], name)
        c0, t0 = cpu_seconds(proc.pid), time.perf_counter()
        c.browse_all(oid)
        c.dump = None
        print("first Browse of the folder, %s: %.1f ms, %.1f ms server CPU"
              % ("this server" if name == "ours" else "minidlna",
                 (time.perf_counter() - t0) * 1000, (cpu_seconds(proc.pid) - c0) * 1000),
              flush=True)
    times = {"ours": [], "mini": []}
    waits = {"ours": [], "mini": []}
    # Server CPU and context switches per Browse, measured around each call
    # so that the other server's turn is not counted: these change little
    # when other work shares the machine, unlike the times.
    cpu = {"ours": 0.0, "mini": 0.0}
    switches = {"ours": 0, "mini": 0}
    calls = {"ours": 0, "mini": 0}
    for _ in range(rounds):
        for name, c, oid, proc in (("ours", q, big_ours, ours), ("mini", m_client, big_mini, mini)):
            c0, s0, r0 = cpu_seconds(proc.pid), context_switches(proc.pid), c.requests
            w0 = c.waited
            t0 = time.perf_counter()
            got, total, _ = c.browse_all(oid)
            times[name].append(time.perf_counter() - t0)
            waits[name].append(c.waited - w0)
            cpu[name] += cpu_seconds(proc.pid) - c0
            switches[name] += context_switches(proc.pid) - s0
            calls[name] += c.requests - r0
            if got != 10000 or total != 10000:
                fail("%s: Browse gave %d of %d items" % (name, got, total))
    mo, mm = statistics.median(times["ours"]), statistics.median(times["mini"])
    print("Browse of a 10,000-item folder (all items, median of %d): this server %.1f ms, "
          "minidlna %.1f ms, ratio %.2f (minidlna / this)" % (rounds, mo * 1000, mm * 1000, mm / mo),
          flush=True)
    wo, wm = statistics.median(waits["ours"]), statistics.median(waits["mini"])
    print("  of which waiting for the answers to arrive (sent to received, without the client's "
          "parsing): this server %.1f ms, minidlna %.1f ms, ratio %.2f (minidlna / this)"
          % (wo * 1000, wm * 1000, wm / wo if wo > 0 else 0), flush=True)
    # What is left is the client's own work, mostly parsing the answers: it
    # grows faster than the answer's size (a 10,000-item answer costs the
    # client half as much again per item as three of some 3,300).
    po = statistics.median([t - w for t, w in zip(times["ours"], waits["ours"])])
    pm = statistics.median([t - w for t, w in zip(times["mini"], waits["mini"])])
    print("  and the client's parsing: this server's answers %.1f ms, minidlna's %.1f ms"
          % (po * 1000, pm * 1000), flush=True)
    for name, label in (("ours", "this server"), ("mini", "minidlna")):
        print("  %s: %.1f ms server CPU and %.1f context switches per folder read (%.1f SOAP "
              "calls each)" % (label, cpu[name] * 1000 / rounds, switches[name] / rounds,
                               calls[name] / rounds), flush=True)
    print("  server CPU ratio %.2f (minidlna / this)" % (cpu["mini"] / cpu["ours"] if cpu["ours"]
                                                        else 0), flush=True)
except Exception as e:  # noqa: BLE001
    fail("Browse: %s" % e)
finally:
    stop(ours)
    stop(mini)
sys.exit(1 if failures else 0)
