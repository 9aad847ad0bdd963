// The local door to the configuration commands: a Unix stream socket in the
// program-data directory, readable and writable by the server's own account
// only (mode 0600; root passes as always). A client writes one command line
// and shuts its sending side; the server answers with the result text and
// closes. The caller is named by the socket's peer credentials.
#pragma once
#include <functional>
#include <string>
#include <thread>

namespace scripting {

// "config_cmd.sock" in the program-data directory (which ends in "/").
std::string config_socket_path(const std::wstring& data_dir);

class config_command_listener {
  public:
    // Runs one command line (UTF-8 decoded) for the named caller.
    using handler =
        std::function<std::wstring(const std::wstring& line, const std::wstring& caller)>;

    config_command_listener() = default;
    ~config_command_listener();
    config_command_listener(const config_command_listener&) = delete;
    config_command_listener& operator=(const config_command_listener&) = delete;

    // Binds the socket (replacing a stale one left by an earlier run) and
    // starts serving; false, traced, when it cannot.
    bool start(const std::string& path, handler run);
    // Stops serving and removes the socket; returns when the thread has ended.
    void stop();
    bool running() const { return thread_.joinable(); }

  private:
    void serve();
    void answer(int fd);

    handler run_;
    std::string path_;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

// Sends a command line and reads the answer. False with the reason in error
// when the server cannot be reached or the exchange breaks off.
bool send_config_command(const std::string& path, const std::string& line, std::string& result,
                         std::string& error);

} // namespace scripting
