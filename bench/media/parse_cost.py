"""What a client pays to parse the Browse answers that bench.py saved
(BENCH_DUMP=DIR bench/media/run.sh): each set is parsed as the benchmark's
client parses it (ElementTree, the envelope), once per fresh process as in
a real read, median of ROUNDS. Besides the answers as sent, the same items
are put into answers of other sizes (this server's in pages of minidlna's
size, minidlna's in one answer), which shows how much of the cost is the
items and how much the size of one answer.
Usage: parse_cost.py DIR [ROUNDS]"""

import glob
import os
import pickle
import re
import statistics
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
ENVELOPE = ('<?xml version="1.0"?>\r\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/'
            'envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:BrowseResponse xmlns:u="%s"><Result>%%s</Result><NumberReturned>%%d'
            '</NumberReturned><TotalMatches>%%d</TotalMatches><UpdateID>1</UpdateID>'
            '</u:BrowseResponse></s:Body></s:Envelope>\r\n' % CDS)
TIMER = """import pickle, sys, time, xml.etree.ElementTree as ET
answers = pickle.load(open(sys.argv[1], "rb"))
t0 = time.process_time()
for a in answers:
    ET.fromstring(a).find(".//{%s}BrowseResponse")
print(time.process_time() - t0)
""" % CDS


def answers(prefix):
    """The answers saved for one server, in their order."""
    files = glob.glob(prefix + "-*.xml")
    return [open(f, "rb").read() for f in sorted(files, key=lambda f: int(f.rsplit("-", 1)[1][:-4]))]


def items(saved):
    head, out = None, []
    for a in saved:
        result = ET.fromstring(a).find(".//{%s}BrowseResponse" % CDS).find("Result").text
        head = result[:result.index(">") + 1]
        out += re.findall(r"<(?:item|container)\b.*?</(?:item|container)>", result, re.S)
    return head, out


def repage(head, its, per):
    """The items in answers of at most per items, escaped as this server does."""
    out = []
    for i in range(0, len(its), per):
        doc = head + "".join(its[i:i + per]) + "</DIDL-Lite>"
        n = len(its[i:i + per])
        out.append((ENVELOPE % (doc.replace("&", "&amp;").replace("<", "&lt;"), n, len(its)))
                   .encode())
    return out


def cost(sets, rounds):
    """The sets take turns, round after round, so that load from elsewhere
    falls on all of them alike."""
    runs = {name: [] for name, _ in sets}
    with tempfile.TemporaryDirectory() as d:
        timer = os.path.join(d, "timer.py")
        open(timer, "w").write(TIMER)
        paths = {}
        for i, (name, answers_) in enumerate(sets):
            paths[name] = os.path.join(d, "set%d" % i)
            pickle.dump(answers_, open(paths[name], "wb"))
        for _ in range(rounds):
            for name, _ in sets:
                runs[name].append(float(subprocess.run(
                    [sys.executable, timer, paths[name]], capture_output=True, text=True,
                    check=True).stdout))
    for name, answers_ in sets:
        print("%-52s %d answers, %8d bytes: %6.1f ms" % (
            name, len(answers_), sum(map(len, answers_)), statistics.median(runs[name]) * 1000),
            flush=True)


def main():
    directory, rounds = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 9
    ours, mini = answers(os.path.join(directory, "ours")), answers(os.path.join(directory, "mini"))
    if not ours or not mini:
        sys.exit("no saved answers of both servers in " + directory)
    head_o, items_o = items(ours)
    head_m, items_m = items(mini)
    per_m = max(len(items(mini[:1])[1]), 1)
    print("items: this server %d, %.0f bytes each in the answer; minidlna %d, %.0f bytes each"
          % (len(items_o), sum(map(len, ours)) / len(items_o), len(items_m),
             sum(map(len, mini)) / len(items_m)))
    cost([("this server, as sent", ours), ("minidlna, as sent", mini),
          ("this server's items in minidlna's page size (%d)" % per_m,
           repage(head_o, items_o, per_m)),
          ("minidlna's items in one answer", repage(head_m, items_m, len(items_m)))], rounds)


main()
