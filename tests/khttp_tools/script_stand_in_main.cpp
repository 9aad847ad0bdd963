// The program started the way the shell starts it, with a stand-in for the
// script host's response files, for end-to-end tests of what reaches a page:
// - a "cgi-script" file answers, once its input has ended, with the length
//   and MD5 digest of the request body it was fed ("<length> <md5>");
// - a "java-script" file answers with its own bytes, unchanged, so a test can
//   write a rewrite script's control byte and output into the file.
// TQ_TEST_DYNIP="name=host port" (flag 0) registers a dynamic-address entry.
// Test use only: the real program has no such pages.
#include "core/md5.h"
#include "core/simple_file.h"
#include "core/static_objects.h"
#include "core/text.h"
#include "core/trace.h"
#include "dav/dav_requests.h"
#include "scripting/scripting_host.h"
#include "server/dynip.h"
#include "server/script_file.h"
#include "server/script_host.h"
#include "server/server_settings.h"
#include "server/server_start.h"
#include "shell/globals.h"
#include "shell/startup.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace {

// Takes the body through its input side; its output is known once the input
// has ended. Reads wait for that, as a page's output waits for the page.
class digest_file final : public cl::simple_file {
  public:
    bool open(const std::wstring&, uint32_t, uint32_t) override { return true; }
    int64_t size() override {
        std::lock_guard<std::mutex> g(m_);
        return ended_ ? static_cast<int64_t>(out_.size() - pos_) : -2;
    }
    int64_t write(const void* data, int64_t count) override {
        std::lock_guard<std::mutex> g(m_);
        digest_.update(static_cast<const char*>(data), static_cast<std::size_t>(count));
        length_ += static_cast<uint64_t>(count);
        ++writes_;
        return count;
    }
    void end_input() override {
        std::lock_guard<std::mutex> g(m_);
        if (ended_) return;
        ended_ = true;
        out_ = std::to_string(length_) + " " + digest_.hex() + "\n";
        cv_.notify_all();
    }
    int64_t read(void* buffer, int64_t count) override {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait_for(g, std::chrono::seconds(120), [&] { return ended_; });
        const std::size_t n =
            std::min<std::size_t>(static_cast<std::size_t>(count), out_.size() - pos_);
        std::memcpy(buffer, out_.data() + pos_, n);
        pos_ += n;
        return static_cast<int64_t>(n);
    }
    std::string modified_time_text() override { return std::string(); }
    std::string etag() override { return std::string(); }
    bool set_ranges(const range_list&) override { return false; }
    void start(cl::ref_cnt_base* companion) override {
        if (companion) companion->release();
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    cl::md5 digest_;
    uint64_t length_ = 0;
    uint64_t writes_ = 0;
    bool ended_ = false;
    std::string out_;
    std::size_t pos_ = 0;
};

// Gives the bytes of its file as its output: a stream whose length is not
// told (-2 until its head is read, then -1).
class replay_file final : public cl::simple_file {
  public:
    bool open(const std::wstring& path, uint32_t, uint32_t) override {
        std::ifstream in(cl::utf16_to_utf8(path), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        out_ = s.str();
        return static_cast<bool>(in);
    }
    int64_t size() override { return started_ ? -1 : -2; }
    int64_t write(const void*, int64_t count) override { return count; }
    int64_t read(void* buffer, int64_t count) override {
        started_ = true;
        const std::size_t n =
            std::min<std::size_t>(static_cast<std::size_t>(count), out_.size() - pos_);
        std::memcpy(buffer, out_.data() + pos_, n);
        pos_ += n;
        return static_cast<int64_t>(n);
    }
    std::string modified_time_text() override { return std::string(); }
    std::string etag() override { return std::string(); }
    bool set_ranges(const range_list&) override { return false; }
    void start(cl::ref_cnt_base* companion) override {
        if (companion) companion->release();
    }

  private:
    std::string out_;
    std::size_t pos_ = 0;
    bool started_ = false;
};

class stand_in_factory final : public script_file_factory {
  public:
    std::unique_ptr<cl::simple_file> make(const cl::sh_ptr<req_info>&, const std::wstring&,
                                          uint32_t kind, const automation::guid&) override {
        if (kind == handler_cgi_script) return std::make_unique<digest_file>();
        return std::make_unique<replay_file>();
    }
};

} // namespace

int main() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    cl::library_init();

    find_directories();
    open_global_ini();
    init_trace();
    if (is_already_loaded()) return 1;
    g_master_pwd = init_master_pwd(g_data_dir);
    read_global_settings();

    static scripting::scripting_host host(g_global_ini);
    set_script_host(&host);
    add_dav_methods();
    static stand_in_factory factory;
    set_script_file_factory(&factory);

    shell_values& v = shell_settings();
    v.install_dir = g_install_dir;
    v.data_dir = g_data_dir;
    v.global_ini = &g_global_ini;
    v.product_name = g_product_name;
    v.master_password = g_master_pwd;
    v.func_trace = g_func_trace;
    server_start();

    if (const char* e = std::getenv("TQ_TEST_DYNIP")) {
        const std::string entry = e;
        const std::size_t eq = entry.find('=');
        if (eq != std::string::npos)
            set_dynamic_entry(entry.substr(0, eq), entry.substr(eq + 1), 0);
    }

    signal_server_ready();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    close_server();
    set_script_file_factory(nullptr);
    cl::library_shutdown();
    return 0;
}
