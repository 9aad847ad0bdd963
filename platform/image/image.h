// Raster images for scripts: decode a file, scale it with a chosen
// interpolation, encode it by file extension into a file or into memory.
// Built on libgd. Status numbers follow the ones the script traces report
// (0 ok, 1 generic error, 2 invalid parameter, 3 out of memory, 10 file not
// found, 13 unknown image format).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace image {

enum status : int {
    ok = 0,
    generic_error = 1,
    invalid_parameter = 2,
    out_of_memory = 3,
    file_not_found = 10,
    unknown_image_format = 13,
};

// Interpolation modes as scripts number them: 0 default, 1 low, 2 high,
// 3 bilinear, 4 bicubic, 5 nearest neighbour, 6 high-quality bilinear,
// 7 high-quality bicubic.
constexpr int interpolation_modes = 8;

// Images larger than this are refused from their header, before any pixel is
// decoded: a small file can claim a size whose pixels would not fit in memory.
constexpr int64_t max_pixels = 64ll * 1024 * 1024;
constexpr int max_side = 32768;
// Files larger than this are not read.
constexpr int64_t max_file_size = 256ll * 1024 * 1024;

class bitmap {
  public:
    ~bitmap();
    bitmap(const bitmap&) = delete;
    bitmap& operator=(const bitmap&) = delete;

    // Decodes PNG, JPEG, GIF or BMP by content. Null with *st set on failure.
    static std::unique_ptr<bitmap> load(const std::string& path, int* st);
    static std::unique_ptr<bitmap> decode(const std::vector<uint8_t>& bytes, int* st);
    // The size a file's header claims (false when the format is unknown or the
    // header is cut short).
    static bool probe_size(const uint8_t* data, std::size_t n, int* w, int* h);

    int width() const;
    int height() const;
    bool true_colour() const;
    // A new image of the size drawn from this one; palette images are turned
    // into true colour first.
    std::unique_ptr<bitmap> scaled(int w, int h, int mode, int* st) const;
    // Encodes by extension (".png", ".jpg", ".jpeg", ".jpe", ".jfif", ".gif",
    // ".bmp", any letter case); unknown_image_format for any other.
    int encode(const std::string& ext, std::vector<uint8_t>& out) const;
    // Encodes and writes through a temporary file renamed over the target.
    int save(const std::string& path, const std::string& ext) const;

  private:
    explicit bitmap(void* img) : img_(img) {}
    void* img_; // gdImagePtr
};

// Whether an extension (with its dot) has an encoder.
bool has_encoder(const std::string& ext);

} // namespace image
