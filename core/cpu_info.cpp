#include "core/cpu_info.h"

#include "core/format.h"

#include <cstring>
#include <ctime>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#define TQ_HAVE_CPUID 1
#endif

namespace cl {

cpuid_regs cpuid_native(uint32_t leaf) {
    cpuid_regs r;
#ifdef TQ_HAVE_CPUID
    __cpuid(leaf, r.eax, r.ebx, r.ecx, r.edx);
#else
    (void)leaf;
#endif
    return r;
}

namespace {

std::string text_of_words(const uint32_t* words, std::size_t count) {
    std::string s(count * 4, '\0');
    std::memcpy(s.data(), words, count * 4);
    // The processor pads with NULs; the text ends at the first one.
    auto end = s.find('\0');
    if (end != std::string::npos) s.resize(end);
    return s;
}

} // namespace

cpu_info::cpu_info(const cpuid_source& source) {
    cpuid_regs r0 = source(0);
    max_leaf = r0.eax;
    vendor_words[0] = r0.ebx;
    vendor_words[1] = r0.edx;
    vendor_words[2] = r0.ecx;
    vendor = text_of_words(vendor_words, 3);
    if (max_leaf >= 1) {
        cpuid_regs r1 = source(1);
        signature = r1.eax;
        misc = r1.ebx;
        features_ecx = r1.ecx;
        features_edx = r1.edx;
    }
    max_ext_leaf = source(0x80000000u).eax;
    if (max_ext_leaf >= 0x80000004u) {
        for (uint32_t i = 0; i < 3; ++i) {
            cpuid_regs r = source(0x80000002u + i);
            brand_words[i * 4 + 0] = r.eax;
            brand_words[i * 4 + 1] = r.ebx;
            brand_words[i * 4 + 2] = r.ecx;
            brand_words[i * 4 + 3] = r.edx;
        }
        brand = text_of_words(brand_words, 12);
    }
    if (vendor == "GenuineIntel")
        vendor_code = vendor_intel;
    else if (vendor == "AuthenticAMD")
        vendor_code = vendor_amd;
    else
        vendor_code = vendor_other;
}

const cpu_info& cpu_info::instance() {
    static const cpu_info info;
    return info;
}

bool cpu_info::has_feature(unsigned bit) const {
    if (max_leaf < 1 || bit > 31) return false;
    return (features_edx >> bit) & 1u;
}

bool cpu_info::tsc_eligible() const {
    if (!has_feature(4) || !is_intel()) return false;
    if (has_feature(7)) return false; // machine-check exception
    uint32_t sig = signature & 0x0FFFFFFFu;
    uint32_t brand_index = misc & 0xFFu;
    if ((sig == 0xF24 || sig == 0xF27) && (brand_index == 14 || brand_index == 15)) return false;
    if ((signature & 0xFF0u) == 0x6B0 && brand_index == 6) return false;
    return true;
}

bool timer_resolution::available() {
    if (!bound_) {
        bound_ = true;
        struct timespec ts {};
        available_ = clock_getres(CLOCK_MONOTONIC, &ts) == 0;
    }
    return available_;
}

uint32_t timer_resolution::query() {
    if (!available()) return 0;
    struct timespec ts {};
    if (clock_getres(CLOCK_MONOTONIC, &ts) != 0) return 0;
    uint64_t ns = uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
    if (ns == 0) return 0;
    uint64_t units = (ns + 99) / 100;
    return units > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(units);
}

void timer_resolution::restore() {
    // Nothing is ever changed here; only the flag is kept honest.
    changed_ = false;
}

std::string mac_to_string(const uint8_t mac[6]) {
    return format_str("%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                      mac[5]);
}

std::wstring service_status_text(std::wstring_view service_name) {
    return format_wstr(L"%?: service: status query failed\n", service_name);
}

std::string url_form_encode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += char(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

} // namespace cl
