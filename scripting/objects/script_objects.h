// The script objects that the Webserver object hands out: files, named
// mutexes, waitable events, loggers, hash lists, images, mail, server lists
// with the response-header view, and event connections of created objects.
// Each factory takes plain values, so that a Webserver member is one call.
// Every object comes back with one reference held by the returned pointer.
#pragma once
#include "core/ref_cnt.h"
#include "platform/automation/com_objects.h"
#include "platform/automation/dispatch.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cl {
class ini_file;
} // namespace cl
class response_headers_base;

namespace script_engine {
class engine;
}

namespace scripting {
class hashlist;
}

namespace scripting::objects {

using automation::hresult;
using dispatch_ptr = automation::com_ptr<automation::idispatch_i>;

// ---- files, mutexes, events ----

// An unopened file object (`ifile`).
dispatch_ptr create_file_object();
// A named mutex object (`imutex`), not yet acquired. Mutexes of one name
// exclude each other across threads and across processes that share
// `lock_dir` (the program-data directory): the lock is a file named by the
// hex-encoded name in lock_dir + "js_mutexes/".
dispatch_ptr create_mutex_object(const std::wstring& name, const std::wstring& lock_dir);
// A new manual-reset event object (`ievent`), not set.
dispatch_ptr create_event_object();
// Waits for the event objects among the members of d (an array or any object
// whose properties are events), with one deadline for the whole wait
// (timeout in ms, -1 without end). Without wait_all the result is the first
// set event; with wait_all it is true once all are set; null on time-out. Events of
// connected objects are delivered to this thread while it waits.
hresult wait_for_events(automation::idispatch_i* d, const automation::variant& timeout,
                        const automation::variant& wait_all, automation::variant* result);

// What bounds a blocking wait of a script (events, a mutex): stopping()
// turns true when every script must end (server stop); run_limit_ms() is the
// run-time limit of a script in ms (0: none), which no single wait outlasts.
// Installed once at start-up; without it waits end only by their own time-out.
void set_wait_limits(std::function<bool()> stopping, std::function<uint32_t()> run_limit_ms);

// ---- the calling thread's message queue ----

// Runs what other threads posted to this thread (events of connected
// objects) for ms milliseconds; returns early only when the run is
// interrupted. This is the waiting half of the Webserver's sleep.
void pump_messages(uint32_t ms);

// ---- loggers ----

// The shared logger (`ilogger`) of the file; a new one is registered when
// none exists. timeout: seconds without use before the sweep unloads it (0:
// until close_all_loggers).
dispatch_ptr create_logger(const std::wstring& path, uint32_t timeout);
// One pass of the unload sweep (seconds of the hash-list clock).
void sweep_loggers(int64_t now_seconds);
// Flushes and drops every logger (server stop, after the hash lists).
void close_all_loggers();
std::size_t logger_count();

// ---- hash lists ----

// The script face (`ihashlist`) of a list from get_named_hashlist.
dispatch_ptr hashlist_object(cl::sh_ptr<hashlist> list);

// ---- images ----

// What an image's send needs of the running request.
struct image_response {
    virtual ~image_response() = default;
    // The MIME type registered for the extension (with its dot).
    virtual std::string content_type_from_ext(const std::string& ext) = 0;
    virtual void set_content_type(const std::string& type) = 0;
    // Writes response bytes; false when the client is gone.
    virtual bool write_response(const std::vector<uint8_t>& bytes) = 0;
};
// Tells whether a local path may be read or written by a script's image.
using path_check = std::function<bool(const std::wstring& path)>;
// An image object (`iimage`) on the file; the file is not opened here.
// response may be null (send then fails); allowed may be empty (every path).
dispatch_ptr create_image_object(const std::wstring& file, std::shared_ptr<image_response> response,
                                 path_check allowed);

// ---- mail ----

// The ProgID of the mail component.
inline constexpr const wchar_t* sendmail_prog_id = L"teskqvel_sendmail.teskqvel_sendmail_class";
// Registers the mail component's class under its ProgID (idempotent).
void register_sendmail_class();
// Reads the SMTP settings from section "Param" of the program's settings,
// encrypts a "!" password in place, creates the component and initialises it
// ("init" or "init2"). master_pwd is the key of stored passwords.
hresult create_sendmail(cl::ini_file& global_ini, const std::string& master_pwd, dispatch_ptr* out);

// ---- server objects and event connections ----

// Fills the entries of a named server list (other than "blocklist", which is
// read here): keys and values in order; false when the name is unknown.
using server_list_source = std::function<bool(
    const std::wstring& name, std::vector<std::wstring>& keys, std::vector<std::wstring>& values)>;
// "http_response_header": a writable view of headers; any other name a
// read-only snapshot of that server list (empty for an unknown name).
hresult create_server_object(const std::wstring& name, cl::sh_ptr<response_headers_base> headers,
                             const server_list_source& lists, automation::variant* out);
// Connects the events of obj to the running script: param text = prefix of
// global functions (through eng's global object), param object = its methods.
// DISP_E_BADVARTYPE for another type; CONNECT_E_NOCONNECTION when obj raises
// no events that could be connected. VT_NULL and VT_EMPTY connect nothing.
hresult connect_object_events(automation::idispatch_i* obj, const automation::variant& param,
                              script_engine::engine& eng);
// Server stop: every connected source object is released.
void disconnect_all_event_handlers();
std::size_t connected_event_handlers();

} // namespace scripting::objects
