#include "system/password_crypt.h"

#include "core/blowfish.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

// The enciphered block, all integers little-endian:
//   0   u32  length of the text in UTF-16 code units
//   4   u32  0
//   8        the text in UTF-16LE, no terminator, zero-filled to whole blocks
// The UTF-16 form keeps stored values the same size whatever the width of
// wchar_t, so a value written by one build reads the same in another.

namespace {

constexpr size_t header_size = 8;
constexpr wchar_t replacement_char = 0xFFFD;

// Built on every call so that the text does not sit in the binary as one piece.
std::string default_key() {
    return std::string("teskqvel stored secret ") + std::to_string(73'471'957);
}

// Overwrites memory that held a secret before it is freed.
void wipe(void* data, size_t size) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
    for (size_t i = 0; i < size; ++i)
        p[i] = 0;
}

class scoped_wipe {
  public:
    explicit scoped_wipe(std::vector<uint8_t>& data) : data_(data) {}
    ~scoped_wipe() { wipe(data_.data(), data_.size()); }
    scoped_wipe(const scoped_wipe&) = delete;
    scoped_wipe& operator=(const scoped_wipe&) = delete;

  private:
    std::vector<uint8_t>& data_;
};

void make_cipher(cl::blowfish& cipher, std::string& key) {
    if (key.empty()) key = default_key();
    cipher.set_key(key.data(), key.size());
    wipe(key.data(), key.size());
}

// Wide text as UTF-16 code units; a value that is no Unicode scalar value
// (a surrogate or beyond U+10FFFF) becomes U+FFFD.
std::vector<uint16_t> to_utf16(std::wstring_view text) {
    std::vector<uint16_t> units;
    units.reserve(text.size());
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = replacement_char;
        if (c >= 0x10000) {
            c -= 0x10000;
            units.push_back(uint16_t(0xD800 + (c >> 10)));
            units.push_back(uint16_t(0xDC00 + (c & 0x3FF)));
        } else {
            units.push_back(uint16_t(c));
        }
    }
    return units;
}

// count UTF-16LE code units from bytes as wide text; a lone surrogate becomes U+FFFD.
std::wstring from_utf16le(const uint8_t* bytes, size_t count) {
    std::wstring text;
    text.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t u = uint32_t(bytes[2 * i]) | uint32_t(bytes[2 * i + 1]) << 8;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
            const uint32_t next = uint32_t(bytes[2 * i + 2]) | uint32_t(bytes[2 * i + 3]) << 8;
            if (next >= 0xDC00 && next <= 0xDFFF) {
                text += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        text += (u >= 0xD800 && u <= 0xDFFF) ? replacement_char : static_cast<wchar_t>(u);
    }
    return text;
}

int hex_value(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

} // namespace

std::wstring encrypt_hex_string(std::wstring_view text, std::string key) {
    cl::blowfish cipher;
    make_cipher(cipher, key);

    std::vector<uint16_t> units = to_utf16(text);
    if (units.size() > UINT32_MAX / 2 - header_size)
        throw std::length_error("encrypt_hex_string: text too long");
    const size_t text_bytes = 2 * units.size();
    const size_t size = header_size + (text_bytes + 7) / 8 * 8;

    std::vector<uint8_t> block(size, 0);
    scoped_wipe wipe_block(block);
    const uint32_t length = static_cast<uint32_t>(units.size());
    for (int i = 0; i < 4; ++i)
        block[i] = uint8_t(length >> (8 * i));
    for (size_t i = 0; i < units.size(); ++i) {
        block[header_size + 2 * i] = uint8_t(units[i]);
        block[header_size + 2 * i + 1] = uint8_t(units[i] >> 8);
    }
    wipe(units.data(), units.size() * sizeof(uint16_t));

    cipher.encrypt(block.data(), block.size());

    static constexpr wchar_t digits[] = L"0123456789abcdef";
    std::wstring hex;
    hex.reserve(2 * size);
    for (uint8_t byte : block) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

std::wstring decrypt_hex_string(std::wstring_view hex, std::string key) {
    if (hex.empty() || hex.size() % 2 != 0) return {};
    const size_t size = hex.size() / 2;
    if (size % cl::blowfish::block_size != 0) return {};

    std::vector<uint8_t> block(size);
    scoped_wipe wipe_block(block);
    for (size_t i = 0; i < size; ++i) {
        const int high = hex_value(hex[2 * i]);
        const int low = hex_value(hex[2 * i + 1]);
        if (high < 0 || low < 0) return {};
        block[i] = uint8_t(high << 4 | low);
    }

    cl::blowfish cipher;
    make_cipher(cipher, key);
    cipher.decrypt(block.data(), block.size());

    const uint32_t length = uint32_t(block[0]) | uint32_t(block[1]) << 8 |
                            uint32_t(block[2]) << 16 | uint32_t(block[3]) << 24;
    // In 64 bits: twice a 32-bit length cannot wrap, and size >= 8 here.
    if (2 * uint64_t(length) > uint64_t(size - header_size)) return {};
    return from_utf16le(block.data() + header_size, length);
}
