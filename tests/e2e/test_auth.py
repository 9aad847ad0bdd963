"""Logins against the real program: Basic and Digest with curl and with
python's urllib handlers, and hand-made Digest answers for the cases real
clients never send (replays, exhausted nonce counts, answers for another
path, the older form without qop, nonces the server never issued)."""

import base64
import hashlib
import os
import re
import urllib.error
import urllib.request

import pytest

from tq_site import HOST, Site, curl, request

BODY = b"protected content\n"

USERS = '"alice","secret"\r\n"bob","builder"\r\n'


def htaccess(kind, realm, extra=""):
    return ('AuthType %s\nAuthName %s\nAuthUserFile /secret/users.txt\n'
            "Require valid-user\n%s" % (kind, realm, extra))


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    s = Site(str(tmp_path_factory.mktemp("auth")), param={"func_trace": "3"})
    s.put("secret/.htaccess", "Require all denied\n")
    s.put("secret/users.txt", USERS)
    s.put("basic/.htaccess", htaccess("Basic", "Basic Area"))
    s.put("basic/file.txt", BODY)
    s.put("digest/.htaccess", htaccess("Digest", "Digest Area"))
    s.put("digest/file.txt", BODY)
    s.put("digest/other.txt", BODY)
    s.put("open/file.txt", BODY)
    s.start()
    yield s
    s.stop()


def url(site, path):
    return "http://%s:%d%s" % (HOST, site.port, path)


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def challenge_params(header):
    assert header.startswith("Digest "), header
    return {k: a or b for k, a, b in re.findall(r'(\w+)=(?:"([^"]*)"|([^,\s]*))', header[7:])}


def fresh_challenge(site, path="/digest/file.txt"):
    status, headers, _ = request(site, "GET", path)
    assert status == 401
    return challenge_params(headers["www-authenticate"])


def digest_header(ch, user, password, method, uri, nc=1, qop="auth", cnonce="0a4f113b",
                  response_uri=None):
    ha1 = md5("%s:%s:%s" % (user, ch["realm"], password))
    ha2 = md5("%s:%s" % (method, response_uri or uri))
    ncs = "%08x" % nc
    if qop:
        resp = md5("%s:%s:%s:%s:%s:%s" % (ha1, ch["nonce"], ncs, cnonce, qop, ha2))
        extra = ', qop=%s, nc=%s, cnonce="%s"' % (qop, ncs, cnonce)
    else:
        resp = md5("%s:%s:%s" % (ha1, ch["nonce"], ha2))
        extra = ""
    return ('Digest username="%s", realm="%s", nonce="%s", uri="%s", response="%s", '
            'opaque="%s"%s' % (user, ch["realm"], ch["nonce"], uri, resp, ch["opaque"], extra))


def get_with(site, path, authorization, method="GET"):
    return request(site, method, path, headers={"Authorization": authorization})


def test_unprotected_file_and_challenges(site):
    status, _, body = request(site, "GET", "/open/file.txt")
    assert (status, body) == (200, BODY)
    status, headers, _ = request(site, "GET", "/basic/file.txt")
    assert status == 401
    assert headers["www-authenticate"] == 'Basic realm="Basic Area"'
    ch = fresh_challenge(site)
    assert ch["realm"] == "Digest Area"
    assert ch["domain"] == "/digest/"
    assert ch["qop"] == "auth" and ch["stale"] == "false"
    assert re.fullmatch(r"[0-9a-f]{32}", ch["nonce"])
    assert fresh_challenge(site)["nonce"] != ch["nonce"]
    # The user file itself is never served.
    assert request(site, "GET", "/secret/users.txt")[0] == 403


def test_basic_with_curl(site):
    ok = curl("--basic", "-u", "alice:secret", "-w", "%{http_code}", url(site, "/basic/file.txt"))
    assert ok.stdout == BODY + b"200"
    for creds in ("alice:wrong", "mallory:secret", "alice:", "bob:secret"):
        r = curl("--basic", "-u", creds, "-o", "/dev/null", "-w", "%{http_code}",
                 url(site, "/basic/file.txt"))
        assert r.stdout == b"401", creds


def test_basic_scheme_word_in_any_case(site):
    token = base64.b64encode(b"bob:builder").decode()
    for scheme in ("Basic", "basic", "BASIC"):
        status, _, body = get_with(site, "/basic/file.txt", "%s %s" % (scheme, token))
        assert (status, body) == (200, BODY), scheme


def test_basic_with_urllib(site):
    def opener(user, password):
        mgr = urllib.request.HTTPPasswordMgrWithDefaultRealm()
        mgr.add_password(None, url(site, "/"), user, password)
        return urllib.request.build_opener(urllib.request.HTTPBasicAuthHandler(mgr))

    with opener("alice", "secret").open(url(site, "/basic/file.txt"), timeout=20) as r:
        assert r.status == 200 and r.read() == BODY
    with pytest.raises(urllib.error.HTTPError) as e:
        opener("alice", "nope").open(url(site, "/basic/file.txt"), timeout=20)
    assert e.value.code == 401


def test_digest_with_curl(site):
    ok = curl("--digest", "-u", "alice:secret", "-w", "%{http_code}", url(site, "/digest/file.txt"))
    assert ok.stdout == BODY + b"200"
    head = curl("--digest", "-u", "bob:builder", "-I", url(site, "/digest/file.txt?x=1"))
    assert b" 200 " in head.stdout.split(b"\r\n\r\n")[-2]
    for creds in ("alice:wrong", "mallory:secret"):
        r = curl("--digest", "-u", creds, "-o", "/dev/null", "-w", "%{http_code}",
                 url(site, "/digest/file.txt"))
        assert r.stdout == b"401", creds


def test_digest_with_urllib(site):
    def opener(user, password):
        mgr = urllib.request.HTTPPasswordMgrWithDefaultRealm()
        mgr.add_password(None, url(site, "/"), user, password)
        return urllib.request.build_opener(urllib.request.HTTPDigestAuthHandler(mgr))

    with opener("bob", "builder").open(url(site, "/digest/file.txt"), timeout=20) as r:
        assert r.status == 200 and r.read() == BODY
        assert 'rspauth="' in r.headers["Authentication-Info"]
    with pytest.raises(urllib.error.HTTPError) as e:
        opener("bob", "wrong").open(url(site, "/digest/file.txt"), timeout=20)
    assert e.value.code == 401


def test_digest_answer_and_authentication_info(site):
    ch = fresh_challenge(site)
    status, headers, body = get_with(
        site, "/digest/file.txt", digest_header(ch, "alice", "secret", "GET", "/digest/file.txt"))
    assert (status, body) == (200, BODY)
    ha1 = md5("alice:Digest Area:secret")
    rspauth = md5("%s:%s:00000001:0a4f113b:auth:%s" % (ha1, ch["nonce"],
                                                     md5(":/digest/file.txt")))
    assert headers["authentication-info"] == (
        'qop="auth", rspauth="%s", cnonce="0a4f113b", nc=00000001' % rspauth)


def test_digest_replay_and_nonce_counts(site):
    ch = fresh_challenge(site)
    first = digest_header(ch, "alice", "secret", "GET", "/digest/file.txt", nc=1)
    assert get_with(site, "/digest/file.txt", first)[0] == 200
    # The same answer again is a replay: refused, with a fresh nonce marked stale.
    status, headers, _ = get_with(site, "/digest/file.txt", first)
    assert status == 401
    again = challenge_params(headers["www-authenticate"])
    assert again["stale"] == "true" and again["nonce"] != ch["nonce"]
    # Counts are used once each, up to 32.
    assert get_with(site, "/digest/file.txt",
                    digest_header(ch, "alice", "secret", "GET", "/digest/file.txt", nc=32))[0] == 200
    status, headers, _ = get_with(site, "/digest/file.txt",
                                  digest_header(ch, "alice", "secret", "GET", "/digest/file.txt",
                                                nc=33))
    assert status == 401 and challenge_params(headers["www-authenticate"])["stale"] == "true"
    # A nonce this run never issued is unknown, not stale.
    forged = dict(ch, nonce="0123456789abcdef0123456789abcdef")
    status, headers, _ = get_with(site, "/digest/file.txt",
                                  digest_header(forged, "alice", "secret", "GET",
                                                "/digest/file.txt"))
    assert status == 401 and challenge_params(headers["www-authenticate"])["stale"] == "false"


def test_digest_uri_must_name_the_request_target(site):
    ch = fresh_challenge(site)
    # A correct answer for another file does not open this one.
    other = digest_header(ch, "alice", "secret", "GET", "/digest/other.txt")
    assert get_with(site, "/digest/file.txt", other)[0] == 401
    # The method is part of the answer too.
    head_answer = digest_header(ch, "alice", "secret", "HEAD", "/digest/file.txt", nc=2)
    assert get_with(site, "/digest/file.txt", head_answer)[0] == 401
    assert get_with(site, "/digest/file.txt", head_answer, method="HEAD")[0] == 200
    # The same nonce still serves the right target.
    right = digest_header(ch, "alice", "secret", "GET", "/digest/other.txt", nc=3)
    assert get_with(site, "/digest/other.txt", right)[0] == 200


def test_digest_without_qop_only_with_a_fresh_nonce(site):
    ch = fresh_challenge(site)
    old_form = digest_header(ch, "bob", "builder", "GET", "/digest/file.txt", qop=None)
    status, headers, body = get_with(site, "/digest/file.txt", old_form)
    assert (status, body) == (200, BODY)
    assert "cnonce" not in headers["authentication-info"]
    status, headers, _ = get_with(site, "/digest/file.txt", old_form)
    assert status == 401 and challenge_params(headers["www-authenticate"])["stale"] == "true"


def test_lower_case_digest_scheme_word(site):
    ch = fresh_challenge(site)
    h = digest_header(ch, "bob", "builder", "GET", "/digest/file.txt")
    assert get_with(site, "/digest/file.txt", "digest" + h[len("Digest"):])[0] == 200


def test_unsafe_user_names_are_refused(site):
    for user in ("..", ".", "a/b", "a\\b", "x\x01y"):
        token = base64.b64encode(("%s:secret" % user).encode()).decode()
        assert get_with(site, "/basic/file.txt", "Basic " + token)[0] == 401, user


def test_stored_passwords_are_enciphered_and_never_traced(site):
    token = base64.b64encode(b"alice:secret").decode()
    assert get_with(site, "/basic/file.txt", "Basic " + token)[0] == 200
    with open(os.path.join(site.pub, "secret", "users.txt"), encoding="utf-8") as f:
        stored = f.read()
    assert '"alice","!' in stored and "secret\"" not in stored
    assert '"bob","!' in stored
    trace = site.trace()
    assert "authorization: [Basic ***]" in trace
    assert "secret" not in trace.replace("/secret/", "") and token not in trace
    assert "builder" not in trace


def test_user_file_edited_while_running(site):
    users = os.path.join(site.pub, "secret", "users.txt")
    ok = base64.b64encode(b"carol:first").decode()
    assert get_with(site, "/basic/file.txt", "Basic " + ok)[0] == 401
    with open(users, "a", encoding="utf-8") as f:
        f.write('"carol","first"\r\n')
    assert get_with(site, "/basic/file.txt", "Basic " + ok)[0] == 200
    ch = fresh_challenge(site)
    assert get_with(site, "/digest/file.txt",
                    digest_header(ch, "carol", "first", "GET", "/digest/file.txt"))[0] == 200
    # A new password replaces the old one at once; nothing of ours overwrites it.
    with open(users, encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r'"carol","[^"]*"', '"carol","second"', text)
    with open(users, "w", encoding="utf-8") as f:
        f.write(text)
    assert get_with(site, "/basic/file.txt", "Basic " + ok)[0] == 401
    second = base64.b64encode(b"carol:second").decode()
    assert get_with(site, "/basic/file.txt", "Basic " + second)[0] == 200
    assert get_with(site, "/basic/file.txt",
                    "Basic " + base64.b64encode(b"alice:secret").decode())[0] == 200
    with open(users, encoding="utf-8") as f:
        assert f.read().count('"carol"') == 1
