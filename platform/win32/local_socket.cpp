#include "platform/win32/local_socket.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace win32 {

local_address::~local_address() {
    if (dir_fd_ >= 0) ::close(dir_fd_);
}

bool local_address::set(const std::string& path) {
    std::memset(&a_, 0, sizeof a_);
    a_.sun_family = AF_UNIX;
    if (path.empty()) return false;
    std::string name = path;
    if (path.size() >= sizeof a_.sun_path) {
        const auto slash = path.rfind('/');
        if (slash == std::string::npos) return false;
        const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
        if (dir_fd_ >= 0) ::close(dir_fd_);
        dir_fd_ = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd_ < 0) return false;
        name = "/proc/self/fd/" + std::to_string(dir_fd_) + "/" + path.substr(slash + 1);
        if (name.size() >= sizeof a_.sun_path) return false;
    }
    std::memcpy(a_.sun_path, name.data(), name.size());
    return true;
}

bool set_named_event(const std::string& path) {
    local_address a;
    if (!a.set(path)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool sent = ::sendto(fd, "1", 1, MSG_DONTWAIT, a.get(), a.size()) == 1;
    ::close(fd);
    return sent;
}

} // namespace win32
