// The request headers whose values the server reads itself: Range, the
// If-* conditions, WebDAV's If, Destination and Timeout, Accept-Encoding.
// The input is one value a line in that order. Every range lies inside the
// file and ranges never overlap; a condition gives one of the answers it
// may give; a Destination path that is taken maps below the root.
#include "core/text.h"
#include "dav/copy_move.h"
#include "dav/locks.h"
#include "server/config/config_cache.h"
#include "server/http_request.h"
#include "server/http_response.h"
#include "server/req_info.h"
#include "server/response_headers.h"
#include "server/script_host.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/server_world.h"

#include <algorithm>
#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size > 16 * 1024) return 0;
    const fuzz::server_world& world = fuzz::set_up_server();
    static const bool made = [&] {
        std::filesystem::create_directories(world.pub + "h");
        return fuzz::write_file(world.pub + "h/x.txt", std::string(1000, 'x'));
    }();
    FUZZ_CHECK(made);
    std::string_view in = fuzz::as_text(data, size);
    const unsigned choice = fuzz::take_choice(in, 8);
    std::vector<std::string> v;
    while (v.size() < 10) {
        const std::size_t nl = in.find('\n');
        v.emplace_back(in.substr(0, nl));
        if (nl == std::string_view::npos) break;
        in.remove_prefix(nl + 1);
    }
    v.resize(10);

    auto r = std::make_unique<http_get_request>(cl::make_sh<response_headers>(), mode_get);
    r->data = std::make_shared<http_request_data>();
    r->data->method = choice & 1 ? "PUT" : "GET";
    r->data->known_headers[http_header_range] = v[0];
    r->data->known_headers[http_header_if_match] = v[1];
    r->data->known_headers[http_header_if_none_match] = v[2];
    r->data->known_headers[http_header_if_modified_since] = v[3];
    r->data->known_headers[http_header_if_unmodified_since] = v[4];
    r->data->known_headers[http_header_if_range] = v[5];
    r->data->unknown_headers["If"] = v[6];
    r->data->unknown_headers["Destination"] = v[7];
    r->data->unknown_headers["Timeout"] = v[8];
    r->data->known_headers[http_header_accept_encoding] = v[9];
    r->info = cl::make_sh<req_info>();
    r->info->data = r->data.get();
    r->info->config = server_config::config_for_path(L"/h/x.txt", L"GET");
    FUZZ_CHECK(r->info->config);
    r->info->set("REQUEST_METHOD", r->data->method);

    const int64_t sizes[] = {1000, 0, 1, int64_t{1} << 40};
    const int64_t file_size = sizes[(choice >> 1) & 3];
    r->parse_range_header(file_size);
    std::vector<std::pair<int64_t, int64_t>> ranges(r->ranges.begin(), r->ranges.end());
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        FUZZ_CHECK(0 <= ranges[i].first && ranges[i].first <= ranges[i].second);
        FUZZ_CHECK(ranges[i].second < file_size);
        if (i > 0) FUZZ_CHECK(ranges[i - 1].second < ranges[i].first);
    }

    const std::wstring path = cl::utf8_to_utf16(world.pub + "h/x.txt");
    const int status = r->check_preconditions(200, path, true);
    FUZZ_CHECK(status == 200 || status == 304 || status == 412);
    (void)r->if_header_allows_write();
    (void)if_header_lock_tokens(v[6]);
    (void)parse_timeout_header(v[8]);
    bool gzip = false, deflate = false;
    accepted_codings(v[9], gzip, deflate);
    (void)etag_list_contains("\"abc\"", v[1]);

    own_names own;
    own.add("example.org");
    own.add("127.0.0.1:8080");
    std::string dest;
    const int d = destination_url_path(v[7], dest, &own);
    FUZZ_CHECK(d == 0 || d == 400 || d == 502);
    if (d == 0) {
        FUZZ_CHECK(!dest.empty() && dest[0] == '/');
        // Mapped as a COPY or MOVE maps it: below the document root.
        const std::wstring pub = cl::utf8_to_utf16(world.pub);
        if (const auto c = server_config::config_for_url(dest, L"PUT"))
            FUZZ_CHECK(c->local_path.compare(0, pub.size(), pub) == 0 &&
                       c->local_path.find(L"/../") == std::wstring::npos);
    }
    return 0;
}
