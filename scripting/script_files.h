// The script host's response files by handler kind: CGI programs and
// interpreters, server-side-include pages, and in-process script pages.
#pragma once
#include "core/ini_file.h"
#include "scripting/cgi_file.h"
#include "server/script_file.h"

namespace scripting {

// A page for an in-process script engine. No engine runs pages yet, so the
// file answers 501 with the reason; the script's source is never sent.
class shost_file : public cgi_file_base {
  public:
    explicit shost_file(std::wstring path);
    int64_t size() override { return -2; }
    int64_t read(void*, int64_t) override { return 0; }
    void start(cl::ref_cnt_base* companion) override;

  private:
    std::wstring path_;
};

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
