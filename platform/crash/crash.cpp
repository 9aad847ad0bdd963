#include "platform/crash/crash.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace crash {

namespace {

constexpr int crash_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};

// Everything the handler reads lives in fixed storage: no allocation, no
// locks. The settings are swapped whole through an index.
struct fixed_settings {
    char dump_path[4096];
    int notify_fd;
    void (*callback)(void*);
    void* callback_arg;
};
fixed_settings slots[2];
std::atomic<int> current{-1};

struct block_slot {
    std::atomic<const void*> address{nullptr};
    std::atomic<std::size_t> size{0};
};
block_slot blocks[max_blocks];

std::atomic<bool> handling{false};

// The main thread's alternate stack; other threads bring their own.
alignas(16) char main_alt_stack[64 * 1024];

// --- async-signal-safe output ---

struct writer {
    int fd;
    void raw(const void* p, std::size_t n) {
        const char* c = static_cast<const char*>(p);
        while (n > 0) {
            const ssize_t w = ::write(fd, c, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            c += w;
            n -= std::size_t(w);
        }
    }
    void text(const char* s) { raw(s, std::strlen(s)); }
    void dec(int64_t v) {
        char buf[24];
        int i = sizeof(buf);
        const bool neg = v < 0;
        uint64_t u = neg ? uint64_t(-(v + 1)) + 1 : uint64_t(v);
        do {
            buf[--i] = char('0' + u % 10);
            u /= 10;
        } while (u);
        if (neg) buf[--i] = '-';
        raw(buf + i, sizeof(buf) - std::size_t(i));
    }
    void hex(uint64_t v, int digits) {
        char buf[18] = {'0', 'x'};
        for (int i = digits - 1; i >= 0; --i) {
            buf[2 + i] = "0123456789abcdef"[v & 15];
            v >>= 4;
        }
        raw(buf, std::size_t(2 + digits));
    }
    // Memory that cannot be read is written as zeros, so the size given in
    // the header stays true.
    void memory(const void* p, std::size_t n) {
        static const char zeros[4096] = {};
        const char* c = static_cast<const char*>(p);
        while (n > 0) {
            const std::size_t part = n < 4096 ? n : 4096;
            ssize_t w = ::write(fd, c, part);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno == EFAULT) w = ::write(fd, zeros, part);
            if (w <= 0) return;
            c += w;
            n -= std::size_t(w);
        }
    }
};

uint64_t pc_of(void* context) {
    const auto* uc = static_cast<const ucontext_t*>(context);
    if (!uc) return 0;
#if defined(__x86_64__)
    return uint64_t(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return uint64_t(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return uint64_t(uc->uc_mcontext.pc);
#else
    return 0;
#endif
}

void write_dump(const fixed_settings& s, int sig, siginfo_t* info, void* context) {
    const int fd = ::open(s.dump_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    writer w{fd};
    const int code = info ? info->si_code : 0;
    w.text("TQDUMP 1\nsignal ");
    w.dec(sig);
    w.text("\ncode ");
    w.dec(code);
    w.text("\nexception ");
    w.hex(exception_code_of(sig, code), 8);
    // A crash signal cannot be continued from.
    w.text("\nflags 1\naddress ");
    w.hex(info ? uint64_t(reinterpret_cast<uintptr_t>(info->si_addr)) : 0, 16);
    w.text("\npc ");
    w.hex(pc_of(context), 16);
    w.text("\npid ");
    w.dec(::getpid());
    w.text("\ntid ");
    w.dec(int64_t(::syscall(SYS_gettid)));
    w.text("\n");
    for (const block_slot& b : blocks) {
        const void* a = b.address.load(std::memory_order_acquire);
        const std::size_t n = b.size.load(std::memory_order_acquire);
        if (!a || !n) continue;
        w.text("block ");
        w.hex(uint64_t(reinterpret_cast<uintptr_t>(a)), 16);
        w.text(" ");
        w.dec(int64_t(n));
        w.text("\n");
        w.memory(a, n);
        w.text("\n");
    }
    w.text("maps\n");
    const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps >= 0) {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(maps, buf, sizeof(buf));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            w.raw(buf, std::size_t(n));
        }
        ::close(maps);
    }
    ::fsync(fd);
    ::close(fd);
}

void handler(int sig, siginfo_t* info, void* context) {
    // A crash inside the handler, or on a second thread at the same time,
    // ends the process at once.
    if (handling.exchange(true)) {
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    const int i = current.load(std::memory_order_acquire);
    if (i >= 0) {
        const fixed_settings& s = slots[i];
        if (s.callback) s.callback(s.callback_arg);
        write_dump(s, sig, info, context);
        if (s.notify_fd >= 0) {
            const char c = 'C';
            while (::write(s.notify_fd, &c, 1) < 0 && errno == EINTR) {
            }
        }
    }
    // The default action ends the process as the crash would have: a fault
    // repeats on return, a raised signal is raised again.
    ::signal(sig, SIG_DFL);
    if (info && info->si_code <= 0) ::raise(sig);
}

} // namespace

uint32_t exception_code_of(int signal, int code) {
    switch (signal) {
    case SIGSEGV:
        return 0xC0000005;
    case SIGBUS:
        return code == BUS_ADRALN ? 0x80000002 : 0xC0000006;
    case SIGFPE:
        switch (code) {
        case FPE_INTDIV:
            return 0xC0000094;
        case FPE_INTOVF:
            return 0xC0000095;
        case FPE_FLTDIV:
            return 0xC000008E;
        case FPE_FLTOVF:
            return 0xC0000091;
        case FPE_FLTUND:
            return 0xC0000093;
        case FPE_FLTRES:
            return 0xC000008F;
        default:
            return 0xC0000090;
        }
    case SIGILL:
        return code == ILL_PRVOPC ? 0xC0000096 : 0xC000001D;
    case SIGTRAP:
        return 0x80000003;
    case SIGABRT:
        return 0x40000015; // the fatal application exit of abort()
    default:
        return 0xC0000025;
    }
}

bool add_alternate_stack() {
    static thread_local char* stack = nullptr;
    if (stack) return true;
    constexpr std::size_t size = 64 * 1024;
    // Kept for the thread's whole life; a thread ends rarely in this program.
    static thread_local std::unique_ptr<char[]> owned;
    owned = std::make_unique<char[]>(size);
    stack = owned.get();
    stack_t ss{};
    ss.ss_sp = stack;
    ss.ss_size = size;
    return ::sigaltstack(&ss, nullptr) == 0;
}

bool install(const settings& s) {
    const int next = current.load() == 0 ? 1 : 0;
    fixed_settings& f = slots[next];
    if (s.dump_path.size() >= sizeof(f.dump_path)) return false;
    std::memcpy(f.dump_path, s.dump_path.c_str(), s.dump_path.size() + 1);
    f.notify_fd = s.notify_fd;
    f.callback = s.callback;
    f.callback_arg = s.callback_arg;
    current.store(next, std::memory_order_release);

    // The handlers and the main alternate stack are set up once, by the
    // first call; later calls from any thread only swap the settings.
    static bool handlers_installed = false;
    if (handlers_installed) return true;
    stack_t ss{};
    ss.ss_sp = main_alt_stack;
    ss.ss_size = sizeof(main_alt_stack);
    if (::sigaltstack(&ss, nullptr) != 0) return false;
    struct sigaction sa {};
    sa.sa_sigaction = &handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (const int sig : crash_signals)
        if (::sigaction(sig, &sa, nullptr) != 0) return false;
    handlers_installed = true;
    return true;
}

bool add_block(const void* address, std::size_t size) {
    if (!address || !size) return false;
    for (block_slot& b : blocks)
        if (b.address.load() == address) {
            b.size.store(size, std::memory_order_release);
            return true;
        }
    for (block_slot& b : blocks) {
        const void* expected = nullptr;
        // The size goes in before the address makes the slot visible.
        if (b.address.load() == nullptr) {
            b.size.store(size, std::memory_order_release);
            if (b.address.compare_exchange_strong(expected, address)) return true;
        }
    }
    return false;
}

bool remove_block(const void* address) {
    for (block_slot& b : blocks) {
        const void* expected = address;
        if (address && b.address.compare_exchange_strong(expected, nullptr)) {
            b.size.store(0);
            return true;
        }
    }
    return false;
}

bool read_dump(const std::string& path, dump_info& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string data((std::istreambuf_iterator<char>(in)), {});
    std::size_t pos = 0;
    const auto line = [&](std::string& l) {
        const auto nl = data.find('\n', pos);
        if (nl == std::string::npos) return false;
        l = data.substr(pos, nl - pos);
        pos = nl + 1;
        return true;
    };
    std::string l;
    if (!line(l) || l != "TQDUMP 1") return false;
    out = dump_info();
    while (line(l)) {
        const auto sp = l.find(' ');
        const std::string key = l.substr(0, sp);
        const std::string value = sp == std::string::npos ? std::string() : l.substr(sp + 1);
        const uint64_t num = std::strtoull(value.c_str(), nullptr, 0);
        if (key == "signal")
            out.signal = int(num);
        else if (key == "code")
            out.code = int(std::strtol(value.c_str(), nullptr, 10));
        else if (key == "exception")
            out.exception = uint32_t(num);
        else if (key == "flags")
            out.flags = uint32_t(num);
        else if (key == "address")
            out.address = num;
        else if (key == "pc")
            out.pc = num;
        else if (key == "pid")
            out.pid = int64_t(num);
        else if (key == "tid")
            out.tid = int64_t(num);
        else if (key == "block") {
            dump_block b;
            char* end = nullptr;
            b.address = std::strtoull(value.c_str(), &end, 16);
            const std::size_t size = std::strtoull(end, nullptr, 10);
            if (pos + size + 1 > data.size()) return false;
            b.bytes = data.substr(pos, size);
            pos += size + 1;
            out.blocks.push_back(std::move(b));
        } else if (key == "maps") {
            out.maps = data.substr(pos);
            return true;
        } else {
            return false;
        }
    }
    return false;
}

bool module_of(const std::string& maps, uint64_t address, std::string& path, uint64_t& offset) {
    std::istringstream in(maps);
    std::string l;
    std::string found;
    while (std::getline(in, l)) {
        unsigned long long start = 0, end = 0, file_off = 0;
        char perms[8] = {};
        int name_at = 0;
        if (std::sscanf(l.c_str(), "%llx-%llx %7s %llx %*s %*s %n", &start, &end, perms, &file_off,
                        &name_at) < 4 ||
            name_at == 0)
            continue;
        if (address >= start && address < end && l[std::size_t(name_at)] == '/') {
            found = l.substr(std::size_t(name_at));
            break;
        }
    }
    if (found.empty()) return false;
    // The load base is the start of the module's first mapping.
    std::istringstream again(maps);
    while (std::getline(again, l)) {
        unsigned long long start = 0, end = 0, file_off = 0;
        char perms[8] = {};
        int name_at = 0;
        if (std::sscanf(l.c_str(), "%llx-%llx %7s %llx %*s %*s %n", &start, &end, perms, &file_off,
                        &name_at) < 4 ||
            name_at == 0)
            continue;
        if (l.substr(std::size_t(name_at)) == found) {
            path = found;
            offset = address - (start - file_off);
            return true;
        }
    }
    return false;
}

} // namespace crash
