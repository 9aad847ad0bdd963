// The response file of a request target: a plain file, or the script host's
// file for a target that a handler (CGI, server-side include, script) claims.
#pragma once
#include "core/ref_cnt.h"
#include "core/simple_file.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/req_info.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

// Made by the script host for the handler kinds 1 to 5. The request's
// variables and configuration (info->config) travel with the file: a CGI
// program gets them as its environment, an include makes its own.
class script_file_factory {
  public:
    virtual ~script_file_factory() = default;
    virtual std::unique_ptr<cl::simple_file> make(const cl::sh_ptr<req_info>& info,
                                                  const std::wstring& path, uint32_t kind,
                                                  const automation::guid& class_id) = 0;
};
// Installed by the program shell once the script host stands (null removes it).
void set_script_file_factory(script_file_factory* factory);

// A new response file for the path, by the handler kind that the request's
// configuration gives it. Null for a script kind while no script host is
// installed: the source of a script must never go out as a plain file.
std::unique_ptr<cl::simple_file> make_script_file(const cl::sh_ptr<req_info>& info,
                                                  const std::wstring& path);
// The same for a caller that holds only the configuration (a heap object
// held by reference counting): the file gets variables of its own.
std::unique_ptr<cl::simple_file> make_script_file(const config_info& config,
                                                  const std::wstring& path);

class request_runner;

// The side of a response file through which its producer, a script page,
// chooses how its own answer is compressed. The script stores the switches
// while it runs; the request takes them when it decides the body's coding,
// which for a file of unknown length waits for the first output (or the
// end), so that everything a page sets before it writes counts.
class script_response {
  public:
    virtual ~script_response() = default;
    // The request can deliver no more of the answer (its client left): the
    // script learns it at its next write.
    virtual void reader_gone() {}
    // Asked on an event loop: the thread that will produce this answer when
    // it can take the request now (held for it), else null.
    virtual std::shared_ptr<request_runner> own_runner() { return nullptr; }
    // Where a producer that runs on the reading thread itself puts its
    // output as it comes (false: the client can take no more). The reader
    // sets it while it reads the body and clears it before it returns.
    using output_sink = std::function<bool(const char* data, std::size_t count)>;
    void set_output_sink(output_sink sink) { sink_ = std::move(sink); }
    // The switches as stored so far (the request's defaults at first).
    compression_override compression_settings() const;
    // Stores the switches; with chosen the script's choice is made and
    // replaces the directory's directives and the server's own choice. A
    // choice once made stays made.
    void set_compression(const compression_override& settings, bool chosen);
    // The script's choice; false while it made none.
    bool compression_choice(compression_override& out) const;

  protected:
    output_sink sink_;

  private:
    mutable std::mutex lock_;
    compression_override settings_;
    bool chosen_ = false;
};

// True for the response file of a script page, which may choose its own
// compression until its first output.
bool is_script_response(const cl::simple_file& file);

// Hands the choice of the request's response file, when its script made
// one, to the request's own compression switches. Called right before the
// request chooses the body's coding.
void take_script_compression(http_request& request);
