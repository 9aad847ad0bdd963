#include "server/deflate.h"

#include "core/dll_registry.h"

#include <algorithm>

namespace {

template <class F> F bind_one(const std::wstring& dll_path, const char* name) {
    return reinterpret_cast<F>(cl::dll_registry::instance().get_proc(dll_path, name, true));
}

// zlib refuses a window of 8 for the gzip and raw forms and anything outside
// 8..15 for all forms; 8 with the zlib header is taken as 9 anyway. So every
// size is held to 9..15 and keeps the form the caller asked for.
int clamp_window_bits(int window_bits) {
    if (window_bits < 0) return -std::clamp(-window_bits, 9, 15);
    if (window_bits > 15) return 16 + std::clamp(window_bits - 16, 9, 15);
    return std::clamp(window_bits, 9, 15);
}

} // namespace

compression_functions& compression() {
    static compression_functions record;
    return record;
}

void bind_compression(const std::wstring& install_dir) {
    auto& c = compression();
    c.dll_path = install_dir;
    if (!c.dll_path.empty() && c.dll_path.back() != L'/') c.dll_path += L'/';
    c.dll_path += L"zlibwapi.dll";
    c.deflate = bind_one<compression_functions::deflate_fn>(c.dll_path, "deflate");
    c.deflate_end = bind_one<compression_functions::deflate_end_fn>(c.dll_path, "deflateEnd");
    c.deflate_init2 =
        bind_one<compression_functions::deflate_init2_fn>(c.dll_path, "deflateInit2_");
}

void release_compression() {
    auto& c = compression();
    auto& registry = cl::dll_registry::instance();
    if (c.deflate) registry.release(c.dll_path);
    if (c.deflate_end) registry.release(c.dll_path);
    if (c.deflate_init2) registry.release(c.dll_path);
    c.deflate = nullptr;
    c.deflate_end = nullptr;
    c.deflate_init2 = nullptr;
}

deflate_stream::~deflate_stream() {
    end();
}

void deflate_stream::end() {
    if (!started_) return;
    // The state came from the zlib linked into the program; when the bound
    // deflateEnd has gone since, the linked one frees it all the same.
    if (end_)
        end_(&z_);
    else
        ::deflateEnd(&z_);
    started_ = false;
    end_ = nullptr;
    z_ = z_stream{};
}

int deflate_init(deflate_stream& stream, int level, int window_bits, int mem_level) {
    stream.end();
    const auto& c = compression();
    if (!c.deflate_init2) return stream.result_ = Z_VERSION_ERROR;
    stream.result_ =
        c.deflate_init2(&stream.z_, level, Z_DEFLATED, clamp_window_bits(window_bits), mem_level,
                        Z_DEFAULT_STRATEGY, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
    if (stream.result_ == Z_OK) {
        stream.started_ = true;
        stream.end_ = c.deflate_end;
    } else {
        stream.z_ = z_stream{};
    }
    return stream.result_;
}

int deflate_append(deflate_stream& stream, std::string& out, std::string_view input, bool finish) {
    const auto& c = compression();
    if (!c.deflate) return stream.result_ = Z_VERSION_ERROR;
    // A stream that never started, or that an earlier call ended with an
    // error, takes nothing more.
    if (!stream.started_ || (stream.result_ != Z_OK && stream.result_ != Z_STREAM_END))
        return stream.result_ = stream.started_ ? stream.result_ : Z_STREAM_ERROR;

    auto& z = stream.z_;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    z.avail_in = static_cast<uInt>(input.size());
    const int flush = finish ? Z_FINISH : Z_NO_FLUSH;
    std::size_t grow = input.size() + input.size() / 10 + 13;
    for (;;) {
        const std::size_t old_size = out.size();
        out.resize(old_size + grow);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + old_size);
        z.avail_out = static_cast<uInt>(grow);
        int r = c.deflate(&z, flush);
        out.resize(old_size + (grow - z.avail_out));
        if (r == Z_BUF_ERROR && z.avail_in == 0 && !finish) r = Z_OK; // nothing to do
        stream.result_ = r;
        if (r != Z_OK) break; // Z_STREAM_END or an error
        // Done when all input is taken and zlib had room to spare; otherwise
        // (or until the end of a finished stream) give it more room.
        if (!finish && z.avail_in == 0 && z.avail_out != 0) break;
        grow = std::max<std::size_t>(1024, z.avail_in + z.avail_in / 10 + 13);
    }
    return stream.result_;
}
