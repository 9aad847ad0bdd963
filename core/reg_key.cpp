#include "core/reg_key.h"

#include "core/text.h"

#include "platform/win32/errors.h"

#include <cstring>

namespace cl {

namespace {

using namespace registry;

hkey root_or_machine(hkey root) {
    return root == 0 ? hkey_local_machine : root;
}

// Small UTF-8 <-> wide helpers; malformed input becomes U+FFFD.
uint32_t not_found_is_success(uint32_t code) {
    return code == win32::error_file_not_found ? 0 : code;
}

} // namespace

bool reg_key::open(hkey root, const std::wstring& subkey, uint32_t access) {
    close();
    hkey h = no_key;
    const uint32_t e = registry::reg_open_key(root_or_machine(root), subkey, access, &h);
    if (e == 0) key_ = h;
    error_ = int32_t(e);
    return is_open();
}

bool reg_key::create(const std::wstring& subkey, hkey root, uint32_t options, uint32_t access) {
    close();
    hkey h = no_key;
    const uint32_t e =
        registry::reg_create_key(root_or_machine(root), subkey, options, access, &h, nullptr);
    if (e == 0) key_ = h;
    error_ = int32_t(e);
    return is_open();
}

bool reg_key::close() {
    if (!is_open()) return true;
    const uint32_t e = registry::reg_close_key(key_);
    key_ = no_key;
    return done(e);
}

bool reg_key::query_string_w(const std::wstring& name, std::wstring& out) {
    out.clear();
    // Most strings fit the first, fixed buffer; a longer one is read again at
    // the size the first read reported. The value may grow between the two
    // reads, so the second read is repeated a few times.
    std::vector<uint8_t> buf(256);
    uint32_t type = 0, size = uint32_t(buf.size());
    uint32_t e = registry::reg_query_value(key_, name, &type, buf.data(), &size);
    for (int tries = 0; e == win32::error_more_data && tries < 4; ++tries) {
        buf.resize(size);
        e = registry::reg_query_value(key_, name, &type, buf.data(), &size);
    }
    if (e != 0) return done(e);
    if (type != reg_sz && type != reg_expand_sz) return done(win32::error_invalid_function);
    out.resize(size / sizeof(wchar_t));
    if (!out.empty()) std::memcpy(out.data(), buf.data(), out.size() * sizeof(wchar_t));
    while (!out.empty() && out.back() == L'\0')
        out.pop_back();
    return done(0);
}

bool reg_key::query_string(const std::wstring& name, std::string& out) {
    std::wstring w;
    const bool ok = query_string_w(name, w);
    out = utf16_to_utf8(w);
    return ok;
}

std::wstring reg_key::query_string_or(const std::wstring& name, const std::wstring& def) {
    std::wstring s;
    return query_string_w(name, s) ? s : def;
}

bool reg_key::query_value_exact(const std::wstring& name, uint32_t type, void* data,
                                uint32_t size) {
    uint32_t stored_type = 0, stored_size = 0;
    if (auto e = registry::reg_query_value(key_, name, &stored_type, nullptr, &stored_size))
        return done(e);
    if (stored_type != type) return done(win32::error_invalid_function);
    if (stored_size != size) return done(win32::error_more_data);
    uint32_t got = size;
    if (auto e = registry::reg_query_value(key_, name, &stored_type, data, &got)) return done(e);
    // Changed by someone else between the two reads.
    if (stored_type != type) return done(win32::error_invalid_function);
    if (got != size) return done(win32::error_more_data);
    return done(0);
}

bool reg_key::get_dword(const std::wstring& name, uint32_t& value) {
    uint32_t v = 0;
    if (!query_value_exact(name, reg_dword, &v, sizeof v)) return false;
    value = v;
    return true;
}

bool reg_key::set_dword(const std::wstring& name, uint32_t value) {
    return set_value(name, reg_dword, &value, sizeof value);
}

bool reg_key::query_type(const std::wstring& name, uint32_t& type) {
    uint32_t size = 0;
    const uint32_t e = registry::reg_query_value(key_, name, &type, nullptr, &size);
    error_ = int32_t(e);
    return e == 0 || e == win32::error_more_data;
}

bool reg_key::set_value(const std::wstring& name, uint32_t type, const void* data,
                        uint32_t length) {
    return done(registry::reg_set_value(key_, name, type, data, length));
}

bool reg_key::set_string_a(const std::wstring& name, const std::string& text) {
    const std::wstring w = utf8_to_utf16(text);
    return set_value(name, reg_sz, w.c_str(), uint32_t((w.size() + 1) * sizeof(wchar_t)));
}

bool reg_key::enum_subkeys(std::vector<std::wstring>& names) {
    names.clear();
    key_info info;
    if (auto e = registry::reg_query_info_key(key_, &info)) return done(e);
    std::vector<wchar_t> buf(info.max_subkey_len + 1);
    for (uint32_t i = info.subkeys; i-- > 0;) {
        uint32_t len = uint32_t(buf.size());
        uint32_t e = registry::reg_enum_key(key_, i, buf.data(), &len);
        if (e == win32::error_more_data) { // a longer name came in meanwhile
            buf.resize(len);
            len = uint32_t(buf.size());
            e = registry::reg_enum_key(key_, i, buf.data(), &len);
        }
        if (e == win32::error_no_more_items) continue; // subkeys went meanwhile
        if (e != 0) return done(e);
        names.emplace_back(buf.data(), len);
    }
    return done(0);
}

bool reg_key::delete_value(const std::wstring& name) {
    return done(not_found_is_success(registry::reg_delete_value(key_, name)));
}

bool reg_key::delete_subkey(const std::wstring& name) {
    return done(not_found_is_success(registry::reg_delete_key(key_, name)));
}

bool reg_key::delete_subkey_tree(const std::wstring& name) {
    // An empty name would stand for this key itself.
    if (name.empty()) return done(win32::error_invalid_parameter);
    {
        reg_key sub;
        if (!sub.open(key_, name, key_all_access))
            return done(not_found_is_success(uint32_t(sub.last_error())));
        std::vector<std::wstring> children;
        if (!sub.enum_subkeys(children)) return done(uint32_t(sub.last_error()));
        for (const auto& child : children)
            if (!sub.delete_subkey_tree(child)) return done(uint32_t(sub.last_error()));
    }
    return delete_subkey(name);
}

bool reg_delete_key(hkey root, const std::wstring& subkey) {
    return not_found_is_success(registry::reg_delete_key(root_or_machine(root), subkey)) == 0;
}

bool reg_delete_tree(hkey root, const std::wstring& subkey) {
    // An empty subkey would empty the whole root.
    if (subkey.empty()) return false;
    reg_key key;
    if (!key.open(root, subkey, key_all_access))
        return key.last_error() == int32_t(win32::error_file_not_found);
    key.close();
    return not_found_is_success(registry::reg_delete_tree(root_or_machine(root), subkey)) == 0;
}

bool reg_write_string(hkey root, const std::wstring& subkey, const std::wstring& name,
                      const std::wstring& value) {
    reg_key key;
    if (!key.create(subkey, root, reg_option_non_volatile, key_all_access)) return false;
    return key.set_value(name, reg_sz, value.c_str(),
                         uint32_t((value.size() + 1) * sizeof(wchar_t)));
}

} // namespace cl
