#include "server/request_processor.h"

#include "core/blocks.h"
#include "core/format.h"
#include "core/path.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/tree_root.h"
#include "platform/win32/open_beneath.h"
#include "platform/win32/time.h"
#include "server/access_log.h"
#include "server/config/config_cache.h"
#include "server/config_info.h"
#include "server/dynip.h"
#include "server/http_request.h"
#include "server/http_server.h"
#include "server/http_tables.h"
#include "server/method_table.h"
#include "server/req_info.h"
#include "server/request_thread.h"
#include "server/response_headers.h"
#include "server/script_host.h"
#include "server/server_dirs.h"
#include "server/server_settings.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>

namespace {

constexpr int max_passes = 32;

// "Require env" reads the request's CGI variables.
class info_variables final : public request_variables {
  public:
    explicit info_variables(const req_info& info) : info_(info) {}
    std::string get(std::string_view name) const override { return info_.get(name); }

  private:
    const req_info& info_;
};

// Writes the log line of a request that has been answered; its request line
// is the method, the URL as the client sent it and the version.
void write_access_log_line(const http_request& request, const req_info& info,
                           const std::string& method, const khttp::request& k) {
    the_access_log().log({info.view("REMOTE_ADDR"), info.user_name, method, k.raw_url,
                          k.version_major, k.version_minor,
                          request.status_code != 0 ? request.status_code : request.status,
                          request.bytes_sent, request.referer, request.user_agent});
}

bool begins_with_scheme(const std::string& s) {
    return s.rfind("http://", 0) == 0 || s.rfind("https://", 0) == 0;
}

// Scheme and host cut off an absolute URL, up to its path.
std::string path_of_url(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t slash = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return slash == std::string::npos ? std::string("/") : url.substr(slash);
}

// The real path of a local path: symbolic links resolved as far as the path
// exists, the missing rest appended as written. Empty when nothing resolves.
std::string real_path_of(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    std::string missing;
    for (int depth = 0; depth < 4096 && !path.empty(); ++depth) {
        char buf[PATH_MAX];
        if (::realpath(path.c_str(), buf)) return std::string(buf) + missing;
        if (errno != ENOENT && errno != ENOTDIR) return std::string();
        const std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) return std::string();
        // A missing part may not climb: ".." after a missing folder would be
        // judged against the wrong place.
        if (path.compare(slash, std::string::npos, "/..") == 0) return std::string();
        missing = path.substr(slash) + missing;
        path.erase(slash == 0 ? 1 : slash);
        if (path == "/" && slash == 0) return missing;
    }
    return std::string();
}

// Symbolic links inside the tree may point anywhere; what a request reaches
// must still lie inside the document root once they are resolved. An
// existing name is opened beneath the root (one call for the usual request,
// a file reached through links that stay inside); a missing one is judged
// by the real path of what exists of it.
bool inside_root(const cl::tree_root& root, const std::wstring& local_path) {
    if (root.real().empty()) return false;
    const std::string path = cl::utf16_to_utf8(local_path);
    std::string_view rest;
    if (root.contains(path, rest)) {
        const int fd = root.open(rest, O_PATH);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        if (errno == EXDEV) return false;
    }
    return win32::path_within(real_path_of(path), root.real());
}

bool inside_document_root(const std::wstring& local_path) {
    const std::shared_ptr<const cl::tree_root>& root = cl::document_tree();
    return root && inside_root(*root, local_path);
}

// The same for the target of a configuration, answered once per
// configuration: a link on its path that changes makes a new one.
bool config_inside_document_root(const config_info& config) {
    const std::shared_ptr<const cl::tree_root>& root = cl::document_tree();
    if (!root) return false;
    const int known = config.served_file.inside_root(root->generation());
    if (known >= 0) return known == 1;
    const bool inside = inside_root(*root, config.local_path);
    config.served_file.set_inside_root(root->generation(), inside);
    return inside;
}

} // namespace

static bool names_write_temp(std::wstring_view url_path) {
    while (url_path.size() > 1 && url_path.back() == L'/')
        url_path.remove_suffix(1);
    const std::wstring_view leaf = url_path.substr(url_path.rfind(L'/') + 1);
    return leaf.size() == 24 && cl::is_write_temp_name(cl::utf16_to_utf8(leaf));
}

bool names_file_as_folder(bool folder_spelling, const config_info& config) {
    if (!folder_spelling || config.is_directory()) return false;
    std::string local = cl::utf16_to_utf8(config.local_path);
    while (local.size() > 1 && local.back() == '/')
        local.pop_back();
    struct stat st {};
    return ::stat(local.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

namespace {

struct pass_state {
    cl::sh_ptr<config_info> config;
    bool handler_answered = false;
    bool done = false; // answered in the passes (redirect, refused path)
};

} // namespace

namespace {

// Every request makes a record and drops it once answered: a thread keeps a
// few of those that came back to it, their texts with their room, so that
// the next record costs no construction and its path no allocation. One
// whose texts grew large goes instead, which bounds what is kept.
class request_data_pool {
  public:
    request_data_pool() {
        free_.reserve(limit);
        here = this;
    }
    ~request_data_pool() {
        here = nullptr;
        for (http_request_data* d : free_)
            delete d;
    }
    request_data_pool(const request_data_pool&) = delete;
    request_data_pool& operator=(const request_data_pool&) = delete;

    http_request_data* take() {
        if (free_.empty()) return new http_request_data();
        http_request_data* d = free_.back();
        free_.pop_back();
        return d;
    }
    // The thread's pool, null before it made one or once it went (a holder
    // let go while the thread ends).
    static thread_local request_data_pool* here;
    static void give(http_request_data* d) noexcept {
        request_data_pool* p = here;
        if (p && p->free_.size() < limit && d->clear_for_reuse(room_limit))
            p->free_.push_back(d);
        else
            delete d;
    }

  private:
    static constexpr std::size_t limit = 32;
    static constexpr std::size_t room_limit = 2048;
    std::vector<http_request_data*> free_;
};
thread_local request_data_pool* request_data_pool::here = nullptr;

std::shared_ptr<http_request_data> new_request_data() {
    thread_local request_data_pool pool;
    return std::shared_ptr<http_request_data>(
        pool.take(), [](http_request_data* d) { request_data_pool::give(d); },
        cl::block_allocator<http_request_data>());
}

} // namespace

std::shared_ptr<http_request_data> make_request_data(const khttp::request& k,
                                                     const win32::systemtime& now) {
    std::shared_ptr<http_request_data> d = new_request_data();
    d->received = now;
    d->flags = k.flags;
    d->version = k.version_major * 100u + k.version_minor;
    d->request_id = k.request_id;
    d->method = method_name(static_cast<int>(k.verb), k.unknown_verb);
    // The slots the service's head filled (a record made elsewhere says 0 and
    // is read whole): the rest of a record that came in a few dozen requests
    // ago stays untouched, and cold.
    uint64_t slots = k.filled_headers;
    if (slots == 0) slots = ~uint64_t{0} >> (64 - khttp::request_header_count);
    for (; slots != 0; slots &= slots - 1) {
        const auto i = static_cast<std::size_t>(std::countr_zero(slots));
        if (i < d->known_headers.size() && !k.known_headers[i].empty())
            d->known_headers[i] = k.known_headers[i];
    }
    // A name that came more than once keeps every value, joined as the
    // service joins those of a known header: the map holds one entry a name.
    for (const auto& [name, value] : k.unknown_headers) {
        auto [at, fresh] = d->unknown_headers.try_emplace(name, value);
        if (fresh || value.empty()) continue;
        if (!at->second.empty()) at->second += ", ";
        at->second += value;
    }
    d->query = k.query;
    return d;
}

bool path_inside_document_root(const std::wstring& local_path) {
    return inside_document_root(local_path);
}

bool config_inside_root(const config_info& config) {
    return config_inside_document_root(config);
}

std::wstring media_folder_name(const std::wstring& media_dir) {
    std::wstring d = media_dir;
    while (!d.empty() && d.back() == L'/')
        d.pop_back();
    const std::size_t slash = d.rfind(L'/');
    return slash == std::wstring::npos ? d : d.substr(slash + 1);
}

std::wstring decode_media_path(const std::wstring& path, const std::wstring& media_folder) {
    if (media_folder.empty()) return path;
    const std::wstring p = L"/" + media_folder;
    // The content directory writes "/<media>/.enc/"; "/<media>.enc/" is the
    // older form and is still read.
    std::size_t prefix_size = 0;
    for (const std::wstring& prefix : {p + L"/.enc/", p + L".enc/"})
        if (path.size() >= prefix.size() &&
            cl::iequals_w(std::wstring_view(path).substr(0, prefix.size()), prefix)) {
            prefix_size = prefix.size();
            break;
        }
    if (prefix_size == 0) return path;
    const std::wstring rest = path.substr(prefix_size);
    const std::size_t dot = rest.rfind(L'.');
    if (dot == std::wstring::npos) return path;
    if (rest.find_first_of(L"\\:/") < dot) return path;
    const std::wstring hex = rest.substr(0, dot);
    if (hex.size() % 2 != 0) return path;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int v = cl::hex_pair_value(hex[i], hex[i + 1]);
        if (v < 32 || v == '\\') return path;
        bytes += static_cast<char>(v);
    }
    // The hex digits are the UTF-8 bytes of the name; bytes that are no
    // UTF-8 are read one character each, as the older form wrote them.
    std::wstring decoded = cl::utf8_to_utf16(bytes);
    if (cl::utf16_to_utf8(decoded) != bytes) {
        decoded.clear();
        for (unsigned char c : bytes)
            decoded += static_cast<wchar_t>(c);
    }
    // Names below subfolders keep their "/"; no segment may climb or vanish.
    const std::wstring name = decoded + L"." + rest.substr(dot + 1);
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = name.find(L'/', start);
        const std::wstring seg =
            name.substr(start, slash == std::wstring::npos ? slash : slash - start);
        if (seg.empty() || seg == L"." || seg == L"..") return path;
        if (slash == std::wstring::npos) break;
        start = slash + 1;
    }
    return p + L"/" + name;
}

namespace {

// A forwarded request that goes on on its event loop ends there: its log
// line is written then, and an error answer (which may run a script) is
// sent from a pool thread.
void finish_on_loop(std::unique_ptr<proxy_request> request, std::shared_ptr<khttp::request> kreq,
                    bool logging) {
    request->kernel_request = std::move(kreq);
    request->log_at_end = logging;
    proxy_request::go_on(std::move(request), [](std::unique_ptr<proxy_request> r, int status) {
        if (status == 0) {
            if (r->log_at_end)
                write_access_log_line(*r, *r->info, r->data->method, *r->kernel_request);
            return;
        }
        cl::thread_pool* pool = server_pool();
        std::shared_ptr<proxy_request> held(std::move(r));
        const auto answer = [held, status] {
            auto err = std::make_unique<http_error_request>(held->headers, status);
            run_request(*err, held->queue, held->data, held->info, true);
            if (held->log_at_end)
                write_access_log_line(*err, *held->info, held->data->method, *held->kernel_request);
        };
        if (!pool || the_http_server().stop_flag().load() || pool->run(answer) == 0) {
            khttp::response refusal;
            refusal.status = static_cast<uint16_t>(status);
            refusal.reason = status_text(status);
            khttp::send_response(held->queue, held->data->request_id, khttp::send_flag_disconnect,
                                 refusal);
        }
    });
}

// The end of a request's run: a status result is answered by an error
// request, and the log line written.
void finish_request(http_request& request, int result, const cl::sh_ptr<response_headers>& headers,
                    const request_queue_handle& queue,
                    const std::shared_ptr<http_request_data>& data,
                    const cl::sh_ptr<req_info>& info, const khttp::request& k, bool logging) {
    std::unique_ptr<http_error_request> err;
    if (result != 0) {
        err = std::make_unique<http_error_request>(headers, result);
        run_request(*err, queue, data, info, true);
    }
    if (logging)
        write_access_log_line(err ? static_cast<http_request&>(*err) : request, *info, data->method,
                              k);
}

} // namespace

namespace {

// One request on its way through the server, in named steps: the request
// record and its variables, the standard answer headers, the directive passes
// (redirects and handler scripts), the choice of the handler, and its run
// with the access log line.
struct request_road {
    _http_server& server;
    std::shared_ptr<khttp::request> kreq;
    const khttp::request& k;
    // A request that an event loop began and gave to a pool thread (it met
    // work that may block) is run again from the start: what the first run
    // counted and traced is not done twice. The mark: 0 for a fresh request,
    // else 1 + the passes whose path line was written.
    const uint32_t resumed;
    const server_values& settings;
    script_host& host;
    const int level;
    const request_queue_handle& queue;
    const win32::systemtime now;
    std::shared_ptr<http_request_data> data;
    cl::sh_ptr<req_info> info;
    cl::sh_ptr<response_headers> headers;
    bool is_proxy = false;
    // The method is ASCII: method_name writes no other characters.
    std::wstring method_w;
    pass_state st;

    request_road(_http_server& s, std::shared_ptr<khttp::request> r)
        : server(s), kreq(std::move(r)), k(*kreq), resumed(kreq->handler_mark),
          settings(server_settings()), host(the_script_host()), level(trace_level()),
          queue(s.queue()), now(win32::get_system_time()) {}

    void make_record();
    void make_headers();
    // False when the passes answered the request (a refused path, a
    // redirect, a handler script's answer).
    bool apply_passes();
    std::unique_ptr<http_request> choose_handler();
    void run_and_log(std::unique_ptr<http_request> request);

    // Runs an error answer for status; the request ends without a log line.
    void answer_error(int status, cl::sh_ptr<req_info> with_info, const std::string& redirect_to) {
        auto err = std::make_unique<http_error_request>(headers, status);
        err->redirect_to = redirect_to;
        run_request(*err, queue, data, with_info, true);
    }
};

void request_road::make_record() {
    // 1-3: request data and variables.
    if (resumed == 0) server.count_request();
    data = make_request_data(k, now);
    info = cl::make_sh<req_info>();
    info->data = data.get();
    info->connection_id = k.connection_id;

    if (level != 0 && resumed == 0)
        cl::trace_out.write_w(cl::format_wstr(L"connection %?: request %? for %?\n",
                                              k.connection_id, k.request_id, k.abs_path));

    // 5-7: addresses and the proxy test. The service fills the record no
    // more while it is held: the variables read its texts where they are.
    if (k.remote_text.error == 0) {
        info->borrow(req_info::slot::remote_addr, k.remote_text.host, kreq);
        info->borrow(req_info::slot::remote_port, k.remote_text.port, kreq);
    } else {
        cl::trace_out.write(cl::format_str("GetNameInfoA #1 error %?\n", k.remote_text.error));
    }
    std::string_view local_port;
    if (k.local_text.error == 0) {
        info->borrow(req_info::slot::server_name, k.local_text.host, kreq);
        info->borrow(req_info::slot::server_port, k.local_text.port, kreq);
        local_port = k.local_text.port;
    } else {
        cl::trace_out.write(cl::format_str("GetNameInfoA #2 error %?\n", k.local_text.error));
    }
    is_proxy = !settings.proxy_port.empty() &&
               std::equal(settings.proxy_port.begin(), settings.proxy_port.end(),
                          local_port.begin(), local_port.end(), [](wchar_t w, char c) {
                              return w == static_cast<wchar_t>(static_cast<unsigned char>(c));
                          });

    // 8-9: query and path.
    if (!k.query.empty() && level >= 2 && resumed == 0)
        cl::trace_out.write(cl::format_str("query: %?\n", k.query));
    if (resumed == 0) kreq->handler_mark = 1;
    data->path = k.abs_path;
    data->raw_url = k.raw_url;
    if (shell_settings().enable_media_server)
        data->path = decode_media_path(data->path, media_folder_name(media_dir()));
}

void request_road::make_headers() {
    // 10: response headers.
    headers = cl::make_sh<response_headers>();
    {
        const auto standard = standard_headers(now, settings.server_name);
        // Added in the order the headers keep, each goes to the end.
        struct place {
            std::size_t index;
            int id;
        };
        static const auto order = [&standard] {
            std::array<place, std::tuple_size_v<decltype(standard)>> r{};
            for (std::size_t i = 0; i < r.size(); ++i)
                r[i] = {i, response_header_id(standard[i].first)};
            std::stable_sort(r.begin(), r.end(), [](const place& a, const place& b) {
                return a.id >= 0 && b.id >= 0 &&
                       response_header_rank[static_cast<std::size_t>(a.id)] <
                           response_header_rank[static_cast<std::size_t>(b.id)];
            });
            return r;
        }();
        for (const place& p : order)
            if (p.index >= standard_constants_from)
                headers->add_lasting(p.id, standard[p.index].first, standard[p.index].second);
            else
                headers->add(p.id, standard[p.index].first, standard[p.index].second);
    }

    method_w.assign(data->method.begin(), data->method.end());
}

bool request_road::apply_passes() {
    // 11: directive passes.
    // The path of the pass: the request's own, which a handler script may
    // rewrite for the next pass.
    const std::wstring& path = data->path;
    bool saw_304 = false;
    int pass = 0;
    for (; pass < max_passes; ++pass) {
        st.config = server_config::config_for_path(path, method_w);
        if (st.config && !is_proxy && !config_inside_document_root(*st.config))
            st.config = cl::sh_ptr<config_info>();
        // A configuration of the cache has its path in UTF-8 already.
        if (!st.config)
            info->set(req_info::slot::tskqvl_file, std::string_view());
        else if (!st.config->local_path_utf8.empty() || st.config->local_path.empty())
            info->borrow(req_info::slot::tskqvl_file, st.config->local_path_utf8, st.config);
        else
            info->set(req_info::slot::tskqvl_file, cl::utf16_to_utf8(st.config->local_path));
        // The path as the client sent it has its UTF-8 form already.
        if (path == k.abs_path)
            info->borrow(req_info::slot::tskqvl_path, k.abs_path_utf8, kreq);
        else
            info->set(req_info::slot::tskqvl_path, cl::utf16_to_utf8(path));
        if (level >= 2 && resumed < static_cast<uint32_t>(pass) + 2)
            cl::trace_out.write_w(cl::format_wstr(L"request path: %?\n", path));
        kreq->handler_mark = std::max(kreq->handler_mark, static_cast<uint32_t>(pass) + 2);
        if (!st.config) {
            if (level >= 2)
                cl::trace_out.write_w(cl::format_wstr(L"invalid or blocked url (%?)\n",
                                                      is_proxy ? std::wstring(L"/") : path));
            answer_error(403, cl::sh_ptr<req_info>(), std::string());
            return false;
        }
        info->config = st.config;
        // A name with a "/" after it names a folder: where a file has that
        // name, the request is for a folder that does not exist, whatever the
        // method. The rules of the file (its Files sections, its being
        // read-only) then never meet a spelling that hides its name. The
        // server's own temporary files are no resources either.
        if (!is_proxy &&
            (names_file_as_folder(path.size() > 1 && path.back() == L'/', *st.config) ||
             names_write_temp(path))) {
            if (level >= 2) cl::trace_out.write_w(cl::format_wstr(L"not served: %?\n", path));
            answer_error(404, cl::sh_ptr<req_info>(), std::string());
            return false;
        }

        // Names under the dynamic-address prefix go to their registered
        // address, the raw URL's rest and query kept as they came.
        if (pass == 0) {
            std::string location, address;
            int dyn_status = 0;
            uint8_t dyn_flag = 0;
            if (lookup_dynamic_redirect(k.raw_url, location, dyn_status, address, dyn_flag)) {
                if (dyn_flag) {
                    const std::string client = info->get("REMOTE_ADDR");
                    host.dynip_call(address, client + " " + info->get("REMOTE_PORT"),
                                    client.find('.') != std::string::npos ? 2 : 23);
                }
                info->set(req_info::slot::tskqvl_redirect_to, location);
                answer_error(dyn_status, info, location);
                return false;
            }
        }

        // Redirects: a host redirect wins over a path redirect.
        std::string redirect_target;
        uint32_t redirect_status = 0;
        const host_redirect_result hr =
            apply_host_redirects(*st.config, data->header(http_header_host));
        std::string path_target = st.config->redirect_target;
        if (data->method == "PROPFIND" && st.config->is_directory() && !path_target.empty()) {
            if (begins_with_scheme(path_target)) path_target = path_of_url(path_target);
            cl::sh_ptr<config_info> target = server_config::config_for_url(path_target, method_w);
            if (target && target->is_file()) path_target.clear();
        }
        if (!hr.target.empty()) {
            redirect_status = hr.status;
            redirect_target =
                std::string(k.secure ? "https://" : "http://") + hr.target + k.raw_url;
        } else if (!path_target.empty()) {
            redirect_status = st.config->redirect_status;
            redirect_target = path_target;
            if (!data->query.empty()) redirect_target += "?" + data->query;
        }
        if (!redirect_target.empty()) {
            info->set(req_info::slot::tskqvl_redirect_to, redirect_target);
            answer_error(static_cast<int>(redirect_status), info, redirect_target);
            return false;
        }

        // Handler scripts may answer or rewrite the path.
        const std::wstring& script = st.config->rewrite_script;
        if (script.empty() || saw_304) break;
        info->set(req_info::slot::request_method, data->method);
        info->set(req_info::slot::query_string, data->query);
        server.before_blocking();
        auto handler = std::make_unique<http_script_request>(headers, script);
        const std::wstring before = data->path;
        const int result = run_request(*handler, queue, data, info, true);
        if (result == 200) {
            write_access_log_line(*handler, *info, data->method, k);
            return false;
        }
        if (result == 304) {
            saw_304 = true;
        } else if (!is_proxy && data->path != before) {
            continue;
        }
        break;
    }
    if (pass == max_passes)
        cl::trace_out.write_w(cl::format_wstr(L"too many rewrites for %?\n", path));

    return true;
}

std::unique_ptr<http_request> request_road::choose_handler() {
    // 12-14: the request class.
    info->set(req_info::slot::query_string, data->query);
    info->set(req_info::slot::request_method, data->method);
    info->set(req_info::slot::remote_host, "");
    std::unique_ptr<http_request> request;
    const info_variables vars(*info);
    // The method as the client sent it: a method the service does not know
    // ("get", "mkcalendar") is compared in its own spelling, so "get" is not GET.
    const std::string& m = k.verb == khttp::verb::unknown ? k.unknown_verb : data->method;
    const bool admitted = check_require(data->method, *st.config, &vars);
    if (!admitted)
        request = std::make_unique<http_error_request>(headers, 403);
    else if (is_proxy)
        request = std::make_unique<proxy_request>(headers);
    else if (const method_row* row = find_method(m))
        request = row->make(headers);
    else
        request = std::make_unique<http_error_request>(headers, 405);
    return request;
}

void request_road::run_and_log(std::unique_ptr<http_request> request) {
    // 16: run; a status result is answered by an error request. The request
    // holds the data and the variables from now on.
    const bool logging = st.config->logging;
    const int result = run_request(*request, queue, std::move(data), std::move(info), true);
    if (result == proxy_request::continues_on_loop) {
        finish_on_loop(
            std::unique_ptr<proxy_request>(static_cast<proxy_request*>(request.release())),
            std::move(kreq), logging);
        return;
    }
    data = request->data;
    info = request->info;
    if (result == http_get_request::continues_on_runner) {
        // The page's own thread answers the request as far as the loop got
        // with it: nothing of the above is done twice.
        std::shared_ptr<http_get_request> get(static_cast<http_get_request*>(request.release()));
        std::shared_ptr<request_runner> runner = get->take_runner();
        server.run_on_runner(std::move(runner), [get, headers = headers, queue = queue, data = data,
                                                 info = info, kreq = kreq, logging] {
            finish_request(*get, resume_request(*get), headers, queue, data, info, *kreq, logging);
        });
        return;
    }
    finish_request(*request, result, headers, queue, data, info, k, logging);
}

} // namespace

void process_request(_http_server& server, std::shared_ptr<khttp::request> kreq) {
    request_road road(server, std::move(kreq));
    road.make_record();
    road.make_headers();
    if (!road.apply_passes()) return;
    road.run_and_log(road.choose_handler());
}
