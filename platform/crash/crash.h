// The crash catcher: handlers for the signals of a crash (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL, SIGTRAP, SIGABRT), run on an alternate stack, that write a
// dump file with async-signal-safe calls only (open, write, read, close) and
// then let the signal end the process as it would have without them.
//
// The dump is a small text header followed by the registered memory blocks
// and the process's map of loaded modules:
//   "TQDUMP 1\n", then lines "signal N", "code N", "exception 0xXXXXXXXX"
//   (the Windows exception code the signal stands for), "flags N",
//   "address 0x..." (the faulting data address), "pc 0x..." (the
//   instruction), "pid N", "tid N"; then per block "block 0xADDR SIZE\n" and
//   SIZE raw bytes and "\n" (zeros where the memory could not be read);
//   then "maps\n" and the text of /proc/self/maps to the end of the file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace crash {

struct settings {
    std::string dump_path; // the dump file, made anew at each crash
    int notify_fd = -1;    // one byte 'C' is written here once the dump is complete
    // Called first on a crash, on the crashing thread in the signal handler:
    // it may only do what a signal handler may.
    void (*callback)(void* arg) = nullptr;
    void* callback_arg = nullptr;
};

// Installs the handlers and gives the calling thread its alternate stack;
// call it first on the main thread. Later calls only replace the settings.
bool install(const settings& s);
// Gives another thread an alternate stack of its own (for stack overflows).
bool add_alternate_stack();

// The memory blocks written into the dump; a fixed table read without locks
// by the handler. add fails when it is full (max_blocks).
constexpr std::size_t max_blocks = 128;
bool add_block(const void* address, std::size_t size);
bool remove_block(const void* address);

// The Windows exception code a signal stands for.
uint32_t exception_code_of(int signal, int code);

struct dump_block {
    uint64_t address = 0;
    std::string bytes;
};
struct dump_info {
    int signal = 0;
    int code = 0;
    uint32_t exception = 0;
    uint32_t flags = 0;
    uint64_t address = 0;
    uint64_t pc = 0;
    int64_t pid = 0;
    int64_t tid = 0;
    std::vector<dump_block> blocks;
    std::string maps;
};
bool read_dump(const std::string& path, dump_info& out);

// The module (file path) of the maps text that holds the address, and the
// address's offset from that module's load base.
bool module_of(const std::string& maps, uint64_t address, std::string& path, uint64_t& offset);

} // namespace crash
