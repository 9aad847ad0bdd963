// The crash handler: a crash writes a dump into the program-data folder
// (platform/crash, inside the crashed process, with signal-safe calls only);
// everything else happens in a watchdog process forked before any other
// thread exists: it reads the dump, builds the report of named fields, shows
// the message on standard error (which stands in for the message box) and in
// the trace, asks whether to send the report when the mode says so and a
// person can answer at a terminal, and uploads the dump over HTTPS. No
// dialog and no network inside the crashed process; in service mode nobody
// is asked.
#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace sys {

// 0: message only; 1: message, then upload; 2: ask, upload on yes.
constexpr uint32_t crash_mode_message = 0;
constexpr uint32_t crash_mode_upload = 1;
constexpr uint32_t crash_mode_ask = 2;

// Forks the watchdog process; false (and no watchdog) when the process runs
// more than one thread already. The program calls it first thing.
bool start_crash_watchdog();
// The dump folder is the common program-data folder for the name. Starts
// the watchdog when that has not been done; false when there is none.
bool install_crash_handler(const std::wstring& name, uint32_t mode);
bool install_crash_handler_in(const std::wstring& dump_folder, uint32_t mode);

void crash_set_texts(const std::wstring& unhandled, const std::wstring& injected,
                     const std::wstring& virus, const std::wstring& other_programs,
                     const std::wstring& terminates, const std::wstring& ask_send);
// Called first on a crash, inside the signal handler: signal-safe code only.
void crash_set_callback(void (*callback)(void*), void* arg);
// "prod", "ver", "osver", "arch", "lang" ("geoid" has no counterpart here).
void crash_report_params(const std::wstring& program, const std::wstring& version);
void crash_report_add_field(const std::string& name, const std::wstring& value);
void crash_set_service_mode(bool service);
// The program's trace file, where the crash message is written too.
void crash_set_trace_file(const std::wstring& path);
// "host" or "host:port"; the dump goes there by HTTPS POST.
void crash_set_upload_host(const std::wstring& host);

// The report as "name=value" pairs joined by "&", ordered by name.
std::string crash_report_query(const std::map<std::string, std::string>& fields);
std::string crash_report_query();

// The watchdog's work for one dump, also used by the tests: fills in the
// fields of the dump, writes "crash_report.txt" beside it, returns the
// message shown and whether the report was sent.
struct crash_outcome {
    std::map<std::string, std::string> fields;
    std::string message;
    bool asked = false;
    bool uploaded = false;
};
crash_outcome handle_crash_dump(const std::string& dump_path);

// The upload: true when the host answered 200.
bool crash_upload(const std::string& file_path, const std::string& host,
                  const std::string& request_path);

} // namespace sys
