// The parser of one request on a connection: Beast's HTTP/1 grammar (start
// line, fields, Connection and length rules, chunked bodies), with the head
// copied into a store the connection keeps from request to request, so that
// a warmed keep-alive connection parses without touching the heap. Body bytes
// go into the buffer the caller hands over, as they arrive.
#pragma once
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace khttp {

// Text of the head parsed last: names and values as offsets into one buffer,
// the value trimmed of surrounding blanks.
struct head_store {
    struct field {
        uint32_t name, name_size, value, value_size;
    };
    std::string text;
    std::vector<field> fields;
    uint32_t method = 0, method_size = 0, target = 0, target_size = 0;
    int version = 0;

    void clear() {
        text.clear();
        fields.clear();
        method = method_size = target = target_size = 0;
        version = 0;
    }
    std::string_view at(uint32_t off, uint32_t size) const { return {text.data() + off, size}; }
    std::string_view method_string() const { return at(method, method_size); }
    std::string_view target_string() const { return at(target, target_size); }
    std::string_view name(const field& f) const { return at(f.name, f.name_size); }
    std::string_view value(const field& f) const { return at(f.value, f.value_size); }
    // The first field of that name (compared without regard to case), or "".
    std::string_view find(std::string_view name) const;

    uint32_t keep(std::string_view s) {
        const auto off = static_cast<uint32_t>(text.size());
        text.append(s.data(), s.size());
        return off;
    }
};

inline std::string_view head_store::find(std::string_view n) const {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (const field& f : fields) {
        const std::string_view have = name(f);
        if (have.size() != n.size()) continue;
        std::size_t i = 0;
        while (i < n.size() && lower(have[i]) == lower(n[i]))
            ++i;
        if (i == n.size()) return value(f);
    }
    return {};
}

class request_parser : public boost::beast::http::basic_parser<true> {
  public:
    // Where body bytes go: the caller points data at its buffer; put() moves
    // data on and shrinks size by what it stored.
    struct body_buffer {
        void* data = nullptr;
        std::size_t size = 0;
        bool more = true;
    };

    explicit request_parser(head_store& store) : store_(store) { store_.clear(); }

    body_buffer& body() { return body_; }

  private:
    using error_code = boost::system::error_code;
    using string_view = boost::beast::string_view;

    static std::string_view sv(string_view s) { return {s.data(), s.size()}; }

    static std::string_view trim(std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
            s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
            s.remove_suffix(1);
        return s;
    }

    void on_request_impl(boost::beast::http::verb, string_view method, string_view target,
                         int version, error_code& ec) override {
        ec = {};
        store_.method = store_.keep(sv(method));
        store_.method_size = static_cast<uint32_t>(method.size());
        store_.target = store_.keep(sv(target));
        store_.target_size = static_cast<uint32_t>(target.size());
        store_.version = version;
    }

    void on_response_impl(int, string_view, int, error_code& ec) override { ec = {}; }

    void on_field_impl(boost::beast::http::field, string_view name, string_view value,
                       error_code& ec) override {
        ec = {};
        // Fields of 64 KiB or more are refused as too large, head or trailer.
        constexpr std::size_t most = std::numeric_limits<uint16_t>::max();
        if (name.size() + 2 > most || value.size() + 2 > most)
            throw std::length_error("field too large");
        if (is_header_done()) return; // a trailer: nobody reads it
        const std::string_view v = trim(sv(value));
        head_store::field f;
        f.name = store_.keep(sv(name));
        f.name_size = static_cast<uint32_t>(name.size());
        f.value = store_.keep(v);
        f.value_size = static_cast<uint32_t>(v.size());
        store_.fields.push_back(f);
    }

    void on_header_impl(error_code& ec) override { ec = {}; }

    void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code& ec) override {
        ec = {};
    }

    std::size_t store_body(string_view bytes, error_code& ec) {
        if (!body_.data) {
            ec = boost::beast::http::error::need_buffer;
            return 0;
        }
        const std::size_t n = std::min(body_.size, bytes.size());
        std::memcpy(body_.data, bytes.data(), n);
        body_.data = static_cast<char*>(body_.data) + n;
        body_.size -= n;
        if (n == bytes.size())
            ec = {};
        else
            ec = boost::beast::http::error::need_buffer;
        return n;
    }

    std::size_t on_body_impl(string_view bytes, error_code& ec) override {
        return store_body(bytes, ec);
    }

    void on_chunk_header_impl(std::uint64_t, string_view, error_code& ec) override { ec = {}; }

    std::size_t on_chunk_body_impl(std::uint64_t, string_view bytes, error_code& ec) override {
        return store_body(bytes, ec);
    }

    void on_finish_impl(error_code& ec) override { ec = {}; }

    head_store& store_;
    body_buffer body_;
};

} // namespace khttp
