#include "core/cpu_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace {

// A processor made of a table of leaves; missing leaves read as zeros.
cl::cpuid_source table_source(std::map<uint32_t, cl::cpuid_regs> leaves) {
    return [leaves](uint32_t leaf) {
        auto it = leaves.find(leaf);
        return it == leaves.end() ? cl::cpuid_regs{} : it->second;
    };
}

cl::cpuid_regs vendor_leaf(uint32_t max, const char* vendor12) {
    cl::cpuid_regs r;
    r.eax = max;
    std::memcpy(&r.ebx, vendor12, 4);
    std::memcpy(&r.edx, vendor12 + 4, 4);
    std::memcpy(&r.ecx, vendor12 + 8, 4);
    return r;
}

void put_brand(std::map<uint32_t, cl::cpuid_regs>& leaves, const char* text48) {
    char buf[48] = {};
    std::memcpy(buf, text48, std::strlen(text48));
    for (uint32_t i = 0; i < 3; ++i) {
        cl::cpuid_regs r;
        std::memcpy(&r.eax, buf + i * 16, 4);
        std::memcpy(&r.ebx, buf + i * 16 + 4, 4);
        std::memcpy(&r.ecx, buf + i * 16 + 8, 4);
        std::memcpy(&r.edx, buf + i * 16 + 12, 4);
        leaves[0x80000002u + i] = r;
    }
}

TEST(cpu_info, vendor_codes_and_brand_text) {
    std::map<uint32_t, cl::cpuid_regs> leaves;
    leaves[0] = vendor_leaf(1, "GenuineIntel");
    leaves[1] = {0x6B1, 0, 0, 1u << 4};
    leaves[0x80000000u] = {0x80000004u, 0, 0, 0};
    put_brand(leaves, "Test CPU @ 1.00GHz");
    cl::cpu_info c(table_source(leaves));
    EXPECT_EQ(c.vendor, "GenuineIntel");
    EXPECT_EQ(c.vendor_code, cl::cpu_info::vendor_intel);
    EXPECT_TRUE(c.is_intel());
    EXPECT_EQ(c.brand, "Test CPU @ 1.00GHz");
    EXPECT_TRUE(c.has_feature(4));
    EXPECT_FALSE(c.has_feature(7));
    EXPECT_FALSE(c.has_feature(99));

    leaves[0] = vendor_leaf(1, "AuthenticAMD");
    EXPECT_EQ(cl::cpu_info(table_source(leaves)).vendor_code, cl::cpu_info::vendor_amd);
    leaves[0] = vendor_leaf(1, "SomethingXYZ");
    EXPECT_EQ(cl::cpu_info(table_source(leaves)).vendor_code, cl::cpu_info::vendor_other);
}

TEST(cpu_info, low_extended_maximum_gives_no_brand) {
    std::map<uint32_t, cl::cpuid_regs> leaves;
    leaves[0] = vendor_leaf(1, "GenuineIntel");
    leaves[0x80000000u] = {0x80000003u, 0, 0, 0};
    put_brand(leaves, "Should not be read");
    cl::cpu_info c(table_source(leaves));
    EXPECT_EQ(c.brand, "");
}

TEST(cpu_info, no_standard_leaves_means_no_features) {
    std::map<uint32_t, cl::cpuid_regs> leaves;
    leaves[0] = vendor_leaf(0, "GenuineIntel");
    leaves[1] = {0, 0, 0, 0xFFFFFFFFu}; // not to be read with a maximum of 0
    cl::cpu_info c(table_source(leaves));
    EXPECT_FALSE(c.has_feature(4));
    EXPECT_FALSE(c.tsc_eligible());
    // An empty source (as on processors without CPUID) is an unknown vendor.
    cl::cpu_info none(table_source({}));
    EXPECT_EQ(none.vendor_code, cl::cpu_info::vendor_other);
    EXPECT_EQ(none.brand, "");
}

TEST(cpu_info, time_stamp_counter_eligibility) {
    struct row {
        const char* vendor;
        uint32_t sig, ebx, edx;
        bool eligible;
    } rows[] = {
        {"GenuineIntel", 0x6F6, 0, 1u << 4, true},
        {"GenuineIntel", 0x6F6, 0, 0, false},                     // no counter
        {"AuthenticAMD", 0x6F6, 0, 1u << 4, false},               // not Intel
        {"GenuineIntel", 0x6F6, 0, (1u << 4) | (1u << 7), false}, // EDX bit 7
        {"GenuineIntel", 0xF24, 14, 1u << 4, false},
        {"GenuineIntel", 0xF27, 15, 1u << 4, false},
        {"GenuineIntel", 0xF27, 13, 1u << 4, true},
        {"GenuineIntel", 0x6B4, 6, 1u << 4, false},
        {"GenuineIntel", 0x6B4, 5, 1u << 4, true},
    };
    for (const auto& r : rows) {
        std::map<uint32_t, cl::cpuid_regs> leaves;
        leaves[0] = vendor_leaf(1, r.vendor);
        leaves[1] = {r.sig, r.ebx, 0, r.edx};
        EXPECT_EQ(cl::cpu_info(table_source(leaves)).tsc_eligible(), r.eligible)
            << r.vendor << " " << std::hex << r.sig << " " << r.ebx << " " << r.edx;
    }
}

TEST(cpu_info, native_source_is_consistent) {
    const cl::cpu_info& c = cl::cpu_info::instance();
    EXPECT_TRUE(c.vendor.empty() || c.vendor.size() == 12);
    if (c.max_ext_leaf < 0x80000004u) {
        EXPECT_EQ(c.brand, "");
    }
}

TEST(text_helpers, url_form_encode) {
    struct row {
        const char* in;
        const char* out;
    } rows[] = {
        {"", ""},
        {" ", "+"},
        {"&", "%26"},
        {"a b&c=d", "a+b%26c%3Dd"},
        {"AZaz09-._~", "AZaz09-._~"},
        {"/?%+", "%2F%3F%25%2B"},
        {"\xC3\xA9", "%C3%A9"},
        {"\n", "%0A"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(cl::url_form_encode(r.in), r.out) << r.in;
}

TEST(text_helpers, mac_and_service_texts) {
    const uint8_t mac[6] = {0x00, 0x1a, 0x2B, 0xff, 0x05, 0x60};
    EXPECT_EQ(cl::mac_to_string(mac), "00:1a:2b:ff:05:60");
    EXPECT_EQ(cl::service_status_text(L"teskqvel"), L"teskqvel: service: status query failed\n");
}

TEST(timer_resolution, reports_the_monotonic_clock) {
    cl::timer_resolution r;
    ASSERT_TRUE(r.available());
    EXPECT_TRUE(r.available()); // the stored answer
    EXPECT_GE(r.query(), 1u);
    r.restore();
}

} // namespace
