// MD5 message digests (RFC 1321): Digest authentication, entity tags and the
// machine's entropy digest are built on it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cl {

class md5 {
  public:
    static constexpr size_t digest_size = 16;

    md5() { init(); }

    // Back to the initial state: nothing hashed, not finished.
    void init();

    // Hashes more input. Feeding a finished context is a programming error
    // (std::logic_error): its digest is already fixed.
    void update(const void* data, size_t length);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }

    // Pads and finishes on the first call; every call copies the same digest.
    void final(uint8_t (&out)[digest_size]);

    // The digest as 32 lower-case hexadecimal digits (finishes the context).
    std::string hex();

    // init, update and final in one call.
    static void calc(const void* data, size_t length, uint8_t (&out)[digest_size]);

  private:
    void transform(const uint8_t* block);

    uint32_t state_[4];
    uint64_t bit_count_;
    uint8_t buffer_[64];
    bool finished_;
};

} // namespace cl
