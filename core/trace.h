// Trace channels: every diagnostic line of the program goes to one of three
// global channels, each a list of sinks (debugger, trace file, console).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cl {

class trace_base {
  public:
    virtual ~trace_base() = default;
    // Wide text is written as UTF-8 through the narrow write.
    virtual void write_w(std::wstring_view text, bool allow_flush);
    virtual void write(std::string_view text, bool allow_flush) = 0;
    virtual void flush(bool allow) = 0;
};

class trace_channel {
  public:
    trace_channel();
    ~trace_channel();
    trace_channel(const trace_channel&) = delete;
    trace_channel& operator=(const trace_channel&) = delete;

    // False when the sink was already there.
    bool add(trace_base* sink);
    // False when the sink was not there.
    bool remove(trace_base* sink);
    void write(std::string_view text);
    void write_w(std::wstring_view text);
    void write_wstr(const std::wstring& text) { write_w(text); }
    void flush();
    bool has(const trace_base* sink) const;

  private:
    // Zero before the constructor has run: text traced from other static
    // constructors then goes to the debugger and the start-up buffer.
    bool enabled_;
    std::vector<trace_base*> sinks_;
};

extern trace_channel trace_err; // the class library's own errors
extern trace_channel trace_out; // the program's main trace
extern trace_channel trace_net; // the HTTP client and loader

void trace_err_str(const std::string& s);
void trace_err_wstr(const std::wstring& s);
void trace_err_cstr(const char* s);
void trace_out_str(const std::string& s);
void trace_out_wstr(const std::wstring& s);
void trace_out_cstr(const char* s);

// Text for an attached debugger; nothing when none is attached.
void debug_output(std::string_view text);
void debug_output_w(std::wstring_view text);

// Text traced before the channels were constructed (at most 255 characters).
std::wstring take_startup_buffer();

} // namespace cl
