#include "server/server_start.h"

#include "core/format.h"
#include "core/ini_file.h"
#include "core/lcg_random.h"
#include "core/os_version.h"
#include "core/path.h"
#include "core/text.h"
#include "core/timer.h"
#include "core/trace.h"
#include "server/access_log.h"
#include "server/auth_digest.h"
#include "server/config/config_cache.h"
#include "server/config_info.h"
#include "server/deflate.h"
#include "server/directives/directives.h"
#include "server/dynip.h"
#include "server/http_request.h"
#include "server/http_server.h"
#include "server/proxy.h"
#include "server/request_cache.h"
#include "server/request_processor.h"
#include "server/request_thread.h"
#include "server/script_host.h"
#include "server/server_dirs.h"
#include "server/server_services.h"
#include "server/server_settings.h"
#include "server/start_services.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <thread>

#include <memory>
#include <vector>

namespace {

thread_local std::unique_ptr<cl::impersonation_state> thread_state;
std::unique_ptr<cl::thread_pool> pool;
bool tls_ready = false;

const wchar_t* const rule_name = L"Tesk qvel";
const wchar_t* const upnp_rule_name = L"Tesk qvel uPnP";

// The "nice" value of a priority class. Raising it needs privileges the
// program may lack; then the process simply keeps its priority.
int nice_of(priority_class p) {
    switch (p) {
    case priority_class::above_normal:
        return -5;
    case priority_class::below_normal:
        return 5;
    case priority_class::high:
        return -10;
    case priority_class::normal:
        break;
    }
    return 0;
}

void run_on_timer(cl::base_timer& timer, bool start) {
    cl::timer_id id;
    cl::event done;
    timer.set_timer(
        id,
        [start, &done] {
            if (start)
                request_thread_start();
            else
                request_thread_end();
            done.set();
        },
        0, cl::timer_one_shot);
    if (id.armed() || done.is_set()) done.wait();
    id.kill(true);
}

void open_firewall(const server_values& v, bool media) {
    auto fw = make_firewall();
    if (!fw->init(7) || !fw->is_enabled()) {
        cl::trace_out.write("Windows firewall not enabled\n");
        return;
    }
    if (!fw->add_port(v.server_port, true, rule_name))
        cl::trace_out.write(
            cl::format_str("unable to add TCP port %? to Windows firewall\n", v.server_port));
    if (!fw->add_port(v.server_port, false, rule_name))
        cl::trace_out.write(
            cl::format_str("unable to add UDP port %? to Windows firewall\n", v.server_port));
    if (v.https_port != 0 && v.https_port != v.server_port &&
        !fw->add_port(v.https_port, true, rule_name))
        cl::trace_out.write(
            cl::format_str("unable to add TCP port %? to Windows firewall\n", v.https_port));
    if (media) {
        if (!fw->add_port(1900, false, upnp_rule_name))
            cl::trace_out.write("unable to add UDP port 1900 to Windows firewall\n");
        if (!fw->add_port(2869, true, upnp_rule_name))
            cl::trace_out.write("unable to add TCP port 2869 to Windows firewall\n");
    }
}

void close_firewall(const server_values& v, bool media) {
    auto fw = make_firewall();
    if (!fw->init(7)) return;
    if (!fw->remove_port(v.server_port, true))
        cl::trace_out.write(
            cl::format_str("unable to remove TCP port %? from Windows firewall\n", v.server_port));
    if (!fw->remove_port(v.server_port, false))
        cl::trace_out.write(
            cl::format_str("unable to remove UDP port %? from Windows firewall\n", v.server_port));
    if (v.https_port != 0 && v.https_port != v.server_port && !fw->remove_port(v.https_port, true))
        cl::trace_out.write(
            cl::format_str("unable to remove TCP port %? from Windows firewall\n", v.https_port));
    if (media) {
        if (!fw->remove_port(1900, false))
            cl::trace_out.write("unable to remove UDP port 1900 from Windows firewall\n");
        if (!fw->remove_port(2869, true))
            cl::trace_out.write("unable to remove TCP port 2869 from Windows firewall\n");
    }
}

// No class registry for script objects exists yet: every ProgID is unknown
// (CO_E_CLASSSTRING), as on a machine where the class is not installed.
void create_active_x_objects(cl::ini_file& ini) {
    std::vector<std::wstring> keys, values;
    ini.get_section_pairs(L"active_x_objects", keys, values);
    for (const std::wstring& prog_id : values)
        cl::trace_out.write_w(
            cl::format_wstr(L"unable to get CLSID for %? (%x)\n", prog_id, 0x800401F3u));
}

// A numeric host name is the one address the listeners bind, so a server
// configured for 127.0.0.1 is not reachable from elsewhere.
std::string listen_address_of(const std::wstring& host) {
    const std::string h = cl::utf16_to_utf8(host);
    in6_addr a6;
    in_addr a4;
    if (::inet_pton(AF_INET, h.c_str(), &a4) == 1 || ::inet_pton(AF_INET6, h.c_str(), &a6) == 1)
        return h;
    if (h.size() > 2 && h.front() == '[' && h.back() == ']') return h.substr(1, h.size() - 2);
    return std::string();
}

// The request code reports its transfers to the server object.
class server_transfers final : public transfer_registry {
  public:
    void report_transfer(uint64_t connection_id, const std::wstring& path, int percent) override {
        the_http_server().set_transfer_progress(
            connection_id, path, percent < 0 ? transfer_done : static_cast<uint32_t>(percent));
    }
    void add_bytes_sent(uint64_t, uint64_t bytes) override {
        the_http_server().add_bytes_sent(bytes);
    }
    void set_transfer_file(uint64_t connection_id, const std::wstring&,
                           const std::string& user) override {
        the_http_server().set_transfer_file(connection_id, user);
    }
};
server_transfers transfers;

cl::ini_file& empty_ini() {
    static cl::ini_file none;
    return none;
}

// The access log names every client and what it asked for: a log folder
// inside the served tree gets an access file that refuses everyone, unless
// it has one already (whoever wants to publish the logs edits that file).
void refuse_serving_the_logs(const std::wstring& log_dir, const std::wstring& public_root) {
    namespace fs = std::filesystem;
    if (log_dir.empty() || public_root.empty()) return;
    std::error_code ec;
    const fs::path logs = fs::weakly_canonical(cl::utf16_to_utf8(log_dir), ec);
    if (ec) return;
    const fs::path root = fs::weakly_canonical(cl::utf16_to_utf8(public_root), ec);
    if (ec) return;
    const fs::path rel = logs.lexically_relative(root);
    // Not inside, or the served tree itself (refusing that would refuse all).
    if (rel.empty() || rel == "." || *rel.begin() == "..") return;
    fs::create_directories(logs, ec);
    static const std::wstring access_name = config_info().access_filename;
    const fs::path file = logs / cl::utf16_to_utf8(access_name);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return; // there already, or the folder cannot take it
    static constexpr char refusal[] = "Require all denied\n";
    const bool written = ::write(fd, refusal, sizeof refusal - 1) == sizeof refusal - 1;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        // A half-written file could grant what it was meant to refuse.
        ::unlink(file.c_str());
        cl::trace_out.write(cl::format_str("cannot protect the log folder %?\n", logs.string()));
    }
}

// The temporary files an earlier run left in the tree (new content whose
// upload a crash or a kill cut short) are removed, in the background, as
// the tree may be large; those of this run are newer than its start. The
// walk stops with the server.
std::atomic<bool> leftover_sweep_stop{false};
std::thread leftover_sweep;
time_t leftover_sweep_before = 0;

int sweep_leftover(const char* path, const struct stat* st, int type, struct FTW* at) {
    if (leftover_sweep_stop.load(std::memory_order_relaxed)) return FTW_STOP;
    if (type == FTW_F && S_ISREG(st->st_mode) && st->st_mtime < leftover_sweep_before &&
        cl::is_write_temp_name(path + at->base) && ::unlink(path) == 0)
        cl::trace_out.write(cl::format_str("removed a leftover temporary file %?\n", path));
    return FTW_CONTINUE;
}

void start_leftover_sweep(const std::wstring& tree) {
    leftover_sweep_stop = false;
    leftover_sweep_before = ::time(nullptr);
    leftover_sweep = std::thread([root = cl::utf16_to_utf8(tree)] {
        ::nftw(root.c_str(), sweep_leftover, 16, FTW_PHYS | FTW_MOUNT | FTW_ACTIONRETVAL);
    });
}

void stop_leftover_sweep() {
    leftover_sweep_stop = true;
    if (leftover_sweep.joinable()) leftover_sweep.join();
}

void trace_slow_body(const khttp::slow_body& b) {
    const std::string length =
        b.content_length < 0 ? std::string("chunked") : std::to_string(b.content_length);
    cl::trace_out.write(cl::format_str("%? %? from %?:%?: body too slow, %? of %? bytes in %? ms, "
                                       "408\n",
                                       b.method, b.target, b.remote.host, b.remote.port, b.received,
                                       length, b.after.count()));
}

} // namespace

void request_thread_start() {
    thread_state = std::make_unique<cl::impersonation_state>();
}

void request_thread_end() {
    thread_state.reset();
}

cl::impersonation_state* request_thread_state() {
    return thread_state.get();
}

void sync_timer_threads(bool start) {
    if (!cl::global_timers_running()) return;
    run_on_timer(cl::slow_timer(), start);
    run_on_timer(cl::fast_timer(), start);
}

cl::thread_pool* server_pool() {
    return pool.get();
}

bool server_start() {
    const shell_values& shell = shell_settings();
    server_values& v = server_settings();
    cl::ini_file& ini = shell.global_ini ? *shell.global_ini : empty_ini();

    // A file that reaches the process's size limit is a failed write for
    // the one who writes it (the trace rolls back to its last whole line),
    // not the end of the server.
    ::signal(SIGXFSZ, SIG_IGN);

    tls_ready = true;
    request_thread_start();
    sync_timer_threads(true);

    set_data_dir(shell.data_dir);
    set_trace_level(shell.func_trace);
    read_server_settings(ini, shell, v);
    if (v.enable_request_cache) {
        const std::wstring store = shell.data_dir + L"req_cache_data.txt";
        if (!make_store_private(cl::utf16_to_utf8(store)))
            cl::trace_out.write("request cache: cannot make req_cache_data.txt private\n");
        the_request_cache().open(the_script_host().get_named_hashlist(store, 300));
    }
    set_proxy_timeout(v.proxy_timeout);
    set_dynip_prefix(cl::utf16_to_utf8(v.dynip_prefix));
    ::setpriority(PRIO_PROCESS, 0, nice_of(v.server_priority));
    // Buffered body sends are always available here.
    http_request::set_server_send_flags(v.enable_kernel_streaming ? send_flag_buffer_data : 0);

    if (!the_start_services().type_library_loads()) {
        cl::trace_out.write("Unable to load TypeLib\n");
        return false;
    }

    v.digest_secret = cl::format_str("%x%x", machine_hash(true), cl::lcg_random());
    set_digest_secret(v.digest_secret);

    pool = std::make_unique<cl::thread_pool>(request_thread_start, request_thread_end);
    pool->set_cleanup_period(v.thread_cleanup_interval);
    pool->set_trace(v.thread_pool_trace);

    set_transfer_registry(&transfers);
    bind_compression(shell.install_dir);
    the_script_host().read_server_dirs();
    // A server without a document root would map requests onto "/"; until
    // the script host sets one, the configured or default folder is used.
    if (public_dir().empty())
        set_public_dir(
            ini.get_string_or_wstring(L"Param", L"public_dir", shell.data_dir + L"pub/"));
    build_directive_table();

    v.log_dir = read_log_dir(ini, public_dir());
    refuse_serving_the_logs(v.log_dir, public_dir());
    the_script_host().schedule_daily_maintenance(v.log_dir);

    open_firewall(v, shell.enable_media_server);

    khttp::service_options options;
    options.listen_address = listen_address_of(v.host_name);
    options.tls_directory = cl::utf16_to_utf8(shell.data_dir);
    options.max_queued_requests = v.max_connections;
    options.io_threads = http_usable_cores();
    options.timeouts.body_grace = std::chrono::seconds(v.request_body_grace);
    options.timeouts.body_min_rate = v.request_body_min_rate;
    khttp::configure(options);
    khttp::set_slow_body_notice(&trace_slow_body);
    _http_server& server = the_http_server();
    server.set_max_connections(v.max_connections);
    server.set_processor(process_request);
    // The forwarding session is there before the first request can arrive:
    // a request taken between the listener's start and the session's would
    // find none and be answered 502.
    if (!v.proxy_port.empty()) {
        const uint32_t err = the_start_services().open_http_session();
        if (err != 0)
            cl::trace_out.write(cl::format_str("unable to start WinHttp session: %?\n", err));
    }
    server.start(v.server_port, v.https_port, v.host_name, v.rel_uri, *pool);
    start_leftover_sweep(public_dir());
    if (cl::global_timers_running()) start_digest_nonce_purge(cl::slow_timer());

    the_script_host().register_config_command_object(true);
    create_active_x_objects(ini);
    the_script_host().run_event_scripts(L"on_start");
    return true;
}

void server_stop() {
    const shell_values& shell = shell_settings();
    const server_values& v = server_settings();
    script_host& host = the_script_host();

    host.run_event_scripts(L"on_stop");
    request_thread_end();
    host.stop_spawned_scripts();
    stop_digest_nonce_purge();
    stop_leftover_sweep();
    the_http_server().stop();
    the_start_services().close_http_session();
    host.disconnect_all_event_handlers();
    host.clear_shost_cache();
    the_request_cache().close();
    host.close_all_hashlists();
    the_start_services().stop_capture_streams();
    the_access_log().close();
    host.register_config_command_object(false);
    if (pool) close_firewall(v, shell.enable_media_server);
    server_config::clear_config_info_cache();
    release_compression();
    pool.reset();
    set_transfer_registry(nullptr);
    if (tls_ready) sync_timer_threads(false);
    tls_ready = false;

    const auto c = host.object_counters();
    cl::trace_out.write(cl::format_str("R %?/%?, M %?/%?, W %?/%?, S %?/%? SW %?\n", c[0], c[1],
                                       c[2], c[3], c[4], c[5], c[6], c[7], c[8]));
}
