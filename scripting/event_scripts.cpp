#include "scripting/event_scripts.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/config/config_cache.h"
#include "server/req_info.h"
#include "server/run_request.h"
#include "server/script_file.h"
#include "server/server_dirs.h"

#include <vector>

namespace scripting {

std::unique_ptr<cl::simple_file> run_script_url(const std::string& url, const std::wstring& param) {
    const std::size_t q = url.find('?');
    const std::string path = url.substr(0, q);
    const std::string query = q == std::string::npos ? std::string() : url.substr(q + 1);
    cl::sh_ptr<config_info> config = server_config::config_for_url(path, L"GET");
    if (!config || !config->is_file()) {
        if (trace_level() > 0)
            cl::trace_out.write(cl::format_str("run script: invalid or unallowed path: %?\n", url));
        return nullptr;
    }
    cl::sh_ptr<req_info> info = cl::make_sh<req_info>();
    info->config = config;
    info->set("REQUEST_METHOD", "GET");
    info->set("QUERY_STRING", query);
    info->set("_TSKQVL_SCRIPT_PARAM", cl::utf16_to_utf8(param));
    info->set("_TSKQVL_FILE", cl::utf16_to_utf8(config->local_path));
    info->set("_TSKQVL_PATH", path);
    if (!impersonate_request_user(*config)) return nullptr;
    std::unique_ptr<cl::simple_file> file = make_script_file(info, config->local_path);
    if (!file || !file->open(config->local_path, cl::o_rdonly | cl::o_binary, cl::sh_denywr) ||
        !file->error_text().empty()) {
        if (trace_level() > 0)
            cl::trace_out.write_w(cl::format_wstr(L"run script: file problem: %?\n",
                                                  file ? file->error_text() : config->local_path));
        return nullptr;
    }
    file->end_input();
    file->start(nullptr);
    return file;
}

bool run_script_url_discard_output(const std::string& url, const std::wstring& param) {
    std::unique_ptr<cl::simple_file> file = run_script_url(url, param);
    if (!file) return false;
    char buffer[1024];
    while (file->read(buffer, sizeof buffer) > 0) {
    }
    return true;
}

std::size_t run_event_scripts(cl::ini_file& ini, const std::wstring& event,
                              const script_runner& run) {
    std::vector<std::wstring> keys, values;
    if (!ini.get_section_pairs(L"scripts", keys, values)) return 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < keys.size() && i < values.size(); ++i) {
        if (event.empty() || keys[i].compare(0, event.size(), event) != 0) continue;
        const std::vector<std::wstring> words = cl::split_blanks(values[i]);
        if (words.empty()) continue;
        std::wstring param;
        for (std::size_t w = 1; w < words.size(); ++w)
            param += (w > 1 ? L" " : L"") + words[w];
        try {
            run(cl::utf16_to_utf8(words[0]), param);
            ++count;
        } catch (const std::exception& e) {
            cl::trace_out.write(
                cl::format_str("event script %?: %?\n", cl::utf16_to_utf8(words[0]), e.what()));
        }
    }
    return count;
}

} // namespace scripting
