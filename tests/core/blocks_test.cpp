#include "core/blocks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

struct base_object : cl::request_sized {
    virtual ~base_object() = default;
    char bytes[1100];
};
struct larger_object : base_object {
    char more[600];
};

} // namespace

TEST(blocks, a_freed_block_serves_the_next_request_of_its_class_only) {
    const struct {
        std::size_t first, next;
        int same; // 1: the same block, 0: another, -1: the heap decides
    } cases[] = {
        {1100, 1100, 1}, {1100, 1280, 1}, {1281, 1536, 1},  {2048, 1800, 1},
        {1, 256, 1},     {300, 512, 1},   {1100, 1300, 0},  {1536, 1537, 0},
        {256, 257, 0},   {2048, 2049, 0}, {4096, 4096, -1},
    };
    for (const auto& c : cases) {
        void* a = cl::take_block(c.first);
        std::memset(a, 1, c.first);
        cl::give_block(a, c.first);
        void* b = cl::take_block(c.next);
        // The whole class size is there to use.
        std::memset(b, 2, c.next);
        if (c.same == 1) {
            EXPECT_EQ(a, b) << c.first << " then " << c.next;
        }
        if (c.same == 0) {
            EXPECT_NE(a, b) << c.first << " then " << c.next;
        }
        cl::give_block(b, c.next);
        // Empty the thread's lists again for the next row.
        std::vector<void*> taken;
        for (int i = 0; i < 8; ++i)
            taken.push_back(cl::take_block(c.first));
        for (void* p : taken)
            ::operator delete(p);
    }
}

TEST(blocks, objects_go_back_with_their_own_size_from_any_thread) {
    // Deleted through its base, an object gives back its own class's block.
    base_object* small = new base_object;
    base_object* large = new larger_object;
    void* large_block = large;
    delete large;
    EXPECT_EQ(static_cast<void*>(new larger_object), large_block);
    delete small;

    // Made on one thread, freed on another, and the threads end: every block
    // is returned to the heap (a leak check would see one kept past its end).
    std::vector<std::unique_ptr<base_object>> made;
    std::thread maker([&] {
        for (int i = 0; i < 12; ++i)
            made.push_back(std::make_unique<larger_object>());
    });
    maker.join();
    std::thread freer([&] { made.clear(); });
    freer.join();

    auto shared = std::allocate_shared<base_object>(cl::block_allocator<base_object>());
    EXPECT_NE(shared.get(), nullptr);
}

TEST(blocks, a_thread_keeps_as_many_blocks_as_it_asked_for) {
    const struct {
        std::size_t asked; // 0: not asked
        int freed, kept;
    } cases[] = {{0, 40, 4}, {2, 40, 4}, {40, 60, 40}, {64, 100, 64}, {1000, 100, 64}};
    for (const auto& c : cases) {
        // Each row on a thread of its own, whose lists start empty.
        std::thread t([&c] {
            if (c.asked) cl::keep_blocks(c.asked);
            std::vector<void*> given;
            for (int i = 0; i < c.freed; ++i)
                given.push_back(cl::take_block(1500));
            for (void* p : given)
                cl::give_block(p, 1500);
            // The thread kept the first ones given back (the rest went to the
            // heap) and serves them last-in first: the first taken again
            // tells how many it kept.
            std::vector<void*> again;
            for (int i = 0; i < c.kept; ++i)
                again.push_back(cl::take_block(1500));
            for (int i = 0; i < c.kept; ++i)
                EXPECT_EQ(again[static_cast<std::size_t>(i)],
                          given[static_cast<std::size_t>(c.kept - 1 - i)])
                    << "asked " << c.asked << ", block " << i;
            for (void* p : again)
                ::operator delete(p);
        });
        t.join();
    }
}
