// What the HTTP server needs of the script host. The script host lives above
// the server, so the server owns this interface and the script host
// implements it; the program shell installs the implementation at start-up.
#pragma once
#include "core/ref_cnt.h"
#include "core/sync.h"
#include "server/config_info.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// A persistent list of key-value pairs of the script host (a hash list), as
// the server's request cache uses it.
class key_value_list : public cl::ref_cnt_shared {
  public:
    // The value of a key, empty when absent; stamps the entry's last access.
    virtual std::string get_value(const std::string& key) = 0;
    virtual void store(const std::string& key, const std::string& value) = 0;
    // The list's own lock, held across a read and the store that follows it.
    virtual cl::critical_section& lock() = 0;
};

class script_host {
  public:
    virtual ~script_host() = default;
    // The value of a key in a user hash-list file (decrypted when the key
    // equals the field name); empty when the file or key is missing.
    virtual std::string get_user_value(const std::wstring& file, const std::string& key,
                                       const std::string& field) = 0;
    // Reads the server directories and prefixes from the global INI file
    // into the settings of server_dirs.h and loads the block list.
    virtual void read_server_dirs() {}
    std::string get_user_password(const std::wstring& file, const std::string& key) {
        return get_user_value(file, key, "password");
    }

    // --- Calls of server start and stop. Each default does nothing, so the
    // server runs before the script host provides them.

    // Opens "access.log" in the log directory (ending in "/") for the access
    // log and arms its flush; the script host adds the daily rotation. The
    // default does only the opening and the flush.
    virtual void schedule_daily_maintenance(const std::wstring& log_dir);
    // Runs the scripts registered for "on_start" or "on_stop" and discards
    // their output; returns when they have run.
    virtual void run_event_scripts(const std::wstring& event) { (void)event; }
    // Registers (true) or revokes (false) the configuration command object.
    virtual void register_config_command_object(bool on) { (void)on; }
    virtual void stop_spawned_scripts() {}
    virtual void disconnect_all_event_handlers() {}
    virtual void clear_shost_cache() {}
    virtual void close_all_hashlists() {}
    // The hash list kept in a file, unloaded after timeout_s seconds unused;
    // null while the script host keeps no hash lists.
    virtual cl::sh_ptr<key_value_list> get_named_hashlist(const std::wstring& file,
                                                          uint32_t timeout_s) {
        (void)file;
        (void)timeout_s;
        return nullptr;
    }
    // Runs a script and drops its output (disconnect handlers).
    virtual void run_script_discard_output(const std::string& url, const std::wstring& param) {
        (void)url;
        (void)param;
    }
    // Sends "call " and the text to the dynamic-address hosts.
    virtual void dynip_call(const std::string& address, const std::string& client, int family) {
        (void)address;
        (void)client;
        (void)family;
    }
    // The nine script-object counters in the order of the stop statistics
    // line: R, M, W, S pairs, then SW.
    virtual std::array<uint32_t, 9> object_counters() { return {}; }
};

// The installed script host. Until one is installed a refusing stand-in
// answers: no file name is valid and no user has a password.
script_host& the_script_host();
// Installs the host (null restores the stand-in). Called once at start-up,
// before any request, and by tests.
void set_script_host(script_host* host);
