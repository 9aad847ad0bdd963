#include "core/format.h"
#include "request_test_support.h"
#include "server/config/config_cache.h"
#include "server/http_response.h"
#include "server/method_table.h"
#include "server/response_files.h"
#include "server/server_services.h"

#include <gtest/gtest.h>

using namespace request_test;

namespace {

class Ranges : public request_fixture {
  protected:
    byte_range_list parse(const std::string& header, int64_t size = 100) {
        auto r = get_request("");
        r->data->known_headers[http_header_range] = header;
        r->parse_range_header(size);
        return r->ranges;
    }
};

TEST_F(Ranges, Table) {
    struct row {
        const char* header;
        int64_t size;
        bool one;
        int64_t first, last;
    };
    const row rows[] = {
        {"bytes=0-", 100, true, 0, 99},
        {"bytes=-10", 100, true, 90, 99},
        {"bytes=-500", 100, true, 0, 99},
        {"bytes=0-49,50-99", 100, true, 0, 99},
        {"bytes=50-99,0-49", 100, true, 0, 99},
        {"bytes=0-9,20-29", 100, false, 0, 0},
        {"bytes=0-200", 100, false, 0, 0},
        {"bytes=5-4", 100, false, 0, 0},
        {"bytes=0-0", 1, false, 0, 0}, // a file below 2 bytes is never split
        {"items=0-9", 100, false, 0, 0},
        {"bytes=10-20, 0-99", 100, true, 0, 99},
        {"bytes= 3 - 7 ", 100, true, 3, 7},
        {"bytes=0-9,200-300", 100, true, 0, 9}, // parsing stops at the bad token
        // Positions that are no numbers leave the whole file to be sent.
        {"bytes=a-9", 100, false, 0, 0},
        {"bytes=0-x", 100, false, 0, 0},
        {"bytes=--5", 100, false, 0, 0},
        {"bytes=+1-5", 100, false, 0, 0},
        {"bytes=0-9,zz", 100, false, 0, 0},
        {"bytes=99999999999999999999-", 100, false, 0, 0},
        {"bytes=-", 100, false, 0, 0},
    };
    for (const row& r : rows) {
        const byte_range_list got = parse(r.header, r.size);
        if (r.one) {
            ASSERT_EQ(got.size(), 1u) << r.header;
            EXPECT_EQ(got[0].first, r.first) << r.header;
            EXPECT_EQ(got[0].second, r.last) << r.header;
        } else {
            EXPECT_TRUE(got.empty()) << r.header;
        }
    }
}

TEST(RangePositions, Numbers) {
    int64_t v = -1;
    EXPECT_TRUE(parse_range_position("0", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(parse_range_position("9223372036854775807", v));
    EXPECT_FALSE(parse_range_position("9223372036854775808", v));
    EXPECT_FALSE(parse_range_position("", v));
    EXPECT_FALSE(parse_range_position("1e3", v));
    EXPECT_FALSE(parse_range_position("-1", v));
}

TEST(EntityTags, ListContains) {
    EXPECT_TRUE(etag_list_contains("\"a\"", "\"b\", \"a\""));
    EXPECT_TRUE(etag_list_contains("W/\"a\"", "W/\"a\""));
    EXPECT_FALSE(etag_list_contains("\"a\"", "W/\"a\""));
    EXPECT_FALSE(etag_list_contains("\"a\"", "\"ab\""));
}

class Conditions : public request_fixture {
  protected:
    void SetUp() override {
        request_fixture::SetUp();
        write_file(pub_path() / "f.txt", std::string(100, 'a'));
    }
    // A GET request on f.txt with its response file open.
    std::unique_ptr<http_get_request> on_file(const std::string& method = "GET") {
        auto r = get_request("f.txt", method == "HEAD" ? mode_head : mode_get);
        r->info->set("REQUEST_METHOD", method);
        EXPECT_EQ(r->lookup_request_file(), 0);
        return r;
    }
};

TEST_F(Conditions, EntityTagsAndDates) {
    auto probe = on_file();
    const std::string etag = probe->file().etag();
    const std::string date = probe->file().modified_time_text();
    ASSERT_FALSE(etag.empty());
    win32::filetime ft = 0;
    ASSERT_TRUE(parse_http_date(date, ft));
    win32::systemtime st{};
    win32::filetime_to_systemtime(ft - 10000000, st);
    const std::string earlier = format_http_date(st);

    struct row {
        const char* method;
        http_header_id header;
        std::string value;
        int expected;
    };
    const std::vector<row> rows = {
        {"GET", http_header_if_none_match, "*", 304},
        {"PUT", http_header_if_none_match, "*", 412},
        {"GET", http_header_if_none_match, etag, 304},
        {"GET", http_header_if_none_match, "\"other\"", 200},
        {"GET", http_header_if_match, "\"other\"", 412},
        {"GET", http_header_if_match, "*", 200},
        {"GET", http_header_if_match, "\"x\", " + etag, 200},
        {"GET", http_header_if_modified_since, date, 304},
        {"GET", http_header_if_modified_since, earlier, 200},
        {"GET", http_header_if_modified_since, "not a date", 200},
        {"GET", http_header_if_unmodified_since, earlier, 412},
        {"GET", http_header_if_unmodified_since, date, 200},
    };
    for (const row& r : rows) {
        auto req = on_file(r.method);
        req->data->known_headers[r.header] = r.value;
        EXPECT_EQ(req->check_preconditions(200, L"", false), r.expected)
            << r.method << " " << request_header_name(r.header) << ": " << r.value;
    }
    // A stale tag with an unchanged date: the tags decide, the full answer goes out.
    auto stale = on_file();
    stale->data->known_headers[http_header_if_none_match] = "\"stale\"";
    stale->data->known_headers[http_header_if_modified_since] = date;
    EXPECT_EQ(stale->check_preconditions(200, L"", false), 200);
    // If-Match on a target without an entity tag.
    auto none = on_file();
    none->set_file(std::make_unique<string_file>("x"));
    none->data->known_headers[http_header_if_match] = "*";
    EXPECT_EQ(none->check_preconditions(200, L"", false), 412);
    // A named path supplies the tag instead of the response file.
    auto by_path = get_request("");
    by_path->data->known_headers[http_header_if_none_match] = etag;
    EXPECT_EQ(by_path->check_preconditions(200, pub() + L"f.txt", true), 304);
}

TEST_F(Conditions, IfHeader) {
    // Resource tags are looked up through this source: first one that knows
    // no resource, then one that knows f.txt and g.txt.
    struct tag_source : server_config::config_source {
        request_fixture* fixture = nullptr; // null: no tag names a resource
        cl::sh_ptr<config_info> for_path(std::wstring_view, std::wstring_view) override {
            return nullptr;
        }
        cl::sh_ptr<config_info> for_url(std::string_view path, std::wstring_view) override {
            if (!fixture) return nullptr;
            if (path == "/f%2Etxt") path = "/f.txt";
            if (path != "/f.txt" && path != "/g.txt") return nullptr;
            return fixture->config_for(std::string(path.substr(1)));
        }
    } source;
    server_config::set_config_source(&source);
    auto probe = on_file();
    const std::string etag = probe->file().etag();
    struct row {
        std::string header;
        bool allowed;
    };
    const std::vector<row> rows = {
        {"([" + etag + "])", true},
        {"([\"other\"])", false},
        {"(Not [\"other\"])", true},
        {"([\"other\"]) ([" + etag + "])", true},
        {"(<opaquelocktoken:1>)", false}, // no lock is held
        {"(Not <opaquelocktoken:1>)", true},
        {"()", false},
        {"([" + etag + "]", false},
        {"([" + etag + "]) %", false},
        {"<http://host/f.txt> ([" + etag + "])", false},
        {"(<a:b>) <"
         "/f.txt"
         "> ([" +
             etag + "])",
         false}, // a tag between lists
    };
    for (const row& r : rows) {
        auto req = on_file("PUT");
        req->data->unknown_headers["If"] = r.header;
        EXPECT_EQ(req->if_header_allows_write(), r.allowed) << r.header;
    }
    // A resource tag, a path or an absolute URL as WebDAV clients send it, is
    // looked up like a request path (percent-encoded) and used for the lists
    // after it.
    source.fixture = this;
    const std::vector<row> tagged_rows = {
        {"</f.txt> ([" + etag + "])", true},
        {"<http://host/f.txt> ([" + etag + "])", true},
        {"<https://host:8443/f%2Etxt?q> ([" + etag + "])", true},
        {"<http://host/g.txt> ([" + etag + "])", false},
        {"<http://host/other.txt> ([" + etag + "])", false},
        {"<http://host/g.txt> ([\"x\"]) <http://host/f.txt> ([" + etag + "])", true},
        {"<http://host/f.txt>", false},
    };
    for (const row& r : tagged_rows) {
        auto req = on_file("PUT");
        req->data->unknown_headers["If"] = r.header;
        EXPECT_EQ(req->if_header_allows_write(), r.allowed) << r.header;
    }
    server_config::set_config_source(nullptr);

    auto lock = on_file("PUT");
    lock->data->unknown_headers["If"] = "(<opaquelocktoken:1>) (<opaquelocktoken:2>)";
    EXPECT_FALSE(lock->if_header_allows_write());
    EXPECT_EQ(lock->submitted_lock_tokens,
              (std::vector<std::string>{"opaquelocktoken:1", "opaquelocktoken:2"}));
}

struct one_lock : lock_token_table {
    std::wstring path;
    bool is_current_lock_token(const std::wstring& resource, const std::string& token) override {
        return resource == path && token == "opaquelocktoken:me";
    }
};

TEST_F(Conditions, IfHeaderWithTheResourceLock) {
    one_lock locks;
    locks.path = pub() + L"f.txt";
    set_lock_token_table(&locks);
    auto r = on_file("PUT");
    r->data->unknown_headers["If"] = "(<opaquelocktoken:me>)";
    EXPECT_TRUE(r->if_header_allows_write());
    auto n = on_file("PUT");
    n->data->unknown_headers["If"] = "(Not <opaquelocktoken:me>)";
    EXPECT_FALSE(n->if_header_allows_write());
    auto other = on_file("PUT");
    other->data->unknown_headers["If"] = "(<opaquelocktoken:you>)";
    EXPECT_EQ(other->check_preconditions(200, L"", false), 412);
    set_lock_token_table(nullptr);
}

class StaticGet : public Conditions {};

TEST_F(StaticGet, WholeFileAndHead) {
    auto r = on_file();
    r->config()->file_etag = true;
    r = get_request("f.txt");
    r->config()->file_etag = true;
    EXPECT_EQ(r->handle(), 0);
    EXPECT_EQ(transport.heads[0].status, 200);
    EXPECT_EQ(transport.header("Content-Length"), "100");
    EXPECT_FALSE(transport.header("Last-Modified").empty());
    EXPECT_FALSE(transport.header("Etag").empty());
    EXPECT_EQ(transport.body(), std::string(100, 'a'));

    const auto get_head = transport.heads[0];
    transport = recording_transport();
    auto h = get_request("f.txt", mode_head);
    h->config()->file_etag = true;
    EXPECT_EQ(h->handle(), 0);
    EXPECT_EQ(transport.header("Content-Length"), "100");
    EXPECT_EQ(transport.header("Etag"), get_head.known_headers[http_header_etag]);
    EXPECT_TRUE(transport.body().empty());
}

TEST_F(StaticGet, RangesAndIfRange) {
    auto r = get_request("f.txt");
    r->data->known_headers[http_header_range] = "bytes=10-19";
    EXPECT_EQ(r->handle(), 0);
    EXPECT_EQ(transport.heads[0].status, 206);
    EXPECT_EQ(transport.header("Content-Range"), "bytes 10-19/100");
    EXPECT_EQ(transport.header("Content-Length"), "10");
    EXPECT_EQ(transport.body(), std::string(10, 'a'));

    transport = recording_transport();
    auto bad = get_request("f.txt");
    bad->data->known_headers[http_header_range] = "bytes=ten-twenty";
    EXPECT_EQ(bad->handle(), 0);
    EXPECT_EQ(transport.heads[0].status, 200);
    EXPECT_EQ(transport.body().size(), 100u);

    transport = recording_transport();
    auto stale = get_request("f.txt");
    stale->data->known_headers[http_header_range] = "bytes=10-19";
    stale->data->known_headers[http_header_if_range] = "\"stale\"";
    EXPECT_EQ(stale->handle(), 0);
    EXPECT_EQ(transport.heads[0].status, 200);

    transport = recording_transport();
    auto fresh = get_request("f.txt");
    ASSERT_EQ(fresh->lookup_request_file(), 0);
    const std::string date = fresh->file().modified_time_text();
    fresh = get_request("f.txt");
    fresh->data->known_headers[http_header_range] = "bytes=10-19";
    fresh->data->known_headers[http_header_if_range] = date;
    EXPECT_EQ(fresh->handle(), 0);
    EXPECT_EQ(transport.heads[0].status, 206);
    EXPECT_EQ(transport.header("Last-Modified"), "");
}

TEST_F(StaticGet, NotModifiedAndPreconditionFailed) {
    auto probe = on_file();
    const std::string etag = probe->file().etag();
    auto r = get_request("f.txt");
    r->data->known_headers[http_header_if_none_match] = etag;
    EXPECT_EQ(r->handle(), 0);
    EXPECT_EQ(transport.heads[0].status, 304);
    EXPECT_TRUE(transport.body().empty());

    auto p = get_request("f.txt");
    p->data->known_headers[http_header_if_match] = "\"other\"";
    EXPECT_EQ(p->handle(), 412);
}

TEST_F(StaticGet, MissingFilesOptionsAndDefaultDocuments) {
    auto missing = get_request("nothing.txt");
    EXPECT_EQ(missing->handle(), 404);

    auto options = get_request("nothing.txt", mode_options);
    EXPECT_EQ(options->handle(), 0);
    EXPECT_EQ(transport.heads[0].status, 200);
    // The methods of the table (the program adds the DAV ones at start-up).
    EXPECT_EQ(transport.header("Allow"), allow_list());
    EXPECT_EQ(transport.header("DAV"), "1, 2, 3, calendar-access, addressbook");
    EXPECT_EQ(transport.header("MS-Author-Via"), "DAV");
    EXPECT_EQ(transport.header("Content-Length"), "0");
    EXPECT_TRUE(transport.body().empty());

    transport = recording_transport();
    auto dir = get_request("");
    dir->config()->directory_index = {L"index.html", L"f.txt"};
    EXPECT_EQ(dir->handle(), 0);
    EXPECT_EQ(transport.body(), std::string(100, 'a'));

    auto none = get_request("");
    none->config()->directory_index = {L"index.html"};
    EXPECT_EQ(none->handle(), 404);
}

TEST_F(StaticGet, TinyFilesAreNeverSplit) {
    write_file(pub_path() / "one.txt", "x");
    auto r = get_request("one.txt");
    r->data->known_headers[http_header_range] = "bytes=0-0";
    EXPECT_EQ(r->handle(), 0);
    EXPECT_EQ(transport.heads[0].status, 200);
}

class ErrorPages : public request_fixture {
  protected:
    std::unique_ptr<http_error_request> error(int status, const std::string& method = "GET") {
        auto r = std::make_unique<http_error_request>(cl::make_sh<response_headers>(), status);
        attach(*r, config_for(""), method);
        return r;
    }
};

TEST_F(ErrorPages, BuiltInTexts) {
    for (int s : {400, 403, 404, 405, 500, 501}) {
        transport = recording_transport();
        auto r = error(s);
        EXPECT_EQ(r->handle(), 0);
        EXPECT_EQ(transport.heads[0].status, s);
        EXPECT_EQ(transport.body(), cl::format_str("%? %?", s, status_text(s)));
        EXPECT_EQ(transport.header("Content-Type"),
                  r->config()->mime_type_of_file(L"string_file.txt"));
    }
    transport = recording_transport();
    auto nm = error(304);
    nm->handle();
    EXPECT_EQ(transport.heads[0].status, 304);
    EXPECT_TRUE(transport.body().empty());

    transport = recording_transport();
    auto head = error(404, "HEAD");
    head->handle();
    EXPECT_EQ(transport.heads[0].status, 404);
    EXPECT_TRUE(transport.body().empty());
}

TEST_F(ErrorPages, RedirectDocument) {
    auto r = error(404);
    r->config()->error_documents[404] = L"HTTPS://example.org/missing";
    r->data->query = "a=1";
    r->handle();
    EXPECT_EQ(transport.heads[0].status, 302);
    EXPECT_EQ(transport.header("Location"), "HTTPS://example.org/missing?a=1");
    EXPECT_EQ(transport.body(), "Redirected to HTTPS://example.org/missing?a=1");
}

TEST_F(ErrorPages, LocalDocumentKeepsTheStatusAndIgnoresConditions) {
    write_file(pub_path() / "err" / "404.html", "<p>gone</p>");
    auto r = error(404);
    r->config()->error_documents[404] = pub() + L"err/404.html";
    r->data->known_headers[http_header_range] = "bytes=0-3";
    r->data->known_headers[http_header_if_none_match] = "*";
    r->handle();
    EXPECT_EQ(transport.heads[0].status, 404);
    EXPECT_EQ(transport.body(), "<p>gone</p>");
    EXPECT_EQ(r->info->get("REDIRECT_STATUS"), "404");
}

} // namespace
