// Socket calls for the paths that run for every request. No thread of this
// program is ever cancelled (work ends cooperatively), so these are made as
// plain system calls: the C library's wrappers are cancellation points and
// pay two atomic operations around each call for it.
#pragma once
#include <cstddef>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace win32 {

inline ssize_t send_plain(int fd, const void* data, std::size_t size, int flags) {
    return ::syscall(SYS_sendto, fd, data, size, flags, nullptr, 0);
}

inline ssize_t recv_plain(int fd, void* data, std::size_t size, int flags) {
    return ::syscall(SYS_recvfrom, fd, data, size, flags, nullptr, nullptr);
}

inline ssize_t recvmsg_plain(int fd, msghdr* message, int flags) {
    return ::syscall(SYS_recvmsg, fd, message, flags);
}

} // namespace win32
