// Child processes with pipes for standard input and output, as the CGI
// launcher needs them: an argument vector (never a shell), the child's
// standard input and output on the two pipe ends it is given, every other
// descriptor closed, its own process group, a nice value and, when asked,
// another user's ids. Children are watched by one thread that reaps them,
// ends the ones whose time is up and ends all of them on request.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace win32 {

// The ids a child takes before it runs its program.
struct child_identity {
    bool change = false; // false: the server's own ids
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

struct spawn_spec {
    std::string program; // the file to run (a path; a bare name is looked up in PATH)
    // When >= 0, the open file to run instead of `program` (which then only
    // names it): a file that was checked runs as it was checked, whatever
    // its name leads to by now.
    int program_fd = -1;
    // When >= 0, handed to the child as its descriptor 3, for an interpreter
    // that reads its script as "/dev/fd/3".
    int script_fd = -1;
    std::vector<std::string> argv; // argv[0] first
    std::vector<std::string> env;  // "NAME=value" entries
    std::string cwd;               // empty: the server's
    int stdin_fd = -1;             // the child's ends of the two pipes
    int stdout_fd = -1;            // standard output and standard error
    int nice = 0;
    child_identity identity;
};

// One running child. The watcher reaps it; waiters learn its exit status.
class child_process {
  public:
    child_process(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
    pid_t pid() const { return pid_; }
    int pidfd() const { return pidfd_; }
    // Waits up to ms (negative: without limit) for the child's end; true
    // when it has ended.
    bool wait_exit(int ms);
    bool exited();
    // The exit code, or 128 + the signal that ended it.
    int exit_code();
    bool timed_out() const { return timed_out_.load(); }
    // Ends the child's whole process group at once.
    void kill_group();
    // The watcher ends the group once this many ms have passed (0: no
    // deadline). Replaces an earlier deadline.
    void set_deadline_in(int64_t ms);

    // The watcher's side: the deadline (monotonic ms, 0 none), the mark of
    // a child ended for its time, and the reaped status.
    int64_t deadline() const { return deadline_.load(); }
    void mark_timed_out() {
        deadline_.store(0);
        timed_out_.store(true);
    }
    void mark_exited(int wait_status);

  private:
    pid_t pid_;
    int pidfd_;
    std::mutex lock_;
    std::condition_variable cv_;
    bool exited_ = false;
    int wait_status_ = 0;
    std::atomic<int64_t> deadline_{0}; // monotonic ms; 0 none
    std::atomic<bool> timed_out_{false};
};

// Starts the child; 0 and the child, else a Windows error code (the child
// never started, or it could not take the ids, the folder or the program).
uint32_t spawn_process(const spawn_spec& spec, std::shared_ptr<child_process>& out);

// Every child started and not yet reaped.
std::size_t running_children();
// Ends every child's process group, waits up to ms for them to be reaped and
// refuses new children until allow_children. Server stop calls it.
void stop_all_children(int ms = 5000);
void allow_children();

// The descriptor moved to 3 or above (close-on-exec); the old one is closed.
// The pipe ends handed to a child must not be 0, 1 or 2.
int move_above_standard(int fd);

// The full path of a program name: a name with "/" as it is, a bare name
// looked up in the PATH of the server's environment. Empty when not found.
std::string find_program(const std::string& name);

} // namespace win32
