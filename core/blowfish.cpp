#include "core/blowfish.h"
#include "core/bytes.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace cl {
namespace {

constexpr size_t p_words = 18;
constexpr size_t sbox_words = 4 * 256;

constexpr uint32_t pi_words[p_words + sbox_words] = {
#include "core/blowfish_pi.inc"
};

void check_length(size_t length) {
    if (length % blowfish::block_size != 0)
        throw std::invalid_argument("blowfish: length is not a multiple of 8");
}

} // namespace

blowfish::blowfish()
    : p_(std::make_unique<uint32_t[]>(p_words)), sbox_(std::make_unique<uint32_t[]>(sbox_words)) {
    std::copy_n(pi_words, p_words, p_.get());
    std::copy_n(pi_words + p_words, sbox_words, sbox_.get());
}

blowfish::~blowfish() {
    // The schedule is derived from a secret key: do not leave it in freed memory.
    volatile uint32_t* p = p_.get();
    for (size_t i = 0; i < p_words; ++i)
        p[i] = 0;
    volatile uint32_t* s = sbox_.get();
    for (size_t i = 0; i < sbox_words; ++i)
        s[i] = 0;
}

uint32_t blowfish::f(uint32_t x) const {
    const uint32_t* s = sbox_.get();
    return ((s[x >> 24] + s[256 + ((x >> 16) & 0xff)]) ^ s[512 + ((x >> 8) & 0xff)]) +
           s[768 + (x & 0xff)];
}

void blowfish::encrypt_block(uint32_t& left, uint32_t& right) const {
    uint32_t l = left, r = right;
    for (size_t i = 0; i < rounds; ++i) {
        l ^= p_[i];
        r ^= f(l);
        std::swap(l, r);
    }
    std::swap(l, r);
    r ^= p_[rounds];
    l ^= p_[rounds + 1];
    left = l;
    right = r;
}

void blowfish::decrypt_block(uint32_t& left, uint32_t& right) const {
    uint32_t l = left, r = right;
    for (size_t i = rounds + 1; i > 1; --i) {
        l ^= p_[i];
        r ^= f(l);
        std::swap(l, r);
    }
    std::swap(l, r);
    r ^= p_[1];
    l ^= p_[0];
    left = l;
    right = r;
}

void blowfish::set_key(const void* key, size_t length) {
    std::copy_n(pi_words, p_words, p_.get());
    std::copy_n(pi_words + p_words, sbox_words, sbox_.get());
    const uint8_t* k = static_cast<const uint8_t*>(key);
    if (length != 0) {
        size_t at = 0;
        for (size_t i = 0; i < p_words; ++i) {
            uint32_t word = 0;
            for (int b = 0; b < 4; ++b) {
                word = (word << 8) | k[at];
                at = (at + 1) % length;
            }
            p_[i] ^= word;
        }
    }
    uint32_t l = 0, r = 0;
    for (size_t i = 0; i < p_words; i += 2) {
        encrypt_block(l, r);
        p_[i] = l;
        p_[i + 1] = r;
    }
    for (size_t i = 0; i < sbox_words; i += 2) {
        encrypt_block(l, r);
        sbox_[i] = l;
        sbox_[i + 1] = r;
    }
}

void blowfish::encrypt(void* buffer, size_t length) const {
    check_length(length);
    uint8_t* at = static_cast<uint8_t*>(buffer);
    for (size_t done = 0; done < length; done += block_size, at += block_size) {
        uint32_t l = load_le32(at), r = load_le32(at + 4);
        encrypt_block(l, r);
        store_le32(at, l);
        store_le32(at + 4, r);
    }
}

void blowfish::decrypt(void* buffer, size_t length) const {
    check_length(length);
    uint8_t* at = static_cast<uint8_t*>(buffer);
    for (size_t done = 0; done < length; done += block_size, at += block_size) {
        uint32_t l = load_le32(at), r = load_le32(at + 4);
        decrypt_block(l, r);
        store_le32(at, l);
        store_le32(at + 4, r);
    }
}

} // namespace cl
