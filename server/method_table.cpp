#include "server/method_table.h"

#include "server/http_request.h"

#include <array>
#include <atomic>

namespace {

template <get_mode Mode> std::unique_ptr<http_request> make_get(cl::sh_ptr<response_headers> h) {
    return std::make_unique<http_get_request>(std::move(h), Mode);
}
std::unique_ptr<http_request> make_post(cl::sh_ptr<response_headers> h) {
    return std::make_unique<http_post_request>(std::move(h));
}

// Written before the first request and only read after: the count is
// published last.
struct table {
    std::array<method_row, 32> rows{{
        {"GET", make_get<mode_get>, false},
        {"HEAD", make_get<mode_head>, false},
        {"POST", make_post, true},
        {"OPTIONS", make_get<mode_options>, false},
    }};
    std::atomic<std::size_t> count{4};
    std::string allow = "GET,HEAD,POST,OPTIONS";
};

table& the_table() {
    static table t;
    return t;
}

} // namespace

void add_methods(const method_row* rows, std::size_t count) {
    table& t = the_table();
    std::size_t n = t.count.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < count && n < t.rows.size(); ++i)
        if (!find_method(rows[i].name)) {
            t.rows[n++] = rows[i];
            t.allow.append(",").append(rows[i].name);
        }
    t.count.store(n, std::memory_order_release);
}

const method_row* find_method(std::string_view name) {
    const table& t = the_table();
    const std::size_t n = t.count.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < n; ++i)
        if (t.rows[i].name == name) return &t.rows[i];
    return nullptr;
}

const std::string& allow_list() {
    return the_table().allow;
}
