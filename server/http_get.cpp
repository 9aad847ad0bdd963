// GET, HEAD and OPTIONS of a file of the served tree, and the error answers
// that reuse its file lookup and transmitter.
#include "core/folders.h"
#include "core/format.h"
#include "core/simple_file.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/access_checker.h"
#include "server/access_decision.h"
#include "server/blocklist.h"
#include "server/config/path_lookup.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/http_server.h"
#include "server/method_table.h"
#include "server/req_info.h"
#include "server/response_files.h"
#include "server/response_headers.h"
#include "server/script_file.h"
#include "server/script_host.h"
#include "server/server_dirs.h"
#include "server/server_services.h"

#include <algorithm>
#include <typeinfo>
#include <vector>

namespace {

constexpr uint32_t serve_flags = cl::o_rdonly | cl::o_binary;
constexpr uint32_t serve_share = cl::sh_denywr;
// A body from a descriptor at least this long goes out straight from it
// (sendfile): no copies through a buffer, few system calls.
constexpr int64_t send_file_minimum = 8 * 1024;
// Files below that are kept in memory with their configuration; larger ones
// are kept open (copying them from memory would cost more than sendfile).
constexpr uint64_t snapshot_limit = send_file_minimum - 1;
// An event loop compresses no more than this on the fly: a longer body is
// long work for a pool thread.
constexpr int64_t loop_compression_limit = 256 * 1024;

// Sends the whole body of an open plain file through the transport's file
// send, head first: true when the answer went out so (or its head failed).
// False, with nothing sent, for a body that needs the piecewise sender: a
// script's output, a file served from memory, a short one, a coded one.
bool send_from_descriptor(http_get_request& r) {
    if (r.headers_sent || r.body_done || r.mode != mode_get || !r.transport ||
        !r.transport->can_send_file())
        return false;
    cl::simple_file& f = r.file();
    if (typeid(f) != typeid(cl::simple_file) || f.body_descriptor() < 0) return false;
    const int64_t size = f.size();
    if (size < send_file_minimum) return false;
    bool gzip = false;
    int level = -1, mem_level = 9, window_bits = 15;
    if (r.plan_compression(size, gzip, level, mem_level, window_bits)) return false;
    const int64_t at = f.tell();
    if (at < 0) return false;
    const uint64_t length =
        f.has_range() ? f.bytes_left() : static_cast<uint64_t>(size - std::min(at, size));

    r.choose_body_encoding();
    r.add_policy_headers();
    if (r.body_done || r.chunked || r.compressing) {
        // Nothing for the descriptor to send (an answer without a body).
        if (!r.headers_sent) r.send_header(false);
        return true;
    }
    const uint64_t connection = r.info ? r.info->connection_id : 0;
    the_transfer_registry().report_transfer(connection, r.transfer_path, 0);
    r.send_header(false);
    if (!r.body_done) {
        r.body_done = true;
        uint32_t flags = http_request::server_send_flags() & ~send_flag_more_data;
        if (r.close_connection) flags |= send_flag_disconnect;
        if (trace_level() > 1) cl::trace_out.write(cl::format_str("do_send %? %?\n", length, true));
        const uint32_t err = r.transport->send_file(r.queue, r.data ? r.data->request_id : 0, flags,
                                                    f.body_descriptor(), static_cast<uint64_t>(at),
                                                    length, f.descriptor_holder());
        if (err != 0) {
            cl::trace_out.write(cl::format_str("do_send error %x\n", err));
        } else {
            r.bytes_sent += length;
            if (length) the_transfer_registry().add_bytes_sent(connection, length);
            if (trace_level() > 1)
                cl::trace_out.write(cl::format_str("finished (%x)\n", r.bytes_sent));
        }
    }
    the_transfer_registry().report_transfer(connection, r.transfer_path, -1);
    return true;
}

std::string decimal(int64_t v) {
    return cl::format_str("%?", v);
}

// A default document name as a local path: a leading "/" starts at the
// document root, anything else in the directory asked for. Empty when the
// name is no usable path.
std::wstring default_document_path(const config_info& config, const std::wstring& name) {
    std::wstring rel = server_config::resolve_relative_path(name);
    if (rel.empty()) return {};
    std::wstring full;
    if (rel.front() == L'/') {
        std::wstring root = public_dir();
        if (!root.empty() && root.back() == L'/') root.pop_back();
        full = root + rel;
    } else {
        full = config.directory + rel;
    }
    if (!server_config::check_any_filename(full, trace_level())) return {};
    return full;
}

} // namespace

int http_get_request::lookup_request_file() {
    config_info* cfg = config();
    if (!cfg) return 404;
    std::wstring path = cfg->local_path;
    if (cfg->is_directory()) {
        path.clear();
        for (const std::wstring& name : cfg->directory_index) {
            std::wstring candidate = default_document_path(*cfg, name);
            // A blocked default document is passed over for the next name.
            if (!candidate.empty() && cl::file_exists(candidate) &&
                !(file_attributes_of(candidate) & file_attribute_directory) &&
                !is_blocked(candidate)) {
                path = candidate;
                break;
            }
        }
        if (path.empty()) return 404;
    } else if (!cfg->is_file()) {
        return 404;
    }
    if (is_blocked(path)) return 403;

    file_path = path;
    transfer_path = path;
    std::unique_ptr<cl::simple_file> f = make_script_file(info, path);
    // A script whose host is not there yet is never served as its source.
    if (!f) return 501;
    // A script runs as its output is read: long work. A page whose own
    // thread can take the request now gets it from the event loop directly.
    if (typeid(*f) != typeid(cl::simple_file)) {
        if (may_hand_over_ && _http_server::running_on_loop())
            if (auto* page = dynamic_cast<script_response*>(f.get())) runner_ = page->own_runner();
        if (!runner_) the_http_server().before_blocking();
    }
    const bool plain = typeid(*f) == typeid(cl::simple_file);
    set_file(std::move(f));
    content_type = cfg->mime_type_of_file(path);
    // A small file named by the configuration itself is read once per change
    // and then served from memory.
    const bool memo = plain && path == cfg->local_path;
    if (memo && file_->open_snapshot(cfg->served_file.snapshot(), serve_share)) return 0;
    if (!file_->open(path, serve_flags, serve_share)) return 404;
    if (memo) cfg->served_file.after_open(*file_, snapshot_limit);
    return 0;
}

bool http_get_request::needs_login_first() {
    config_info* cfg = config();
    if (!cfg) return false;
    return decide_login(access_client_of(*this), data ? data->method : std::string(),
                        cl::sh_ptr<config_info>(cfg))
               .status == 401;
}

void http_get_request::drain_file(std::size_t piece) {
    // Output that can no longer reach the client is not produced: the page
    // learns at its next write that the client left.
    if (send_failed)
        if (auto* page = dynamic_cast<script_response*>(file_.get())) page->reader_gone();
    // A script's output is read to its end so that the script can finish.
    // Mostly there is nothing left: the first look needs no buffer.
    char first[256];
    if (file_->read(first, sizeof first) <= 0) return;
    std::vector<char> buffer(piece);
    while (file_->read(buffer.data(), static_cast<int64_t>(piece)) > 0) {
    }
}

int http_get_request::transmit_file(int s, const std::string& type_in) {
    config_info* cfg = config();
    if (!cfg) return 500;
    std::string type = type_in;
    int result = s;

    // The target's other steps were decided with the request; the login is
    // the one left to decide here.
    const access_answer access = decide_login(
        access_client_of(*this), data ? data->method : std::string(), cl::sh_ptr<config_info>(cfg));
    const bool granted = access.granted();
    std::string last_modified, etag;

    if (!granted) {
        if (info) info->user_name = access.auth.user_name; // the access log shows who tried
        set_response_status(access.status);
        headers->add_all(*access.challenge);
        set_file(std::make_unique<string_file>(challenge_text(access)));
        type = cfg->mime_type_of_file(L"string_file.txt");
    } else {
        if (info) {
            info->user_name = access.auth.user_name;
            set_cgi_auth_variables(access.auth, *info);
        }
        headers->add_all(*access.success);
        the_transfer_registry().set_transfer_file(info ? info->connection_id : 0, file_path,
                                                  info ? info->user_name : std::string());
        const int pre = check_preconditions(s, std::wstring(), false);
        // The validators are those of the file, also for a 304, which
        // stands for the answer the client already holds.
        if (pre != 412) {
            last_modified = file_->modified_time_text();
            if (!last_modified.empty() && cfg->file_etag) etag = file_->etag();
        }
        if (pre == 304) {
            if (!etag.empty()) {
                const std::string coded = coded_etag(etag, file_->size());
                if (coded != etag) headers->add("Vary", "Accept-Encoding, User-Agent");
                etag = coded;
            }
            set_file(nullptr);
            result = 304;
        } else if (pre == 412) {
            set_file(std::make_unique<string_file>("412 " + std::string(status_text(412))));
            type = cfg->mime_type_of_file(L"string_file.txt");
            result = 412;
        } else if (trace_level() > 1) {
            cl::trace_out.write(cl::format_str("transmitting %? (%? %x)\n", file_path,
                                               file_->size(), reinterpret_cast<uintptr_t>(this)));
        }
        if (mode == mode_options) result = 200;
        set_response_status(result);
    }
    if (mode == mode_options) type = "text/html";

    int64_t size = file_->size();
    if (granted && size >= 2 && result == 200 && data) {
        const std::string& if_range = data->header(http_header_if_range);
        if (if_range.empty()) {
            parse_range_header(size);
        } else {
            const std::string file_etag = file_->etag();
            const std::string file_date = file_->modified_time_text();
            if ((!file_etag.empty() && if_range == file_etag) ||
                (!file_date.empty() && if_range == file_date)) {
                cl::trace_out.write(cl::format_str("if-range: %?\n", if_range));
                parse_range_header(size);
                last_modified.clear();
            }
        }
    }
    int64_t range_length = -1;
    if (ranges.size() == 1) {
        cl::simple_file::range_list list{
            {static_cast<uint64_t>(ranges[0].first), static_cast<uint64_t>(ranges[0].second)}};
        if (file_->set_ranges(list)) {
            result = 206;
            set_response_status(206);
            headers->add("Content-Range",
                         cl::format_str("bytes %?-%?/%?", ranges[0].first, ranges[0].second, size));
            range_length = ranges[0].second - ranges[0].first + 1;
        } else {
            ranges.clear();
        }
    }
    // A 304 has no body and so no type of its own.
    if (size != -2 && result != 304) headers->add("Content-Type", type);
    if (mode != mode_get) size = 0;
    // A HEAD answer tells the length of the part a GET would send.
    if (range_length >= 0 && mode != mode_options)
        headers->add("Content-Length", decimal(range_length));
    if (granted) {
        if (!last_modified.empty()) headers->add("Last-Modified", last_modified);
        if (!etag.empty()) headers->add("Etag", etag);
    }
    if (mode == mode_options) {
        headers->add("Allow", allow_list());
        headers->add("Content-Length", "0");
        // Only what is served: ACL is answered 405.
        headers->add("DAV", "1, 2, 3, calendar-access, addressbook");
        headers->add("MS-Author-Via", "DAV");
    }
    if (size == 0) body_done = true;
    hand_headers_to_file();
    if (mode != mode_get && drain_after_head) drain_file(32768);
    return result;
}

int http_get_request::handle() {
    may_hand_over_ = true;
    const int found = lookup_request_file();
    may_hand_over_ = false;
    if (runner_ && found == 0) return continues_on_runner;
    runner_.reset();
    return answer_found(found);
}

int http_get_request::resume() {
    return answer_found(0);
}

int http_get_request::answer_found(int found) {
    if (found != 0 && mode != mode_options) {
        // In a folder that needs a login, a missing file answers as an
        // existing one does until the client has logged in: names cannot be
        // probed.
        if (!needs_login_first()) return found;
        set_file(std::make_unique<string_file>(std::string()));
    }
    file_->end_input();
    if (found == 0 && mode == mode_get && _http_server::running_on_loop()) {
        // Compressing a long body holds the loop: the request moves to a
        // pool thread now, before any of it has been traced or sent.
        const int64_t size = file_->size();
        bool gzip = false;
        int level = -1, mem_level = 9, window_bits = 15;
        if (size > loop_compression_limit &&
            plan_compression(size, gzip, level, mem_level, window_bits))
            the_http_server().before_blocking();
    }
    const int result = transmit_file(200, content_type);
    if (result >= 400) return result;
    if (!send_from_descriptor(*this)) send_body();
    drain_after_send();
    return 0;
}

void http_get_request::drain_after_send() {
    // Only a script's output can remain unread once the body is sent.
    if (typeid(*file_) != typeid(cl::simple_file)) drain_file(8192);
}

int http_error_request::handle() {
    if (data) {
        if (info) info->settle_header_variables();
        for (http_header_id id :
             {http_header_range, http_header_if_match, http_header_if_modified_since,
              http_header_if_none_match, http_header_if_range, http_header_if_unmodified_since})
            data->known_headers[id].clear();
    }
    if (info && !info->config) info->config.reset(new config_info());
    config_info* cfg = config();
    if (!cfg) return 0;

    std::wstring doc;
    const auto it = cfg->error_documents.find(static_cast<uint32_t>(error_status));
    doc = it != cfg->error_documents.end() ? it->second : cfg->default_error_document;
    int s = error_status;
    const std::wstring lower = cl::to_lower_copy_w(doc.substr(0, 8));
    if (lower.rfind(L"http://", 0) == 0 || lower.rfind(L"https://", 0) == 0) {
        s = 302;
        redirect_to = cl::utf16_to_utf8(doc);
        if (data && !data->query.empty()) redirect_to += "?" + data->query;
        set_file(std::make_unique<string_file>("Redirected to " + redirect_to));
        transmit_string(s, cfg->mime_type_of_file(L"string_file.txt"));
    } else if (!doc.empty() && cl::file_exists(doc) && !no_body) {
        cl::sh_ptr<config_info> page(new config_info());
        page->attributes = file_attributes_of(doc);
        const std::size_t slash = doc.rfind(L'/');
        page->directory = slash == std::wstring::npos ? std::wstring() : doc.substr(0, slash + 1);
        page->file_name = slash == std::wstring::npos ? doc : doc.substr(slash + 1);
        page->local_path = doc;
        page->directory_utf8 = cl::utf16_to_utf8(page->directory);
        page->file_name_utf8 = cl::utf16_to_utf8(page->file_name);
        if (info) info->config = page;
        // The page is served whatever the look-up says; the answer keeps the
        // error status.
        lookup_request_file();
        if (info) info->set("REDIRECT_STATUS", decimal(s));
        transmit_file(s, page->mime_type_of_file(doc));
    } else {
        set_file(std::make_unique<string_file>(
            no_body ? std::string() : decimal(s) + " " + std::string(status_text(s))));
        transmit_string(s, cfg->mime_type_of_file(L"string_file.txt"));
    }
    file_->end_input();
    set_response_status(s);
    if (!redirect_to.empty()) headers->add("Location", redirect_to);
    // The methods the server dispatches to a handler; any other is a 405.
    if (s == 405) headers->add("Allow", allow_list());
    send_body();
    drain_after_send();
    return 0;
}
