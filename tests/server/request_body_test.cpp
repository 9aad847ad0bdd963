// Reading a request body: every piece reaches the body file and the totals,
// the loop ends at the end of the body or on a lost connection.
#include "core/simple_file.h"
#include "server/http_request.h"
#include "server/http_server.h"
#include "server/request_body.h"
#include "server/response_headers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct body_transport : http_transport {
    std::vector<std::string> pieces;
    uint32_t end_code = 38;
    std::size_t next = 0;
    uint32_t send_response(const request_queue_handle&, uint64_t, uint32_t,
                           const kernel_response&) override {
        return 0;
    }
    uint32_t send_body(const request_queue_handle&, uint64_t, uint32_t, const void*,
                       std::size_t) override {
        return 0;
    }
    uint32_t receive_body(const request_queue_handle&, uint64_t, uint32_t, void* buffer,
                          uint32_t length, uint32_t& received) override {
        received = 0;
        if (next == pieces.size()) return end_code;
        const std::string& p = pieces[next++];
        received = static_cast<uint32_t>(std::min<std::size_t>(p.size(), length));
        std::memcpy(buffer, p.data(), received);
        return 0;
    }
};

class collecting_file : public cl::simple_file {
  public:
    int64_t write(const void* buffer, int64_t count) override {
        text->append(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        return count;
    }
    int close() override {
        ++*closes;
        return 7;
    }
    std::string* text;
    int* closes;
};

class test_request : public http_request {
  public:
    using http_request::http_request;
    int handle() override { return 0; }
};

TEST(request_body, pieces_reach_the_file_and_the_totals) {
    for (const uint32_t end : {38u, 1229u}) {
        body_transport t;
        t.pieces = {"abc", std::string(32768, 'x'), "z"};
        t.end_code = end;
        test_request r(cl::make_sh<response_headers>());
        r.transport = &t;
        std::string text;
        int closes = 0;
        auto f = std::make_unique<collecting_file>();
        f->text = &text;
        f->closes = &closes;
        r.set_file(std::move(f));
        const uint64_t before = the_http_server().bytes_received();
        EXPECT_EQ(read_request_body(r), 7);
        EXPECT_EQ(text, "abc" + std::string(32768, 'x') + "z");
        EXPECT_EQ(closes, 1);
        EXPECT_EQ(the_http_server().bytes_received() - before, 32772u);
    }
}

} // namespace
