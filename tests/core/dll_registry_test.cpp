#include "core/dll_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>
#include <zlib.h>

using cl::dll_registry;
using cl::dyn_proc;

namespace {
dll_registry& reg() {
    return dll_registry::instance();
}
} // namespace

TEST(DllRegistry, ZlibIsBoundAndWorksThroughTheAddresses) {
    dyn_proc init(L"/opt/tesk/zlibwapi.dll", "deflateInit2_");
    dyn_proc def(L"/opt/tesk/zlibwapi.dll", "deflate");
    dyn_proc end(L"/opt/tesk/zlibwapi.dll", "deflateEnd");
    ASSERT_TRUE(init.has_address() && def.valid() && end.has_address());

    using init_fn = int (*)(z_streamp, int, int, int, int, int, const char*, int);
    using deflate_fn = int (*)(z_streamp, int);
    using end_fn = int (*)(z_streamp);
    const std::string text(1000, 'a');
    std::vector<unsigned char> packed(1000);
    z_stream zs{};
    ASSERT_EQ(reinterpret_cast<init_fn>(init.get_address())(
                  &zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY, ZLIB_VERSION, int(sizeof zs)),
              Z_OK);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    zs.avail_in = uInt(text.size());
    zs.next_out = packed.data();
    zs.avail_out = uInt(packed.size());
    EXPECT_EQ(reinterpret_cast<deflate_fn>(def.address())(&zs, Z_FINISH), Z_STREAM_END);
    packed.resize(zs.total_out);
    EXPECT_EQ(reinterpret_cast<end_fn>(end.get_address())(&zs), Z_OK);

    // A raw deflate stream that zlib itself reads back.
    std::string back(text.size(), '\0');
    z_stream in{};
    ASSERT_EQ(inflateInit2(&in, -15), Z_OK);
    in.next_in = packed.data();
    in.avail_in = uInt(packed.size());
    in.next_out = reinterpret_cast<Bytef*>(back.data());
    in.avail_out = uInt(back.size());
    EXPECT_EQ(inflate(&in, Z_FINISH), Z_STREAM_END);
    inflateEnd(&in);
    EXPECT_EQ(back, text);
}

TEST(DllRegistry, UsersAreCountedAndTheLastOneFrees) {
    const std::wstring dll = L"zlibwapi.dll";
    ASSERT_EQ(reg().use_count(dll), 0u);
    {
        dyn_proc a(dll.c_str(), "deflate");
        dyn_proc b(dll.c_str(), "deflateEnd");
        EXPECT_EQ(reg().use_count(dll), 2u);
        EXPECT_TRUE(reg().is_loaded(dll));

        // A missing function gives its use back at once.
        dyn_proc missing(dll.c_str(), "inflateNothing");
        EXPECT_FALSE(missing.has_address());
        EXPECT_EQ(reg().use_count(dll), 2u);

        // Rebinding moves the use; unbinding gives it back, twice is harmless.
        EXPECT_TRUE(b.bind(dll, "deflateInit2_"));
        EXPECT_EQ(reg().use_count(dll), 2u);
        b.unbind();
        b.unbind();
        EXPECT_EQ(reg().use_count(dll), 1u);
        EXPECT_EQ(b.function_name(), "deflateInit2_");
        b.clear();
        EXPECT_TRUE(b.dll_name().empty() && b.function_name().empty());
    }
    EXPECT_EQ(reg().use_count(dll), 0u);
    EXPECT_FALSE(reg().is_loaded(dll));

    // Without release on failure the caller keeps the use and gives it back.
    EXPECT_EQ(reg().get_proc(dll, "nope", false), nullptr);
    EXPECT_EQ(reg().use_count(dll), 1u);
    reg().release(dll);
    reg().release(dll); // not registered any more: ignored
    EXPECT_EQ(reg().use_count(dll), 0u);
}

TEST(DllRegistry, NamesAreRegisteredExactlyAndLoadedByFileName) {
    // Different spellings are different entries of the same module.
    dyn_proc upper(L"ZLIBWAPI.DLL", "deflate");
    dyn_proc path(L"/usr/lib/tesk/zlibwapi.dll", "deflate");
    ASSERT_TRUE(upper.has_address());
    ASSERT_TRUE(path.has_address());
    EXPECT_EQ(upper.address(), path.address());
    EXPECT_EQ(reg().use_count(L"ZLIBWAPI.DLL"), 1u);
    EXPECT_EQ(reg().use_count(L"/usr/lib/tesk/zlibwapi.dll"), 1u);
    EXPECT_EQ(reg().use_count(L"zlibwapi.dll"), 0u);

    // Function names are exact, and names in the scrambled form are unknown.
    EXPECT_FALSE(dyn_proc(L"zlibwapi.dll", "DEFLATE").has_address());
    EXPECT_FALSE(dyn_proc(L"zlibwapi.dll", ".deflate").has_address());
    // A path whose file name is no DLL of ours.
    EXPECT_FALSE(dyn_proc(L"/opt/zlibwapi.dll/other.dll", "deflate").has_address());
}

TEST(DllRegistry, MissingDllsStayRegisteredWithoutAModule) {
    const std::wstring dll = L"ADVAPI32.DLL";
    const uint32_t before = reg().use_count(dll);
    // The functions the program binds with no equivalent here take their fallback.
    for (const char* fn : {"GetSecurityInfo", "CheckTokenMembership", "OpenSCManagerA"}) {
        dyn_proc p(dll.c_str(), fn);
        EXPECT_FALSE(p.has_address());
    }
    EXPECT_FALSE(reg().is_loaded(dll));
    EXPECT_EQ(reg().use_count(dll), before + 3);
    EXPECT_EQ(reg().get_proc(L"ntdll.dll", "NtSetTimerResolution", true), nullptr);
    EXPECT_EQ(reg().get_proc(L"winhttp.dll", "WinHttpOpen", true), nullptr);

    dyn_proc empty;
    EXPECT_FALSE(empty.has_address());
    EXPECT_TRUE(empty.dll_name().empty());
    EXPECT_FALSE(empty.bind(L"", "deflate"));
}

TEST(DllRegistry, ConcurrentBindingKeepsTheCount) {
    const std::wstring dll = L"zlibwapi.dll";
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                dyn_proc p(dll.c_str(), i % 3 ? "deflate" : "missing");
                EXPECT_EQ(p.has_address(), i % 3 != 0);
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(reg().use_count(dll), 0u);
}
