#include "core/ref_cnt.h"
#include "core/sync.h"
#include "core/transfer_block.h"
#include "platform/automation/com_objects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<int> destroyed{0};

struct counted : cl::ref_cnt_shared {
    ~counted() override { ++destroyed; }
};

} // namespace

TEST(RefCnt, ConcurrentReleaseDestroysExactlyOnce) {
    for (int round = 0; round < 200; ++round) {
        destroyed = 0;
        auto* obj = new counted;
        obj->add_ref();
        obj->add_ref();
        std::thread a([&] { obj->release(); });
        std::thread b([&] { obj->release(); });
        a.join();
        b.join();
        ASSERT_EQ(destroyed.load(), 1);
    }
}

TEST(RefCnt, ShPtrResetToSameObjectKeepsIt) {
    destroyed = 0;
    cl::sh_ptr<counted> p(new counted);
    EXPECT_EQ(p->count(), 1);
    p.reset(p.get());
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(p->count(), 1);
    cl::sh_ptr<counted> q = p;
    EXPECT_EQ(p->count(), 2);
    p = q;
    EXPECT_EQ(q->count(), 2);
    p.reset();
    q.reset();
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(TbMem, GrowsOutOfBorrowedMemoryAndLeavesItAlone) {
    uint8_t stack[16];
    std::memset(stack, 0xAA, sizeof stack);
    {
        cl::tb_mem m(stack, sizeof stack);
        m.append("0123456789", 10);
        EXPECT_TRUE(m.borrowed());
        EXPECT_EQ(m.capacity(), 16u);
        m.append("abcdefghij", 10);
        EXPECT_FALSE(m.borrowed());
        EXPECT_EQ(m.length(), 20u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data()), 20), "0123456789abcdefghij");
        m.append('x', 3);
        EXPECT_EQ(m.length(), 23u);
        EXPECT_EQ(m.data()[22], 'x');
    } // ASan reports a free of the stack buffer if the destructor touched it
    EXPECT_EQ(std::memcmp(stack, "0123456789", 10), 0);
}

namespace {
struct recorder : cl::transfer_listener {
    std::vector<std::string>* log;
    std::string name;
    recorder(std::vector<std::string>* l, std::string n) : log(l), name(std::move(n)) {}
    void done(cl::transfer_block*) override { log->push_back(name + ":done"); }
    void done_alt(cl::transfer_block*) override { log->push_back(name + ":alt"); }
    void done_counted(cl::transfer_block*) override { log->push_back(name + ":counted"); }
    void done_counted_alt(cl::transfer_block*) override { log->push_back(name + ":counted_alt"); }
};
} // namespace

TEST(TransferBlock, ListenersHearLastRegisteredFirstByTheirFlags) {
    std::vector<std::string> log;
    recorder first(&log, "first"), second(&log, "second"), third(&log, "third");
    auto* b = cl::transfer_block::create(100);
    EXPECT_EQ(b->capacity(), 100u);
    b->append("hello", 5);
    b->add_ref();
    b->add_ref();
    b->add_listener(&first, 2);
    b->add_listener(&second, 1);
    b->add_listener(&third, 3);
    EXPECT_EQ(b->release(), 1);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(b->release(), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"third:alt", "second:counted_alt", "first:done"}));
}

namespace {
struct thing_i : automation::idispatch_i {};
constexpr automation::guid iid_thing{0x12345678, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
struct thing : automation::idispatch<thing_i> {
    thing() : automation::idispatch<thing_i>(iid_thing) {}
};
} // namespace

TEST(Com, QueryInterfaceAnswersKnownIdsAndRefusesNullOut) {
    automation::com_ptr<thing> t(new thing);
    EXPECT_EQ(t->add_ref(), 2u);
    EXPECT_EQ(t->release(), 1u);
    EXPECT_EQ(t->query_interface(automation::iid_iunknown, nullptr), automation::e_pointer);
    EXPECT_EQ(t->add_ref(), 2u); // the null query changed no count
    t->release();
    void* out = nullptr;
    EXPECT_EQ(t->query_interface(iid_thing, &out), automation::s_ok);
    EXPECT_EQ(out, static_cast<thing_i*>(t.get()));
    static_cast<thing_i*>(out)->release();
    EXPECT_EQ(t->query_interface(automation::iid_idispatch, &out), automation::s_ok);
    static_cast<thing_i*>(out)->release();
    automation::guid other{9, 9, 9, {}};
    EXPECT_EQ(t->query_interface(other, &out), automation::e_nointerface);
    EXPECT_EQ(out, nullptr);
}

TEST(Event, ManualResetAndSharedNames) {
    cl::event a(L"test-event"), b(L"test-event"), c;
    EXPECT_FALSE(a.is_set());
    b.set();
    EXPECT_TRUE(a.is_set());
    EXPECT_TRUE(a.is_set()); // manual reset: stays set
    EXPECT_FALSE(c.is_set());
    a.reset();
    EXPECT_EQ(b.wait(1), win32::wait_timeout);
    std::thread t([&] { c.set(); });
    EXPECT_EQ(c.wait(), win32::wait_object_0);
    t.join();
}

TEST(CsLock, UnlockAroundSlowWorkAndRelock) {
    cl::critical_section cs;
    cl::cs_lock l(cs);
    EXPECT_TRUE(l.held());
    l.unlock();
    std::thread t([&] {
        cl::cs_lock other(cs);
        EXPECT_TRUE(other.held());
    });
    t.join();
    l.lock();
    l.lock(); // no second enter while held
    EXPECT_TRUE(l.held());
}
