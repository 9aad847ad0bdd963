"""vdirsyncer keeps a folder of events and a folder of contacts in step with
the user's calendar and address book on the real binary, both ways: several
hundred objects go up, changes made on the server come down, changes and
deletions made locally go up, and nothing is lost or left behind."""

import glob
import os
import shutil
import subprocess

import pytest

from test_caldav_client import USERS, auth_headers, make_site, make_stores, start
from tq_site import HOST, request

N = 300


def vevent(uid, n, summary):
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//tq//sync//EN\r\nBEGIN:VEVENT\r\n"
            "UID:%s\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:202503%02dT%02d0000Z\r\n"
            "DURATION:PT1H\r\nSUMMARY:%s\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n"
            % (uid, 1 + n % 28, n % 24, summary))


def vcard(uid, name):
    return ("BEGIN:VCARD\r\nVERSION:3.0\r\nUID:%s\r\nFN:%s\r\nN:%s;;;;\r\n"
            "EMAIL:%s@example.org\r\nEND:VCARD\r\n" % (uid, name, name, uid))


def run(config, *args):
    exe = shutil.which("vdirsyncer")
    assert exe, "vdirsyncer is not installed"
    r = subprocess.run([exe, "-c", config, *args], input="y\n" * 10, capture_output=True,
                       text=True, timeout=600)
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    return r


def local_items(folder):
    """UID -> text of every item in a vdirsyncer folder."""
    out = {}
    for path in glob.glob(os.path.join(folder, "*")):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        uid = [l for l in text.splitlines() if l.startswith("UID:")][0][4:]
        out[uid] = text
    return out


def server_items(site, store):
    out = {}
    for path in glob.glob(os.path.join(site.pub, "private", "alice", store, "*")):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        uid = [l for l in text.splitlines() if l.startswith("UID:")][0][4:]
        out[uid] = text
    return out


def summary_of(text, key):
    return [l for l in text.splitlines() if l.startswith(key)][0].split(":", 1)[1]


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    s = make_site(str(tmp_path_factory.mktemp("caldavsync")))
    start(s)
    yield s
    s.stop()


def test_vdirsyncer_both_ways(site, tmp_path):
    make_stores(site)
    cal_dir, card_dir = tmp_path / "cal", tmp_path / "card"
    cal_dir.mkdir()
    card_dir.mkdir()
    for i in range(N):
        (cal_dir / ("ev%03d.ics" % i)).write_text(vevent("ev%03d" % i, i, "Event %d" % i),
                                                   newline="")
        (card_dir / ("c%03d.vcf" % i)).write_text(vcard("c%03d" % i, "Person%d" % i), newline="")
    base = "http://%s:%d/private/alice/" % (HOST, site.port)
    config = tmp_path / "config"
    config.write_text("""[general]
status_path = "{status}"

[pair cal]
a = "cal_local"
b = "cal_remote"
collections = null

[storage cal_local]
type = "filesystem"
path = "{cal}"
fileext = ".ics"

[storage cal_remote]
type = "caldav"
url = "{base}caldav_personal/"
username = "alice"
password = "{pw}"

[pair card]
a = "card_local"
b = "card_remote"
collections = null

[storage card_local]
type = "filesystem"
path = "{card}"
fileext = ".vcf"

[storage card_remote]
type = "carddav"
url = "{base}carddav_personal/"
username = "alice"
password = "{pw}"
""".format(status=tmp_path / "status", cal=cal_dir, card=card_dir, base=base,
           pw=USERS["alice"]))
    cfg = str(config)
    run(cfg, "discover")
    run(cfg, "sync")
    # Up: every object arrived, byte for byte.
    for store, folder in (("caldav_personal", cal_dir), ("carddav_personal", card_dir)):
        remote, local = server_items(site, store), local_items(folder)
        assert len(remote) == N and remote == local

    # Changes on the server: new objects, changed ones, deleted ones.
    cal_url = "/private/alice/caldav_personal/"
    card_url = "/private/alice/carddav_personal/"
    for i in range(N, N + 100):
        st, _, _ = request(site, "PUT", cal_url + "srv%03d.ics" % i, auth_headers(),
                           vevent("srv%03d" % i, i, "Server %d" % i))
        assert st == 201
        st, _, _ = request(site, "PUT", card_url + "srv%03d.vcf" % i, auth_headers(),
                           vcard("srv%03d" % i, "Server%d" % i))
        assert st == 201
    remote_names = {summary_of(t, "UID"): os.path.basename(p) for p, t in (
        (p, open(p).read()) for p in glob.glob(os.path.join(site.pub, "private", "alice",
                                                            "caldav_personal", "*")))}
    for i in range(0, 50):
        st, _, _ = request(site, "PUT", cal_url + remote_names["ev%03d" % i], auth_headers(),
                           vevent("ev%03d" % i, i, "Changed on server %d" % i))
        assert st == 204
    for i in range(50, 70):
        st, _, _ = request(site, "DELETE", cal_url + remote_names["ev%03d" % i], auth_headers())
        assert st in (200, 204)
    # Changes made locally at the same time, on other objects.
    for i in range(100, 160):
        (cal_dir / ("ev%03d.ics" % i)).write_text(vevent("ev%03d" % i, i, "Changed here %d" % i),
                                                   newline="")
        (card_dir / ("c%03d.vcf" % i)).write_text(vcard("c%03d" % i, "Renamed%d" % i), newline="")
    for i in range(200, 230):
        os.remove(cal_dir / ("ev%03d.ics" % i))
        os.remove(card_dir / ("c%03d.vcf" % i))
    for i in range(N + 100, N + 150):
        (cal_dir / ("new%03d.ics" % i)).write_text(vevent("new%03d" % i, i, "New here"), newline="")

    run(cfg, "sync")
    for store, folder in (("caldav_personal", cal_dir), ("carddav_personal", card_dir)):
        remote, local = server_items(site, store), local_items(folder)
        assert remote == local
    cal = local_items(cal_dir)
    expected = ({"ev%03d" % i for i in range(N)} - {"ev%03d" % i for i in range(50, 70)}
                - {"ev%03d" % i for i in range(200, 230)}) | {
        "srv%03d" % i for i in range(N, N + 100)} | {"new%03d" % i for i in range(N + 100, N + 150)}
    assert set(cal) == expected
    assert all(summary_of(cal["ev%03d" % i], "SUMMARY") == "Changed on server %d" % i
               for i in range(50))
    assert all(summary_of(cal["ev%03d" % i], "SUMMARY") == "Changed here %d" % i
               for i in range(100, 160))
    cards = local_items(card_dir)
    assert len(cards) == N + 100 - 30
    assert all(summary_of(cards["c%03d" % i], "FN") == "Renamed%d" % i for i in range(100, 160))
    # A second run finds nothing to do: the entity tags the server reports
    # stay what vdirsyncer recorded.
    r = run(cfg, "sync")
    assert "Copying" not in r.stdout + r.stderr and "Deleting" not in r.stdout + r.stderr
