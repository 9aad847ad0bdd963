// Stop-gap for the "%?" formatter until it is available here: understands
// "%?", "%0N?", "%N?", "%x" and "%%" for integers and texts. Replaced by
// cl::format_str once the formatter lands.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>

namespace cl::shim {

struct arg {
    bool is_text = false;
    unsigned long long u = 0;
    bool negative = false;
    std::string_view text;
    template <class T> arg(const T& v) {
        if constexpr (std::is_convertible_v<const T&, std::string_view>) {
            is_text = true;
            text = v;
        } else if constexpr (std::is_signed_v<T>) {
            negative = v < 0;
            u = negative ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        } else {
            u = static_cast<unsigned long long>(v);
        }
    }
};

inline std::string format_list(std::string_view fmt, const arg* args, size_t count) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '%' || i + 1 >= fmt.size()) {
            out.push_back(fmt[i]);
            continue;
        }
        size_t j = i + 1;
        if (fmt[j] == '%') {
            out.push_back('%');
            i = j;
            continue;
        }
        bool zero = false;
        if (fmt[j] == '0') zero = true, ++j;
        int width = 0;
        while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') width = width * 10 + (fmt[j++] - '0');
        if (j >= fmt.size() || (fmt[j] != '?' && fmt[j] != 'x')) {
            out.append(fmt.substr(i, j - i));
            i = j - 1;
            continue;
        }
        std::string piece;
        if (next < count) {
            const arg& a = args[next++];
            if (a.is_text) {
                piece = std::string(a.text);
            } else {
                char buf[32];
                std::snprintf(buf, sizeof buf, fmt[j] == 'x' ? "%llx" : "%llu", a.u);
                piece = buf;
                if (a.negative) piece.insert(0, "-");
            }
        }
        while (static_cast<int>(piece.size()) < width) piece.insert(0, 1, zero ? '0' : ' ');
        out += piece;
        i = j;
    }
    return out;
}

template <class... A> std::string format_str(std::string_view fmt, const A&... args) {
    if constexpr (sizeof...(A) == 0) {
        return format_list(fmt, nullptr, 0);
    } else {
        const arg list[] = {arg(args)...};
        return format_list(fmt, list, sizeof...(A));
    }
}

} // namespace cl::shim
