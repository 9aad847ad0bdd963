// The script source reader: a page's file with the files its include lines
// name, concatenated into the one text the engine compiles, with a record of
// which lines came from which file and of every file read (so a change of
// any of them reloads the page).
#pragma once
#include "core/ref_cnt.h"
#include "platform/automation/unknown.h"
#include "server/config_info.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace scripting {

struct script_context;

// A run of consecutive lines of one file in the concatenated text.
struct source_piece {
    std::wstring file;
    uint32_t first_line = 0; // in that file, from 1
    uint32_t count = 0;
};

// File path -> its modification time when it was read.
using dependency_map = std::map<std::wstring, int64_t>;

// Include files nested deeper than this fail the load (a cycle ends here too).
inline constexpr int max_include_depth = 16;
// Modules requiring modules deeper than this fail.
inline constexpr int max_require_depth = 16;

// What a load needs beyond the path: where errors go, the dependency map to
// fill, the script's configuration and the module directories.
struct load_context {
    script_context* request_context = nullptr;
    dependency_map* dependencies = nullptr;
    cl::sh_ptr<config_info> config;
    automation::guid class_id{};
    std::wstring base_dir;                 // the page's own directory, ending in "/"
    std::vector<std::wstring> module_dirs; // further directories, searched last first
    std::vector<std::wstring> loading;     // modules being loaded, outermost first
};

// The modification time of a file (nanoseconds); -1 when it cannot be read.
int64_t file_write_time(const std::wstring& path);

// Reads path and its includes. False with the context's error text set
// ("Unable to open include script file %?") when a file cannot be read, and
// for include nesting deeper than max_include_depth.
bool read_script_source(const std::wstring& path, std::wstring& text,
                        std::vector<source_piece>& pieces, load_context& context, int depth = 0);

// The include directive of one line, after format characters are removed:
// true with the name when the line is one.
bool parse_include_line(std::wstring_view line, bool& in_comment, std::wstring& name);

} // namespace scripting
