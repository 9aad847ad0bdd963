"""End-to-end tests of members called in the form the object model gives
them: methods with parentheses (also where the property form is served too),
"get" members as properties; INI values of any file a page names; and the
settings of a folder listed as lines the directive reader takes back."""

import os

import pytest

from tq_site import Site, request

DIRECTIVES = """Require all granted
DirectoryIndex index.html
AddHandler java-script .jss
"""

FORMS_PAGE = r"""
function main() {
    var out = [];
    function say(name, f) {
        try { out.push(name + "=" + f()); } catch (e) { out.push(name + "!" + e.message); }
    }
    say("file()", function () { return typeof webserver.file().open; });
    say("file", function () { return typeof webserver.file.open; });
    say("request_params()", function () {
        return webserver.request_params().request_method; });
    say("request_params", function () { return webserver.request_params.request_method; });
    say("hrtime()", function () { return webserver.hrtime() > 0; });
    say("create_event()", function () {
        var e = webserver.create_event(); e.set(); return e.is_set(); });
    say("create_event", function () { return webserver.create_event.is_set(); });
    say("create_sendmail()", function () { return typeof webserver.create_sendmail().send; });
    say("version", function () { return webserver.version; });
    say("hash_list", function () {
        var l = webserver.hash_list("forms.list", 0);
        l.open(0);
        l.value("b", "2"); l.value("a", "1");
        var keys = [];
        for (var it = l.begin(); !it.equal(l.end()); it.inc(1)) keys.push(it.key());
        return keys.join("") + l.size();
    });
    webserver.write_response(out.join("\n"));
}
"""

INI_PAGE = r"""
function main() {
    var q = decodeURIComponent(webserver.environment_var("QUERY_STRING")).split("|");
    webserver.write_response("[" + webserver.ini_file_value(q[0], q[1], q[2]) + "]");
}
"""


@pytest.fixture
def site(tmp_path):
    s = Site(str(tmp_path), directives=DIRECTIVES)
    s.put("forms.jss", FORMS_PAGE)
    s.put("ini.jss", INI_PAGE)
    s.put("sub/page.ini", "[s]\r\nk=beside the page\r\n")
    s.put("sub/ini.jss", INI_PAGE)
    s.start()
    yield s
    assert s.stop() == 0


def test_members_in_the_forms_of_the_object_model(site):
    status, _, body = request(site, "GET", "/forms.jss")
    assert status == 200, body
    assert body.decode().split("\n") == [
        "file()=function",
        "file=function",
        "request_params()=GET",
        "request_params=GET",
        "hrtime()=true",
        "create_event()=true",
        "create_event=false",
        "create_sendmail()=function",
        "version=Tesk Qvelora v3.07.2407",
        "hash_list=ab2",
    ]


def test_ini_values_of_any_file_a_page_names(site, tmp_path):
    outside = os.path.join(str(tmp_path), "outside.ini")
    with open(outside, "w") as f:
        f.write("[o]\nkey=from outside the tree\n")

    def value(page, *args):
        from urllib.parse import quote
        status, _, body = request(site, "GET", page + "?" + quote("|".join(args)))
        assert status == 200, body
        return body.decode()

    # "*" is the program's own settings file.
    assert value("/ini.jss", "*", "param", "server_port") == "[%d]" % site.port
    # A full path is used as it is, outside the document tree too.
    assert value("/ini.jss", outside, "o", "key") == "[from outside the tree]"
    # Any other name is taken from the page's own folder.
    assert value("/sub/ini.jss", "page.ini", "s", "k") == "[beside the page]"
