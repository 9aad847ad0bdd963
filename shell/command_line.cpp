#include "shell/command_line.h"

#include "core/text.h"

#include <cwchar>

std::wstring join_command_line(int argc, const char* const* argv) {
    std::wstring line;
    for (int i = 0; i < argc; ++i) {
        if (i) line += L' ';
        line += cl::utf8_to_utf16(argv[i] ? argv[i] : "");
    }
    return line;
}

bool has_switch(const std::wstring& command_line, const wchar_t* name) {
    return cl::find_word(command_line.c_str(), name) != nullptr;
}

std::wstring switch_text(const std::wstring& command_line, const wchar_t* name) {
    const wchar_t* p = cl::find_word(command_line.c_str(), name);
    if (!p) return std::wstring();
    p += std::wcslen(name);
    while (*p == L' ' || *p == L'\t')
        ++p;
    return std::wstring(p);
}

command_switches parse_switches(const std::wstring& command_line) {
    command_switches s;
    s.mbox = has_switch(command_line, L"-mbox");
    s.close_running = has_switch(command_line, L"-d");
    s.publish = has_switch(command_line, L"-publish");
    if (s.publish) s.publish_text = switch_text(command_line, L"-publish");
    s.script_debugging =
        has_switch(command_line, L"-enable_script_debugging") || has_switch(command_line, L"-esd");
    s.dump_request_body = has_switch(command_line, L"-dump_request_body");
    s.start_service = has_switch(command_line, L"-start_service");
    s.stop_service = has_switch(command_line, L"-stop_service");
    s.service = has_switch(command_line, L"-service");
    return s;
}

ending_switch first_ending_switch(const command_switches& s) {
    if (s.close_running) return ending_switch::close_running;
    if (s.publish) return ending_switch::publish;
    if (s.start_service) return ending_switch::start_service;
    if (s.stop_service) return ending_switch::stop_service;
    return ending_switch::none;
}
