// Header block and body framing of cl::rfc822_msg.
#include "core/rfc822.h"

#include "core/text.h"
#include "platform/win32/errors.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace cl {

namespace {

constexpr int64_t max_length = std::numeric_limits<int64_t>::max();

bool starts_with_i(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

// A decimal length that fills the whole (trimmed) text; -1 when the text is
// empty, holds anything else, or does not fit a signed 64-bit value.
int64_t parse_length(std::string_view s) {
    s = trimmed(s);
    if (s.empty()) return -1;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        int d = c - '0';
        if (v > (max_length - d) / 10) return -1;
        v = v * 10 + d;
    }
    return v;
}

} // namespace

rfc822_msg::rfc822_msg() : rfc822_msg(nullptr, 0) {}

rfc822_msg::rfc822_msg(void* memory, size_t size) : tb_mem(memory, size) {
    reset();
}

void rfc822_msg::reset_header_state() {
    comment_depth_ = 0;
    class_ = 0;
    quoted_ = false;
    literal_ = false;
    escape_ = false;
    line_start_ = true;
    in_name_ = true;
    skip_blanks_ = false;
    folded_ = false;
    line_.clear();
}

void rfc822_msg::reset() {
    reset_header_state();
    header_bytes_ = 0;
    body_bytes_ = 0;
    body_until_close_ = true;
    headers_done_ = false;
    complete_ = false;
    framing_decided_ = false;
    chunked_ = false;
    multipart_ = false;
    trailer_ = false;
    content_length_ = -1;
    remaining_ = 0;
    chunk_state_ = chunk_state::size;
    chunk_size_ = 0;
    chunk_digits_ = false;
    terminator_.clear();
    body_line_.clear();
    body_line_long_ = false;
    headers_.clear();
    headers_.reserve(16);
    set_length(0);
    error_ = 0;
}

void rfc822_msg::fail(uint32_t code) {
    if (!error_) error_ = code;
}

bool rfc822_msg::add_header_bytes(size_t n) {
    if (n > max_header_bytes_ || header_bytes_ > max_header_bytes_ - n) {
        fail(win32::error_buffer_overflow);
        return false;
    }
    header_bytes_ += n;
    return true;
}

int rfc822_msg::header_class(std::string_view name) {
    static constexpr std::array<std::string_view, 3> ids = {"Message-ID", "In-Reply-To",
                                                            "References"};
    static constexpr std::array<std::string_view, 19> structured = {"Date",
                                                                    "From",
                                                                    "Sender",
                                                                    "Reply-To",
                                                                    "To",
                                                                    "Cc",
                                                                    "Bcc",
                                                                    "Keywords",
                                                                    "Resent-Date",
                                                                    "Resent-From",
                                                                    "Resent-Sender",
                                                                    "Resent-To",
                                                                    "Resent-Cc",
                                                                    "Resent-Bcc",
                                                                    "Resent-Message-ID",
                                                                    "Resent-Reply-To",
                                                                    "Return-Path",
                                                                    "Received",
                                                                    "Content-Type"};
    for (auto n : ids)
        if (iequals(n, name)) return 2;
    for (auto n : structured)
        if (iequals(n, name)) return 1;
    return 0;
}

// Completes the line collected so far: a line without a colon becomes a header
// with that text as its name, otherwise the text is the value of the header
// its colon opened.
void rfc822_msg::finish_line() {
    if (in_name_) {
        if (!line_.empty()) {
            trim_right(line_);
            if (add_header_bytes(line_.size() + 2)) headers_.push_back({std::move(line_), {}});
        }
    } else {
        trim_right(line_);
        auto& h = headers_.back();
        if (add_header_bytes(h.name.size() + line_.size() + 3)) h.value = std::move(line_);
    }
    line_.clear();
    in_name_ = true;
    comment_depth_ = 0;
    class_ = 0;
    quoted_ = false;
    literal_ = false;
    escape_ = false;
    skip_blanks_ = false;
    folded_ = false;
}

void rfc822_msg::header_byte(char c) {
    if (c == '\r') return;
    if (c == '\n') {
        line_start_ = true;
        return;
    }
    if (c == '\t') c = ' ';
    if (skip_blanks_) {
        if (c == ' ') return;
        skip_blanks_ = false;
        // A folded line is joined with one blank in place of the line break
        // and the continuation's leading blanks.
        if (folded_ && !line_.empty() && line_.back() != ' ') line_ += ' ';
        folded_ = false;
    }

    // The line as it would count once stored must stay inside the bound, so
    // one endless line cannot grow without limit either.
    size_t pending = line_.size() + 1 + (in_name_ ? 2 : headers_.back().name.size() + 3);
    if (pending > max_header_bytes_ || header_bytes_ > max_header_bytes_ - pending) {
        fail(win32::error_buffer_overflow);
        return;
    }

    if (in_name_) {
        if (c != ':') {
            line_ += c;
            return;
        }
        trim_right(line_);
        class_ = header_class(line_);
        headers_.push_back({std::move(line_), {}});
        line_.clear();
        in_name_ = false;
        skip_blanks_ = true;
        return;
    }

    if (class_ > 0) {
        if (escape_) {
            escape_ = false;
            line_ += c;
            return;
        }
        if (c == '\\') {
            escape_ = true;
        } else if (c == '"' && comment_depth_ == 0 && !literal_) {
            quoted_ = !quoted_;
        } else if (!quoted_) {
            if (literal_) {
                if (c == ']') literal_ = false;
            } else if (c == '(') {
                ++comment_depth_;
            } else if (c == ')') {
                if (comment_depth_ > 0) --comment_depth_;
            } else if (c == '[' && class_ == 2 && comment_depth_ == 0) {
                literal_ = true;
            } else if (c == ' ' && !line_.empty() && line_.back() == ' ') {
                return;
            }
        }
    }
    line_ += c;
}

size_t rfc822_msg::feed(const void* bytes, size_t count, const rfc822_body_test* request) {
    if (!bytes || complete_ || error_) return 0;
    auto p = static_cast<const uint8_t*>(bytes);
    size_t i = 0;
    while (i < count && !complete_ && !error_) {
        if (headers_done_ && !trailer_) {
            i += body(p + i, count - i);
            continue;
        }
        char c = static_cast<char>(p[i++]);
        if (line_start_) {
            if (c == '\r') continue;
            if (c == '\n') {
                finish_line();
                if (error_) break;
                if (trailer_) {
                    complete_ = true;
                } else if (!headers_.empty()) {
                    end_of_headers(request);
                }
                continue;
            }
            line_start_ = false;
            if (c == ' ' || c == '\t') {
                skip_blanks_ = true;
                folded_ = !in_name_ || !line_.empty();
                continue;
            }
            finish_line();
            if (error_) {
                --i; // the refused line's first byte is not consumed
                break;
            }
        }
        header_byte(c);
        if (error_) --i; // nor is the byte that passed the bound
    }
    return i;
}

void rfc822_msg::end_of_headers(const rfc822_body_test* request) {
    headers_done_ = true;
    line_start_ = false;
    // Every Content-Length must be one readable value; two that differ would
    // leave the end of the body to whoever reads it.
    for (const auto& h : headers_) {
        if (!iequals(h.name, "content-length")) continue;
        int64_t v = parse_length(h.value);
        if (v < 0 || (content_length_ >= 0 && v != content_length_)) {
            fail(win32::error_invalid_data);
            return;
        }
        content_length_ = v;
    }
    if (request && request->no_body(*this)) {
        body_until_close_ = false;
        framing_decided_ = true;
        complete_ = true;
        return;
    }
    decide_framing();
}

void rfc822_msg::decide_framing() {
    framing_decided_ = true;
    const rfc822_header* te = find_header("transfer-encoding");
    if (te && !iequals(trimmed(te->value), "identity")) {
        // The transfer encoding frames the body; a length beside it says
        // nothing about where the message ends.
        chunked_ = true;
        body_until_close_ = false;
        chunk_state_ = chunk_state::size;
        return;
    }
    if (content_length_ < 0) {
        std::string_view ct = trimmed(header("content-type"));
        if (starts_with_i(ct, "multipart/byteranges")) {
            std::string boundary = param(ct, "boundary");
            if (!boundary.empty()) {
                if (boundary.size() > max_boundary_length) {
                    fail(win32::error_invalid_data);
                    return;
                }
                terminator_ = "--" + boundary + "--\r\n";
                multipart_ = true;
                body_until_close_ = false;
            }
        }
        return;
    }
    body_until_close_ = false;
    remaining_ = content_length_;
    if (remaining_ == 0) complete_ = true;
}

bool rfc822_msg::store_body(const uint8_t* p, size_t n) {
    if (n == 0) return true;
    if (n > max_body_bytes_ || length() > max_body_bytes_ - n) {
        fail(win32::error_buffer_overflow);
        return false;
    }
    append(p, n);
    body_bytes_ += n;
    return true;
}

size_t rfc822_msg::body(const uint8_t* p, size_t n) {
    if (chunked_) return chunked_body(p, n);
    if (multipart_) return multipart_body(p, n);
    if (content_length_ >= 0) {
        size_t take = static_cast<uint64_t>(remaining_) < n ? static_cast<size_t>(remaining_) : n;
        if (!store_body(p, take)) return 0;
        remaining_ -= static_cast<int64_t>(take);
        if (remaining_ == 0) complete_ = true;
        return take;
    }
    return store_body(p, n) ? n : 0;
}

size_t rfc822_msg::chunked_body(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n && !error_ && !trailer_) {
        switch (chunk_state_) {
        case chunk_state::size: {
            int d = hex_digit_value(p[i]);
            if (d < 0) {
                chunk_state_ = chunk_state::extension;
                break;
            }
            if (chunk_size_ > (max_length >> 4)) {
                fail(win32::error_invalid_data);
                return i;
            }
            chunk_size_ = chunk_size_ * 16 + d;
            chunk_digits_ = true;
            ++i;
            break;
        }
        case chunk_state::extension:
            if (p[i++] != '\n') break;
            if (!chunk_digits_) {
                // A size line without a size: the framing is lost.
                fail(win32::error_invalid_data);
                return i - 1;
            }
            chunk_digits_ = false;
            if (chunk_size_ == 0) {
                reset_header_state();
                trailer_ = true;
            } else {
                chunk_state_ = chunk_state::data;
            }
            break;
        case chunk_state::data: {
            size_t take = static_cast<uint64_t>(chunk_size_) < n - i
                              ? static_cast<size_t>(chunk_size_)
                              : n - i;
            if (!store_body(p + i, take)) return i;
            chunk_size_ -= static_cast<int64_t>(take);
            i += take;
            if (chunk_size_ == 0) chunk_state_ = chunk_state::data_end;
            break;
        }
        case chunk_state::data_end:
            if (p[i++] == '\n') {
                chunk_state_ = chunk_state::size;
                chunk_size_ = 0;
            }
            break;
        }
    }
    return i;
}

size_t rfc822_msg::multipart_body(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n && !complete_) {
        const uint8_t* lf = static_cast<const uint8_t*>(std::memchr(p + i, '\n', n - i));
        size_t end = lf ? static_cast<size_t>(lf - p) + 1 : n;
        size_t len = end - i;
        if (!store_body(p + i, len)) return i;
        // Only a line as long as the closing line can be it, so no more of a
        // line than that is kept.
        if (!body_line_long_) {
            if (body_line_.size() + len > terminator_.size()) {
                body_line_long_ = true;
                body_line_.clear();
            } else {
                body_line_.append(reinterpret_cast<const char*>(p + i), len);
            }
        }
        i = end;
        if (lf) {
            if (!body_line_long_ && body_line_ == terminator_) complete_ = true;
            body_line_.clear();
            body_line_long_ = false;
        }
    }
    return i;
}

const rfc822_header* rfc822_msg::find_header(std::string_view name) const {
    for (const auto& h : headers_)
        if (iequals(h.name, name)) return &h;
    return nullptr;
}

std::string_view rfc822_msg::header(std::string_view name) const {
    const rfc822_header* h = find_header(name);
    return h ? std::string_view(h->value) : std::string_view();
}

std::wstring rfc822_msg::header_name(size_t i, bool convert) const {
    if (i >= headers_.size()) return {};
    return convert ? decode_words(headers_[i].name) : utf8_to_utf16(headers_[i].name);
}

std::wstring rfc822_msg::header_value(size_t i, bool convert) const {
    if (i >= headers_.size()) return {};
    return convert ? decode_words(headers_[i].value) : utf8_to_utf16(headers_[i].value);
}

namespace {

// The text of one ";" part with quotes removed (their content kept as it
// stands), escapes resolved and each comment turned into one blank that never
// doubles a blank before it; unquoted blanks at both ends dropped.
std::string clean_part(std::string_view s) {
    std::string out;
    size_t keep = 0;
    int depth = 0;
    bool quoted = false;
    bool escape = false;
    for (char c : s) {
        if (c == '\t') c = ' ';
        if (escape) {
            escape = false;
            if (depth == 0) {
                out += c;
                keep = out.size();
            }
            continue;
        }
        if (c == '\\') {
            escape = true;
            continue;
        }
        if (depth > 0) {
            if (c == '(')
                ++depth;
            else if (c == ')' && --depth == 0 && !out.empty() && out.back() != ' ')
                out += ' ';
            continue;
        }
        if (quoted) {
            if (c == '"')
                quoted = false;
            else
                out += c;
            keep = out.size();
            continue;
        }
        if (c == '"') {
            quoted = true;
            keep = out.size();
        } else if (c == '(') {
            depth = 1;
        } else if (c == ' ') {
            if (!out.empty()) out += ' ';
        } else {
            out += c;
            keep = out.size();
        }
    }
    out.resize(keep);
    return out;
}

} // namespace

std::string rfc822_msg::param(std::string_view value, std::string_view name) {
    size_t start = 0;
    int depth = 0;
    bool quoted = false;
    bool escape = false;
    size_t eq = std::string_view::npos;
    for (size_t i = 0; i <= value.size(); ++i) {
        bool at_end = i == value.size();
        if (!at_end) {
            char c = value[i];
            if (escape) {
                escape = false;
                continue;
            }
            if (c == '\\') {
                escape = true;
                continue;
            }
            if (depth > 0) {
                if (c == '(')
                    ++depth;
                else if (c == ')')
                    --depth;
                continue;
            }
            if (quoted) {
                if (c == '"') quoted = false;
                continue;
            }
            if (c == '"')
                quoted = true;
            else if (c == '(')
                depth = 1;
            else if (c == '=' && eq == std::string_view::npos)
                eq = i;
            if (c != ';') continue;
        }
        if (eq != std::string_view::npos &&
            iequals(clean_part(value.substr(start, eq - start)), name))
            return clean_part(value.substr(eq + 1, i - eq - 1));
        start = i + 1;
        eq = std::string_view::npos;
    }
    return {};
}

namespace {

// The code page of a MIME character set name; 0 when it is not known here.
unsigned charset_code_page(std::string_view cs) {
    if (size_t star = cs.find('*'); star != std::string_view::npos) cs = cs.substr(0, star);
    if (iequals(cs, "utf-8") || iequals(cs, "utf8")) return cp_utf8;
    if (iequals(cs, "us-ascii")) return 20127;
    if (starts_with_i(cs, "iso-8859-")) {
        int n = rstring_to_int(rstring(cs.data() + 9, cs.size() - 9));
        if (n >= 1 && n <= 16) return 28590 + static_cast<unsigned>(n);
    }
    if (starts_with_i(cs, "windows-125") && cs.size() == 12 && cs[11] >= '0' && cs[11] <= '8')
        return 1250 + static_cast<unsigned>(cs[11] - '0');
    return 0;
}

std::string q_decode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < s.size() && hex_pair_value(s[i + 1], s[i + 2]) >= 0) {
            out += static_cast<char>(hex_pair_value(s[i + 1], s[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// Decodes one encoded word "=?charset?enc?text?=" starting at pos; on success
// sets end past it and returns true.
bool decode_word(std::string_view s, size_t pos, size_t& end, std::wstring& out) {
    if (s.compare(pos, 2, "=?") != 0) return false;
    size_t q1 = s.find('?', pos + 2);
    if (q1 == std::string_view::npos || q1 + 3 >= s.size() || s[q1 + 2] != '?') return false;
    size_t q3 = s.find("?=", q1 + 3);
    if (q3 == std::string_view::npos) return false;
    unsigned cp = charset_code_page(s.substr(pos + 2, q1 - pos - 2));
    if (cp == 0) return false;
    std::string_view text = s.substr(q1 + 3, q3 - q1 - 3);
    if (text.find(' ') != std::string_view::npos) return false;
    std::string bytes;
    char enc = s[q1 + 1];
    if (enc == 'B' || enc == 'b')
        bytes = base64_decode(text);
    else if (enc == 'Q' || enc == 'q')
        bytes = q_decode(text);
    else
        return false;
    out += cp == cp_utf8 ? utf8_to_utf16(bytes) : mb_to_wide(bytes.data(), bytes.size(), cp);
    end = q3 + 2;
    return true;
}

} // namespace

std::wstring rfc822_msg::decode_words(std::string_view text) {
    std::wstring out;
    std::string gap;
    bool after_word = false;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = 0;
        std::wstring word;
        if (text[i] == '=' && decode_word(text, i, end, word)) {
            // Blanks between two encoded words belong to neither.
            bool blank_gap =
                std::all_of(gap.begin(), gap.end(), [](char c) { return c == ' ' || c == '\t'; });
            if (!(after_word && blank_gap)) out += utf8_to_utf16(gap);
            gap.clear();
            out += word;
            after_word = true;
            i = end;
            continue;
        }
        gap += text[i++];
    }
    out += utf8_to_utf16(gap);
    return out;
}

} // namespace cl
