// GENA for one service: subscriptions (SUBSCRIBE, renewal, UNSUBSCRIBE)
// with their time-outs, and the NOTIFY messages to each subscriber's
// callback, sent one after another with increasing sequence numbers. Only
// the state variables the service description marks as evented are sent.
// Everything here runs on the host's io thread.
#pragma once
#include "platform/automation/com_objects.h"
#include "platform/upnp/scpd.h"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace upnp {

struct gena_request {
    bool subscribe = true; // else unsubscribe
    std::string sid, nt, callback, timeout;
    std::string subscriber; // the address the request came from, as text
};

struct gena_answer {
    int status = 200;
    std::string sid;
    int timeout_seconds = 0;
    bool initial_event = false; // a new subscription: send the initial event
};

// "<http://a/b><http://c/d>" -> the http URLs in order.
std::vector<std::string> parse_callbacks(const std::string& header);
// "Second-N" (capped) or "infinite" -> seconds; the default when absent or bad.
int parse_timeout(const std::string& header);

class gena_publisher {
  public:
    static constexpr int max_timeout = 1800;
    static constexpr std::size_t max_subscribers = 64;
    // One address holds at most this many; its next one replaces its oldest.
    static constexpr std::size_t max_per_subscriber = 8;
    static constexpr std::size_t max_queued = 32;

    std::vector<state_variable> evented;
    automation::com_ptr<automation::idispatch_i> service;

    gena_answer handle(const gena_request& req, std::chrono::steady_clock::time_point now);
    void send_initial(boost::asio::io_context& io, const std::string& sid);
    // The variables behind the dispids changed: tell every subscriber.
    void publish(boost::asio::io_context& io, const std::vector<automation::dispid>& ids);
    void clear() {
        for (auto& [sid, s] : subs_)
            s->queue.clear();
        subs_.clear();
    }
    std::size_t subscribers() const { return subs_.size(); }

  private:
    struct subscription {
        std::vector<std::string> callbacks;
        std::chrono::steady_clock::time_point expiry;
        uint32_t seq = 0;
        std::deque<std::pair<uint32_t, std::string>> queue; // (SEQ, body)
        bool sending = false;
        std::string sid;
        std::string subscriber;
        uint64_t order = 0; // when made, in the order of subscriptions
    };
    void drop_expired(std::chrono::steady_clock::time_point now);
    // Frees a slot for a new subscription of `subscriber`: its own oldest
    // when it holds its share, else when the table is full the oldest of the
    // address that holds the most. False when none can go.
    bool make_room(const std::string& subscriber);
    void drop(std::map<std::string, std::shared_ptr<subscription>>::iterator it);
    bool value_of(const state_variable& v, std::string& text);
    void enqueue(boost::asio::io_context& io, const std::shared_ptr<subscription>& s,
                 std::string body);
    static void send_next(boost::asio::io_context& io, std::shared_ptr<subscription> s);

    std::map<std::string, std::shared_ptr<subscription>> subs_;
    uint64_t made_ = 0;
};

// The callback URLs a subscriber may name: plain http URLs whose host is the
// subscriber's own address (numeric, as the request came from) and whose
// port is a valid one. Events never go to a third host.
std::vector<std::string> own_callbacks(const std::vector<std::string>& urls,
                                       const std::string& subscriber);

} // namespace upnp
