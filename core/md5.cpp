#include "core/md5.h"
#include "core/bytes.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace cl {
namespace {

// Per-step left rotations, four per round.
constexpr unsigned shift_table[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// The additive constants: floor(abs(sin(i + 1)) * 2^32).
constexpr uint32_t sine_table[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t rotl(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

} // namespace

void md5::init() {
    state_[0] = 0x67452301;
    state_[1] = 0xefcdab89;
    state_[2] = 0x98badcfe;
    state_[3] = 0x10325476;
    bit_count_ = 0;
    std::memset(buffer_, 0, sizeof buffer_);
    finished_ = false;
}

void md5::transform(const uint8_t* block) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = load_le32(block + 4 * i);
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (unsigned i = 0; i < 64; ++i) {
        const unsigned round = i / 16;
        uint32_t f;
        unsigned g;
        switch (round) {
        case 0:
            f = (b & c) | (~b & d);
            g = i;
            break;
        case 1:
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
            break;
        }
        const uint32_t next = b + rotl(a + f + sine_table[i] + x[g], shift_table[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void md5::update(const void* data, size_t length) {
    if (finished_) throw std::logic_error("md5::update after final");
    if (length == 0) return;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    size_t used = size_t(bit_count_ / 8 % 64);
    bit_count_ += uint64_t(length) * 8;
    if (used != 0) {
        const size_t take = std::min(length, 64 - used);
        std::memcpy(buffer_ + used, in, take);
        in += take;
        length -= take;
        if (used + take < 64) return;
        transform(buffer_);
    }
    for (; length >= 64; in += 64, length -= 64)
        transform(in);
    if (length != 0) std::memcpy(buffer_, in, length);
}

void md5::final(uint8_t (&out)[digest_size]) {
    if (!finished_) {
        const uint64_t bits = bit_count_;
        size_t used = size_t(bits / 8 % 64);
        buffer_[used++] = 0x80;
        if (used > 56) {
            std::memset(buffer_ + used, 0, 64 - used);
            transform(buffer_);
            used = 0;
        }
        std::memset(buffer_ + used, 0, 56 - used);
        for (int i = 0; i < 8; ++i)
            buffer_[56 + i] = uint8_t(bits >> (8 * i));
        transform(buffer_);
        // The buffer held the tail of the input; it has no further use.
        std::memset(buffer_, 0, sizeof buffer_);
        finished_ = true;
    }
    for (int i = 0; i < 4; ++i)
        store_le32(out + 4 * i, state_[i]);
}

std::string md5::hex() {
    static constexpr char digits[] = "0123456789abcdef";
    uint8_t digest[digest_size];
    final(digest);
    std::string text;
    text.reserve(2 * digest_size);
    for (uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

void md5::calc(const void* data, size_t length, uint8_t (&out)[digest_size]) {
    md5 context;
    context.update(data, length);
    context.final(out);
}

} // namespace cl
