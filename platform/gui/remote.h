// Reaching a window of another process: the running copy listens on a Unix
// socket in its program-data directory, and another copy posts a message to
// one of its windows by class name, as PostMessage to a window found with
// FindWindow would. The socket is private to the user (mode 0600).
#pragma once
#include "platform/gui/gui.h"

#include <atomic>
#include <string>
#include <thread>

namespace gui {

class remote_endpoint {
  public:
    remote_endpoint() = default;
    ~remote_endpoint();
    remote_endpoint(const remote_endpoint&) = delete;
    remote_endpoint& operator=(const remote_endpoint&) = delete;

    // Listens at the path, however long; a socket left behind by a copy
    // that died is replaced. False when another process listens there or
    // the socket cannot be made.
    bool open(const std::string& socket_path);
    // Stops listening and removes the socket file.
    void close();
    bool is_open() const { return fd_ >= 0; }

  private:
    void serve();
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::string path_;
    std::thread thread_;
};

enum class remote_result { posted, no_window, no_listener };

// Posts the message to the first window of the class in the process that
// listens at the path.
remote_result remote_post(const std::string& socket_path, const std::wstring& class_name,
                          uint32_t message, wparam wp, lparam lp);

} // namespace gui
