// PUT, DELETE and MKCOL on the served tree.
#include "dav/put_delete_mkcol.h"

#include "dav/caldav/ical_properties.h"
#include "dav/caldav_collections.h"
#include "dav/caldav_object_cache.h"
#include "dav/dav_requests.h"
#include "dav/file_attributes.h"
#include "dav/properties.h"

#include "core/format.h"
#include "core/simple_file.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "dav/locks.h"
#include "dav/tree_ops.h"
#include "dav/write_support.h"
#include "platform/win32/time.h"
#include "server/blocklist.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/http_tables.h"
#include "server/req_info.h"
#include "server/request_body.h"
#include "server/server_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

std::string u8(const std::wstring& s) {
    return cl::utf16_to_utf8(s);
}

std::string without_slash(std::string p) {
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

std::string parent_of(const std::string& p) {
    const std::size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : p.substr(0, slash);
}

bool is_folder(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_document_root(const std::wstring& path) {
    return path_below_root(path) == L"/";
}

// Why a new calendar or address-book object cannot be kept (the
// precondition element of the refusal), or null when it can: one larger than
// reports read, or one whose components nest beyond what the object model
// takes.
// The whole of a file of the store folder, at most the read limit; false when
// it cannot be read or is larger.
bool read_store_file(int dir_fd, const char* leaf, std::string& text) {
    const int fd = ::openat(dir_fd, leaf, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > stored_object_read_limit) {
        ::close(fd);
        return false;
    }
    text.assign(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    return true;
}

// The one UID of a calendar object resource (every component but the time
// zones carries it, once) or of a vCard; empty when the text is not one such
// object.
std::string object_uid(std::string_view text, store_kind kind) {
    ical_properties table;
    if (!parse_ical(text, table)) return {};
    const std::string top = kind == store_kind::calendar ? "/VCALENDAR" : "/VCARD";
    if (!table.count(top) || table.count(top + "2")) return {};
    const auto uid_of = [&table](const std::string& path) -> std::string {
        const auto it = table.find(path + ",UID");
        if (it == table.end() || table.count(path + ",UID2")) return {};
        return std::string(cl::trimmed(it->second.second));
    };
    if (kind == store_kind::addressbook) return uid_of(top);
    std::string uid;
    const std::string below = top + "/";
    for (auto it = table.lower_bound(below); it != table.end() && it->first.starts_with(below);
         ++it) {
        const std::string_view rest = std::string_view(it->first).substr(below.size());
        if (rest.find_first_of("/,") != std::string_view::npos) continue;
        if (rest.starts_with("VTIMEZONE")) continue;
        const std::string own = uid_of(it->first);
        if (own.empty() || (!uid.empty() && own != uid)) return {};
        uid = own;
    }
    return uid;
}

// Why a stored object cannot take the new content (the name of the
// precondition element of the refusal), or null when it can: one larger than
// reports read, one whose components nest beyond what the object model
// takes, or one that is not one object with one UID. uid: the object's UID.
const char* refused_store_object(int dir_fd, const std::string& temp_leaf, uint64_t size,
                                 store_kind kind, std::string& uid) {
    if (size > stored_object_read_limit) return "max-resource-size";
    std::string text;
    if (!read_store_file(dir_fd, temp_leaf.c_str(), text)) return nullptr;
    const char* invalid =
        kind == store_kind::calendar ? "valid-calendar-data" : "valid-address-data";
    if (!ical_nesting_within_bounds(text)) return invalid;
    uid = object_uid(text, kind);
    return uid.empty() ? invalid : nullptr;
}

// Another object of the store folder with the same UID: its name, or empty.
// Each PUT reads the folder's objects once; a store holds one user's few
// thousand objects at most.
std::string uid_holder(int dir_fd, const std::string& leaf, const std::string& temp_leaf,
                       store_kind kind, const std::string& uid) {
    const int fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {};
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return {};
    }
    std::string found, text;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.' || name == leaf || name == temp_leaf) continue;
        if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
        if (!read_store_file(dir_fd, name.c_str(), text)) continue;
        // A quick look before the parse: most objects do not hold the text.
        if (text.find(uid) == std::string::npos) continue;
        if (object_uid(text, kind) == uid) {
            found = name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

int answer_precondition(http_request& r, store_kind kind, const char* element, int status = 403,
                        const std::string& href = {}) {
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<d:error xmlns:d=\"DAV:\" ";
    body += kind == store_kind::calendar ? "xmlns:c=\"urn:ietf:params:xml:ns:caldav\""
                                         : "xmlns:c=\"urn:ietf:params:xml:ns:carddav\"";
    body += "><c:";
    body += element;
    if (href.empty()) {
        body += "/></d:error>";
    } else {
        body += "><d:href>" + href + "</d:href></c:";
        body += element;
        body += "></d:error>";
    }
    r.headers->add("Content-Type", "application/xml; charset=\"utf-8\"");
    r.text_body = std::move(body);
    r.send_simple_response(status);
    return 0;
}

// The body of a PUT, written to the new file; remembers the first failure and
// makes the file durable when it is closed.
class put_body_file final : public cl::simple_file {
  public:
    explicit put_body_file(int fd) { adopt(fd, false, true); }
    int64_t write(const void* buffer, int64_t count) override {
        if (error_ != 0 || count <= 0) return error_ != 0 ? -1 : 0;
        if (!cl::file_write(handle(), buffer, static_cast<size_t>(count))) {
            error_ = errno != 0 ? errno : EIO;
            return -1;
        }
        written_ += static_cast<uint64_t>(count);
        return count;
    }
    int close() override {
        if (is_open() && error_ == 0 && ::fsync(handle()) != 0) error_ = errno;
        const int rc = simple_file::close();
        if (rc != 0 && error_ == 0) error_ = EIO;
        return rc;
    }
    int error() const { return error_; }
    uint64_t written() const { return written_; }

  private:
    int error_ = 0;
    uint64_t written_ = 0;
};

// The folder of a PUT's target, opened once beneath the tree's root: the new
// file is made, renamed and synced in that very folder, so that a link
// swapped in on its path cannot carry the write outside the tree.
struct put_folder {
    int fd = -1;
    std::string leaf;      // the target's name in the folder
    std::string temp_leaf; // the new content's name until it is renamed
    ~put_folder() {
        if (fd >= 0) ::close(fd);
    }
};

// A new file beside the target that takes the old one's mode, owner and
// extended attributes; -1 with errno set when it cannot be made.
int create_put_temp(const std::string& target, bool replacing, put_folder& folder) {
    const std::wstring name = sibling_temp_name(cl::utf8_to_utf16(target));
    if (name.empty()) {
        errno = EEXIST;
        return -1;
    }
    std::string temp_leaf;
    folder.fd = cl::open_tree_parent(u8(name), O_RDONLY, temp_leaf);
    if (folder.fd < 0) return -1;
    folder.leaf = target.substr(target.rfind('/') + 1);
    const int fd =
        ::openat(folder.fd, temp_leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 replacing ? 0600 : 0666);
    if (fd < 0) return -1;
    folder.temp_leaf = temp_leaf;
    if (!replacing) return fd;
    // The old file's own facts, never those of a link's target.
    const int old = ::openat(folder.fd, folder.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (old >= 0 && ::fstat(old, &st) == 0) {
        if (!copy_xattrs(old, fd))
            cl::trace_out.write(
                cl::format_str("extended attributes of %? not kept on its new content\n", target));
        // Only a privileged server can hand the file back to its owner.
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid())
            if (::fchown(fd, st.st_uid, st.st_gid) != 0 && trace_level() > 1)
                cl::trace_out.write(cl::format_str("owner of %? not kept\n", target));
        ::fchmod(fd, st.st_mode & 07777);
    }
    if (old >= 0) ::close(old);
    return fd;
}

int refused_encoding(const http_request& r) {
    if (!r.data) return 0;
    if (!r.data->header(http_header_content_range).empty()) return 501;
    const std::string& enc = r.data->header(http_header_content_encoding);
    if (!enc.empty() && !cl::iequals(cl::trimmed(enc), "identity")) return 501;
    return 0;
}

} // namespace

int dav_put(http_put_request& r) {
    cl::sh_ptr<config_info> cfg(r.config());
    if (!cfg) return 500;
    if (const int s = refused_encoding(r)) return s;
    const std::wstring& path = cfg->local_path;
    const std::string target = without_slash(u8(path));
    const entry_kind kind = kind_of(path);
    // A URL ending in "/" names a folder, whether or not it is there yet.
    const bool folder_url = r.data && !r.data->path.empty() && r.data->path.back() == L'/';
    if (kind == entry_kind::folder || cfg->is_directory() || folder_url) return 403;
    int refusal = 0;
    if (!access_step(r, cfg, refusal)) return refusal;
    if (is_blocked(path) || is_access_file(*cfg, path) || kind == entry_kind::other) return 403;
    if (!is_folder(parent_of(target))) return 409;
    // The empty file a lock made on a new name stands for a resource that
    // has no content yet: the client's first PUT creates it.
    const bool any_lock = !the_lock_table().empty();
    const std::wstring key = any_lock ? lock_key(path) : std::wstring();
    const bool lock_made =
        any_lock && kind == entry_kind::file && the_lock_table().made_by_lock(key);
    const bool replacing = kind == entry_kind::file && !lock_made;
    if (replacing && is_read_only_file(target)) return 403;
    if (const int s = check_write_lock(
            r, path, kind == entry_kind::file ? write_scope::content : write_scope::member))
        return s;
    const int status = replacing ? 200 : 201;
    const int pre =
        lock_made ? check_conditions_of_new(r, status, path) : check_conditions(r, status, path);
    if (pre != status) return pre;

    put_folder folder;
    const int fd = create_put_temp(target, kind == entry_kind::file, folder);
    if (fd < 0) {
        const int e = errno;
        cl::trace_out.write(cl::format_str("PUT %?: no new file (%?)\n", target, e));
        // A folder on the way that leads out of the tree is refused, as
        // MKCOL refuses it, not a failure of another server.
        return e == EXDEV ? 403 : status_of_errno(e);
    }
    auto body = std::make_unique<put_body_file>(fd);
    put_body_file* file = body.get();
    r.set_file(std::move(body));
    uint32_t end = 38;
    if (r.data && (r.data->flags & khttp::request_flag_more_entity_body))
        read_request_body(r, &end);
    else
        file->close();
    const int error = file->error();
    const uint64_t written = file->written();
    r.set_file(nullptr);

    // The old content is replaced only by a complete new one.
    if (end != 38 || error != 0) {
        ::unlinkat(folder.fd, folder.temp_leaf.c_str(), 0);
        cl::trace_out.write(cl::format_str("PUT %? not stored: %? bytes, receive %?, write %?\n",
                                           target, written, end, error));
        return error != 0 ? status_of_errno(error) : 400;
    }
    store_kind store = store_kind::calendar;
    if (is_store_object(path, &store)) {
        std::string uid;
        if (const char* why =
                refused_store_object(folder.fd, folder.temp_leaf, written, store, uid)) {
            ::unlinkat(folder.fd, folder.temp_leaf.c_str(), 0);
            cl::trace_out.write(cl::format_str("PUT %? refused: %?\n", target, why));
            return answer_precondition(r, store, why);
        }
        const std::string holder = uid_holder(folder.fd, folder.leaf, folder.temp_leaf, store, uid);
        if (!holder.empty()) {
            ::unlinkat(folder.fd, folder.temp_leaf.c_str(), 0);
            cl::trace_out.write(cl::format_str("PUT %? refused: UID of %?\n", target, holder));
            std::wstring url = r.data->path;
            url = url.substr(0, url.rfind(L'/') + 1) + cl::utf8_to_utf16(holder);
            return answer_precondition(r, store, "no-uid-conflict", 409, dav_href(url));
        }
    }
    const std::string& last_modified = r.data->header(http_header_last_modified);
    win32::filetime when = 0;
    if (!last_modified.empty() && parse_http_date(last_modified, when)) {
        const struct timespec t = win32::timespec_from_filetime(when);
        const struct timespec times[2] = {t, t};
        ::utimensat(folder.fd, folder.temp_leaf.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    if (::renameat(folder.fd, folder.temp_leaf.c_str(), folder.fd, folder.leaf.c_str()) != 0) {
        const int e = errno;
        ::unlinkat(folder.fd, folder.temp_leaf.c_str(), 0);
        return status_of_errno(e);
    }
    // The rename itself is durable once the folder is synced.
    ::fsync(folder.fd);
    if (lock_made) the_lock_table().content_stored(key);

    if (cfg->file_etag) {
        cl::simple_file f;
        if (f.open(path, cl::o_rdonly | cl::o_binary, cl::sh_denywr)) {
            const std::string etag = f.etag();
            if (!etag.empty()) r.headers->add("Etag", etag);
        }
    }
    // Calendar and contact clients take only 204 for a replaced object.
    if (replacing && is_store_object(path)) return answer_text(r, 204, std::string());
    return answer_text(r, status, replacing ? "Accepted" : "Created.");
}

int dav_delete(http_delete_request& r) {
    cl::sh_ptr<config_info> cfg(r.config());
    if (!cfg) return 500;
    int refusal = 0;
    if (!access_step(r, cfg, refusal)) return refusal;
    const std::wstring& path = cfg->local_path;
    const entry_kind kind = kind_of(path);
    if (kind == entry_kind::missing) return 404;
    if (is_blocked(path) || is_access_file(*cfg, path) || is_document_root(path)) return 403;
    if (kind == entry_kind::file && is_read_only_file(u8(path))) return 403;
    if (const int s = check_write_lock(
            r, path, kind == entry_kind::folder ? write_scope::tree : write_scope::member))
        return s;
    const int pre = check_conditions(r, 200, path);
    if (pre != 200) return pre;

    std::vector<tree_failure> failures;
    const member_check rights = member_rights(r, path, false, true);
    if (!delete_tree(path, failures, &rights)) {
        // Only what could not be deleted is named; the rest is gone.
        if (failures.size() == 1 && path_below_root(failures[0].path) == path_below_root(path))
            return failures[0].status;
        return answer_failures(r, failures);
    }
    the_lock_table().remove_tree(lock_key(path));
    return answer_text(r, 200, "Deleted.");
}

int dav_mkcol(http_mkcol_request& r) {
    cl::sh_ptr<config_info> cfg(r.config());
    if (!cfg) return 500;
    const std::wstring& path = cfg->local_path;
    // The decision (the login with it) comes before any look at the name: a
    // client that may not make the folder learns nothing of what is there.
    int refusal = 0;
    if (!access_step(r, cfg, refusal)) return refusal;
    if (kind_of(path) != entry_kind::missing) return 405;
    if (is_blocked(path) || is_access_file(*cfg, path)) return 403;
    // A body would say what the folder should become; none is understood.
    if (has_request_body(r)) return 415;
    const std::string target = without_slash(u8(path));
    if (!is_folder(parent_of(target))) return 409;
    if (const int s = check_write_lock(r, path, write_scope::member)) return s;
    const int pre = check_conditions(r, 201, path);
    if (pre != 201) return pre;
    // Made in its folder opened beneath the root: a link swapped in on the
    // way cannot place the new folder outside the tree.
    put_folder folder;
    folder.fd = cl::open_tree_parent(target, O_RDONLY, folder.leaf);
    if (folder.fd < 0) return errno == EXDEV ? 403 : status_of_errno(errno);
    if (::mkdirat(folder.fd, folder.leaf.c_str(), 0777) != 0) {
        const int e = errno;
        return e == EEXIST ? 405 : status_of_errno(e);
    }
    ::fsync(folder.fd);
    return answer_text(r, 201, "Created.");
}
