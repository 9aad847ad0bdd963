// The response file of an in-process script page: the script's worker writes
// the body into a pipe that the request side reads, and reads the request
// body from a second pipe. The file also is the channel through which the
// script objects reach the running request (content type, headers, CGI
// variables, server services).
#pragma once
#include "core/sync.h"
#include "platform/automation/com_objects.h"
#include "scripting/cgi_file.h"
#include "server/req_info.h"
#include "server/response_headers.h"
#include "server/script_file.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace scripting {

class shost_thread;

// What the worker and the engine host tell a request about a run: the first
// error text that explains why the script produced nothing useful.
struct script_context {
    std::wstring error_text;
    bool busy = false; // not served: the page's one worker stayed busy
};

// A bounded byte queue between two threads, in place of a pipe: the writer
// waits while it is full, the reader while it is empty; either side may
// close, after which writes take nothing and reads see the end.
// A reader is woken once per piece, not per write: when the writer ends,
// when half the queue is filled, or after a short grace with whatever is
// there (so that a page that writes a little and then works streams out).
// The writer's last act is finish(), made through a reference of its own:
// the owner may let the queue go as soon as it sees the run finished.
class byte_channel {
  public:
    // Asked now and then by a side that waits: true ends the wait as if the
    // other side had gone.
    using give_up_check = bool (*)();

    explicit byte_channel(std::size_t limit) : limit_(limit) {}
    // The count taken; 0 once the reader has gone (or give_up said so
    // before anything could be taken).
    std::size_t write(const char* data, std::size_t count, give_up_check give_up = nullptr);
    // Up to count bytes; 0 at the end (or when give_up said so).
    std::size_t read(char* data, std::size_t count, give_up_check give_up = nullptr);
    // Ends the writing side; the reader learns it at once, or with `wake`
    // false only at its next look (finish() follows soon).
    void close_writer(bool wake = true);
    void close_reader();
    // The writer is done with the queue for good (closed, reader woken).
    void finish();
    // A new writer is about to use the queue.
    void restart();
    // Until finish() (immediately when nothing was started).
    void wait_finished();

  private:
    // Waits on cv until woken, in slices when there is a give_up check;
    // false when the check says to give up.
    bool wait(std::condition_variable& cv, std::unique_lock<std::mutex>& g, give_up_check give_up);

    std::mutex m_;
    std::condition_variable reader_cv_, writer_cv_;
    std::string buf_;
    std::size_t head_ = 0;
    std::size_t limit_;
    bool writer_closed_ = false;
    bool reader_closed_ = false;
    bool reader_waiting_ = false;
    bool reader_wants_any_ = false; // past its grace: any byte wakes it
    bool writer_waiting_ = false;
    bool finished_ = true;
};

class shost_file : public cgi_file_base, public script_response {
  public:
    shost_file(cl::sh_ptr<req_info> info, std::wstring path, const automation::guid& class_id);
    ~shost_file() override;

    // -2 while the script may still set the head (until its first output or
    // its end), then -1: the body's length is never known ahead.
    int64_t size() override { return header_sent_.load() ? -1 : -2; }
    // The page itself is read by its worker when it (re)loads; the request
    // needs no descriptor of it. When the request's configuration names the
    // file (and so, checked per change, says that it is there) nothing is
    // opened; any other name is opened as a file is, to learn that it exists.
    bool open(const std::wstring& path, uint32_t flags, uint32_t share = cl::sh_denywr) override;
    // What the script wrote; 0 once it has ended.
    int64_t read(void* buffer, int64_t count) override;
    // The request body, for the script to read.
    int64_t write(const void* buffer, int64_t count) override;
    void end_input() override;
    // Queues the run on a worker; the answer's head waits for the first
    // bytes the script writes (or its end).
    void start(cl::ref_cnt_base* companion) override;

    // --- the request channel of the script objects ---
    void set_content_type(const std::wstring& type);
    std::string content_type();
    // The MIME type of an extension ("." put in front when missing).
    std::wstring content_type_from_ext(std::wstring ext);
    // Sends the script header once, then the bytes; the count written (0
    // when the reader has gone).
    int64_t write_response(const void* data, std::size_t count);
    // An error or alert text in the form the content type allows: escaped
    // and wrapped for HTML, a line for other text, nothing otherwise.
    void write_error_text(const std::wstring& text);
    // The script ended: the request body is no longer read, the head goes
    // out if nothing was written, and the reader sees the end of the body.
    void end_response();
    // The request's CGI variable, else the process environment's (name
    // without regard to case); empty when neither is set.
    std::string environment_var(const std::string& name);
    // Reads the request body; 0 at its end, and when the run is over (its
    // time is up, it was interrupted or the server stops) before more came.
    std::size_t read_input(char* buffer, std::size_t count);
    // The request side can deliver no more of the answer (its client left):
    // the script's next write_response takes nothing.
    void reader_gone() override {
        out_->close_reader();
        inline_gone_ = true;
    }
    // A worker of this page that is free (or just started a request of its
    // own) takes the request from the event loop.
    std::shared_ptr<request_runner> own_runner() override;
    // The directive's text for a URL; false for a refused URL or an unset
    // directive.
    bool get_directive(const std::string& url, const std::wstring& name, std::wstring& out);
    // One letter per method of the comma- or blank-separated list: "e"
    // enabled, "d" disabled, "a" login required; "" for an unusable URL.
    std::wstring http_methods_allowed(const std::string& url, const std::wstring& methods);
    bool add_on_disconnect_handler(const std::string& url, const std::wstring& param, bool once);
    // Stops (true) or restarts (false) impersonation for admin scripts only.
    bool set_admin_impersonation(bool stop);

    const cl::sh_ptr<req_info>& info() const { return info_; }
    response_headers& headers() { return *headers_; }
    cl::sh_ptr<response_headers> headers_ptr() const { return headers_; }
    script_context& context() { return context_; }
    const std::wstring& path() const { return path_; }
    const automation::guid& class_id() const { return class_id_; }
    bool running() const { return running_; }
    // True once the head may have gone out (the first output or the end).
    bool header_sent() const { return header_sent_.load(); }
    // Called by the job that ran the script once it is done with the file:
    // its last touch of it (the reader may destroy the file right after).
    void run_finished() {
        std::shared_ptr<byte_channel> out = out_;
        out->finish();
    }

  private:
    void send_script_header(const char* data, std::size_t count);
    // Output of the page, through the queue or, when it runs on the reading
    // thread, to the reader's sink in pieces; the count taken.
    std::size_t put(const char* data, std::size_t count);

    // Set when the page runs on the request's own thread (its worker's).
    shost_thread* inline_worker_ = nullptr;
    bool inline_ran_ = false;
    bool inline_gone_ = false;
    std::string inline_out_; // written, not yet read
    std::size_t inline_head_ = 0;

    cl::sh_ptr<req_info> info_;
    std::wstring path_;
    automation::guid class_id_;
    std::mutex type_lock_;
    std::string content_type_ = "text/plain; charset=utf-8";
    std::atomic<bool> header_sent_{false};
    script_context context_;
    byte_channel in_{64 * 1024};
    std::shared_ptr<byte_channel> out_ = std::make_shared<byte_channel>(64 * 1024);
};

// The reference-counted handle of a running request that the script objects
// hold. The file it names lives until its run is over; after that the
// handle is cut off and every call sees no request.
class shost_file_adapter : public cl::ref_cnt_shared {
  public:
    explicit shost_file_adapter(shost_file* file) : file_(file) {}
    shost_file* file() const { return file_.load(); }
    void detach() { file_.store(nullptr); }

  private:
    std::atomic<shost_file*> file_;
};

// Refuses CR, LF and NUL: a value a script sets must not start a new header
// line or INI key.
bool is_safe_header_value(std::wstring_view v);

// "<", ">", "&", '"' and "'" as HTML entities.
std::wstring html_escape(std::wstring_view text);

} // namespace scripting
