#include "dav/member_access.h"

#include <algorithm>

namespace {

// A name whose configuration can differ from that of another plain name of
// the same folder only through a Files or Location section: nothing the
// path checks refuse (controls, < > " | ? * :, "..", a final dot or blank,
// a device name such as "con.ics"), kept to letters, digits and a few marks.
// Everything else is decided on its own.
bool plain_member_name(std::wstring_view name) {
    if (name.empty() || name.front() == L'.' || name.back() == L'.' ||
        name.find(L"..") != std::wstring_view::npos)
        return false;
    for (wchar_t c : name)
        if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
              c == L'.' || c == L'-' || c == L'_' || c == L'@' || c == L'+' || c == L'=' ||
              c == L','))
            return false;
    // Device names: three or four letters before the first dot ("nul",
    // "com1.ics") are left to the full check.
    const std::size_t stem = std::min(name.find(L'.'), name.size());
    return stem != 3 && stem != 4;
}

// The longest local path a configuration is made for.
constexpr std::size_t max_config_path = 260;

} // namespace

member_access::member_access(const access_client& client, std::wstring folder)
    : client_(client), folder_(std::move(folder)) {}

int member_access::status(std::wstring_view name, bool is_folder, bool regular_file) {
    const bool plain = regular_file && !is_folder &&
                       folder_.size() + name.size() < max_config_path && plain_member_name(name);
    if (plain && plain_status_ && !is_access_file(*plain_config_, std::wstring(name)))
        return *plain_status_;
    path_.assign(folder_).append(name);
    if (is_folder) path_ += L'/';
    const access_answer a = decide_access_local(client_, "GET", path_, access_use::request);
    if (plain && !plain_status_ && a.config && !a.config->name_sections &&
        !is_access_file(*a.config, path_)) {
        plain_status_ = a.status;
        plain_config_ = a.config;
    }
    return a.status;
}
