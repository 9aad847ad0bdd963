#include "server/access_log.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Lines queued beyond this while the file cannot take them are dropped.
constexpr std::size_t max_batch = 4 * 1024 * 1024;
// A batch this large is written at once rather than at the next period.
constexpr std::size_t flush_size = 64 * 1024;
constexpr int32_t flush_period_ms = 100;

// Writes text; the count of bytes written, text.size() when all were.
std::size_t write_all(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

} // namespace

namespace {

// The line is written through a pointer into room made once: appending
// character by character costs a capacity check per character, and the line
// is made for every request.

char* put(char* p, std::string_view text) {
    // An empty view may have no data pointer, which memcpy must not get.
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// Whether any byte of w is c.
bool has_byte(uint64_t w, char c) {
    constexpr uint64_t ones = 0x0101010101010101u;
    const uint64_t x = w ^ (ones * static_cast<unsigned char>(c));
    return ((x - ones) & ~x & (ones << 7)) != 0;
}

// Copies text with a backslash before each backslash and quote; needs room
// for twice its size. Eight bytes at a time while they hold neither: fields
// that need escaping are rare, and most are short.
char* put_escaped(char* p, std::string_view text) {
    const char* s = text.data();
    const char* const end = s + text.size();
    for (; end - s >= 8; s += 8) {
        uint64_t w;
        std::memcpy(&w, s, 8);
        if (!has_byte(w, '\\') && !has_byte(w, '"')) {
            std::memcpy(p, &w, 8);
            p += 8;
            continue;
        }
        for (int i = 0; i < 8; ++i) {
            if (s[i] == '\\' || s[i] == '"') *p++ = '\\';
            *p++ = s[i];
        }
    }
    for (; s < end; ++s) {
        if (*s == '\\' || *s == '"') *p++ = '\\';
        *p++ = *s;
    }
    return p;
}

// "-" for empty text, else the text escaped in double quotes.
char* put_quoted(char* p, std::string_view text) {
    if (text.empty()) {
        *p++ = '-';
        return p;
    }
    *p++ = '"';
    p = put_escaped(p, text);
    *p++ = '"';
    return p;
}

char* put_number(char* p, uint64_t v) {
    // Each part of the version is one digit: cheaper than to_chars' set-up.
    if (v < 10) {
        *p++ = static_cast<char>('0' + v);
        return p;
    }
    return std::to_chars(p, p + 20, v).ptr;
}

void append_quoted(std::string& out, std::string_view text) {
    const std::size_t start = out.size();
    out.resize(start + 2 * text.size() + 2);
    out.resize(static_cast<std::size_t>(put_quoted(out.data() + start, text) - out.data()));
}

// The decimal digits of v, zero-padded to at least width.
void append_number(std::string& out, uint64_t v, int width = 0) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    for (int n = static_cast<int>(end - digits); n < width; ++n)
        out += '0';
    out.append(digits, end);
}

void append_log_time(std::string& out, const win32::systemtime& t, int32_t bias) {
    const char* month = (t.month >= 1 && t.month <= 12) ? month_names[t.month - 1] : "???";
    append_number(out, t.day, 2);
    out += '/';
    out += month;
    out += '/';
    append_number(out, t.year);
    out += ':';
    append_number(out, t.hour, 2);
    out += ':';
    append_number(out, t.minute, 2);
    out += ':';
    append_number(out, t.second, 2);
    int32_t offset;
    if (bias > 0) {
        out += " -";
        offset = bias;
    } else {
        out += " +";
        offset = -bias;
    }
    append_number(out, static_cast<uint64_t>(offset / 60), 2);
    append_number(out, static_cast<uint64_t>(offset % 60), 2);
}

} // namespace

std::string quote_log_field(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_quoted(out, text);
    return out;
}

std::string format_log_time(const win32::systemtime& t, int32_t bias) {
    std::string out;
    append_log_time(out, t, bias);
    return out;
}

int32_t standard_zone_bias() {
    ::tzset();
    // timezone: seconds west of UTC in standard time, as the zone bias.
    return static_cast<int32_t>(::timezone / 60);
}

void append_access_log_line(std::string& out, const access_log_view& f,
                            std::string_view time_field) {
    // Room for the longest line these fields can make: every quoted character
    // escaped, every number at its longest, and the fixed text between them.
    const std::size_t room = f.remote_addr.size() + time_field.size() +
                             2 * (f.user.size() + f.method.size() + f.url.size() +
                                  f.referer.size() + f.user_agent.size()) +
                             128;
    const std::size_t start = out.size();
    out.resize(start + room);
    char* p = out.data() + start;
    p = put(p, f.remote_addr);
    p = put(p, " - ");
    p = put_quoted(p, f.user);
    p = put(p, " [");
    p = put(p, time_field);
    p = put(p, "] \"");
    p = put_escaped(p, f.method);
    *p++ = ' ';
    p = put_escaped(p, f.url);
    p = put(p, " HTTP/");
    p = put_number(p, f.version_major);
    *p++ = '.';
    p = put_number(p, f.version_minor);
    p = put(p, "\" ");
    if (f.status < 0) {
        *p++ = '-';
        p = put_number(p, static_cast<uint64_t>(-static_cast<int64_t>(f.status)));
    } else {
        p = put_number(p, static_cast<uint64_t>(f.status));
    }
    *p++ = ' ';
    if (f.bytes_sent == 0)
        *p++ = '-';
    else
        p = put_number(p, f.bytes_sent);
    *p++ = ' ';
    if (f.referer.empty())
        p = put(p, "\"-\"");
    else
        p = put_quoted(p, f.referer);
    *p++ = ' ';
    p = put_quoted(p, f.user_agent);
    *p++ = '\n';
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string format_access_log_line(const access_log_view& f, const win32::systemtime& local,
                                   int32_t bias) {
    std::string out;
    append_access_log_line(out, f, format_log_time(local, bias));
    return out;
}

access_log::~access_log() {
    close();
}

bool access_log::open(const std::wstring& dir) {
    const std::wstring file = dir + L"access.log";
    const std::string narrow = cl::utf16_to_utf8(file);
    std::error_code ec;
    if (!dir.empty()) std::filesystem::create_directories(cl::utf16_to_utf8(dir), ec);
    const int fd = ::open(narrow.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        cl::trace_out.write(cl::format_str("unable to open access log %?: %?\n", narrow, errno));
        return false;
    }
    cl::cs_lock g(lock_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    path_ = file;
    return true;
}

void access_log::arm_flush(cl::base_timer& timer) {
    timer.set_timer(
        flush_timer_, [this] { flush_queue(); }, flush_event_);
    // Lines are written in batches: every flush_period, or at once when a
    // batch is large. A wake-up per line would cost more than the line.
    timer.set_timer(
        tick_timer_,
        [this] {
            bool waiting;
            {
                cl::cs_lock g(lock_);
                waiting = !batch_.empty();
            }
            if (waiting) flush_queue();
        },
        flush_period_ms);
}

void access_log::queue_line(std::string_view line) {
    bool full;
    {
        cl::cs_lock g(lock_);
        // A flush that cannot keep up must not make the batch grow without end.
        if (batch_.size() > max_batch) return;
        const bool below = batch_.size() < flush_size;
        batch_.append(line);
        full = below && batch_.size() >= flush_size;
    }
    if (full) flush_event_.set();
}

void access_log::log(const access_log_view& fields) {
    // The time field changes once a second: it is made again only then, the
    // zone's bias read again with it (reading it looks at the zone file).
    struct line_buffer {
        std::string line;
        int64_t second = -1;
        std::string time_field;
    };
    thread_local line_buffer b;
    const win32::filetime now = win32::get_system_time_as_filetime();
    const int64_t second = static_cast<int64_t>(now / 10000000);
    if (second != b.second) {
        win32::filetime local = 0;
        if (!win32::filetime_to_local_filetime(now, local)) local = now;
        win32::systemtime st{};
        win32::filetime_to_systemtime(local, st);
        b.time_field.clear();
        append_log_time(b.time_field, st, standard_zone_bias());
        b.second = second;
    }
    b.line.clear();
    append_access_log_line(b.line, fields, b.time_field);
    queue_line(b.line);
}

void access_log::flush_queue() {
    // One writer at a time keeps the lines in queue order.
    cl::cs_lock w(write_lock_);
    int fd;
    {
        cl::cs_lock g(lock_);
        writing_.clear();
        writing_.swap(batch_);
        fd = fd_;
    }
    if (fd < 0 || writing_.empty()) return;
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0;
    const std::size_t done = write_all(fd, writing_);
    if (done == writing_.size()) return;
    const int error = errno;
    // The file keeps the lines that reached it whole; the torn rest of the
    // last one is cut off and the lines after it are dropped.
    const std::size_t eol = std::string_view(writing_).substr(0, done).rfind('\n');
    const off_t keep = st.st_size + static_cast<off_t>(eol == std::string::npos ? 0 : eol + 1);
    if (done > 0 && (!sized || ::ftruncate(fd, keep) != 0) && ::write(fd, "\n", 1) < 0) {
        // Neither cut back nor the torn line ended: nothing more to try.
    }
    cl::trace_out.write(cl::format_str("access log write failed: %?\n", error));
}

void access_log::close() {
    flush_timer_.kill(true);
    tick_timer_.kill(true);
    daily_timer_.kill(true);
    flush_queue();
    cl::cs_lock w(write_lock_);
    cl::cs_lock g(lock_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_.clear();
}

bool access_log::is_open() {
    cl::cs_lock g(lock_);
    return fd_ >= 0;
}

std::wstring access_log::path() {
    cl::cs_lock g(lock_);
    return path_;
}

access_log& the_access_log() {
    static access_log log;
    return log;
}
