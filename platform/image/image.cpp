#include "platform/image/image.h"

#include <gd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace image {

namespace {

gdImagePtr img_of(void* p) {
    return static_cast<gdImagePtr>(p);
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint32_t le32(const uint8_t* p) {
    return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

enum class format { unknown, png, jpeg, gif, bmp };

format sniff(const uint8_t* d, std::size_t n) {
    if (n >= 8 && std::memcmp(d, "\x89PNG\r\n\x1a\n", 8) == 0) return format::png;
    if (n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF) return format::jpeg;
    if (n >= 6 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0))
        return format::gif;
    if (n >= 2 && d[0] == 'B' && d[1] == 'M') return format::bmp;
    return format::unknown;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

gdInterpolationMethod method_of(int mode) {
    switch (mode) {
    case 1:
        return GD_BILINEAR_FIXED; // low
    case 2:
        return GD_BICUBIC; // high
    case 3:
        return GD_BILINEAR_FIXED; // bilinear
    case 4:
        return GD_BICUBIC_FIXED; // bicubic
    case 5:
        return GD_NEAREST_NEIGHBOUR; // nearest neighbour
    case 6:
        return GD_TRIANGLE; // high-quality bilinear
    case 7:
        return GD_CATMULLROM; // high-quality bicubic
    default:
        return GD_BILINEAR_FIXED;
    }
}

bool read_file(const std::string& path, std::vector<uint8_t>& out, int* st) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *st = (errno == ENOENT || errno == ENOTDIR) ? file_not_found : generic_error;
        return false;
    }
    struct stat s;
    if (::fstat(fd, &s) != 0 || !S_ISREG(s.st_mode) || s.st_size > max_file_size) {
        ::close(fd);
        *st = S_ISDIR(s.st_mode) ? file_not_found : out_of_memory;
        return false;
    }
    out.resize(static_cast<std::size_t>(s.st_size));
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t r = ::read(fd, out.data() + got, out.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    ::close(fd);
    out.resize(got);
    return true;
}

} // namespace

bitmap::~bitmap() {
    if (img_) gdImageDestroy(img_of(img_));
}

bool bitmap::probe_size(const uint8_t* d, std::size_t n, int* w, int* h) {
    uint64_t ww = 0, hh = 0;
    switch (sniff(d, n)) {
    case format::png:
        if (n < 24 || std::memcmp(d + 12, "IHDR", 4) != 0) return false;
        ww = be32(d + 16);
        hh = be32(d + 20);
        break;
    case format::gif:
        if (n < 10) return false;
        ww = d[6] | (d[7] << 8);
        hh = d[8] | (d[9] << 8);
        break;
    case format::bmp: {
        if (n < 26) return false;
        ww = le32(d + 18);
        const int32_t sh = static_cast<int32_t>(le32(d + 22));
        hh = sh < 0 ? uint64_t(-int64_t(sh)) : uint64_t(sh);
        if (static_cast<int32_t>(ww) < 0) return false;
        break;
    }
    case format::jpeg: {
        // The frame header (a start-of-frame marker) holds the size.
        std::size_t i = 2;
        for (;;) {
            while (i < n && d[i] != 0xFF)
                ++i;
            while (i < n && d[i] == 0xFF)
                ++i;
            if (i + 7 >= n) return false;
            const uint8_t m = d[i];
            const std::size_t len = (std::size_t(d[i + 1]) << 8) | d[i + 2];
            if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
                hh = (uint32_t(d[i + 4]) << 8) | d[i + 5];
                ww = (uint32_t(d[i + 6]) << 8) | d[i + 7];
                break;
            }
            if (m == 0xD9 || m == 0xDA || len < 2) return false;
            i += 1 + len;
        }
        break;
    }
    default:
        return false;
    }
    if (ww > uint64_t(INT32_MAX) || hh > uint64_t(INT32_MAX)) return false;
    *w = static_cast<int>(ww);
    *h = static_cast<int>(hh);
    return true;
}

std::unique_ptr<bitmap> bitmap::decode(const std::vector<uint8_t>& bytes, int* st) {
    int w = 0, h = 0;
    if (!probe_size(bytes.data(), bytes.size(), &w, &h)) {
        *st = unknown_image_format;
        return nullptr;
    }
    if (w <= 0 || h <= 0 || w > max_side || h > max_side || int64_t(w) * h > max_pixels) {
        *st = out_of_memory;
        return nullptr;
    }
    const int n = static_cast<int>(bytes.size());
    void* data = const_cast<uint8_t*>(bytes.data());
    gdImagePtr img = nullptr;
    switch (sniff(bytes.data(), bytes.size())) {
    case format::png:
        img = gdImageCreateFromPngPtr(n, data);
        break;
    case format::jpeg:
        img = gdImageCreateFromJpegPtr(n, data);
        break;
    case format::gif:
        img = gdImageCreateFromGifPtr(n, data);
        break;
    case format::bmp:
        img = gdImageCreateFromBmpPtr(n, data);
        break;
    default:
        break;
    }
    if (!img) {
        *st = unknown_image_format;
        return nullptr;
    }
    *st = ok;
    return std::unique_ptr<bitmap>(new bitmap(img));
}

std::unique_ptr<bitmap> bitmap::load(const std::string& path, int* st) {
    std::vector<uint8_t> bytes;
    if (!read_file(path, bytes, st)) return nullptr;
    return decode(bytes, st);
}

int bitmap::width() const {
    return gdImageSX(img_of(img_));
}
int bitmap::height() const {
    return gdImageSY(img_of(img_));
}
bool bitmap::true_colour() const {
    return gdImageTrueColor(img_of(img_));
}

std::unique_ptr<bitmap> bitmap::scaled(int w, int h, int mode, int* st) const {
    if (w <= 0 || h <= 0 || w > max_side || h > max_side || int64_t(w) * h > max_pixels) {
        *st = invalid_parameter;
        return nullptr;
    }
    gdImagePtr src = img_of(img_);
    // Scaling blends neighbouring pixels, which a palette cannot hold.
    if (!gdImageTrueColor(src) && !gdImagePaletteToTrueColor(src)) {
        *st = out_of_memory;
        return nullptr;
    }
    gdImageSetInterpolationMethod(src, method_of(mode));
    gdImagePtr out = gdImageScale(src, static_cast<unsigned>(w), static_cast<unsigned>(h));
    if (!out) {
        *st = generic_error;
        return nullptr;
    }
    gdImageSaveAlpha(out, 1);
    *st = ok;
    return std::unique_ptr<bitmap>(new bitmap(out));
}

bool has_encoder(const std::string& ext) {
    static const char* const known[] = {".png", ".jpg", ".jpeg", ".jpe", ".jfif", ".gif", ".bmp"};
    const std::string e = lower(ext);
    return std::find_if(std::begin(known), std::end(known),
                        [&](const char* k) { return e == k; }) != std::end(known);
}

int bitmap::encode(const std::string& ext, std::vector<uint8_t>& out) const {
    const std::string e = lower(ext);
    gdImagePtr img = img_of(img_);
    int size = 0;
    void* p = nullptr;
    if (e == ".png") {
        gdImageSaveAlpha(img, 1);
        p = gdImagePngPtr(img, &size);
    } else if (e == ".jpg" || e == ".jpeg" || e == ".jpe" || e == ".jfif") {
        p = gdImageJpegPtr(img, &size, -1);
    } else if (e == ".gif") {
        p = gdImageGifPtr(img, &size);
    } else if (e == ".bmp") {
        p = gdImageBmpPtr(img, &size, 0);
    } else {
        return unknown_image_format;
    }
    if (!p || size <= 0) {
        if (p) gdFree(p);
        return generic_error;
    }
    out.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + size);
    gdFree(p);
    return ok;
}

int bitmap::save(const std::string& path, const std::string& ext) const {
    std::vector<uint8_t> bytes;
    if (const int st = encode(ext, bytes); st != ok) return st;
    // The old file stays whole until the new one is complete on disk.
    std::string temp;
    int fd = -1;
    std::random_device rd;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(rd()));
        temp = path + suffix;
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return errno == ENOENT ? file_not_found : generic_error;
    std::size_t done = 0;
    bool good = true;
    while (done < bytes.size()) {
        const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            good = false;
            break;
        }
        done += static_cast<std::size_t>(w);
    }
    good = good && ::fsync(fd) == 0;
    good = ::close(fd) == 0 && good;
    if (!good || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return generic_error;
    }
    return ok;
}

} // namespace image
