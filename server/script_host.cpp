#include "server/script_host.h"

#include <atomic>

namespace {

// Refuses everything that could reach a file, so a server whose script host is
// not connected serves nothing it should not.
class refusing_script_host final : public script_host {
  public:
    bool check_filename(const std::wstring&, int) override { return false; }
    std::wstring resolve_relative_path(std::wstring_view) override { return {}; }
    std::string url_escape_path(std::string_view) override { return {}; }
    std::string get_user_value(const std::wstring&, const std::string&,
                               const std::string&) override {
        return {};
    }
};

refusing_script_host refusing_host;
std::atomic<script_host*> installed{nullptr};

} // namespace

script_host& the_script_host() {
    script_host* h = installed.load(std::memory_order_acquire);
    return h ? *h : refusing_host;
}

void set_script_host(script_host* host) {
    installed.store(host, std::memory_order_release);
}
