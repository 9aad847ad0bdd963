#include "system/error_text.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using sys::error_kind;

TEST(error_text, table_of_codes) {
    struct row {
        uint32_t code;
        error_kind kind;
        const wchar_t* text;
    };
    const row rows[] = {
        {5, error_kind::win32, L"Access is denied."},
        {2, error_kind::hresult, L"The system cannot find the file specified."},
        {12002, error_kind::winhttp, L"The request has timed out."},
        {12029, error_kind::winhttp, L"The connection to the server failed."},
        {12099, error_kind::winhttp, L"WinHttp error 12099."},
        {12187, error_kind::winhttp, L"Error 12187"},
        {600, error_kind::win32, L"An operation is pending."},
        {603, error_kind::winhttp, L"The caller's buffer is too small."},
        {850, error_kind::win32, L"RAS error 850."},
        {871, error_kind::win32, L"Error 871"},
        // Kind 1 takes an unknown code as the HRESULT of a Win32 code.
        {0x80004001u, error_kind::hresult, L"Not implemented."},
        {99999, error_kind::hresult,
         L"Error 0x8007869f (Facility: Win32 API, Code: 34463) [Error 34463]"},
        // A raw errno is known only to the language-neutral table.
        {sys::errno_error_code(ENOENT), error_kind::win32,
         L"Error 536870914. No such file or directory"},
    };
    for (const row& r : rows)
        EXPECT_EQ(sys::error_text(r.code, r.kind), r.text) << r.code;
}

TEST(error_text, hresult_texts_and_breakdown) {
    EXPECT_EQ(sys::hresult_text(int32_t(0x80070002u)),
              L"Error 0x80070002 (Facility: Win32 API, Code: 2) [The system cannot find the "
              L"file specified.]");
    EXPECT_EQ(sys::hresult_text(0x00040000), L"Result 0x00040000 (Facility: Interface Dependent "
                                             L"(ITF), Code: 0)");
    EXPECT_EQ(sys::hresult_text(int32_t(0x8000FFFFu)), L"Catastrophic failure.");
    EXPECT_EQ(sys::hresult_text(1), L"Success. Condition was FALSE.");
    EXPECT_EQ(sys::hresult_breakdown(int32_t(0xE8240001u)),
              L"Error 0xe8240001 (Second severity bit set, Customer code flag set, Message ID "
              L"for a display string, Facility: 2084, Code: 1)");
    EXPECT_EQ(sys::hresult_of_code(0xE0000203u), int32_t(0x800F0203u));
    EXPECT_EQ(sys::hresult_of_code(0), 0);
}

TEST(error_text, exception_names) {
    EXPECT_EQ(sys::exception_name(0xC0000005u), "ACCESS_VIOLATION");
    EXPECT_EQ(sys::exception_name(0x40010005u), "DEBUG_CONTROL_C");
    EXPECT_EQ(sys::exception_name(0xE06D7363u), "0xe06d7363");
}

} // namespace
