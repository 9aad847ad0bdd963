// A fixed "hello" responder on the HTTP service, the way the server uses it:
// pool threads block on the queue, send the head with more data to come and
// then the body. With POOL_THREADS 0 the event loop that read a request
// answers it in the queue's request handler, as the server does for quick
// requests. Usage: khttp_hello PORT [POOL_THREADS] [IO_THREADS]; runs until
// SIGINT or SIGTERM.
#include "platform/khttp/khttp.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: khttp_hello PORT [POOL_THREADS] [IO_THREADS]\n");
        return 2;
    }
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    int pool = argc > 2 ? std::atoi(argv[2]) : 8;
    khttp::service_options o;
    o.listen_address = "127.0.0.1";
    o.io_threads = argc > 3 ? static_cast<std::size_t>(std::atoi(argv[3])) : 2;
    khttp::configure(o);
    khttp::queue_handle q;
    if (khttp::initialize(khttp::initialize_server | khttp::initialize_config) != 0 ||
        khttp::create_request_queue(q) != 0)
        return 1;
    static const std::string body = "hello\n";
    static const std::string length = std::to_string(body.size());
    const auto answer = [](uint64_t request_id, const khttp::queue_handle& q) {
        static const khttp::response r = [] {
            khttp::response r;
            r.status = 200;
            r.reason = "OK";
            r.known_headers[khttp::header_content_type] = "text/plain";
            r.known_headers[khttp::header_content_length] = length;
            r.known_headers[khttp::header_connection] = "Keep-Alive";
            return r;
        }();
        if (khttp::send_response(q, request_id,
                                 khttp::send_flag_more_data | khttp::send_flag_buffer_data, r) == 0)
            khttp::send_body(q, request_id, khttp::send_flag_buffer_data, body.data(), body.size());
    };
    if (pool == 0)
        khttp::set_request_handler(q, [q, answer](const std::shared_ptr<khttp::request>& req) {
            answer(req->request_id, q);
            return true;
        });
    std::wstring url = L"http://+:" + std::to_wstring(std::atoi(argv[1])) + L"/";
    if (uint32_t e = khttp::add_url(q, url)) {
        std::fprintf(stderr, "add_url failed: %u\n", e);
        return 1;
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < pool; ++i) {
        threads.emplace_back([q, answer] {
            khttp::request req;
            for (;;) {
                uint32_t e = khttp::receive_request(q, 0, 0, req);
                if (e == 995) return;
                if (e) continue;
                answer(req.request_id, q);
            }
        });
    }
    std::printf("LISTENING %d\n", std::atoi(argv[1]));
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    khttp::close_request_queue(q);
    for (auto& t : threads)
        t.join();
    khttp::terminate(khttp::initialize_server | khttp::initialize_config);
    return 0;
}
