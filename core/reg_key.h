// One open registry key and the error code of the last operation on it, with
// typed readers and writers, plus one-call helpers that create, write and
// delete keys. Service installation, COM registration, the install folder
// lookup and the system report go through it.
#pragma once
#include "platform/registry/registry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cl {

using hkey = registry::hkey;

class reg_key {
  public:
    // The handle word of a holder with no key open.
    static constexpr hkey no_key = -1;

    reg_key() = default;
    ~reg_key() { close(); }
    reg_key(const reg_key&) = delete;
    reg_key& operator=(const reg_key&) = delete;

    // Every operation below keeps the Windows error code in the holder and
    // returns whether it is 0. A root of 0 means HKEY_LOCAL_MACHINE.

    // Closes any open key, then opens root\subkey; true when a key is open.
    bool open(hkey root, const std::wstring& subkey, uint32_t access);
    // The same with the subkey first, for callers that name the path first.
    bool open(const std::wstring& subkey, hkey root = 0, uint32_t access = registry::key_read) {
        return open(root, subkey, access);
    }
    // Closes any open key, then creates or opens root\subkey.
    bool create(const std::wstring& subkey, hkey root = 0,
                uint32_t options = registry::reg_option_non_volatile,
                uint32_t access = registry::key_all_access);
    bool close();
    // Back to the no-key state without closing anything.
    void reset() {
        key_ = no_key;
        error_ = 0;
    }

    bool is_open() const { return key_ != no_key; }
    hkey handle() const { return key_; }
    int32_t last_error() const { return error_; }

    // REG_SZ or REG_EXPAND_SZ only (another type fails with 1); trailing NUL
    // characters are dropped.
    bool query_string_w(const std::wstring& name, std::wstring& out);
    // The same as UTF-8 text.
    bool query_string(const std::wstring& name, std::string& out);
    std::wstring query_string_or(const std::wstring& name, const std::wstring& def);

    // Fails with 1 when the stored type differs and with 234 when the stored
    // size differs from size.
    bool query_value_exact(const std::wstring& name, uint32_t type, void* data, uint32_t size);
    bool get_dword(const std::wstring& name, uint32_t& value);
    bool set_dword(const std::wstring& name, uint32_t value);
    // Whether the value exists, and its type.
    bool query_type(const std::wstring& name, uint32_t& type);

    bool set_value(const std::wstring& name, uint32_t type, const void* data, uint32_t length);
    // UTF-8 text written as a wide REG_SZ value.
    bool set_string_a(const std::wstring& name, const std::string& text);

    // The names of the subkeys, the last one first (so a caller may delete
    // them while walking the list).
    bool enum_subkeys(std::vector<std::wstring>& names);

    // A value or subkey that is not there counts as deleted.
    bool delete_value(const std::wstring& name);
    bool delete_subkey(const std::wstring& name);
    // The subkey with everything below it.
    bool delete_subkey_tree(const std::wstring& name);

  private:
    bool done(uint32_t code) {
        error_ = int32_t(code);
        return code == 0;
    }

    hkey key_ = no_key;
    int32_t error_ = 0;
};

// Deletes one key (without subkeys); success when it does not exist.
bool reg_delete_key(hkey root, const std::wstring& subkey);
// Deletes a key with all its subkeys; success when it does not exist.
bool reg_delete_tree(hkey root, const std::wstring& subkey);
// Creates or opens root\subkey with full access and writes one string value.
bool reg_write_string(hkey root, const std::wstring& subkey, const std::wstring& name,
                      const std::wstring& value);

// Names the COM registration and service code use for the two deletions.
inline bool reg_delete_key_wstring(hkey root, const std::wstring& subkey) {
    return reg_delete_key(root, subkey);
}
inline bool reg_delete_tree_wstring(const std::wstring& path, hkey root) {
    return reg_delete_tree(root, path);
}

} // namespace cl
