"""End-to-end tests of the system integration: "-publish" copies a file into
the document tree and hands out its URL, and the server records its ports in
the firewall rule store at start and takes only its own rules out at stop."""

import os
import subprocess

import pytest

from tq_site import Site, request


def publish(site, *args, timeout=60):
    if not os.path.exists(site.binary):
        pytest.fail("the program binary is not built: %s" % site.binary)
    return subprocess.run([site.binary, "-publish", *args], env=site.env, capture_output=True,
                          timeout=timeout)


def clipboard(site):
    with open(os.path.join(site.data, "clipboard.txt"), "rb") as f:
        return f.read()


def test_publish_copies_the_file_and_hands_out_the_url_with_the_port(tmp_path):
    site = Site(str(tmp_path / "home"), param={"domain": " qvel.example "})
    source = tmp_path / "my file ä.txt"
    source.write_bytes(b"published text")
    other = tmp_path / "second.txt"
    other.write_bytes(b"second")

    r = publish(site, '"%s"' % source)
    assert r.returncode == 0, r.stderr
    url = "http://qvel.example:%d/my%%20file%%20%%c3%%a4.txt" % site.port
    # Standard output also carries the console trace; the URL is a line of its own.
    assert url in r.stdout.decode().splitlines()
    with open(os.path.join(site.pub, "my file ä.txt"), "rb") as f:
        assert f.read() == b"published text"
    assert clipboard(site) == url.encode()

    # A second URL of the same server is added on a line of its own.
    r = publish(site, str(other))
    assert r.returncode == 0, r.stderr
    assert clipboard(site) == (url + "\r\nhttp://qvel.example:%d/second.txt" % site.port).encode()

    # The published file is served under its URL.
    site.start()
    try:
        status, _, body = request(site, "GET", "/my%20file%20%c3%a4.txt")
        assert status == 200
        assert body == b"published text"
    finally:
        site.stop()


def test_publish_never_overwrites_and_says_so(tmp_path):
    site = Site(str(tmp_path / "home"), param={"domain": "qvel.example"})
    site.put("taken.txt", "the original")
    source = tmp_path / "taken.txt"
    source.write_bytes(b"a newer text")
    r = publish(site, str(source))
    assert r.returncode == 1
    assert b"The file could not be copied (80)" in r.stderr
    with open(os.path.join(site.pub, "taken.txt"), "rb") as f:
        assert f.read() == b"the original"
    assert not os.path.exists(os.path.join(site.data, "clipboard.txt"))
    # No leftovers of the copy beside the file.
    assert sorted(os.listdir(site.pub)) == ["taken.txt"]

    r = publish(site, str(tmp_path / "missing.txt"))
    assert r.returncode == 1
    assert b"The file could not be copied (2)" in r.stderr


def test_publish_without_a_public_host_copies_but_makes_no_url(tmp_path):
    # No domain, and the address service cannot be reached from here.
    site = Site(str(tmp_path / "home"))
    source = tmp_path / "a.txt"
    source.write_bytes(b"x")
    r = publish(site, str(source))
    assert r.returncode == 2
    assert not [l for l in r.stdout.decode().splitlines() if l.startswith("http")]
    assert os.path.exists(os.path.join(site.pub, "a.txt"))
    assert "URL not pasted to clipboard (/)" in site.trace()
    assert not os.path.exists(os.path.join(site.data, "clipboard.txt"))


def rules(site):
    with open(os.path.join(site.data, "firewall_rules.txt"), encoding="utf-8") as f:
        return [line.split("\t")[1] for line in f if line.startswith("rule\t")]


def test_server_ports_go_into_the_rule_store_and_only_its_own_come_out(tmp_path):
    site = Site(str(tmp_path / "home"))
    # Somebody opened the HTTPS port already, under a name of their own.
    site.write_data("firewall_rules.txt",
                    "teskqvel firewall rules 1\nprofiles\t7\n"
                    "rule\tMy web server\t1\t1\t1\t7\t6\t%d\t\t\n"
                    "rule\tMail\t1\t1\t1\t7\t6\t25\t\t\n" % site.https_port)
    site.start()
    try:
        assert rules(site) == ["My web server", "Mail", "Tesk qvel TCP %d" % site.port,
                               "Tesk qvel UDP %d" % site.port]
    finally:
        assert site.stop() == 0
    assert rules(site) == ["My web server", "Mail"]


def test_a_switched_off_firewall_gets_no_rules(tmp_path):
    site = Site(str(tmp_path / "home"))
    site.write_data("firewall_rules.txt", "teskqvel firewall rules 1\nprofiles\t0\n")
    site.start()
    try:
        assert rules(site) == []
        assert "Windows firewall not enabled" in site.trace()
    finally:
        site.stop()
