#include "core/md5.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

struct md5_case {
    const char* input;
    const char* digest;
};

// The test suite of RFC 1321.
const md5_case rfc1321_cases[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
     "0",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

std::string to_hex(const uint8_t (&digest)[cl::md5::digest_size]) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : digest) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

TEST(md5, rfc1321_vectors) {
    for (const auto& c : rfc1321_cases) {
        cl::md5 context;
        context.update(std::string_view(c.input));
        EXPECT_EQ(context.hex(), c.digest) << '"' << c.input << '"';

        uint8_t digest[cl::md5::digest_size];
        cl::md5::calc(c.input, std::char_traits<char>::length(c.input), digest);
        EXPECT_EQ(to_hex(digest), c.digest) << '"' << c.input << '"';
    }
}

TEST(md5, pieces_give_the_same_digest_as_one_call) {
    // Lengths around the 56- and 64-byte padding edges, split at every point.
    for (size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 127u, 128u, 200u}) {
        std::string data;
        for (size_t i = 0; i < length; ++i)
            data += char('!' + (i * 7) % 90);
        cl::md5 whole;
        whole.update(data);
        const std::string expected = whole.hex();
        for (size_t cut = 0; cut <= length; ++cut) {
            cl::md5 parts;
            parts.update(data.data(), cut);
            parts.update(data.data() + cut, 0);
            parts.update(data.data() + cut, length - cut);
            ASSERT_EQ(parts.hex(), expected) << "length " << length << " cut " << cut;
        }
    }
}

TEST(md5, one_byte_at_a_time_over_many_blocks) {
    std::string data(1000, 'a');
    cl::md5 bytes;
    for (char c : data)
        bytes.update(&c, 1);
    uint8_t digest[cl::md5::digest_size];
    cl::md5::calc(data.data(), data.size(), digest);
    EXPECT_EQ(bytes.hex(), to_hex(digest));
}

TEST(md5, final_is_idempotent_and_update_after_it_is_refused) {
    cl::md5 context;
    context.update(std::string_view("abc"));
    uint8_t first[cl::md5::digest_size], second[cl::md5::digest_size];
    context.final(first);
    context.final(second);
    EXPECT_EQ(to_hex(first), to_hex(second));
    EXPECT_EQ(context.hex(), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_THROW(context.update(std::string_view("d")), std::logic_error);
    EXPECT_EQ(context.hex(), "900150983cd24fb0d6963f7d28e17f72");

    context.init();
    EXPECT_EQ(context.hex(), "d41d8cd98f00b204e9800998ecf8427e");
}

} // namespace
