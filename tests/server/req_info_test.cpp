// The request variables are made when first read; whatever the order of
// setting, deferring and reading, a reader sees what setting every variable
// at once would have given.
#include "core/text.h"
#include "server/http_request.h"
#include "server/req_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::shared_ptr<http_request_data> sample_data() {
    auto d = std::make_shared<http_request_data>();
    d->known_headers[http_header_host] = "host.example:8080";
    d->known_headers[http_header_content_type] = "text/plain";
    d->known_headers[http_header_cookie] = "a=1";
    d->unknown_headers["X-Odd-CASE"] = "odd";
    d->unknown_headers["X_Under"] = "dropped";
    d->unknown_headers["Proxy"] = "evil";
    return d;
}

struct order_case {
    const char* name;
    // Steps on a fresh req_info; the data is deferred by the step "defer".
    std::vector<std::function<void(req_info&, std::shared_ptr<http_request_data>&)>> steps;
    const char* variable;
    const char* expected; // nullptr: not set
};

void defer(req_info& i, std::shared_ptr<http_request_data>& d) {
    i.defer_header_variables(d);
}

// The service's record of a request, whose texts variables may borrow.
std::shared_ptr<khttp::request> sample_record() {
    auto k = std::make_shared<khttp::request>();
    k->local_text.host = "192.0.2.7";
    k->remote_text.port = "50123";
    return k;
}

void borrow_server_name(req_info& i, std::shared_ptr<http_request_data>&) {
    const auto k = sample_record();
    i.borrow(req_info::slot::server_name, k->local_text.host, k);
}

TEST(RequestVariables, OrderOfSettingAndDeferringIsKept) {
    const std::vector<order_case> cases = {
        {"header replaces an earlier set",
         {[](req_info& i, auto&) { i.set("SERVER_NAME", "127.0.0.1"); }, defer},
         "SERVER_NAME",
         "host.example:8080"},
        {"a later set replaces the header",
         {defer, [](req_info& i, auto&) { i.set("SERVER_NAME", "local"); }},
         "SERVER_NAME",
         "local"},
        {"a later set of an HTTP_ name replaces the header",
         {defer, [](req_info& i, auto&) { i.set("HTTP_X_ODD_CASE", "mine"); }},
         "HTTP_X_ODD_CASE",
         "mine"},
        {"a set of another name leaves the header",
         {defer, [](req_info& i, auto&) { i.set("REMOTE_ADDR", "1.2.3.4"); }},
         "HTTP_X_ODD_CASE",
         "odd"},
        {"a borrowed text outlives its lender's other holders",
         {borrow_server_name},
         "SERVER_NAME",
         "192.0.2.7"},
        {"header replaces an earlier borrow",
         {borrow_server_name, defer},
         "SERVER_NAME",
         "host.example:8080"},
        {"a borrow replaces the header", {defer, borrow_server_name}, "SERVER_NAME", "192.0.2.7"},
        {"a later set replaces a borrow",
         {borrow_server_name, [](req_info& i, auto&) { i.set("SERVER_NAME", "local"); }},
         "SERVER_NAME",
         "local"},
        {"a later borrow replaces a set",
         {[](req_info& i, auto&) { i.set(req_info::slot::server_name, "local"); },
          borrow_server_name},
         "SERVER_NAME",
         "192.0.2.7"},
        {"REDIRECT_STATUS set after the headers",
         {defer, [](req_info& i, auto&) { i.set("REDIRECT_STATUS", "404"); }},
         "REDIRECT_STATUS",
         "404"},
        {"REDIRECT_STATUS set before the headers",
         {[](req_info& i, auto&) { i.set("REDIRECT_STATUS", "404"); }, defer},
         "REDIRECT_STATUS",
         "200"},
        {"absent known header still gives an empty variable", {defer}, "CONTENT_LENGTH", ""},
        {"underscore names and Proxy get none", {defer}, "HTTP_X_UNDER", nullptr},
        {"Proxy gets none", {defer}, "HTTP_PROXY", nullptr},
        {"no defer, no header variable", {}, "HTTP_HOST", nullptr},
        {"creation value", {}, "GATEWAY_INTERFACE", "CGI/1.1"},
        {"creation value replaced",
         {[](req_info& i, auto&) { i.set("SERVER_PROTOCOL", "x"); }},
         "SERVER_PROTOCOL",
         "x"},
        {"headers settled before a change are kept",
         {defer,
          [](req_info& i, auto& d) {
              i.settle_header_variables();
              d->unknown_headers["X-Odd-CASE"] = "changed";
          }},
         "HTTP_X_ODD_CASE",
         "odd"},
        {"a second defer adds to the first",
         {defer,
          [](req_info& i, auto& d) {
              auto other = std::make_shared<http_request_data>(*d);
              other->unknown_headers.erase("X-Odd-CASE");
              other->known_headers[http_header_cookie] = "b=2";
              i.defer_header_variables(other);
          }},
         "HTTP_X_ODD_CASE",
         "odd"},
    };
    for (const order_case& c : cases) {
        auto data = sample_data();
        auto info = cl::make_sh<req_info>();
        for (const auto& step : c.steps)
            step(*info, data);
        const req_info& v = *info;
        EXPECT_EQ(v.has(c.variable), c.expected != nullptr) << c.name;
        EXPECT_EQ(v.get(c.variable), c.expected ? c.expected : "") << c.name;
        EXPECT_EQ(v.view(c.variable), c.expected ? c.expected : "") << c.name;
        const auto all = v.variables();
        const auto it = all.find(c.variable);
        EXPECT_EQ(it != all.end(), c.expected != nullptr) << c.name;
        if (it != all.end() && c.expected) {
            EXPECT_EQ(it->second, c.expected) << c.name;
        }
    }
}

TEST(RequestVariables, AllVariablesAndTheirCopy) {
    set_cgi_values({"tq/2", "/srv/pub/", "/srv/private/"});
    auto data = sample_data();
    auto info = cl::make_sh<req_info>();
    info->set("REMOTE_ADDR", "127.0.0.1");
    info->set("_TSKQVL_SOMETHING_LONG_AND_RARE", std::string(40, 'x'));
    info->defer_header_variables(data);
    const req_info::variable_map expected = {
        {"CONTENT_LENGTH", ""},
        {"CONTENT_TYPE", "text/plain"},
        {"COOKIE", "a=1"},
        {"DOCUMENT_ROOT", "/srv/pub/"},
        {"GATEWAY_INTERFACE", "CGI/1.1"},
        {"HTTP_CONTENT_TYPE", "text/plain"},
        {"HTTP_COOKIE", "a=1"},
        {"HTTP_HOST", "host.example:8080"},
        {"HTTP_X_ODD_CASE", "odd"},
        {"REDIRECT_STATUS", "200"},
        {"REMOTE_ADDR", "127.0.0.1"},
        {"SERVER_NAME", "host.example:8080"},
        {"SERVER_PROTOCOL", "HTTP/1.1"},
        {"SERVER_SOFTWARE", "tq/2"},
        {"_TSKQVL_PRIVATE_DIR", "/srv/private/"},
        {"_TSKQVL_SOMETHING_LONG_AND_RARE", std::string(40, 'x')},
    };
    EXPECT_EQ(info->variables(), expected);

    // An include's copy holds the same and goes its own way.
    auto sub = cl::make_sh<req_info>();
    sub->set("STALE", "gone");
    sub->copy_variables(*info);
    EXPECT_EQ(sub->variables(), expected);
    sub->set("QUERY_STRING", "x=1");
    sub->set("HTTP_HOST", "other");
    EXPECT_FALSE(info->has("QUERY_STRING"));
    EXPECT_EQ(info->get("HTTP_HOST"), "host.example:8080");
    // The copy keeps the creation values it was given.
    set_cgi_values({"tq/3", "/elsewhere/", "/p/"});
    EXPECT_EQ(sub->get("SERVER_SOFTWARE"), "tq/2");
    set_cgi_values({});
}

} // namespace

namespace {

// Setting a variable by its slot is setting it by its name: the same
// variables result, also after the header variables were deferred (a slot
// that the headers give replaces their value, one they do not give leaves
// them alone).
TEST(RequestVariables, SlotsAreTheirNames) {
    const std::vector<std::pair<req_info::slot, const char*>> slots = {
        {req_info::slot::auth_type, "AUTH_TYPE"},
        {req_info::slot::content_length, "CONTENT_LENGTH"},
        {req_info::slot::content_type, "CONTENT_TYPE"},
        {req_info::slot::cookie, "COOKIE"},
        {req_info::slot::document_root, "DOCUMENT_ROOT"},
        {req_info::slot::gateway_interface, "GATEWAY_INTERFACE"},
        {req_info::slot::path_translated, "PATH_TRANSLATED"},
        {req_info::slot::query_string, "QUERY_STRING"},
        {req_info::slot::redirect_status, "REDIRECT_STATUS"},
        {req_info::slot::remote_addr, "REMOTE_ADDR"},
        {req_info::slot::remote_host, "REMOTE_HOST"},
        {req_info::slot::remote_port, "REMOTE_PORT"},
        {req_info::slot::remote_user, "REMOTE_USER"},
        {req_info::slot::request_method, "REQUEST_METHOD"},
        {req_info::slot::request_uri, "REQUEST_URI"},
        {req_info::slot::script_filename, "SCRIPT_FILENAME"},
        {req_info::slot::script_name, "SCRIPT_NAME"},
        {req_info::slot::server_name, "SERVER_NAME"},
        {req_info::slot::server_port, "SERVER_PORT"},
        {req_info::slot::server_protocol, "SERVER_PROTOCOL"},
        {req_info::slot::server_software, "SERVER_SOFTWARE"},
        {req_info::slot::tskqvl_authname, "_TSKQVL_AUTHNAME"},
        {req_info::slot::tskqvl_authuserfile, "_TSKQVL_AUTHUSERFILE"},
        {req_info::slot::tskqvl_file, "_TSKQVL_FILE"},
        {req_info::slot::tskqvl_path, "_TSKQVL_PATH"},
        {req_info::slot::tskqvl_private_dir, "_TSKQVL_PRIVATE_DIR"},
        {req_info::slot::tskqvl_redirect_to, "_TSKQVL_REDIRECT_TO"},
        {req_info::slot::tskqvl_require, "_TSKQVL_REQUIRE"},
        {req_info::slot::tskqvl_response_code, "_TSKQVL_RESPONSE_CODE"},
        {req_info::slot::tskqvl_response_text, "_TSKQVL_RESPONSE_TEXT"},
    };
    ASSERT_EQ(slots.size(), req_info::slot_count);
    // A slot set by number, set by name, or borrowing the text reads alike.
    const std::string text = "value of a slot, long enough for the heap";
    for (const int mode : {0, 1, 2}) {
        const bool deferred = mode != 0;
        for (const auto& [s, name] : slots) {
            auto d = sample_data();
            req_info by_slot, by_name;
            if (deferred) {
                by_slot.defer_header_variables(d);
                by_name.defer_header_variables(d);
            }
            if (mode == 2)
                by_slot.borrow(s, text, std::make_shared<khttp::request>());
            else
                by_slot.set(s, text);
            by_name.set(name, text);
            EXPECT_EQ(by_slot.variables(), by_name.variables()) << name << " " << deferred;
            EXPECT_EQ(by_slot.get(name), "value of a slot, long enough for the heap") << name;
            // Names keep their case: another spelling is another variable.
            std::string lower(name);
            for (char& c : lower)
                c = cl::to_lower_char(c);
            by_slot.set(lower, "other");
            EXPECT_EQ(by_slot.get(name), "value of a slot, long enough for the heap") << name;
        }
    }
}

} // namespace

// A script page reads the variables on its worker while the request's thread
// sets the answer's status: once shared, neither sees the other half-done.
TEST(RequestVariables, SharedVariablesReadWhileSet) {
    cl::sh_ptr<req_info> info(new req_info());
    info->share_between_threads();
    const std::string a(200, 'a'), b(300, 'b');
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            info->set(req_info::slot::tskqvl_response_text, (i & 1) ? a : b);
            info->set("_TSKQVL_OTHER", (i & 1) ? b : a);
        }
        done = true;
    });
    std::size_t torn = 0;
    for (int i = 0; i < 200000 && !done; ++i) {
        const std::string t = info->get("_TSKQVL_RESPONSE_TEXT");
        const std::string o = info->get("_TSKQVL_OTHER");
        if (!t.empty() && t != a && t != b) ++torn;
        if (!o.empty() && o != a && o != b) ++torn;
    }
    writer.join();
    EXPECT_EQ(torn, 0u);
}
