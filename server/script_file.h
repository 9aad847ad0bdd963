// The response file of a request target: a plain file, or the script host's
// file for a target that a handler (CGI, server-side include, script) claims.
#pragma once
#include "core/ref_cnt.h"
#include "core/simple_file.h"
#include "server/config_info.h"
#include "server/req_info.h"

#include <memory>
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
