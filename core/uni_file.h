// Buffered files and the text files of the program: configuration, directive
// and language files in ANSI (UTF-8 here), UTF-8, UTF-16 or UTF-32 of either
// byte order, told apart by their byte-order mark, read and written a line or
// a character at a time. Wide text inside holds one code point per element;
// UTF-16 surrogate pairs exist only in the bytes of the file.
#pragma once
#include "core/file_hnd.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cl {

// One buffer used either for read-ahead or for pending output. A write after
// a read starts where the reader stands: the unread read-ahead is given back
// to the file first.
class file_stream : public file_hnd {
  public:
    static constexpr std::size_t default_buffer_size = 4096;

    explicit file_stream(std::size_t buffer_size = default_buffer_size);
    ~file_stream() override;

    int64_t size() override;
    int close() override;
    bool read_line(std::string& line) override;
    bool open(const std::wstring& path, uint32_t flags, uint32_t share = sh_denywr) override;
    int64_t seek(int64_t distance, int method) override;
    // Writes out pending output (or steps back over unread read-ahead) and
    // returns the position; -1 on failure.
    int64_t tell() override;
    int64_t read(void* buffer, int64_t count) override;
    int64_t write(const void* buffer, int64_t count) override;
    // Cuts the file at the current position.
    bool set_end() override;
    // Synchronises the buffer with the file; false when output was left unwritten.
    bool flush() override;
    bool truncate() { return set_end(); }

  protected:
    // One byte through the buffer; false at the end of the file.
    bool get_byte(uint8_t& b);
    // Steps back over bytes that get_byte delivered; up to lookback bytes of
    // the current character are always still in the buffer.
    void unget_bytes(std::size_t n);
    static constexpr std::size_t lookback = 8;

  private:
    // Keeps the unread rest (and a few bytes before it) at the front and reads
    // as much as fits behind it; false when nothing new came.
    bool fill();
    bool write_pending();

    std::vector<uint8_t> buf_;
    std::size_t rpos_ = 0, rend_ = 0; // read-ahead: [rpos_, rend_)
    std::size_t wend_ = 0;            // pending output: [0, wend_)
};

enum text_encoding : int {
    enc_ansi = 0,
    enc_utf8 = 1,
    enc_utf16le = 2,
    enc_utf16be = 3,
    enc_utf32le = 4,
    enc_utf32be = 5,
};

// "ANSI", "UTF-8", ...; "???" for any other value.
const char* encoding_name(int encoding);

class uni_file : public file_stream {
  public:
    enum : uint8_t {
        uf_pushed = 1,        // a character is held back
        uf_skip_bom_line = 2, // U+FEFF at the start of a line is skipped
        uf_skip_bom_char = 4, // U+FEFF is skipped by read_char
    };

    uni_file();
    ~uni_file() override;

    // Opens and runs the byte-order-mark step; a new file becomes UTF-16 LE.
    bool open(const std::wstring& path, uint32_t flags, uint32_t share = sh_denywr) override;
    // The same with the caller's encoding for a new (empty) file.
    bool open_with_bom_mode(const std::wstring& path, uint32_t flags, int new_file_encoding,
                            uint32_t share = sh_denywr);
    int close() override;

    // Sets the encoding and its mark length (none with without_mark); false
    // for an unknown encoding.
    bool set_encoding(int encoding, bool without_mark = false);
    int encoding() const { return encoding_; }
    int bom_length() const { return bom_len_; }
    // Writes the mark of the encoding, only at the start of an empty file.
    bool write_bom();

    uint8_t flags() const { return flags_; }
    void set_flags(uint8_t f) { flags_ = f; }

    // Positions count from the start of the text, after the mark. A seek drops
    // characters held back by the readers.
    int64_t seek(int64_t distance, int method) override;
    int64_t tell() override;

    bool read_line_w(std::wstring& line) override;
    bool read_line(std::string& line) override;
    // The next character; false at the end of the file (also inside a
    // character cut short by it).
    virtual bool read_char(wchar_t& c);
    // One character in the file's encoding. A UTF-16 high surrogate handed in
    // on its own is held until the low one completes the pair.
    virtual bool write_char(wchar_t c);

    bool get_char(wchar_t& c) { return read_char(c); }
    bool put_char(wchar_t c) { return write_char(c); }
    // One byte of the UTF-8 form of the next character; the remaining bytes of
    // it come with the following calls.
    bool get_char_a(char& c);
    // A byte of ANSI (UTF-8) text; bytes of one sequence are collected until
    // the character is complete.
    bool put_char_a(char c);

    using file_stream::write;
    using file_stream::write_text;
    // Wide text in the file's encoding; stops at the first character that
    // cannot be written.
    bool write_text(std::wstring_view text);
    bool write_line(std::wstring_view text);
    bool write_w(std::wstring_view text) override { return write_text(text); }
    // Narrow text, taken as ANSI (UTF-8) and written in the file's encoding.
    bool write_text(std::string_view text) override;
    bool write(std::string_view text) { return write_text(text); }
    bool write_wchar(wchar_t c) override { return write_char(c); }

  private:
    friend bool copy_file_contents(uni_file& source, uni_file& target, bool exact);

    void bom_step(int new_file_encoding);
    bool read_unit(wchar_t& c);
    bool read_utf8(wchar_t& c, wchar_t bad);
    bool emit(uint32_t cp);
    void push_char(wchar_t c);
    void reset_state();

    int encoding_ = enc_ansi;
    uint8_t bom_len_ = 0;
    uint8_t flags_ = uf_skip_bom_line;
    uint8_t pushed_count_ = 0;
    wchar_t pushed_[2] = {};
    wchar_t held_high_ = 0;
    std::string narrow_out_; // get_char_a: bytes still to hand out
    std::string narrow_in_;  // put_char_a: bytes of an unfinished sequence
};

// Copies all bytes of source to target in pieces of 4096. With exact both
// are rewound first, and afterwards the target is cut at its end and its
// byte-order-mark step runs again (an empty target takes the source's
// encoding). False when a step fails or a write falls short.
bool copy_file_contents(uni_file& source, uni_file& target, bool exact);

} // namespace cl
