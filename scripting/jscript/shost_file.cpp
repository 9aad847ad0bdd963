#include "scripting/jscript/shost_file.h"

#include "core/format.h"
#include "core/ini_file.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/script_engine/engine.h"
#include "platform/win32/errors.h"
#include "scripting/cgi_command.h"
#include "scripting/jscript/script_cache.h"
#include "server/blocklist.h"
#include "server/config/config_cache.h"
#include "server/directives/directives.h"
#include "server/http_server.h"
#include "server/run_request.h"
#include "server/server_dirs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <tuple>

extern char** environ;

namespace scripting {

bool is_safe_header_value(std::wstring_view v) {
    for (wchar_t c : v)
        if (c == L'\r' || c == L'\n' || c == L'\0') return false;
    return true;
}

std::wstring html_escape(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
        case L'<':
            out += L"&lt;";
            break;
        case L'>':
            out += L"&gt;";
            break;
        case L'&':
            out += L"&amp;";
            break;
        case L'"':
            out += L"&quot;";
            break;
        case L'\'':
            out += L"&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

shost_file::shost_file(cl::sh_ptr<req_info> info, std::wstring path,
                       const automation::guid& class_id)
    : info_(std::move(info)), path_(std::move(path)), class_id_(class_id) {
    if (is_blocked(path_)) {
        error_text_ = L"script blocked.";
        return;
    }
    if (info_) {
        complete_cgi_variables(*info_, path_);
        // The page reads them on its worker while the answer's status is
        // set here.
        info_->share_between_threads();
    }
    running_ = true;
}

shost_file::~shost_file() {
    // A script still writing learns at once that nobody reads any more; the
    // run must be over before the channels and texts go.
    out_->close_reader();
    in_.close_writer();
    out_->wait_finished();
}

namespace {
// How long a reader waits for a piece to fill before it takes what is there.
constexpr auto reader_grace = std::chrono::milliseconds(10);
} // namespace

bool byte_channel::wait(std::condition_variable& cv, std::unique_lock<std::mutex>& g,
                        give_up_check give_up) {
    if (!give_up) {
        cv.wait(g);
        return true;
    }
    if (give_up()) return false;
    // In slices: the check looks at clocks and flags that wake nobody.
    cv.wait_for(g, std::chrono::milliseconds(20));
    return !give_up();
}

std::size_t byte_channel::write(const char* data, std::size_t count, give_up_check give_up) {
    std::unique_lock g(m_);
    std::size_t done = 0;
    while (done < count) {
        bool gave_up = false;
        while (!reader_closed_ && !writer_closed_ && buf_.size() - head_ >= limit_) {
            // Full: the reader takes a piece now.
            if (reader_waiting_) reader_cv_.notify_one();
            writer_waiting_ = true;
            gave_up = !wait(writer_cv_, g, give_up);
            writer_waiting_ = false;
            if (gave_up) break;
        }
        if (gave_up || reader_closed_ || writer_closed_) break;
        const std::size_t n = std::min(count - done, limit_ - (buf_.size() - head_));
        if (head_ > 0 && head_ == buf_.size()) {
            buf_.clear();
            head_ = 0;
        }
        buf_.append(data + done, n);
        done += n;
    }
    if (reader_waiting_ && (reader_wants_any_ || buf_.size() - head_ >= limit_ / 2))
        reader_cv_.notify_one();
    return done;
}

std::size_t byte_channel::read(char* data, std::size_t count, give_up_check give_up) {
    std::unique_lock g(m_);
    auto ready = [this] {
        return reader_closed_ || writer_closed_ || buf_.size() - head_ >= limit_ / 2 ||
               (reader_wants_any_ && head_ < buf_.size());
    };
    if (!ready()) {
        reader_waiting_ = true;
        const auto until = std::chrono::steady_clock::now() + reader_grace;
        while (!ready() && reader_cv_.wait_until(g, until) != std::cv_status::timeout) {
        }
        reader_wants_any_ = true;
        bool gave_up = false;
        while (!ready() && !gave_up)
            gave_up = !wait(reader_cv_, g, give_up);
        reader_waiting_ = false;
        reader_wants_any_ = false;
        if (gave_up && head_ == buf_.size()) return 0;
    }
    if (reader_closed_) return 0;
    const std::size_t n = std::min(count, buf_.size() - head_);
    std::memcpy(data, buf_.data() + head_, n);
    head_ += n;
    if (head_ == buf_.size()) {
        buf_.clear();
        head_ = 0;
    }
    if (writer_waiting_ && n) writer_cv_.notify_one();
    return n;
}

void byte_channel::close_writer(bool wake) {
    std::lock_guard g(m_);
    writer_closed_ = true;
    if (wake) reader_cv_.notify_all();
}

void byte_channel::close_reader() {
    std::lock_guard g(m_);
    reader_closed_ = true;
    buf_.clear();
    head_ = 0;
    writer_cv_.notify_all();
    reader_cv_.notify_all();
}

void byte_channel::finish() {
    {
        std::lock_guard g(m_);
        writer_closed_ = true;
        finished_ = true;
    }
    // Woken after the lock is let go, so that the reader does not wake only
    // to wait for the lock; the caller holds its own reference to the queue.
    reader_cv_.notify_all();
}

void byte_channel::restart() {
    std::lock_guard g(m_);
    finished_ = false;
}

void byte_channel::wait_finished() {
    std::unique_lock g(m_);
    while (!finished_) {
        reader_waiting_ = true;
        reader_cv_.wait(g);
    }
    reader_waiting_ = false;
}

bool shost_file::open(const std::wstring& path, uint32_t flags, uint32_t share) {
    const config_info* cfg = info_ ? info_->config.get() : nullptr;
    if (running_ && cfg && cfg->is_file() && path == cfg->local_path && path == path_) {
        simple_file::close();
        return true;
    }
    return cgi_file_base::open(path, flags, share);
}

int64_t shost_file::write(const void* buffer, int64_t count) {
    if (!running_ || count <= 0) return 0;
    return static_cast<int64_t>(
        in_.write(static_cast<const char*>(buffer), static_cast<std::size_t>(count)));
}

void shost_file::end_input() {
    in_.close_writer();
}

void shost_file::start(cl::ref_cnt_base* companion) {
    take_headers(companion);
    {
        std::lock_guard g(type_lock_);
        content_type_ = "text/plain; charset=utf-8";
    }
    simple_file::close();
    if (!running_) {
        headers_->add("Status", error_text_ == L"script blocked." ? "403 Forbidden"
                                                                  : "500 Internal Server Error");
        return;
    }
    // A request that its page's worker took from an event loop runs the
    // page right here, as its output is read.
    inline_worker_ = shost_thread::inline_worker_for(path_);
    if (inline_worker_) return;
    out_->restart();
    // The request's own (pool) thread takes the worker; the worker runs the
    // script while this thread goes on to read its output.
    script_exec(this);
}

std::shared_ptr<request_runner> shost_file::own_runner() {
    if (!running_ || !info_) return nullptr;
    return loop_runner(path_, info_->config);
}

int64_t shost_file::read(void* buffer, int64_t count) {
    if (!running_ || count <= 0) return 0;
    if (!inline_worker_)
        return static_cast<int64_t>(
            out_->read(static_cast<char*>(buffer), static_cast<std::size_t>(count)));
    if (!inline_ran_) {
        inline_ran_ = true;
        inline_worker_->run_inline(this);
    }
    const std::size_t n =
        std::min(static_cast<std::size_t>(count), inline_out_.size() - inline_head_);
    std::memcpy(buffer, inline_out_.data() + inline_head_, n);
    inline_head_ += n;
    return static_cast<int64_t>(n);
}

namespace {
// Output of a page that runs on the reading thread goes out in pieces of
// about this size.
constexpr std::size_t inline_piece = 32 * 1024;
} // namespace

std::size_t shost_file::put(const char* data, std::size_t count) {
    if (!inline_worker_) return out_->write(data, count, &script_engine::engine::current_run_over);
    if (inline_gone_ || count == 0) return 0;
    inline_out_.append(data, count);
    if (inline_out_.size() >= inline_piece) {
        // Without a sink the reader only drains: the piece is dropped.
        if (sink_ && !sink_(inline_out_.data(), inline_out_.size())) inline_gone_ = true;
        inline_out_.clear();
    }
    return count;
}

std::size_t shost_file::read_input(char* buffer, std::size_t count) {
    return in_.read(buffer, count, &script_engine::engine::current_run_over);
}

void shost_file::set_content_type(const std::wstring& type) {
    std::lock_guard g(type_lock_);
    content_type_ = cl::utf16_to_utf8(type);
}

std::string shost_file::content_type() {
    std::lock_guard g(type_lock_);
    return content_type_;
}

std::wstring shost_file::content_type_from_ext(std::wstring ext) {
    if (ext.empty() || ext[0] != L'.') ext.insert(0, 1, L'.');
    if (!info_ || !info_->config) return {};
    return cl::utf8_to_utf16(info_->config->mime_type_of_file(ext));
}

void shost_file::send_script_header(const char* data, std::size_t count) {
    if (header_sent_.exchange(true)) return;
    std::string type = content_type();
    if (type.rfind("text/", 0) == 0 && type.find("charset=") == std::string::npos)
        type += "; charset=utf-8";
    if (headers_) {
        headers_->add("Content-Type", type);
        if (trace_level() > 1)
            cl::trace_out.write(cl::format_str("script header:\n%?\n", headers_->to_text()));
    }
    if (count == 0 || type.rfind("text/html", 0) != 0) return;
    std::size_t i = 0;
    while (i < count && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n'))
        ++i;
    if (count - i >= 2 && !(data[i] == '<' && std::strchr("!?hH", data[i + 1]) && data[i + 1])) {
        static const char preamble[] = "<html><head><title>Script output</title></head><body>";
        put(preamble, sizeof preamble - 1);
    }
}

int64_t shost_file::write_response(const void* data, std::size_t count) {
    send_script_header(static_cast<const char*>(data), count);
    if (count == 0) return 0;
    return static_cast<int64_t>(put(static_cast<const char*>(data), count));
}

void shost_file::write_error_text(const std::wstring& text) {
    const std::string type = content_type();
    std::wstring out;
    if (type.rfind("text/html", 0) == 0) {
        // A script's error repeats what a client sent: escaped, it stays text.
        std::wstring escaped = html_escape(text);
        out = L"<div>";
        for (wchar_t c : escaped)
            if (c == L'\n')
                out += L"<br />";
            else
                out += c;
        out += L"</div>";
    } else if (type.rfind("text", 0) == 0) {
        out = text + L"\r\n";
    } else {
        return;
    }
    const std::string bytes = cl::utf16_to_utf8(out);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int64_t n = write_response(bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}

void shost_file::end_response() {
    // The rest of the request body is not wanted: the request side stops
    // waiting to hand it over.
    in_.close_reader();
    send_script_header(nullptr, 0);
    // The reader is woken by run_finished, which follows at once: one
    // wake-up for the whole answer.
    out_->close_writer(false);
}

std::string shost_file::environment_var(const std::string& name) {
    if (info_) {
        std::string v = info_->get(name);
        if (!v.empty()) return v;
    }
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (!eq) continue;
        if (cl::iequals(std::string_view(*e, static_cast<std::size_t>(eq - *e)), name))
            return eq + 1;
    }
    return {};
}

bool shost_file::get_directive(const std::string& url, const std::wstring& name,
                               std::wstring& out) {
    cl::sh_ptr<config_info> cfg = server_config::config_for_url(url, L"GET");
    if (!cfg) {
        if (trace_level() >= 1)
            cl::trace_out.write(
                cl::format_str("script get_directive: invalid or unallowed path: %?\n", url));
        return false;
    }
    if (const directive_entry* d = find_directive(name)) {
        if (!d->get) return false;
        out = d->get(*cfg);
        return true;
    }
    auto it = cfg->other_directives.find(name);
    if (it == cfg->other_directives.end()) return false;
    out = it->second;
    return true;
}

std::wstring shost_file::http_methods_allowed(const std::string& url, const std::wstring& methods) {
    std::wstring out;
    std::wstring list = methods;
    for (wchar_t& c : list)
        if (c == L',' || c == L'\t') c = L' ';
    for (const std::wstring& one : split_arguments(list)) {
        {
            const std::wstring method = cl::to_upper_copy_w(one);
            if (method.empty()) continue;
            cl::sh_ptr<config_info> cfg = server_config::config_for_url(url, method);
            if (!cfg) return {};
            wchar_t letter = L'd';
            if (cfg->auth_type != auth_none && cfg->require_kind != require_all_granted &&
                cfg->require_kind != require_all_denied)
                letter = L'a';
            else if (check_require(cl::utf16_to_utf8(method), *cfg, info_.get()))
                letter = L'e';
            if (!out.empty()) out += L',';
            out += letter;
        }
    }
    return out;
}

bool shost_file::add_on_disconnect_handler(const std::string& url, const std::wstring& param,
                                           bool once) {
    disconnect_handler h;
    h.script_url = url;
    h.parameter = param;
    h.connection_id = info_ ? info_->connection_id : 0;
    if (h.connection_id == 0) return false;
    if (once) {
        // The server's table keeps no keys; the ones added "once" are
        // remembered here, bounded so that long runs cannot grow it forever.
        static std::mutex lock;
        static std::set<std::tuple<uint64_t, std::string, std::wstring>> seen;
        std::lock_guard g(lock);
        if (!seen.emplace(h.connection_id, url, param).second) return true;
        if (seen.size() > 100000) seen.clear();
    }
    add_disconnect_handler(std::move(h));
    return true;
}

bool shost_file::set_admin_impersonation(bool stop) {
    cl::ini_file* ini = script_global_ini();
    std::vector<std::wstring> lines;
    if (!ini || !ini->get_section_fresh(L"scripts", lines)) return false;
    for (const std::wstring& line : lines) {
        const std::size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) continue;
        std::wstring key = line.substr(0, eq);
        cl::trim_w(key);
        std::wstring value = line.substr(eq + 1);
        cl::trim_w(value);
        if (!cl::iequals_w(key, L"admin_script")) continue;
        cl::sh_ptr<config_info> cfg =
            server_config::config_for_url(cl::utf16_to_utf8(value), L"GET");
        if (!cfg || cfg->local_path != path_) continue;
        if (stop)
            thread_impersonation().revert_impersonation();
        else if (info_ && info_->config)
            impersonate_request_user(*info_->config);
        return true;
    }
    return false;
}

} // namespace scripting
