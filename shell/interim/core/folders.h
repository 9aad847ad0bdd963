// Stand-in for the class library's folder functions (see ../README.md).
// Directories returned here end in "/".
#pragma once
#include <string>

namespace cl {

std::wstring get_module_dir();
bool get_install_dir(const std::wstring& subkey, std::wstring& dir);
std::wstring company_key_path(const std::wstring& subkey);
// $XDG_DATA_HOME (else ~/.local/share, or /var/lib for root) + "Tesk/" +
// subdirectory + "/"; the base folder is created when missing.
std::wstring get_common_app_data_dir(const std::wstring& subdirectory);
bool create_dir_tree(const std::wstring& path);
bool file_exists(const std::wstring& path);

} // namespace cl
