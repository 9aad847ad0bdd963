// A plain-HTTP exchange driven by the loop's own sockets, for requests
// without a body to a numeric address: the head goes out in one write and
// the answer is read and framed here, with the connection kept per loop for
// the next request to the same address when both sides allow it. Private to
// this layer; request uses it in loop mode.
#pragma once
#include "platform/http_client/http_client.h"

#include <boost/container/small_vector.hpp>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace boost::asio {
class io_context;
}
namespace boost::system {
class error_code;
}

namespace http_client {

// A numeric address of either family: copied with every exchange and kept
// with every connection, so no larger than the larger of them.
union ip_address {
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
};

struct loop_exchange_setup {
    ip_address address{};
    socklen_t length = 0;
    // The request line, the header lines and the empty line.
    std::string head;
    bool keep_alive = true;
    bool head_only = false;
    uint32_t connect_ms = 0;
    uint32_t receive_ms = 0;
    // The request's check; asked before the connect and before the head
    // goes out on a connection (new or kept).
    const request::address_check* check = nullptr;
};

// Texts whose room serves again on the calling thread: every exchange wants
// one for the request's head, one for the answer's head and one for its
// body bytes, and a kept connection would otherwise cost an allocation for
// each of them. Heads and bodies are kept apart, as their sizes differ. A
// text given back may be of any size; too large a room goes.
enum class text_use { head, body };
std::string take_text(text_use use);
void give_text(std::string&& text, text_use use);

// An exchange is held by its owner alone, in the place start was given, and
// by what waits on the loop for it: no weak count of itself is kept, which
// spares counting it at its start and end.
class loop_exchange {
  public:
    // Starts the exchange on the calling thread's loop, held in owner, which
    // must stay where it is until let_go. Returns 0, or the failure known at
    // once (with refused() when the check said no).
    static uint32_t start(boost::asio::io_context& loop, loop_exchange_setup&& setup,
                          std::function<void()>&& progress, std::shared_ptr<loop_exchange>& owner);
    ~loop_exchange();
    loop_exchange(const loop_exchange&) = delete;
    loop_exchange& operator=(const loop_exchange&) = delete;

    // The owner lets go: progress is never called again, and a connection
    // whose answer was not read to its end is closed.
    void abandon();
    // abandon, and the owner's hold goes: at once, or, when the owner lets
    // go from inside its progress call, once that call has returned.
    static void let_go(std::shared_ptr<loop_exchange>&& x);

    bool head_done() const { return head_done_; }
    bool finished() const { return finished_; }
    uint32_t error() const { return error_; }
    bool refused() const { return refused_; }
    const std::string& head() const { return head_; }
    // The head handed over once (empty after): the reader keeps it.
    std::string take_head() { return std::move(head_); }
    // Where the parser found each field of the head: offsets into it of the
    // name and of the value (white space around it left out). Empty when a
    // value was folded over lines, as the parser then joins it elsewhere.
    struct field_span {
        uint32_t name, name_length, value, value_length;
        uint16_t known; // the parser's number for the name (known_name)
    };
    // Inside the exchange for a usual head, so that no request allocates them.
    using field_spans = boost::container::small_vector<field_span, 24>;
    const field_spans& spans() const { return spans_; }
    uint32_t status() const { return status_; }
    const std::string& reason() const { return reason_; }
    std::size_t buffered() const { return down_.size() - down_off_; }
    std::size_t take(void* buffer, std::size_t length);
    std::string peer_text() const;

    struct connection;
    struct driver;
    class parser;

  private:
    friend struct driver;
    friend class parser;
    loop_exchange(boost::asio::io_context& loop, loop_exchange_setup&& setup,
                  std::function<void()>&& progress);

    // Waits for input on the connection; fresh: see owned_socket::wait_input.
    static void watch(const std::shared_ptr<connection>& c, bool fresh);
    static void on_input(const std::shared_ptr<connection>& c, const boost::system::error_code& ec);
    bool address_allowed() const;
    uint32_t begin();
    uint32_t open_new();
    void write_head(bool fresh);
    void wait_writable();
    void on_readable();
    void read_more();
    bool parse(bool fresh);
    void resume();
    void finish_ok(bool fresh);
    void fail(uint32_t error);
    bool retry_on_new();
    void refresh_deadline(uint32_t ms);
    // Reads the clock for the event being handled; what it does after reads
    // now_, as the few steps of one event take far less than the clock's
    // grain.
    void stamp();
    void news() { news_ = true; }
    void notify();

    boost::asio::io_context& loop_;
    driver* driver_ = nullptr;
    std::size_t slot_ = 0; // in the driver's list of running exchanges
    loop_exchange_setup setup_;
    std::function<void()> progress_;
    std::shared_ptr<connection> c_;
    std::unique_ptr<parser> parser_;
    std::size_t written_ = 0;
    std::string down_;
    std::size_t down_off_ = 0;
    // Bytes of an unfinished head at the start of the input, already parsed.
    std::size_t head_kept_ = 0;
    std::string head_;
    field_spans spans_;
    std::string reason_;
    uint32_t status_ = 0;
    uint32_t error_ = 0;
    bool head_done_ = false;
    bool finished_ = false;
    bool refused_ = false;
    bool abandoned_ = false;
    bool news_ = false;
    bool paused_ = false;
    bool resume_posted_ = false;
    bool more_ = false; // the socket may hold bytes no wait will announce
    bool answer_started_ = false;
    bool retried_ = false;
    bool timing_ = false;
    bool telling_ = false; // progress runs
    // The owner's hold, for what waits on the loop for the exchange; cleared
    // when the owner lets go, after which nothing more waits for it.
    std::shared_ptr<loop_exchange>* owner_ = nullptr;
    std::shared_ptr<loop_exchange> hold() const { return *owner_; }
    std::shared_ptr<loop_exchange> parked_; // the owner's hold, let go in progress
    std::chrono::steady_clock::time_point deadline_{};
    std::chrono::steady_clock::time_point now_{};
};

} // namespace http_client
