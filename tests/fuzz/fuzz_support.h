// What the fuzz targets share: a check that fails loudly (libFuzzer keeps
// the input that made it fail), the cutting of an input into pieces at
// places the fuzzer chooses, and a scratch folder for parsers that read
// files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

// A broken promise of the code under test, not of the input: abort, so that
// the run stops with this input as a crash.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

inline std::string_view as_text(const uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// An input read as pieces: its first byte's low four bits count the cuts,
// each of the next bytes gives the length of one piece (1 to 256 bytes),
// and the rest of the input is cut at those lengths, whatever is left
// being the last piece. A seed whose first byte is 0 arrives whole.
inline std::vector<std::string_view> cut_in_pieces(std::string_view in) {
    std::vector<std::string_view> out;
    if (in.empty()) return out;
    std::size_t cuts = static_cast<unsigned char>(in[0]) & 15;
    in.remove_prefix(1);
    std::vector<std::size_t> lengths;
    for (; cuts > 0 && !in.empty(); --cuts) {
        lengths.push_back(static_cast<unsigned char>(in[0]) + std::size_t{1});
        in.remove_prefix(1);
    }
    for (std::size_t n : lengths) {
        if (in.empty()) break;
        out.push_back(in.substr(0, n));
        in.remove_prefix(out.back().size());
    }
    if (!in.empty()) out.push_back(in);
    return out;
}

// Splits off the first byte as a choice among `count` ways to read the
// rest (0 for an empty input).
inline unsigned take_choice(std::string_view& in, unsigned count) {
    if (in.empty()) return 0;
    const unsigned c = static_cast<unsigned char>(in[0]) % count;
    in.remove_prefix(1);
    return c;
}

// A folder of the process's own below TMPDIR (or /tmp), made on first use
// and removed when the process ends normally; ends in "/".
const std::string& scratch_folder();

// Writes bytes to a file (replacing it); false when it could not be written.
bool write_file(const std::string& path, std::string_view bytes);

} // namespace fuzz
