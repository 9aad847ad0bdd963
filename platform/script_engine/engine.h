// The JavaScript engine host layer: one engine (a duktape heap) per worker
// thread, named items, dispatch objects seen by scripts as JavaScript objects,
// JavaScript values seen by native code as dispatch-ex objects, error reports
// with line numbers, and interruption of a running script.
#pragma once
#include "platform/automation/dispatch.h"

#include <functional>
#include <memory>
#include <string>

namespace script_engine {

using automation::excepinfo;
using automation::hresult;

// InterruptScriptThread arguments.
constexpr uint32_t scriptthreadid_current = 0xFFFFFFFF;
constexpr uint32_t scriptthreadid_base = 0xFFFFFFFE;
constexpr uint32_t scriptthreadid_all = 0xFFFFFFFD;
constexpr uint32_t scriptinterrupt_raiseexception = 2;

// Errors that native members raise for scripts to catch.
constexpr uint16_t script_error_code = 1001;
inline const wchar_t* const script_error_source = L"qvel scripting";

// What a script error report carries (the engine's error object).
struct script_error {
    hresult scode = 0;
    uint16_t code = 0;
    std::wstring source;
    std::wstring description;
    std::wstring line_text;
    uint32_t line = 0; // 1-based within the parsed text; 0 when unknown
    int32_t column = 0;
};

class engine {
  public:
    using error_sink = std::function<void(const script_error&)>;

    engine();
    ~engine();
    engine(const engine&) = delete;
    engine& operator=(const engine&) = delete;

    // Called for every error that ends a run (also for an ended script when the
    // ending carried exception information, as `exit` does).
    void set_error_sink(error_sink sink);

    // AddNamedItem: the object is the global variable name; with global members
    // the members of its type table are global names too.
    hresult add_named_item(const std::wstring& name, automation::idispatch_i* obj,
                           bool global_members);
    // Makes "ActiveXObject" create classes of the class registry by ProgID.
    void enable_active_x_object();

    // ParseScriptText: compiles and runs top-level code. A failure is reported
    // to the sink and answered DISP_E_EXCEPTION (E_ABORT when interrupted).
    hresult parse_script_text(const std::wstring& code, excepinfo* ei = nullptr);
    // GetScriptDispatch: the global object as a dispatch-ex object.
    hresult get_script_dispatch(automation::idispatch_ex_i** out);

    // From any thread: ends the run in progress (or, when none runs, the next).
    void interrupt();
    // Ends each outermost run after this many milliseconds (0: no limit).
    void set_run_time_limit(uint32_t ms);
    // From a native member on the engine's thread. With flags
    // scriptinterrupt_raiseexception the exception information is thrown to
    // the script when the member returns; without, the script ends and the
    // information (when given) is reported as its error.
    hresult interrupt_script_thread(uint32_t thread_id, const excepinfo* ei, uint32_t flags);
    // Raises a catchable error with code 1001 and source "qvel scripting".
    hresult raise_script_error(const std::wstring& description);

    void collect_garbage();
    // The engine running a script on this thread, if any.
    static engine* current();
    // True when the run of this thread's engine is to end now: it was
    // interrupted or its time is up. Native members that wait check it, so
    // that no wait outlasts the run.
    static bool current_run_over();

    struct impl;

  private:
    std::unique_ptr<impl> p_;
};

// Text as the engine holds it: UTF-16 code units in CESU-8, so that string
// lengths count UTF-16 units. Lone surrogates read back as U+FFFD.
std::string wide_to_engine(std::wstring_view s);
std::wstring engine_to_wide(std::string_view s);
// True when the engine's text s is UTF-8 as it stands: no surrogate halves
// (which the engine keeps as three-byte sequences each) and no bytes that
// are no character. Such text reads the same through engine_to_wide and
// back to UTF-8.
bool engine_text_is_utf8(std::string_view s);
// While a native member called by a script runs on this thread: its
// argument i (in the script's order) as UTF-8 straight from the engine's own
// bytes, valid until the member returns. False when that argument is no
// string or its text is not UTF-8 as it stands; the member converts then.
bool native_arg_utf8(std::size_t i, std::string_view& out);

} // namespace script_engine
