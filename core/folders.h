// Folders of the program and the system, temporary files, directory trees,
// deletion, access rights and directory walks. Directories returned here end
// in "/".
#pragma once
#include "core/file_hnd.h"
#include "core/simple_file.h" // the file attribute bits
#include "platform/win32/time.h"

#include <cstdint>
#include <functional>
#include <string>

namespace cl {

// The folder of the running executable.
std::wstring get_module_dir();
// The string value "install_dir" of HKEY_LOCAL_MACHINE "Software\Tesk\" +
// subkey, with "/" appended; false (dir left empty) when missing or empty.
bool get_install_dir(const std::wstring& subkey, std::wstring& dir);
// "Software\Tesk\" + subkey; the versioned form appends "\" and the version
// given in hundredths (110 gives "1.10").
std::wstring company_key_path(const std::wstring& subkey);
std::wstring company_key_path_versioned(const std::wstring& subkey, uint32_t version);

// The shell folders this program asks for, by their Windows numbers.
enum : int {
    csidl_personal = 5,
    csidl_appdata = 26,
    csidl_local_appdata = 28,
    csidl_common_appdata = 35,
};
enum class known_folder { program_data, roaming_app_data, local_app_data, documents };

// The folder, or empty when there is none for the number.
std::wstring get_folder(int csidl);
std::wstring get_known_folder(known_folder id);
// folder + "Tesk/" + subdirectory + "/", created; empty when the folder
// cannot be found or created.
std::wstring get_company_folder(int csidl, const std::wstring& subdirectory);
std::wstring get_company_known_folder(known_folder id, const std::wstring& subdirectory);
// The common application data folder + "Tesk/" + subdirectory + "/".
std::wstring get_common_app_data_dir(const std::wstring& subdirectory);
std::wstring get_system_dir();
std::wstring get_windows_dir();
std::wstring get_temp_dir();

// A new empty file "tmpXXXXXX" in the directory; its path, or empty.
std::wstring create_temp_file(const std::wstring& dir);
std::wstring create_temp_file_in_temp_dir();
// Opens prefix + random base-36 number + ".tmp" through the object's open with
// the extra flags plus create-new, delete-on-close and temporary; up to 10000
// names are tried while they exist.
bool create_unique_temp_file(file_hnd& file, const std::wstring& prefix, uint32_t flags,
                             std::wstring& name);

bool file_exists(const std::wstring& path);
bool clear_read_only(const std::wstring& path);
bool wait_file_writable(const std::wstring& path, uint32_t timeout_ms);
bool create_dir_tree(const std::wstring& path);
// The path with everything below it; a symbolic link is removed, never followed.
bool delete_tree(const std::wstring& path);
bool remove_file(const std::wstring& path);
// Atomic; an existing target is not replaced.
bool rename_file(const std::wstring& from, const std::wstring& to);
bool file_local_write_time(const std::wstring& path, win32::systemtime& local);

// Trustees and access modes of an access entry, mapped onto the owner, group
// and other permission bits.
enum class acl_trustee { owner, group, everyone };
enum : uint32_t {
    generic_all = 0x10000000,
    generic_execute = 0x20000000,
    generic_write = 0x40000000,
    generic_read = 0x80000000,
};
enum : uint32_t { grant_access = 1, set_access = 2, deny_access = 3, revoke_access = 4 };
bool set_file_acl(const std::wstring& path, acl_trustee trustee, uint32_t access_mask,
                  uint32_t access_mode, uint32_t inheritance);
bool set_file_acl(file_handle fd, acl_trustee trustee, uint32_t access_mask, uint32_t access_mode,
                  uint32_t inheritance);

// One directory entry, as a directory walk hands it out.
struct find_data {
    uint32_t attributes = 0;
    win32::filetime creation_time = 0;
    win32::filetime last_access_time = 0;
    win32::filetime last_write_time = 0;
    uint64_t size = 0;
    std::wstring file_name;
};
// (directory with "/", entry) -> for a file: false stops the walk; for a
// directory: true walks it later with the same name pattern.
using enum_callback = std::function<bool(const std::wstring& dir, const find_data& entry)>;
// pattern: "dir/*.ext" ("*.*" takes every name). Entries come in name order;
// the subdirectories asked for are walked after the directory's own entries,
// in order. False when the walk was stopped.
bool enum_files(const std::wstring& pattern, const enum_callback& callback);

} // namespace cl
