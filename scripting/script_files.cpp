#include "scripting/script_files.h"

#include "core/format.h"
#include "scripting/jscript/shost_file.h"
#include "scripting/ssi_file.h"
#include "server/config_info.h"
#include "server/server_settings.h"

namespace scripting {

namespace {

int nice_of(priority_class p) {
    switch (p) {
    case priority_class::above_normal:
        return -5;
    case priority_class::below_normal:
        return 5;
    case priority_class::high:
        return -10;
    case priority_class::normal:
        break;
    }
    return 0;
}

} // namespace

cgi_options script_files::options() {
    cgi_options o;
    o.php_interpreter = ini_.get_string_or(L"Param", L"php_interpreter", L"");
    cl::trim_w(o.php_interpreter);
    const int32_t seconds = ini_.get_int(L"param", L"cgi_timeout", 120);
    o.timeout_ms = seconds > 0 ? seconds * 1000 : 0;
    const server_values& v = server_settings();
    o.nice = nice_of(v.cgi_priority);
    o.dump_output = v.dump_cgi_output;
    return o;
}

std::unique_ptr<cl::simple_file> script_files::make(const cl::sh_ptr<req_info>& info,
                                                    const std::wstring& path, uint32_t kind,
                                                    const automation::guid& class_id) {
    switch (kind) {
    case handler_cgi_script:
        return std::make_unique<cgi_file>(info, path, false, options());
    case handler_php_script:
        return std::make_unique<cgi_file>(info, path, true, options());
    case handler_server_parsed:
        return std::make_unique<parsed_file>(info, path);
    case handler_java_script:
    case handler_prog_id:
        return std::make_unique<shost_file>(info, path, class_id);
    default:
        return std::make_unique<cl::simple_file>();
    }
}

} // namespace scripting
