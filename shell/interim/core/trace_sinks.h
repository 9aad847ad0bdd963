// Stand-in for the class library's trace sinks (see ../README.md): the trace
// file written line by line without a ring buffer, and the console sinks.
#pragma once
#include "core/trace.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace cl {

struct trace_settings {
    std::string time_format = "%02?%02?%02?";
    std::string ms_format = "'%03?";
    std::string after_time = " ";
    std::string line_text;
    bool separator = true;
    bool time_on = true;
    bool ms_on = true;
};
trace_settings& trace_prefix_settings();

class file_trace : public trace_base {
  public:
    file_trace() = default;
    ~file_trace() override;
    file_trace(const file_trace&) = delete;
    file_trace& operator=(const file_trace&) = delete;

    void write(std::string_view text, bool allow_flush) override;
    void flush(bool allow) override;

    void set_file_name(const std::wstring& path);
    void set_old_file(const std::wstring& path, uint32_t limit_low, uint32_t limit_high);
    void set_sizes(uint32_t initial, uint32_t maximum, uint32_t threshold);
    void set_time_flags(bool time_on, bool ms_on);
    void set_prefix_texts(const std::string& time_format, const std::string& ms_format,
                          const std::string& after_time, const std::string& line_text);
    void set_write_through(bool on);
    void rotate_if_larger(uint64_t limit);
    void drop_buffer(bool force);
    void final_flush();

  private:
    void close_locked();
    bool open_locked();
    std::string prefix() const;

    std::recursive_mutex lock_;
    std::string path_, old_path_;
    uint64_t limit_ = 0;
    int fd_ = -1;
    bool line_start_ = true, time_on_ = true, ms_on_ = true, off_ = false;
    std::string time_format_ = "%02?%02?%02?", ms_format_ = "'%03?", after_time_ = " ", line_text_;
};

class stdout_trace : public trace_base {
  public:
    void write(std::string_view text, bool allow_flush) override;
    void flush(bool) override {}
};

class stderr_trace : public trace_base {
  public:
    void write(std::string_view text, bool allow_flush) override;
    void flush(bool) override {}
};

file_trace& file_sink();
stdout_trace& stdout_sink();
stderr_trace& stderr_sink();

// Puts the file on all three channels, standard output on the main channel
// and standard error on the error channel, once.
void trace_startup();

} // namespace cl
