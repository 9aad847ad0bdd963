#include "scripting/cgi_file.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "core/uni_file.h"
#include "platform/win32/errors.h"
#include "scripting/cgi_command.h"
#include "scripting/run_as.h"
#include "server/blocklist.h"
#include "server/config_info.h"
#include "server/http_server.h"
#include "server/script_host.h"
#include "server/server_dirs.h"
#include "system/system_helpers.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace scripting {

namespace {

// The output's header block ends at its blank line: whatever follows is
// body, never read into the header parser.
struct header_only final : cl::rfc822_body_test {
    bool no_body(const cl::rfc822_msg&) const override { return true; }
};
const header_only header_only_test;

std::wstring directory_of(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'/');
    if (slash == std::wstring::npos) return {};
    return slash == 0 ? std::wstring(L"/") : path.substr(0, slash);
}

// The first non-empty line of a script, trimmed.
bool first_script_line(cl::uni_file& f, std::wstring& line) {
    std::wstring l;
    while (f.read_line_w(l)) {
        cl::trim_w(l);
        if (!l.empty()) {
            line = l;
            return true;
        }
    }
    return false;
}

// Whether the open file begins as a compiled program does; read without
// moving the file's position.
bool is_elf(int fd) {
    char magic[4] = {};
    return ::pread(fd, magic, 4, 0) == 4 && std::memcmp(magic,
                                                        "\x7f"
                                                        "ELF",
                                                        4) == 0;
}

} // namespace

// --- cgi_file_base ---

cgi_file_base::cgi_file_base() = default;

cgi_file_base::~cgi_file_base() {
    close_fd(child_in_read_);
    close_fd(in_write_);
    close_fd(child_out_write_);
    close_fd(out_read_);
}

void cgi_file_base::close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

int64_t cgi_file_base::write(const void* buffer, int64_t count) {
    if (!running_ || in_write_ < 0 || count <= 0) return 0;
    const char* p = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(in_write_, p + done, static_cast<std::size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        // A program that stopped reading its input (or ended) takes no more.
        if (n <= 0) break;
        done += n;
    }
    return done;
}

void cgi_file_base::end_input() {
    close_fd(in_write_);
}

void cgi_file_base::take_headers(cl::ref_cnt_base* companion) {
    started_ = true;
    auto* h = dynamic_cast<response_headers*>(companion);
    headers_ = h ? cl::sh_ptr<response_headers>(h) : cl::make_sh<response_headers>();
    if (companion) companion->release();
}

// --- cgi_file ---

cgi_file::cgi_file(cl::sh_ptr<req_info> info, std::wstring path, bool interpreter_mode,
                   cgi_options options)
    : info_(std::move(info)), path_(std::move(path)), options_(std::move(options)),
      interpreter_mode_(interpreter_mode) {
    if (is_blocked(path_)) {
        error_text_ = L"script blocked.";
        return;
    }
    // Every end close-on-exec: the child gets its two ends as 0, 1 and 2
    // and nothing else, so no other request's pipe can leak into it.
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        error_text_ = cl::format_wstr(L"pipe error %?\n", win32::from_errno(errno));
        return;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_text_ = cl::format_wstr(L"pipe error %?\n", win32::from_errno(errno));
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    child_in_read_ = move_above_standard(in[0]);
    in_write_ = in[1];
    out_read_ = out[0];
    child_out_write_ = move_above_standard(out[1]);
    header_parser_.set_max_header_bytes(cl::rfc822_msg::default_max_header_bytes);
    if (info_) complete_cgi_variables(*info_, path_);
    running_ = child_in_read_ >= 0 && child_out_write_ >= 0;
}

cgi_file::~cgi_file() {
    // Closing the output first: a child still writing learns at once that
    // nobody reads any more.
    close_fd(out_read_);
    close_fd(in_write_);
    close_fd(script_fd_);
    if (child_ && !child_->exited()) {
        // A child that outlives its answer (it closed its output and works
        // on, or nobody read it to the end) gets the time-out to finish.
        // With no time-out configured it runs until it ends or the server
        // stops.
        if (options_.timeout_ms > 0) child_->set_deadline_in(options_.timeout_ms);
    }
}

void cgi_file::fail(const char* status, std::wstring text) {
    // The first cause stands: a child ended for its time also exits with
    // the signal's code.
    if (failed_) return;
    failed_ = true;
    if (headers_ && !header_complete_) headers_->add("Status", status);
    if (error_text_.empty()) error_text_ = std::move(text);
}

void cgi_file::start(cl::ref_cnt_base* companion) {
    take_headers(companion);
    headers_->add("Content-Type", "text/plain; charset=utf-8");
    if (!running_) {
        fail(error_text_ == L"script blocked." ? "403 Forbidden" : "500 Internal Server Error",
             std::wstring());
        return;
    }
    launched_ = launch();
    close_fd(script_fd_);
    // The child's ends belong to the child now (or to nobody when it did
    // not start): the reader sees the end of output once the child's copies
    // are gone.
    close_fd(child_in_read_);
    close_fd(child_out_write_);
    if (!launched_) fail("500 Internal Server Error", std::wstring());
}

bool cgi_file::launch() {
    // The script is opened once, beneath the document root, and judged by
    // what was opened; the child then runs that very file (a compiled
    // program from its descriptor, a script read by its interpreter as
    // "/dev/fd/3"): a link swapped in meanwhile cannot make the server read
    // a first line, or start a program, from outside the tree.
    std::wstring line;
    bool compiled = false;
    {
        cl::uni_file f;
        if (!f.open(path_, cl::o_rdonly | cl::o_binary | cl::o_sequential, cl::sh_denywr)) {
            error_text_ = cl::format_wstr(L"unable to open script %?\n", path_);
            return false;
        }
        script_fd_ = ::fcntl(f.handle(), F_DUPFD_CLOEXEC, 3);
        if (script_fd_ < 0) {
            error_text_ = cl::format_wstr(L"unable to open script %?\n", path_);
            return false;
        }
        if (interpreter_mode_) {
            line = options_.php_interpreter;
            cl::trim_w(line);
        } else if (is_elf(f.handle())) {
            compiled = true;
        } else if (!first_script_line(f, line)) {
            error_text_ = L"No non-empty script line found.";
            return false;
        }
    }
    simple_file::close();

    interpreter_command cmd;
    bool built = false;
    if (compiled) {
        // The compiled program alone: no script path after it.
        cmd.text = L"\"" + path_ + L"\"";
        cmd.argv = {path_};
        built = true;
    } else if (!line.empty()) {
        built = build_interpreter_command(line, path_, interpreter_mode_, cmd);
    }
    if (!built) {
        error_text_ = interpreter_mode_
                          ? L"No script interpreter found in GLOBAL.INI, section [param], key "
                            L"php_interpreter."
                          : L"No '!' found in first non-empty script line. Script interpreter "
                            L"unknown.";
        return false;
    }
    command_ = cmd.text;
    // The program reads its script from the descriptor; the name stays in
    // the texts and in the CGI variables.
    if (!compiled) cmd.argv.back() = L"/dev/fd/3";

    spawn_spec spec;
    spec.program = cl::utf16_to_utf8(cmd.argv.front());
    for (const std::wstring& a : cmd.argv)
        spec.argv.push_back(cl::utf16_to_utf8(a));
    if (info_) spec.env = cgi_environment(*info_).entries();
    spec.cwd = cl::utf16_to_utf8(directory_of(path_));
    spec.stdin_fd = child_in_read_;
    spec.stdout_fd = child_out_write_;
    spec.nice = options_.nice;
    if (compiled)
        spec.program_fd = script_fd_;
    else
        spec.script_fd = script_fd_;

    uint32_t error = 0;
    const config_info* config = info_ ? info_->config.get() : nullptr;
    const bool named_user =
        config && !config->user.empty() && !cl::iequals_w(config->user, L"anonymous");
    if (named_user) {
        std::wstring password;
        if (!config->userpwd.empty())
            password = cl::utf8_to_utf16(the_script_host().get_user_password(
                config->userpwd, cl::utf16_to_utf8(config->user)));
        run_as_user runner;
        if (!runner.run(config->user, password, spec, child_)) error = runner.last_error();
        if (!password.empty()) std::fill(password.begin(), password.end(), L'\0');
    } else {
        error = default_child_identity(spec.identity);
        if (error == 0) error = spawn_process(spec, child_);
    }
    if (error != 0) {
        error_text_ = cl::format_wstr(L"CreateProcess %? error %?\n", command_, error);
        if (trace_level() > 1) cl::trace_out.write_w(error_text_);
        return false;
    }
    if (trace_level() > 1)
        cl::trace_out.write_w(cl::format_wstr(L"cgi started: %? (%?)\n", command_, child_->pid()));
    return true;
}

int64_t cgi_file::read_some(char* p, int64_t n) {
    for (;;) {
        pollfd pfd{out_read_, POLLIN, 0};
        const int r = ::poll(&pfd, 1, options_.timeout_ms > 0 ? options_.timeout_ms : -1);
        if (r == 0) {
            // Quiet for the whole time-out: the program hangs or loops.
            if (child_) child_->kill_group();
            fail("504 Gateway Timeout",
                 cl::format_wstr(L"script %? timed out and was ended\n", command_));
            if (trace_level() > 0) cl::trace_out.write_w(error_text_);
            return -1;
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        const ssize_t got = ::read(out_read_, p, static_cast<std::size_t>(n));
        if (got < 0 && errno == EINTR) continue;
        return got;
    }
}

void cgi_file::end_of_output() {
    output_ended_ = true;
    close_fd(out_read_);
    if (!child_) return;
    // Without a complete head the answer depends on how the program ended;
    // with one, its output stands and an exit code is only reported.
    const bool ended = header_complete_
                           ? child_->exited()
                           : child_->wait_exit(options_.timeout_ms > 0 ? options_.timeout_ms : -1);
    if (!ended) {
        if (!header_complete_) {
            child_->kill_group();
            fail("504 Gateway Timeout",
                 cl::format_wstr(L"script %? timed out and was ended\n", command_));
        }
        return;
    }
    const int code = child_->exit_code();
    if (code != 0) {
        const std::wstring text =
            cl::format_wstr(L"script %? returned error code %?\n", command_, code);
        if (trace_level() > 0) cl::trace_out.write_w(text);
        fail(child_->timed_out() ? "504 Gateway Timeout" : "500 Internal Server Error", text);
    } else if (!header_complete_) {
        fail("502 Bad Gateway",
             header_parser_.header_count() == 0
                 ? std::wstring()
                 : cl::format_wstr(L"script %? ended before its header was complete\n", command_));
    }
}

bool cgi_file::client_gone() {
    const uint64_t id = info_ ? info_->connection_id : 0;
    if (id == 0) return false;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (now < next_client_check_) return false;
    next_client_check_ = now + 1000;
    return !the_http_server().has_connection(id);
}

int64_t cgi_file::read(void* buffer, int64_t count) {
    if (!running_ || !launched_ || output_ended_ || out_read_ < 0 || count <= 0) return 0;
    // Output nobody can receive any more (the client went away while the
    // rest is drained) is not worth a program that may never stop writing.
    if (client_gone()) {
        if (child_) child_->kill_group();
        output_ended_ = true;
        close_fd(out_read_);
        return 0;
    }
    char* const base = static_cast<char*>(buffer);
    int64_t delivered = 0;
    while (delivered < count) {
        if (header_complete_ && delivered > 0) break;
        const int64_t n = read_some(base + delivered, count - delivered);
        if (n <= 0) {
            end_of_output();
            break;
        }
        if (options_.dump_output) {
            cl::trace_out.write("cgi output:\n");
            sys::trace_hex_dump(base + delivered, static_cast<std::size_t>(n));
        }
        if (header_complete_) {
            delivered += n;
            continue;
        }
        const std::size_t used =
            header_parser_.feed(base + delivered, static_cast<std::size_t>(n), &header_only_test);
        if (header_parser_.failed()) {
            if (child_) child_->kill_group();
            fail("502 Bad Gateway",
                 header_parser_.failed() == win32::error_buffer_overflow
                     ? cl::format_wstr(L"script %? sent a header block over %? bytes\n", command_,
                                       cl::rfc822_msg::default_max_header_bytes)
                     : cl::format_wstr(L"script %? sent a header that cannot be read\n", command_));
            if (trace_level() > 0) cl::trace_out.write_w(error_text_);
            output_ended_ = true;
            close_fd(out_read_);
            break;
        }
        if (!header_parser_.complete()) continue; // every byte went into the header
        header_complete_ = true;
        parse_cgi_status(header_parser_.headers(), *headers_);
        const int64_t rest = n - static_cast<int64_t>(used);
        if (rest > 0) std::memmove(base + delivered, base + delivered + used, rest);
        delivered += rest;
    }
    return delivered;
}

void cgi_file::parse_cgi_status(const std::vector<cl::rfc822_header>& lines,
                                response_headers& headers) {
    if (lines.empty()) return;
    std::size_t first = 0;
    if (lines[0].name.rfind("HTTP/1.", 0) == 0) {
        std::string line = lines[0].name;
        if (!lines[0].value.empty()) line += ": " + lines[0].value;
        if (line.size() > 9 && line[8] == ' ') headers.add("Status", line.substr(9));
        first = 1;
    }
    bool location = false;
    for (std::size_t i = first; i < lines.size(); ++i) {
        const std::string& name = lines[i].name;
        // The server frames the body itself (chunks, compression): a length
        // or coding from the program would contradict it.
        if (cl::iequals(name, "Content-Length") || cl::iequals(name, "Transfer-Encoding")) continue;
        if (cl::iequals(name, "Location")) location = true;
        headers.add(name, lines[i].value);
    }
    // A redirect without a status would go out as "200 OK", which clients
    // do not follow.
    if (location && headers.get("Status").empty()) headers.add("Status", "302 Found");
}

} // namespace scripting
