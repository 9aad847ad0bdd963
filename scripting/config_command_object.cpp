#include "scripting/config_command_object.h"

#include "core/format.h"
#include "core/timer.h"
#include "core/trace.h"
#include "scripting/config_command_socket.h"
#include "scripting/config_commands.h"
#include "server/dynip.h"
#include "system/com_register.h"

#include <atomic>
#include <mutex>

namespace scripting {

namespace {

std::atomic<cl::ini_file*> command_ini{nullptr};

automation::hresult call_cmd(automation::idispatch_i* self, uint16_t, automation::dispparams& p,
                             automation::variant* result, automation::excepinfo*) {
    automation::variant text;
    const automation::hresult hr = automation::change_type(text, p.arg(0), automation::vt_bstr);
    if (automation::failed(hr)) return hr;
    if (!result) return automation::e_invalidarg;
    std::wstring out;
    const automation::hresult r = static_cast<server_cmd*>(self)->cmd(text.bstr(), &out);
    if (automation::succeeded(r)) *result = automation::variant::from_bstr(std::move(out));
    return r;
}

struct registration {
    std::mutex lock;
    automation::com_factory<server_cmd> factory{clsid_server_cmd};
    uint32_t cookie = 0;
    std::wstring prog_id;
    config_command_listener listener;
};

registration& the_registration() {
    static registration r;
    return r;
}

} // namespace

const automation::type_info& iserver_cmd_type_info() {
    static const automation::type_info info = [] {
        automation::type_info ti(clsid_server_cmd, L"iserver_cmd",
                                 {{0x320, L"cmd", automation::member_method, 1, 1, call_cmd}});
        return ti;
    }();
    static const bool added = [] {
        automation::program_type_library().add(&info);
        return true;
    }();
    (void)added;
    return info;
}

server_cmd::server_cmd() {
    load_type_info(*load_module_typelib(), iserver_cmd_type_info().iid());
}

automation::hresult server_cmd::cmd(const std::wstring& line, std::wstring* result) {
    if (!result) return automation::e_invalidarg;
    cl::ini_file* ini = command_ini.load();
    if (!ini) {
        result->clear();
        return automation::e_fail;
    }
    *result = run_server_command(*ini, line, current_user_name());
    return automation::s_ok;
}

void register_config_command_object(bool on, const config_command_options& options) {
    registration& r = the_registration();
    std::lock_guard<std::mutex> g(r.lock);
    if (on) {
        iserver_cmd_type_info();
        command_ini.store(options.ini);
        automation::register_class_object(clsid_server_cmd, server_cmd_prog_id, &r.factory,
                                          &r.cookie);
        r.prog_id = server_cmd_prog_id;
        com_register_server(options.module_path, clsid_server_cmd, r.prog_id,
                            L"teskqvel config command interface");
        if (options.ini) {
            cl::ini_file* ini = options.ini;
            r.listener.start(config_socket_path(options.data_dir),
                             [ini](const std::wstring& line, const std::wstring& caller) {
                                 return run_server_command(*ini, line, caller);
                             });
        }
        if (cl::global_timers_running()) start_dynamic_expiry(cl::slow_timer());
        return;
    }
    stop_dynamic_expiry();
    r.listener.stop();
    if (r.cookie != 0) {
        automation::revoke_class_object(r.cookie);
        r.cookie = 0;
    }
    // Only what this process registered is taken away again.
    if (!r.prog_id.empty()) com_unregister_server(clsid_server_cmd, r.prog_id);
    r.prog_id.clear();
}

} // namespace scripting
