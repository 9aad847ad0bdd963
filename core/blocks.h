// Blocks for the objects that every request makes and drops (its data, its
// variables, its answer's headers, the request object itself, its upstream
// exchange): a thread keeps a few freed blocks of each size class for its
// next request. The C library keeps a few per size and thread too, but an
// event loop holds a few dozen requests at once, and past what the library
// keeps each one costs a search of the heap and a merge of free chunks.
// Other sizes go to the heap as usual.
#pragma once
#include <cstddef>
#include <new>

namespace cl {

// A block of at least size bytes, aligned for any object.
void* take_block(std::size_t size);
// Gives back a block of take_block(size).
void give_block(void* block, std::size_t size) noexcept;
// How many blocks of each class the calling thread keeps (4 unless raised,
// at most 64): a thread that holds many requests at once (an event loop
// reads a few dozen before the first is answered) frees as many together,
// and each one past what it keeps would go back to the heap, and its
// successor come from there.
void keep_blocks(std::size_t per_class);

// For a class whose objects come and go with requests: its objects (and
// those of its derived classes) live in such blocks.
struct request_sized {
    static void* operator new(std::size_t size) { return take_block(size); }
    static void operator delete(void* block, std::size_t size) noexcept { give_block(block, size); }
};

// The same for std::allocate_shared.
template <class T> struct block_allocator {
    using value_type = T;
    block_allocator() = default;
    template <class U> block_allocator(const block_allocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(take_block(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { give_block(p, n * sizeof(T)); }
    template <class U> bool operator==(const block_allocator<U>&) const noexcept { return true; }
};

} // namespace cl
