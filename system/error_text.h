// Texts for the error numbers the program traces and shows: Windows error
// numbers (the program's error vocabulary), HRESULTs and the HTTP client's
// WinHTTP numbers. The message table of this platform holds English texts for
// the Windows numbers the program produces; a number that only has a POSIX
// counterpart gets the C library's text for that errno, marked as coming from
// the language-neutral table. Built-in tables cover what the message table
// lacks, and a breakdown of the number's fields is the last resort, so a text
// is never empty.
#pragma once
#include <cstdint>
#include <string>

namespace sys {

enum class error_kind : uint32_t { win32 = 0, hresult = 1, winhttp = 2 };

// Never empty. The thread's last error and errno are the same after the call.
std::wstring error_text(uint32_t code, error_kind kind);
std::wstring hresult_text(int32_t hr);
std::wstring hresult_breakdown(int32_t hr);
// The exception's short name ("ACCESS_VIOLATION") or "0x%08x".
std::string exception_name(uint32_t code);

// The built-in tables: empty when a table has no text for the code.
std::wstring ras_error_text(uint32_t code);
std::wstring winhttp_error_text(uint32_t code);
std::wstring hresult_table_text(int32_t hr);

// The platform's message table for one language id: English (primary
// language 9) has the Windows texts, language 0 the errno texts; others none.
std::wstring system_message_text(uint32_t code, uint32_t lang_id);

// A raw errno carried as an error number: the customer-code bit marks it as
// this platform's own; its text is the C library's.
constexpr uint32_t errno_code_base = 0x20000000u;
constexpr uint32_t errno_error_code(int e) {
    return errno_code_base | uint32_t(e & 0xFFFF);
}

// The HRESULT that a code of kind 1 stands for.
int32_t hresult_of_code(uint32_t code);

} // namespace sys
