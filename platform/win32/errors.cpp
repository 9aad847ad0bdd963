#include "platform/win32/errors.h"

#include <cerrno>

namespace win32 {

namespace {
thread_local uint32_t last_error_ = 0;
}

uint32_t from_errno(int err) {
    switch (err) {
    case 0:
        return error_success;
    case ENOENT:
        return error_file_not_found;
    case ENOTDIR:
        return error_path_not_found;
    case EACCES:
    case EPERM:
    case EROFS:
        return error_access_denied;
    case EEXIST:
        return error_already_exists;
    case ENOTEMPTY:
        return error_dir_not_empty;
    case EISDIR:
        return error_directory;
    case EBADF:
        return error_invalid_handle;
    case EMFILE:
    case ENFILE:
        return error_too_many_open_files;
    case ENOMEM:
        return error_not_enough_memory;
    case ENOSPC:
    case EDQUOT:
        return error_disk_full;
    case EINVAL:
        return error_invalid_parameter;
    case ENAMETOOLONG:
        return error_filename_exced_range;
    case EBUSY:
    case ETXTBSY:
        return error_sharing_violation;
    case EWOULDBLOCK:
        return error_lock_violation;
    case EPIPE:
        return error_broken_pipe;
    case EIO:
        return error_gen_failure;
    case ENOSYS:
        return error_call_not_implemented;
    case EOPNOTSUPP:
        return error_not_supported;
    case ETIMEDOUT:
        return error_timeout;
    case ECANCELED:
        return error_operation_aborted;
    case ECONNREFUSED:
        return error_connection_refused;
    case ECONNRESET:
    case ECONNABORTED:
        return error_connection_aborted;
    case ENETRESET:
    case ENOTCONN:
        return error_netname_deleted;
    case ELOOP:
        return error_invalid_name;
    case EXDEV:
        return error_not_supported;
    case EFBIG:
        return error_disk_full;
    case ESPIPE:
        return error_negative_seek;
    case ENOEXEC:
        return error_bad_format;
    default:
        return error_gen_failure;
    }
}

uint32_t get_last_error() {
    return last_error_;
}
void set_last_error(uint32_t code) {
    last_error_ = code;
}

uint32_t set_last_error_from_errno() {
    last_error_ = from_errno(errno);
    return last_error_;
}

const char* error_name(uint32_t code) {
    switch (code) {
    case error_success:
        return "ERROR_SUCCESS";
    case error_file_not_found:
        return "ERROR_FILE_NOT_FOUND";
    case error_path_not_found:
        return "ERROR_PATH_NOT_FOUND";
    case error_access_denied:
        return "ERROR_ACCESS_DENIED";
    case error_invalid_handle:
        return "ERROR_INVALID_HANDLE";
    case error_sharing_violation:
        return "ERROR_SHARING_VIOLATION";
    case error_handle_eof:
        return "ERROR_HANDLE_EOF";
    case error_file_exists:
        return "ERROR_FILE_EXISTS";
    case error_invalid_parameter:
        return "ERROR_INVALID_PARAMETER";
    case error_already_exists:
        return "ERROR_ALREADY_EXISTS";
    case error_more_data:
        return "ERROR_MORE_DATA";
    case error_operation_aborted:
        return "ERROR_OPERATION_ABORTED";
    case error_disk_full:
        return "ERROR_DISK_FULL";
    case error_dir_not_empty:
        return "ERROR_DIR_NOT_EMPTY";
    case error_timeout:
        return "ERROR_TIMEOUT";
    default:
        return "";
    }
}

} // namespace win32
