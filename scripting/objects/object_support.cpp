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

bool write_file_atomically(const std::string& path, const void* data, std::size_t size) {
    std::random_device rd;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(rd()));
        temp = path + suffix;
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    const char* p = static_cast<const char*>(data);
    std::size_t done = 0;
    bool good = true;
    while (done < size) {
        const ssize_t w = ::write(fd, p + done, size - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            good = false;
            break;
        }
        done += static_cast<std::size_t>(w);
    }
    good = good && ::fsync(fd) == 0;
    good = ::close(fd) == 0 && good;
    if (good && ::rename(temp.c_str(), path.c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
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
