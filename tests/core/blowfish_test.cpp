#include "core/blowfish.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct vector_case {
    uint64_t key;
    uint64_t plain;
    uint64_t cipher;
};

// Published test vectors (8-byte keys, blocks as big-endian halves).
const vector_case published[] = {
    {0x0000000000000000, 0x0000000000000000, 0x4EF997456198DD78},
    {0xFFFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF, 0x51866FD5B85ECB8A},
    {0x3000000000000000, 0x1000000000000001, 0x7D856F9A613063F2},
    {0x1111111111111111, 0x1111111111111111, 0x2466DD878B963C9D},
    {0x0123456789ABCDEF, 0x1111111111111111, 0x61F9C3802281B096},
    {0x1111111111111111, 0x0123456789ABCDEF, 0x7D0CC630AFDA1EC7},
    {0xFEDCBA9876543210, 0x0123456789ABCDEF, 0x0ACEAB0FC6A0A28D},
    {0x7CA110454A1A6E57, 0x01A1D6D039776742, 0x59C68245EB05282B},
    {0x0131D9619DC1376E, 0x5CD54CA83DEF57DA, 0xB1B8CC0B250F09A0},
};

void key_bytes(uint64_t key, uint8_t (&out)[8]) {
    for (int i = 0; i < 8; ++i)
        out[i] = uint8_t(key >> (56 - 8 * i));
}

TEST(blowfish, published_vectors_on_words) {
    for (const auto& c : published) {
        uint8_t key[8];
        key_bytes(c.key, key);
        cl::blowfish cipher;
        cipher.set_key(key, sizeof key);
        uint32_t l = uint32_t(c.plain >> 32), r = uint32_t(c.plain);
        cipher.encrypt_block(l, r);
        EXPECT_EQ((uint64_t(l) << 32) | r, c.cipher) << std::hex << c.key;
        cipher.decrypt_block(l, r);
        EXPECT_EQ((uint64_t(l) << 32) | r, c.plain) << std::hex << c.key;
    }
}

// The buffer form reads each half little-endian, so the published big-endian
// blocks are written with each 4-byte half reversed.
void put_reversed_halves(uint64_t block, uint8_t* out) {
    const uint32_t halves[2] = {uint32_t(block >> 32), uint32_t(block)};
    for (int h = 0; h < 2; ++h)
        for (int i = 0; i < 4; ++i)
            out[4 * h + i] = uint8_t(halves[h] >> (8 * i));
}

TEST(blowfish, published_vectors_on_buffers_with_reversed_halves) {
    for (const auto& c : published) {
        uint8_t key[8];
        key_bytes(c.key, key);
        cl::blowfish cipher;
        cipher.set_key(key, sizeof key);
        uint8_t buffer[8], expected[8];
        put_reversed_halves(c.plain, buffer);
        put_reversed_halves(c.cipher, expected);
        cipher.encrypt(buffer, sizeof buffer);
        EXPECT_EQ(0, std::memcmp(buffer, expected, 8)) << std::hex << c.key;
    }
}

TEST(blowfish, text_key_vector) {
    // A key longer than the P-array needs in one pass, and one that cycles.
    const std::string key = "abcdefghijklmnopqrstuvwxyz";
    cl::blowfish cipher;
    cipher.set_key(key.data(), key.size());
    uint32_t l = 0x424c4f57, r = 0x46495348; // "BLOWFISH"
    cipher.encrypt_block(l, r);
    EXPECT_EQ(l, 0x324ed0feu);
    EXPECT_EQ(r, 0xf413a203u);
}

TEST(blowfish, round_trip_restores_every_length_and_resetting_the_key_starts_fresh) {
    const std::string key = "secret";
    cl::blowfish cipher;
    cipher.set_key(key.data(), key.size());
    for (size_t blocks = 0; blocks <= 5; ++blocks) {
        std::vector<uint8_t> data(blocks * 8);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = uint8_t(i * 37 + 1);
        std::vector<uint8_t> work = data;
        cipher.encrypt(work.data(), work.size());
        if (blocks != 0) {
            EXPECT_NE(work, data);
        }
        cipher.decrypt(work.data(), work.size());
        EXPECT_EQ(work, data) << blocks << " blocks";
    }

    // Electronic-codebook mode: equal blocks give equal cipher blocks.
    uint8_t two[16] = {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8};
    cipher.encrypt(two, sizeof two);
    EXPECT_EQ(0, std::memcmp(two, two + 8, 8));

    // A second key schedule does not build on the first.
    cl::blowfish once;
    once.set_key("other", 5);
    cipher.set_key("other", 5);
    uint32_t a = 1, b = 2, c = 1, d = 2;
    once.encrypt_block(a, b);
    cipher.encrypt_block(c, d);
    EXPECT_EQ(a, c);
    EXPECT_EQ(b, d);
}

TEST(blowfish, partial_blocks_are_refused_untouched) {
    cl::blowfish cipher;
    cipher.set_key("k", 1);
    uint8_t data[12] = {};
    EXPECT_THROW(cipher.encrypt(data, sizeof data), std::invalid_argument);
    EXPECT_THROW(cipher.decrypt(data, 7), std::invalid_argument);
    for (uint8_t b : data)
        EXPECT_EQ(b, 0);
}

} // namespace
