// A registry of keys and typed values kept in files, offering the calls the
// class library makes on the Windows registry with the same error numbers:
// 2 for a missing key or value, 5 for access refused, 6 for a bad handle,
// 234 when the caller's buffer is too small, 259 at the end of an enumeration.
//
// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER are one file each in the data
// directory; HKEY_CLASSES_ROOT is the "Software\Classes" key of the machine
// root, as the merged view shows it to a program that runs with full rights.
// Key and value names compare without regard to case and keep the case they
// were created with. Every change is written through to the file before the
// call returns; a failed write leaves the file and the keys as they were.
#pragma once
#include <cstdint>
#include <string>

namespace registry {

// A key handle. The three roots are fixed values; opened keys get others.
using hkey = std::intptr_t;
inline constexpr hkey hkey_classes_root = 0x80000000;
inline constexpr hkey hkey_current_user = 0x80000001;
inline constexpr hkey hkey_local_machine = 0x80000002;

// Value types.
inline constexpr uint32_t reg_none = 0;
inline constexpr uint32_t reg_sz = 1;
inline constexpr uint32_t reg_expand_sz = 2;
inline constexpr uint32_t reg_binary = 3;
inline constexpr uint32_t reg_dword = 4;
inline constexpr uint32_t reg_multi_sz = 7;
inline constexpr uint32_t reg_qword = 11;

// Access rights of an opened key.
inline constexpr uint32_t key_query_value = 0x0001;
inline constexpr uint32_t key_set_value = 0x0002;
inline constexpr uint32_t key_create_sub_key = 0x0004;
inline constexpr uint32_t key_enumerate_sub_keys = 0x0008;
inline constexpr uint32_t key_notify = 0x0010;
inline constexpr uint32_t key_read = 0x20019;
inline constexpr uint32_t key_write = 0x20006;
inline constexpr uint32_t key_all_access = 0xF003F;

// Options of reg_create_key (volatile keys are kept like the others).
inline constexpr uint32_t reg_option_non_volatile = 0;

// Dispositions reported by reg_create_key.
inline constexpr uint32_t reg_created_new_key = 1;
inline constexpr uint32_t reg_opened_existing_key = 2;

// Errors of this layer beyond the shared table.
inline constexpr uint32_t error_bad_pathname = 161;
inline constexpr uint32_t error_baddb = 1009;
inline constexpr uint32_t error_key_deleted = 1018;

// Limits: a key name, a value name, the nesting of keys, one value's data and
// a whole root file. Larger input is refused rather than held in memory.
inline constexpr std::size_t max_key_name = 255;
inline constexpr std::size_t max_value_name = 16383;
inline constexpr std::size_t max_depth = 512;
inline constexpr std::size_t max_value_size = 4u << 20;
inline constexpr std::size_t max_file_size = 64u << 20;

// The folder that holds the root files. Until set it is the program-data
// directory; setting it forgets what was read from the old folder (open
// handles stay valid and refer to the same paths in the new files).
void set_data_directory(const std::string& dir);
std::string data_directory();

// The file that holds a root ("" for a handle that is not a root).
std::string root_file(hkey root);

// Opens root\subkey (an empty subkey opens the key itself again).
uint32_t reg_open_key(hkey key, const std::wstring& subkey, uint32_t access, hkey* result);

// Opens root\subkey, creating it and the keys above it where missing.
uint32_t reg_create_key(hkey key, const std::wstring& subkey, uint32_t options, uint32_t access,
                        hkey* result, uint32_t* disposition);

uint32_t reg_close_key(hkey key);

// Reads a value. With data null only the type and size are reported. When
// *size is too small for the data: 234 and *size holds the size needed.
uint32_t reg_query_value(hkey key, const std::wstring& name, uint32_t* type, void* data,
                         uint32_t* size);

uint32_t reg_set_value(hkey key, const std::wstring& name, uint32_t type, const void* data,
                       uint32_t size);

uint32_t reg_delete_value(hkey key, const std::wstring& name);

// Deletes one key; a key that still has subkeys is refused with 5.
uint32_t reg_delete_key(hkey key, const std::wstring& subkey);

// Deletes the subkey with everything below it; an empty subkey deletes
// everything below the key and its values, keeping the key itself.
uint32_t reg_delete_tree(hkey key, const std::wstring& subkey);

// Counts and longest names (in characters, without the terminating NUL).
struct key_info {
    uint32_t subkeys = 0;
    uint32_t max_subkey_len = 0;
    uint32_t values = 0;
    uint32_t max_value_name_len = 0;
    uint32_t max_value_len = 0;
};
uint32_t reg_query_info_key(hkey key, key_info* info);

// The index-th subkey in name order. *name_len is the buffer's room in
// characters; on success it holds the name's length without the NUL, on 234
// the room needed with it. 259 past the last subkey.
uint32_t reg_enum_key(hkey key, uint32_t index, wchar_t* name, uint32_t* name_len);

// The index-th value in order of creation; buffers as for reg_enum_key and
// reg_query_value (either data pointer may be null).
uint32_t reg_enum_value(hkey key, uint32_t index, wchar_t* name, uint32_t* name_len, uint32_t* type,
                        void* data, uint32_t* size);

} // namespace registry
