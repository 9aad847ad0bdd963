// Pieces shared by the request tests: a transport that records what a
// request sends instead of giving it to the kernel service, and a fixture
// that builds requests on files of a temporary document root.
#pragma once
#include "server/config_info.h"
#include "server/deflate.h"
#include "server/http_request.h"
#include "server/req_info.h"
#include "server/response_headers.h"
#include "server_test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace request_test {

// A head as it was sent: the record handed over holds views of texts that
// go with the request, so what the tests look at later is copied.
struct recorded_head {
    uint16_t status = 0;
    std::string reason;
    std::array<std::string, khttp::response_header_count> known_headers;
    std::vector<std::pair<std::string, std::string>> unknown_headers;
    uint16_t version_major = 1;
    uint16_t version_minor = 1;

    explicit recorded_head(const kernel_response& r)
        : status(r.status), reason(r.reason), version_major(r.version_major),
          version_minor(r.version_minor) {
        for (std::size_t i = 0; i < known_headers.size(); ++i)
            known_headers[i] = r.known_headers[i];
        for (const auto& [name, value] : r.unknown_headers)
            unknown_headers.emplace_back(name, value);
    }
};

struct recording_transport : http_transport {
    std::vector<recorded_head> heads;
    std::vector<uint32_t> head_flags;
    std::vector<std::string> pieces;
    std::vector<uint32_t> piece_flags;
    uint32_t fail_response = 0;
    uint32_t fail_body = 0;

    uint32_t send_response(const request_queue_handle&, uint64_t, uint32_t flags,
                           const kernel_response& r) override {
        heads.emplace_back(r);
        head_flags.push_back(flags);
        return fail_response;
    }
    uint32_t send_body(const request_queue_handle&, uint64_t, uint32_t flags, const void* data,
                       std::size_t length) override {
        if (fail_body) return fail_body;
        pieces.emplace_back(static_cast<const char*>(data), data ? length : 0);
        piece_flags.push_back(flags);
        return 0;
    }
    uint32_t receive_body(const request_queue_handle&, uint64_t, uint32_t, void*, uint32_t,
                          uint32_t& received) override {
        received = 0;
        return 38;
    }
    std::string body() const {
        std::string all;
        for (const auto& p : pieces)
            all += p;
        return all;
    }
    // A header of the one head sent, known or not; empty when absent.
    std::string header(std::string_view name) const {
        if (heads.empty()) return {};
        const recorded_head& r = heads.back();
        const int id = response_header_id(name);
        if (id >= 0 && id != http_header_set_cookie && !r.known_headers[id].empty())
            return r.known_headers[id];
        for (const auto& [n, v] : r.unknown_headers)
            if (cl::iequals(n, name)) return v;
        return {};
    }
};

// Undoes the chunk framing; false when the framing is broken.
inline bool unchunk(const std::string& in, std::string& out) {
    out.clear();
    std::size_t pos = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        const std::size_t eol = in.find("\r\n", pos);
        if (eol == std::string::npos) return false;
        const std::size_t n = std::stoul(in.substr(pos, eol - pos), nullptr, 16);
        pos = eol + 2;
        if (n == 0) return in.substr(pos) == "\r\n";
        if (pos + n + 2 > in.size() || in.compare(pos + n, 2, "\r\n") != 0) return false;
        out.append(in, pos, n);
        pos += n + 2;
    }
    return false;
}

class request_fixture : public test_support::server_fixture {
  public:
    void SetUp() override {
        server_fixture::SetUp();
        bind_compression(L"/opt/tesk/");
    }
    void TearDown() override {
        release_compression();
        server_fixture::TearDown();
    }

    // A configuration for a path below the document root ("" for the root).
    cl::sh_ptr<config_info> config_for(const std::string& rel) {
        cl::sh_ptr<config_info> c(new config_info());
        const std::wstring full = pub() + cl::utf8_to_utf16(rel);
        c->attributes = file_attributes_of(full);
        const std::size_t slash = full.rfind(L'/');
        c->directory = full.substr(0, slash + 1);
        c->file_name = full.substr(slash + 1);
        c->local_path = full;
        return c;
    }

    // Attaches data, variables, configuration and the recorder.
    template <class R>
    void attach(R& r, cl::sh_ptr<config_info> config, const std::string& method = "GET") {
        r.transport = &transport;
        r.data = std::make_shared<http_request_data>();
        r.data->method = method;
        r.data->request_id = 7;
        r.data->received = win32::get_system_time();
        r.info = cl::make_sh<req_info>();
        r.info->data = r.data.get();
        r.info->config = config;
        r.info->set("REQUEST_METHOD", method);
    }

    std::unique_ptr<http_get_request> get_request(const std::string& rel,
                                                  uint32_t mode = mode_get) {
        auto r = std::make_unique<http_get_request>(cl::make_sh<response_headers>(), mode);
        const char* method = mode == mode_head ? "HEAD" : mode == mode_options ? "OPTIONS" : "GET";
        attach(*r, config_for(rel), method);
        return r;
    }

    recording_transport transport;
};

} // namespace request_test
