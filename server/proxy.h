// The forwarding proxy: requests that arrive on the proxy port go on to the
// server their Host header names, through the program's HTTP client; the
// answer comes back as it arrives. The exchange runs on the request's own
// pool thread, and every wait on the upstream server has a time-out.
#pragma once
#include "platform/http_client/http_client.h"
#include "server/response_headers.h"

#include <sys/socket.h>

#include <boost/container/small_vector.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class response_headers;
struct http_request_data;

using header_pairs = std::vector<std::pair<std::string, std::string>>;
using header_views = http_client::request::field_views;

// The server's one client session, opened at start when a proxy port is set
// ("teskqvel", no proxy); 0 or the error number.
uint32_t open_proxy_session();
void close_proxy_session();
std::shared_ptr<http_client::session> proxy_session();
// The upstream time-outs, in seconds (connect, each body write, the answer
// head and each piece of its body).
void set_proxy_timeout(uint32_t seconds);

// Host and port of a Host header value: the text after the first ":" is the
// port (decimal), else 80. A bracketed IPv6 address keeps its colons.
std::pair<std::string, uint16_t> split_host_port(std::string_view host_header);
// The upstream a Host header value names: a name or IPv4 address, or an IPv6
// address in brackets, then an optional ":" and decimal port (default 80).
// False for anything else (user information, a path, blanks or other
// characters, an empty, zero or too large port): such a value is never
// forwarded.
bool parse_upstream_host(std::string_view host_header, std::string& host, uint16_t& port);
// The same, answered from the value this thread parsed last when it is the
// same again (a connection sends one Host with each of its requests).
bool upstream_of_host(std::string_view host_header, std::string& host, uint16_t& port);

// An IP address as 16 bytes; an IPv4 address in its IPv4-mapped form.
using ip_bytes = std::array<uint8_t, 16>;
// The address of a socket address, false for another family.
bool ip_of(const sockaddr* address, socklen_t length, ip_bytes& ip, uint16_t& port);
// The address of a numeric text (IPv4 or IPv6), false when it is none.
bool ip_of_text(std::string_view text, ip_bytes& ip);
bool is_loopback_ip(const ip_bytes& ip);

// What the proxy makes of an address it is about to connect to.
enum class upstream_verdict {
    allowed,
    loop,    // one of this server's own listeners: the request would come back
    refused, // this machine, loopback or link-local, for a client from elsewhere
};
struct upstream_rules {
    std::vector<ip_bytes> own;   // this machine's interface addresses
    std::vector<uint16_t> ports; // this server's listening ports
};
// Who asks for the upstream.
struct upstream_client {
    bool on_loopback = false;      // the client is on this machine
    bool named_on_purpose = false; // the configuration names this upstream
};
// This machine's addresses and this server's listening ports as last read
// (again after ten seconds, so that an address that comes up later is soon
// known).
std::shared_ptr<const upstream_rules> server_upstream_rules();
// The server itself as the client.
constexpr upstream_client server_as_client{true, false};
upstream_verdict judge_upstream(const ip_bytes& ip, uint16_t port, const upstream_rules& rules,
                                upstream_client client);

// The token this server puts in the Via header of what it forwards: it
// finds a request that already passed it.
const std::string& proxy_via_token();

// The request target to send on: the path and query as the client sent
// them; an absolute URL loses its scheme and authority.
std::string forward_target(std::string_view raw_url);
// Headers that concern one connection only and are never passed on.
bool is_hop_by_hop(std::string_view name);
// The header names that Connection fields list: they belong to the hop.
// Views into the values given, which must outlive it.
class hop_names {
  public:
    void add_list(std::string_view connection_value);
    // Asked of every field, while a Connection header seldom names any.
    bool has(std::string_view name) const { return !names_.empty() && listed(name); }

  private:
    bool listed(std::string_view name) const;
    // Sorted; a Connection header names a few at most.
    boost::container::small_vector<std::string_view, 8> names_;
};
// The request headers to send upstream: every header of the request except
// Content-Length, Accept, Referer, Expect and the hop-by-hop ones (with those
// that its Connection header names), and last a Via header that adds this
// server to the one received. Only fields whose name is a field name and
// whose value holds no control byte but a tab pass. Views into data, and
// into via when the Via value is made here.
// drop_login: the Authorization header was this server's own.
header_views proxy_request_fields(const http_request_data& data, std::string& via,
                                  bool drop_login = false);
// Fields as header lines, "Name: value\r\n" each.
std::string header_lines(const header_views& fields);
// Copies the upstream headers into the response headers as they came (values
// are never decoded), without the hop-by-hop ones; repeated names are joined
// with ", " (cookies stay apart). Returns whether a Content-Length came.
// checked: every name is a token and no value holds a control byte but a
// tab (the answer's parser made sure), so the fields need no check here.
// numbers: the parser's number for each name (http_client::known_name), or
// empty; a name's known-header number is then found without reading it.
bool translate_proxy_headers(const header_views& upstream, response_headers& headers,
                             bool checked = false,
                             const http_client::request::field_numbers& numbers = {});
// The client request for an upstream exchange: method, target, the Accept
// value split at commas into types, the Referer; one connection per request
// unless the settings keep upstream connections.
std::unique_ptr<http_client::request> open_proxy_request(const http_client::connection& c,
                                                         const std::string& accept,
                                                         const std::string& method,
                                                         const std::string& target,
                                                         const std::string& referer);
