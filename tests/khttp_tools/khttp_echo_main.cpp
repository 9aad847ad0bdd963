// A test server on the HTTP service: each path under /t/ exercises one way of
// using the queue calls. Usage: khttp_echo PORT DATA_DIR [--idle MS] [--head MS]
// [--body MS] [--drain BYTES] [--listen ADDRESS]. PORT 0 picks free ports; the chosen ones are
// printed as "LISTENING http=P https=Q". Runs until stdin closes.
#include "platform/khttp/khttp.h"
#include "platform/khttp/url.h"
#include "tests/common/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using tq_test::free_port;

khttp::queue_handle queue;
std::mutex watch_lock;
std::map<uint64_t, khttp::overlapped> watched;

std::string address_text(const sockaddr_storage& s) {
    char host[64] = "?";
    uint16_t port = 0;
    if (s.ss_family == AF_INET) {
        auto* a = reinterpret_cast<const sockaddr_in*>(&s);
        ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        port = ntohs(a->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    auto* a = reinterpret_cast<const sockaddr_in6*>(&s);
    ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(a->sin6_port));
}

std::string query_value(const std::string& q, const std::string& key) {
    auto p = q.find(key + "=");
    if (p == std::string::npos) return {};
    auto end = q.find('&', p);
    return q.substr(p + key.size() + 1, end == std::string::npos ? end : end - p - key.size() - 1);
}

// The head holds views: the reason is a literal, and the length's text lives
// in the thread's slot, as each head made here is sent before the next.
khttp::response make_response(uint16_t status, std::string_view reason, std::size_t length) {
    thread_local std::string length_text;
    length_text = std::to_string(length);
    khttp::response r;
    r.status = status;
    r.reason = reason;
    r.known_headers[khttp::header_content_type] = "text/plain";
    r.known_headers[khttp::header_content_length] = length_text;
    r.known_headers[khttp::header_connection] = "Keep-Alive";
    return r;
}

void send_text(const khttp::request& req, uint16_t status, const std::string& text,
               uint32_t flags = 0) {
    auto r = make_response(status, status == 200 ? "OK" : "Other", text.size());
    if (khttp::send_response(queue, req.request_id, khttp::send_flag_more_data, r) != 0) return;
    khttp::send_body(queue, req.request_id, flags, text.data(), text.size());
}

std::string read_body(const khttp::request& req, uint32_t& last) {
    std::string body;
    char buf[1000];
    uint32_t got = 0;
    while ((last = khttp::receive_body(queue, req.request_id, 0, buf, sizeof buf, got)) == 0)
        body.append(buf, got);
    return body;
}

void handle(const khttp::request& req) {
    std::string path = khttp::wide_to_utf8(req.abs_path);
    auto sub = path.substr(0, path.find('/', 3));
    if (path == "/t/noread") {
        send_text(req, 200, "ok");
    } else if (path == "/t/chunked") {
        khttp::response r = make_response(200, "OK", 0);
        r.known_headers[khttp::header_content_length] = {};
        r.known_headers[khttp::header_transfer_encoding] = "chunked";
        khttp::send_response(queue, req.request_id, khttp::send_flag_more_data, r);
        std::string a = "5\r\nhello\r\n", b = "6\r\n world\r\n", end = "0\r\n\r\n";
        khttp::send_body(queue, req.request_id, khttp::send_flag_more_data, a.data(), a.size());
        khttp::send_body(queue, req.request_id, khttp::send_flag_more_data, b.data(), b.size());
        khttp::send_body(queue, req.request_id, 0, end.data(), end.size());
    } else if (path == "/t/disconnect") {
        send_text(req, 200, "bye", khttp::send_flag_disconnect);
    } else if (path == "/t/nolength") {
        khttp::response r = make_response(200, "OK", 0);
        r.known_headers[khttp::header_content_length] = {};
        khttp::send_response(queue, req.request_id, khttp::send_flag_more_data, r);
        khttp::send_body(queue, req.request_id, khttp::send_flag_more_data, "abc", 3);
        khttp::send_body(queue, req.request_id, 0, "def", 3);
    } else if (path == "/t/short" || path == "/t/long") {
        khttp::response r = make_response(200, "OK", path == "/t/short" ? 10 : 3);
        khttp::send_response(queue, req.request_id, khttp::send_flag_more_data, r);
        khttp::send_body(queue, req.request_id, 0, "0123456789", path == "/t/short" ? 5 : 10);
    } else if (path == "/t/status204" || path == "/t/status304") {
        auto r = make_response(path == "/t/status204" ? 204 : 304, "None", 0);
        r.known_headers[khttp::header_content_length] = {};
        khttp::send_response(queue, req.request_id, khttp::send_flag_more_data, r);
        khttp::send_body(queue, req.request_id, 0, "body!", 5);
    } else if (path == "/t/empty") {
        auto r = make_response(200, "OK", 0);
        r.known_headers[khttp::header_content_length] = {};
        khttp::send_response(queue, req.request_id, 0, r);
    } else if (path == "/t/crlf") {
        auto r = make_response(200, "OK", 0);
        r.unknown_headers.emplace_back("X-Bad", "a\r\nInjected: yes");
        uint32_t e = khttp::send_response(queue, req.request_id, 0, r);
        send_text(req, 500, "refused " + std::to_string(e));
    } else if (path == "/t/watch") {
        {
            std::lock_guard<std::mutex> l(watch_lock);
            khttp::overlapped o;
            khttp::wait_for_disconnect(queue, req.connection_id, o);
            watched[req.connection_id] = o;
        }
        send_text(req, 200, std::to_string(req.connection_id));
    } else if (path == "/t/disconnects") {
        std::string out;
        std::lock_guard<std::mutex> l(watch_lock);
        for (auto& [id, o] : watched)
            if (o.status() != khttp::status_pending) out += std::to_string(id) + "\n";
        send_text(req, 200, out);
    } else if (path == "/t/big") {
        std::size_t n = std::strtoull(query_value(req.query, "n").c_str(), nullptr, 10);
        auto r = make_response(200, "OK", n);
        khttp::send_response(queue, req.request_id, khttp::send_flag_more_data, r);
        std::string piece(65536, 'x');
        while (n > 0) {
            std::size_t k = std::min(n, piece.size());
            n -= k;
            if (khttp::send_body(queue, req.request_id, n ? khttp::send_flag_more_data : 0,
                                 piece.data(), k) != 0)
                break;
        }
    } else if (path == "/t/sleep") {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::atoi(query_value(req.query, "ms").c_str())));
        send_text(req, 200, "slept " + req.query);
    } else {
        // Describe the request, body included.
        std::string d;
        d += "verb=" + std::to_string(static_cast<int>(req.verb)) + "\n";
        d += "unknown_verb=" + req.unknown_verb + "\n";
        d += "raw_url=" + req.raw_url + "\n";
        d += "abs_path=" + path + "\n";
        d += "query=" + req.query + "\n";
        d += "host=" + khttp::wide_to_utf8(req.host) + "\n";
        d += "version=" + std::to_string(req.version_major) + "." +
             std::to_string(req.version_minor) + "\n";
        d += "context=" + std::to_string(req.url_context) + "\n";
        d += "connection=" + std::to_string(req.connection_id) + "\n";
        d += "request=" + std::to_string(req.request_id) + "\n";
        d += "secure=" + std::to_string(req.secure) + "\n";
        d += "remote=" + address_text(req.remote_address) + "\n";
        d += "local=" + address_text(req.local_address) + "\n";
        d += "more_body=" + std::to_string(req.flags & khttp::request_flag_more_entity_body) + "\n";
        for (std::size_t i = 0; i < khttp::request_header_count; ++i)
            if (!req.known_headers[i].empty())
                d += "known." + std::to_string(i) + "=" + req.known_headers[i] + "\n";
        for (auto& [n, v] : req.unknown_headers)
            d += "unknown." + n + "=" + v + "\n";
        uint32_t last = 0;
        std::string body = read_body(req, last);
        d += "body_end=" + std::to_string(last) + "\n";
        d += "body_length=" + std::to_string(body.size()) + "\n";
        d += "body=" + body + "\n";
        send_text(req, 200, d);
    }
}

void worker() {
    for (;;) {
        khttp::request req;
        uint32_t e = khttp::receive_request(queue, 0, 0, req);
        if (e == 995) return;
        if (e != 0) continue;
        handle(req);
    }
}

// Registers host/path pairs on one port; a port of 0 tries free ones.
uint32_t add_with_retry(bool secure, uint16_t& port,
                        const std::vector<std::pair<std::wstring, std::wstring>>& prefixes) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        uint16_t p = port ? port : free_port();
        uint32_t e = 0;
        std::vector<std::wstring> added;
        for (auto& [host, rel] : prefixes) {
            std::wstring url = std::wstring(secure ? L"https://" : L"http://") + host + L":" +
                               std::to_wstring(p) + rel;
            e = khttp::add_url(queue, url, (secure ? 10 : 1) + added.size());
            if (e) break;
            added.push_back(url);
        }
        if (!e) {
            port = p;
            return 0;
        }
        for (auto& u : added)
            khttp::remove_url(queue, u);
        if (port) return e;
    }
    return 32;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: khttp_echo PORT DATA_DIR [--idle MS] [--head MS] "
                             "[--body MS] [--drain BYTES]\n");
        return 2;
    }
    khttp::service_options opts;
    opts.listen_address = "127.0.0.1";
    opts.tls_directory = argv[2];
    for (int i = 3; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        long v = std::atol(argv[i + 1]);
        if (k == "--idle")
            opts.timeouts.idle = std::chrono::milliseconds(v);
        else if (k == "--head")
            opts.timeouts.head = std::chrono::milliseconds(v);
        else if (k == "--body")
            opts.timeouts.body = std::chrono::milliseconds(v);
        else if (k == "--drain")
            opts.drain_limit = static_cast<uint64_t>(v);
        else if (k == "--listen")
            opts.listen_address = argv[i + 1];
    }
    khttp::configure(opts);
    if (khttp::initialize(khttp::initialize_server | khttp::initialize_config) != 0) return 1;
    if (khttp::create_request_queue(queue) != 0) return 1;
    uint16_t port = static_cast<uint16_t>(std::atoi(argv[1]));
    uint16_t tls_port = port ? port + 1 : 0;
    if (uint32_t e = add_with_retry(
            false, port, {{L"+", L"/t/"}, {L"+", L"/t/api/"}, {L"localhost", L"/t/api/v2/"}})) {
        std::fprintf(stderr, "add_url failed: %u\n", e);
        return 1;
    }
    if (uint32_t e = add_with_retry(true, tls_port, {{L"+", L"/t/"}})) {
        std::fprintf(stderr, "add_url (https) failed: %u\n", e);
        return 1;
    }
    std::printf("LISTENING http=%u https=%u\n", port, tls_port);
    std::fflush(stdout);
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back(worker);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    khttp::close_request_queue(queue);
    for (auto& t : workers)
        t.join();
    khttp::terminate(khttp::initialize_server | khttp::initialize_config);
    return 0;
}
