// The script page host without the HTTP server: include lines and the source
// reader, the engine host's load, run and error texts, global-state
// detection, module exports and the request-information object.
#include "scripting/jscript/global_objects.h"
#include "scripting/jscript/jscript_host.h"
#include "scripting/jscript/script_cache.h"
#include "scripting/jscript/script_source.h"
#include "scripting/jscript/shost_file.h"
#include "scripting/jscript/webserver_object.h"
#include "scripting_test_support.h"
#include "server/http_request.h"
#include "server/http_tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace automation;
using scripting_test::tree_fixture;

namespace {

TEST(JscriptSource, IncludeLineTable) {
    struct row {
        const wchar_t* line;
        bool in_comment_before;
        bool directive;
        const wchar_t* name;
        bool in_comment_after;
    } rows[] = {
        {L"@include \"a.js\"", false, true, L"a.js", false},
        {L"   \t@include\"lib/b.js\"  ", false, true, L"lib/b.js", false},
        {L"\uFEFF\u200B@include \"c.js\"", false, true, L"c.js", false},
        {L"@include \"a.js\" x", false, false, L"", false},
        {L"@include \"\"", false, false, L"", false},
        {L"// @include \"a.js\"", false, false, L"", false},
        {L"x = 1; @include \"a.js\"", false, false, L"", false},
        {L"@include \"a.js\"", true, false, L"", true},
        {L"*/ @include \"a.js\"", true, false, L"", false},
        {L"/* start", false, false, L"", true},
        {L"s = '/*'; t = \"\\\"\";", false, false, L"", false},
        {L"@included \"a.js\"", false, false, L"", false},
    };
    for (const row& r : rows) {
        bool in_comment = r.in_comment_before;
        std::wstring name;
        EXPECT_EQ(scripting::parse_include_line(r.line, in_comment, name), r.directive) << r.line;
        EXPECT_EQ(name, r.name) << r.line;
        EXPECT_EQ(in_comment, r.in_comment_after) << r.line;
    }
}

TEST(JscriptSource, LineMappingAcrossPieces) {
    const std::vector<scripting::source_piece> pieces = {
        {L"/p/page.jss", 1, 10}, {L"/p/part.js", 1, 5}, {L"/p/page.jss", 12, 3}};
    struct row {
        uint32_t line;
        const wchar_t* file;
        uint32_t file_line;
    } rows[] = {{1, L"/p/page.jss", 1},   {10, L"/p/page.jss", 10}, {12, L"/p/part.js", 2},
                {16, L"/p/page.jss", 12}, {18, L"/p/page.jss", 14}, {19, L"/p/page.jss", 0}};
    for (const row& r : rows) {
        std::wstring file;
        uint32_t line = 0;
        scripting::jscript_host::map_line(pieces, r.line, file, line);
        EXPECT_EQ(file, r.file) << r.line;
        EXPECT_EQ(line, r.file_line) << r.line;
    }
}

class JscriptHost : public tree_fixture {
  protected:
    scripting::load_context context_for(const std::filesystem::path& page) {
        scripting::load_context c;
        c.request_context = &ctx_;
        c.dependencies = &deps_;
        c.class_id = ::clsid_jscript;
        c.base_dir = w(page.parent_path()) + L"/";
        return c;
    }
    scripting::script_context ctx_;
    scripting::dependency_map deps_;
};

TEST_F(JscriptHost, SourceReaderRecordsPiecesAndEveryFile) {
    write_file(pub_path() / "page.jss", "var a = 1;\n@include \"lib/part.js\"\nvar b = 2;\n");
    write_file(pub_path() / "lib" / "part.js", "\xEF\xBB\xBFvar p = 1;\nvar q = 2;\n");
    const auto page = pub_path() / "page.jss";
    scripting::load_context c = context_for(page);
    std::wstring text;
    std::vector<scripting::source_piece> pieces;
    ASSERT_TRUE(scripting::read_script_source(w(page), text, pieces, c));
    EXPECT_EQ(text, L"var a = 1;\nvar p = 1;\nvar q = 2;\nvar b = 2;\n");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[1].file, w(pub_path() / "lib" / "part.js"));
    EXPECT_EQ(pieces[1].count, 2u);
    EXPECT_EQ(pieces[2].first_line, 3u);
    EXPECT_EQ(deps_.size(), 2u);

    // A file that includes itself ends at the depth limit with an error.
    write_file(pub_path() / "self.jss", "@include \"self.jss\"\n");
    std::wstring t2;
    std::vector<scripting::source_piece> p2;
    scripting::load_context c2 = context_for(pub_path() / "self.jss");
    EXPECT_FALSE(scripting::read_script_source(w(pub_path() / "self.jss"), t2, p2, c2));
    EXPECT_NE(ctx_.error_text.find(L"Unable to open include script file"), std::wstring::npos);
}

TEST_F(JscriptHost, LoadRunErrorsAndGlobalState) {
    auto load = [&](const std::string& name, const std::string& src, bool& state) {
        write_file(pub_path() / name, src);
        ctx_.error_text.clear();
        auto h = std::make_unique<scripting::jscript_host>();
        scripting::load_context c = context_for(pub_path() / name);
        const hresult hr = h->load(w(pub_path() / name), c);
        state = succeeded(hr) && h->has_global_state();
        return std::make_pair(hr, std::move(h));
    };
    bool state = false;
    auto [hr1, h1] = load("nomain.jss", "var x = 1;\n", state);
    EXPECT_TRUE(failed(hr1));
    EXPECT_NE(ctx_.error_text.find(L"could not locate main"), std::wstring::npos);

    auto [hr2, h2] = load("state.jss", "var counter = 0;\nfunction main() {}\n", state);
    EXPECT_TRUE(succeeded(hr2));
    EXPECT_TRUE(state);

    auto [hr3, h3] =
        load("nostate.jss",
             "__declare_const('helper');\nfunction helper() {}\nfunction main() {}\n", state);
    EXPECT_TRUE(succeeded(hr3));
    EXPECT_FALSE(state);

    // A run-time error inside an included file names that file and line.
    write_file(pub_path() / "lib" / "bad.js", "function f() {\n  nothing_here();\n}\n");
    auto [hr4, h4] =
        load("err.jss", "// one\n@include \"lib/bad.js\"\nfunction main() { f(); }\n", state);
    ASSERT_TRUE(succeeded(hr4));
    h4->run(nullptr, &ctx_);
    h4->after_run();
    EXPECT_NE(ctx_.error_text.find(L"Script error in " + w(pub_path() / "lib" / "bad.js") +
                                   L"\n   Line 2,"),
              std::wstring::npos)
        << cl::utf16_to_utf8(ctx_.error_text);

    // exit() ends a run silently, finally blocks included, and the next run
    // works; require inside main is refused.
    auto [hr5, h5] = load("exit.jss",
                          "__declare_const('runs');\nvar runs = 0;\nfunction main() {\n"
                          "  if (runs++ == 1) require('x');\n"
                          "  try { exit(); } finally { nothing_here(); }\n}\n",
                          state);
    ASSERT_TRUE(succeeded(hr5));
    ctx_.error_text.clear();
    h5->run(nullptr, &ctx_);
    EXPECT_EQ(ctx_.error_text, L"");
    h5->run(nullptr, &ctx_);
    EXPECT_NE(ctx_.error_text.find(L"require is only allowed during script load"),
              std::wstring::npos);
}

TEST_F(JscriptHost, IniValuesRefuseLineBreaks) {
    const auto path = data_path() / "global.ini";
    write_file(path, "[param]\r\nphp_interpreter=\r\n");
    cl::ini_file ini;
    ini.set_path(w(path), true);
    scripting::set_script_global_ini(&ini);
    automation::com_ptr<scripting::main_script_object> m(
        new scripting::main_script_object(nullptr));
    variant ws;
    ASSERT_EQ(m->webserver(&ws), s_ok);
    auto put = [&](const std::wstring& key, const std::wstring& value) {
        return dispatch_call(ws.dispatch(), L"ini_file_value", dispatch_propertyput,
                             {variant::from_bstr(L"*"), variant::from_bstr(L"param"),
                              variant::from_bstr(key), variant::from_bstr(value)},
                             nullptr);
    };
    // A line break would add a key of the script's choosing.
    EXPECT_EQ(put(L"note", L"x\r\nphp_interpreter=/bin/sh"), e_invalidarg);
    EXPECT_EQ(put(L"note\nphp_interpreter", L"x"), e_invalidarg);
    EXPECT_EQ(put(L"note", std::wstring(L"a\0b", 3)), e_invalidarg);
    EXPECT_EQ(put(L"note", L"fine"), s_ok);
    cl::ini_file fresh;
    fresh.set_path(w(path), true);
    std::wstring v;
    EXPECT_TRUE(fresh.get_value(L"param", L"note", v));
    EXPECT_EQ(v, L"fine");
    EXPECT_TRUE(fresh.get_value(L"param", L"php_interpreter", v));
    EXPECT_EQ(v, L"");
    variant got;
    EXPECT_EQ(dispatch_call(ws.dispatch(), L"ini_file_value", dispatch_propertyget,
                            {variant::from_bstr(L"*"), variant::from_bstr(L"param"),
                             variant::from_bstr(L"note")},
                            &got),
              s_ok);
    EXPECT_EQ(got.bstr(), L"fine");
    scripting::set_script_global_ini(nullptr);
}

TEST(JscriptObjects, ModuleExportsMembers) {
    automation::com_ptr<scripting::require_obj> o(new scripting::require_obj);
    dispid id = 0;
    EXPECT_EQ(o->get_disp_id(L"a", 0, &id), disp_e_unknownname);
    ASSERT_EQ(o->get_disp_id(L"a", fdex_name_ensure, &id), s_ok);
    EXPECT_EQ(id, 1);
    variant r;
    dispparams none;
    // Not assigned yet: empty; enumeration skips it.
    EXPECT_EQ(o->invoke_ex(id, 0, dispatch_propertyget, none, &r, nullptr, nullptr), s_ok);
    EXPECT_TRUE(r.is_empty());
    dispid next = 0;
    EXPECT_EQ(o->get_next_disp_id(0, dispid_startenum, &next), s_false);

    dispparams put = dispparams::of({variant::from_i4(7)});
    put.named = {5};
    EXPECT_EQ(o->invoke_ex(id, 0, dispatch_propertyput, put, nullptr, nullptr, nullptr),
              e_invalidarg);
    put.named = {dispid_propertyput};
    EXPECT_EQ(o->invoke_ex(id, 0, dispatch_propertyput, put, nullptr, nullptr, nullptr), s_ok);
    dispparams one = dispparams::of({variant::from_i4(1)});
    EXPECT_EQ(o->invoke_ex(id, 0, dispatch_propertyget, one, &r, nullptr, nullptr),
              disp_e_badparamcount);
    EXPECT_EQ(o->invoke_ex(id, 0, dispatch_propertyget, none, &r, nullptr, nullptr), s_ok);
    EXPECT_EQ(r.i4(), 7);
    EXPECT_EQ(
        o->invoke_ex(id, 0, dispatch_method | dispatch_propertyget, none, &r, nullptr, nullptr),
        e_notimpl);
    EXPECT_EQ(o->get_next_disp_id(0, dispid_startenum, &next), s_ok);
    EXPECT_EQ(next, 1);
    EXPECT_EQ(o->invoke_ex(9, 0, dispatch_propertyget, none, &r, nullptr, nullptr),
              disp_e_membernotfound);
}

TEST(JscriptObjects, RequestHeadersReadAndWritten) {
    auto info = cl::make_sh<req_info>();
    http_request_data data;
    data.method = "GET";
    data.known_headers[http_header_user_agent] = "agent";
    data.unknown_headers["X-One"] = "1";
    info->data = &data;
    automation::com_ptr<scripting::request_info> o(new scripting::request_info(info));
    variant self;
    ASSERT_EQ(o->construct(&self), s_ok);
    std::vector<std::wstring> names;
    for (dispid id = dispid_startenum; o->get_next_disp_id(0, id, &id) == s_ok;) {
        std::wstring n;
        o->get_member_name(id, &n);
        names.push_back(n);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"User-Agent", L"X-One"}));

    auto set = [&](const std::wstring& name, const std::wstring& value) {
        dispid id = 0;
        EXPECT_EQ(o->get_disp_id(name, fdex_name_ensure, &id), s_ok);
        dispparams p = dispparams::of({variant::from_bstr(value)});
        p.named = {dispid_propertyput};
        return o->invoke(id, iid_null, 0, dispatch_propertyput, p, nullptr, nullptr, nullptr);
    };
    EXPECT_EQ(set(L"X-One", L""), s_ok);
    EXPECT_EQ(data.unknown_headers.count("X-One"), 0u);
    EXPECT_EQ(set(L"User-Agent", L""), s_ok);
    EXPECT_EQ(data.known_headers[http_header_user_agent], "");
    EXPECT_EQ(set(L"X-New", L"two"), s_ok);
    EXPECT_EQ(data.unknown_headers["X-New"], "two");
    // A line break would smuggle a header line into the request.
    EXPECT_EQ(set(L"X-Bad", L"a\r\nInjected: 1"), e_invalidarg);
    EXPECT_EQ(data.unknown_headers.count("X-Bad"), 0u);

    dispid id = 0;
    ASSERT_EQ(o->get_disp_id(L"X-New", 0, &id), s_ok);
    dispparams one = dispparams::of({variant::from_i4(1)});
    variant r;
    EXPECT_EQ(o->invoke(id, iid_null, 0, dispatch_propertyget, one, &r, nullptr, nullptr),
              disp_e_badparamcount);
    ASSERT_EQ(o->get_disp_id(L"request_method", 0, &id), s_ok);
    dispparams none;
    ASSERT_EQ(o->invoke(id, iid_null, 0, dispatch_propertyget, none, &r, nullptr, nullptr), s_ok);
    EXPECT_EQ(r.bstr(), L"GET");
}

TEST(JscriptObjects, EscapingAndHeaderSafety) {
    EXPECT_EQ(scripting::html_escape(L"<a href=\"x\">'&'</a>"),
              L"&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
    EXPECT_TRUE(scripting::is_safe_header_value(L"text/html; charset=utf-8"));
    for (const wchar_t* bad : {L"a\rb", L"a\nb", L"text/html\r\nX: y"})
        EXPECT_FALSE(scripting::is_safe_header_value(bad));
    EXPECT_FALSE(scripting::is_safe_header_value(std::wstring(L"a\0b", 3)));
}

} // namespace

namespace {

// The output of a file whose run ended, read to its end.
std::string drain(scripting::shost_file& f) {
    std::string out;
    char buf[256];
    for (int64_t n; (n = f.read(buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

class JscriptFile : public tree_fixture {
  protected:
    std::unique_ptr<scripting::shost_file> make() {
        auto info = cl::make_sh<req_info>();
        info->set("QUERY_STRING", "q=1");
        return std::make_unique<scripting::shost_file>(info, w(pub_path() / "p.jss"),
                                                       ::clsid_jscript);
    }
};

TEST_F(JscriptFile, ScriptHeaderPreambleAndErrorTexts) {
    struct row {
        const wchar_t* type;
        const char* body;
        const wchar_t* error;
        const char* expect;
    } rows[] = {
        {L"text/html", "hello", nullptr,
         "<html><head><title>Script output</title></head><body>hello"},
        {L"text/html", "  <!DOCTYPE html>x", nullptr, "  <!DOCTYPE html>x"},
        {L"text/html", "\n<html>x", nullptr, "\n<html>x"},
        {L"text/html", "", L"a<b>\n'&\"",
         "<html><head><title>Script output</title></head><body>"
         "<div>a&lt;b&gt;<br />&#39;&amp;&quot;</div>"},
        {L"text/plain", "", L"oops", "oops\r\n"},
        {L"image/png", "", L"oops", ""},
    };
    for (const row& r : rows) {
        auto f = make();
        f->set_content_type(r.type);
        if (*r.body) f->write_response(r.body, std::strlen(r.body));
        if (r.error) f->write_error_text(r.error);
        f->end_response();
        EXPECT_EQ(drain(*f), r.expect) << cl::utf16_to_utf8(r.type) << " " << r.body;
    }
}

TEST_F(JscriptFile, WebserverBodyOutputAndConversions) {
    auto f = make();
    automation::com_ptr<scripting::main_script_object> m(
        new scripting::main_script_object(nullptr));
    variant ws;
    ASSERT_EQ(m->webserver(&ws), s_ok);
    auto* web = static_cast<scripting::webserver_object*>(
        static_cast<scripting::iwebserver_i*>(ws.dispatch()));
    web->set_request(cl::make_sh<scripting::shost_file_adapter>(f.get()));
    // The same object on every call.
    variant again;
    m->webserver(&again);
    EXPECT_EQ(again.dispatch(), ws.dispatch());

    auto call = [&](const wchar_t* name, std::vector<variant> args, variant* r) {
        return dispatch_call(ws.dispatch(), name, dispatch_method, std::move(args), r);
    };
    const char body[] = "\x01\xff\x80z";
    ASSERT_EQ(f->write(body, 4), 4);
    f->end_input();
    variant r;
    // Binary mode: one unit per byte, however many were asked for.
    ASSERT_EQ(dispatch_call(ws.dispatch(), L"io_mode", dispatch_propertyput, {variant::from_i4(1)},
                            nullptr),
              s_ok);
    ASSERT_EQ(call(L"read_body", {variant::from_i4(10)}, &r), s_ok);
    EXPECT_EQ(r.bstr(), (std::wstring{1, 0xFF, 0x80, L'z'}));
    ASSERT_EQ(call(L"read_body", {variant::from_i4(-1)}, &r), s_ok);
    EXPECT_EQ(r.bstr(), L"");

    EXPECT_EQ(call(L"write_response", {variant::from_bstr(L"")}, &r), s_ok);
    EXPECT_EQ(r.boolean(), variant_false);
    EXPECT_EQ(call(L"write_response", {variant::from_bstr(L"ok")}, &r), s_ok);
    EXPECT_EQ(r.boolean(), variant_true);

    EXPECT_EQ(call(L"environment_var", {variant::from_bstr(L"QUERY_STRING")}, &r), s_ok);
    EXPECT_EQ(r.bstr(), L"q=1");
    EXPECT_EQ(call(L"environment_var", {variant::from_bstr(L"A=B")}, &r), e_invalidarg);

    EXPECT_EQ(call(L"str2bytearray", {variant::from_bstr(L"A\u00ff\u0141")}, &r), s_ok);
    ASSERT_EQ(r.vt(), vt_array | vt_ui1);
    EXPECT_EQ(r.array()->data, (std::vector<uint8_t>{0x41, 0xFF, 0x41}));
    variant back;
    EXPECT_EQ(call(L"bytearray2str", {r}, &back), s_ok);
    EXPECT_EQ(back.bstr(), L"A\u00ffA");
    EXPECT_EQ(call(L"bytearray2str", {variant::from_bstr(L"x")}, &back), e_invalidarg);
    auto two_dims = std::make_shared<safearray>();
    two_dims->dims = 2;
    EXPECT_EQ(call(L"bytearray2str", {variant::from_array(two_dims)}, &back), e_invalidarg);

    EXPECT_EQ(call(L"from_utf8", {variant::from_bstr(L"\u00c3\u00a9")}, &r), s_ok);
    EXPECT_EQ(r.bstr(), L"\u00e9");
    // From the hosts file: no query leaves the machine.
    EXPECT_EQ(call(L"dns_lookup", {variant::from_bstr(L"localhost")}, &r), s_ok);
    const std::wstring both = r.bstr();
    ASSERT_GE(both.size(), 10u);
    EXPECT_EQ(both.substr(both.size() - 10), L",127.0.0.1");
    f->end_response();
    EXPECT_EQ(drain(*f), "ok");
}

TEST(JscriptChannel, ClosingEitherSideEndsTheOther) {
    scripting::byte_channel c(4);
    std::size_t written = 0;
    std::thread writer([&] { written = c.write("abcdefgh", 8); });
    char buf[8];
    ASSERT_EQ(c.read(buf, 2), 2u);
    EXPECT_EQ(std::string(buf, 2), "ab");
    // The reader goes away: the blocked writer returns with what it got in.
    c.close_reader();
    writer.join();
    EXPECT_GE(written, 2u);
    EXPECT_LT(written, 8u);
    EXPECT_EQ(c.read(buf, 8), 0u);

    scripting::byte_channel d(64);
    EXPECT_EQ(d.write("xy", 2), 2u);
    d.close_writer();
    EXPECT_EQ(d.read(buf, 8), 2u);
    EXPECT_EQ(d.read(buf, 8), 0u);
}

} // namespace
