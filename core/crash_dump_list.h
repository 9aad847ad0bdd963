// The memory blocks that a crash dump writes out besides the stacks: buffers
// whose contents explain the crash (the trace ring, its file names). A leaf
// service: the class library registers its blocks here without knowing the
// crash handler, which reads the list back when it writes a dump.
#pragma once
#include <cstddef>
#include <utility>
#include <vector>

namespace cl {

// Adds a block; a null address or a zero size is ignored, a block already
// listed (same address) gets the new size.
void crash_dump_add_memory(const void* address, size_t size);
// Removes the block that starts at the address; false when it was not listed.
bool crash_dump_remove_memory(const void* address);
// A copy of the list, in the order the blocks were added.
std::vector<std::pair<const void*, size_t>> crash_dump_memory_list();

// The crash handler keeps a copy of the list that its signal handler can read
// without locks: the observer hears every change (size 0: removed), and at
// once every block already listed. Null stops it.
using crash_dump_observer = void (*)(const void* address, size_t size);
void set_crash_dump_observer(crash_dump_observer observer);

} // namespace cl
