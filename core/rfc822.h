// A block of header lines in the mail / HTTP style followed by a body, parsed
// from bytes that arrive in pieces (the output of CGI programs and scripts, a
// proxied response). Header lines are collected as name/value pairs; the body
// is framed by chunked transfer encoding, a multipart/byteranges boundary or a
// content length, and its bytes are stored in the message itself.
//
// Everything that comes from the sender is bounded: the header block (lines
// and trailers together) and the body bytes held at once. A message over a
// bound, with a length or chunk size that does not fit, or with framing that
// cannot be read is refused: feed stops and failed() tells why.
#pragma once
#include "core/transfer_block.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cl {

struct rfc822_header {
    std::string name;
    std::string value;
};

class rfc822_msg;

// Lets the caller say that a message has no body whatever its headers claim
// (the answer to a HEAD request, a 204 or 304 response).
struct rfc822_body_test {
    virtual ~rfc822_body_test() = default;
    virtual bool no_body(const rfc822_msg& msg) const = 0;
};

class rfc822_msg : public tb_mem {
  public:
    static constexpr size_t default_max_header_bytes = 64 * 1024;
    static constexpr size_t default_max_body_bytes = 64 * 1024 * 1024;
    // Longest boundary a multipart body may name (the MIME limit is 70).
    static constexpr size_t max_boundary_length = 200;

    rfc822_msg();
    rfc822_msg(void* memory, size_t size);

    // Empties headers, body, counters and flags for the next message; the
    // bounds stay.
    void reset();

    // Takes header bytes up to the blank line, then body bytes; returns the
    // number of bytes consumed. Fewer than count are consumed when the message
    // completes inside the input (the rest belongs to whatever follows) or
    // when it is refused.
    size_t feed(const void* bytes, size_t count, const rfc822_body_test* request = nullptr);

    // Header block bound: the header byte count (each line its length plus 2,
    // each name/value pair their lengths plus 3) may not pass it.
    void set_max_header_bytes(size_t n) { max_header_bytes_ = n; }
    // Bound on the body bytes held in the block at once; a caller that
    // drains the block (consume) may stream any length through it.
    void set_max_body_bytes(size_t n) { max_body_bytes_ = n; }

    bool headers_done() const { return headers_done_; }
    bool complete() const { return complete_; }
    // True while the body can only end with the sender closing.
    bool body_until_close() const { return body_until_close_; }
    bool chunked() const { return chunked_; }
    bool multipart() const { return multipart_; }
    // -1 when none was given.
    int64_t content_length() const { return content_length_; }
    size_t header_bytes() const { return header_bytes_; }
    uint64_t body_bytes() const { return body_bytes_; }

    // A refused message: 0 while all is well, else a Windows error code
    // (error_buffer_overflow for a bound passed, error_invalid_data for a
    // length, chunk size or boundary that cannot be read).
    uint32_t failed() const { return error_; }

    size_t header_count() const { return headers_.size(); }
    const std::vector<rfc822_header>& headers() const { return headers_; }
    // The i-th header as wide text. Without conversion the bytes are read as
    // UTF-8; with it, MIME encoded words ("=?charset?B?...?=") are decoded
    // as well.
    std::wstring header_name(size_t i, bool convert = false) const;
    std::wstring header_value(size_t i, bool convert = false) const;

    // The first header of that name (ASCII case ignored); null when absent.
    const rfc822_header* find_header(std::string_view name) const;
    // Its value, empty when absent.
    std::string_view header(std::string_view name) const;

    // The value of parameter name in a header value such as
    // "multipart/byteranges; boundary=abc": parts split at ";" outside quotes
    // and comments, names compared without case, quotes removed and comments
    // dropped from the value. Empty when the parameter is missing.
    static std::string param(std::string_view value, std::string_view name);

    // 2 for message-id headers, 1 for the other structured headers, 0 else.
    static int header_class(std::string_view name);

    // Decodes MIME encoded words in a header text into wide text; text that is
    // no encoded word, or names a character set not known here, is kept as it
    // stands (read as UTF-8).
    static std::wstring decode_words(std::string_view text);

  private:
    void header_byte(char c);
    void finish_line();
    void end_of_headers(const rfc822_body_test* request);
    void decide_framing();
    size_t body(const uint8_t* p, size_t n);
    size_t chunked_body(const uint8_t* p, size_t n);
    size_t multipart_body(const uint8_t* p, size_t n);
    bool store_body(const uint8_t* p, size_t n);
    bool add_header_bytes(size_t n);
    void fail(uint32_t code);
    void reset_header_state();

    // Lexer state of the current header line.
    int comment_depth_ = 0;
    int class_ = 0;
    bool quoted_ = false;
    bool literal_ = false;
    bool escape_ = false;

    bool line_start_ = true;
    size_t header_bytes_ = 0;
    uint64_t body_bytes_ = 0;
    bool in_name_ = true;
    bool skip_blanks_ = false;
    bool folded_ = false; // a continuation line began: one blank joins it
    bool body_until_close_ = true;
    bool headers_done_ = false;
    bool complete_ = false;
    bool framing_decided_ = false;
    bool chunked_ = false;
    bool multipart_ = false;
    bool trailer_ = false;
    int64_t content_length_ = -1;
    int64_t remaining_ = 0;

    // Chunked decoder.
    enum class chunk_state { size, extension, data, data_end };
    chunk_state chunk_state_ = chunk_state::size;
    int64_t chunk_size_ = 0;
    bool chunk_digits_ = false;

    // Multipart/byteranges framing: the closing line and the body line being
    // compared with it (never longer than the closing line plus one byte).
    std::string terminator_;
    std::string body_line_;
    bool body_line_long_ = false;

    std::string line_;
    std::vector<rfc822_header> headers_;

    size_t max_header_bytes_ = default_max_header_bytes;
    size_t max_body_bytes_ = default_max_body_bytes;
    uint32_t error_ = 0;
};

} // namespace cl
