#include "platform/automation/class_registry.h"
#include "platform/automation/variant.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace automation {

namespace {

struct registration {
    guid clsid;
    std::wstring prog_id; // folded
    iclassfactory_i* factory;
};

struct class_table {
    std::mutex lock;
    uint32_t next_cookie = 1;
    std::map<uint32_t, registration> by_cookie;
};

class_table& table() {
    static class_table t;
    return t;
}

} // namespace

hresult register_class_object(const guid& clsid, const std::wstring& prog_id,
                              iclassfactory_i* factory, uint32_t* cookie) {
    if (!factory || !cookie) return e_pointer;
    factory->add_ref();
    auto& t = table();
    std::lock_guard g(t.lock);
    *cookie = t.next_cookie++;
    t.by_cookie.emplace(*cookie, registration{clsid, fold_name(prog_id), factory});
    return s_ok;
}

hresult revoke_class_object(uint32_t cookie) {
    iclassfactory_i* factory = nullptr;
    {
        auto& t = table();
        std::lock_guard g(t.lock);
        auto it = t.by_cookie.find(cookie);
        if (it == t.by_cookie.end()) return e_invalidarg;
        factory = it->second.factory;
        t.by_cookie.erase(it);
    }
    factory->release();
    return s_ok;
}

hresult clsid_from_prog_id(const std::wstring& prog_id, guid* out) {
    if (!out) return e_pointer;
    if (!prog_id.empty() && prog_id.front() == L'{')
        return guid_from_string(prog_id, out) ? s_ok : co_e_classstring;
    const std::wstring key = fold_name(prog_id);
    auto& t = table();
    std::lock_guard g(t.lock);
    // The latest registration wins, as a later registry write would.
    for (auto it = t.by_cookie.rbegin(); it != t.by_cookie.rend(); ++it)
        if (!key.empty() && it->second.prog_id == key) {
            *out = it->second.clsid;
            return s_ok;
        }
    return co_e_classstring;
}

hresult co_create_instance(const guid& clsid, iunknown_i* outer, uint32_t, const guid& iid,
                           void** out) {
    if (!out) return e_pointer;
    *out = nullptr;
    iclassfactory_i* factory = nullptr;
    {
        auto& t = table();
        std::lock_guard g(t.lock);
        for (auto it = t.by_cookie.rbegin(); it != t.by_cookie.rend(); ++it)
            if (it->second.clsid == clsid) {
                factory = it->second.factory;
                factory->add_ref();
                break;
            }
    }
    if (!factory) return regdb_e_classnotreg;
    const hresult hr = factory->create_instance(outer, iid, out);
    factory->release();
    return hr;
}

std::wstring guid_to_string(const guid& g) {
    wchar_t buf[40];
    std::swprintf(buf, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2,
                  g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5],
                  g.data4[6], g.data4[7]);
    return buf;
}

bool guid_from_string(std::wstring_view s, guid* out) {
    if (s.size() != 38 || s.front() != L'{' || s.back() != L'}') return false;
    static constexpr int groups[] = {8, 4, 4, 4, 12};
    uint8_t bytes[16];
    int nb = 0;
    std::size_t pos = 1;
    for (int gi = 0; gi < 5; ++gi) {
        if (gi > 0) {
            if (s[pos] != L'-') return false;
            ++pos;
        }
        for (int k = 0; k < groups[gi]; k += 2) {
            int v = 0;
            for (int d = 0; d < 2; ++d) {
                const wchar_t c = s[pos++];
                int x;
                if (c >= L'0' && c <= L'9')
                    x = c - L'0';
                else if (c >= L'a' && c <= L'f')
                    x = c - L'a' + 10;
                else if (c >= L'A' && c <= L'F')
                    x = c - L'A' + 10;
                else
                    return false;
                v = v * 16 + x;
            }
            bytes[nb++] = static_cast<uint8_t>(v);
        }
    }
    guid g;
    g.data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
              bytes[3];
    g.data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    g.data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i)
        g.data4[i] = bytes[8 + i];
    *out = g;
    return true;
}

} // namespace automation
