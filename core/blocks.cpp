#include "core/blocks.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace cl {

namespace {

// Size classes up to 2 KiB in steps of 256 bytes; a block is as large as
// its class.
constexpr std::size_t step = 256;
constexpr std::size_t classes = 8;
// Kept per class and thread: 4 (at most 36 KiB a thread), or up to 64 on a
// thread that asked for more (at most 576 KiB).
constexpr std::size_t kept_default = 4;
constexpr std::size_t kept_most = 64;

int class_of(std::size_t size) {
    if (size == 0 || size > classes * step) return -1;
    return static_cast<int>((size - 1) / step);
}

std::size_t class_size(int c) {
    return (static_cast<std::size_t>(c) + 1) * step;
}

struct thread_blocks {
    std::array<std::array<void*, kept_most>, classes> slots{};
    std::array<std::uint8_t, classes> count{};
    std::size_t kept = kept_default;
    ~thread_blocks();
};

// Set once the thread's list is gone: a block freed later (by another
// object's destructor at thread exit) goes to the heap.
thread_local bool blocks_gone = false;
thread_local thread_blocks blocks;

thread_blocks::~thread_blocks() {
    blocks_gone = true;
    for (std::size_t c = 0; c < classes; ++c)
        for (std::size_t i = 0; i < count[c]; ++i)
            ::operator delete(slots[c][i]);
}

} // namespace

void keep_blocks(std::size_t per_class) {
    if (!blocks_gone) blocks.kept = std::min(std::max(per_class, kept_default), kept_most);
}

void* take_block(std::size_t size) {
    const int c = class_of(size);
    if (c < 0) return ::operator new(size);
    if (!blocks_gone) {
        std::uint8_t& n = blocks.count[static_cast<std::size_t>(c)];
        if (n > 0) return blocks.slots[static_cast<std::size_t>(c)][--n];
    }
    return ::operator new(class_size(c));
}

void give_block(void* block, std::size_t size) noexcept {
    if (!block) return;
    const int c = class_of(size);
    if (c >= 0 && !blocks_gone) {
        std::uint8_t& n = blocks.count[static_cast<std::size_t>(c)];
        if (n < blocks.kept) {
            blocks.slots[static_cast<std::size_t>(c)][n++] = block;
            return;
        }
    }
    ::operator delete(block);
}

} // namespace cl
