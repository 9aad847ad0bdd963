// Windows error numbers are this program's error vocabulary: callers trace,
// return and compare them, so every failure of a POSIX call is mapped onto
// one of them here.
#pragma once
#include <cstdint>

namespace win32 {

enum error_code : uint32_t {
    error_success = 0,
    error_invalid_function = 1,
    error_file_not_found = 2,
    error_path_not_found = 3,
    error_too_many_open_files = 4,
    error_access_denied = 5,
    error_invalid_handle = 6,
    error_not_enough_memory = 8,
    error_bad_format = 11,
    error_invalid_data = 13,
    error_outofmemory = 14,
    error_no_more_files = 18,
    error_write_protect = 19,
    error_not_ready = 21,
    error_write_fault = 29,
    error_read_fault = 30,
    error_gen_failure = 31,
    error_sharing_violation = 32,
    error_lock_violation = 33,
    error_handle_eof = 38,
    error_handle_disk_full = 39,
    error_not_supported = 50,
    error_netname_deleted = 64,
    error_file_exists = 80,
    error_invalid_parameter = 87,
    error_broken_pipe = 109,
    error_open_failed = 110,
    error_buffer_overflow = 111,
    error_disk_full = 112,
    error_call_not_implemented = 120,
    error_insufficient_buffer = 122,
    error_invalid_name = 123,
    error_mod_not_found = 126,
    error_proc_not_found = 127,
    error_negative_seek = 131,
    error_dir_not_empty = 145,
    error_busy = 170,
    error_already_exists = 183,
    error_filename_exced_range = 206,
    error_no_data = 232,
    error_more_data = 234,
    error_wait_timeout = 258,
    error_no_more_items = 259,
    error_directory = 267,
    error_not_owner = 288,
    error_operation_aborted = 995,
    error_io_incomplete = 996,
    error_io_pending = 997,
    error_noaccess = 998,
    error_invalid_flags = 1004,
    error_service_does_not_exist = 1060,
    error_not_found = 1168,
    error_cancelled = 1223,
    error_connection_refused = 1225,
    error_connection_aborted = 1236,
    error_retry = 1237,
    error_logon_failure = 1326,
    error_privilege_not_held = 1314,
    error_timeout = 1460,
    error_invalid_data_type = 1630,
};

// The Windows error number for a POSIX errno value.
uint32_t from_errno(int err);

// The calling thread's last error, as GetLastError/SetLastError keep it.
uint32_t get_last_error();
void set_last_error(uint32_t code);

// Maps errno onto the thread's last error and returns it; for the "%? failed: %?"
// trace after a failed POSIX call.
uint32_t set_last_error_from_errno();

// A short English name of a code, for traces and tests ("ERROR_FILE_NOT_FOUND");
// empty for a code not in the table.
const char* error_name(uint32_t code);

} // namespace win32
