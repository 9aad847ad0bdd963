// The Webserver members whose objects live in scripting/objects: each turns
// the script's arguments into plain values and calls one factory.
#include "scripting/jscript/webserver_members.h"

#include "core/path.h"
#include "scripting/hashlist.h"
#include "scripting/jscript/global_objects.h"
#include "scripting/jscript/jscript_host.h"
#include "scripting/jscript/script_cache.h"
#include "scripting/jscript/webserver_object.h"
#include "scripting/objects/script_objects.h"
#include "server/config/path_lookup.h"
#include "server/http_server.h"
#include "server/server_dirs.h"
#include "server/server_settings.h"

namespace scripting {

namespace so = objects;
using namespace automation;

namespace {

hresult text_arg(dispparams& p, std::size_t i, std::wstring& out) {
    out.clear();
    if (i >= p.count()) return s_ok;
    variant v;
    const hresult hr = change_type(v, p.arg(i), vt_bstr);
    if (succeeded(hr)) out = v.bstr();
    return hr;
}

hresult i4_arg(dispparams& p, std::size_t i, int32_t& out) {
    if (i >= p.count()) return disp_e_badparamcount;
    variant v;
    const hresult hr = change_type(v, p.arg(i), vt_i4);
    if (succeeded(hr)) out = v.i4();
    return hr;
}

hresult give(so::dispatch_ptr obj, variant* r) {
    if (!obj) return e_outofmemory;
    *r = variant::from_dispatch(obj.get());
    return s_ok;
}

// What an image's send needs of the running request; the request may end
// while the object lives on, after which sends fail.
class image_channel final : public so::image_response {
  public:
    explicit image_channel(cl::sh_ptr<shost_file_adapter> adapter) : adapter_(std::move(adapter)) {}
    std::string content_type_from_ext(const std::string& ext) override {
        shost_file* f = adapter_ ? adapter_->file() : nullptr;
        return f ? cl::utf16_to_utf8(f->content_type_from_ext(cl::utf8_to_utf16(ext))) : "";
    }
    void set_content_type(const std::string& type) override {
        if (shost_file* f = adapter_ ? adapter_->file() : nullptr)
            f->set_content_type(cl::utf8_to_utf16(type));
    }
    bool write_response(const std::vector<uint8_t>& bytes) override {
        shost_file* f = adapter_ ? adapter_->file() : nullptr;
        if (!f) return false;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const int64_t n = f->write_response(bytes.data() + done, bytes.size() - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

  private:
    cl::sh_ptr<shost_file_adapter> adapter_;
};

hresult create_image(webserver_object& ws, dispparams& p, variant* r) {
    std::wstring name;
    const hresult hr = text_arg(p, 0, name);
    if (failed(hr)) return hr;
    return give(so::create_image_object(name, std::make_shared<image_channel>(ws.adapter()),
                                        [](const std::wstring& path) {
                                            return server_config::check_filename(
                                                server_config::filename_any_dir, path);
                                        }),
                r);
}

// Server lists other than the block list (which the object reads itself).
const so::server_list_source& server_lists() {
    static const so::server_list_source lists = [](const std::wstring& name,
                                                   std::vector<std::wstring>& keys,
                                                   std::vector<std::wstring>& values) {
        if (name == L"connections") {
            the_http_server().list_connections(keys, values);
            return true;
        }
        if (name == L"downloads") {
            the_http_server().list_downloads(keys, values, public_dir());
            return true;
        }
        if (auto more = the_webserver_extensions().server_list) return more(name, keys, values);
        return false;
    };
    return lists;
}

hresult server_object(webserver_object& ws, dispparams& p, variant* r) {
    std::wstring name;
    const hresult hr = text_arg(p, 0, name);
    if (failed(hr)) return hr;
    shost_file* f = ws.file();
    return so::create_server_object(name, f ? f->headers_ptr() : nullptr, server_lists(), r);
}

hresult create_mutex(webserver_object&, dispparams& p, variant* r) {
    std::wstring name;
    const hresult hr = text_arg(p, 0, name);
    if (failed(hr)) return hr;
    return give(so::create_mutex_object(name, data_dir()), r);
}

hresult create_sendmail(webserver_object&, dispparams&, variant* r) {
    cl::ini_file* ini = script_global_ini();
    if (!ini) return e_fail;
    so::dispatch_ptr obj;
    const hresult hr = so::create_sendmail(*ini, shell_settings().master_password, &obj);
    if (failed(hr)) return hr;
    return give(std::move(obj), r);
}

hresult file(webserver_object&, dispparams&, variant* r) {
    return give(so::create_file_object(), r);
}

hresult logger(webserver_object& ws, dispparams& p, variant* r) {
    std::wstring fn, path;
    int32_t timeout = 0;
    hresult hr = text_arg(p, 0, fn);
    if (succeeded(hr)) hr = i4_arg(p, 1, timeout);
    if (failed(hr)) return hr;
    ws.absolute_filename(fn, path);
    if (path.empty()) return e_invalidarg;
    return give(so::create_logger(path, static_cast<uint32_t>(timeout)), r);
}

hresult list_at(const std::wstring& path, int32_t timeout, variant* r) {
    cl::sh_ptr<hashlist> list = get_named_hashlist(path, static_cast<uint32_t>(timeout));
    if (!list) return e_invalidarg;
    return give(so::hashlist_object(std::move(list)), r);
}

hresult hash_list(webserver_object& ws, dispparams& p, variant* r) {
    std::wstring fn, path;
    int32_t timeout = 0;
    hresult hr = text_arg(p, 0, fn);
    if (succeeded(hr)) hr = i4_arg(p, 1, timeout);
    if (failed(hr)) return hr;
    ws.absolute_filename(fn, path);
    if (path.empty()) return e_invalidarg;
    return list_at(path, timeout, r);
}

hresult private_hash_list(webserver_object&, dispparams& p, variant* r) {
    std::wstring fn;
    int32_t timeout = 0;
    hresult hr = text_arg(p, 0, fn);
    if (succeeded(hr)) hr = i4_arg(p, 1, timeout);
    if (failed(hr)) return hr;
    const std::wstring priv = private_dir();
    if (priv.empty()) return e_invalidarg;
    if (fn.compare(0, priv.size(), priv) == 0) fn.erase(0, priv.size());
    if (fn.empty() || !cl::is_relative_path(fn)) return e_invalidarg;
    std::wstring name = server_config::resolve_relative_path(fn);
    if (name.empty()) return e_invalidarg;
    if (name[0] == L'/') name.erase(0, 1);
    const std::wstring path = priv + name;
    if (!server_config::check_filename(server_config::filename_public_or_private, path))
        return e_invalidarg;
    return list_at(path, timeout, r);
}

hresult create_event(webserver_object&, dispparams&, variant* r) {
    return give(so::create_event_object(), r);
}

hresult wait_for_events(webserver_object&, dispparams& p, variant* r) {
    if (p.count() < 3) return disp_e_badparamcount;
    const variant& d = p.arg(0);
    if (d.vt() != vt_dispatch || !d.dispatch()) return e_invalidarg;
    return so::wait_for_events(d.dispatch(), p.arg(1), p.arg(2), r);
}

} // namespace

void install_webserver_members() {
    webserver_extensions& e = the_webserver_extensions();
    e.create_image = create_image;
    e.server_object = server_object;
    e.create_mutex = create_mutex;
    e.create_sendmail = create_sendmail;
    e.file = file;
    e.logger = logger;
    e.hash_list = hash_list;
    e.private_hash_list = private_hash_list;
    e.create_event = create_event;
    e.wait_for_events = wait_for_events;
    so::register_sendmail_class();
    // Waits of a page end with its run: at server stop, when it was
    // interrupted and when its time is up.
    so::set_wait_limits(
        [] { return scripts_stopping() || script_engine::engine::current_run_over(); },
        [] { return get_script_settings().run_time_limit_ms; });
}

hresult connect_created_object(webserver_object& ws, idispatch_i* obj, const variant& param) {
    jscript_host* host = ws.owner() ? ws.owner()->host() : nullptr;
    script_engine::engine* eng = host ? host->engine() : nullptr;
    if (!eng) return e_fail;
    return so::connect_object_events(obj, param, *eng);
}

} // namespace scripting
