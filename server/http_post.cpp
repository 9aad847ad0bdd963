// POST to a file, the rewrite-script step, and the feeder that passes a
// request body to a dynamic page while its output is sent.
#include "server/http_post.h"

#include "core/file_hnd.h"
#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/config/path_lookup.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/http_server.h"
#include "server/request_thread.h"
#include "server/response_files.h"
#include "server/script_file.h"
#include "server/script_host.h"
#include "server/server_dirs.h"
#include "server/server_settings.h"
#include "system/system_helpers.h"

#include <vector>

namespace {

constexpr uint32_t more_body_flag = khttp::request_flag_more_entity_body;

// Control bits at the head of a script step's output.
constexpr uint8_t control_wants_body = 1;
constexpr uint8_t control_empty_200 = 2;
constexpr uint8_t control_head_now = 4;
constexpr uint8_t control_304 = 8;

} // namespace

void feed_request_body(http_request& request) {
    constexpr uint32_t piece = 32768;
    std::vector<char> buffer(piece);
    const uint64_t id = request.data ? request.data->request_id : 0;
    const bool dump = server_settings().dump_request_body;
    bool taking = true;
    for (;;) {
        uint32_t received = 0;
        const uint32_t rc =
            request.transport->receive_body(request.queue, id, 0, buffer.data(), piece, received);
        if (received > 0) {
            if (dump) {
                cl::trace_out.write("post/put dump:\n");
                sys::trace_hex_dump(buffer.data(), received);
            }
            the_http_server().add_bytes_received(received);
            // A page that stopped reading takes no more; the rest of the
            // body is left to the HTTP service.
            if (taking &&
                request.file().write(buffer.data(), received) < static_cast<int64_t>(received))
                taking = false;
        }
        if (rc != 0 || !taking || request.destroying()) break;
    }
    request.file().end_input();
}

bool start_body_feeder(http_request& request) {
    cl::thread_pool* pool = server_pool();
    request.work_started();
    const bool started = pool && pool->run([&request] {
        try {
            feed_request_body(request);
        } catch (const std::exception& e) {
            cl::trace_out.write(cl::format_str("request body: %?\n", e.what()));
            request.file().end_input();
        }
        request.work_done();
    }) != 0;
    if (!started) {
        request.file().end_input();
        request.work_done();
    }
    return started;
}

int http_post_request::handle() {
    if (!data) return 500;
    // The body goes to the page as it came: a coded or partial body would
    // reach it as something else.
    const std::string_view coding = cl::trimmed(data->header(http_header_content_encoding));
    if ((!coding.empty() && !cl::iequals(coding, "identity")) ||
        !data->header(http_header_content_range).empty())
        return 501;
    int result = lookup_request_file();
    if (result != 0 && needs_login_first()) {
        set_file(std::make_unique<string_file>(std::string()));
        result = 0;
    }
    if (result == 0) result = transmit_file(200, content_type);
    if (result >= 400) return result;
    if (data->flags & more_body_flag)
        start_body_feeder(*this);
    else
        file_->end_input();
    send_body();
    drain_file(8192);
    return 0;
}

int http_script_request::handle() {
    config_info* cfg = config();
    if (!cfg || !data || !server_config::check_any_filename(script_target, trace_level())) {
        if (trace_level() > 0)
            cl::trace_out.write_w(
                cl::format_wstr(L"rewrite: unable to open script: %?\n", script_target));
        return 404;
    }
    std::unique_ptr<cl::simple_file> script = make_script_file(*cfg, script_target);
    if (!script) {
        // No script host runs scripts: the request must not go on as if its
        // handler had let it pass.
        cl::trace_out.write_w(cl::format_wstr(L"rewrite: no script host for %?\n", script_target));
        set_file(std::make_unique<string_file>("501 " + std::string(status_text(501))));
        set_response_status(501);
        headers->add("Content-Type", "text/plain");
        file_->end_input();
        send_body();
        return 200;
    }
    set_file(std::move(script));
    if (!file_->open(script_target, cl::o_rdonly | cl::o_binary, cl::sh_denywr)) {
        if (trace_level() > 0)
            cl::trace_out.write_w(
                cl::format_wstr(L"rewrite: unable to open script: %?\n", script_target));
        return 404;
    }

    const bool more = (data->flags & more_body_flag) != 0;
    hand_headers_to_file();
    bool input_ended = false;
    if (!more) {
        file_->end_input();
        input_ended = true;
    }

    std::size_t size = 1024;
    std::vector<char> buffer(7 + size + 2);
    bool control_due = true;
    bool head_now = false;
    bool sent_data = false;
    uint8_t bits = 0;
    for (;;) {
        const int64_t n = file_->read(buffer.data() + 7, static_cast<int64_t>(size));
        if (n <= 0) break;
        std::size_t offset = 7;
        std::size_t length = static_cast<std::size_t>(n);
        while (control_due && length > 0) {
            const uint8_t control = static_cast<uint8_t>(buffer[offset]);
            ++offset;
            --length;
            control_due = false;
            if (control & control_wants_body) {
                if (!input_ended) {
                    start_body_feeder(*this);
                    data->flags &= ~more_body_flag;
                    input_ended = true;
                }
                control_due = true;
            } else if (control & control_head_now) {
                head_now = true;
            } else {
                bits |= control & (control_empty_200 | control_304);
            }
        }
        if (head_now) {
            add_policy_headers();
            body_done = true;
            send_header(true);
            break;
        }
        if (length > 0) {
            if (!headers_sent) {
                take_script_compression(*this);
                choose_body_encoding();
                add_policy_headers();
                send_header(false);
            }
            if (!length_known) length_known = file_->size() != -2;
            if (body_done) break;
            send_piece(buffer.data(), offset, length);
            sent_data = true;
        }
        if (static_cast<std::size_t>(n) == size && size < 131072) {
            size *= 2;
            buffer.resize(7 + size + 2);
        }
    }
    if (!input_ended) file_->end_input();

    if (!sent_data) {
        if (bits & control_empty_200) {
            if (!headers_sent) {
                body_done = true;
                send_header(true);
            } else if (!body_done) {
                body_done = true;
                do_send(nullptr, 0);
            }
            return 200;
        }
        return (bits & control_304) || head_now ? 304 : 204;
    }
    if (!body_done) send_piece(buffer.data(), 7, 0);
    return 200;
}
