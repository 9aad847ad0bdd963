// A request head as a client sends it, in pieces: the connection's parser
// with the connection's limits, then the target split and canonicalised as
// the connection does it, then the body (a length or chunks) as a handler
// takes it. Every field kept lies in the parser's store and holds bytes the
// client sent; the canonical path stays below the root; a body is no longer
// than what followed the head.
#include "platform/khttp/khttp.h"
#include "platform/khttp/request_parser.h"
#include "platform/khttp/url.h"
#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace http = boost::beast::http;

namespace {

bool is_segment(std::string_view path, std::string_view seg) {
    for (std::size_t at = path.find(seg); at != std::string_view::npos;
         at = path.find(seg, at + 1)) {
        const std::size_t end = at + seg.size();
        if (at > 0 && path[at - 1] == '/' && (end == path.size() || path[end] == '/')) return true;
    }
    return false;
}

// What every canonical path promises, and that the shortcut for plain
// targets gives what the full decoder gives.
void check_path(std::string_view raw) {
    std::string utf8, full_utf8;
    std::wstring wide, full_wide;
    const bool ok = khttp::canonicalize_path(raw, utf8, wide);
    const bool full = khttp::decode_path(raw, full_utf8, full_wide);
    FUZZ_CHECK(ok == full);
    if (!ok) return;
    FUZZ_CHECK(utf8 == full_utf8);
    FUZZ_CHECK(wide == full_wide);
    FUZZ_CHECK(!utf8.empty() && utf8[0] == '/');
    FUZZ_CHECK(khttp::wide_to_utf8(wide) == utf8);
    FUZZ_CHECK(!is_segment(utf8, "..") && !is_segment(utf8, "."));
    for (const wchar_t c : wide) {
        // A control byte sent as an escape is the server's to refuse.
        FUZZ_CHECK(c != 0 && c != L'\\');
        FUZZ_CHECK(c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF));
    }
    // Decoding what came out changes nothing, unless an escape was decoded
    // into a "%" that would be read as one again, or into a control byte
    // that is refused when sent as it is.
    const auto raw_only = [](char c) {
        return c == '%' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    };
    if (std::none_of(utf8.begin(), utf8.end(), raw_only)) {
        std::string again_utf8;
        std::wstring again;
        FUZZ_CHECK(khttp::canonicalize_path(utf8, again_utf8, again));
        FUZZ_CHECK(again == wide);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz::as_text(data, size);
    const std::vector<std::string_view> pieces = fuzz::cut_in_pieces(input);
    std::string sent;
    for (auto p : pieces)
        sent += p;

    khttp::head_store store;
    std::optional<khttp::request_parser> parser;
    parser.emplace(store);
    parser->header_limit(static_cast<std::uint32_t>(khttp::max_request_head));
    parser->body_limit(std::numeric_limits<std::uint64_t>::max());

    // The bytes arrive one piece after the other into one buffer, as they
    // do into a connection's, and the parser takes what it can each time.
    std::string in;
    std::size_t pos = 0;
    bool done = false;
    for (std::size_t k = 0; k < pieces.size() && !done; ++k) {
        in += pieces[k];
        while (pos < in.size() && in.size() - pos > 0) {
            boost::system::error_code ec;
            std::size_t n = 0;
            try {
                n = parser->put(boost::asio::buffer(in.data() + pos, in.size() - pos), ec);
            } catch (const std::exception&) {
                return 0; // refused: 400 or 431
            }
            FUZZ_CHECK(n <= in.size() - pos);
            pos += n;
            if (ec == http::error::need_more) break;
            if (ec) return 0;
            if (parser->is_header_done()) {
                done = true;
                break;
            }
            if (n == 0) break;
        }
    }
    if (!done) return 0;

    // Every place the store keeps lies in its text and holds bytes sent.
    const auto inside = [&](uint32_t off, uint32_t len) {
        return uint64_t{off} + len <= store.text.size();
    };
    FUZZ_CHECK(inside(store.method, store.method_size));
    FUZZ_CHECK(inside(store.target, store.target_size));
    FUZZ_CHECK(sent.find(store.method_string()) != std::string::npos);
    FUZZ_CHECK(sent.find(store.target_string()) != std::string::npos);
    for (const auto& f : store.fields) {
        FUZZ_CHECK(inside(f.name, f.name_size) && inside(f.value, f.value_size));
        FUZZ_CHECK(f.name_size > 0);
        FUZZ_CHECK(sent.find(store.name(f)) != std::string::npos);
        const std::string_view v = store.value(f);
        FUZZ_CHECK(v.empty() || (v.front() != ' ' && v.back() != ' '));
        FUZZ_CHECK(store.find(store.name(f)).data() != nullptr);
    }

    std::string host, path, query;
    if (khttp::split_target(store.target_string(), host, path, query)) {
        FUZZ_CHECK(store.target_string().find(path) != std::string_view::npos || path == "/");
        check_path(path);
    }

    // The body (a length or chunks), taken into a buffer of the size a
    // handler hands over, as the rest of the pieces arrive.
    const std::size_t head_end = pos;
    std::string body;
    char room[4096];
    std::size_t k = 0;
    std::size_t arrived = 0;
    for (const auto p : pieces) {
        if (arrived + p.size() > in.size()) break;
        arrived += p.size();
        ++k;
    }
    for (int rounds = 0; rounds < 100000 && !parser->is_done(); ++rounds) {
        if (pos == in.size()) {
            if (k == pieces.size()) break;
            in += pieces[k++];
        }
        parser->body().data = room;
        parser->body().size = sizeof room;
        boost::system::error_code ec;
        std::size_t n = 0;
        try {
            n = parser->put(boost::asio::buffer(in.data() + pos, in.size() - pos), ec);
        } catch (const std::exception&) {
            return 0;
        }
        pos += n;
        body.append(room, sizeof room - parser->body().size);
        if (ec == http::error::need_more) {
            if (k == pieces.size()) break;
            in += pieces[k++];
            continue;
        }
        if (ec && ec != http::error::need_buffer) return 0;
        if (n == 0 && parser->body().size == sizeof room && ec != http::error::need_buffer) break;
    }
    FUZZ_CHECK(body.size() <= sent.size() - head_end);
    FUZZ_CHECK(sent.find(body) != std::string::npos || parser->chunked());
    return 0;
}
