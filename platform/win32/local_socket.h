// Local (Unix-domain) socket addresses for any path, and the named event that
// lives at such an address.
//
// A socket address holds at most 107 bytes of path, while a program-data
// directory can be deeper than that: a longer path is reached through the
// directory's descriptor ("/proc/self/fd/<n>/<name>"), which names the same
// file, so every copy that computes the path finds the same socket.
#pragma once
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

namespace win32 {

class local_address {
  public:
    local_address() = default;
    ~local_address();
    local_address(const local_address&) = delete;
    local_address& operator=(const local_address&) = delete;

    // False when the path is empty or its folder cannot be opened.
    bool set(const std::string& path);
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&a_); }
    socklen_t size() const { return sizeof a_; }

  private:
    sockaddr_un a_{};
    int dir_fd_ = -1;
};

// A named event that crosses processes: whoever waits for it binds a
// datagram socket at the path; setting it sends one datagram there, which
// stays queued until the waiter reads it. False when nobody has made it.
bool set_named_event(const std::string& path);

} // namespace win32
