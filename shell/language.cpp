#include "shell/language.h"

#include "core/format.h"
#include "core/os_version.h"
#include "core/trace.h"
#include "shell/globals.h"

std::wstring language_main_file() {
    return g_install_dir + L"qvelsml.txt";
}

std::wstring language_file_pattern() {
    return g_install_dir + L"qvelsml_*.txt";
}

bool load_program_languages(uint16_t langid) {
    language_file_list list;
    if (!enumerate_language_files(language_main_file(), language_file_pattern(), list))
        return false;
    const uint16_t chosen = list.select(langid, uint16_t(os_version::instance().lang_id));
    if (!chosen) return false;
    const bool ok = ml_table().load_files(language_main_file(), language_file_pattern(),
                                          list.current()->langids, g_product_name,
                                          {"teskqvel_mainurl", "teskqvel_updateurl"});
    if (ok)
        cl::trace_out.write_w(cl::format_wstr(L"language %? (%?)\n", chosen, list.current()->name));
    return ok;
}

std::wstring ml_text(const char* id) {
    return ml_table().get(std::string_view(id));
}
