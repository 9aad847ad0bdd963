#include "system/error_text.h"

#include "core/format.h"
#include "core/text.h"
#include "platform/win32/errors.h"

#include <cerrno>
#include <cstring>

namespace sys {

namespace {

struct code_text {
    uint32_t code;
    const char* text;
};

// The English message table of the Windows numbers this program produces.
constexpr code_text win32_texts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {11, "An attempt was made to load a program with an incorrect format."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of "
         "the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {64, "The specified network name is no longer available."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {110, "The system cannot open the device or file specified."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {145, "The directory is not empty."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {232, "The pipe is being closed."},
    {234, "More data is available."},
    {258, "The wait operation timed out."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {288, "Attempt to release mutex not owned by caller."},
    {995, "The I/O operation has been aborted because of either a thread exit or an "
          "application request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1004, "Invalid flags."},
    {1060, "The specified service does not exist as an installed service."},
    {1063, "The service process could not connect to the service controller."},
    {1157, "One of the library files needed to run this application cannot be found."},
    {1168, "Element not found."},
    {1223, "The operation was canceled by the user."},
    {1225, "The remote computer refused the network connection."},
    {1236, "The network connection was aborted by the local system."},
    {1237, "The operation could not be completed. A retry should be performed."},
    {1314, "A required privilege is not held by the client."},
    {1326, "The user name or password is incorrect."},
    {1460, "This operation returned because the timeout period expired."},
    {1630, "Data of this type is not supported."},
};

constexpr code_text ras_texts[] = {
    {600, "An operation is pending."},
    {601, "An invalid port handle was detected."},
    {602, "The specified port is already open."},
    {603, "The caller's buffer is too small."},
    {604, "Incorrect information was specified."},
    {605, "The port information cannot be set."},
    {606, "The specified port is not connected."},
    {607, "An invalid event was detected."},
    {608, "A device was specified that does not exist."},
    {609, "A device type was specified that does not exist."},
    {610, "An invalid buffer was specified."},
    {611, "A route was specified that is not available."},
    {612, "A route was specified that is not allocated."},
    {613, "An invalid compression was specified."},
    {614, "Out of buffers."},
    {615, "The specified port was not found."},
    {616, "An asynchronous request is pending."},
    {617, "The modem (or other connecting device) is already disconnecting."},
    {618, "The specified port is not open."},
    {619, "The specified port is not connected."},
    {620, "No endpoints could be determined."},
    {621, "The system could not open the phone book file."},
    {622, "The system could not load the phone book file."},
    {623, "The system could not find the phone book entry for this connection."},
    {624, "The system could not update the phone book file."},
    {625, "The system found invalid information in the phone book file."},
    {626, "A string could not be loaded."},
    {627, "A key could not be found."},
    {628, "The connection was closed."},
    {629, "The connection was closed by the remote computer."},
    {630, "The modem (or other connecting device) was disconnected due to hardware failure."},
    {631, "The user disconnected the modem (or other connecting device)."},
    {632, "An incorrect structure size was detected."},
    {633, "The modem (or other connecting device) is already in use or is not configured "
          "properly."},
    {634, "Your computer could not be registered on the remote network."},
    {635, "There was an unknown error."},
    {636, "The device attached to the port is not the one expected."},
    {637, "A string was detected that could not be converted."},
    {638, "The request has timed out."},
};

constexpr code_text winhttp_texts[] = {
    {12001, "No more handles could be generated at this time."},
    {12002, "The request has timed out."},
    {12004, "An internal error has occurred."},
    {12005, "The URL is invalid."},
    {12006, "The URL specified a scheme other than \"http:\" or \"https:\"."},
    {12007, "The server name cannot be resolved."},
    {12009, "A request to WinHttpQueryOption or WinHttpSetOption specified an invalid option "
            "value."},
    {12011, "The requested option cannot be set, only queried."},
    {12012, "The WinHTTP function support is being shut down or unloaded."},
    {12015, "The login attempt failed."},
    {12017, "The operation was canceled, usually because the handle on which the request was "
            "operating was closed before the operation completed."},
    {12018, "The type of handle supplied is incorrect for this operation."},
    {12019, "The requested operation cannot be carried out because the handle supplied is not "
            "in the correct state."},
    {12029, "The connection to the server failed."},
    {12030, "The connection with the server has been reset or terminated, or an incompatible "
            "SSL protocol was encountered."},
    {12032, "The WinHTTP function failed. The desired function can be retried on the same "
            "request handle."},
    {12037, "A required certificate is not within its validity period."},
    {12038, "A certificate CN name does not match the passed value."},
    {12044, "The server requests client authentication."},
    {12045, "A certificate chain was processed, but terminated in a root certificate that is "
            "not trusted by the trust provider."},
    {12057, "Revocation cannot be checked because the revocation server was offline."},
    {12100, "A requested operation cannot be performed before calling the Open method."},
    {12101, "A requested operation cannot be performed before calling the Send method."},
    {12102, "A specified option cannot be requested after the Send method has been called."},
    {12103, "A specified option cannot be requested after the Open method has been called."},
    {12150, "The requested header cannot be located."},
    {12152, "The server response cannot be parsed."},
    {12153, "The supplied header is invalid."},
    {12154, "The request for a HTTP header is invalid."},
    {12155, "The header could not be added because it already exists."},
    {12156, "The redirection failed because either the scheme changed or all attempts made to "
            "redirect failed."},
    {12157, "An error occurred having to do with a secure channel."},
    {12166, "An error occurred executing the script code in the Proxy Auto-Configuration (PAC) "
            "file."},
    {12167, "The PAC file could not be downloaded."},
    {12169, "A certificate is invalid."},
    {12170, "A certificate has been revoked."},
    {12172, "The WinHTTP subsystem is not initialized."},
    {12175, "One or more errors were found in the Secure Sockets Layer (SSL) certificate sent "
            "by the server."},
    {12178, "A proxy for the specified URL cannot be located."},
    {12179, "A certificate is not valid for the requested usage."},
    {12180, "The URL of the Proxy Auto-Configuration (PAC) file could not be discovered."},
    {12181, "A larger number of headers were present in a response than WinHTTP could "
            "receive."},
    {12182, "The size of headers received exceeds the limit for the request handle."},
    {12183, "An overflow condition was encountered in the course of parsing chunked "
            "encoding."},
    {12184, "An incoming response exceeds an internal WinHTTP size limit."},
    {12185, "The context for the SSL client certificate does not have a private key "
            "associated with it."},
    {12186, "The application does not have the required privileges to access the private key "
            "associated with the client certificate."},
};

// HRESULTs of the component model and the script host that the program meets.
constexpr code_text hresult_texts[] = {
    {0x00000000, "Success."},
    {0x00000001, "Success. Condition was FALSE."},
    {0x8000000A, "The data necessary to complete this operation is not yet available."},
    {0x8000FFFF, "Catastrophic failure."},
    {0x80004001, "Not implemented."},
    {0x80004002, "No such interface supported."},
    {0x80004003, "Invalid pointer."},
    {0x80004004, "Operation aborted."},
    {0x80004005, "Unspecified error."},
    {0x80010100, "System call failed."},
    {0x80010105, "The server threw an exception."},
    {0x80010106, "Cannot change thread mode after it is set."},
    {0x80010108, "The object invoked has disconnected from its clients."},
    {0x8001010E, "The application called an interface that was marshalled for a different "
                 "thread."},
    {0x80020001, "Unknown interface."},
    {0x80020003, "Member not found."},
    {0x80020004, "Parameter not found."},
    {0x80020005, "Type mismatch."},
    {0x80020006, "Unknown name."},
    {0x80020007, "No named arguments."},
    {0x80020008, "Bad variable type."},
    {0x80020009, "Exception occurred."},
    {0x8002000A, "Out of present range."},
    {0x8002000B, "Invalid index."},
    {0x8002000C, "Unknown language."},
    {0x8002000D, "Memory is locked."},
    {0x8002000E, "Invalid number of parameters."},
    {0x8002000F, "Parameter not optional."},
    {0x80020010, "Invalid callee."},
    {0x80020011, "Does not support a collection."},
    {0x80020012, "Division by zero."},
    {0x8002801D, "Library not registered."},
    {0x8002802B, "Element not found."},
    {0x80029C4A, "Error loading type library/DLL."},
    {0x80040110, "Class does not support aggregation (or class object is remote)."},
    {0x80040111, "ClassFactory cannot supply requested class."},
    {0x80040154, "Class not registered."},
    {0x800401F0, "CoInitialize has not been called."},
    {0x800401F1, "CoInitialize has already been called."},
    {0x800401F3, "Invalid class string."},
    {0x800B0101, "A required certificate is not within its validity period when verifying "
                 "against the current system clock or the timestamp in the signed file."},
    {0x800B0109, "A certificate chain processed, but terminated in a root certificate which is "
                 "not trusted by the trust provider."},
    {0x800B010F, "The certificate's CN name does not match the passed value."},
};

constexpr code_text facility_names[] = {
    {0, "None"},
    {1, "Remote Procedure Call (RPC)"},
    {2, "IDispatch"},
    {3, "Structured Storage Interfaces"},
    {4, "Interface Dependent (ITF)"},
    {7, "Win32 API"},
    {8, "Microsoft-defined Interfaces"},
    {9, "Security Support Provider Interface (SSPI)"},
    {10, "OLE Controls"},
    {11, "Certificate Services"},
    {12, "Internet-related APIs"},
    {13, "Media Server APIs"},
    {14, "Microsoft Messaging Queue (MSMQ)"},
    {15, "Setup APIs"},
    {16, "Smart Card"},
    {17, "COM+"},
    {18, "AAF"},
    {19, "URT"},
    {20, "Bandwidth Allocation Control Service (ACS)"},
    {21, "DirectPlay"},
    {22, "UMI"},
    {23, "Side-by-side Components (SxS)"},
    {24, "Windows CE"},
    {25, "HTTP"},
    {32, "Background Copy"},
    {33, "Configuration"},
    {34, "State Management"},
    {35, "Metadirectory Services"},
};

constexpr code_text exception_names[] = {
    {0xC0000005, "ACCESS_VIOLATION"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0x80000003, "BREAKPOINT"},
    {0x80000004, "SINGLE_STEP"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLOAT_DENORMAL_OPERAND"},
    {0xC000008E, "FLOAT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLOAT_INEXACT_RESULT"},
    {0xC0000090, "FLOAT_INVALID_OPERATION"},
    {0xC0000091, "FLOAT_OVERFLOW"},
    {0xC0000092, "FLOAT_STACK_CHECK"},
    {0xC0000093, "FLOAT_UNDERFLOW"},
    {0xC0000094, "INTEGER_DIVIDE_BY_ZERO"},
    {0xC0000095, "INTEGER_OVERFLOW"},
    {0xC0000096, "PRIVILEGED_INSTRUCTION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC00000FD, "STACK_OVERFLOW"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0x80000001, "GUARD_PAGE_VIOLATION"},
    {0xC0000008, "INVALID_HANDLE"},
    {0xC0000194, "POSSIBLE_DEADLOCK"},
    {0x40010005, "DEBUG_CONTROL_C"},
};

template <std::size_t N> const char* find(const code_text (&table)[N], uint32_t code) {
    for (const auto& row : table)
        if (row.code == code) return row.text;
    return nullptr;
}

std::wstring widen(const char* s) {
    return s ? cl::utf8_to_utf16(s) : std::wstring();
}

// The errno whose Windows number is the code; 0 when none maps onto it.
int errno_of(uint32_t code) {
    for (int e = 1; e < 134; ++e)
        if (win32::from_errno(e) == code) return e;
    return 0;
}

std::wstring lookup(uint32_t code, uint32_t lang_id, error_kind kind) {
    std::wstring text = system_message_text(code, lang_id);
    if (!text.empty() || (lang_id & 0x3FF) != 9) return text;
    text = ras_error_text(code);
    if (!text.empty()) return text;
    switch (kind) {
    case error_kind::win32:
        return {};
    case error_kind::hresult:
        return hresult_text(hresult_of_code(code));
    case error_kind::winhttp:
        return winhttp_error_text(code);
    }
    return {};
}

// Keeps both error slots of the calling thread across a text lookup.
struct error_state_keeper {
    int saved_errno = errno;
    uint32_t saved_last = win32::get_last_error();
    ~error_state_keeper() {
        win32::set_last_error(saved_last);
        errno = saved_errno;
    }
};

} // namespace

std::wstring system_message_text(uint32_t code, uint32_t lang_id) {
    if ((lang_id & 0x3FF) == 9) return widen(find(win32_texts, code));
    if (lang_id != 0) return {};
    const int e = (code & 0xFFFF0000u) == errno_code_base ? int(code & 0xFFFF) : errno_of(code);
    if (e == 0) return {};
    char buf[256];
    // The GNU strerror_r returns its text, which need not be in buf.
    const char* s = strerror_r(e, buf, sizeof(buf));
    return widen(s);
}

std::wstring ras_error_text(uint32_t code) {
    if (const char* s = find(ras_texts, code)) return widen(s);
    if (code >= 600 && code <= 870) return cl::format_wstr(L"RAS error %u.", code);
    return {};
}

std::wstring winhttp_error_text(uint32_t code) {
    if (const char* s = find(winhttp_texts, code)) return widen(s);
    if (code >= 12000 && code <= 12186) return cl::format_wstr(L"WinHttp error %u.", code);
    return {};
}

std::wstring hresult_table_text(int32_t hr) {
    return widen(find(hresult_texts, uint32_t(hr)));
}

int32_t hresult_of_code(uint32_t code) {
    if ((code & 0xE0000000u) == 0xE0000000u) return int32_t((code & 0xFFFF) | 0x800F0000u);
    if (int32_t(code) > 0) return int32_t((code & 0xFFFF) | 0x80070000u);
    return int32_t(code);
}

std::wstring error_text(uint32_t code, error_kind kind) {
    error_state_keeper keep;
    static constexpr uint32_t languages[] = {1033, 2057, 3081, 4105, 5129,
                                             6153, 1031, 2055, 3079, 0};
    for (const uint32_t lang : languages) {
        std::wstring text = lookup(code, lang, kind);
        if (text.empty()) continue;
        if (lang != 0) return text;
        return cl::format_wstr(L"Error %u. %?", code, text);
    }
    return cl::format_wstr(L"Error %u", code);
}

std::wstring hresult_breakdown(int32_t hr) {
    const uint32_t v = uint32_t(hr);
    std::wstring s = hr < 0 ? L"Error " : L"Result ";
    s += cl::format_wstr(L"0x%08x (", v);
    if (v & 0x40000000u) s += L"Second severity bit set, ";
    if (v & 0x20000000u) s += L"Customer code flag set, ";
    if (v & 0x10000000u) s += L"Mapped NT status value, ";
    if (v & 0x08000000u) s += L"Message ID for a display string, ";
    const uint32_t facility = (v >> 16) & 0x1FFF;
    if (facility != 0) {
        const char* name = find(facility_names, facility);
        s += L"Facility: ";
        s += name ? widen(name) : cl::format_wstr(L"%u", facility);
        s += L", ";
    }
    s += cl::format_wstr(L"Code: %u)", v & 0xFFFF);
    return s;
}

std::wstring hresult_text(int32_t hr) {
    error_state_keeper keep;
    std::wstring text = hresult_table_text(hr);
    if (!text.empty()) return text;
    const uint32_t facility = (uint32_t(hr) >> 16) & 0x1FFF;
    if (hr < 0 && facility == 7)
        return hresult_breakdown(hr) + L" [" +
               error_text(uint32_t(hr) & 0xFFFF, error_kind::win32) + L"]";
    return hresult_breakdown(hr);
}

std::string exception_name(uint32_t code) {
    if (const char* s = find(exception_names, code)) return s;
    return cl::format_str("0x%08x", code);
}

} // namespace sys
