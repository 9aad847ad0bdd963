#include "platform/automation/class_registry.h"
#include "platform/automation/com_objects.h"
#include "platform/script_engine/engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace automation;
using script_engine::engine;
using script_engine::script_error;

namespace {

struct probe_i : idispatch_i {};
constexpr guid iid_probe{0x7E1F0101, 1, 2, {9, 9, 9, 9, 9, 9, 9, 9}};
std::atomic<int> g_probes{0};
std::atomic<bool> g_started{false};

struct probe : automation::idispatch<probe_i> {
    probe() {
        ++g_probes;
        load_type_info(program_type_library(), iid_probe);
    }
    ~probe() override { --g_probes; }
    int value = 0;
    int calls = 0;
    variant kept;
};

probe* self_of(idispatch_i* d) {
    return static_cast<probe*>(static_cast<probe_i*>(d));
}

hresult m_value(idispatch_i* d, uint16_t kind, dispparams& p, variant* r, excepinfo*) {
    if (kind == member_put) {
        variant v;
        if (failed(change_type(v, p.arg(0), vt_i4))) return disp_e_typemismatch;
        self_of(d)->value = v.i4();
    } else {
        *r = variant::from_i4(self_of(d)->value);
    }
    return s_ok;
}
hresult m_name(idispatch_i*, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_bstr(L"probe");
    return s_ok;
}
hresult m_touch(idispatch_i* d, uint16_t, dispparams&, variant*, excepinfo*) {
    ++self_of(d)->calls;
    return s_ok;
}
hresult m_fail(idispatch_i*, uint16_t, dispparams&, variant*, excepinfo*) {
    return engine::current()->raise_script_error(L"no such <thing>");
}
hresult m_refuse(idispatch_i*, uint16_t, dispparams&, variant*, excepinfo*) {
    return e_invalidarg;
}
hresult m_exit(idispatch_i*, uint16_t, dispparams&, variant*, excepinfo*) {
    excepinfo ei;
    ei.source = L"qvel";
    ei.description = L"normal script exit";
    ei.scode = e_abort;
    return engine::current()->interrupt_script_thread(script_engine::scriptthreadid_current, &ei,
                                                      0);
}
hresult m_keep(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    self_of(d)->kept = p.arg(0);
    return s_ok;
}
hresult m_give(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = self_of(d)->kept;
    return s_ok;
}
hresult m_started(idispatch_i*, uint16_t, dispparams&, variant*, excepinfo*) {
    g_started = true;
    return s_ok;
}
hresult m_wide(idispatch_i*, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_bstr(L"a\U0001F600b\u00e9");
    return s_ok;
}

hresult m_call_kept(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo* ei) {
    idispatch_i* f = self_of(d)->kept.dispatch();
    if (!f) return e_pointer;
    dispparams none;
    return f->invoke(dispid_value, iid_null, 0, dispatch_method, none, r, ei, nullptr);
}

const type_info probe_type{iid_probe,
                           L"iprobe",
                           {{1, L"Value", member_get | member_put, 0, 1, m_value},
                            {2, L"Name", member_get, 0, 0, m_name},
                            {3, L"Touch", member_method, 0, 0, m_touch},
                            {4, L"Fail", member_method, 0, 0, m_fail},
                            {5, L"Refuse", member_method, 0, 0, m_refuse},
                            {6, L"Exit", member_method, 0, 0, m_exit},
                            {7, L"Keep", member_method, 1, 1, m_keep},
                            {8, L"Give", member_method, 0, 0, m_give},
                            {9, L"Started", member_method, 0, 0, m_started},
                            {10, L"Wide", member_method, 0, 0, m_wide},
                            {11, L"CallKept", member_method, 0, 0, m_call_kept},
                            {12, L"Held", member_get, 0, 0, m_give}}};
const bool probe_registered = (program_type_library().add(&probe_type), true);

std::string cl_narrow(const std::wstring& w) {
    return std::string(w.begin(), w.end());
}

struct fixture : ::testing::Test {
    engine eng;
    automation::com_ptr<probe> window{new probe};
    std::vector<script_error> errors;

    fixture() {
        EXPECT_TRUE(probe_registered);
        eng.set_error_sink([this](const script_error& e) { errors.push_back(e); });
        EXPECT_EQ(eng.add_named_item(L"window", window.get(), true), s_ok);
    }
    // Reads a global variable of the script through its dispatch object.
    variant global(const std::wstring& name) {
        automation::com_ptr<idispatch_ex_i> d;
        EXPECT_EQ(eng.get_script_dispatch(d.put()), s_ok);
        variant r;
        EXPECT_EQ(dispatch_call(d.get(), name, dispatch_propertyget, {}, &r), s_ok) << name.c_str();
        return r;
    }
    std::wstring text(const std::wstring& name) {
        variant t;
        EXPECT_EQ(change_type(t, global(name), vt_bstr), s_ok);
        return t.bstr();
    }
};

TEST_F(fixture, NativeObjectsAreJavaScriptObjects) {
    ASSERT_EQ(
        eng.parse_script_text(L"var keys = [];\n"
                              L"for (var k in window) keys.push(k);\n"
                              L"var joined = keys.join(',');\n"
                              L"window.Value = 41; Value = Value + 1;\n"
                              L"var name = window.name + ':' + Name;\n"
                              L"var has = ('touch' in window) + ',' + ('nothing' in window);\n"
                              L"Touch(); window.touch();\n"),
        s_ok);
    EXPECT_EQ(text(L"joined"),
              L"Value,Name,Touch,Fail,Refuse,Exit,Keep,Give,Started,Wide,CallKept,Held");
    EXPECT_EQ(window->value, 42);
    EXPECT_EQ(text(L"name"), L"probe:probe");
    EXPECT_EQ(text(L"has"), L"true,false");
    EXPECT_EQ(window->calls, 2);
    for (const auto& e : errors)
        ADD_FAILURE() << e.line << ": " << cl_narrow(e.description);
}

TEST_F(fixture, NativeErrorsAreCaughtByScripts) {
    ASSERT_EQ(eng.parse_script_text(L"var r1, r2;\n"
                                    L"try { Fail(); r1 = 'no'; } catch (e) { r1 = e.number + '|' + "
                                    L"e.source + '|' + e.message; }\n"
                                    L"try { window.Refuse(); } catch (e) { r2 = e.number; }\n"),
              s_ok);
    EXPECT_EQ(text(L"r1"), L"1001|qvel scripting|no such <thing>");
    EXPECT_EQ(text(L"r2"), std::to_wstring(e_invalidarg));
    // Uncaught, the raised error ends the run with its line.
    errors.clear();
    EXPECT_EQ(eng.parse_script_text(L"var a = 1;\nFail();\n"), disp_e_exception);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, 1001);
    EXPECT_EQ(errors[0].source, L"qvel scripting");
    EXPECT_EQ(errors[0].line, 2u);
    EXPECT_EQ(errors[0].line_text, L"Fail();");
}

TEST_F(fixture, ScriptErrorsReachNativeCallersWithTheirLine) {
    ASSERT_EQ(eng.parse_script_text(L"function main(a) {\n"
                                    L"  var x = a * 2;\n"
                                    L"  throw new Error('boom ' + x);\n"
                                    L"}\n"),
              s_ok);
    automation::com_ptr<idispatch_ex_i> d;
    ASSERT_EQ(eng.get_script_dispatch(d.put()), s_ok);
    variant r;
    excepinfo ei;
    EXPECT_EQ(dispatch_call(d.get(), L"main", dispatch_method, {variant::from_i4(21)}, &r, &ei),
              disp_e_exception);
    EXPECT_EQ(ei.description, L"boom 42");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].line, 3u);
    EXPECT_EQ(errors[0].description, L"boom 42");
    EXPECT_EQ(errors[0].line_text, L"  throw new Error('boom ' + x);");
    // A syntax error is reported with its line too.
    errors.clear();
    EXPECT_EQ(eng.parse_script_text(L"var ok = 1;\nvar = ;\n"), disp_e_exception);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].line, 2u);
    dispid id;
    EXPECT_EQ(dispatch_get_id(d.get(), L"nothing_here", &id), disp_e_unknownname);
}

TEST_F(fixture, EndlessLoopIsInterruptedFromAnotherThread) {
    g_started = false;
    eng.set_run_time_limit(120000); // a broken interrupt fails the test instead of hanging it
    std::thread stopper([this] {
        for (int i = 0; i < 100000 && !g_started; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        eng.interrupt();
    });
    const hresult hr = eng.parse_script_text(
        L"Started(); var n = 0; while (true) { try { n++; } catch (e) {} }\n");
    stopper.join();
    EXPECT_EQ(hr, e_abort);
    EXPECT_TRUE(errors.empty()); // stopped by the interrupt, not by the limit
    // The engine stays usable: the next run goes through.
    EXPECT_EQ(eng.parse_script_text(L"var after = 5;"), s_ok);
    EXPECT_EQ(global(L"after").i4(), 5);
}

TEST_F(fixture, RunTimeLimitEndsALoop) {
    eng.set_run_time_limit(20);
    EXPECT_EQ(eng.parse_script_text(L"for (;;) {}\n"), e_abort);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].description, L"Script run time limit reached");
    // The limit is per run, not a state left behind: a later run under a
    // limit it cannot reach on a loaded machine works normally.
    eng.set_run_time_limit(60000);
    EXPECT_EQ(eng.parse_script_text(L"var quick = 1;"), s_ok);
}

TEST_F(fixture, ExitIsNotCaughtEvenByFinally) {
    EXPECT_EQ(eng.parse_script_text(L"var x = 0;\n"
                                    L"function main() {\n"
                                    L"  try { x = 1; Exit(); x = 2; }\n"
                                    L"  catch (e) { x = 3; Touch(); }\n"
                                    L"  finally { x = 4; Touch(); }\n"
                                    L"  x = 5;\n"
                                    L"}\n"
                                    L"main();\n"),
              s_ok);
    EXPECT_EQ(global(L"x").i4(), 1);
    EXPECT_EQ(window->calls, 0);
    // The ending is reported with the information it carried.
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].scode, e_abort);
    EXPECT_EQ(errors[0].description, L"normal script exit");
    // The next run works normally.
    EXPECT_EQ(eng.parse_script_text(L"x = 9; Touch();"), s_ok);
    EXPECT_EQ(global(L"x").i4(), 9);
    EXPECT_EQ(window->calls, 1);
}

TEST_F(fixture, ValuesCrossBothWays) {
    ASSERT_EQ(eng.parse_script_text(L"var o = { n: 7, f: function (a) { return this.n + a; } };\n"
                                    L"Keep(o);\n"
                                    L"var same = Give() === o;\n"
                                    L"var w = Wide();\n"
                                    L"var wlen = w.length;\n"
                                    L"var bytes = new Uint8Array([1, 2, 255]);\n"),
              s_ok);
    EXPECT_EQ(global(L"same").boolean(), variant_true);
    EXPECT_EQ(global(L"wlen").i4(), 5); // the emoji counts two UTF-16 units
    EXPECT_EQ(global(L"w").bstr(), L"a\U0001F600b\u00e9");
    variant bytes = global(L"bytes");
    ASSERT_EQ(bytes.vt(), vt_array | vt_ui1);
    EXPECT_EQ(bytes.array()->data, (std::vector<uint8_t>{1, 2, 255}));

    // The script's object is a dispatch-ex object for native code.
    ASSERT_EQ(window->kept.vt(), vt_dispatch);
    idispatch_i* o = window->kept.dispatch();
    variant r;
    EXPECT_EQ(dispatch_call(o, L"f", dispatch_method, {variant::from_i4(3)}, &r), s_ok);
    EXPECT_EQ(r.i4(), 10);
    EXPECT_EQ(dispatch_call(o, L"n", dispatch_propertyget, {}, &r), s_ok);
    EXPECT_EQ(r.i4(), 7);
    void* p = nullptr;
    ASSERT_EQ(o->query_interface(iid_idispatch_ex, &p), s_ok);
    auto* ex = static_cast<idispatch_ex_i*>(p);
    dispid id = dispid_startenum;
    std::vector<std::wstring> names;
    while (ex->get_next_disp_id(fdex_enum_all, id, &id) == s_ok) {
        std::wstring n;
        ex->get_member_name(id, &n);
        names.push_back(n);
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{L"n", L"f"}));
    EXPECT_EQ(ex->get_disp_id(L"added", fdex_name_ensure, &id), s_ok);
    dispparams put = dispparams::of({variant::from_bstr(L"yes")});
    put.named.push_back(dispid_propertyput);
    EXPECT_EQ(ex->invoke_ex(id, 0, dispatch_propertyput, put, nullptr, nullptr, nullptr), s_ok);
    ex->release();
    EXPECT_EQ(eng.parse_script_text(L"var added = o.added;"), s_ok);
    EXPECT_EQ(global(L"added").bstr(), L"yes");
    window->kept.clear();
}

TEST_F(fixture, ActiveXObjectCreatesRegisteredClassesReleasedAfterCollection) {
    static automation::com_factory<probe> factory(iid_probe);
    const guid clsid{0x7E1F0102, 5, 6, {1, 1, 2, 3, 5, 8, 13, 21}};
    uint32_t cookie = 0;
    ASSERT_EQ(register_class_object(clsid, L"Test.Probe", &factory, &cookie), s_ok);
    eng.enable_active_x_object();
    const int before = g_probes;
    ASSERT_EQ(eng.parse_script_text(
                  L"var p = new ActiveXObject('test.probe');\n"
                  L"p.Value = 3; var v = p.Value;\n"
                  L"var cycle = { self: null, p: p }; cycle.self = cycle;\n"
                  L"var missing;\n"
                  L"try { new ActiveXObject('No.Such'); } catch (e) { missing = e.message; }\n"),
              s_ok);
    EXPECT_EQ(global(L"v").i4(), 3);
    EXPECT_EQ(text(L"missing"), L"Automation server can't create object");
    EXPECT_EQ(g_probes, before + 1);
    for (const auto& e : errors)
        ADD_FAILURE() << e.line << ": " << cl_narrow(e.description);
    ASSERT_EQ(eng.parse_script_text(L"p = null; cycle = null;"), s_ok);
    eng.collect_garbage();
    EXPECT_EQ(g_probes, before);
    EXPECT_EQ(revoke_class_object(cookie), s_ok);
}

TEST_F(fixture, NativeWrappersAreReusedWhileTheObjectLivesOnAndLetGoAfter) {
    const int before = g_probes;
    probe* held = new probe; // the variant's reference is its only one
    window->kept = variant::from_dispatch(held);
    // Read from a global property, as a page reads its webserver.
    ASSERT_EQ(eng.parse_script_text(L"var a = Held, b = Held;\n"
                                    L"var same = (a === b), fn = (a.Touch === b.Touch);\n"
                                    L"a.Touch(); b.Value = 5;\n"),
              s_ok);
    EXPECT_EQ(global(L"same").boolean(), variant_true);
    EXPECT_EQ(global(L"fn").boolean(), variant_true);
    EXPECT_EQ(held->calls, 1);
    EXPECT_EQ(held->value, 5);
    // A later run (a later request) meets the same wrapper.
    ASSERT_EQ(eng.parse_script_text(L"var again = (Held === a); var t = a.Touch; t();\n"), s_ok);
    EXPECT_EQ(global(L"again").boolean(), variant_true);
    EXPECT_EQ(held->calls, 2);
    // Let go by the native side: the script alone keeps it, and it still works.
    window->kept.clear();
    ASSERT_EQ(eng.parse_script_text(L"a.Touch(); var v = b.Value;\n"), s_ok);
    EXPECT_EQ(held->calls, 3);
    EXPECT_EQ(global(L"v").i4(), 5);
    EXPECT_EQ(g_probes, before + 1);
    ASSERT_EQ(eng.parse_script_text(L"a = null; b = null; t = null;\n"), s_ok);
    eng.collect_garbage();
    EXPECT_EQ(g_probes, before);
    for (const auto& e : errors)
        ADD_FAILURE() << e.line << ": " << cl_narrow(e.description);
}

TEST_F(fixture, ScriptErrorsPassThroughNativeCallsUnchanged) {
    // The script hands a function to native code, which calls it; the error
    // it throws reaches the script's catch as the same object.
    ASSERT_EQ(eng.parse_script_text(L"var mine = new TypeError('inner');\n"
                                    L"Keep(function () { throw mine; });\n"
                                    L"var same;\n"),
              s_ok);
    ASSERT_EQ(window->kept.vt(), vt_dispatch);
    automation::com_ptr<idispatch_ex_i> d;
    ASSERT_EQ(eng.get_script_dispatch(d.put()), s_ok);
    variant r;
    excepinfo ei;
    dispparams none;
    EXPECT_EQ(window->kept.dispatch()->invoke(dispid_value, iid_null, 0, dispatch_method, none, &r,
                                              &ei, nullptr),
              disp_e_exception);
    EXPECT_EQ(ei.description, L"inner");
    EXPECT_EQ(errors.size(), 1u); // called from outside any script: reported
    errors.clear();
    ASSERT_EQ(eng.parse_script_text(L"try { CallKept(); } catch (e) { same = (e === mine); }\n"),
              s_ok);
    EXPECT_EQ(global(L"same").boolean(), variant_true);
    EXPECT_TRUE(errors.empty());
    window->kept.clear();
}

TEST(ScriptEngineText, Utf16AtTheBoundary) {
    const std::wstring s = L"x\U0001F600\u00e9\u20ac";
    const std::string e = script_engine::wide_to_engine(s);
    EXPECT_EQ(e.size(), 1u + 6u + 2u + 3u); // the emoji as two three-byte surrogates
    EXPECT_EQ(script_engine::engine_to_wide(e), s);
    // A lone surrogate and malformed bytes read as U+FFFD.
    EXPECT_EQ(script_engine::engine_to_wide("\xED\xA0\x80z"), L"\uFFFDz");
    EXPECT_EQ(script_engine::engine_to_wide("\xC0\xAF/"), L"\uFFFD/"); // an overlong "/"
}

} // namespace
