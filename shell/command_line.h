// The command line and its switches. The command line is one wide text: the
// program's arguments, its own path first, joined with blanks. A switch is
// found with cl::find_word, so "-d" is not found inside "-dump_request_body".
#pragma once
#include <string>

struct command_switches {
    bool mbox = false;              // "-mbox"
    bool close_running = false;     // "-d"
    bool publish = false;           // "-publish"
    std::wstring publish_text;      // the text after "-publish"
    bool script_debugging = false;  // "-enable_script_debugging" or "-esd"
    bool dump_request_body = false; // "-dump_request_body"
    bool start_service = false;     // "-start_service"
    bool stop_service = false;      // "-stop_service"
    bool service = false;           // "-service"
};

// The switches that end the program at once, in the order in which start-up
// tests them; the first one present wins.
enum class ending_switch { none, close_running, publish, start_service, stop_service };

std::wstring join_command_line(int argc, const char* const* argv);
bool has_switch(const std::wstring& command_line, const wchar_t* name);
// The text after the switch with the blanks before it skipped; empty when
// the switch is missing.
std::wstring switch_text(const std::wstring& command_line, const wchar_t* name);
command_switches parse_switches(const std::wstring& command_line);
ending_switch first_ending_switch(const command_switches& s);
