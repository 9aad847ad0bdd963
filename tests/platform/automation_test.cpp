#include "platform/automation/class_registry.h"
#include "platform/automation/com_objects.h"
#include "platform/automation/connection_point.h"

#include <gtest/gtest.h>

using namespace automation;

namespace {

TEST(AutomationVariant, ChangeTypeTable) {
    struct row {
        variant in;
        uint16_t vt;
        hresult hr;
        std::wstring text; // the result as text, when the conversion succeeds
    };
    const row rows[] = {
        {variant::from_i4(42), vt_bstr, s_ok, L"42"},
        {variant::from_i4(-7), vt_bstr, s_ok, L"-7"},
        {variant::from_r8(2.5), vt_bstr, s_ok, L"2.5"},
        {variant::from_r8(0.1), vt_bstr, s_ok, L"0.1"},
        {variant::from_bool(true), vt_bstr, s_ok, L"-1"},
        {variant::from_bool(false), vt_i4, s_ok, L"0"},
        {variant::from_bool(true), vt_i4, s_ok, L"-1"},
        {variant(), vt_bstr, s_ok, L""},
        {variant(), vt_i4, s_ok, L"0"},
        {variant::null(), vt_i4, disp_e_typemismatch, L""},
        {variant::null(), vt_bstr, disp_e_typemismatch, L""},
        {variant::from_bstr(L" 123 "), vt_i4, s_ok, L"123"},
        {variant::from_bstr(L"12abc"), vt_i4, disp_e_typemismatch, L""},
        {variant::from_bstr(L""), vt_i4, disp_e_typemismatch, L""},
        {variant::from_bstr(L"99999999999"), vt_i4, disp_e_overflow, L""},
        {variant::from_bstr(L"99999999999"), vt_i8, s_ok, L"99999999999"},
        {variant::from_bstr(L"TRUE"), vt_bool, s_ok, L"-1"},
        {variant::from_bstr(L"false"), vt_bool, s_ok, L"0"},
        {variant::from_bstr(L"0"), vt_bool, s_ok, L"0"},
        {variant::from_bstr(L"2"), vt_bool, s_ok, L"-1"},
        {variant::from_r8(2.5), vt_i4, s_ok, L"2"}, // half to even
        {variant::from_r8(3.5), vt_i4, s_ok, L"4"},
        {variant::from_r8(-2.5), vt_i4, s_ok, L"-2"},
        {variant::from_i4(300), vt_ui1, disp_e_overflow, L""},
        {variant::from_i4(-1), vt_ui4, disp_e_overflow, L""},
        {variant::from_i8(int64_t{1} << 40), vt_i4, disp_e_overflow, L""},
        {variant::from_i8(int64_t{1} << 40), vt_r8, s_ok, L"1099511627776"},
        {variant::from_bytes({1, 2}), vt_bstr, disp_e_typemismatch, L""},
        {variant::from_i4(5), vt_array | vt_ui1, disp_e_typemismatch, L""},
    };
    int i = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(i++);
        variant out;
        EXPECT_EQ(change_type(out, r.in, r.vt), r.hr);
        if (r.hr != s_ok) continue;
        EXPECT_EQ(out.vt(), r.vt);
        variant text;
        ASSERT_EQ(change_type(text, out, vt_bstr), s_ok);
        EXPECT_EQ(text.bstr(), r.text);
    }
}

TEST(AutomationVariant, CopiesShareInterfacesAndBytes) {
    variant a = variant::from_bytes({1, 2, 3});
    variant b = a;
    ASSERT_EQ(b.vt(), vt_array | vt_ui1);
    EXPECT_EQ(b.array()->data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(b.array()->dims, 1);
}

// A native object with a static member table.
struct thing_i : idispatch_i {};
constexpr guid iid_thing{0x7E1F0001, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
int g_things = 0;

struct thing : automation::idispatch<thing_i> {
    thing() {
        ++g_things;
        load_type_info(program_type_library(), iid_thing);
    }
    ~thing() override { --g_things; }
    int value = 0;
};

hresult thing_value(idispatch_i* self, uint16_t kind, dispparams& p, variant* r, excepinfo*) {
    auto* t = static_cast<thing*>(static_cast<thing_i*>(self));
    if (kind == member_put) {
        variant v;
        if (failed(change_type(v, p.arg(0), vt_i4))) return e_invalidarg;
        t->value = v.i4();
    } else {
        *r = variant::from_i4(t->value);
    }
    return s_ok;
}

hresult thing_add(idispatch_i*, uint16_t, dispparams& p, variant* r, excepinfo*) {
    variant a, b;
    if (failed(change_type(a, p.arg(0), vt_i4)) || failed(change_type(b, p.arg(1), vt_i4)))
        return e_invalidarg;
    *r = variant::from_i4(a.i4() + b.i4());
    return s_ok;
}

const type_info thing_type{iid_thing,
                           L"ithing",
                           {{1, L"Value", member_get | member_put, 0, 1, thing_value},
                            {2, L"Add", member_method, 2, 2, thing_add}}};
const bool thing_registered = (program_type_library().add(&thing_type), true);

TEST(AutomationDispatch, NamesWithoutRegardToCase) {
    ASSERT_TRUE(thing_registered);
    automation::com_ptr<thing> t(new thing);
    for (const wchar_t* name : {L"value", L"VALUE", L"vAlUe"}) {
        dispid id = 0;
        EXPECT_EQ(dispatch_get_id(t.get(), name, &id), s_ok) << name;
        EXPECT_EQ(id, 1);
    }
    dispid id = 0;
    EXPECT_EQ(dispatch_get_id(t.get(), L"valuex", &id), disp_e_unknownname);
    EXPECT_EQ(id, dispid_unknown);

    variant r;
    EXPECT_EQ(
        dispatch_call(t.get(), L"VALUE", dispatch_propertyput, {variant::from_bstr(L"12")}, &r),
        s_ok);
    EXPECT_EQ(t->value, 12);
    EXPECT_EQ(dispatch_call(t.get(), L"add", dispatch_method,
                            {variant::from_i4(2), variant::from_i4(40)}, &r),
              s_ok);
    EXPECT_EQ(r.i4(), 42);
    EXPECT_EQ(dispatch_call(t.get(), L"add", dispatch_method, {variant::from_i4(2)}, &r),
              disp_e_badparamcount);
    // Reading a method as a property tells that it exists.
    r.clear();
    EXPECT_EQ(dispatch_call(t.get(), L"Add", dispatch_propertyget, {}, &r), s_ok);
    EXPECT_EQ(r.vt(), vt_bool);
    EXPECT_EQ(r.boolean(), variant_true);
    // A null out pointer changes no count.
    EXPECT_EQ(t->query_interface(iid_idispatch, nullptr), e_pointer);
    EXPECT_EQ(t->add_ref(), 2u);
    t->release();
}

// Dynamic members over a provider, as request headers are offered.
struct headers_i : idispatch_ex_i {};
struct headers;
struct header_provider {
    int refreshed = 0;
    std::vector<std::wstring> deleted;
    template <class M> void refresh_members(M& m) {
        ++refreshed;
        if (m.member_count() == 0) {
            m.set_member(L"Host", L"example");
            m.set_member(L"Accept", L"*/*");
        }
    }
    void member_deleted(const std::wstring& name) { deleted.push_back(name); }
};
struct headers : automation::idispatch_ex_wstr_impl<headers_i, 0x1000, header_provider> {
    explicit headers(header_provider* p) : idispatch_ex_wstr_impl(p) {}
};

std::vector<std::wstring> enumerate(idispatch_ex_i* d, hresult* last) {
    std::vector<std::wstring> names;
    dispid id = dispid_startenum;
    hresult hr;
    while ((hr = d->get_next_disp_id(fdex_enum_all, id, &id)) == s_ok) {
        std::wstring n;
        EXPECT_EQ(d->get_member_name(id, &n), s_ok);
        names.push_back(n);
    }
    *last = hr;
    return names;
}

TEST(AutomationDispatchEx, DynamicMembers) {
    header_provider prov;
    automation::com_ptr<headers> h(new headers(&prov));
    dispid id = 0;
    // Read-only: names resolve without regard to case, new ones are refused.
    EXPECT_EQ(h->get_disp_id(L"HOST", 0, &id), s_ok);
    EXPECT_EQ(id, 0x1000);
    variant r;
    dispparams none;
    EXPECT_EQ(h->invoke_ex(id, 0, dispatch_propertyget, none, &r, nullptr, nullptr), s_ok);
    EXPECT_EQ(r.bstr(), L"example");
    // Plain IDispatch reaches the same member (the engine calls it so).
    variant plain;
    EXPECT_EQ(h->invoke(0x1001, iid_null, 0, dispatch_propertyget, none, &plain, nullptr, nullptr),
              s_ok);
    EXPECT_EQ(plain.bstr(), L"*/*");
    EXPECT_EQ(h->invoke(0x1005, iid_null, 0, dispatch_propertyget, none, &plain, nullptr, nullptr),
              disp_e_membernotfound);
    EXPECT_EQ(h->get_disp_id(L"Cookie", 0, &id), disp_e_unknownname);
    EXPECT_EQ(h->delete_member_by_disp_id(0x1000), e_notimpl);
    uint32_t props = 0;
    EXPECT_EQ(h->get_member_properties(0x1000, 0xFFFFFFFF, &props), s_ok);
    EXPECT_EQ(props, 0x2A69u);

    // Writable: a name asked for exists without a value until assigned.
    h->set_read_only(false);
    EXPECT_EQ(h->get_disp_id(L"Cookie", 0, &id), s_ok);
    EXPECT_EQ(id, 0x1002);
    EXPECT_TRUE(h->changed());
    hresult last = 0;
    EXPECT_EQ(enumerate(h.get(), &last), (std::vector<std::wstring>{L"Host", L"Accept"}));
    EXPECT_EQ(last, s_false);
    dispparams put = dispparams::of({variant::from_i4(7)});
    EXPECT_EQ(h->invoke(0x1002, iid_null, 0, dispatch_propertyput, put, nullptr, nullptr, nullptr),
              s_ok);
    EXPECT_EQ(h->invoke_ex(0x1002, 0, dispatch_propertyget, none, &r, nullptr, nullptr), s_ok);
    EXPECT_EQ(r.bstr(), L"7");
    EXPECT_EQ(enumerate(h.get(), &last),
              (std::vector<std::wstring>{L"Host", L"Accept", L"Cookie"}));
    EXPECT_EQ(h->delete_member_by_name(L"accept", 0), s_ok);
    EXPECT_EQ(prov.deleted, (std::vector<std::wstring>{L"Accept"}));
    EXPECT_EQ(enumerate(h.get(), &last), (std::vector<std::wstring>{L"Host", L"Cookie"}));
    EXPECT_EQ(h->delete_member_by_disp_id(0x0FFF), disp_e_membernotfound);
    EXPECT_EQ(h->delete_member_by_disp_id(0x1003), disp_e_membernotfound);
    // The first member is always offered, even when deleted.
    EXPECT_EQ(h->delete_member_by_name(L"Host", 0), s_ok);
    EXPECT_EQ(h->get_next_disp_id(0, dispid_startenum, &id), s_ok);
    EXPECT_EQ(id, 0x1000);
    void* p = nullptr;
    EXPECT_EQ(h->query_interface(iid_idispatch_ex, &p), s_ok);
    static_cast<headers_i*>(p)->release();
}

TEST(AutomationClassRegistry, ProgIdCreatesInstances) {
    static automation::com_factory<thing> factory(iid_thing);
    EXPECT_EQ(factory.add_ref(), 1u);
    EXPECT_EQ(factory.release(), 1u);
    const guid clsid{0x7E1F0002, 3, 4, {8, 7, 6, 5, 4, 3, 2, 1}};
    uint32_t cookie = 0;
    ASSERT_EQ(register_class_object(clsid, L"Test.Thing", &factory, &cookie), s_ok);
    guid found;
    EXPECT_EQ(clsid_from_prog_id(L"test.THING", &found), s_ok);
    EXPECT_EQ(found, clsid);
    EXPECT_EQ(clsid_from_prog_id(L"Test.Other", &found), co_e_classstring);
    EXPECT_EQ(clsid_from_prog_id(guid_to_string(clsid), &found), s_ok);
    EXPECT_EQ(found, clsid);

    const int before = g_things;
    void* p = nullptr;
    ASSERT_EQ(co_create_instance(clsid, nullptr, clsctx_inproc_server, iid_idispatch, &p),
              e_nointerface); // the factory hands out its own interface and IUnknown only
    ASSERT_EQ(co_create_instance(clsid, nullptr, clsctx_inproc_server, iid_thing, &p), s_ok);
    EXPECT_EQ(g_things, before + 1);
    auto* t = static_cast<thing_i*>(p);
    variant r;
    EXPECT_EQ(
        dispatch_call(t, L"Add", dispatch_method, {variant::from_i4(1), variant::from_i4(1)}, &r),
        s_ok);
    EXPECT_EQ(r.i4(), 2);
    EXPECT_EQ(t->release(), 0u);
    EXPECT_EQ(g_things, before);

    EXPECT_EQ(revoke_class_object(cookie), s_ok);
    EXPECT_EQ(revoke_class_object(cookie), e_invalidarg);
    EXPECT_EQ(co_create_instance(clsid, nullptr, clsctx_inproc_server, iid_thing, &p),
              regdb_e_classnotreg);
    EXPECT_EQ(p, nullptr);
}

TEST(AutomationConnectionPoint, FiresAtAdvisedSinks) {
    struct source : automation::iunknown<iunknown_i> {
        source() : cp(*this, iid_thing) {}
        connection_point cp;
    };
    automation::com_ptr<source> src(new source);
    automation::com_ptr<thing> sink(new thing);
    uint32_t cookie = 0;
    ASSERT_EQ(src->cp.advise(sink.get(), &cookie), s_ok);
    EXPECT_EQ(src->cp.fire(1, {}), 0); // a property is no event handler
    EXPECT_EQ(src->cp.fire(2, {variant::from_i4(1), variant::from_i4(2)}), 1);
    EXPECT_EQ(src->cp.unadvise(cookie), s_ok);
    EXPECT_EQ(src->cp.fire(2, {variant::from_i4(1), variant::from_i4(2)}), 0);
    EXPECT_EQ(src->cp.unadvise(cookie), connect_e_noconnection);
}

} // namespace
