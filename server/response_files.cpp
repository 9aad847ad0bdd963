#include "server/response_files.h"

#include <algorithm>
#include <cstring>

int64_t nul_file::read(void*, int64_t) {
    return 0;
}

int64_t nul_file::write(const void*, int64_t count) {
    return count < 0 ? 0 : count;
}

bool nul_file::set_ranges(const range_list&) {
    return false;
}

int64_t string_file::read(void* buffer, int64_t count) {
    if (count <= 0 || buffer == nullptr) return 0;
    const std::size_t left = text_.size() - pos_;
    const std::size_t n = std::min(left, static_cast<std::size_t>(count));
    std::memcpy(buffer, text_.data() + pos_, n);
    pos_ += n;
    // Drop what was read once half of the text is behind us, so a long body
    // read in pieces costs no repeated moves.
    if (pos_ == text_.size()) {
        text_.clear();
        pos_ = 0;
    } else if (pos_ > text_.size() / 2) {
        text_.erase(0, pos_);
        pos_ = 0;
    }
    return static_cast<int64_t>(n);
}

int64_t writeable_string_file::write(const void* buffer, int64_t count) {
    if (count <= 0 || buffer == nullptr) return 0;
    const std::size_t held = text_.size() - pos_;
    const std::size_t room = held >= limit_ ? 0 : limit_ - held;
    const std::size_t n = std::min(room, static_cast<std::size_t>(count));
    text_.append(static_cast<const char*>(buffer), n);
    return static_cast<int64_t>(n);
}

int64_t put_file::write(const void* buffer, int64_t count) {
    return cl::file_hnd::write(buffer, count);
}
