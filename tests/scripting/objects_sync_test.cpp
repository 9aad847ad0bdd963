// Files, named mutexes, events and waits, and event connections, driven by
// scripts in the real engine.
#include "objects_test_support.h"

#include "core/file_hnd.h"
#include "platform/automation/class_registry.h"
#include "platform/automation/connection_point.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace objects_test {
namespace {

TEST_F(objects_fixture, FileObjectReadsWritesAndRefusesOtherTypes) {
    script s(state_);
    const std::wstring code = L"var f = file(), r = [];\n"
                              L"r.push(f.open(" +
                              js("a.bin") +
                              L", 0x8102));\n"            // create, read/write, binary
                              L"r.push(f.write('hi'));\n" // two units, four bytes
                              L"try { f.write(5); r.push('no'); } catch (e) { r.push(e.number); }\n"
                              L"r.push(f.length);\n"
                              L"r.push(f.seek(0, 0));\n"
                              L"r.push(f.read(100));\n"
                              L"r.push(f.seek(2, 0)); f.trunc(); r.push(f.length);\n"
                              L"var g = file();\n" // share omitted: writers denied
                              L"r.push(g.open(" +
                              js("a.bin") +
                              L", 0x8001), g.last_error);\n"
                              L"f.close(); r.push(g.open(" +
                              js("a.bin") +
                              L", 0x8001));\n"
                              L"var h = file(); r.push(h.open(" +
                              js("none/x") +
                              L", 0), h.last_error != 0);\n"
                              L"var out = r.join(',');\n";
    ASSERT_EQ(s.run(code), s_ok) << s.error_text();
    EXPECT_EQ(s.text(L"out"),
              L"true,4," + std::to_wstring(e_invalidarg) + L",4,0,hi,2,2,false,32,true,false,true");
}

TEST_F(objects_fixture, FileObjectReplacesAFileOnlyWhenClosed) {
    write(path("keep.txt"), "old content");
    script s(state_);
    ASSERT_EQ(s.run(L"var f = file(); var ok = f.open(" + js("keep.txt") +
                    L", 0x8301);\n" // create, truncate, write only
                    L"f.write('new');\n"),
              s_ok)
        << s.error_text();
    // Until the script closes it, the old content stays whole on disk.
    EXPECT_EQ(read(path("keep.txt")), "old content");
    ASSERT_EQ(s.run(L"f.close();"), s_ok);
    EXPECT_EQ(read(path("keep.txt")), std::string("n\0e\0w\0", 6));
    // No temporary file is left beside it.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
        files += e.is_regular_file();
    EXPECT_EQ(files, 1);
}

TEST_F(objects_fixture, MutexMisuseRaisesScriptErrors) {
    script s(state_);
    ASSERT_EQ(s.run(L"var m = create_mutex('job'), r = [];\n"
                    L"try { m.release(); } catch (e) { r.push(e.message); }\n"
                    L"m.acquire();\n"
                    L"try { m.acquire(); } catch (e) { r.push(e.number + ' ' + e.message); }\n"
                    L"m.release();\n"
                    L"try { create_mutex('').acquire(); } catch (e) { r.push(e.message); }\n"
                    L"var out = r.join('|');\n"),
              s_ok)
        << s.error_text();
    EXPECT_EQ(s.text(L"out"), L"Trying to release mutex which was not acquired (job)|"
                              L"1001 Trying to acquire mutex on mutex (job)|"
                              L"Trying to acquire mutex on mutex ()");
}

TEST_F(objects_fixture, SecondScriptWaitsForTheMutex) {
    std::atomic<bool> let_go{false};
    std::thread a([&] {
        script s(state_);
        EXPECT_EQ(s.run(L"var m = create_mutex('shared name'); m.acquire(); mark('A in');"), s_ok);
        while (!let_go)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(s.run(L"mark('A out'); m.release();"), s_ok);
    });
    for (int i = 0; i < 2000 && !state_.has_mark(L"A in"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(state_.has_mark(L"A in"));
    std::thread b([&] {
        script s(state_);
        EXPECT_EQ(s.run(L"var m = create_mutex('shared name'); mark('B trying'); m.acquire(); "
                        L"mark('B in'); "
                        L"m.release();"),
                  s_ok);
    });
    for (int i = 0; i < 2000 && !state_.has_mark(L"B trying"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Time for B to get in, were the mutex not excluding it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    let_go = true;
    a.join();
    b.join();
    const std::vector<std::wstring> expected{L"A in", L"B trying", L"A out", L"B in"};
    EXPECT_EQ(state_.all_marks(), expected);
}

// A wait without end, and a mutex its holder keeps, end at the run-time
// limit and at server stop instead of holding the script's thread for good.
TEST_F(objects_fixture, WaitsEndAtTheRunLimitAndAtServerStop) {
    std::atomic<bool> stopping{false};
    std::atomic<uint32_t> limit_ms{50};
    so::set_wait_limits([&] { return stopping.load(); }, [&] { return limit_ms.load(); });
    script s(state_);
    ASSERT_EQ(
        s.run(L"var e = create_event(), r = [];\n"
              L"r.push(String(wait_for_events([e], -1, false)));\n"
              L"var held = create_mutex('kept'); held.acquire();\n"
              L"var other = create_mutex('kept');\n"
              L"try { other.acquire(); r.push('got it'); } catch (x) { r.push(x.message); }\n"),
        s_ok)
        << s.error_text();
    limit_ms = 0;
    std::thread stop([&] {
        while (!state_.has_mark(L"waiting"))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stopping = true;
    });
    ASSERT_EQ(s.run(L"mark('waiting'); r.push(String(wait_for_events([e], -1, true)));\n"
                    L"try { other.acquire(); r.push('got it'); } catch (x) { r.push(x.message); }\n"
                    L"var out = r.join('|');\n"),
              s_ok)
        << s.error_text();
    stop.join();
    so::set_wait_limits(nullptr, nullptr);
    EXPECT_EQ(s.text(L"out"), L"null|Cannot acquire mutex (kept)|null|Cannot acquire mutex (kept)");
}

TEST_F(objects_fixture, MutexExcludesAnotherProcessOnTheSameDataDirectory) {
    // The lock file is named by the name's UTF-8 bytes in hex.
    const std::string lock = path("js_mutexes/6a6f62");
    int to_child[2], to_parent[2];
    ASSERT_EQ(::pipe(to_child), 0);
    ASSERT_EQ(::pipe(to_parent), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        so::dispatch_ptr m = so::create_mutex_object(L"job", state_.data_dir);
        dispparams none;
        variant r;
        const bool ok =
            succeeded(m->invoke(0x320, iid_null, 0, dispatch_method, none, &r, nullptr, nullptr));
        char c = ok ? 'y' : 'n';
        (void)!::write(to_parent[1], &c, 1);
        (void)!::read(to_child[0], &c, 1);
        ::_exit(0); // the lock goes with the process
    }
    char c = 0;
    ASSERT_EQ(::read(to_parent[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    const int fd = ::open(lock.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0) << "held by the other process";
    (void)!::write(to_child[1], "x", 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
    for (int p : {to_child[0], to_child[1], to_parent[0], to_parent[1]})
        ::close(p);
}

TEST_F(objects_fixture, EventSetByOneScriptWakesAnother) {
    script s(state_);
    ASSERT_EQ(s.run(L"var e1 = create_event(), e2 = create_event(); share(e2);\n"
                    L"var flags = '' + e1.is_set(); e1.set(); flags += e1.is_set(); e1.reset();\n"
                    L"flags += e1.is_set();\n"),
              s_ok);
    EXPECT_EQ(s.text(L"flags"), L"falsetruefalse");
    std::thread setter([&] {
        for (int i = 0; i < 2000 && !state_.has_mark(L"waiting"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        script other(state_);
        EXPECT_EQ(other.run(L"shared().set();"), s_ok) << other.error_text();
    });
    ASSERT_EQ(s.run(L"mark('waiting'); var got = wait_for_events([e1, e2], -1, false);\n"
                    L"var which = got.is_set(); got.reset(); which += ',' + e2.is_set();\n"),
              s_ok)
        << s.error_text();
    setter.join();
    EXPECT_EQ(s.text(L"which"), L"true,false");
}

TEST_F(objects_fixture, WaitHasOneDeadlineWaitAllAndManyEvents) {
    script s(state_);
    ASSERT_EQ(s.run(L"var none = wait_for_events([], 100, false);\n"
                    L"var a = create_event(), b = create_event();\n"
                    L"var timed_out = wait_for_events([a, b], 50, false);\n"
                    L"a.set();\n"
                    L"var all_not_yet = wait_for_events({x: a, y: b}, 50, true);\n"
                    L"b.set();\n"
                    L"var all = wait_for_events({x: a, y: b}, -1, true);\n"
                    L"var many = [];\n"
                    L"for (var i = 0; i < 100; i++) many.push(create_event());\n"
                    L"many[97].set();\n"
                    L"wait_for_events(many, -1, false).reset(); var hit = !many[97].is_set();\n"
                    L"var out = [none, timed_out, all_not_yet, all, hit].join(',');\n"),
              s_ok)
        << s.error_text();
    EXPECT_EQ(s.text(L"out"), L",,,true,true");
    EXPECT_EQ(s.global(L"none").vt(), vt_null);
    EXPECT_EQ(s.global(L"timed_out").vt(), vt_null);
}

// ---- event connections ----

struct ticker_i : idispatch_i {};
struct ticker_events_i : idispatch_i {};
constexpr guid iid_ticker{0x6A11E0C3, 0x1D2B, 0x4C3D, {1, 2, 3, 4, 5, 6, 7, 9}};
constexpr guid iid_ticker_events{0x6A11E0C4, 0x1D2B, 0x4C3D, {1, 2, 3, 4, 5, 6, 7, 10}};
constexpr guid clsid_ticker{0x6A11E0C5, 0x1D2B, 0x4C3D, {1, 2, 3, 4, 5, 6, 7, 11}};

// An object that raises "tick" (with a number) from a thread of its own.
class ticker final : public automation::idispatch<ticker_i>, public iconnection_point_container_i {
  public:
    ticker() : cp_(static_cast<idispatch_i&>(*this), iid_ticker_events) {
        load_type_info(program_type_library(), iid_ticker);
    }
    ~ticker() override {
        if (thread_.joinable()) thread_.join();
    }
    hresult query_interface(const guid& iid, void** out) override {
        if (iid == iid_iconnection_point_container) {
            add_ref();
            *out = static_cast<iconnection_point_container_i*>(this);
            return s_ok;
        }
        return automation::idispatch<ticker_i>::query_interface(iid, out);
    }
    uint32_t add_ref() override { return automation::idispatch<ticker_i>::add_ref(); }
    uint32_t release() override { return automation::idispatch<ticker_i>::release(); }
    hresult find_connection_point(const guid& iid, iconnection_point_i** out) override {
        if (!(iid == iid_ticker_events)) return connect_e_noconnection;
        cp_.add_ref();
        *out = &cp_;
        return s_ok;
    }
    hresult enum_connection_points(std::vector<iconnection_point_i*>* out) override {
        cp_.add_ref();
        out->assign(1, &cp_);
        return s_ok;
    }
    void start(int n) {
        thread_ = std::thread([this, n] {
            for (int i = 1; i <= n; ++i)
                cp_.fire(1, {variant::from_i4(i)});
        });
    }
    std::size_t sinks() const { return cp_.sink_count(); }

  private:
    connection_point cp_;
    std::thread thread_;
};

hresult m_start(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    static_cast<ticker*>(static_cast<ticker_i*>(d))->start(p.arg(0).i4());
    return s_ok;
}
const type_info ticker_type{
    iid_ticker, L"iticker", {{0x1, L"start", member_method, 1, 1, m_start}}};
const type_info ticker_events_type{
    iid_ticker_events, L"iticker_events", {{0x1, L"tick", member_method, 1, 1, nullptr}}};

void register_ticker() {
    static const bool done = [] {
        program_type_library().add(&ticker_type);
        program_type_library().add(&ticker_events_type);
        static automation::com_factory<ticker> f(iid_ticker);
        uint32_t cookie = 0;
        register_class_object(clsid_ticker, L"test.ticker", &f, &cookie);
        return true;
    }();
    (void)done;
}

TEST_F(objects_fixture, EventsOfAnotherThreadRunOnTheWaitingScript) {
    register_ticker();
    script s(state_);
    ASSERT_EQ(
        s.run(L"var ticks = [], done = create_event();\n"
              L"var home = thread_tag(), away = 0;\n"
              L"function on_tick(n) { ticks.push(n); if (thread_tag() != home) away++; }\n"
              L"var t = new ActiveXObject('test.ticker');\n"
              L"connect(t, 'on_');\n"
              L"var o = { tick: function (n) { ticks.push('o' + n); if (n == 3) done.set(); } };\n"
              L"connect(t, o);\n"
              L"var bad; try { connect(t, 5); } catch (e) { bad = e.number; }\n"
              L"connect(t, null);\n"
              L"var none; try { connect(create_event(), 'x_'); } catch (e) { none = e.number; }\n"
              L"t.start(3);\n"
              L"wait_for_events([done], -1);\n"
              L"var out = ticks.join(',');\n"),
        s_ok)
        << s.error_text();
    EXPECT_EQ(s.text(L"away"), L"0") << "handlers ran on the ticker's thread";
    EXPECT_EQ(s.text(L"out"), L"1,o1,2,o2,3,o3");
    EXPECT_EQ(s.global(L"bad").i4(), static_cast<int32_t>(0x80020008)); // DISP_E_BADVARTYPE
    EXPECT_EQ(s.global(L"none").i4(), static_cast<int32_t>(connect_e_noconnection));
    EXPECT_NE(sink_.text().find("ConnectObject: using interface iticker_events\n"),
              std::string::npos);
    EXPECT_EQ(so::connected_event_handlers(), 2u);
    so::disconnect_all_event_handlers();
    // The ticker's thread may still hold the sinks of its last delivery for
    // a moment after the script saw it.
    for (int i = 0; i < 500 && so::connected_event_handlers() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(so::connected_event_handlers(), 0u);
}

} // namespace
} // namespace objects_test
