// Response-body compression on zlib, through the deflate functions that the
// server binds at start from the DLL registry ("zlibwapi.dll").
#pragma once
#include <string>
#include <string_view>
#include <zlib.h>

// The bound deflate functions; a pointer is null when it could not be bound,
// and the compression operations then report Z_VERSION_ERROR.
struct compression_functions {
    using deflate_fn = int (*)(z_streamp, int);
    using deflate_end_fn = int (*)(z_streamp);
    using deflate_init2_fn = int (*)(z_streamp, int, int, int, int, int, const char*, int);

    deflate_fn deflate = nullptr;
    deflate_end_fn deflate_end = nullptr;
    deflate_init2_fn deflate_init2 = nullptr;
    std::wstring dll_path; // the install directory followed by "zlibwapi.dll"
};

// The one record of the process. Filled at server start, emptied at stop,
// while no request runs.
compression_functions& compression();

// Binds "deflate", "deflateEnd" and "deflateInit2_" of "zlibwapi.dll" in the
// install directory; each bound pointer holds one use of the DLL.
void bind_compression(const std::wstring& install_dir);
// Gives back one use per bound pointer and clears them.
void release_compression();

// One compressor and the result of its last zlib call. The zlib state is
// freed when the stream is destroyed or started again.
class deflate_stream {
  public:
    deflate_stream() = default;
    ~deflate_stream();
    deflate_stream(const deflate_stream&) = delete;
    deflate_stream& operator=(const deflate_stream&) = delete;

    // The last zlib result: Z_OK or Z_STREAM_END while all is well.
    int result() const { return result_; }
    // Whether deflate_init succeeded, so the stream can take input.
    bool started() const { return started_; }
    // The bytes taken and written so far.
    uLong total_in() const { return z_.total_in; }
    uLong total_out() const { return z_.total_out; }

  private:
    friend int deflate_init(deflate_stream&, int, int, int);
    friend int deflate_append(deflate_stream&, std::string&, std::string_view, bool);
    void end();

    z_stream z_{};
    int result_ = Z_STREAM_ERROR;
    bool started_ = false;
    compression_functions::deflate_end_fn end_ = nullptr;
};

// Starts the stream: level (-1..9), method deflate, the window bits in zlib's
// three forms (8..15 zlib, 24..31 gzip, -8..-15 raw deflate) and the memory
// level (1..9). A window that zlib refuses (8 for gzip and raw deflate, or any
// size outside 9..15) is clamped into 9..15 keeping its form. Returns and
// keeps zlib's result; anything but Z_OK means the body must be sent
// uncompressed, since no compressed output can follow.
int deflate_init(deflate_stream& stream, int level, int window_bits, int mem_level);

// Compresses all of input onto the end of out; with finish the stream is also
// ended, so out then holds the complete compressed body. The output grows as
// far as zlib needs, so no input byte is ever left behind. Returns and keeps
// the last result: Z_OK (more may follow), Z_STREAM_END (finished) or an
// error, after which the stream produces nothing more.
int deflate_append(deflate_stream& stream, std::string& out, std::string_view input, bool finish);
