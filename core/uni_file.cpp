#include "core/uni_file.h"

#include "core/text.h"
#include "platform/win32/errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace cl {

// ---------------------------------------------------------------------------
// file_stream

file_stream::file_stream(std::size_t buffer_size)
    // Line reads refill below 16 bytes and keep a few bytes of look-back, so
    // the buffer needs some room beyond both.
    : buf_(std::max<std::size_t>(buffer_size, 64)) {}

file_stream::~file_stream() {
    file_stream::close();
}

int64_t file_stream::size() {
    if (!write_pending()) return -1;
    return file_hnd::size();
}

int file_stream::close() {
    if (!is_open()) return 0;
    const bool synced = file_stream::flush();
    rpos_ = rend_ = wend_ = 0;
    const int r = file_hnd::close();
    return synced ? r : -1;
}

bool file_stream::open(const std::wstring& path, uint32_t flags, uint32_t share) {
    file_stream::close();
    rpos_ = rend_ = wend_ = 0;
    return file_hnd::open(path, flags, share);
}

bool file_stream::write_pending() {
    if (wend_ == 0) return true;
    std::size_t done = 0;
    bool ok = true;
    while (done < wend_) {
        const ssize_t n = ::write(handle(), buf_.data() + done, wend_ - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            win32::set_last_error_from_errno();
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    // What could not be written stays at the front for the next try.
    if (done) std::memmove(buf_.data(), buf_.data() + done, wend_ - done);
    wend_ -= done;
    return ok;
}

bool file_stream::flush() {
    if (!is_open()) return false;
    if (wend_) return write_pending();
    if (rend_ > rpos_) {
        const int64_t back = static_cast<int64_t>(rend_ - rpos_);
        if (file_hnd::seek(-back, 1) < 0) return false;
    }
    rpos_ = rend_ = 0;
    return true;
}

int64_t file_stream::seek(int64_t distance, int method) {
    if (!file_stream::flush()) return -1;
    return file_hnd::seek(distance, method);
}

int64_t file_stream::tell() {
    if (!file_stream::flush()) return -1;
    return file_hnd::seek(0, 1);
}

bool file_stream::set_end() {
    if (!file_stream::flush()) return false;
    const int64_t pos = file_hnd::seek(0, 1);
    if (pos < 0) return false;
    if (::ftruncate(handle(), static_cast<off_t>(pos)) != 0) {
        win32::set_last_error_from_errno();
        return false;
    }
    return true;
}

bool file_stream::fill() {
    if (!readable() || !is_open()) return false;
    if (wend_ && !write_pending()) return false;
    const std::size_t keep_from = rpos_ > lookback ? rpos_ - lookback : 0;
    if (keep_from) {
        std::memmove(buf_.data(), buf_.data() + keep_from, rend_ - keep_from);
        rpos_ -= keep_from;
        rend_ -= keep_from;
    }
    if (rend_ >= buf_.size()) return false;
    const int64_t n =
        file_hnd::read(buf_.data() + rend_, static_cast<int64_t>(buf_.size() - rend_));
    if (n <= 0) return false;
    rend_ += static_cast<std::size_t>(n);
    return true;
}

bool file_stream::get_byte(uint8_t& b) {
    if (rpos_ == rend_ && !fill()) return false;
    if (rpos_ == rend_) return false;
    b = buf_[rpos_++];
    return true;
}

void file_stream::unget_bytes(std::size_t n) {
    rpos_ -= std::min(n, rpos_);
}

int64_t file_stream::read(void* buffer, int64_t count) {
    if (!readable() || !is_open()) return -1;
    if (count <= 0) return 0;
    if (wend_ && !write_pending()) return -1;
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        if (rpos_ < rend_) {
            const auto n = std::min<int64_t>(count - done, static_cast<int64_t>(rend_ - rpos_));
            std::memcpy(out + done, buf_.data() + rpos_, static_cast<std::size_t>(n));
            rpos_ += static_cast<std::size_t>(n);
            done += n;
            continue;
        }
        const int64_t want = count - done;
        if (want >= static_cast<int64_t>(buf_.size())) {
            // Large reads bypass the buffer.
            rpos_ = rend_ = 0;
            const int64_t n = file_hnd::read(out + done, want);
            if (n < 0) return done ? done : -1;
            return done + n;
        }
        if (!fill()) break;
    }
    return done;
}

int64_t file_stream::write(const void* buffer, int64_t count) {
    if (!writable() || !is_open()) return -1;
    if (count <= 0) return 0;
    if (rend_) {
        // Output starts where the reader stands, not at the end of the read-ahead.
        if (!file_stream::flush()) return -1;
    }
    const auto n = static_cast<std::size_t>(count);
    if (n <= buf_.size() - wend_) {
        std::memcpy(buf_.data() + wend_, buffer, n);
        wend_ += n;
        return count;
    }
    if (!write_pending()) return -1;
    if (n < buf_.size()) {
        std::memcpy(buf_.data(), buffer, n);
        wend_ = n;
        return count;
    }
    return file_write(handle(), buffer, n) ? count : -1;
}

bool file_stream::read_line(std::string& line) {
    line.clear();
    if (!readable() || !is_open()) {
        set_line_end(le_none);
        return false;
    }
    bool got = false;
    for (;;) {
        if (rend_ - rpos_ < 16) fill();
        if (rpos_ == rend_) break;
        const uint8_t* p = buf_.data() + rpos_;
        const std::size_t avail = rend_ - rpos_;
        std::size_t i = 0;
        while (i < avail && p[i] != '\n' && p[i] != '\r')
            ++i;
        line.append(reinterpret_cast<const char*>(p), i);
        rpos_ += i;
        got = true;
        if (i == avail) continue;
        const uint8_t end = buf_[rpos_++];
        if (end == '\n') {
            set_line_end(le_lf);
            return true;
        }
        // A CR: look at the next byte, refilling when the CR was the last one.
        if (rpos_ == rend_) fill();
        if (rpos_ < rend_ && buf_[rpos_] == '\n') {
            ++rpos_;
            set_line_end(le_crlf);
        } else {
            set_line_end(le_cr);
        }
        return true;
    }
    set_line_end(le_none);
    return got;
}

// ---------------------------------------------------------------------------
// uni_file

namespace {

constexpr uint8_t bom_utf8[] = {0xEF, 0xBB, 0xBF};
constexpr uint8_t bom_utf16le[] = {0xFF, 0xFE};
constexpr uint8_t bom_utf16be[] = {0xFE, 0xFF};
constexpr uint8_t bom_utf32le[] = {0xFF, 0xFE, 0x00, 0x00};
constexpr uint8_t bom_utf32be[] = {0x00, 0x00, 0xFE, 0xFF};

// Encoding and mark length of the first bytes of a file.
std::pair<int, uint8_t> detect_bom(const uint8_t* b, int64_t n) {
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) return {enc_utf8, 3};
    if (n >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) return {enc_utf32le, 4};
    if (n >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) return {enc_utf32be, 4};
    if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) return {enc_utf16le, 2};
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) return {enc_utf16be, 2};
    return {enc_ansi, 0};
}

bool is_high_surrogate(uint32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool is_low_surrogate(uint32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

const char* encoding_name(int encoding) {
    switch (encoding) {
    case enc_ansi:
        return "ANSI";
    case enc_utf8:
        return "UTF-8";
    case enc_utf16le:
        return "UTF-16 litteendian";
    case enc_utf16be:
        return "UTF-16 bigendian";
    case enc_utf32le:
        return "UTF-32 litteendian";
    case enc_utf32be:
        return "UTF-32 bigendian";
    default:
        return "???";
    }
}

uni_file::uni_file() : file_stream(default_buffer_size) {}

uni_file::~uni_file() {
    uni_file::close();
}

void uni_file::reset_state() {
    encoding_ = enc_ansi;
    bom_len_ = 0;
    pushed_count_ = 0;
    held_high_ = 0;
    narrow_out_.clear();
    narrow_in_.clear();
    flags_ &= static_cast<uint8_t>(~uf_pushed);
    set_line_end(le_none);
}

int uni_file::close() {
    // A high surrogate still held has no partner any more.
    if (held_high_ && is_open() && writable()) {
        held_high_ = 0;
        emit(0xFFFD);
    }
    const int r = file_stream::close();
    reset_state();
    return r;
}

bool uni_file::open(const std::wstring& path, uint32_t flags, uint32_t share) {
    return open_with_bom_mode(path, flags, enc_utf16le, share);
}

bool uni_file::open_with_bom_mode(const std::wstring& path, uint32_t flags, int new_file_encoding,
                                  uint32_t share) {
    uni_file::close();
    if (!file_stream::open(path, flags, share)) return false;
    bom_step(new_file_encoding);
    return true;
}

bool uni_file::set_encoding(int encoding, bool without_mark) {
    static constexpr uint8_t lengths[] = {0, 3, 2, 2, 4, 4};
    if (encoding < 0 || encoding > enc_utf32be) return false;
    encoding_ = encoding;
    bom_len_ = without_mark ? 0 : lengths[encoding];
    return true;
}

void uni_file::bom_step(int new_file_encoding) {
    reset_state();
    file_stream::seek(0, 0);
    uint8_t b[4];
    int64_t n = 0;
    if (readable()) {
        while (n < 4 && get_byte(b[n]))
            ++n;
        file_stream::seek(0, 0);
    } else if (file_stream::size() > 0) {
        // Opened for writing only over existing text: learn its encoding from
        // its mark through a descriptor of our own, and never write a mark
        // over its first bytes.
        const int fd = ::open(path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const ssize_t r = ::pread(fd, b, sizeof b, 0);
            n = r > 0 ? r : 0;
            ::close(fd);
        }
        if (n == 0) {
            set_encoding(new_file_encoding, true);
            return;
        }
    }
    if (n > 0) {
        const auto [enc, len] = detect_bom(b, n);
        encoding_ = enc;
        bom_len_ = len;
        file_stream::seek(bom_len_, 0);
        return;
    }
    if (writable()) {
        if (!set_encoding(new_file_encoding)) set_encoding(enc_ansi);
        write_bom();
    }
}

bool uni_file::write_bom() {
    if (encoding_ == enc_ansi || bom_len_ == 0) return true;
    if (!is_open() || !writable()) return false;
    // A mark belongs only at the start of an empty file; anywhere else it
    // would overwrite or split text.
    if (file_stream::tell() != 0 || file_stream::size() != 0) return true;
    const uint8_t* mark = nullptr;
    switch (encoding_) {
    case enc_utf8:
        mark = bom_utf8;
        break;
    case enc_utf16le:
        mark = bom_utf16le;
        break;
    case enc_utf16be:
        mark = bom_utf16be;
        break;
    case enc_utf32le:
        mark = bom_utf32le;
        break;
    case enc_utf32be:
        mark = bom_utf32be;
        break;
    default:
        return false;
    }
    if (file_stream::write(mark, bom_len_) != bom_len_) return false;
    return file_stream::flush();
}

int64_t uni_file::seek(int64_t distance, int method) {
    pushed_count_ = 0;
    flags_ &= static_cast<uint8_t>(~uf_pushed);
    narrow_out_.clear();
    if (method == 0) distance += bom_len_;
    const int64_t r = file_stream::seek(distance, method);
    return r < 0 ? -1 : std::max<int64_t>(r - bom_len_, 0);
}

int64_t uni_file::tell() {
    const int64_t r = file_stream::tell();
    return r < 0 ? -1 : std::max<int64_t>(r - bom_len_, 0);
}

void uni_file::push_char(wchar_t c) {
    if (pushed_count_ < 2) pushed_[pushed_count_++] = c;
    flags_ |= uf_pushed;
}

bool uni_file::read_utf8(wchar_t& c, wchar_t bad) {
    uint8_t b;
    if (!get_byte(b)) return false;
    if (b < 0x80) {
        c = b;
        return true;
    }
    int len;
    uint32_t cp;
    if (b < 0xC0 || b >= 0xFE) {
        c = bad; // a lone continuation byte, 0xFE or 0xFF
        return true;
    } else if (b < 0xE0) {
        len = 2, cp = b & 0x1F;
    } else if (b < 0xF0) {
        len = 3, cp = b & 0x0F;
    } else if (b < 0xF8) {
        len = 4, cp = b & 0x07;
    } else if (b < 0xFC) {
        len = 5, cp = b & 0x03;
    } else {
        len = 6, cp = b & 0x01;
    }
    for (int i = 1; i < len; ++i) {
        uint8_t next;
        if (!get_byte(next)) return false; // the file ends inside the character
        if ((next & 0xC0) != 0x80) {
            // The byte that broke the sequence starts the next character: a
            // line end after a bad lead byte stays a line end.
            unget_bytes(1);
            c = bad;
            return true;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    static constexpr uint32_t min_value[] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
    if (cp < min_value[len] || (cp >= 0xD800 && cp <= 0xDFFF))
        c = replacement_char; // overlong forms and surrogates never pass as text
    else if (cp > 0x10FFFF)
        c = L' ';
    else
        c = static_cast<wchar_t>(cp);
    return true;
}

bool uni_file::read_unit(wchar_t& c) {
    switch (encoding_) {
    case enc_ansi:
        return read_utf8(c, replacement_char);
    case enc_utf8:
        return read_utf8(c, L'?');
    case enc_utf16le:
    case enc_utf16be: {
        const bool le = encoding_ == enc_utf16le;
        auto unit = [&](uint32_t& u) {
            uint8_t a, b;
            if (!get_byte(a)) return false;
            if (!get_byte(b)) return false;
            u = le ? (a | (b << 8)) : ((a << 8) | b);
            return true;
        };
        uint32_t u;
        if (!unit(u)) return false;
        if (is_high_surrogate(u)) {
            uint32_t lo;
            if (!unit(lo)) return false;
            if (is_low_surrogate(lo)) {
                c = static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                return true;
            }
            unget_bytes(2); // the unit after a lone high surrogate is read again
            c = replacement_char;
            return true;
        }
        c = is_low_surrogate(u) ? replacement_char : static_cast<wchar_t>(u);
        return true;
    }
    case enc_utf32le:
    case enc_utf32be: {
        uint8_t b[4];
        for (auto& x : b)
            if (!get_byte(x)) return false;
        const uint32_t v = encoding_ == enc_utf32le
                               ? (b[0] | (b[1] << 8) | (b[2] << 16) | (uint32_t(b[3]) << 24))
                               : ((uint32_t(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3]);
        if (v > 0x10FFFF)
            c = L' ';
        else if (v >= 0xD800 && v <= 0xDFFF)
            c = replacement_char;
        else
            c = static_cast<wchar_t>(v);
        return true;
    }
    default:
        return false;
    }
}

bool uni_file::read_char(wchar_t& c) {
    if (!is_open() || !readable()) return false;
    for (;;) {
        if (pushed_count_) {
            c = pushed_[--pushed_count_];
            if (!pushed_count_) flags_ &= static_cast<uint8_t>(~uf_pushed);
        } else if (!read_unit(c)) {
            return false;
        }
        if ((flags_ & uf_skip_bom_char) && c == 0xFEFF) continue;
        return true;
    }
}

bool uni_file::read_line_w(std::wstring& line) {
    line.clear();
    if (encoding_ == enc_ansi && !pushed_count_) {
        std::string narrow;
        const bool r = file_stream::read_line(narrow);
        line = utf8_to_utf16(narrow);
        return r;
    }
    bool got = false;
    wchar_t c;
    while (read_char(c)) {
        got = true;
        if (c == L'\n') {
            set_line_end(le_lf);
            return true;
        }
        if (c == L'\r') {
            wchar_t next;
            if (read_char(next)) {
                if (next == L'\n') {
                    set_line_end(le_crlf);
                    return true;
                }
                push_char(next);
            }
            set_line_end(le_cr);
            return true;
        }
        if (c == 0xFEFF && line.empty() && (flags_ & uf_skip_bom_line)) continue;
        line.push_back(c);
    }
    set_line_end(le_none);
    return got;
}

bool uni_file::read_line(std::string& line) {
    if (encoding_ == enc_ansi && !pushed_count_) return file_stream::read_line(line);
    std::wstring w;
    const bool r = read_line_w(w);
    line = utf16_to_utf8(w);
    return r;
}

bool uni_file::emit(uint32_t cp) {
    uint8_t b[4];
    int n = 0;
    switch (encoding_) {
    case enc_ansi:
    case enc_utf8: {
        std::string s;
        append_utf8(cp, s);
        return file_stream::write(s.data(), static_cast<int64_t>(s.size())) ==
               static_cast<int64_t>(s.size());
    }
    case enc_utf16le:
    case enc_utf16be: {
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        uint16_t units[2];
        int count = 1;
        if (cp >= 0x10000) {
            units[0] = static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10));
            units[1] = static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            count = 2;
        } else {
            units[0] = static_cast<uint16_t>(cp);
        }
        for (int i = 0; i < count; ++i) {
            const uint16_t u = units[i];
            if (encoding_ == enc_utf16le) {
                b[n++] = static_cast<uint8_t>(u);
                b[n++] = static_cast<uint8_t>(u >> 8);
            } else {
                b[n++] = static_cast<uint8_t>(u >> 8);
                b[n++] = static_cast<uint8_t>(u);
            }
        }
        break;
    }
    case enc_utf32le:
    case enc_utf32be:
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        if (encoding_ == enc_utf32le) {
            b[0] = uint8_t(cp), b[1] = uint8_t(cp >> 8), b[2] = uint8_t(cp >> 16), b[3] = 0;
        } else {
            b[0] = 0, b[1] = uint8_t(cp >> 16), b[2] = uint8_t(cp >> 8), b[3] = uint8_t(cp);
        }
        n = 4;
        break;
    default:
        return false;
    }
    return file_stream::write(b, n) == n;
}

bool uni_file::write_char(wchar_t c) {
    const auto v = static_cast<uint32_t>(c);
    if (held_high_) {
        const uint32_t hi = static_cast<uint32_t>(held_high_);
        held_high_ = 0;
        if (is_low_surrogate(v)) return emit(0x10000 + ((hi - 0xD800) << 10) + (v - 0xDC00));
        if (!emit(0xFFFD)) return false;
    }
    if (is_high_surrogate(v)) {
        held_high_ = c;
        return true;
    }
    return emit(v);
}

bool uni_file::write_text(std::wstring_view text) {
    for (wchar_t c : text)
        if (!write_char(c)) return false;
    return true;
}

bool uni_file::write_line(std::wstring_view text) {
    return write_text(text) && write_text(L"\r\n");
}

bool uni_file::write_text(std::string_view text) {
    return write_text(utf8_to_utf16(text));
}

bool uni_file::get_char_a(char& c) {
    if (narrow_out_.empty()) {
        wchar_t w;
        if (!read_char(w)) return false;
        append_utf8(static_cast<uint32_t>(w), narrow_out_);
        std::reverse(narrow_out_.begin(), narrow_out_.end());
    }
    c = narrow_out_.back();
    narrow_out_.pop_back();
    return true;
}

bool uni_file::put_char_a(char c) {
    narrow_in_.push_back(c);
    std::wstring w;
    utf8_decode_append(narrow_in_, w);
    // A sequence that never completes is bounded by the longest UTF-8 form.
    if (narrow_in_.size() >= 4) {
        w += utf8_to_utf16(narrow_in_);
        narrow_in_.clear();
    }
    return write_text(w);
}

bool copy_file_contents(uni_file& source, uni_file& target, bool exact) {
    if (exact) {
        if (source.file_stream::seek(0, 0) < 0 || target.file_stream::seek(0, 0) < 0) return false;
    }
    std::vector<uint8_t> block(4096);
    for (;;) {
        const int64_t n =
            source.file_stream::read(block.data(), static_cast<int64_t>(block.size()));
        if (n < 0) return false;
        if (n == 0) break;
        if (target.file_stream::write(block.data(), n) != n) return false;
    }
    if (!target.file_stream::flush()) return false;
    if (exact) {
        if (!target.file_stream::set_end()) return false;
        target.bom_step(source.encoding());
    }
    return true;
}

} // namespace cl
