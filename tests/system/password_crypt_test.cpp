#include "system/password_crypt.h"

#include "core/blowfish.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Enciphers a hand-made block under key and renders it as hex, to forge stored
// values that encrypt_hex_string would never produce.
std::wstring forge(std::vector<uint8_t> block, const std::string& key) {
    cl::blowfish cipher;
    cipher.set_key(key.data(), key.size());
    cipher.encrypt(block.data(), block.size());
    std::wstring hex;
    for (uint8_t b : block) {
        hex += L"0123456789abcdef"[b >> 4];
        hex += L"0123456789abcdef"[b & 15];
    }
    return hex;
}

std::vector<uint8_t> block_with_length(uint32_t length, size_t size) {
    std::vector<uint8_t> block(size, 0);
    for (int i = 0; i < 4; ++i)
        block[i] = uint8_t(length >> (8 * i));
    return block;
}

TEST(password_crypt, hex_length_follows_the_utf16_length) {
    struct {
        std::wstring text;
        size_t hex_length;
    } const cases[] = {
        {L"", 16},
        {L"a", 32},
        {L"abcd", 32},
        {L"abcde", 48},
        {L"abcdefgh", 48},
        {L"abcdefghi", 64},
        {L"\U0001F600xy", 32}, // one code point beyond U+FFFF takes two units
        {L"\U0001F600xyz", 48},
    };
    for (const auto& c : cases) {
        const std::wstring hex = encrypt_hex_string(c.text, "master");
        EXPECT_EQ(hex.size(), c.hex_length) << hex;
        EXPECT_EQ(hex.find_first_not_of(L"0123456789abcdef"), std::wstring::npos) << hex;
        EXPECT_EQ(decrypt_hex_string(hex, "master"), c.text);
    }
}

TEST(password_crypt, stored_layout_is_length_word_then_utf16le) {
    // The layout is what other builds read back, so check it byte for byte.
    std::vector<uint8_t> block = block_with_length(3, 16);
    const uint8_t text[] = {'p', 0, 0xe9, 0, '!', 0};
    std::copy(std::begin(text), std::end(text), block.begin() + 8);
    EXPECT_EQ(encrypt_hex_string(L"p\u00e9!", "key"), forge(block, "key"));
}

TEST(password_crypt, deterministic_case_insensitive_and_keyed) {
    const std::wstring hex = encrypt_hex_string(L"secret", "one");
    EXPECT_EQ(encrypt_hex_string(L"secret", "one"), hex);
    std::wstring upper = hex;
    for (auto& c : upper)
        c = towupper(c);
    EXPECT_EQ(decrypt_hex_string(upper, "one"), L"secret");

    // Another master password cannot read the value back.
    EXPECT_NE(encrypt_hex_string(L"secret", "two"), hex);
    EXPECT_NE(decrypt_hex_string(hex, "two"), L"secret");
}

TEST(password_crypt, empty_key_is_the_default_key) {
    const std::wstring with_default = encrypt_hex_string(L"pass", "");
    EXPECT_EQ(encrypt_hex_string(L"pass", ""), with_default);
    EXPECT_EQ(decrypt_hex_string(with_default, ""), L"pass");
    EXPECT_NE(encrypt_hex_string(L"pass", "x"), with_default);
}

TEST(password_crypt, malformed_hex_is_rejected_cleanly) {
    const std::wstring good = encrypt_hex_string(L"text", "k");
    const std::wstring rejected[] = {
        L"",
        good.substr(1),                       // odd length
        good.substr(0, 24),                   // 12 bytes: not whole blocks
        good.substr(0, 30) + L"g0",           // not a hex digit
        good.substr(0, 30) + L" 0",           // blank inside
        good.substr(0, 30) + L"\u0660\u0661", // digits of another script
        good.substr(0, 31) + L":",
    };
    for (const auto& hex : rejected)
        EXPECT_EQ(decrypt_hex_string(hex, "k"), L"") << hex;
}

TEST(password_crypt, length_word_beyond_the_block_is_rejected) {
    // 16 bytes hold at most 4 code units.
    EXPECT_EQ(decrypt_hex_string(forge(block_with_length(5, 16), "k"), "k"), L"");
    EXPECT_EQ(decrypt_hex_string(forge(block_with_length(0xFFFFFFFF, 16), "k"), "k"), L"");
    // Twice this length wraps to 0 in 32 bits; it must not pass the check.
    EXPECT_EQ(decrypt_hex_string(forge(block_with_length(0x80000000, 16), "k"), "k"), L"");
    EXPECT_EQ(decrypt_hex_string(forge(block_with_length(0x80000001, 16), "k"), "k"), L"");
    // A block of only the header holds nothing but the empty text.
    EXPECT_EQ(decrypt_hex_string(forge(block_with_length(1, 8), "k"), "k"), L"");
    // Exactly full is accepted; zero fill and the second header word are ignored.
    std::vector<uint8_t> full = block_with_length(4, 16);
    full[4] = 0x55;
    for (int i = 0; i < 4; ++i)
        full[8 + 2 * i] = uint8_t('w' + i);
    EXPECT_EQ(decrypt_hex_string(forge(full, "k"), "k"), L"wxyz");
}

TEST(password_crypt, unpaired_surrogates_become_replacement_characters) {
    std::vector<uint8_t> block = block_with_length(3, 16);
    const uint8_t units[] = {0x00, 0xD8, 'a', 0, 0x00, 0xDC}; // high, 'a', low
    std::copy(std::begin(units), std::end(units), block.begin() + 8);
    EXPECT_EQ(decrypt_hex_string(forge(block, "k"), "k"), L"\uFFFDa\uFFFD");

    std::wstring invalid = L"a";
    invalid += wchar_t(0xD800);
    invalid += wchar_t(0x110000);
    EXPECT_EQ(decrypt_hex_string(encrypt_hex_string(invalid, "k"), "k"), L"a\uFFFD\uFFFD");
}

} // namespace
