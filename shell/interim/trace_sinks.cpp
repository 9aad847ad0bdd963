#include "core/trace_sinks.h"

#include "core/format.h"
#include "core/text.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace cl {

namespace {
void write_fd(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}
} // namespace

trace_settings& trace_prefix_settings() {
    static trace_settings s;
    return s;
}

file_trace::~file_trace() {
    close_locked();
}

void file_trace::close_locked() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool file_trace::open_locked() {
    if (fd_ >= 0) return true;
    if (path_.empty() || off_) return false;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

std::string file_trace::prefix() const {
    if (!time_on_) return line_text_;
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    std::tm tm{};
    time_t t = tv.tv_sec;
    ::localtime_r(&t, &tm);
    std::string s = format_str(time_format_, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (ms_on_) s += format_str(ms_format_, tv.tv_usec / 1000);
    return s + after_time_ + line_text_;
}

void file_trace::write(std::string_view text, bool) {
    std::lock_guard lk(lock_);
    if (!open_locked()) return;
    std::string out;
    while (!text.empty()) {
        if (line_start_) out += prefix();
        size_t nl = text.find('\n');
        size_t n = nl == std::string_view::npos ? text.size() : nl + 1;
        out.append(text.substr(0, n));
        line_start_ = nl != std::string_view::npos;
        text.remove_prefix(n);
    }
    write_fd(fd_, out);
    if (limit_) {
        struct stat st {};
        if (::fstat(fd_, &st) == 0 && uint64_t(st.st_size) >= limit_) rotate_if_larger(limit_);
    }
}

void file_trace::flush(bool) {
    std::lock_guard lk(lock_);
    if (fd_ >= 0) ::fdatasync(fd_);
}

void file_trace::set_file_name(const std::wstring& path) {
    std::lock_guard lk(lock_);
    close_locked();
    path_ = utf16_to_utf8(path);
    off_ = false;
}

void file_trace::set_old_file(const std::wstring& path, uint32_t limit_low, uint32_t limit_high) {
    std::lock_guard lk(lock_);
    old_path_ = utf16_to_utf8(path);
    limit_ = (uint64_t(limit_high) << 32) | limit_low;
}

void file_trace::set_sizes(uint32_t, uint32_t maximum, uint32_t) {
    std::lock_guard lk(lock_);
    off_ = maximum == 0;
}

void file_trace::set_time_flags(bool time_on, bool ms_on) {
    std::lock_guard lk(lock_);
    time_on_ = time_on;
    ms_on_ = ms_on;
}

void file_trace::set_prefix_texts(const std::string& time_format, const std::string& ms_format,
                                  const std::string& after_time, const std::string& line_text) {
    std::lock_guard lk(lock_);
    time_format_ = time_format;
    ms_format_ = ms_format;
    after_time_ = after_time;
    line_text_ = line_text;
}

void file_trace::set_write_through(bool) {}

void file_trace::rotate_if_larger(uint64_t limit) {
    std::lock_guard lk(lock_);
    if (path_.empty() || old_path_.empty()) return;
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || uint64_t(st.st_size) < limit) return;
    close_locked();
    ::unlink(old_path_.c_str());
    ::rename(path_.c_str(), old_path_.c_str());
}

void file_trace::drop_buffer(bool) {
    std::lock_guard lk(lock_);
    close_locked();
}

void file_trace::final_flush() {
    std::lock_guard lk(lock_);
    if (fd_ >= 0) ::fdatasync(fd_);
    close_locked();
}

void stdout_trace::write(std::string_view text, bool) {
    write_fd(STDOUT_FILENO, text);
}
void stderr_trace::write(std::string_view text, bool) {
    write_fd(STDERR_FILENO, text);
}

file_trace& file_sink() {
    static auto* s = new file_trace;
    return *s;
}
stdout_trace& stdout_sink() {
    static stdout_trace s;
    return s;
}
stderr_trace& stderr_sink() {
    static stderr_trace s;
    return s;
}

void trace_startup() {
    static std::once_flag once;
    std::call_once(once, [] {
        const auto& s = trace_prefix_settings();
        auto& f = file_sink();
        f.set_time_flags(s.time_on, s.ms_on);
        f.set_prefix_texts(s.time_format, s.ms_format, s.after_time, s.line_text);
        trace_err.add(&f);
        trace_out.add(&f);
        trace_net.add(&f);
        trace_out.add(&stdout_sink());
        trace_err.add(&stderr_sink());
        if (s.separator) trace_net.write("\n\n" + std::string(64, '-') + "\n\n");
        const std::wstring early = take_startup_buffer();
        if (!early.empty()) trace_out.write_w(early);
    });
}

} // namespace cl
