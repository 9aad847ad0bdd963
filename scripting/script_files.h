// The script host's response files by handler kind: CGI programs and
// interpreters, server-side-include pages, and in-process script pages.
#pragma once
#include "core/ini_file.h"
#include "scripting/cgi_file.h"
#include "server/script_file.h"

namespace scripting {

class script_files final : public script_file_factory {
  public:
    // global_ini: the program's global INI file; it must outlive this.
    explicit script_files(cl::ini_file& global_ini) : ini_(global_ini) {}
    std::unique_ptr<cl::simple_file> make(const cl::sh_ptr<req_info>& info,
                                          const std::wstring& path, uint32_t kind,
                                          const automation::guid& class_id) override;
    // The CGI settings as they stand in the INI file now.
    cgi_options options();

  private:
    cl::ini_file& ini_;
};

} // namespace scripting
