#include "core/trace_sinks.h"

#include "core/crash_dump_list.h"
#include "core/format.h"
#include "core/text.h"
#include "platform/win32/time.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace cl {

trace_settings& trace_prefix_settings() {
    static auto* s = new trace_settings;
    return *s;
}

// ------------------------------------------------------------ lined_trace

lined_trace::lined_trace(std::string_view name) {
    set_name(name);
}

void lined_trace::set_name(std::string_view name) {
    cs_lock lk(lock_);
    name_len_ = std::min(name.size(), name_room);
    // The name ends where the line begins, so name and line leave as one text.
    if (name_len_) std::memcpy(room_ + name_room - name_len_, name.data(), name_len_);
}

void lined_trace::emit_lines() {
    char* line = room_ + name_room;
    for (;;) {
        char* lf = static_cast<char*>(std::memchr(line, '\n', fill_));
        if (!lf) return;
        size_t len = static_cast<size_t>(lf - line) + 1;
        const size_t consumed = len;
        if (len >= 2 && lf[-1] == '\r') {
            lf[-1] = '\n';
            --len;
        }
        emit(std::string_view(line - name_len_, name_len_ + len));
        fill_ -= consumed;
        std::memmove(line, line + consumed, fill_);
    }
}

void lined_trace::write(std::string_view text, bool) {
    cs_lock lk(lock_);
    char* line = room_ + name_room;
    while (!text.empty()) {
        const size_t n = std::min(text.size(), 254 - fill_);
        std::memcpy(line + fill_, text.data(), n);
        fill_ += n;
        text.remove_prefix(n);
        emit_lines();
        if (fill_ > 253) {
            // No line end in a full buffer: split here. A CR at the cut is half
            // of a line end and goes with it.
            if (line[fill_ - 1] == '\r') --fill_;
            line[fill_++] = '\n';
            emit(std::string_view(line - name_len_, name_len_ + fill_));
            fill_ = 0;
            if (!text.empty() && text.front() == '\r') text.remove_prefix(1);
            if (!text.empty() && text.front() == '\n') text.remove_prefix(1);
        }
    }
}

void lined_trace::flush(bool) {
    cs_lock lk(lock_);
    if (!fill_) return;
    emit(std::string_view(room_ + name_room - name_len_, name_len_ + fill_));
    fill_ = 0;
}

void debug_trace::emit(std::string_view line) {
    debug_output(line);
}

// ------------------------------------------------------------- file_trace

namespace {

// The text a thread traced after its last line end, per sink: a line enters
// the ring only once it is complete, so lines of different threads never
// merge. Sinks are told apart by a serial number, not by their address,
// which a later sink may reuse.
struct held_line {
    uint64_t sink;
    std::string text;
};
struct held_store {
    std::vector<held_line> lines;
    ~held_store();
};
// Trivially destructible, so still readable while the thread's other
// objects are destroyed (traces written at exit).
thread_local bool held_store_gone = false;
thread_local held_store held_lines;
held_store::~held_store() {
    held_store_gone = true;
}
std::atomic<uint64_t> next_sink_serial{1};

// Null once the thread's store is gone: text is then taken as it comes.
std::string* held_text(uint64_t sink) {
    if (held_store_gone) return nullptr;
    for (held_line& h : held_lines.lines)
        if (h.sink == sink) return &h.text;
    held_lines.lines.push_back({sink, std::string()});
    return &held_lines.lines.back().text;
}

constexpr std::string_view overflow_note = "buffer overflow\r\n";

// Writes what it can; the count written before a failure.
size_t write_some(int fd, const char* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::write(fd, data + done, n - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return done;
}

} // namespace

file_trace::file_trace() : serial_(next_sink_serial.fetch_add(1)) {
    const auto& s = trace_prefix_settings();
    time_format_ = s.time_format;
    ms_format_ = s.ms_format;
    after_time_ = s.after_time;
    line_text_ = s.line_text;
    idle_.set();
}

file_trace::~file_trace() {
    // No retry may run once the sink starts to go away.
    cancel_timer();
    {
        // A write-out of another thread finishes first; then what is left
        // goes out in the final flush.
        cs_lock lk(lock_);
        wait_idle(lk);
    }
    final_flush();
    cancel_timer();
    cs_lock lk(lock_);
    wait_idle(lk);
    if (delete_files_) {
        for (const auto* p : {&path_, &old_path_})
            if (!p->empty()) ::unlink(utf16_to_utf8(*p).c_str());
    }
    crash_dump_remove_memory(path_.data());
    crash_dump_remove_memory(old_path_.data());
    free_buffer(lk);
}

void file_trace::register_path(std::wstring& field, const std::wstring& value) {
    crash_dump_remove_memory(field.data());
    field = value;
    if (!field.empty()) crash_dump_add_memory(field.data(), (field.size() + 1) * sizeof(wchar_t));
}

void file_trace::set_file_name(const std::wstring& path) {
    cs_lock lk(lock_);
    register_path(path_, path);
}

void file_trace::set_old_file(const std::wstring& path, uint32_t limit_low, uint32_t limit_high) {
    cs_lock lk(lock_);
    register_path(old_path_, path);
    limit_ = (uint64_t(limit_high) << 32) | limit_low;
}

void file_trace::set_sizes(uint32_t initial, uint32_t maximum, uint32_t threshold) {
    cs_lock lk(lock_);
    initial_ = initial;
    maximum_ = maximum;
    threshold_ = threshold;
}

void file_trace::set_time_flags(bool time_on, bool ms_on) {
    cs_lock lk(lock_);
    time_on_ = time_on;
    ms_on_ = ms_on;
}

void file_trace::set_prefix_texts(const std::string& time_format, const std::string& ms_format,
                                  const std::string& after_time, const std::string& line_text) {
    cs_lock lk(lock_);
    time_format_ = time_format;
    ms_format_ = ms_format;
    after_time_ = after_time;
    line_text_ = line_text;
}

void file_trace::set_write_through(bool on) {
    cs_lock lk(lock_);
    open_flags_ = on ? (open_flags_ | o_write_through) : (open_flags_ & ~uint32_t(o_write_through));
}

void file_trace::set_delete_files(bool on) {
    cs_lock lk(lock_);
    delete_files_ = on;
}

void file_trace::set_disabled(bool on) {
    cs_lock lk(lock_);
    disabled_ = on;
}

size_t file_trace::pending() {
    cs_lock lk(lock_);
    return pending_;
}

size_t file_trace::capacity() {
    cs_lock lk(lock_);
    return cap_;
}

uint64_t file_trace::file_size() {
    cs_lock lk(lock_);
    return size_;
}

std::string file_trace::build_prefix() {
    std::string p;
    if (time_on_) {
        const win32::systemtime t = win32::get_local_time();
        p = format_str(time_format_, t.hour, t.minute, t.second);
        if (ms_on_) p += format_str(ms_format_, t.milliseconds);
        p += after_time_;
    }
    p += line_text_;
    if (p.size() > 32) p.resize(32);
    return p;
}

void file_trace::append(const char* data, size_t n) {
    while (n && pending_ < cap_) {
        const size_t piece = std::min({cap_ - widx_, n, cap_ - pending_});
        std::memcpy(buf_.get() + widx_, data, piece);
        widx_ += piece;
        if (widx_ == cap_) widx_ = 0;
        pending_ += piece;
        data += piece;
        n -= piece;
    }
}

std::string file_trace::wire_lines(std::string_view text, const std::string& prefix) {
    std::string out;
    out.reserve(text.size() + 16);
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t lf = text.find('\n', pos);
        if (lf == std::string_view::npos) break; // the caller passes whole lines
        // "x\r\n" keeps its one CR: only a bare LF gets a CR added.
        const bool has_cr = lf > pos && text[lf - 1] == '\r';
        out += prefix;
        out.append(text.data() + pos, lf - pos);
        out += has_cr ? "\n" : "\r\n";
        pos = lf + 1;
    }
    return out;
}

size_t file_trace::discard_lines(size_t at_least) {
    size_t drop = std::min(at_least, pending_);
    // The cut moves on to the end of the line it falls in: what stays in the
    // ring starts with a whole line.
    while (drop > 0 && drop < pending_ && buf_[(ridx_ + drop - 1) % cap_] != '\n')
        ++drop;
    ridx_ = (ridx_ + drop) % cap_;
    pending_ -= drop;
    return drop;
}

void file_trace::grow(cs_lock& lk) {
    if (cap_ >= maximum_ || writing_) return;
    size_t want = ((cap_ * 3 / 2 + 15) & ~size_t(15));
    want = std::min(std::max(want, initial_), maximum_);
    if (want <= cap_) return;
    const size_t old_cap = cap_;
    const char* old_block = buf_.get();
    lk.unlock();
    auto block = std::make_unique<char[]>(want);
    lk.lock();
    // Another thread may have grown, dropped or started writing out the ring
    // meanwhile: then this block is not needed.
    if (cap_ != old_cap || buf_.get() != old_block || writing_) {
        lk.unlock();
        block.reset();
        lk.lock();
        return;
    }
    size_t done = 0;
    while (done < pending_) {
        const size_t piece = std::min(cap_ - ridx_, pending_ - done);
        std::memcpy(block.get() + done, buf_.get() + ridx_, piece);
        done += piece;
        ridx_ = (ridx_ + piece) % cap_;
    }
    if (buf_) crash_dump_remove_memory(buf_.get());
    std::swap(block, buf_);
    cap_ = want;
    ridx_ = 0;
    widx_ = pending_ % cap_;
    crash_dump_add_memory(buf_.get(), cap_);
    lk.unlock();
    block.reset(); // the old ring
    lk.lock();
}

void file_trace::write(std::string_view text, bool allow_flush) {
    // Only whole lines go on: the rest waits in this thread for its line end.
    std::string* held = held_text(serial_);
    const size_t last_lf = text.rfind('\n');
    if (!held) {
        std::string line(text);
        if (last_lf + 1 != text.size()) line += '\n';
        put_lines(line, allow_flush);
        return;
    }
    if (last_lf == std::string_view::npos) {
        held->append(text);
        return;
    }
    std::string joined;
    std::string_view lines = text.substr(0, last_lf + 1);
    if (!held->empty()) {
        joined = std::move(*held);
        joined.append(lines);
        lines = joined;
    }
    held->assign(text.substr(last_lf + 1));
    put_lines(lines, allow_flush);
}

void file_trace::put_lines(std::string_view text, bool allow_flush) {
    cs_lock lk(lock_);
    if (maximum_ == 0) return;
    std::string wire = wire_lines(text, build_prefix());
    const size_t len = wire.size();
    if (pending_ + len >= cap_ || pending_ >= threshold_) write_out(lk, allow_flush);
    if (pending_ + len >= cap_ * 7 / 8 && allow_flush) grow(lk);
    if (maximum_ == 0 || cap_ == 0) return; // turned off meanwhile, or never allocated
    if (pending_ + len + overflow_note.size() >= cap_) {
        overflow_ = true;
        if (writing_) return; // the ring cannot be cut while it is written out
        // The oldest lines give way, whole, at least an eighth of the ring.
        const size_t step = std::min(std::max(cap_ / 8, size_t(1024)), cap_ / 2);
        size_t need = pending_ + len + overflow_note.size() + 1 - cap_;
        discard_lines(std::max(step, need));
        // Lines longer than the whole ring are lost from the front, whole.
        std::string_view keep = wire;
        while (!keep.empty() && pending_ + keep.size() + overflow_note.size() >= cap_) {
            const size_t lf = keep.find('\n');
            keep.remove_prefix(lf == std::string_view::npos ? keep.size() : lf + 1);
        }
        if (keep.size() != wire.size()) wire = std::string(keep);
    }
    if (overflow_ && pending_ + wire.size() + overflow_note.size() < cap_) {
        overflow_ = false;
        append(overflow_note.data(), overflow_note.size());
    }
    if (pending_ + wire.size() < cap_) append(wire.data(), wire.size());

    if (!path_.empty() && !writing_ && !disabled_ && allow_flush) {
        const bool defer = pending_ < threshold_ && !(open_flags_ & o_write_through) &&
                           shut_down_ && timer_running();
        if (!defer) write_out(lk, true);
    }
    if (pending_ && !shut_down_ && timer_running()) arm_retry(1000);
}

void file_trace::end_partial_line() {
    std::string* held = held_text(serial_);
    if (!held || held->empty()) return;
    std::string line = std::move(*held);
    held->clear();
    line += '\n';
    put_lines(line, false);
}

void file_trace::flush(bool allow) {
    cs_lock lk(lock_);
    write_out(lk, allow);
}

void file_trace::after_open(file_hnd& file) {
    file.seek_to_end();
}

void file_trace::after_write(file_hnd&) {}

void file_trace::write_out(cs_lock& lk, bool allow) {
    if (path_.empty() || writing_ || disabled_ || !pending_) return;
    // From here until writing_ is cleared the ring's block stays where it is:
    // growth is skipped, and dropping or destroying it waits for idle_.
    writing_ = true;
    idle_.reset();
    const std::wstring path = path_, old_path = old_path_;
    const uint32_t flags = open_flags_;
    const uint64_t limit = limit_;
    lk.unlock();
    file_hnd file;
    const bool opened = file.open(path, flags, sh_denywr);
    int64_t line_end = -1; // where the file ends after the last whole line
    if (opened) {
        after_open(file);
        line_end = file.tell();
    }
    lk.lock();
    bool failed = false;
    if (opened) {
        // Bytes leave the ring only with the line end that completes them, so
        // a write that fails part way leaves the rest of its line pending.
        size_t sent = 0; // written beyond the read index, no line end yet
        while (pending_ > sent) {
            const size_t start = (ridx_ + sent) % cap_;
            const size_t piece = std::min(cap_ - start, pending_ - sent);
            const char* from = buf_.get() + start;
            lk.unlock();
            const size_t n = write_some(file.handle(), from, piece);
            lk.lock();
            const void* lf = n ? ::memrchr(from, '\n', n) : nullptr;
            if (lf) {
                const size_t upto =
                    sent + static_cast<size_t>(static_cast<const char*>(lf) - from) + 1;
                ridx_ = (ridx_ + upto) % cap_;
                pending_ -= upto;
                if (line_end >= 0) line_end += static_cast<int64_t>(upto);
                sent = sent + n - upto;
            } else {
                sent += n;
            }
            if (n < piece) {
                failed = true;
                break;
            }
        }
        lk.unlock();
        // A disk that filled up mid-line: the file goes back to its last
        // whole line, and the line is written again, whole, next time.
        if (failed && sent && line_end >= 0) {
            const int r = ::ftruncate(file.handle(), static_cast<off_t>(line_end));
            (void)r; // nothing more to be done; the next write-out appends
        }
        after_write(file);
        const int64_t sz = file.size();
        bool rotated = false;
        if (allow && limit && sz > 0 && uint64_t(sz) > limit && !old_path.empty()) {
            rotate(file, path, old_path);
            rotated = true;
        }
        file.close();
        lk.lock();
        size_ = rotated ? 0 : (sz > 0 ? uint64_t(sz) : 0);
    }
    writing_ = false;
    idle_.set();
    if (allow && pending_ && !shut_down_ && timer_running())
        arm_retry(opened && !failed ? 1 : 1000);
}

void file_trace::rotate(file_hnd& file, const std::wstring& path, const std::wstring& old_path) {
    {
        cs_lock lk(lock_);
        if (disabled_) return;
    }
    file.close();
    const std::string p = utf16_to_utf8(path), o = utf16_to_utf8(old_path);
    ::unlink(o.c_str());
    ::rename(p.c_str(), o.c_str());
    // Even when the move failed, the next write-out starts a new file.
    ::unlink(p.c_str());
}

void file_trace::rotate_if_larger(uint64_t limit) {
    cs_lock lk(lock_);
    if (writing_ || disabled_ || path_.empty()) return;
    writing_ = true;
    idle_.reset();
    const std::wstring path = path_, old_path = old_path_;
    const uint32_t flags = open_flags_;
    lk.unlock();
    file_hnd file;
    bool rotated = false;
    if (file.open(path, flags, sh_denywr)) {
        const int64_t sz = file.size();
        if (sz >= 0 && uint64_t(sz) >= limit && !old_path.empty()) {
            rotate(file, path, old_path);
            rotated = true;
        }
        file.close();
    }
    lk.lock();
    if (rotated) size_ = 0;
    writing_ = false;
    idle_.set();
}

void file_trace::wait_idle(cs_lock& lk) {
    while (writing_) {
        lk.unlock();
        idle_.wait();
        lk.lock();
    }
}

void file_trace::free_buffer(cs_lock& lk) {
    if (!buf_) return;
    crash_dump_remove_memory(buf_.get());
    std::unique_ptr<char[]> old = std::move(buf_);
    cap_ = pending_ = widx_ = ridx_ = 0;
    lk.unlock();
    old.reset();
    lk.lock();
}

void file_trace::drop_buffer(bool force) {
    cs_lock lk(lock_);
    wait_idle(lk);
    if (pending_ && !force) return;
    free_buffer(lk);
}

void file_trace::final_flush() {
    end_partial_line();
    cs_lock lk(lock_);
    if (shut_down_ || writing_ || !pending_) return;
    shut_down_ = true;
    write_out(lk, false);
}

void file_trace::use_timer(passive_timer* timer) {
    cancel_timer();
    cs_lock lk(lock_);
    timer_ = timer;
    own_timer_ = true;
}

void file_trace::cancel_timer() {
    timer_id_.kill(true);
}

bool file_trace::timer_running() {
    passive_timer* t = own_timer_ ? timer_ : (global_timers_running() ? &slow_timer() : nullptr);
    return t && t->running();
}

void file_trace::arm_retry(uint32_t ms) {
    passive_timer* t = own_timer_ ? timer_ : (global_timers_running() ? &slow_timer() : nullptr);
    if (t)
        t->set_timer(
            timer_id_, [this] { on_timer(); }, static_cast<int32_t>(ms), timer_one_shot);
}

void file_trace::on_timer() {
    {
        cs_lock lk(lock_);
        if (shut_down_) return;
    }
    flush(true);
}

// ---------------------------------------------------------------- console

namespace {

class console_writer {
  public:
    console_writer() {
        struct stat st;
        out_redirected_ = !(::fstat(STDOUT_FILENO, &st) == 0 && S_ISCHR(st.st_mode));
        err_redirected_ = !(::fstat(STDERR_FILENO, &st) == 0 && S_ISCHR(st.st_mode));
        out_tty_ = ::isatty(STDOUT_FILENO) == 1;
    }
    bool redirected(int fd) const {
        return fd == STDOUT_FILENO ? out_redirected_ : err_redirected_;
    }

    void write(int fd, std::string_view text) {
        std::lock_guard lk(lock_);
        if (status_width_ && out_tty_ && fd == STDOUT_FILENO && !text.empty() && text[0] != '\n') {
            std::string blank = "\r";
            blank.append(status_width_, ' ');
            blank += '\r';
            raw(fd, blank);
        }
        raw(fd, text);
    }

    // The runtime's stream, for redirected output.
    void write_stream(FILE* stream, std::string_view text) {
        std::lock_guard lk(lock_);
        std::fwrite(text.data(), 1, text.size(), stream);
        std::fflush(stream);
    }

    void set_status_width(size_t n) {
        std::lock_guard lk(lock_);
        status_width_ = n;
    }

  private:
    static void raw(int fd, std::string_view text) {
        while (!text.empty()) {
            const ssize_t n = ::write(fd, text.data(), text.size());
            if (n <= 0) return;
            text.remove_prefix(static_cast<size_t>(n));
        }
    }

    std::mutex lock_;
    bool out_redirected_ = true, err_redirected_ = true, out_tty_ = false;
    size_t status_width_ = 0;
};

console_writer& console() {
    static auto* c = new console_writer;
    return *c;
}

void std_write(int fd, std::string_view text) {
    if (text.empty()) return;
    auto& c = console();
    if (c.redirected(fd))
        c.write_stream(fd == STDOUT_FILENO ? stdout : stderr, to_oem(text));
    else
        c.write(fd, text);
}

} // namespace

void console_set_status_width(size_t columns) {
    console().set_status_width(columns);
}

// The program always runs as a console program here: the console sink writes
// to standard output, where Windows would fall back to a message box.
void console_trace::write(std::string_view text, bool) {
    if (!text.empty()) console().write(STDOUT_FILENO, text);
}
void console_trace::write_w(std::wstring_view text, bool allow) {
    write(utf16_to_utf8(text), allow);
}

void stdout_trace::write(std::string_view text, bool) {
    std_write(STDOUT_FILENO, text);
}
void stdout_trace::write_w(std::wstring_view text, bool allow) {
    write(utf16_to_utf8(text), allow);
}

void stderr_trace::write(std::string_view text, bool) {
    std_write(STDERR_FILENO, text);
}
void stderr_trace::write_w(std::wstring_view text, bool allow) {
    write(utf16_to_utf8(text), allow);
}

// ------------------------------------------------------- the process's sinks

debug_trace& debug_sink() {
    static auto* s = new debug_trace;
    return *s;
}
file_trace& file_sink() {
    static auto* s = new file_trace;
    return *s;
}
console_trace& console_sink() {
    static auto* s = new console_trace;
    return *s;
}
stdout_trace& stdout_sink() {
    static auto* s = new stdout_trace;
    return *s;
}
stderr_trace& stderr_sink() {
    static auto* s = new stderr_trace;
    return *s;
}

namespace {

// At exit: what the trace file holds goes out, and no retry is left armed on
// a timer that is about to stop.
void trace_exit() {
    auto& f = file_sink();
    f.flush(true);
    f.cancel_timer();
    f.final_flush();
}

} // namespace

void trace_startup() {
    static std::once_flag once;
    std::call_once(once, [] {
        const auto& s = trace_prefix_settings();
        auto& f = file_sink();
        f.set_sizes(262144, 16777216, 8192);
        f.set_time_flags(s.time_on, s.ms_on);
        f.set_prefix_texts(s.time_format, s.ms_format, s.after_time, s.line_text);
        trace_err.add(&debug_sink());
        trace_err.add(&f);
        trace_out.add(&f);
        trace_net.add(&f);
        trace_out.add(&stdout_sink());
        trace_err.add(&stderr_sink());
        if (s.separator) trace_net.write("\n\n" + std::string(64, '-') + "\n\n");
        const std::wstring early = take_startup_buffer();
        if (!early.empty()) trace_out.write_w(early);
        std::atexit(trace_exit);
    });
}

} // namespace cl
