#include "server/http_server.h"

#include "core/format.h"
#include "core/trace.h"
#include "platform/win32/errors.h"
#include "server/http_tables.h"
#include "server/method_table.h"
#include "server/script_host.h"
#include "server/server_settings.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

#include <sched.h>

namespace {

constexpr uint32_t init_flags = khttp::initialize_server | khttp::initialize_config;
constexpr uint32_t error_operation_aborted = 995;

void before_send_wait();

std::string connection_text(const connection_record& r) {
    if (r.user.empty()) return r.client;
    return r.client + "," + r.user;
}

// The cores this process may run on (its affinity), at least one.
std::size_t usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    return 1;
}

} // namespace

std::size_t http_usable_cores() {
    return usable_cores();
}

_http_server::_http_server() = default;

_http_server::~_http_server() {
    stop();
}

std::vector<std::wstring> _http_server::url_list(const std::wstring& host, uint32_t http_port,
                                                 uint32_t https_port, const std::wstring& rel_uri,
                                                 const std::wstring& proxy_port) {
    std::wstring rel = rel_uri;
    if (!rel.empty() && rel.back() != L'/') rel += L'/';
    std::vector<std::wstring> urls;
    if (!host.empty()) {
        urls.push_back(cl::format_wstr(L"http://%?:%?/%?", host, http_port, rel));
        if (https_port != 0 && https_port != http_port)
            urls.push_back(cl::format_wstr(L"https://%?:%?/%?", host, https_port, rel));
    }
    if (!proxy_port.empty()) urls.push_back(L"http://+:" + proxy_port + L"/");
    return urls;
}

void _http_server::set_processor(request_processor processor) {
    processor_ = std::move(processor);
}

bool _http_server::start(uint32_t http_port, uint32_t https_port, const std::wstring& host_name,
                         const std::wstring& rel_uri, cl::thread_pool& pool) {
    http_port_ = http_port;
    https_port_ = https_port;
    host_name_ = host_name;
    rel_uri_ = rel_uri;
    if (!rel_uri_.empty() && rel_uri_.back() != L'/') rel_uri_ += L'/';
    pool_ = &pool;
    stopping_.store(false);
    loop_ended_.reset();

    if (khttp::initialize(init_flags) != 0) return false;
    initialized_ = true;
    const uint32_t timeout = server_settings().connection_timeout;
    khttp::set_idle_connection_timeout(static_cast<uint16_t>(timeout > 0xFFFF ? 0xFFFF : timeout));

    const uint32_t rc = khttp::create_request_queue(queue_);
    if (rc != 0) {
        cl::trace_out.write(cl::format_str("HttpCreateHttpHandle error %?\n", rc));
        return false;
    }

    // Quick requests are answered by the event loop that read them.
    khttp::set_request_handler(queue_, [this](const std::shared_ptr<khttp::request>& request) {
        return run_on_loop(request);
    });

    const std::vector<std::wstring> urls =
        url_list(host_name_, http_port_, https_port_, rel_uri_, server_settings().proxy_port);
    for (const std::wstring& url : urls) {
        cl::trace_out.write_w(cl::format_wstr(L"Adding url %?\n", url));
        const uint32_t err = khttp::add_url(queue_, url);
        if (err != 0) {
            cl::trace_out.write(cl::format_str("   HttpAddUrl error %?\n", err));
            continue;
        }
        cl::cs_lock g(lock_);
        urls_.push_back(url);
    }

    if (cl::global_timers_running())
        cl::slow_timer().set_timer(
            sweep_timer_, [this] { sweep_connections(); }, 1000);

    khttp::set_before_send_wait(&before_send_wait);
    receivers_ = static_cast<uint32_t>(usable_cores());
    loop_running_ = true;
    uint32_t started = 0;
    for (uint32_t i = 0; i < receivers_; ++i)
        if (start_receiver()) ++started;
    if (started == 0) {
        // Without a thread there is no loop to wait for at stop.
        loop_running_ = false;
        cl::trace_out.write("unable to start the receive loop\n");
    }
    return true;
}

bool _http_server::start_receiver() {
    loops_running_.fetch_add(1);
    if (pool_->run([this] { receive_loop(); }) != 0) return true;
    if (loops_running_.fetch_sub(1) == 1) loop_ended_.set();
    return false;
}

bool _http_server::may_block(const khttp::request& request) {
    if (request.flags & khttp::request_flag_more_entity_body) return true;
    const method_row* row =
        find_method(method_text(static_cast<int>(request.verb), request.unknown_verb));
    return !row || row->may_block;
}

namespace {

// The server whose receive loop runs on this thread, and whether the loop
// has made sure of a waiting receiver for its current request.
thread_local _http_server* loop_owner = nullptr;
thread_local bool spare_ensured = false;
// The server whose request runs on this event loop, and whether its answer
// has started (from then on it cannot move to another thread).
thread_local _http_server* inline_owner = nullptr;
thread_local bool inline_started = false;

// A send about to wait for a slow client is work that blocks: a large
// answer to a client that keeps up costs no extra thread.
void before_send_wait() {
    if (_http_server* owner = loop_owner) owner->before_blocking();
}

} // namespace

void _http_server::note_response_started() {
    inline_started = true;
}

bool _http_server::running_on_loop() {
    return inline_owner != nullptr;
}

void _http_server::before_blocking() {
    if (inline_owner == this) {
        if (!inline_started) throw move_to_pool{};
        return;
    }
    if (loop_owner != this || spare_ensured) return;
    spare_ensured = true;
    if (loops_waiting_.load() == 0 && !stopping_.load()) start_receiver();
}

namespace {

// Jobs for runners that one event loop collected while it read the requests
// that were ready: given to their runners together once the loop has read
// them all, so that a worker wakes once for several requests. Given, too,
// when the batch ends without its flush (the loop ended first).
struct runner_batch {
    std::vector<std::pair<std::shared_ptr<request_runner>, std::function<void()>>> jobs;
    void flush() {
        auto ready = std::move(jobs);
        for (auto& [runner, job] : ready)
            runner->run(std::move(job));
    }
    ~runner_batch() { flush(); }
};
thread_local std::shared_ptr<runner_batch> open_batch;

} // namespace

void _http_server::run_on_runner(std::shared_ptr<request_runner> runner,
                                 std::function<void()> job) {
    runner_requests_.fetch_add(1);
    std::function<void()> run = [this, job = std::move(job)] {
        try {
            job();
        } catch (const std::exception& e) {
            cl::trace_out.write(cl::format_str("request processor: %?\n", e.what()));
        } catch (...) {
            cl::trace_out.write("request processor: unknown exception\n");
        }
        runner_requests_.fetch_sub(1);
    };
    boost::asio::io_context* loop = khttp::current_loop();
    if (!loop) {
        runner->run(std::move(run));
        return;
    }
    if (!open_batch) {
        open_batch = std::make_shared<runner_batch>();
        // Runs after the handlers that are ready now.
        boost::asio::post(*loop, [batch = open_batch] {
            if (open_batch == batch) open_batch.reset();
            batch->flush();
        });
    }
    open_batch->jobs.emplace_back(std::move(runner), std::move(run));
}

void _http_server::receive_loop() {
    loop_owner = this;
    auto request = std::make_shared<khttp::request>();
    while (!stopping_.load()) {
        // One failing request must never end the loop: everything that one
        // request can throw is caught, traced and the loop goes on.
        try {
            // The processor may keep the request; otherwise its storage
            // serves the next one.
            if (request.use_count() != 1) request = std::make_shared<khttp::request>();
            loops_waiting_.fetch_add(1);
            const uint32_t rc = khttp::receive_request(queue_, 0, 0, *request);
            loops_waiting_.fetch_sub(1);
            if (rc != 0) {
                // A closed queue will not deliver again; waiting on it would spin.
                if (rc == error_operation_aborted) break;
                continue;
            }

            if (!admit(*request)) {
                answer_over_limit(*request);
                continue;
            }
            spare_ensured = false;
            if (may_block(*request)) before_blocking();
            process(request);
            // Enough loops wait: this thread goes back to the pool.
            uint32_t running = loops_running_.load();
            if (loops_waiting_.load() >= receivers_ && running > receivers_ &&
                loops_running_.compare_exchange_strong(running, running - 1)) {
                loop_owner = nullptr;
                return;
            }
        } catch (const std::exception& e) {
            cl::trace_out.write(cl::format_str("receive loop: %?\n", e.what()));
        } catch (...) {
            cl::trace_out.write("receive loop: unknown exception\n");
        }
    }
    loop_owner = nullptr;
    if (loops_running_.fetch_sub(1) == 1) loop_ended_.set();
}

bool _http_server::admit(const khttp::request& request) {
    // A connection is admitted with its first request, and its record lasts
    // until it closes: a later request on it needs no look-up.
    if (request.sequence > 1) return true;
    const uint64_t connection_id = request.connection_id;
    connection_shard& sh = shard_of(connection_id);
    cl::cs_lock g(sh.lock);
    auto it = sh.connections.find(connection_id);
    if (it == sh.connections.end()) {
        if (connection_total_.fetch_add(1) >= max_connections_.load()) {
            connection_total_.fetch_sub(1);
            return false;
        }
        it = sh.connections.try_emplace(connection_id).first;
        it->second.overlapped.reset();
        khttp::wait_for_disconnect(queue_, connection_id, it->second.overlapped);
    }
    // The peer of a connection never changes: its text is made once.
    if (it->second.client.empty() && request.remote_text.error == 0)
        it->second.client = request.remote_text.host + ":" + request.remote_text.port;
    return true;
}

bool _http_server::run_on_loop(const std::shared_ptr<khttp::request>& request) {
    if (stopping_.load() || may_block(*request) || !processor_) return false;
    if (!admit(*request)) {
        answer_over_limit(*request);
        return true;
    }
    inline_owner = this;
    inline_started = false;
    bool moved = false;
    try {
        processor_(*this, request);
    } catch (const move_to_pool&) {
        moved = true;
    } catch (const std::exception& e) {
        cl::trace_out.write(cl::format_str("request processor: %?\n", e.what()));
        send_failure(request->request_id);
    } catch (...) {
        cl::trace_out.write("request processor: unknown exception\n");
        send_failure(request->request_id);
    }
    inline_owner = nullptr;
    inline_started = false;
    return !moved;
}

void _http_server::answer_over_limit(const khttp::request& request) {
    khttp::response r;
    r.status = 503;
    r.reason = status_text(503);
    khttp::send_response(queue_, request.request_id, khttp::send_flag_disconnect, r);
}

void _http_server::process(std::shared_ptr<khttp::request> request) {
    const uint64_t id = request->request_id;
    try {
        processor_(*this, request);
        return;
    } catch (const std::exception& e) {
        cl::trace_out.write(cl::format_str("request processor: %?\n", e.what()));
    } catch (...) {
        cl::trace_out.write("request processor: unknown exception\n");
    }
    send_failure(id);
}

// The client is not left waiting: a request that failed before its head went
// out gets 500 and the connection is closed; after the head the service
// refuses this and the connection ends with the request.
void _http_server::send_failure(uint64_t request_id) {
    try {
        khttp::response r;
        r.status = 500;
        r.reason = status_text(500);
        khttp::send_response(queue_, request_id, khttp::send_flag_disconnect, r);
    } catch (...) {
    }
}

void _http_server::sweep_connections() {
    std::vector<uint64_t> closed;
    for (connection_shard& sh : shards_) {
        cl::cs_lock g(sh.lock);
        for (auto it = sh.connections.begin(); it != sh.connections.end();) {
            if (it->second.overlapped.status() != khttp::status_pending) {
                closed.push_back(it->first);
                it = sh.connections.erase(it);
                connection_total_.fetch_sub(1);
            } else {
                ++it;
            }
        }
    }
    std::sort(closed.begin(), closed.end());
    for (const uint64_t id : closed)
        run_disconnect_handlers(id);
}

void _http_server::stop() {
    stopping_.store(true);
    if (queue_) khttp::close_request_queue(queue_);
    if (loop_running_) {
        // Loops that still run a request end when it does; long work looks
        // at the stop flag. One that has not ended within the bound is left
        // behind, so that the server still stops within its shut-down time.
        if (loop_ended_.wait(stop_wait_ms) != win32::wait_object_0)
            cl::trace_out.write(cl::format_str(
                "server stop: %? receive loops still run a request after %? ms; left behind\n",
                loops_running_.load(), stop_wait_ms));
        loop_running_ = false;
    }
    // Requests on runners end soon after their scripts were interrupted.
    for (uint32_t waited = 0; runner_requests_.load() != 0 && waited < stop_wait_ms; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sweep_timer_.kill(true);
    std::vector<std::wstring> urls;
    {
        cl::cs_lock g(lock_);
        urls.swap(urls_);
    }
    if (queue_) {
        for (auto it = urls.rbegin(); it != urls.rend(); ++it)
            khttp::remove_url(queue_, *it);
    }
    queue_.reset();
    if (initialized_) {
        khttp::terminate(init_flags);
        initialized_ = false;
    }
    for (connection_shard& sh : shards_) {
        cl::cs_lock g(sh.lock);
        connection_total_.fetch_sub(sh.connections.size());
        sh.connections.clear();
    }
}

std::vector<std::wstring> _http_server::registered_urls() {
    cl::cs_lock g(lock_);
    return urls_;
}

void _http_server::set_client_text(uint64_t id, const std::string& client) {
    connection_shard& sh = shard_of(id);
    cl::cs_lock g(sh.lock);
    auto it = sh.connections.find(id);
    if (it != sh.connections.end()) it->second.client = client;
}

void _http_server::set_transfer_file(uint64_t id, const std::string& user) {
    connection_shard& sh = shard_of(id);
    cl::cs_lock g(sh.lock);
    // A record made here has no disconnect wait: it reads as closed and goes
    // at the next sweep unless the receive loop knows the connection.
    auto it = sh.connections.find(id);
    if (it == sh.connections.end()) {
        connection_total_.fetch_add(1);
        connection_record& r = sh.connections[id];
        r.overlapped.reset();
        r.user = user;
        return;
    }
    it->second.user = user;
}

void _http_server::set_transfer_progress(uint64_t id, const std::wstring& path, uint32_t progress) {
    connection_shard& sh = shard_of(id);
    cl::cs_lock g(sh.lock);
    auto it = sh.connections.find(id);
    if (it == sh.connections.end()) return;
    std::vector<connection_record::transfer>& list = it->second.transfers;
    connection_record::transfer* free_entry = nullptr;
    for (connection_record::transfer& t : list) {
        if (t.active && t.path == path) {
            if (progress == transfer_done)
                t.active = false;
            else
                t.progress = progress;
            return;
        }
        if (!t.active && !free_entry) free_entry = &t;
    }
    if (progress == transfer_done) return;
    if (!free_entry) free_entry = &list.emplace_back();
    free_entry->path.assign(path);
    free_entry->progress = progress;
    free_entry->active = true;
}

void _http_server::list_connections(std::vector<std::wstring>& keys,
                                    std::vector<std::wstring>& values) {
    const std::size_t threads = pool_ ? pool_->thread_count() : 0;
    all_shards_lock g(*this);
    const auto listed = connections_in_order();
    keys.push_back(L"-1");
    values.push_back(cl::format_wstr(L"%?,%?,%?,%?,%?", bytes_received_.load(), bytes_sent_.load(),
                                     requests_.load(), listed.size(), threads));
    std::size_t n = 0;
    for (const auto* c : listed) {
        const connection_record& r = c->second;
        keys.push_back(std::to_wstring(n++));
        values.push_back(cl::utf8_to_utf16(connection_text(r)));
    }
}

void _http_server::list_downloads(std::vector<std::wstring>& keys,
                                  std::vector<std::wstring>& values,
                                  const std::wstring& public_dir) {
    all_shards_lock g(*this);
    std::size_t n = 0;
    for (const auto* c : connections_in_order()) {
        const connection_record& r = c->second;
        const std::wstring conn = cl::utf8_to_utf16(connection_text(r));
        // Listed in path order.
        std::vector<const connection_record::transfer*> active;
        for (const connection_record::transfer& t : r.transfers)
            if (t.active) active.push_back(&t);
        std::sort(active.begin(), active.end(),
                  [](const auto* a, const auto* b) { return a->path < b->path; });
        for (const connection_record::transfer* t : active) {
            const std::wstring& path = t->path;
            const uint32_t progress = t->progress;
            std::wstring rel = path;
            if (!public_dir.empty() && rel.compare(0, public_dir.size(), public_dir) == 0)
                rel.erase(0, public_dir.size());
            for (wchar_t& c : rel)
                if (c == L'\\') c = L'/';
            keys.push_back(std::to_wstring(n++) + L"," + conn);
            values.push_back(std::to_wstring(progress) + L"," + rel);
        }
    }
}

std::vector<const std::pair<const uint64_t, connection_record>*>
_http_server::connections_in_order() const {
    std::vector<const std::pair<const uint64_t, connection_record>*> list;
    list.reserve(connection_total_.load());
    for (const connection_shard& sh : shards_)
        for (const auto& c : sh.connections)
            list.push_back(&c);
    std::sort(list.begin(), list.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    return list;
}

std::size_t _http_server::connection_count() {
    return connection_total_.load();
}

bool _http_server::has_connection(uint64_t id) {
    connection_shard& sh = shard_of(id);
    cl::cs_lock g(sh.lock);
    return sh.connections.count(id) != 0;
}

_http_server::all_shards_lock::all_shards_lock(_http_server& s) : s_(s) {
    for (connection_shard& sh : s_.shards_)
        sh.lock.enter();
}

_http_server::all_shards_lock::~all_shards_lock() {
    for (std::size_t i = connection_shard_count; i-- > 0;)
        s_.shards_[i].lock.leave();
}

_http_server& the_http_server() {
    static _http_server server;
    return server;
}

namespace {

cl::critical_section& handler_lock() {
    static cl::critical_section cs;
    return cs;
}
std::vector<disconnect_handler>& handlers() {
    static std::vector<disconnect_handler> list;
    return list;
}

} // namespace

void add_disconnect_handler(disconnect_handler handler) {
    cl::cs_lock g(handler_lock());
    handlers().push_back(std::move(handler));
}

void run_disconnect_handlers(uint64_t connection_id) {
    cl::cs_lock g(handler_lock());
    auto& list = handlers();
    std::size_t i = 0;
    while (i < list.size()) {
        if (list[i].connection_id != connection_id) {
            ++i;
            continue;
        }
        const std::string url = list[i].script_url;
        const std::wstring param = list[i].parameter;
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        g.unlock();
        try {
            the_script_host().run_script_discard_output(url, param);
        } catch (const std::exception& e) {
            cl::trace_out.write(cl::format_str("disconnect handler %?: %?\n", url, e.what()));
        }
        g.lock();
    }
}

std::size_t disconnect_handler_count() {
    cl::cs_lock g(handler_lock());
    return handlers().size();
}
