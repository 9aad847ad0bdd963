#include "server/deflate.h"

#include "core/dll_registry.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Binds the functions for one test and gives them back after it.
class Deflate : public ::testing::Test {
  protected:
    void SetUp() override { bind_compression(L"/opt/tesk/"); }
    void TearDown() override { release_compression(); }
};

// Text that compresses well in stretches and poorly in others, so zlib
// emits blocks of very different sizes.
std::string sample(std::size_t size) {
    std::string s;
    s.reserve(size);
    uint32_t x = 12345;
    while (s.size() < size) {
        x = x * 1103515245u + 12345u;
        if ((x >> 20) % 3 == 0) {
            s += "The quick brown fox jumps over the lazy dog. ";
        } else {
            for (int i = 0; i < 64 && s.size() < size; ++i) {
                x = x * 1103515245u + 12345u;
                s += static_cast<char>(x >> 24);
            }
        }
    }
    s.resize(size);
    return s;
}

// Decompresses with zlib's own inflate; window_bits as for inflateInit2.
bool inflate_all(const std::string& packed, int window_bits, std::string& out) {
    z_stream z{};
    if (inflateInit2(&z, window_bits) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = static_cast<uInt>(packed.size());
    int r = Z_OK;
    char buf[4096];
    while (r == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        r = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    }
    const bool whole = r == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return whole;
}

// Feeds input in pieces of `piece` bytes, taking the output away after every
// call as a sender of chunks would, and finishes with an empty piece.
std::string compress_in_pieces(deflate_stream& s, const std::string& input, std::size_t piece) {
    std::string sent, out;
    for (std::size_t pos = 0; pos < input.size(); pos += piece) {
        EXPECT_EQ(deflate_append(s, out, std::string_view(input).substr(pos, piece), false), Z_OK);
        sent += out;
        out.clear();
    }
    EXPECT_EQ(deflate_append(s, out, {}, true), Z_STREAM_END);
    sent += out;
    return sent;
}

} // namespace

TEST_F(Deflate, BindsThroughTheRegistry) {
    const auto& c = compression();
    EXPECT_EQ(c.dll_path, L"/opt/tesk/zlibwapi.dll");
    EXPECT_TRUE(c.deflate && c.deflate_end && c.deflate_init2);
    EXPECT_EQ(cl::dll_registry::instance().use_count(c.dll_path), 3u);
    release_compression();
    EXPECT_EQ(cl::dll_registry::instance().use_count(c.dll_path), 0u);
    EXPECT_FALSE(c.deflate || c.deflate_end || c.deflate_init2);
}

TEST_F(Deflate, RoundTripsInSmallPiecesEveryForm) {
    const std::string input = sample(600000);
    struct form {
        int window_bits, inflate_bits;
        std::size_t piece;
    };
    for (const form f : {form{15 + 16, 15 + 16, 1000}, form{-15, -15, 7}, form{15, 15, 4096},
                         form{9 + 16, 15 + 32, 1}, form{-12, -15, 333}}) {
        deflate_stream s;
        ASSERT_EQ(deflate_init(s, 6, f.window_bits, 9), Z_OK) << f.window_bits;
        const std::string sent =
            compress_in_pieces(s, f.piece == 1 ? input.substr(0, 100000) : input, f.piece);
        std::string back;
        ASSERT_TRUE(inflate_all(sent, f.inflate_bits, back)) << f.window_bits;
        EXPECT_TRUE(back == (f.piece == 1 ? input.substr(0, 100000) : input)) << f.window_bits;
        EXPECT_EQ(s.total_out(), sent.size());
    }
}

TEST_F(Deflate, GzipCarriesItsHeader) {
    deflate_stream s;
    ASSERT_EQ(deflate_init(s, 9, 15 + 16, 8), Z_OK);
    std::string out;
    EXPECT_EQ(deflate_append(s, out, "hello hello hello", true), Z_STREAM_END);
    ASSERT_GE(out.size(), 18u);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(out[1]), 0x8b);
    std::string back;
    ASSERT_TRUE(inflate_all(out, 15 + 16, back));
    EXPECT_EQ(back, "hello hello hello");
}

TEST_F(Deflate, OneCallWithFinishHoldsTheWholeBody) {
    const std::string input = sample(300000);
    deflate_stream s;
    ASSERT_EQ(deflate_init(s, 1, -15, 1), Z_OK);
    std::string out = "prefix";
    EXPECT_EQ(deflate_append(s, out, input, true), Z_STREAM_END);
    ASSERT_EQ(out.substr(0, 6), "prefix");
    std::string back;
    ASSERT_TRUE(inflate_all(out.substr(6), -15, back));
    EXPECT_TRUE(back == input);
}

TEST_F(Deflate, WindowsZlibRefusesAreClamped) {
    // 8 is refused for gzip and raw deflate; sizes outside 8..15 for all forms.
    for (const auto& [bits, inflate_bits] : std::initializer_list<std::pair<int, int>>{
             {-8, -15}, {8 + 16, 15 + 16}, {8, 15}, {-20, -15}, {3, 15}, {40, 15 + 16}, {0, 15}}) {
        deflate_stream s;
        ASSERT_EQ(deflate_init(s, 6, bits, 9), Z_OK) << bits;
        std::string out;
        EXPECT_EQ(deflate_append(s, out, sample(50000), true), Z_STREAM_END) << bits;
        std::string back;
        ASSERT_TRUE(inflate_all(out, inflate_bits, back)) << bits;
        EXPECT_TRUE(back == sample(50000)) << bits;
    }
}

TEST_F(Deflate, FailedStartProducesNothing) {
    {
        deflate_stream s;
        EXPECT_EQ(deflate_init(s, 42, 15, 9), Z_STREAM_ERROR); // level zlib refuses
        EXPECT_FALSE(s.started());
        std::string out;
        EXPECT_NE(deflate_append(s, out, "body", true), Z_OK);
        EXPECT_NE(s.result(), Z_STREAM_END);
        EXPECT_TRUE(out.empty());
    }
    {
        deflate_stream s; // never started
        std::string out;
        EXPECT_EQ(deflate_append(s, out, "body", false), Z_STREAM_ERROR);
        EXPECT_TRUE(out.empty());
    }
    release_compression();
    {
        deflate_stream s;
        EXPECT_EQ(deflate_init(s, 6, 15, 9), Z_VERSION_ERROR);
        EXPECT_EQ(s.result(), Z_VERSION_ERROR);
        std::string out;
        EXPECT_EQ(deflate_append(s, out, "body", true), Z_VERSION_ERROR);
        EXPECT_TRUE(out.empty());
    }
}

TEST_F(Deflate, StreamOutlivesTheBinding) {
    deflate_stream s;
    ASSERT_EQ(deflate_init(s, 6, 15, 9), Z_OK);
    release_compression(); // the destructor still frees zlib's state
}

TEST_F(Deflate, InputAfterTheEndIsAnError) {
    deflate_stream s;
    ASSERT_EQ(deflate_init(s, 6, -15, 9), Z_OK);
    std::string out;
    ASSERT_EQ(deflate_append(s, out, "abc", true), Z_STREAM_END);
    const auto size = out.size();
    EXPECT_NE(deflate_append(s, out, "more", false), Z_OK);
    EXPECT_EQ(out.size(), size);
    // A restart gives a fresh stream.
    out.clear();
    ASSERT_EQ(deflate_init(s, 6, -15, 9), Z_OK);
    EXPECT_EQ(deflate_append(s, out, "again", true), Z_STREAM_END);
    std::string back;
    ASSERT_TRUE(inflate_all(out, -15, back));
    EXPECT_EQ(back, "again");
}
