// Scripts run without a client: the start and stop scripts listed in
// [scripts] of the global INI file, the maintenance script and the scripts a
// connection names to run when its client goes away. Each runs like a GET of
// its URL; its output is read to the end and dropped.
#pragma once
#include "core/ini_file.h"
#include "core/simple_file.h"

#include <functional>
#include <memory>
#include <string>

namespace scripting {

// The started response file of a script URL (path and optional query), with
// the parameter in "_TSKQVL_SCRIPT_PARAM"; the caller reads its output. Null,
// traced, when the URL maps to no allowed file or the file cannot be opened.
std::unique_ptr<cl::simple_file> run_script_url(const std::string& url, const std::wstring& param);
// Runs it and reads its output to the end; false when nothing ran.
bool run_script_url_discard_output(const std::string& url, const std::wstring& param);

using script_runner = std::function<void(const std::string& url, const std::wstring& param)>;

// Runs, one after another in file order, every entry of [scripts] whose key
// begins with the event word (case-sensitive): the value's first word is the
// URL, the other words joined by one blank the parameter. The count run.
std::size_t run_event_scripts(cl::ini_file& ini, const std::wstring& event,
                              const script_runner& run);

} // namespace scripting
