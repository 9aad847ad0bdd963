#include "core/trace.h"

#include "core/text.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace cl {

namespace {

// Plain arrays: usable before any constructor of this file has run.
wchar_t startup_buffer_[256];
size_t startup_fill_;
std::atomic_flag startup_lock_ = ATOMIC_FLAG_INIT;

void startup_append_w(std::wstring_view text) {
    while (startup_lock_.test_and_set(std::memory_order_acquire)) {
    }
    for (wchar_t c : text) {
        if (startup_fill_ >= 255) break;
        startup_buffer_[startup_fill_++] = c;
    }
    startup_buffer_[startup_fill_] = 0;
    startup_lock_.clear(std::memory_order_release);
}

void startup_append(std::string_view text) {
    std::wstring w;
    w.reserve(text.size());
    for (char c : text)
        w.push_back(static_cast<unsigned char>(c) >= 128 ? L'?' : wchar_t(c));
    startup_append_w(w);
}

// A debugger shows up as a tracer in the process status.
bool debugger_attached() {
    static int cached = -1;
    if (cached >= 0) return cached != 0;
    int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    int attached = 0;
    if (fd >= 0) {
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n > 0) {
            buf[n] = 0;
            if (const char* p = std::strstr(buf, "TracerPid:")) {
                p += 10;
                while (*p == ' ' || *p == '\t')
                    ++p;
                attached = *p != '0';
            }
        }
    }
    cached = attached;
    return attached != 0;
}

} // namespace

void debug_output(std::string_view text) {
    if (!debugger_attached() || text.empty()) return;
    ssize_t r = ::write(STDERR_FILENO, text.data(), text.size());
    (void)r;
}

void debug_output_w(std::wstring_view text) {
    debug_output(utf16_to_utf8(text));
}

std::wstring take_startup_buffer() {
    while (startup_lock_.test_and_set(std::memory_order_acquire)) {
    }
    std::wstring s(startup_buffer_, startup_fill_);
    startup_fill_ = 0;
    startup_buffer_[0] = 0;
    startup_lock_.clear(std::memory_order_release);
    return s;
}

void trace_base::write_w(std::wstring_view text, bool allow_flush) {
    write(utf16_to_utf8(text), allow_flush);
}

trace_channel::trace_channel() : enabled_(true) {}
trace_channel::~trace_channel() {
    enabled_ = false;
}

bool trace_channel::add(trace_base* sink) {
    if (!enabled_ || !sink) return true;
    if (has(sink)) return false;
    sinks_.push_back(sink);
    return true;
}

bool trace_channel::remove(trace_base* sink) {
    auto it = std::find(sinks_.begin(), sinks_.end(), sink);
    if (it == sinks_.end()) return false;
    sinks_.erase(it);
    return true;
}

bool trace_channel::has(const trace_base* sink) const {
    return std::find(sinks_.begin(), sinks_.end(), sink) != sinks_.end();
}

void trace_channel::write(std::string_view text) {
    if (!enabled_) {
        debug_output(text);
        startup_append(text);
        return;
    }
    for (auto* s : sinks_)
        s->write(text, true);
}

void trace_channel::write_w(std::wstring_view text) {
    if (!enabled_) {
        debug_output_w(text);
        startup_append_w(text);
        return;
    }
    for (auto* s : sinks_)
        s->write_w(text, true);
}

void trace_channel::flush() {
    if (!enabled_) return;
    for (auto* s : sinks_)
        s->flush(true);
}

trace_channel trace_err;
trace_channel trace_out;
trace_channel trace_net;

void trace_err_str(const std::string& s) {
    trace_err.write(s);
}
void trace_err_wstr(const std::wstring& s) {
    trace_err.write_w(s);
}
void trace_err_cstr(const char* s) {
    trace_err.write(s ? s : "");
}
void trace_out_str(const std::string& s) {
    trace_out.write(s);
}
void trace_out_wstr(const std::wstring& s) {
    trace_out.write_w(s);
}
void trace_out_cstr(const char* s) {
    trace_out.write(s ? s : "");
}

} // namespace cl
