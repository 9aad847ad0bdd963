#include "scripting/hashlist_users.h"

#include "core/format.h"
#include "core/sync.h"
#include "core/text.h"
#include "core/trace.h"
#include "scripting/hashlist.h"
#include "server/server_dirs.h"
#include "server/server_settings.h"
#include "system/password_crypt.h"

#include <unordered_map>

namespace scripting {

namespace {

constexpr uint32_t user_cache_timeout_s = 900;
constexpr std::size_t max_cached_passwords = 4096;

// Deciphering runs the Blowfish key schedule, far dearer than the rest of a
// login: each stored text is deciphered once per run.
struct password_cache {
    cl::critical_section lock;
    std::unordered_map<std::string, std::string> plain; // key + "\n" + stored text
};

password_cache& cache() {
    static password_cache c;
    return c;
}

std::string decipher(const std::string& stored, const std::string& key) {
    password_cache& c = cache();
    const std::string id = key + '\n' + stored;
    {
        cl::cs_lock lk(c.lock);
        auto it = c.plain.find(id);
        if (it != c.plain.end()) return it->second;
    }
    std::string plain = cl::utf16_to_utf8(
        decrypt_hex_string(cl::utf8_to_utf16(std::string_view(stored).substr(1)), key));
    cl::cs_lock lk(c.lock);
    if (c.plain.size() >= max_cached_passwords) c.plain.clear();
    c.plain.emplace(id, plain);
    return plain;
}

} // namespace

bool is_safe_user_file(const std::wstring& file) {
    if (file.empty() || file[0] != L'/') return false;
    std::size_t start = 1;
    while (start <= file.size()) {
        std::size_t end = file.find(L'/', start);
        if (end == std::wstring::npos) end = file.size();
        const std::wstring_view part(file.data() + start, end - start);
        if (part == L"." || part == L"..") return false;
        start = end + 1;
    }
    for (wchar_t c : file)
        if (c < 32 || c == 127) return false;
    return true;
}

std::string get_user_value(const std::wstring& file, const std::string& key,
                           const std::string& field) {
    if (!is_safe_user_file(file) || key.empty()) {
        if (trace_level() > 1)
            cl::trace_out.write_w(cl::format_wstr(L"invalid user file: %?\n", file));
        return {};
    }
    cl::sh_ptr<hashlist> list = get_named_hashlist(file, user_cache_timeout_s);
    // A list that a script opened keeps its own save interval.
    if (!list->loaded())
        list->open(0);
    else
        list->reload_if_changed();
    std::string value = list->get_value(key);
    if (value.empty() || !cl::iequals(key, field)) return value;

    const std::string& master = shell_settings().master_password;
    if (value[0] == '!') return decipher(value, master);
    // A password typed in plain is kept enciphered from now on. It is written
    // at once, so the file never holds changes of ours that an edit of the
    // file by its owner could lose or hide.
    const std::string stored =
        "!" + cl::utf16_to_utf8(encrypt_hex_string(cl::utf8_to_utf16(value), master));
    list->store(key, stored);
    if (!list->save()) {
        cl::trace_out.write_w(cl::format_wstr(L"hashlist: password of %? left in plain in %?\n",
                                              cl::utf8_to_utf16(key), file));
        list->revert_to_file();
    }
    return value;
}

std::string get_user_password(const std::wstring& file, const std::string& key) {
    return get_user_value(file, key, "password");
}

} // namespace scripting
