// One JavaScript engine for one script file on one worker thread: it reads
// the source with its includes, runs the top-level code once, calls `main`
// per request, turns errors into texts naming the file and line, and keeps
// the modules the script loaded with require.
#pragma once
#include "platform/automation/com_objects.h"
#include "platform/script_engine/engine.h"
#include "scripting/jscript/script_source.h"
#include "scripting/jscript/shost_file.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace scripting {

class main_script_object;

class jscript_host {
  public:
    jscript_host();
    ~jscript_host();
    jscript_host(const jscript_host&) = delete;
    jscript_host& operator=(const jscript_host&) = delete;

    // Creates the engine, reads and runs the script's top-level code and,
    // with need_main, finds its `main`. Errors fill the context's text.
    automation::hresult load(const std::wstring& path, load_context& params, bool need_main = true);
    // Calls `main` once for the request and ends the request's output.
    void run(const cl::sh_ptr<shost_file_adapter>& adapter, script_context* context);
    void after_run();
    // True when the script keeps names of its own at global level, so that
    // requests must not run it in parallel.
    bool has_global_state();
    // From any thread: ends what the engine (and its modules') runs now.
    void interrupt();
    void set_run_time_limit(uint32_t ms);

    // --- for the global object ---
    script_engine::engine* engine() { return engine_.get(); }
    load_context* load_params() { return load_params_; }
    shost_file* current_file() const { return current_ ? current_->file() : nullptr; }
    const cl::sh_ptr<shost_file_adapter>& current() const { return current_; }
    bool& errors_to_response() { return errors_to_response_; }
    const std::wstring& path() const { return path_; }
    automation::idispatch_ex_i* script_dispatch() const { return script_dispatch_.get(); }
    automation::hresult require(const std::wstring& name, automation::variant* result,
                                automation::excepinfo* ei = nullptr);
    const std::vector<source_piece>& pieces() const { return pieces_; }

    // The file and line of a line of the concatenated text.
    static void map_line(const std::vector<source_piece>& pieces, uint32_t line, std::wstring& file,
                         uint32_t& file_line);
    // The report of an error as the trace and the page show it.
    std::wstring error_text(const script_engine::script_error& e) const;

  private:
    void on_script_error(const script_engine::script_error& e);

    std::mutex engine_lock_; // guards engine_ and modules_ against interrupt()
    std::unique_ptr<script_engine::engine> engine_;
    automation::com_ptr<main_script_object> global_;
    cl::sh_ptr<shost_file_adapter> current_;
    bool errors_to_response_ = true;
    script_context* request_context_ = nullptr;
    load_context* load_params_ = nullptr;
    automation::com_ptr<automation::idispatch_ex_i> script_dispatch_;
    automation::dispid main_id_ = -1;
    std::vector<source_piece> pieces_;
    std::map<std::wstring, std::unique_ptr<jscript_host>> modules_;
    std::wstring path_;
    uint32_t run_time_limit_ms_ = 0;
};

} // namespace scripting
