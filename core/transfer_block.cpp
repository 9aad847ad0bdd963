#include "core/transfer_block.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace cl {

tb_mem::tb_mem(void* memory, size_t size)
    : base_(static_cast<uint8_t*>(memory)),
      borrowed_end_(static_cast<uint8_t*>(memory) + (memory ? size : 0)) {}

tb_mem::~tb_mem() {
    if (!borrowed_) std::free(block_);
}

size_t tb_mem::capacity() const {
    return borrowed_ ? static_cast<size_t>(borrowed_end_ - base_) : owned_capacity_;
}

void tb_mem::reserve(size_t n) {
    if (borrowed_) {
        if (n <= static_cast<size_t>(borrowed_end_ - base_)) return;
        const size_t cap = n < 64 ? 64 : n;
        auto* p = static_cast<uint8_t*>(std::malloc(cap));
        if (!p) throw std::bad_alloc();
        if (end_ > begin_) std::memcpy(p + begin_, base_ + begin_, end_ - begin_);
        block_ = base_ = p;
        owned_capacity_ = cap;
        borrowed_ = false;
        return;
    }
    if (n <= owned_capacity_) return;
    size_t cap = owned_capacity_ * 2;
    if (cap < n) cap = n;
    auto* p = static_cast<uint8_t*>(std::realloc(block_, cap));
    if (!p) throw std::bad_alloc();
    block_ = base_ = p;
    owned_capacity_ = cap;
}

void tb_mem::set_length(size_t n) {
    reserve(begin_ + n);
    end_ = begin_ + n;
}

void tb_mem::append(const void* p, size_t n) {
    if (!n) return;
    reserve(end_ + n);
    std::memcpy(base_ + end_, p, n);
    end_ += n;
}

void tb_mem::append(uint8_t value, size_t count) {
    if (!count) return;
    reserve(end_ + count);
    std::memset(base_ + end_, value, count);
    end_ += count;
}

void tb_mem::consume(size_t n) {
    begin_ += n < length() ? n : length();
    if (begin_ == end_) begin_ = end_ = 0;
}

transfer_block::transfer_block(void* mem, size_t size, bool interlocked)
    : tb_mem(mem, size), mode_(interlocked ? 1u : 0u) {}

transfer_block* transfer_block::create(size_t size, bool interlocked) {
    void* mem = ::operator new(sizeof(transfer_block) + size);
    auto* buf = static_cast<uint8_t*>(mem) + sizeof(transfer_block);
    return new (mem) transfer_block(buf, size, interlocked);
}

int transfer_block::add_ref() {
    return mode_ ? ++shared_count_ : ++plain_count_;
}

int transfer_block::count() const {
    return mode_ ? shared_count_.load() : plain_count_;
}

int transfer_block::release() {
    const int n = mode_ ? --shared_count_ : --plain_count_;
    if (n > 0) return n;
    if (mode_)
        shared_count_.store(released_poison);
    else
        plain_count_ = released_poison;
    notify_done();
    this->~transfer_block();
    ::operator delete(static_cast<void*>(this));
    return 0;
}

void transfer_block::add_listener(transfer_listener* l, unsigned flags) {
    listeners_.push_back({l, flags & 3u});
}

void transfer_block::notify_done() {
    while (!listeners_.empty()) {
        const listener_entry e = listeners_.back();
        listeners_.pop_back();
        if (e.flags & 2u) {
            if (e.flags & 1u)
                e.who->done_alt(this);
            else
                e.who->done(this);
        } else {
            if (e.flags & 1u)
                e.who->done_counted_alt(this);
            else
                e.who->done_counted(this);
        }
    }
}

} // namespace cl
