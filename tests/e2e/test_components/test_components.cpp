// Two components that only the end-to-end test program registers (the
// program itself has none that raise events or outlive a page):
//   "teskqvel_test.ticker" raises "tick"(n) on a thread of its own, as an
//   outside component calls back into a page;
//   "teskqvel_test.board" is one table of values for the whole process, so
//   that one page can hand an event object to another.
// They register themselves before main runs, as the program's own classes
// would have been registered by the time the first page runs.
#include "platform/automation/class_registry.h"
#include "platform/automation/com_objects.h"
#include "platform/automation/connection_point.h"
#include "platform/automation/type_info.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

using namespace automation;

struct ticker_i : idispatch_i {};
struct board_i : idispatch_i {};
constexpr guid iid_ticker{
    0x7E2B6A10, 0x4C1D, 0x4E55, {0x9A, 0x10, 0x51, 0x3C, 0x6B, 0x2F, 0x70, 0x01}};
constexpr guid iid_ticker_events{
    0x7E2B6A11, 0x4C1D, 0x4E55, {0x9A, 0x10, 0x51, 0x3C, 0x6B, 0x2F, 0x70, 0x01}};
constexpr guid clsid_ticker{
    0x7E2B6A12, 0x4C1D, 0x4E55, {0x9A, 0x10, 0x51, 0x3C, 0x6B, 0x2F, 0x70, 0x01}};
constexpr guid iid_board{
    0x7E2B6A13, 0x4C1D, 0x4E55, {0x9A, 0x10, 0x51, 0x3C, 0x6B, 0x2F, 0x70, 0x01}};
constexpr guid clsid_board{
    0x7E2B6A14, 0x4C1D, 0x4E55, {0x9A, 0x10, 0x51, 0x3C, 0x6B, 0x2F, 0x70, 0x01}};

constexpr auto longest_wait = std::chrono::seconds(20);

std::wstring thread_tag() {
    return std::to_wstring(std::hash<std::thread::id>()(std::this_thread::get_id()));
}

int32_t i4_of(const variant& v) {
    variant t;
    change_type(t, v, vt_i4);
    return t.i4();
}

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

    // Fires tick(1) to tick(n) on a new thread.
    void start(int n) {
        if (thread_.joinable()) thread_.join();
        thread_ = std::thread([this, n] {
            for (int i = 1; i <= n; ++i) {
                cp_.fire(1, {variant::from_i4(i)});
                std::lock_guard lk(m_);
                ++fired_;
                cv_.notify_all();
            }
        });
    }
    // Blocks (without running anything posted to the caller) until n ticks
    // have been fired; false when that takes too long.
    bool wait_fired(int n) {
        std::unique_lock lk(m_);
        return cv_.wait_for(lk, longest_wait, [&] { return fired_ >= n; });
    }

  private:
    connection_point cp_;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    int fired_ = 0;
};

ticker* ticker_of(idispatch_i* d) {
    return static_cast<ticker*>(static_cast<ticker_i*>(d));
}

hresult m_start(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    ticker_of(d)->start(i4_of(p.arg(0)));
    return s_ok;
}
hresult m_wait_fired(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    *r = variant::from_bool(ticker_of(d)->wait_fired(i4_of(p.arg(0))));
    return s_ok;
}
hresult m_thread_tag(idispatch_i*, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_bstr(thread_tag());
    return s_ok;
}

const type_info ticker_type{iid_ticker,
                            L"iticker",
                            {{0x1, L"start", member_method, 1, 1, m_start},
                             {0x2, L"wait_fired", member_method, 1, 1, m_wait_fired},
                             {0x3, L"thread_tag", member_method, 0, 0, m_thread_tag}}};
const type_info ticker_events_type{
    iid_ticker_events, L"iticker_events", {{0x1, L"tick", member_method, 1, 1, nullptr}}};

// ---- board ----

struct board_table {
    std::mutex m;
    std::condition_variable cv;
    std::map<std::wstring, variant> values;
};
board_table& table() {
    static auto* t = new board_table;
    return *t;
}

class board final : public automation::idispatch<board_i> {
  public:
    board() { load_type_info(program_type_library(), iid_board); }
};

std::wstring name_of(const variant& v) {
    variant t;
    change_type(t, v, vt_bstr);
    return t.bstr();
}

hresult m_put(idispatch_i*, uint16_t, dispparams& p, variant*, excepinfo*) {
    board_table& t = table();
    {
        std::lock_guard lk(t.m);
        t.values[name_of(p.arg(0))] = p.arg(1);
    }
    t.cv.notify_all();
    return s_ok;
}
// The value of a name, waiting for it to be put when it is not there yet;
// null when nobody puts it in time.
hresult m_take(idispatch_i*, uint16_t, dispparams& p, variant* r, excepinfo*) {
    board_table& t = table();
    const std::wstring name = name_of(p.arg(0));
    std::unique_lock lk(t.m);
    if (!t.cv.wait_for(lk, longest_wait, [&] { return t.values.count(name) != 0; })) {
        *r = variant::null();
        return s_ok;
    }
    *r = t.values[name];
    t.values.erase(name);
    return s_ok;
}

const type_info board_type{
    iid_board,
    L"iboard",
    {{0x1, L"put", member_method, 2, 2, m_put}, {0x2, L"take", member_method, 1, 1, m_take}}};

[[maybe_unused]] const bool registered = [] {
    program_type_library().add(&ticker_type);
    program_type_library().add(&ticker_events_type);
    program_type_library().add(&board_type);
    static automation::com_factory<ticker> ticker_factory(iid_ticker);
    static automation::com_factory<board> board_factory(iid_board);
    uint32_t cookie = 0;
    register_class_object(clsid_ticker, L"teskqvel_test.ticker", &ticker_factory, &cookie);
    register_class_object(clsid_board, L"teskqvel_test.board", &board_factory, &cookie);
    return true;
}();

} // namespace
