// The image object: a picture file's size, and scaled copies of it written to
// a file or into the response, optionally kept in a cache folder beside it.
#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "platform/image/image.h"
#include "scripting/objects/object_support.h"
#include "scripting/objects/script_objects.h"
#include "server/server_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace scripting::objects {

namespace {

struct iimage_i : idispatch_i {};
constexpr guid iid_iimage{
    0xE35F02DC, 0x47D7, 0x4FB4, {0x9F, 0x81, 0x91, 0x72, 0x1E, 0xFB, 0x3E, 0x0A}};

void trace2(const std::wstring& text) {
    if (trace_level() >= 2) cl::trace_out.write_w(text);
}

// The extension with its dot ("" when the name has none).
std::wstring extension_of(const std::wstring& file) {
    const std::size_t slash = file.rfind(L'/');
    const std::size_t dot = file.rfind(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return L"";
    return file.substr(dot);
}

// A picture or cached copy is opened beneath the tree's root when it lies in
// the tree, and judged and read through that one descriptor: a link swapped
// in on its path cannot lead the read outside the tree.
struct opened_file {
    int fd = -1;
    int error = 0; // errno of a failed open or a refused file
    struct stat st {};
    explicit opened_file(const std::string& path, int flags = O_RDONLY) {
        fd = cl::open_tree_file(path, flags);
        if (fd < 0) {
            error = errno;
        } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            ::close(fd);
            fd = -1;
        }
    }
    ~opened_file() {
        if (fd >= 0) ::close(fd);
    }
    opened_file(const opened_file&) = delete;
    opened_file& operator=(const opened_file&) = delete;
};

bool modified_time(const std::string& path, struct timespec& out) {
    const opened_file f(path, O_PATH);
    if (f.fd < 0) return false;
    out = f.st.st_mtim;
    return true;
}

std::string_view as_text(const std::vector<uint8_t>& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool newer(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// A cache folder is named relative to the image's folder and stays below it.
bool safe_cache_path(const std::wstring& p) {
    if (p.empty() || p[0] == L'/') return false;
    std::size_t start = 0;
    while (start <= p.size()) {
        std::size_t end = p.find(L'/', start);
        if (end == std::wstring::npos) end = p.size();
        if (p.compare(start, end - start, L"..") == 0) return false;
        start = end + 1;
    }
    return p.find(L'\0') == std::wstring::npos;
}

// The whole file; false with *st set (an image status) when it cannot be read.
bool read_all(const std::string& path, std::vector<uint8_t>& out, int* st) {
    const opened_file f(path);
    if (f.fd < 0) {
        *st = f.error == ENOENT || f.error == ENOTDIR || f.error == EISDIR ? image::file_not_found
                                                                           : image::generic_error;
        return false;
    }
    if (f.st.st_size > image::max_file_size) {
        *st = image::out_of_memory;
        return false;
    }
    out.resize(static_cast<std::size_t>(f.st.st_size));
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t r = ::read(f.fd, out.data() + got, out.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return true;
}

class image_obj final : public automation::idispatch<iimage_i> {
  public:
    image_obj(std::wstring file, std::shared_ptr<image_response> response, path_check allowed)
        : file_(std::move(file)), response_(std::move(response)), allowed_(std::move(allowed)) {
        load_type_info(program_type_library(), iid_iimage);
    }

    int width() { return load() ? bitmap_->width() : 0; }
    int height() { return load() ? bitmap_->height() : 0; }
    void set_response_type() {
        if (response_)
            response_->set_content_type(
                response_->content_type_from_ext(cl::utf16_to_utf8(extension_of(file_))));
    }
    void set_mode(int32_t m) { mode_ = (m >= 1 && m <= 7) ? m : 0; }
    void unload() {
        bitmap_.reset();
        tried_ = false;
    }

    // Renders into the file (to_response false) or the response; result true on success.
    hresult render(const variant& vw, const variant& vh, const std::wstring& target,
                   const std::wstring& cache_path, bool to_response, bool* ok) {
        *ok = false;
        int32_t w = 0, h = 0;
        if (failed(to_i4(vw, w)) || failed(to_i4(vh, h))) return e_invalidarg;
        if (w == 0) w = -1;
        if (h == 0) h = -1;
        if (!allowed(file_) || (!to_response && !allowed(target))) {
            trace2(cl::format_wstr(L"Error storing image %? (%?)\n", target, 2));
            return s_ok;
        }
        const std::wstring ext = extension_of(file_);
        const std::string ext8 = cl::utf16_to_utf8(ext);

        std::string cache_file;
        if (!cache_path.empty()) {
            const std::size_t slash = file_.rfind(L'/');
            const std::wstring dir = slash == std::wstring::npos ? L"" : file_.substr(0, slash + 1);
            std::wstring base = slash == std::wstring::npos ? file_ : file_.substr(slash + 1);
            if (!ext.empty()) base.resize(base.size() - ext.size());
            // The cache path is put in front of the name as it is: "cache/"
            // names a folder, "small_" a prefix beside the picture.
            const std::wstring name =
                cl::format_wstr(L"%?%?%?_%?_%?%?", dir, cache_path, base, w, h, ext);
            if (!safe_cache_path(cache_path) || !allowed(name)) {
                trace2(cl::format_wstr(L"Error storing image %? (%?)\n", name, 2));
                return s_ok;
            }
            cache_file = cl::utf16_to_utf8(name);
            // A cached copy serves while it is not older than its picture.
            struct timespec src_time {
            }, cache_time{};
            if (modified_time(cache_file, cache_time) &&
                modified_time(cl::utf16_to_utf8(file_), src_time) && !newer(src_time, cache_time)) {
                std::vector<uint8_t> bytes;
                int read_status = image::ok;
                if (read_all(cache_file, bytes, &read_status)) {
                    *ok = deliver(bytes, target, to_response, ext8);
                    return s_ok;
                }
            }
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(cache_file).parent_path(),
                                                ec);
        }

        if (!load()) return s_ok;
        int nw = w, nh = h;
        const int sw = bitmap_->width(), sh = bitmap_->height();
        if (w < 0 && h < 0) {
            nw = sw;
            nh = sh;
        } else if (w < 0 || h < 0) {
            const double n = w < 0 ? h : w;
            const double ratio = sh < sw ? n / sw : n / sh;
            nw = static_cast<int>(sw * ratio);
            nh = static_cast<int>(sh * ratio);
            if (nw == 0) nw = 1;
            if (nh == 0) nh = 1;
        }
        int st = image::ok;
        std::unique_ptr<image::bitmap> scaled = bitmap_->scaled(nw, nh, mode_, &st);
        if (!scaled) {
            trace2(cl::format_wstr(L"Error drawing image %?:%? (%?)\n", nw, nh, st));
            return s_ok;
        }
        std::vector<uint8_t> bytes;
        st = scaled->encode(ext8, bytes);
        if (st != image::ok) {
            trace2(cl::format_wstr(L"Error storing image %? (%?)\n", to_response ? file_ : target,
                                   st));
            return s_ok;
        }
        if (!cache_file.empty() && !cl::replace_tree_file(cache_file, as_text(bytes)))
            trace2(cl::format_wstr(L"Error storing image %? (%?)\n", cl::utf8_to_utf16(cache_file),
                                   1));
        *ok = deliver(bytes, target, to_response, ext8);
        return s_ok;
    }

  private:
    bool allowed(const std::wstring& path) const { return !allowed_ || allowed_(path); }

    bool load() {
        if (!tried_) {
            tried_ = true;
            int st = image::ok;
            std::vector<uint8_t> bytes;
            if (read_all(cl::utf16_to_utf8(file_), bytes, &st))
                bitmap_ = image::bitmap::decode(bytes, &st);
            if (!bitmap_) trace2(cl::format_wstr(L"Error loading image %? (%?)\n", file_, st));
        }
        return bitmap_ != nullptr;
    }

    bool deliver(const std::vector<uint8_t>& bytes, const std::wstring& target, bool to_response,
                 const std::string& ext) {
        if (to_response) return response_ && response_->write_response(bytes);
        // Written as a whole through a temporary file, as every file we replace.
        if (cl::replace_tree_file(cl::utf16_to_utf8(target), as_text(bytes))) return true;
        trace2(cl::format_wstr(L"Error storing image %? (%?)\n", target, 1));
        (void)ext;
        return false;
    }

    std::wstring file_;
    std::shared_ptr<image_response> response_;
    path_check allowed_;
    std::unique_ptr<image::bitmap> bitmap_;
    bool tried_ = false;
    int mode_ = 2;
};

image_obj* image_of(idispatch_i* d) {
    return self_as<image_obj, iimage_i>(d);
}

hresult m_width(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_i4(image_of(d)->width());
    return s_ok;
}
hresult m_height(idispatch_i* d, uint16_t, dispparams&, variant* r, excepinfo*) {
    *r = variant::from_i4(image_of(d)->height());
    return s_ok;
}
hresult m_save(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    std::wstring name;
    hresult hr = to_text(p.arg(0), name);
    if (failed(hr)) return hr;
    bool ok = false;
    variant none = variant::from_i4(0);
    hr = image_of(d)->render(p.count() > 1 ? p.arg(1) : none, p.count() > 2 ? p.arg(2) : none, name,
                             L"", false, &ok);
    if (failed(hr)) return hr;
    *r = variant::from_bool(ok);
    return s_ok;
}
hresult m_send(idispatch_i* d, uint16_t, dispparams& p, variant* r, excepinfo*) {
    image_obj* img = image_of(d);
    std::wstring cache;
    if (!missing(p, 2)) {
        const hresult hr = to_text(p.arg(2), cache);
        if (failed(hr)) return hr;
    }
    variant none = variant::from_i4(0);
    img->set_response_type();
    bool ok = false;
    const hresult hr = img->render(p.count() > 0 ? p.arg(0) : none, p.count() > 1 ? p.arg(1) : none,
                                   L"", cache, true, &ok);
    if (succeeded(hr)) *r = variant::from_bool(ok);
    return hr;
}
hresult m_mode(idispatch_i* d, uint16_t, dispparams& p, variant*, excepinfo*) {
    int32_t m = 0;
    if (failed(to_i4(p.arg(p.count() - 1), m))) return e_invalidarg;
    image_of(d)->set_mode(m);
    return s_ok;
}
hresult m_unload(idispatch_i* d, uint16_t, dispparams&, variant*, excepinfo*) {
    image_of(d)->unload();
    return s_ok;
}

const type_info iimage_type{iid_iimage,
                            L"iimage",
                            {{0x320, L"width", member_get, 0, 0, m_width},
                             {0x321, L"height", member_get, 0, 0, m_height},
                             {0x322, L"save", member_method, 1, 3, m_save},
                             {0x323, L"send", member_method, 0, 3, m_send},
                             {0x324, L"interpolation_mode", member_put, 1, 1, m_mode},
                             {0x325, L"unload", member_method, 0, 0, m_unload}}};

} // namespace

dispatch_ptr create_image_object(const std::wstring& file, std::shared_ptr<image_response> response,
                                 path_check allowed) {
    register_type_once(iimage_type);
    return dispatch_ptr(new image_obj(file, std::move(response), std::move(allowed)));
}

} // namespace scripting::objects
