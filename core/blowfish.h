// The Blowfish block cipher in electronic-codebook mode; stored passwords are
// kept encrypted with it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace cl {

class blowfish {
  public:
    static constexpr size_t block_size = 8;

    // Starts from the standard tables; call set_key before use.
    blowfish();
    ~blowfish();
    blowfish(const blowfish&) = delete;
    blowfish& operator=(const blowfish&) = delete;

    // The standard key schedule over the key bytes (cycled as needed). An empty
    // key leaves the P-array at its standard values before the schedule runs.
    void set_key(const void* key, size_t length);

    // In place, block by block. Each block is two 32-bit words in little-endian
    // byte order, the word at the lower address being the left half. The length
    // must be a multiple of 8 (std::invalid_argument otherwise): callers pad.
    void encrypt(void* buffer, size_t length) const;
    void decrypt(void* buffer, size_t length) const;

    // One block as two words, left and right half.
    void encrypt_block(uint32_t& left, uint32_t& right) const;
    void decrypt_block(uint32_t& left, uint32_t& right) const;

  private:
    static constexpr size_t rounds = 16;

    uint32_t f(uint32_t x) const;

    std::unique_ptr<uint32_t[]> p_;    // rounds + 2 words
    std::unique_ptr<uint32_t[]> sbox_; // four boxes of 256 words, one after another
};

} // namespace cl
