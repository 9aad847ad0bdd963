// Response transmission: the status, the body encoding (fixed length,
// chunks, gzip or deflate), the policy headers, the head and the body pieces
// with the server's own chunk framing.
#include "server/http_response.h"

#include "core/format.h"
#include "core/simple_file.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/http_server.h"
#include "server/req_info.h"
#include "server/response_headers.h"
#include "server/script_file.h"
#include "server/server_dirs.h"
#include "server/server_services.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

int body_encoding_case(int64_t size, bool has_transfer_encoding, bool has_content_length) {
    return (size >= 0 ? 1 : 0) + (has_transfer_encoding ? 2 : 0) + (has_content_length ? 4 : 0);
}

bool body_case_allows_compression(int body_case, std::string_view te_value) {
    switch (body_case) {
    case 0:
    case 1:
    case 4:
    case 5:
        return true;
    case 2:
        return cl::iequals(cl::trimmed(te_value), "chunked");
    default:
        return false;
    }
}

bool is_old_internet_explorer(std::string_view ua) {
    if (ua.find("MSIE") == std::string_view::npos) return false;
    const std::size_t t = ua.find("Trident/");
    if (t == std::string_view::npos) return true;
    const std::size_t d = t + 8;
    return d < ua.size() && ua[d] >= '0' && ua[d] <= '4';
}

void accepted_codings(std::string_view accept_encoding, bool& gzip, bool& deflate) {
    gzip = deflate = false;
    std::size_t pos = 0;
    while (pos <= accept_encoding.size()) {
        std::size_t comma = accept_encoding.find(',', pos);
        if (comma == std::string_view::npos) comma = accept_encoding.size();
        // Tokens are compared as they stand between the commas: "gzip, deflate"
        // accepts gzip alone, which every client decodes alike.
        const std::string_view token = accept_encoding.substr(pos, comma - pos);
        if (cl::iequals(token, "gzip"))
            gzip = true;
        else if (cl::iequals(token, "deflate"))
            deflate = true;
        pos = comma + 1;
    }
}

bool wildcard_match(std::string_view p, std::string_view t) {
    std::size_t pi = 0, ti = 0;
    std::size_t star = std::string_view::npos, mark = 0;
    while (ti < t.size()) {
        if (pi < p.size() && (p[pi] == '?' || p[pi] == t[ti])) {
            ++pi;
            ++ti;
        } else if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = ti;
        } else if (star != std::string_view::npos) {
            pi = star + 1;
            ti = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*')
        ++pi;
    return pi == p.size();
}

deflate_parameters clamp_deflate_parameters(int level, int mem_level, int window_bits) {
    deflate_parameters d;
    d.level = std::clamp(level, -1, 9);
    d.mem_level = std::clamp(mem_level, 1, 9);
    d.window_bits = std::clamp(window_bits, 8, 15);
    return d;
}

namespace {

std::string decimal(int64_t v) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    return std::string(digits, end);
}

} // namespace

void http_request::set_response_status(int s) {
    status_code = static_cast<uint16_t>(s);
    reason.assign(status_text(s));
    status = s;
    if (info) {
        char digits[16];
        const auto end = std::to_chars(digits, digits + sizeof digits, s).ptr;
        info->set(req_info::slot::tskqvl_response_code, std::string_view(digits, end - digits));
        info->set(req_info::slot::tskqvl_response_text, reason);
    }
}

bool http_request::body_forbidden() const {
    if (status_code == 304 || status_code == 204 || (status_code >= 100 && status_code < 200))
        return true;
    if (data && data->method == "HEAD") return true;
    return false;
}

void http_request::choose_body_encoding() {
    compressing = false;
    const int64_t size = file_->size();
    length_known = size != -2;
    chunked = false;
    if (size == 0) body_done = true;
    // A HEAD answer, a 304 and the like end with their head; they still get
    // the Content-Length of the body they stand for.
    if (body_forbidden()) body_done = true;
    if (size == 0) return;

    const bool has_te = headers->has(http_header_transfer_encoding);
    const bool has_cl = headers->has(http_header_content_length);
    const int body_case = body_encoding_case(size, has_te, has_cl);
    bool allowed =
        body_case_allows_compression(body_case, headers->view(http_header_transfer_encoding));
    if (body_case == 0 && !body_done) {
        headers->add("Transfer-Encoding", "Chunked");
        chunked = true;
    } else if (body_case == 1) {
        headers->add(http_header_content_length, "Content-Length", decimal(size));
    }

    // A partial answer stays as it is: compressing it would give a
    // Content-Range that counts bytes of a body the client never sees.
    if (status_code == 206 || headers->has(http_header_content_range)) allowed = false;

    bool use_gzip = false;
    int level = -1, mem_level = 9, window_bits = 15;
    if (allowed && !body_done && plan_compression(size, use_gzip, level, mem_level, window_bits)) {
        const int bits = use_gzip ? window_bits + 16 : -window_bits;
        // A compressor that cannot start (zlib not bound, parameters
        // refused) means a plain body: announcing a coding that no byte
        // follows would leave the client with an empty body.
        if (deflate_init(compressor, level, bits, mem_level) == Z_OK) {
            chunked = true;
            compressing = true;
            headers->add("Content-Encoding", use_gzip ? "gzip" : "deflate");
            headers->add("Vary", "Accept-Encoding, User-Agent");
            headers->remove(std::string_view("Content-Length"));
            headers->add("Transfer-Encoding", "Chunked");
            const std::string etag = headers->get("etag");
            if (!etag.empty()) headers->add("ETag", coded_etag(etag, size));
        }
    }

    // HTTP/1.0 knows no chunks: the end of the body is the end of the
    // connection.
    if (data && data->version == 100 && chunked) {
        headers->remove(std::string_view("Transfer-Encoding"));
        chunked = false;
        close_connection = true;
    }
}

bool http_request::plan_compression(int64_t size, bool& use_gzip, int& level, int& mem_level,
                                    int& window_bits) const {
    const config_info* cfg = config();
    if (!cfg || size == 0) return false;
    if (size > 0 && size < (int64_t(1) << 32) &&
        static_cast<uint64_t>(size) < cfg->deflate_minimum_size)
        return false;
    if (!cfg->deflate_output && !compression) return false;
    bool gzip = false, deflate = false;
    deflate_parameters p;
    accepted_codings(data ? std::string_view(data->header(http_header_accept_encoding))
                          : std::string_view(),
                     gzip, deflate);
    if (compression) {
        // The request's own switches pick among the codings the client
        // takes: a body in a coding it never asked for is unreadable to it.
        gzip = gzip && compression->gzip;
        deflate = deflate && compression->deflate;
        p = clamp_deflate_parameters(compression->level, compression->mem_level,
                                     compression->window_bits);
    } else {
        p = clamp_deflate_parameters(cfg->deflate_compression_level,
                                     static_cast<int>(cfg->deflate_mem_level),
                                     static_cast<int>(cfg->deflate_window_size));
    }
    if (!gzip && !deflate) return false;
    const bool old_ie = data && is_old_internet_explorer(data->header(http_header_user_agent));
    use_gzip = !deflate || (old_ie && gzip);
    level = p.level;
    mem_level = p.mem_level;
    window_bits = p.window_bits;
    return true;
}

std::string http_request::coded_etag(const std::string& etag, int64_t size) const {
    bool use_gzip = false;
    int level = -1, mem_level = 9, window_bits = 15;
    if (etag.empty() || !plan_compression(size, use_gzip, level, mem_level, window_bits))
        return etag;
    return etag_with_suffix(etag, cl::format_str("%?%?%?%?", use_gzip ? "CG" : "CD", level,
                                                 mem_level, window_bits % 16));
}

std::string etag_with_suffix(std::string_view etag, std::string_view suffix) {
    std::string out(etag);
    // The suffix belongs inside the quotes: after them the tag is no valid
    // entity tag and a client could never send it back.
    if (out.size() >= 2 && out.back() == '"')
        out.insert(out.size() - 1, suffix);
    else
        out += suffix;
    return out;
}

void http_request::add_policy_headers() {
    const config_info* cfg = config();
    if (!cfg || !data) return;
    if (!cfg->allowed_origins.empty()) {
        const std::string origin = data->get_header("Origin");
        if (!origin.empty()) {
            bool match = cfg->allowed_origins.front() == "*";
            for (std::size_t i = 0; !match && i < cfg->allowed_origins.size(); ++i)
                match = wildcard_match(cfg->allowed_origins[i], origin);
            if (match) headers->add("Access-Control-Allow-Origin", origin);
        }
    }
    if (!cfg->expires_active) return;
    const std::string type = headers->get("content-type");
    int32_t rule = cfg->expires_default;
    const auto it = cfg->expires_by_type.find(type);
    if (it != cfg->expires_by_type.end()) rule = it->second;
    if (rule == expiry_unset || headers->view("last-modified").empty()) return;

    constexpr int64_t second = 10000000; // FILETIME units
    win32::filetime request_time = 0;
    win32::systemtime_to_filetime(data->received, request_time);
    win32::filetime expiry = 0;
    int64_t max_age = 0;
    if (rule >= 0) {
        expiry = request_time + static_cast<win32::filetime>(rule) * second;
        max_age = rule;
    } else {
        const win32::filetime written = file_->last_write_filetime();
        const int64_t m = rule == expiry_modification_zero ? 0 : -static_cast<int64_t>(rule);
        expiry = written + static_cast<win32::filetime>(m) * second;
        const int64_t age =
            (static_cast<int64_t>(request_time) - static_cast<int64_t>(written)) / second;
        max_age = m - age;
    }
    win32::systemtime st{};
    if (win32::filetime_to_systemtime(expiry, st)) headers->add("Expires", format_http_date(st));
    headers->add("Cache-Control", "max-age=" + (max_age > 0 ? decimal(max_age) : std::string("0")));
}

void http_request::send_header(bool last) {
    headers_sent = true;
    if (headers->view(http_header_content_type).empty() && status_code != 304 && !forwarded_head)
        headers->add("Content-Type", "text/plain; charset=utf-8");
    if (data && data->get_header("getcontentFeatures.dlna.org") == "1")
        headers->add("contentFeatures.dlna.org",
                     cl::utf16_to_utf8(get_content_features(headers->get("Content-Type"))));
    // A script's "Status" field sets the answer's status.
    const std::string status_header(headers->has_other_names() ? headers->view("status") : "");
    if (!status_header.empty()) {
        const std::string_view lead(status_header.data(),
                                    std::min(status_header.find(' '), status_header.size()));
        int n = 0;
        for (char c : lead) {
            if (!cl::is_digit(c) || n > 99999) break;
            n = n * 10 + (c - '0');
        }
        if (n != 0) set_response_status(n);
    }
    if (cl::iequals(headers->view(http_header_connection), "Close")) close_connection = true;
    if (last && close_connection) body_done = true;
    bool defaulted = false;
    if (status_code == 0) {
        set_response_status(200);
        defaulted = true;
    }
    if (body_forbidden()) body_done = true;
    if (trace_level() > 1)
        cl::trace_out.write(
            cl::format_str("   %? %?%?\n", status_code, reason, defaulted ? " (default)" : ""));
    uint32_t flags = server_send_flags();
    if (!body_done) flags |= send_flag_more_data;
    if (body_done && close_connection) flags |= send_flag_disconnect;
    const uint32_t err = transport->send_response(queue, data ? data->request_id : 0, flags,
                                                  build_http_response_headers());
    if (err != 0) {
        send_failed = true;
        head_refused(err);
    }
}

void http_request::head_refused(uint32_t err) {
    cl::trace_out.write(cl::format_str("send_header error %x\n", err));
    body_done = true;
    // A head that cannot be written (a field the wire refuses) sent nothing:
    // the client gets an error answer and the connection ends, rather than
    // waiting for an answer that never comes.
    kernel_response failed;
    failed.status = static_cast<uint16_t>(forwarded_head ? 502 : 500);
    failed.reason = forwarded_head ? "Bad Gateway" : "Internal Server Error";
    failed.known_headers[http_header_content_length] = "0";
    failed.written_slots = uint64_t{1} << http_header_content_length;
    transport->send_response(queue, data ? data->request_id : 0, send_flag_disconnect, failed);
    status_code = failed.status;
}

kernel_response http_request::build_http_response_headers() const {
    kernel_response response;
    response.status = status_code;
    response.reason = reason;
    headers->for_each_known([&](const response_headers::field& f) {
        // A connection about to close must not be announced as kept alive.
        if (close_connection && (f.id == http_header_connection || f.id == http_header_keep_alive))
            return;
        response.known_headers[static_cast<std::size_t>(f.id)] = f.value;
        response.written_slots |= uint64_t{1} << f.id;
    });
    response.checked_slots = headers->checked_slots();
    for (const response_headers::field& f : headers->other_fields())
        if (!cl::iequals(f.name, "Status")) response.unknown_headers.emplace_back(f.name, f.value);
    for (const auto& cookie : headers->cookies())
        response.unknown_headers.emplace_back("Set-Cookie", cookie);
    if (close_connection) {
        response.known_headers[http_header_connection] = "close";
        response.written_slots |= uint64_t{1} << http_header_connection;
    }
    return response;
}

namespace {

void frame_chunk_in_place(std::string& out) {
    // out starts with 7 placeholder bytes for the chunk head.
    const std::string head = cl::format_str("%05x\r\n", out.size() - 7);
    out.replace(0, 7, head);
    out += "\r\n";
}

} // namespace

void http_request::send_piece(char* buffer, std::size_t offset, std::size_t length, bool last) {
    if (length > 0) {
        char* at = buffer + offset;
        if (!chunked) {
            if (last && length_known) {
                body_done = true;
                if (trace_level() > 1)
                    cl::trace_out.write(cl::format_str("finished (%x)\n", bytes_sent + length));
            }
            do_send(at, length);
        } else if (!compressing) {
            // Bodies are read in pieces far below 0xFFFFF bytes, so the head
            // (five hex digits and CRLF) always takes exactly the 7 bytes left
            // free before the data.
            char* head = at - 7;
            std::size_t v = length;
            for (int k = 4; k >= 0; --k, v >>= 4)
                head[k] = "0123456789abcdef"[v & 0xF];
            head[5] = '\r';
            head[6] = '\n';
            at[length] = '\r';
            at[length + 1] = '\n';
            do_send(at - 7, length + 9);
        } else {
            std::string out(7, '0');
            deflate_append(compressor, out, std::string_view(at, length), false);
            if (out.size() > 7) {
                frame_chunk_in_place(out);
                do_send(out.data(), out.size());
            }
        }
        return;
    }

    body_done = true;
    if (trace_level() > 1) cl::trace_out.write(cl::format_str("finished (%x)\n", bytes_sent));
    if (!length_known) {
        std::wstring text = file_->error_text();
        if (text.empty()) text = L"No script output?";
        const std::string body = "Script Execution Error:\n\n" + cl::utf16_to_utf8(text);
        if (compressing) {
            std::string out(7, '0');
            deflate_append(compressor, out, body, true);
            if (out.size() > 7) {
                frame_chunk_in_place(out);
                out += "0\r\n\r\n";
            } else {
                out = "0\r\n\r\n";
            }
            do_send(out.data(), out.size());
        } else if (chunked) {
            const std::string out = cl::format_str("%x\r\n%?\r\n0\r\n\r\n", body.size(), body);
            do_send(out.data(), out.size());
        } else {
            do_send(body.data(), body.size());
        }
        return;
    }
    if (chunked && compressing) {
        std::string out(7, '0');
        deflate_append(compressor, out, std::string_view(), true);
        if (out.size() > 7) {
            frame_chunk_in_place(out);
            out += "0\r\n\r\n";
        } else {
            out = "0\r\n\r\n";
        }
        do_send(out.data(), out.size());
    } else if (chunked) {
        do_send("0\r\n\r\n", 5);
    } else {
        do_send(nullptr, 0);
    }
}

void http_request::do_send(const void* bytes, std::size_t length) {
    if (trace_level() > 1)
        cl::trace_out.write(cl::format_str("do_send %? %?\n", length, body_done));
    uint32_t flags = server_send_flags();
    if (!body_done) flags |= send_flag_more_data;
    if (body_done && close_connection) flags |= send_flag_disconnect;
    const uint32_t err = transport->send_body(queue, data ? data->request_id : 0, flags,
                                              length ? bytes : nullptr, length);
    if (err != 0) {
        cl::trace_out.write(cl::format_str("do_send error %x\n", err));
        body_done = true;
        send_failed = true;
        return;
    }
    bytes_sent += length;
    if (length) the_transfer_registry().add_bytes_sent(info ? info->connection_id : 0, length);
}

void http_request::send_body() {
    // A script page sets the answer's headers and its compression until its
    // first output: the coding is chosen once that (or the end) is there.
    bool coding_due = !headers_sent && !body_done && is_script_response(*file_);
    if (!headers_sent && !coding_due) {
        choose_body_encoding();
        add_policy_headers();
    }
    if (body_done) {
        if (!headers_sent) send_header(false);
        return;
    }
    // A body of unknown length (a script's output) can keep this thread
    // waiting for its producer; a send that has to wait for the client makes
    // sure of another receiver itself.
    const int64_t body_size = file_->size();
    if (body_size < 0) the_http_server().before_blocking();
    const uint64_t connection = info ? info->connection_id : 0;
    // The first 8 KiB go through the stack: a small file needs no buffer
    // of its own; a larger body grows into a heap one.
    std::size_t size = 8192;
    char first[8192];
    std::vector<char> grown;
    char* buffer = first;
    // A longer body of known length is read in as few pieces as the buffer's
    // bound allows, not in pieces that double from 8 KiB.
    if (body_size > static_cast<int64_t>(size - 9)) {
        while (size < 131072 && static_cast<int64_t>(size - 9) < body_size)
            size *= 2;
        grown.resize(size);
        buffer = grown.data();
    }
    uint64_t read_total = 0;
    uint32_t last_progress = win32::get_tick_count() - 250;
    the_transfer_registry().report_transfer(connection, transfer_path, 0);
    // One piece at at + 7 (with 2 bytes free after it): the head once it is
    // due, then the piece. False once the answer is over.
    auto deliver = [&](char* at, int64_t n) {
        read_total += static_cast<uint64_t>(n);
        if (!length_known) length_known = file_->size() != -2;
        if (coding_due) {
            coding_due = false;
            take_script_compression(*this);
            choose_body_encoding();
            add_policy_headers();
        }
        if (!headers_sent) send_header(n == 0);
        if (body_done) return false; // the head failed, or it ended the answer
        send_piece(at, 7, static_cast<std::size_t>(n));
        return !body_done;
    };
    // A page that runs on this thread hands its pieces over as it writes,
    // while the read that runs it is not back yet.
    auto* page = dynamic_cast<script_response*>(file_.get());
    std::vector<char> handed;
    struct sink_guard {
        script_response* page;
        ~sink_guard() {
            if (page) page->set_output_sink(nullptr);
        }
    } guard{page};
    if (page)
        page->set_output_sink([&](const char* data, std::size_t count) {
            if (handed.size() < count + 9) handed.resize(count + 9);
            std::memcpy(handed.data() + 7, data, count);
            return deliver(handed.data(), static_cast<int64_t>(count)) && !send_failed;
        });
    while (!body_done) {
        int64_t n = file_->read(buffer + 7, static_cast<int64_t>(size - 9));
        if (n < 0) n = 0;
        if (!deliver(buffer, n)) break;
        // A file of known length ends with its last byte: no read to see
        // the end of the file.
        if (n > 0 && !body_done && body_size > 0 && read_total == static_cast<uint64_t>(body_size))
            send_piece(buffer, 7, 0);
        if (static_cast<std::size_t>(n) == size - 9 && size < 131072) {
            size *= 2;
            grown.resize(size);
            buffer = grown.data();
        }
        if (win32::get_tick_count() - last_progress >= 250) {
            const int64_t total = file_->size();
            if (total > 0)
                the_transfer_registry().report_transfer(
                    connection, transfer_path,
                    static_cast<int>(read_total * 100 / static_cast<uint64_t>(total)));
            last_progress = win32::get_tick_count();
        }
    }
    the_transfer_registry().report_transfer(connection, transfer_path, -1);
}

void http_request::send_simple_response(int s) {
    if (!text_body.empty())
        headers->add("Content-Length", decimal(static_cast<int64_t>(text_body.size())));
    set_response_status(s);
    if (trace_level() > 1) cl::trace_out.write(cl::format_str("   %? %?\n", status_code, reason));
    headers_sent = true;
    const uint64_t id = data ? data->request_id : 0;
    const uint32_t err = transport->send_response(
        queue, id, send_flag_more_data | server_send_flags(), build_http_response_headers());
    body_done = true;
    if (err != 0) {
        head_refused(err);
        return;
    }
    if (body_forbidden())
        do_send(nullptr, 0);
    else
        do_send(text_body.data(), text_body.size());
}

int http_request::transmit_string(int s, const std::string& type) {
    if (trace_level() > 1)
        cl::trace_out.write(cl::format_str("transmitting string %? (%x)\n", s, file_->size()));
    set_response_status(s);
    headers->add("Content-Type", type);
    if (file_->size() == 0) body_done = true;
    hand_headers_to_file();
    return s;
}
