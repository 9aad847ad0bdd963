#include "scripting/objects/object_support.h"

#include "platform/script_engine/engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>

namespace scripting::objects {

hresult raise_script_error(const std::wstring& text) {
    script_engine::engine* eng = script_engine::engine::current();
    if (!eng) return e_fail;
    return succeeded(eng->raise_script_error(text)) ? s_ok : e_fail;
}

void register_type_once(const type_info& ti) {
    static std::mutex m;
    static std::set<const type_info*> done;
    std::lock_guard lk(m);
    if (done.insert(&ti).second) program_type_library().add(&ti);
}

std::u16string to_utf16_units(const std::wstring& s) {
    std::u16string out;
    out.reserve(s.size());
    for (wchar_t wc : s) {
        const uint32_t c = static_cast<uint32_t>(wc);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c > 0xFFFF ? 0xFFFD : c));
        }
    }
    return out;
}

std::wstring from_utf16_units(std::u16string_view u) {
    std::wstring out;
    out.reserve(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) {
        const char16_t c = u[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < u.size() && u[i + 1] >= 0xDC00 &&
            u[i + 1] < 0xE000) {
            out.push_back(
                static_cast<wchar_t>(0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00)));
            ++i;
        } else {
            out.push_back(static_cast<wchar_t>(c));
        }
    }
    return out;
}

} // namespace scripting::objects
