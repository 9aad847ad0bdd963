#include "server/http_request.h"

#include "core/format.h"
#include "core/trace.h"
#include "server/access_checker.h"
#include "server/config_info.h"
#include "server/named_mutex.h"
#include "server/req_info.h"
#include "server/response_files.h"
#include "server/response_headers.h"
#include "server/server_dirs.h"

#include <atomic>

namespace {

std::atomic<http_transport*> current_transport{nullptr};
std::atomic<uint32_t> send_flags{0};

} // namespace

http_transport& default_transport() {
    http_transport* t = current_transport.load();
    return t ? *t : kernel_transport();
}

void set_default_transport(http_transport* transport) {
    current_transport.store(transport);
}

uint32_t http_request::server_send_flags() {
    return send_flags.load();
}
void http_request::set_server_send_flags(uint32_t flags) {
    send_flags.store(flags);
}

http_request::http_request(cl::sh_ptr<response_headers> h)
    : headers(std::move(h)), transport(&default_transport()), file_(std::make_unique<nul_file>()) {
    if (!headers) headers = cl::make_sh<response_headers>();
}

http_request::~http_request() {
    destroying_ = true;
    // Work handed to another thread (a script step) must end before anything
    // it may touch goes away. Most requests never hand any out.
    if (ever_busy_.load()) {
        std::unique_lock<std::mutex> g(idle_lock_);
        idle_changed_.wait(g, [this] { return !busy_; });
    }
    if (request_mutex) {
        request_mutex->release(this);
        request_mutex.reset();
    }
    headers = nullptr;
    data.reset();
    info = nullptr;
    file_.reset();
}

void http_request::work_started() {
    ever_busy_.store(true);
    std::lock_guard<std::mutex> g(idle_lock_);
    busy_ = true;
}

void http_request::work_done() {
    {
        std::lock_guard<std::mutex> g(idle_lock_);
        busy_ = false;
    }
    idle_changed_.notify_all();
}

void http_request::set_file(std::unique_ptr<cl::simple_file> file) {
    file_ = file ? std::move(file) : std::make_unique<nul_file>();
}

void http_request::hand_headers_to_file() {
    if (headers) headers->add_ref();
    file_->start(headers.get());
}

config_info* http_request::config() const {
    return info ? info->config.get() : nullptr;
}

std::string http_request::variable(std::string_view name) const {
    return info ? info->get(name) : std::string();
}

http_get_request::http_get_request(cl::sh_ptr<response_headers> h, uint32_t m)
    : http_request(std::move(h)), mode(m) {}

http_get_request::~http_get_request() = default;

http_post_request::http_post_request(cl::sh_ptr<response_headers> h)
    : http_get_request(std::move(h), mode_get) {}

http_error_request::http_error_request(cl::sh_ptr<response_headers> h, int s)
    : http_get_request(std::move(h), mode_get), error_status(s),
      no_body(s == 204 || s == 205 || s == 304) {
    if (trace_level() != 0) cl::trace_out.write(cl::format_str("error request: %?\n", s));
    set_response_status(s);
}

http_error_request::~http_error_request() = default;

http_script_request::http_script_request(cl::sh_ptr<response_headers> h, std::wstring target)
    : http_request(std::move(h)), script_target(std::move(target)) {}
http_script_request::~http_script_request() = default;

proxy_request::proxy_request(cl::sh_ptr<response_headers> h) : http_request(std::move(h)) {}
proxy_request::~proxy_request() = default;
