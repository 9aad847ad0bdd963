// Byte blocks for streaming: a growable block that starts over borrowed memory
// (a caller's stack buffer, say) and moves to the heap only when it outgrows
// it, and a reference-counted transfer block that tells its listeners when its
// last user is gone.
#pragma once
#include "core/ref_cnt.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cl {

class mem_base {
  public:
    virtual ~mem_base() = default;
    virtual size_t length() const = 0;
    virtual void reserve(size_t n) = 0;
    virtual void set_length(size_t n) = 0;
    virtual uint8_t* data() = 0;
    virtual void append(const void* p, size_t n) = 0;
    virtual void append(uint8_t value, size_t count) = 0;
    virtual size_t capacity() const = 0;
};

class tb_mem : public mem_base {
  public:
    tb_mem(void* memory, size_t size);
    tb_mem() : tb_mem(nullptr, 0) {}
    ~tb_mem() override;
    tb_mem(const tb_mem&) = delete;
    tb_mem& operator=(const tb_mem&) = delete;

    size_t length() const override { return end_ - begin_; }
    void reserve(size_t n) override;
    void set_length(size_t n) override;
    uint8_t* data() override { return base_ + begin_; }
    void append(const void* p, size_t n) override;
    void append(uint8_t value, size_t count) override;
    size_t capacity() const override;

    bool borrowed() const { return borrowed_; }
    // Drops n bytes from the front (consumed data) without moving the rest.
    void consume(size_t n);

  private:
    uint8_t* block_ = nullptr; // owned heap block, when not borrowed
    uint8_t* base_ = nullptr;
    size_t begin_ = 0;
    size_t end_ = 0;
    size_t owned_capacity_ = 0;
    uint8_t* borrowed_end_ = nullptr;
    bool borrowed_ = true;
};

class transfer_block;

// Who learns that a transfer block is done. The two flag bits given at
// registration pick the method: bit 2 set calls done / done_alt with the bare
// block, bit 2 clear calls done_counted / done_counted_alt; bit 1 picks the
// second of each pair.
struct transfer_listener {
    virtual ~transfer_listener() = default;
    virtual void done(transfer_block*) {}
    virtual void done_alt(transfer_block*) {}
    virtual void done_counted(transfer_block*) {}
    virtual void done_counted_alt(transfer_block*) {}
};

class transfer_block : public tb_mem, public ref_cnt_base {
  public:
    static constexpr int released_poison = static_cast<int>(0xFEFEFEFF);

    // The object and its buffer in one allocation; throws std::bad_alloc.
    static transfer_block* create(size_t size, bool interlocked = true);

    int add_ref() override;
    int release() override;
    int count() const override;

    // Listeners are told last-registered first.
    void add_listener(transfer_listener* l, unsigned flags);

  private:
    transfer_block(void* mem, size_t size, bool interlocked);
    ~transfer_block() override = default;
    void notify_done();

    atomic<int> shared_count_{0};
    int plain_count_ = 0;
    unsigned mode_;
    struct listener_entry {
        transfer_listener* who;
        unsigned flags;
    };
    std::vector<listener_entry> listeners_;
};

} // namespace cl
