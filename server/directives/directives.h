// The per-directory directive language: the global directive table, the
// extension-to-type table from "mime.types", and the readers of directive
// files and lines.
#pragma once
#include "core/text.h"
#include "core/uni_file.h"
#include "server/config_info.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

struct directive_entry {
    // AllowOverride classes that permit the directive; 0 means always.
    uint32_t override_class = 0;
    void (*set)(config_info& config, std::wstring_view argument) = nullptr;
    std::wstring (*get)(const config_info& config) = nullptr;
};

using directive_map = std::map<std::wstring, directive_entry, cl::wstring_iless>;
using mime_type_map = std::map<std::wstring, std::string, cl::wstring_iless>;

// Fills the directive table (48 entries) and loads "mime.types" of the
// program-data directory. Called once at server start before any request;
// calling it again rebuilds both tables (tests).
void build_directive_table();
// Read-only after build_directive_table.
const directive_map& directive_table();
const mime_type_map& mime_types();
// The entry of a directive name (any case); null when unknown.
const directive_entry* find_directive(std::wstring_view name);
// "AllowOverride\n" followed by every directive name in key order, each
// followed by "\n".
std::wstring directive_names_text();

// Reads the access file (AccessFilename) of one directory into the
// configuration.
void parse_config_file(config_info& config, const std::wstring& directory);
// The line grammar for one line.
void parse_config_line(config_info& config, const std::wstring& line);
// Applies a line as if it stood at the given line of the named source.
void parse_config_line_at(config_info& config, const std::wstring& line, const std::wstring& source,
                          uint32_t line_number);
// Shared by <Files (files mode) and <Location (location mode).
bool match_section_pattern(const config_info& config, std::wstring_view argument, bool files_mode);

// A directive's file argument as a full local path below the document root
// (leading "/") or the directory being read; empty when it is not a valid,
// unblocked path, or, unless allowed, when it is a directory.
std::wstring resolve_file_argument(const config_info& config, std::wstring_view argument,
                                   bool allow_directories);
// An expiry time in the short ("A3600", "M0") or the long quoted form.
int32_t parse_expiry(const config_info& config, std::wstring_view argument);

// A text file read line by line: encoding by byte-order mark (UTF-8 without
// one), LF, CR or CR LF ending a line, U+FEFF skipped at a line's start. Only
// one line is held at a time. Every descriptor is close-on-exec.
class text_file_reader {
  public:
    text_file_reader() = default;
    ~text_file_reader();
    text_file_reader(const text_file_reader&) = delete;
    text_file_reader& operator=(const text_file_reader&) = delete;
    // False when the file cannot be opened or is a directory.
    bool open(const std::wstring& path);
    // FILETIME of the last write, valid after open.
    uint64_t last_write_time() const { return last_write_time_; }
    // Hands every line to on_line, then closes the file.
    void read_lines(const std::function<void(const std::wstring&)>& on_line);
    void close();

  private:
    std::unique_ptr<cl::uni_file> file_;
    uint64_t last_write_time_ = 0;
};

// Reads a text file line by line: encoding by byte-order mark (UTF-8 without
// one), LF, CR or CR LF ending a line, U+FEFF skipped at a line's start. False
// when the file cannot be opened (or is a directory). Gives the last-write time
// as a FILETIME when asked.
bool read_text_file_lines(const std::wstring& path,
                          const std::function<void(const std::wstring&)>& on_line,
                          uint64_t* last_write_time = nullptr);
