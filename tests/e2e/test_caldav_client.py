"""Calendars and address books against the real binary: python's caldav client
finds the principal, the home and the calendar, stores, fetches, changes and
deletes events and todos and searches by date with and without expansion;
raw REPORTs check what the client cannot see (multiget refusals, whole
bodies, the home set, the store folder and its access file)."""

import base64
import datetime
import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from urllib.parse import unquote

import caldav
import pytest

from tq_site import HOST, Site, request

D = "{DAV:}"
C = "{urn:ietf:params:xml:ns:caldav}"
CARD = "{urn:ietf:params:xml:ns:carddav}"

USERS = {"alice": "wonder-land", "bob": "builder"}
MIME_TYPES = "text/plain txt\ntext/calendar ics\ntext/vcard vcf\napplication/octet-stream bin\n"


def make_site(root, param=None):
    """A site whose whole tree needs a login, with user folders for alice and bob."""
    directives = ("AuthType Basic\nAuthName cal\nAuthUserFile /users\nRequire valid-user\n"
                  "DirectoryIndex index.html\nFileETag All\n")
    s = Site(root, directives=directives, mime_types=MIME_TYPES, param=param)
    s.put("users/.htaccess", "Require all denied\n")
    for user, password in USERS.items():
        s.put("users/%s/profile.txt" % user, '"password","%s"\r\n' % password)
        os.makedirs(os.path.join(s.pub, "private", user), exist_ok=True)
    return s


def start(site):
    site.start()


def auth_headers(user="alice", extra=None):
    token = base64.b64encode(("%s:%s" % (user, USERS[user])).encode()).decode()
    h = {"Authorization": "Basic " + token, "Content-Type": "application/xml"}
    h.update(extra or {})
    return h


def dav(site, method, path, body=None, depth=None, user="alice"):
    extra = {"Depth": depth} if depth is not None else {}
    return request(site, method, path, auth_headers(user, extra), body)


def make_stores(site, user="alice"):
    """The first CalDAV and CardDAV requests of a user make the user's stores."""
    for ns, prop in (("caldav", "calendar-home-set"), ("carddav", "addressbook-home-set")):
        body = ('<D:propfind xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:%s"><D:prop><C:%s/>'
                '</D:prop></D:propfind>' % (ns, prop))
        assert dav(site, "PROPFIND", "/private/%s/" % user, body, "0", user)[0] == 207


def multistatus(status, body):
    assert status == 207, (status, body[:500])
    return ET.fromstring(body)


CAL = "/private/alice/caldav_personal/"


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    s = make_site(str(tmp_path_factory.mktemp("caldav")))
    start(s)
    yield s
    s.stop()


def event(uid, start, summary, extra=""):
    return ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//tq//test//EN\r\nBEGIN:VEVENT\r\n"
            "UID:%s\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:%s\r\nDURATION:PT1H\r\n"
            "SUMMARY:%s\r\n%sEND:VEVENT\r\nEND:VCALENDAR\r\n" % (uid, start, summary, extra))


def test_python_caldav_client(site):
    client = caldav.DAVClient(url="http://%s:%d/" % (HOST, site.port), username="alice",
                              password=USERS["alice"])
    principal = client.principal()
    assert str(principal.url).endswith("/private/alice/")
    # The home holds the calendars: it is their parent, not a calendar.
    home = principal.calendar_home_set
    assert str(home.url).endswith("/private/alice/")
    calendars = principal.calendars()
    assert [str(c.url).rstrip("/").rsplit("/", 1)[-1] for c in calendars] == ["caldav_personal"]
    cal = calendars[0]
    # The store folder was made on first use, with the access file that
    # keeps requests in it one at a time.
    store = os.path.join(site.pub, "private", "alice", "caldav_personal")
    with open(os.path.join(store, ".htaccess")) as f:
        assert f.read() == "qvel_lock on\n"

    # Add, fetch, update, delete: events and todos.
    e1 = cal.save_event(event("ev-1", "20250310T090000Z", "Standup"))
    weekly = event("ev-weekly", "20250303T100000Z", "Weekly review", "RRULE:FREQ=WEEKLY;COUNT=10\r\n")
    cal.save_event(weekly)
    berlin = ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//tq//test//EN\r\nBEGIN:VTIMEZONE\r\n"
              "TZID:Europe/Berlin\r\nBEGIN:STANDARD\r\nDTSTART:19701025T030000\r\n"
              "RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
              "END:STANDARD\r\nBEGIN:DAYLIGHT\r\nDTSTART:19700329T020000\r\n"
              "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\n"
              "END:DAYLIGHT\r\nEND:VTIMEZONE\r\nBEGIN:VEVENT\r\nUID:ev-berlin\r\n"
              "DTSTAMP:20240101T000000Z\r\nDTSTART;TZID=Europe/Berlin:20250331T003000\r\n"
              "DURATION:PT1H\r\nSUMMARY:Berlin night\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n")
    cal.save_event(berlin)
    todo = cal.save_todo("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//tq//test//EN\r\n"
                         "BEGIN:VTODO\r\nUID:todo-1\r\nDTSTAMP:20240101T000000Z\r\n"
                         "DUE:20250320T120000Z\r\nSUMMARY:Taxes\r\nEND:VTODO\r\nEND:VCALENDAR\r\n")
    assert sorted(str(e.icalendar_instance.walk("VEVENT")[0]["UID"]) for e in cal.events()) == [
        "ev-1", "ev-berlin", "ev-weekly"]
    assert [str(t.icalendar_instance.walk("VTODO")[0]["SUMMARY"]) for t in cal.todos()] == ["Taxes"]
    fetched = cal.event_by_uid("ev-1")
    assert "Standup" in fetched.data
    fetched.vobject_instance.vevent.summary.value = "Standup (moved)"
    fetched.save()
    assert "Standup (moved)" in cal.event_by_uid("ev-1").data
    todo.complete()
    assert "COMPLETED" in cal.todo_by_uid("todo-1").data

    # Date search: March 2025. Without expansion the weekly series is one
    # object; with it, each of its instances in the range.
    start, end = datetime.datetime(2025, 3, 1), datetime.datetime(2025, 4, 1)
    found = cal.date_search(start, end, expand=False)
    uids = sorted(str(e.icalendar_instance.walk("VEVENT")[0]["UID"]) for e in found)
    # 00:30 in Berlin on March 31 (summer time) is 22:30Z on March 30: in range.
    assert uids == ["ev-1", "ev-berlin", "ev-weekly"]
    expanded = cal.date_search(start, end, expand=True)
    weekly_starts = sorted(
        c["DTSTART"].dt for e in expanded for c in e.icalendar_instance.walk("VEVENT")
        if str(c["UID"]) == "ev-weekly")
    assert len(weekly_starts) == 5  # March 3, 10, 17, 24, 31
    # A range in which the finished series has no instance finds nothing of it.
    later = cal.date_search(datetime.datetime(2025, 6, 1), datetime.datetime(2025, 7, 1))
    assert later == []

    e1.delete()
    todo.delete()
    assert sorted(str(e.icalendar_instance.walk("VEVENT")[0]["UID"]) for e in cal.events()) == [
        "ev-berlin", "ev-weekly"]
    with pytest.raises(caldav.lib.error.NotFoundError):
        cal.event_by_uid("ev-1")


def test_server_side_expand_and_whole_bodies(site):
    make_stores(site)
    # The stored text is sent whole, however long; the expanded form comes
    # from the server, not from the client's own expansion.
    long_description = "x" * 300000
    body = event("ev-long", "20250305T080000Z", "Long", "DESCRIPTION:%s\r\n" % long_description)
    st, _, _ = dav(site, "PUT", CAL + "long.ics", body)
    assert st in (200, 201)
    st, _, _ = dav(site, "PUT", CAL + "daily.ics",
                   event("ev-daily", "20250328T080000Z", "Daily", "RRULE:FREQ=DAILY;COUNT=10\r\n"))
    assert st in (200, 201)
    query = ('<?xml version="1.0"?><C:calendar-query xmlns:D="DAV:" '
             'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><D:getetag/><C:calendar-data>%s'
             '</C:calendar-data></D:prop><C:filter><C:comp-filter name="VCALENDAR">'
             '<C:comp-filter name="VEVENT"><C:time-range start="20250301T000000Z" '
             'end="20250401T000000Z"/></C:comp-filter></C:comp-filter></C:filter>'
             '</C:calendar-query>')
    root = multistatus(*dav(site, "REPORT", CAL, query % "", "1")[::2])
    data = {unquote(r.find(D + "href").text): r.find(".//" + C + "calendar-data").text
            for r in root.findall(D + "response")}
    assert data[CAL + "long.ics"].replace("\r\n", "\n") == body.replace("\r\n", "\n")
    daily = data[CAL + "daily.ics"]
    assert "RRULE" in daily and daily.count("BEGIN:VEVENT") == 1
    expand = '<C:expand start="20250301T000000Z" end="20250401T000000Z"/>'
    root = multistatus(*dav(site, "REPORT", CAL, query % expand, "1")[::2])
    data = {unquote(r.find(D + "href").text): r.find(".//" + C + "calendar-data").text
            for r in root.findall(D + "response")}
    daily = data[CAL + "daily.ics"]
    # March 28 to 31: four instances, each with the series' UID, no rule.
    assert daily.count("BEGIN:VEVENT") == 4 and "RRULE" not in daily
    assert daily.count("UID:ev-daily") == 4 and daily.count("RECURRENCE-ID") == 4
    assert "\r" not in daily
    st, _, _ = dav(site, "DELETE", CAL + "long.ics")
    assert st in (200, 204)


def test_all_day_series_and_zones_named_without_vtimezone(site):
    client = caldav.DAVClient(url="http://%s:%d/" % (HOST, site.port), username="alice",
                              password=USERS["alice"])
    cal = client.principal().calendars()[0]
    head = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//tq//test//EN\r\nBEGIN:VEVENT\r\n"
    tail = "DTSTAMP:20240101T000000Z\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n"
    cal.save_event(head + "UID:gym\r\nSUMMARY:Gym\r\nDTSTART;VALUE=DATE:20250303\r\n"
                   "DTEND;VALUE=DATE:20250304\r\nRRULE:FREQ=WEEKLY;COUNT=4\r\n" + tail)
    # As python3-caldav and many clients send it: a zone's name, no VTIMEZONE.
    cal.save_event(head + "UID:berlin-bare\r\nSUMMARY:Coffee\r\n"
                   "DTSTART;TZID=Europe/Berlin:20250305T093000\r\nDURATION:PT1H\r\n" + tail)
    # 09:30 in Berlin in March is 08:30Z: a search of 08:35-09:00Z finds it.
    utc = datetime.timezone.utc
    found = cal.date_search(datetime.datetime(2025, 3, 5, 8, 35, tzinfo=utc),
                            datetime.datetime(2025, 3, 5, 9, 0, tzinfo=utc), expand=False)
    assert [str(e.icalendar_instance.walk("VEVENT")[0]["UID"]) for e in found] == ["berlin-bare"]
    assert cal.date_search(datetime.datetime(2025, 3, 5, 9, 35, tzinfo=utc),
                           datetime.datetime(2025, 3, 5, 10, 0, tzinfo=utc), expand=False) == []

    # The all-day series expanded by the server: dates stay dates, each
    # instance lasts one day.
    query = ('<?xml version="1.0"?><C:calendar-query xmlns:D="DAV:" '
             'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><C:calendar-data><C:expand '
             'start="20250301T000000Z" end="20250401T000000Z"/></C:calendar-data></D:prop>'
             '<C:filter><C:comp-filter name="VCALENDAR"><C:comp-filter name="VEVENT">'
             '<C:prop-filter name="UID"><C:text-match>gym</C:text-match></C:prop-filter>'
             '</C:comp-filter></C:comp-filter></C:filter></C:calendar-query>')
    root = multistatus(*dav(site, "REPORT", CAL, query, "1")[::2])
    (text,) = [r.findtext(".//" + C + "calendar-data") for r in root.findall(D + "response")]
    lines = text.replace("\r\n", "\n").split("\n")
    assert [l for l in lines if l.startswith("DTSTART")] == [
        "DTSTART;VALUE=DATE:202503%02d" % d for d in (3, 10, 17, 24)]
    assert [l for l in lines if l.startswith("RECURRENCE-ID")] == [
        "RECURRENCE-ID;VALUE=DATE:202503%02d" % d for d in (3, 10, 17, 24)]
    assert [l for l in lines if l.startswith("DURATION") or l.startswith("DTEND")] == [
        "DURATION:P1D"] * 4
    # And a client reads each instance as one whole day.
    expanded = cal.date_search(datetime.datetime(2025, 3, 1), datetime.datetime(2025, 4, 1),
                               expand=True)
    days = sorted((c["DTSTART"].dt, c.decoded("DURATION")) for e in expanded
                  for c in e.icalendar_instance.walk("VEVENT") if str(c["UID"]) == "gym")
    assert days == [(datetime.date(2025, 3, d), datetime.timedelta(days=1))
                    for d in (3, 10, 17, 24)]


def test_queries_see_files_changed_by_other_programs(site):
    make_stores(site)
    store = os.path.join(site.pub, "private", "alice", "caldav_personal")
    query = ('<?xml version="1.0"?><C:calendar-query xmlns:D="DAV:" '
             'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><D:getetag/><C:calendar-data/>'
             '</D:prop><C:filter><C:comp-filter name="VCALENDAR"><C:comp-filter name="VEVENT">'
             '<C:time-range start="20260601T000000Z" end="20260701T000000Z"/></C:comp-filter>'
             '</C:comp-filter></C:filter></C:calendar-query>')

    def found():
        root = multistatus(*dav(site, "REPORT", CAL, query, "1")[::2])
        return {unquote(r.find(D + "href").text).rsplit("/", 1)[-1]:
                r.findtext(".//" + C + "calendar-data") for r in root.findall(D + "response")}

    def write(name, text, mode="w"):
        with open(os.path.join(store, name), mode, newline="") as f:
            f.write(text)

    def replace(name, text):
        write(".other-editor.tmp", text)
        os.rename(os.path.join(store, ".other-editor.tmp"), os.path.join(store, name))

    june = event("outside", "20260610T100000Z", "June")
    august = june.replace("20260610", "20260810")
    steps = [
        ("written outside the month", lambda: write("outside.ics", august), {}),
        ("moved into the month in place (same size)", lambda: write("outside.ics", june),
         {"outside.ics": "June"}),
        ("moved out of the month in place", lambda: write("outside.ics", august), {}),
        ("moved back by a rename", lambda: replace("outside.ics", june), {"outside.ics": "June"}),
        ("rewritten longer", lambda: write("outside.ics", june.replace(
            "SUMMARY:June", "SUMMARY:June, longer"), "w"), {"outside.ics": "June, longer"}),
        ("copied", lambda: write("second.ics", june.replace("outside", "second")),
         {"outside.ics": "June, longer", "second.ics": "June"}),
        ("removed", lambda: os.remove(os.path.join(store, "outside.ics")), {"second.ics": "June"}),
        ("removed too", lambda: os.remove(os.path.join(store, "second.ics")), {}),
    ]
    assert found() == {}
    for what, change, expected in steps:
        change()
        got = {name: text.split("SUMMARY:")[1].split("\n")[0].strip()
               for name, text in found().items()}
        assert got == expected, what


def test_multiget_stays_in_the_collection(site):
    make_stores(site)
    dav(site, "PUT", CAL + "mine.ics", event("mine", "20250101T100000Z", "Mine"))
    # bob's own store and an object in it.
    bob_cal = "/private/bob/caldav_personal/"
    st, _, _ = dav(site, "PROPFIND", "/private/bob/", '<?xml version="1.0"?><D:propfind '
                   'xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop>'
                   '<C:calendar-home-set/></D:prop></D:propfind>', "0", user="bob")
    assert st == 207
    st, _, _ = dav(site, "PUT", bob_cal + "secret.ics", event("secret", "20250101T100000Z", "Bob"),
                   user="bob")
    assert st in (200, 201)
    os.makedirs(os.path.join(site.pub, "private", "alice", "caldav_personal", "sub"), exist_ok=True)
    hrefs = [CAL + "mine.ics", bob_cal + "secret.ics", CAL.upper() + "mine.ics",
             CAL + "../../bob/caldav_personal/secret.ics", CAL + "sub/", CAL + ".htaccess",
             CAL + "missing.ics", "http://%s:%d%smine.ics" % (HOST, site.port, CAL),
             CAL + "mine%2eics"]
    body = ('<?xml version="1.0"?><C:calendar-multiget xmlns:D="DAV:" '
            'xmlns:C="urn:ietf:params:xml:ns:caldav">%s</C:calendar-multiget>'
            % "".join("<D:href>%s</D:href>" % h for h in hrefs))
    root = multistatus(*dav(site, "REPORT", CAL, body)[::2])
    got = []
    for r in root.findall(D + "response"):
        status = r.find(D + "status")
        if status is None:
            status = r.find(D + "propstat/" + D + "status")
        got.append((unquote(r.find(D + "href").text), status.text.split(" ")[1]))
        if status.text.endswith("200 OK"):
            # Without a prop element every property comes back.
            prop = r.find(D + "propstat/" + D + "prop")
            assert [p.tag for p in prop] == [D + "getcontenttype", D + "resourcetype",
                                             D + "getetag", C + "calendar-data"]
            assert "Bob" not in prop.find(C + "calendar-data").text
    assert got == [(CAL + "mine.ics", "200"), (bob_cal + "secret.ics", "403"),
                   (CAL.upper() + "mine.ics", "403"),
                   (CAL + "../../bob/caldav_personal/secret.ics", "403"),
                   (CAL + "sub/", "403"), (CAL + ".htaccess", "403"), (CAL + "missing.ics", "404"),
                   (CAL + "mine.ics", "200"), (CAL + "mine.ics", "200")]


def test_discovery_properties_and_listing(site):
    body = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:" xmlns:C="urn:ietf:params:xml:ns:caldav"'
            ' xmlns:A="http://apple.com/ns/ical/" xmlns:CS="http://calendarserver.org/ns/">'
            '<D:prop><D:resourcetype/><D:getetag/><C:supported-calendar-component-set/>'
            '<A:calendar-color/><CS:getctag/><C:calendar-home-set/></D:prop></D:propfind>')
    make_stores(site)
    dav(site, "PUT", CAL + "one.ics", event("one", "20250101T100000Z", "One"))
    root = multistatus(*dav(site, "PROPFIND", CAL, body, "0")[::2])
    (resp,) = root.findall(D + "response")
    ok, missing = resp.findall(D + "propstat")
    prop = ok.find(D + "prop")
    assert prop.find(D + "resourcetype/" + C + "calendar") is not None
    assert [c.get("name") for c in prop.find(C + "supported-calendar-component-set")][:2] == [
        "VEVENT", "VTODO"]
    assert unquote(prop.find(C + "calendar-home-set/" + D + "href").text) == "/private/alice/"
    ctag = prop.find("{http://calendarserver.org/ns/}getctag").text
    assert missing.find(D + "prop/{http://apple.com/ns/ical/}calendar-color") is not None
    assert missing.find(D + "status").text.endswith("404 Not Found")
    # Depth 1: the collection and its objects, without the access file and
    # the sub-folder.
    root = multistatus(*dav(site, "PROPFIND", CAL, body, "1")[::2])
    hrefs = [unquote(r.find(D + "href").text) for r in root.findall(D + "response")]
    assert hrefs[0] == CAL and CAL + "one.ics" in hrefs
    assert not any(h.endswith(".htaccess") or h.endswith("/sub/") for h in hrefs[1:])
    # The ctag changes when an object is added.
    dav(site, "PUT", CAL + "two.ics", event("two", "20250101T100000Z", "Two"))
    root = multistatus(*dav(site, "PROPFIND", CAL, body, "0")[::2])
    assert root.find(".//{http://calendarserver.org/ns/}getctag").text != ctag
    # The home lists the stores of both kinds with their resource types (a
    # CardDAV request makes the address book).
    assert dav(site, "PROPFIND", "/private/alice/", CARD_HOME, "0")[0] == 207
    root = multistatus(*dav(site, "PROPFIND", "/private/alice/", body, "1")[::2])
    kinds = {unquote(r.find(D + "href").text): r.find(".//" + D + "resourcetype") for r in
             root.findall(D + "response")}
    assert kinds["/private/alice/"].find(C + "calendar") is None
    assert kinds[CAL].find(C + "calendar") is not None
    assert kinds["/private/alice/carddav_personal/"].find(CARD + "addressbook") is not None
    # A report no store runs is refused, never answered with an empty list.
    sync = ('<?xml version="1.0"?><D:sync-collection xmlns:D="DAV:"><D:sync-token/>'
            '<D:prop><D:getetag/></D:prop></D:sync-collection>')
    assert dav(site, "REPORT", CAL, sync)[0] == 403


CARD_HOME = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:" '
             'xmlns:C="urn:ietf:params:xml:ns:carddav"><D:prop><C:addressbook-home-set/>'
             '</D:prop></D:propfind>')


def test_addressbook_query_and_multiget(site):
    book = "/private/alice/carddav_personal/"
    root = multistatus(*dav(site, "PROPFIND", "/private/alice/", CARD_HOME, "0")[::2])
    assert unquote(root.findtext(".//" + CARD + "addressbook-home-set/" + D + "href")) == (
        "/private/alice/")
    cards = {"ann.vcf": "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:ann\r\nFN:Ann Example\r\n"
                        "item1.EMAIL;TYPE=work:ann@example.org\r\nEND:VCARD\r\n",
             "ben.vcf": "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:ben\r\nFN:Ben Other\r\n"
                        "EMAIL:ben@example.net\r\nEND:VCARD\r\n"}
    for name, text in cards.items():
        st, _, _ = dav(site, "PUT", book + name, text)
        assert st in (200, 201)
    query = ('<?xml version="1.0"?><C:addressbook-query xmlns:D="DAV:" '
             'xmlns:C="urn:ietf:params:xml:ns:carddav"><D:prop><C:address-data/></D:prop>'
             '<C:filter><C:prop-filter name="EMAIL"><C:text-match match-type="ends-with">'
             'EXAMPLE.ORG</C:text-match></C:prop-filter></C:filter></C:addressbook-query>')
    root = multistatus(*dav(site, "REPORT", book, query, "1")[::2])
    (resp,) = root.findall(D + "response")
    assert unquote(resp.find(D + "href").text) == book + "ann.vcf"
    prop = resp.find(D + "propstat/" + D + "prop")
    assert [p.tag for p in prop] == [CARD + "address-data"]
    body = ('<?xml version="1.0"?><C:addressbook-multiget xmlns:D="DAV:" '
            'xmlns:C="urn:ietf:params:xml:ns:carddav"><D:prop><D:getetag/></D:prop>'
            '<D:href>%sben.vcf</D:href><D:href>%sone.ics</D:href></C:addressbook-multiget>'
            % (book, CAL))
    root = multistatus(*dav(site, "REPORT", book, body)[::2])
    statuses = [r.findtext(".//" + D + "status") for r in root.findall(D + "response")]
    assert statuses == ["HTTP/1.1 200 OK", "HTTP/1.1 403 Forbidden"]
    # A filter the server cannot evaluate is refused with its precondition.
    bad = query.replace('match-type="ends-with"', 'collation="i;klingon"')
    st, _, answer = dav(site, "REPORT", book, bad, "1")
    assert st == 403 and b"supported-collation" in answer


def test_readme_steps_give_each_user_their_own_calendars(tmp_path):
    """The README's calendar steps, as written there."""
    s = Site(str(tmp_path), mime_types=MIME_TYPES,
             directives="AuthType Basic\nAuthName calendars\nAuthUserFile /users\n"
                        "Require valid-user\nFileETag All\n")
    s.put("users/.htaccess", "Require all denied\n")
    for user, password in USERS.items():
        s.put("users/%s/profile.txt" % user, '"password","%s"\n' % password)
        os.makedirs(os.path.join(s.pub, "private", user))
    s.put("private/.htaccess", "Require actual-user .\n")
    # A user file's line in a profile names no password.
    s.put("users/carol/profile.txt", '"carol","secret"\n')
    os.makedirs(os.path.join(s.pub, "private", "carol"))
    # A profile without the user's folder.
    s.put("users/dave/profile.txt", '"password","dave-pw"\n')
    s.start()
    try:
        url = "http://%s:%d/" % (HOST, s.port)
        alice = caldav.DAVClient(url=url, username="alice", password=USERS["alice"]).principal()
        (cal,) = alice.calendars()
        cal.save_event(event("mine", "20250101T100000Z", "Alice's"))
        (bob_cal,) = caldav.DAVClient(url=url, username="bob",
                                      password=USERS["bob"]).principal().calendars()
        assert bob_cal.events() == []
        # bob reaches nothing of alice's, by any method.
        store = os.path.join(s.pub, "private", "alice", "caldav_personal")
        (name,) = [n for n in os.listdir(store) if n.endswith(".ics")]
        for method, body in (("GET", None), ("PUT", event("x", "20250101T100000Z", "Bob's")),
                             ("DELETE", None), ("PROPFIND", None)):
            assert dav(s, method, CAL + name, body, "0", user="bob")[0] == 401, method
        assert dav(s, "PROPFIND", "/private/", None, "1", user="bob")[0] == 401
        assert dav(s, "GET", CAL + name)[0] == 200
        # carol's profile holds a user-file line: no login.
        token = base64.b64encode(b"carol:secret").decode()
        assert request(s, "PROPFIND", "/private/carol/",
                       {"Authorization": "Basic " + token, "Depth": "0"})[0] == 401
        # dave is named, but his home is missing until his folder is made.
        token = base64.b64encode(b"dave:dave-pw").decode()
        home = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:" '
                'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><C:calendar-home-set/>'
                '</D:prop></D:propfind>')
        headers = {"Authorization": "Basic " + token, "Depth": "0"}
        st, _, body = request(s, "PROPFIND", "/private/dave/", headers, home)
        assert st == 207 and b"404 Not Found" in body
        assert not os.path.exists(os.path.join(s.pub, "private", "dave"))
        os.makedirs(os.path.join(s.pub, "private", "dave"))
        st, _, body = request(s, "PROPFIND", "/private/dave/", headers, home)
        assert st == 207 and b"404 Not Found" not in body
        assert os.path.isdir(os.path.join(s.pub, "private", "dave", "caldav_personal"))
        # Without the access file of private/, every user reads every other's.
        os.remove(os.path.join(s.pub, "private", ".htaccess"))
        assert dav(s, "GET", CAL + name, user="bob")[0] == 200
    finally:
        s.stop()


BOOK = "/private/alice/carddav_personal/"


def vcard(uid_line):
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann\r\nN:Ann;;;;\r\n%sEND:VCARD\r\n" % uid_line


def test_a_store_takes_only_one_valid_object_with_a_uid_of_its_own(site):
    make_stores(site)
    two_uids = event("u-two", "20240301T100000Z", "x").replace(
        "UID:u-two\r\n", "UID:u-two\r\nUID:u-three\r\n")
    two_events = event("u-a", "20240301T100000Z", "a").replace(
        "END:VCALENDAR", "BEGIN:VEVENT\r\nUID:u-b\r\nDTSTART:20240302T100000Z\r\n"
        "END:VEVENT\r\nEND:VCALENDAR")
    for store, name, body, element in (
            (CAL, "junk.ics", "hello world", "valid-calendar-data"),
            (CAL, "nouid.ics", event("", "20240301T100000Z", "x").replace("UID:\r\n", ""),
             "valid-calendar-data"),
            (CAL, "twouids.ics", two_uids, "valid-calendar-data"),
            (CAL, "twoevents.ics", two_events, "valid-calendar-data"),
            (BOOK, "junk.vcf", "hello world", "valid-address-data"),
            (BOOK, "nouid.vcf", vcard(""), "valid-address-data")):
        status, _, answer = dav(site, "PUT", store + name, body)
        assert status == 403 and element.encode() in answer, (name, status, answer)
        assert dav(site, "GET", store + name)[0] == 404, name
    # A UID the collection holds under another name is refused, naming it.
    for store, first, second, body in (
            (CAL, "one.ics", "again.ics", event("u-dup", "20240301T100000Z", "x")),
            (BOOK, "one.vcf", "again.vcf", vcard("UID:c-dup\r\n"))):
        assert dav(site, "PUT", store + first, body)[0] in (200, 201, 204)
        status, _, answer = dav(site, "PUT", store + second, body)
        assert status == 409 and b"no-uid-conflict" in answer, (second, status, answer)
        assert (store + first) in unquote(answer.decode()), answer
        # The same name may take a new version of its own object.
        assert dav(site, "PUT", store + first, body)[0] in (200, 201, 204)
    # python-caldav sees the refusal as an error.
    client = caldav.DAVClient(url="http://%s:%d/" % (HOST, site.port), username="alice",
                              password=USERS["alice"])
    cal = client.principal().calendars()[0]
    with pytest.raises(Exception):
        cal.save_event(event("u-dup", "20240305T100000Z", "dup"))


def test_an_empty_propfind_on_a_store_is_the_stores_own_answer(site):
    make_stores(site)
    for store, kind in ((CAL, b"calendar"), (BOOK, b"addressbook")):
        status, _, answer = dav(site, "PROPFIND", store, None, "1")
        assert status == 207, (store, status)
        assert b".htaccess" not in answer, answer[:800]
        assert b":" + kind + b"/>" in answer, answer[:800]


def test_the_home_is_a_principal_to_a_plain_webdav_propfind(site):
    make_stores(site)
    body = ('<?xml version="1.0"?><d:propfind xmlns:d="DAV:"><d:prop><d:resourcetype/>'
            '<d:displayname/></d:prop></d:propfind>')
    for depth in ("0", "1"):
        status, _, answer = dav(site, "PROPFIND", "/private/alice/", body, depth)
        assert status == 207, status
        assert b"principal/>" in answer, answer[:800]
        assert b".htaccess" not in answer


SWAPPER = """
import ctypes, sys, time
libc = ctypes.CDLL(None)
a, b = sys.argv[1].encode(), sys.argv[2].encode()
end = time.monotonic() + 60
while time.monotonic() < end:
    for _ in range(1000):
        libc.renameat2(-100, a, -100, b, 2)  # AT_FDCWD, RENAME_EXCHANGE
"""


def test_a_store_swapped_for_a_link_out_of_the_tree_is_never_read(tmp_path):
    """While the calendar folder and a link to a folder outside the tree trade
    places, every listing and report reads the folder that was decided about
    or nothing: no answer holds an object of the outside folder."""
    outside = tmp_path / "outside"
    outside.mkdir()
    # Named as the inside object is, and another one: whichever list the
    # server holds, neither is read.
    for name in ("inside.ics", "stolen.ics"):
        (outside / name).write_text(event("OUTSIDE-" + name, "20250301T100000Z", "outside"))
    site = make_site(str(tmp_path / "site"))
    start(site)
    swapper = None
    try:
        make_stores(site)
        assert dav(site, "PUT", CAL + "inside.ics",
                   event("inside-1", "20250301T100000Z", "inside"))[0] == 201
        folder = os.path.join(site.pub, "private", "alice", "caldav_personal")
        link = os.path.join(site.pub, "private", "alice", "other")
        os.symlink(str(outside), link)

        # Another program trades them, as fast as it can, for at most a minute.
        swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, folder, link])
        query = ('<?xml version="1.0"?><C:calendar-query xmlns:D="DAV:" '
                 'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><C:calendar-data/></D:prop>'
                 '<C:filter><C:comp-filter name="VCALENDAR"/></C:filter></C:calendar-query>')
        listing = ('<?xml version="1.0"?><D:propfind xmlns:D="DAV:" '
                   'xmlns:C="urn:ietf:params:xml:ns:caldav"><D:prop><D:getetag/>'
                   '<C:calendar-data/></D:prop></D:propfind>')
        inside_seen = 0
        for i in range(300):
            method, body = ("REPORT", query) if i % 2 else ("PROPFIND", listing)
            status, _, answer = dav(site, method, CAL, body, "1")
            assert b"OUTSIDE-" not in answer, (method, answer[:600])
            inside_seen += b"inside.ics" in answer
        assert inside_seen > 0
    finally:
        if swapper:
            swapper.kill()
            swapper.wait(10)
        site.stop()
