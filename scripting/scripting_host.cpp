#include "scripting/scripting_host.h"

#include "server/http_server.h"

#include "platform/win32/process.h"
#include "scripting/event_scripts.h"
#include "scripting/hashlist.h"
#include "scripting/hashlist_users.h"
#include "scripting/jscript/script_cache.h"
#include "scripting/jscript/webserver_members.h"
#include "scripting/objects/script_objects.h"
#include "server/config/config_cache.h"
#include "server/config/path_lookup.h"
#include "server/config/read_server_dirs.h"

namespace scripting {

scripting_host::scripting_host(cl::ini_file& global_ini)
    : ini_(global_ini), spawned_([this](const std::string& url, const std::wstring& param) {
          run_script_discard_output(url, param);
      }) {
    set_script_global_ini(&global_ini);
    install_webserver_members();
}

void scripting_host::disconnect_all_event_handlers() {
    objects::disconnect_all_event_handlers();
}

std::string scripting_host::get_user_value(const std::wstring& file, const std::string& key,
                                           const std::string& field) {
    return scripting::get_user_value(file, key, field);
}

void scripting_host::close_all_hashlists() {
    scripting::close_all_hashlists();
}

namespace {

// A hash list as the server's request cache reaches it.
class hashlist_for_server final : public key_value_list {
  public:
    explicit hashlist_for_server(cl::sh_ptr<scripting::hashlist> list) : list_(std::move(list)) {}
    std::string get_value(const std::string& key) override { return list_->get_value(key); }
    void store(const std::string& key, const std::string& value) override {
        list_->store(key, value);
    }
    cl::critical_section& lock() override { return list_->lock(); }

  private:
    cl::sh_ptr<scripting::hashlist> list_;
};

} // namespace

cl::sh_ptr<key_value_list> scripting_host::get_named_hashlist(const std::wstring& file,
                                                              uint32_t timeout_s) {
    cl::sh_ptr<scripting::hashlist> list = scripting::get_named_hashlist(file, timeout_s);
    if (!list) return nullptr;
    // Loaded now; written when it changed, at the latest when the server stops.
    list->open(60);
    return cl::sh_ptr<key_value_list>(new hashlist_for_server(std::move(list)));
}

void scripting_host::read_server_dirs() {
    server_config::read_server_dirs(ini_);
    configure_scripts(ini_);
    server_config::the_config_info_cache().start_sweep();
    win32::allow_children();
}

bool scripting_host::spawn_script(const std::string& url, const std::wstring& param) {
    cl::thread_pool* pool = the_http_server().pool();
    return pool && spawned_.spawn(*pool, url, param);
}

void scripting_host::stop_spawned_scripts() {
    interrupt_all_scripts();
    spawned_.stop_all();
    win32::stop_all_children();
}

} // namespace scripting

namespace scripting {

void scripting_host::run_script_discard_output(const std::string& url, const std::wstring& param) {
    scripting::run_script_url_discard_output(url, param);
}

void scripting_host::clear_shost_cache() {
    scripting::clear_shost_cache();
}

std::array<uint32_t, 9> scripting_host::object_counters() {
    return script_object_counters();
}

} // namespace scripting
