// The access log: one line per answered request, built on the request's
// thread, appended to one batch under the log's lock and written to
// "access.log" in one call per batch by the flush on the "slow" timer, so
// request threads never wait for the disk.
#pragma once
#include "core/sync.h"
#include "core/timer.h"
#include "platform/win32/time.h"

#include <cstdint>
#include <string>
#include <string_view>

// The values of one request that its log line is made of, as views of the
// request's own texts: a line is made without copying them.
struct access_log_view {
    std::string_view remote_addr;
    std::string_view user; // authenticated user; empty for anonymous
    // The request line: method, raw URL and version, as "GET /a?b HTTP/1.1".
    std::string_view method;
    std::string_view url;
    uint16_t version_major = 1;
    uint16_t version_minor = 1;
    int status = 0;
    uint64_t bytes_sent = 0;
    std::string_view referer;
    std::string_view user_agent;
};

// A field in the log's quoting: "-" for empty text, else backslashes doubled,
// quotes escaped, the whole in double quotes.
std::string quote_log_field(std::string_view text);

// The time field: "06/Nov/1994:08:49:37 +0100". bias_minutes is the standard
// zone bias (UTC minus local time, in minutes), daylight saving not added.
std::string format_log_time(const win32::systemtime& local, int32_t bias_minutes);

// The standard-time bias of the local zone in minutes (UTC minus local).
int32_t standard_zone_bias();

// The complete line, "\n" included.
std::string format_access_log_line(const access_log_view& fields, const win32::systemtime& local,
                                   int32_t bias_minutes);
// Appends the line to out, the time field given as format_log_time made it.
void append_access_log_line(std::string& out, const access_log_view& fields,
                            std::string_view time_field);

class access_log {
  public:
    access_log() = default;
    ~access_log();
    access_log(const access_log&) = delete;
    access_log& operator=(const access_log&) = delete;

    // Opens "access.log" in dir (which ends in "/") for appending, creating
    // the directory when it is missing. False when the file cannot be opened;
    // lines queued meanwhile are dropped at the next flush.
    bool open(const std::wstring& dir);
    // Arms the flush on timer: it writes the queued lines every 100 ms, and
    // at once when they make a large batch.
    void arm_flush(cl::base_timer& timer);
    // Appends the line to the batch and wakes the flush.
    void queue_line(std::string_view line);
    // Makes the line of the fields at the current local time in the calling
    // thread's own buffer (no allocation once it has grown) and queues it.
    void log(const access_log_view& fields);
    // Writes the batch to the file in one call; the lock is not held while
    // writing. A write that fails or stops short (disk full, file size limit)
    // is cut back to the last whole line and its lines are dropped, so the
    // file never holds a torn line and later lines start on a line of their own.
    void flush_queue();
    // Stops the flush (waiting for a running one), writes what is queued and
    // closes the file.
    void close();

    bool is_open();
    std::wstring path();

    // Renames the open log to target (never over an existing file) and goes
    // on in a new file of the old name; lines queued meanwhile wait for the
    // new file. When the rename or the new file fails, logging goes on in
    // the file it used before and false is returned.
    bool rotate_to(const std::wstring& target);
    // The daily rotation's timer entry; close() cancels it.
    cl::timer_id& daily_timer() { return daily_timer_; }

  private:
    cl::critical_section lock_;
    cl::event flush_event_;
    std::string batch_;   // whole lines waiting for the flush
    std::string writing_; // the batch being written (under write_lock_)
    cl::timer_id flush_timer_;
    cl::timer_id tick_timer_;
    cl::timer_id daily_timer_; // armed by the daily rotation
    int fd_ = -1;
    std::wstring path_;
    cl::critical_section write_lock_; // orders the writers of the file
};

// The one access log of the process.
access_log& the_access_log();
