// The host object's members: each hands out one script object as the
// Webserver object's member of that name does.
#include "objects_test_support.h"

#include "scripting/objects/thread_queue.h"

#include <thread>

namespace objects_test {

namespace {

test_host* host_of(idispatch_i* d) {
    return static_cast<test_host*>(static_cast<host_i*>(d));
}
std::wstring text_of(const variant& v) {
    variant t;
    change_type(t, v, vt_bstr);
    return t.bstr();
}
hresult give(variant* r, const so::dispatch_ptr& p) {
    *r = variant::from_dispatch(p.get());
    return p ? s_ok : e_fail;
}

hresult m_mark(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    host_of(d)->state.mark(text_of(p.arg(0)));
    return s_ok;
}
hresult m_has_mark(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    *r = variant::from_bool(host_of(d)->state.has_mark(text_of(p.arg(0))));
    return s_ok;
}
hresult m_file(idispatch_i*, uint16_t, dispparams&, variant* r, excepinfo*) {
    return give(r, so::create_file_object());
}
hresult m_mutex(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    return give(r, so::create_mutex_object(text_of(p.arg(0)), host_of(d)->state.data_dir));
}
hresult m_event(idispatch_i*, uint16_t, dispparams&, variant* r, excepinfo*) {
    return give(r, so::create_event_object());
}
hresult m_wait(idispatch_i*, uint16_t, dispparams& p, variant* r, excepinfo*) {
    return so::wait_for_events(p.arg(0).dispatch(), p.arg(1),
                               p.count() > 2 ? p.arg(2) : variant::from_bool(false), r);
}
hresult m_sleep(idispatch_i*, uint16_t, dispparams& p, variant*, excepinfo*) {
    variant v;
    change_type(v, p.arg(0), vt_i4);
    so::pump_messages(static_cast<uint32_t>(v.i4()));
    return s_ok;
}
hresult m_logger(idispatch_i*, uint16_t, dispparams& p, variant* r, excepinfo*) {
    variant t;
    change_type(t, p.arg(1), vt_i4);
    return give(r, so::create_logger(text_of(p.arg(0)), static_cast<uint32_t>(t.i4())));
}
hresult m_hash_list(idispatch_i*, uint16_t, dispparams& p, variant* r, excepinfo*) {
    variant t;
    change_type(t, p.arg(1), vt_i4);
    return give(r, so::hashlist_object(scripting::get_named_hashlist(
                       text_of(p.arg(0)), static_cast<uint32_t>(t.i4()))));
}
hresult m_image(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    shared_state& s = host_of(d)->state;
    return give(r, so::create_image_object(text_of(p.arg(0)), s.response, s.allowed));
}
hresult m_sendmail(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    shared_state& s = host_of(d)->state;
    so::dispatch_ptr out;
    const hresult hr = so::create_sendmail(*s.ini, s.master_pwd, &out);
    if (failed(hr)) return hr;
    return give(r, out);
}
hresult m_server_object(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    const so::server_list_source lists = [](const std::wstring& name, std::vector<std::wstring>& k,
                                            std::vector<std::wstring>& v) {
        if (name != L"connections") return false;
        k = {L"totals", L"127.0.0.1:5000"};
        v = {L"1,2,3,4,5", L"GET /x"};
        return true;
    };
    return so::create_server_object(
        text_of(p.arg(0)), cl::sh_ptr<response_headers_base>(host_of(d)->state.headers.get()),
        lists, r);
}
hresult m_share(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    std::lock_guard lk(host_of(d)->state.m);
    host_of(d)->state.shared = p.arg(0);
    return s_ok;
}
hresult m_shared(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    std::lock_guard lk(host_of(d)->state.m);
    *r = host_of(d)->state.shared;
    return s_ok;
}
hresult m_thread_tag(idispatch_i*, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_bstr(
        std::to_wstring(std::hash<std::thread::id>()(std::this_thread::get_id())));
    return s_ok;
}
hresult m_connect(idispatch_i*, uint16_t, dispparams& p, variant*, excepinfo*) {
    return so::connect_object_events(p.arg(0).dispatch(), p.arg(1),
                                     *script_engine::engine::current());
}

const type_info host_type{iid_test_host,
                          L"itest_host",
                          {{0x320, L"mark", member_method, 1, 1, m_mark},
                           {0x321, L"has_mark", member_method, 1, 1, m_has_mark},
                           {0x322, L"file", member_method, 0, 0, m_file},
                           {0x323, L"create_mutex", member_method, 1, 1, m_mutex},
                           {0x324, L"create_event", member_method, 0, 0, m_event},
                           {0x325, L"wait_for_events", member_method, 2, 3, m_wait},
                           {0x326, L"sleep", member_method, 1, 1, m_sleep},
                           {0x327, L"logger", member_method, 2, 2, m_logger},
                           {0x328, L"hash_list", member_method, 2, 2, m_hash_list},
                           {0x329, L"create_image", member_method, 1, 1, m_image},
                           {0x32a, L"create_sendmail", member_method, 0, 0, m_sendmail},
                           {0x32b, L"server_object", member_method, 1, 1, m_server_object},
                           {0x32c, L"connect", member_method, 2, 2, m_connect},
                           {0x32d, L"share", member_method, 1, 1, m_share},
                           {0x32e, L"shared", member_method, 0, 0, m_shared},
                           {0x32f, L"thread_tag", member_method, 0, 0, m_thread_tag}}};

} // namespace

const automation::type_info& test_host::type() {
    return host_type;
}

} // namespace objects_test
