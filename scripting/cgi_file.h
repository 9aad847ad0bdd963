// The response file of a CGI program or an interpreter: the request body is
// written into the child's standard input, its output is read from a pipe,
// the header block at its start goes into the response headers and the rest
// is the body, delivered as it comes.
#pragma once
#include "core/ref_cnt.h"
#include "core/rfc822.h"
#include "core/simple_file.h"
#include "scripting/run_as.h"
#include "server/req_info.h"
#include "server/response_headers.h"

#include <memory>
#include <string>

namespace scripting {

// Settings a CGI file reads when it is made.
struct cgi_options {
    std::wstring php_interpreter; // [Param] php_interpreter, trimmed
    int timeout_ms = 120000;      // quiet output longer than this ends the child
    int nice = 0;                 // from "cgi_priority"
    bool dump_output = false;     // "dump_cgi_output"
};

// The part of programs and in-process scripts: two pipes, the error text and
// the response headers the output's header block is written into.
class cgi_file_base : public cl::simple_file {
  public:
    cgi_file_base();
    ~cgi_file_base() override;

    int64_t size() override { return -1; }
    // Into the child's standard input; 0 when nothing runs.
    int64_t write(const void* buffer, int64_t count) override;
    std::string modified_time_text() override { return {}; }
    std::string etag() override { return {}; }
    win32::filetime last_write_filetime() override { return 0; }
    // Closes the child's standard input once.
    void end_input() override;
    // A body reader that closes the file once the request body is in ends
    // the program's input; before the start a close is the file's own (an
    // open closes first).
    int close() override {
        if (started_) end_input();
        return simple_file::close();
    }
    std::wstring error_text() override { return error_text_; }
    bool set_ranges(const range_list&) override { return false; }

  protected:
    // Keeps the headers handed over (or makes an empty set).
    void take_headers(cl::ref_cnt_base* companion);
    static void close_fd(int& fd);

    int child_in_read_ = -1;
    int in_write_ = -1;
    int child_out_write_ = -1;
    int out_read_ = -1;
    bool running_ = false;
    bool started_ = false;
    std::wstring error_text_;
    cl::sh_ptr<response_headers> headers_;
};

class cgi_file : public cgi_file_base {
  public:
    cgi_file(cl::sh_ptr<req_info> info, std::wstring path, bool interpreter_mode,
             cgi_options options);
    ~cgi_file() override;

    // -2 until the output's header block is complete, then -1.
    int64_t size() override { return header_complete_ ? -1 : -2; }
    int64_t read(void* buffer, int64_t count) override;
    // Starts the child (on the calling thread).
    void start(cl::ref_cnt_base* companion) override;

    // The header lines of the output into the response headers: a leading
    // status line ("HTTP/1.1 404 Not Found") becomes "Status"; a Location
    // without Status makes the answer a redirect; the body framing headers
    // are the server's own and are dropped.
    static void parse_cgi_status(const std::vector<cl::rfc822_header>& lines,
                                 response_headers& headers);

  private:
    bool launch();
    int64_t read_some(char* p, int64_t n);
    void end_of_output();
    // True once the request's connection has closed (asked at most once a
    // second).
    bool client_gone();
    // Makes the answer an error: the status, and the text shown as its body.
    void fail(const char* status, std::wstring text);

    cl::sh_ptr<req_info> info_;
    std::wstring path_;
    std::wstring command_;
    cgi_options options_;
    bool interpreter_mode_;
    cl::rfc822_msg header_parser_;
    bool header_complete_ = false;
    bool output_ended_ = false;
    bool launched_ = false;
    bool failed_ = false;
    int64_t next_client_check_ = 0;
    std::shared_ptr<child_process> child_;
    int script_fd_ = -1; // the script as checked, until the child has it
};

} // namespace scripting
