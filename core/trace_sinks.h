// The trace sinks: the debugger, the trace file with its ring buffer and size
// rotation, and the console. The channels of core/trace.h hold them.
#pragma once
#include "core/file_hnd.h"
#include "core/sync.h"
#include "core/timer.h"
#include "core/trace.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace cl {

// The process-wide line-prefix settings. The program sets them before
// trace_startup, which hands them to the trace file.
struct trace_settings {
    std::string time_format = "%02?%02?%02?"; // fed hours, minutes, seconds
    std::string ms_format = "'%03?";          // fed milliseconds
    std::string after_time = " ";
    std::string line_text; // at the start of every line
    bool separator = true; // a rule on the net channel at start-up
    bool time_on = true;
    bool ms_on = true;
};
trace_settings& trace_prefix_settings();

// Collects text into lines and emits each whole line (ending in a single LF),
// led by the sink's name. A line longer than the buffer is split.
class lined_trace : public trace_base {
  public:
    static constexpr size_t name_room = 16;
    static constexpr size_t line_room = 256;

    explicit lined_trace(std::string_view name = {});
    // At most 16 characters are kept.
    void set_name(std::string_view name);
    void write(std::string_view text, bool allow_flush) override;
    // Emits a partial line (without LF).
    void flush(bool allow) override;

  protected:
    virtual void emit(std::string_view line) = 0;

  private:
    void emit_lines();

    char room_[name_room + line_room];
    size_t name_len_ = 0;
    size_t fill_ = 0;
    critical_section lock_;
};

// Lines for an attached debugger; nothing when none is attached.
class debug_trace : public lined_trace {
  public:
    using lined_trace::lined_trace;

  protected:
    void emit(std::string_view line) override;
};

// The trace file: text goes into a ring buffer under the sink's lock and is
// written out by whichever thread traces, with the lock released while the
// file is opened and written, so other threads keep tracing meanwhile. A
// line is written whole or not at all: text after a thread's last line end
// waits in that thread until the line is complete, a full ring drops whole
// lines (and says so), and a write that fails part way is rolled back to
// the last whole line.
class file_trace : public trace_base {
  public:
    file_trace();
    ~file_trace() override;
    file_trace(const file_trace&) = delete;
    file_trace& operator=(const file_trace&) = delete;

    void write(std::string_view text, bool allow_flush) override;
    void flush(bool allow) override;

    void set_file_name(const std::wstring& path);
    // The rotation target and the size above which a write-out rotates.
    void set_old_file(const std::wstring& path, uint32_t limit_low, uint32_t limit_high);
    // A maximum of 0 turns the sink off.
    void set_sizes(uint32_t initial, uint32_t maximum, uint32_t threshold);
    void set_time_flags(bool time_on, bool ms_on);
    void set_prefix_texts(const std::string& time_format, const std::string& ms_format,
                          const std::string& after_time, const std::string& line_text);
    void set_write_through(bool on);
    void set_delete_files(bool on);
    void set_disabled(bool on);
    // Rotates now when the file has at least the given size.
    void rotate_if_larger(uint64_t limit);
    // Frees the ring; with pending text only when forced.
    void drop_buffer(bool force);
    // The last step at exit: unless already shut down or writing, marks the
    // sink shut down and writes out what is pending (no growth, no timer).
    void final_flush();

    // The timer that retries a write-out: the process's "slow" timer (the
    // default; used while it runs) or one of the caller's.
    void use_timer(passive_timer* timer);
    void cancel_timer();

    // For tests and status: bytes waiting in the ring, and its capacity.
    size_t pending();
    size_t capacity();
    uint64_t file_size();

  protected:
    virtual void after_open(file_hnd& file);
    virtual void after_write(file_hnd& file);

  private:
    std::string build_prefix();
    void append(const char* data, size_t n);
    // Whole lines (each ending in LF) as they go into the ring: the prefix
    // before each, CR LF at each end.
    static std::string wire_lines(std::string_view text, const std::string& prefix);
    // Enters whole lines into the ring; a full ring loses its oldest lines.
    void put_lines(std::string_view text, bool allow_flush);
    // Ends the calling thread's unfinished line, so that it is not lost.
    void end_partial_line();
    // Drops at least that many of the oldest bytes, up to a line end.
    size_t discard_lines(size_t at_least);
    void grow(cs_lock& lk);
    void write_out(cs_lock& lk, bool allow);
    void rotate(file_hnd& file, const std::wstring& path, const std::wstring& old_path);
    void wait_idle(cs_lock& lk);
    void free_buffer(cs_lock& lk);
    bool timer_running();
    void arm_retry(uint32_t ms);
    void on_timer();
    void register_path(std::wstring& field, const std::wstring& value);

    const uint64_t serial_; // tells this sink's unfinished lines from others'
    critical_section lock_;
    std::unique_ptr<char[]> buf_;
    size_t cap_ = 0, pending_ = 0, widx_ = 0, ridx_ = 0;
    size_t initial_ = 4096, maximum_ = 32768, threshold_ = 1024;
    std::wstring path_, old_path_;
    uint64_t size_ = 0, limit_ = 0;
    uint32_t open_flags_ = 0x8101;
    std::string time_format_, ms_format_, after_time_, line_text_;
    passive_timer* timer_ = nullptr;
    bool own_timer_ = false; // false: the "slow" timer while it runs
    timer_id timer_id_;
    event idle_; // set while no write-out runs
    bool writing_ = false, ms_on_ = true, time_on_ = true;
    bool shut_down_ = false, delete_files_ = false, disabled_ = false, overflow_ = false;
};

// The console: standard output (the console sink and the stdout sink) and
// standard error. Text is UTF-8. When a status line of n columns shows on a
// terminal, it is blanked before a trace text that does not start with LF.
void console_set_status_width(size_t columns);

class console_trace : public trace_base {
  public:
    void write_w(std::wstring_view text, bool allow_flush) override;
    void write(std::string_view text, bool allow_flush) override;
    void flush(bool) override {}
};

class stdout_trace : public trace_base {
  public:
    void write_w(std::wstring_view text, bool allow_flush) override;
    void write(std::string_view text, bool allow_flush) override;
    void flush(bool) override {}
};

class stderr_trace : public trace_base {
  public:
    void write_w(std::wstring_view text, bool allow_flush) override;
    void write(std::string_view text, bool allow_flush) override;
    void flush(bool) override {}
};

// The process's sinks. They live until the process ends, so a trace written
// while static objects are destroyed still finds them.
debug_trace& debug_sink();
file_trace& file_sink();
console_trace& console_sink();
stdout_trace& stdout_sink();
stderr_trace& stderr_sink();

// Wires the sinks to the channels once: sizes and time flags of the trace
// file from the prefix settings, the debugger and the file on the error
// channel, the file on the main and net channels, stdout and stderr on the
// main and error channels; the separator rule; then the start-up buffer.
void trace_startup();

} // namespace cl
