// The script host's side of the server's script_host interface: the program
// shell makes one at start-up and installs it with set_script_host.
#pragma once
#include "core/ini_file.h"
#include "scripting/daily_maintenance.h"
#include "scripting/spawned_scripts.h"
#include "server/script_host.h"

namespace scripting {

class scripting_host final : public script_host {
  public:
    // `global_ini` is the program's global INI file; it must outlive the host.
    explicit scripting_host(cl::ini_file& global_ini);

    std::string get_user_value(const std::wstring& file, const std::string& key,
                               const std::string& field) override;
    // Releases every object whose events a page connected.
    void disconnect_all_event_handlers() override;
    // Saves and closes every hash list.
    void close_all_hashlists() override;
    cl::sh_ptr<key_value_list> get_named_hashlist(const std::wstring& file,
                                                  uint32_t timeout_s) override;
    // The directories and prefixes, the block list, and the cache sweep.
    void read_server_dirs() override;
    // Runs a script on the server's pool with its output dropped; server stop
    // ends it if it still runs. False when it could not be queued.
    bool spawn_script(const std::string& url, const std::wstring& param);
    // Ends every spawned script and every running CGI program (its whole
    // process group).
    void stop_spawned_scripts() override;
    // In-process script pages: run by URL with the output dropped, the
    // cache of loaded scripts emptied at stop, the object counters.
    void run_script_discard_output(const std::string& url, const std::wstring& param) override;
    void clear_shost_cache() override;
    std::array<uint32_t, 9> object_counters() override;

    // Configuration commands, event scripts, the daily maintenance and the
    // dynamic-address notice (scripting_host_commands.cpp).
    void schedule_daily_maintenance(const std::wstring& log_dir) override;
    void run_event_scripts(const std::wstring& event) override;
    void register_config_command_object(bool on) override;
    void dynip_call(const std::string& address, const std::string& client, int family) override;

  private:
    cl::ini_file& ini_;
    spawned_scripts spawned_;
    std::unique_ptr<daily_maintenance> maintenance_;
};

} // namespace scripting
