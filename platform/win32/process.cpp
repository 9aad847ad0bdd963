// The child is made with clone(CLONE_VM | CLONE_VFORK): it borrows the
// server's memory until it runs its program, so starting it costs no copy of
// the server's page tables. Until then it runs on a stack of its own, calls
// nothing but raw system calls (no allocation, no lock, no libc state shared
// with the server's threads) and reports a failure through the memory it
// shares with its parent.
#include "platform/win32/process.h"

#include "platform/win32/errors.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif

extern char** environ;

namespace win32 {

namespace {

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct child_args {
    const char* program;
    int program_fd;
    int script_fd;
    char* const* argv;
    char* const* envp;
    const char* cwd;
    int in_fd;
    int out_fd;
    int nice;
    bool set_ids;
    uid_t uid;
    gid_t gid;
    const gid_t* groups;
    std::size_t group_count;
    int max_fd;
    volatile int error; // the errno of the step that failed
};

// The kernel's sigaction record (the C library's differs in layout).
struct kernel_sigaction {
    void* handler;
    unsigned long flags;
    void* restorer;
    uint64_t mask;
};

__attribute__((no_sanitize_address, no_sanitize_undefined, noinline)) int child_main(void* p) {
    child_args* a = static_cast<child_args*>(p);
    const int keep = a->program_fd >= 0 ? a->program_fd : a->script_fd;
    const unsigned first_closed = keep >= 0 ? 4u : 3u;
    // Every signal back to its default (the server ignores SIGPIPE, which a
    // program would otherwise inherit), then none blocked.
    kernel_sigaction dfl{nullptr, 0, nullptr, 0};
    for (long sig = 1; sig < 65; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) syscall(SYS_rt_sigaction, sig, &dfl, nullptr, 8);
    uint64_t none = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, 8);
    // A group of its own, so a time-out or the server's stop ends the
    // program together with whatever it started.
    syscall(SYS_setpgid, 0, 0);
    long rc = 0;
    if (a->set_ids) {
        // Groups and group id before the user id: once that is dropped the
        // others can no longer be changed.
        rc = syscall(SYS_setgroups, a->group_count, a->groups);
        if (rc == 0) rc = syscall(SYS_setresgid, a->gid, a->gid, a->gid);
        if (rc == 0) rc = syscall(SYS_setresuid, a->uid, a->uid, a->uid);
        if (rc != 0) goto failed;
    }
    // Raising the priority needs a privilege the server may lack; the child
    // then simply runs at the server's.
    syscall(SYS_setpriority, PRIO_PROCESS, 0, a->nice);
    if (a->cwd && a->cwd[0] && syscall(SYS_chdir, a->cwd) != 0) goto failed;
    if (syscall(SYS_dup3, a->in_fd, 0, 0) < 0) goto failed;
    if (syscall(SYS_dup3, a->out_fd, 1, 0) < 0) goto failed;
    if (syscall(SYS_dup3, a->out_fd, 2, 0) < 0) goto failed;
    // The one descriptor kept goes to 3: a script stays open across the
    // program's start, a program to run is closed by it.
    if (keep >= 0) {
        const long cloexec = a->program_fd >= 0 ? FD_CLOEXEC : 0;
        if (keep == 3) {
            if (syscall(SYS_fcntl, 3, F_SETFD, cloexec) != 0) goto failed;
        } else if (syscall(SYS_dup3, keep, 3, cloexec ? O_CLOEXEC : 0) < 0) {
            goto failed;
        }
    }
    if (syscall(SYS_close_range, first_closed, ~0u, 0u) != 0) {
        for (int fd = static_cast<int>(first_closed); fd < a->max_fd; ++fd)
            syscall(SYS_close, fd);
    }
    if (a->program_fd >= 0)
        syscall(SYS_execveat, 3, "", a->argv, a->envp, AT_EMPTY_PATH);
    else
        syscall(SYS_execve, a->program, a->argv, a->envp);
failed:
    a->error = errno ? errno : EINVAL;
    syscall(SYS_exit, 127);
    return 127;
}

// Moves a descriptor to 3 or above (close-on-exec), so the child's dup3 onto
// 0, 1 and 2 can never overwrite one of its own sources.
int above_standard(int fd) {
    if (fd >= 3) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

class watcher {
  public:
    watcher() {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = wake_;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
        std::thread([this] { loop(); }).detach();
    }

    bool add(const std::shared_ptr<child_process>& child) {
        std::lock_guard<std::mutex> hold(lock_);
        if (stopping_) return false;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = child->pidfd();
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, child->pidfd(), &ev) != 0) return false;
        children_[child->pidfd()] = child;
        return true;
    }

    void wake() {
        const uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
    }

    std::size_t count() {
        std::lock_guard<std::mutex> hold(lock_);
        return children_.size();
    }

    void stop_all(int ms) {
        std::vector<std::shared_ptr<child_process>> all;
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
            for (auto& [fd, c] : children_)
                all.push_back(c);
        }
        for (auto& c : all)
            c->kill_group();
        const int64_t end = now_ms() + ms;
        for (auto& c : all)
            c->wait_exit(static_cast<int>(std::max<int64_t>(0, end - now_ms())));
    }

    void allow() {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = false;
    }

  private:
    void loop() {
        epoll_event events[32];
        for (;;) {
            int64_t next = 0;
            std::vector<std::shared_ptr<child_process>> due;
            {
                std::lock_guard<std::mutex> hold(lock_);
                const int64_t now = now_ms();
                for (auto& [fd, c] : children_) {
                    const int64_t d = c->deadline();
                    if (d == 0) continue;
                    if (d <= now)
                        due.push_back(c);
                    else if (next == 0 || d < next)
                        next = d;
                }
            }
            for (auto& c : due) {
                c->mark_timed_out();
                c->kill_group();
            }
            if (!due.empty()) continue;
            const int timeout =
                next == 0 ? -1 : static_cast<int>(std::max<int64_t>(1, next - now_ms()));
            const int n = ::epoll_wait(epoll_, events, 32, timeout);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == wake_) {
                    uint64_t v;
                    while (::read(wake_, &v, sizeof v) > 0) {
                    }
                    continue;
                }
                reap(fd);
            }
        }
    }

    void reap(int fd) {
        std::shared_ptr<child_process> c;
        {
            std::lock_guard<std::mutex> hold(lock_);
            auto it = children_.find(fd);
            if (it == children_.end()) return;
            c = it->second;
        }
        int status = 0;
        const pid_t r = ::waitpid(c->pid(), &status, WNOHANG);
        if (r == 0) return; // not yet
        {
            std::lock_guard<std::mutex> hold(lock_);
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            children_.erase(fd);
        }
        c->mark_exited(r == c->pid() ? status : 0);
        ::close(fd);
    }

    int epoll_ = -1;
    int wake_ = -1;
    std::mutex lock_;
    bool stopping_ = false;
    std::map<int, std::shared_ptr<child_process>> children_;
};

// Made on first use and kept for the life of the process: its thread waits
// in the kernel and costs nothing while no child runs.
watcher& the_watcher() {
    static watcher* w = new watcher();
    return *w;
}

int highest_fd() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return 65536;
    return static_cast<int>(std::min<rlim_t>(r.rlim_cur, 1 << 20));
}

} // namespace

bool child_process::wait_exit(int ms) {
    std::unique_lock<std::mutex> hold(lock_);
    if (ms < 0) {
        cv_.wait(hold, [this] { return exited_; });
        return true;
    }
    return cv_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return exited_; });
}

bool child_process::exited() {
    std::lock_guard<std::mutex> hold(lock_);
    return exited_;
}

int child_process::exit_code() {
    std::lock_guard<std::mutex> hold(lock_);
    if (WIFEXITED(wait_status_)) return WEXITSTATUS(wait_status_);
    if (WIFSIGNALED(wait_status_)) return 128 + WTERMSIG(wait_status_);
    return 0;
}

void child_process::kill_group() {
    std::lock_guard<std::mutex> hold(lock_);
    if (exited_) return;
    // The pid cannot have been reused: the child is not reaped while this
    // lock is held and its pidfd is open.
    ::kill(-pid_, SIGKILL);
    ::syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
}

void child_process::set_deadline_in(int64_t ms) {
    deadline_.store(ms <= 0 ? 0 : now_ms() + ms);
    the_watcher().wake();
}

void child_process::mark_exited(int wait_status) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        exited_ = true;
        wait_status_ = wait_status;
    }
    cv_.notify_all();
}

std::string find_program(const std::string& name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return name;
    const char* path = ::getenv("PATH");
    std::string list = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t pos = 0;
    while (pos <= list.size()) {
        std::size_t colon = list.find(':', pos);
        if (colon == std::string::npos) colon = list.size();
        std::string dir = list.substr(pos, colon - pos);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        pos = colon + 1;
    }
    return {};
}

uint32_t spawn_process(const spawn_spec& spec, std::shared_ptr<child_process>& out) {
    const std::string program = spec.program_fd >= 0 ? spec.program : find_program(spec.program);
    if (program.empty()) return error_file_not_found;
    // Both would need descriptor 3; and the standard ones would be
    // overwritten before being kept.
    if ((spec.program_fd >= 0 && spec.script_fd >= 0) ||
        (spec.program_fd >= 0 && spec.program_fd < 3) ||
        (spec.script_fd >= 0 && spec.script_fd < 3))
        return error_invalid_parameter;

    std::vector<char*> argv;
    for (const std::string& s : spec.argv)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& s : spec.env)
        envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);

    child_args a{};
    a.program = program.c_str();
    a.program_fd = spec.program_fd;
    a.script_fd = spec.script_fd;
    a.argv = argv.data();
    a.envp = envp.data();
    a.cwd = spec.cwd.c_str();
    a.in_fd = spec.stdin_fd;
    a.out_fd = spec.stdout_fd;
    a.nice = spec.nice;
    a.set_ids = spec.identity.change;
    a.uid = spec.identity.uid;
    a.gid = spec.identity.gid;
    a.groups = spec.identity.groups.data();
    a.group_count = spec.identity.groups.size();
    a.max_fd = highest_fd();
    a.error = 0;

    constexpr std::size_t stack_size = 64 * 1024;
    void* stack = ::mmap(nullptr, stack_size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return error_not_enough_memory;

    // No signal may reach the child while it still runs on borrowed memory
    // with the server's handlers; it clears them itself before it unblocks.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int pidfd = -1;
    const pid_t pid = ::clone(child_main, static_cast<char*>(stack) + stack_size,
                              CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, &a, &pidfd);
    const int clone_errno = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::munmap(stack, stack_size);

    if (pid < 0) return from_errno(clone_errno);
    if (a.error != 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (pidfd >= 0) ::close(pidfd);
        return from_errno(a.error);
    }
    auto child = std::make_shared<child_process>(pid, pidfd);
    if (!the_watcher().add(child)) {
        // The server is stopping: the program goes at once.
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(pidfd);
        return error_operation_aborted;
    }
    out = std::move(child);
    return 0;
}

std::size_t running_children() {
    return the_watcher().count();
}

void stop_all_children(int ms) {
    the_watcher().stop_all(ms);
}

void allow_children() {
    the_watcher().allow();
}

int move_above_standard(int fd) {
    return above_standard(fd);
}

} // namespace win32
