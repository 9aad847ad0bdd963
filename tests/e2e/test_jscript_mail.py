"""End-to-end tests of mail sent by a JavaScript page: the page's mail object,
initialised from the SMTP settings of global.ini ("init" without a port,
"init2" with one), delivers through a real SMTP server on loopback, and a
header field with a line break is refused before anything is sent."""

import os
import random
import re

import pytest
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

from tq_site import HOST, Site, free_port, request

DIRECTIVES = """Require all granted
AddHandler java-script .jss
"""

MAIL_PAGE = r"""
function main() {
    var m = webserver.create_sendmail;
    var sent = m.send("Page Sender <sender@example.org>", "one@example.org, Two <two@example.org>",
                      "Greetings \u00e9t\u00e9", "first line\nsecond line\n");
    var out = ["sent=" + sent];
    // A line break in any header field would let a caller add headers.
    out.push("subject=" + m.send("sender@example.org", "one@example.org",
                                 "Hi\r\nBcc: hidden@example.org", "x"));
    out.push("to=" + m.send("sender@example.org", "one@example.org\nBcc: hidden@example.org",
                            "Hi", "x"));
    out.push("from=" + m.send("sender@example.org\r\nX-Evil: 1", "one@example.org", "Hi", "x"));
    out.push("error=" + m.last_error);
    webserver.write_response(out.join(";"));
}
"""


class Recorder:
    def __init__(self):
        self.envelopes = []
        self.logins = []

    async def handle_DATA(self, server, session, envelope):
        self.envelopes.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.content))
        return "250 OK"

    def authenticate(self, server, session, envelope, mechanism, auth_data):
        if isinstance(auth_data, LoginPassword):
            self.logins.append((auth_data.login.decode(), auth_data.password.decode()))
            return AuthResult(success=True)
        return AuthResult(success=False, handled=False)


def smtp_server(recorder, port, host=HOST):
    c = Controller(recorder, hostname=host, port=port, authenticator=recorder.authenticate,
                   auth_require_tls=False, ready_timeout=10)
    c.start()
    return c


def smtp_on_port_25(recorder):
    """ "init" gives the mail component no port, so it uses the standard one:
    the server listens there on a loopback address of its own."""
    for _ in range(20):
        host = "127.%d.%d.%d" % (random.randint(1, 254), random.randint(1, 254),
                                 random.randint(2, 254))
        try:
            return smtp_server(recorder, 25, host), host
        except OSError as e:
            last = e
    pytest.fail("no loopback address with a free port 25: %s" % last)


def mail_site(tmp_path, param):
    s = Site(str(tmp_path), directives=DIRECTIVES, param=param)
    s.put("mail.jss", MAIL_PAGE)
    s.start()
    return s


def check_delivery(recorder, body):
    assert body.startswith(b"sent=true;"), body
    # Every refused send answers false and reaches no server.
    assert b"subject=false;to=false;from=false;" in body, body
    assert b"error=line break in a header field" in body, body
    assert len(recorder.envelopes) == 1, recorder.envelopes
    mail_from, rcpt, content = recorder.envelopes[0]
    assert mail_from == "sender@example.org"
    assert rcpt == ["one@example.org", "two@example.org"]
    head, _, text = content.partition(b"\r\n\r\n")
    headers = {}
    for line in head.split(b"\r\n"):
        name, _, value = line.partition(b": ")
        headers[name.decode().lower()] = value.decode()
    assert headers["from"] == "Page Sender <sender@example.org>"
    assert headers["to"] == "one@example.org, Two <two@example.org>"
    # Text outside ASCII travels as an encoded word.
    assert headers["subject"] == "=?UTF-8?B?R3JlZXRpbmdzIMOpdMOp?="
    assert "date" in headers and headers["content-type"].startswith("text/plain")
    assert "bcc" not in headers and "x-evil" not in headers
    assert text == b"first line\r\nsecond line\r\n"


def test_init_without_port_sends_to_the_standard_port(tmp_path):
    recorder = Recorder()
    controller, host = smtp_on_port_25(recorder)
    site = None
    try:
        site = mail_site(tmp_path, {"smtp_server": host, "smtp_debugging": 1})
        status, _, body = request(site, "GET", "/mail.jss")
        assert status == 200, body
        check_delivery(recorder, body)
        # No user name: the client does not log in.
        assert recorder.logins == []
        assert "sendmail: %s -1 0  <empty>" % host in site.trace()
    finally:
        if site:
            site.stop()
        controller.stop()


def test_init2_with_port_logs_in_with_the_password_written_by_hand(tmp_path):
    recorder = Recorder()
    port = free_port()
    controller = smtp_server(recorder, port)
    site = None
    try:
        site = mail_site(tmp_path, {"smtp_server": HOST, "smtp_port": port,
                                    "smtp_username": "pageuser", "smtp_password": "!s3cr#t",
                                    "smtp_debugging": 2})
        status, _, body = request(site, "GET", "/mail.jss")
        assert status == 200, body
        check_delivery(recorder, body)
        assert recorder.logins == [("pageuser", "s3cr#t")]
        # The password written by hand is stored encrypted from its first use on.
        with open(os.path.join(site.data, "global.ini"), encoding="utf-8") as f:
            ini = f.read()
        stored = re.search(r"smtp_password=(\S*)", ini).group(1)
        assert re.fullmatch(r"[0-9A-Fa-f]{48}", stored), ini
        trace = site.trace()
        assert "smtp password encrypted" in trace
        assert "s3cr#t" not in trace
        assert "sendmail: %s %d 0 pageuser 6 (" % (HOST, port) in trace
        # The encrypted setting still gives the same password to the next page.
        recorder.envelopes.clear()
        status, _, body = request(site, "GET", "/mail.jss")
        assert status == 200, body
        check_delivery(recorder, body)
        assert recorder.logins[-1] == ("pageuser", "s3cr#t")
    finally:
        if site:
            site.stop()
        controller.stop()
