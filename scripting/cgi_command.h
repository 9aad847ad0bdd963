// What a CGI child runs: the command built from a script's "#!" line or from
// the configured interpreter, as a text for traces and error texts and as the
// argument vector the child is started with; and its environment.
#pragma once
#include "server/req_info.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace scripting {

struct interpreter_command {
    // The program path in double quotes, its arguments, the script path
    // (in double quotes when it holds a blank).
    std::wstring text;
    // The program, its arguments, the script path.
    std::vector<std::wstring> argv;
};

// From a "#!" line (program mode: the text after its first "!") or the
// interpreter setting (the whole line). False when no program is named.
bool build_interpreter_command(std::wstring_view line, const std::wstring& script_path,
                               bool interpreter_mode, interpreter_command& out);

// The program path, or the path with ".exe" when only a file of that name
// exists.
std::wstring add_exe_extension(const std::wstring& path);

// Words of an argument text: split at blanks, a double-quoted part kept as
// one word without its quotes.
std::vector<std::wstring> split_arguments(std::wstring_view text);

// An environment block: "NAME=value" entries, names compared without regard
// to ASCII case. Setting a name replaces its entry in place, else appends one;
// "=" and NUL are removed from names, NUL from values.
class environment_block {
  public:
    // Starts from the server's own environment.
    static environment_block of_process();
    void set(std::string name, std::string value);
    const std::vector<std::string>& entries() const { return entries_; }

  private:
    std::vector<std::string> entries_;
    std::map<std::string, std::size_t> index_; // lower-case name -> entry
};

// The block of a CGI child: the server's environment, then every variable
// of the request.
environment_block cgi_environment(const req_info& info);

// Completes the variables a CGI program reads about itself: PATH_TRANSLATED,
// SCRIPT_NAME, SCRIPT_FILENAME, REQUEST_URI (the request's path with its
// query string) and DOCUMENT_ROOT with "/" separators.
void complete_cgi_variables(req_info& info, const std::wstring& script_path);

} // namespace scripting
