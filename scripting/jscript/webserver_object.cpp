#include "scripting/jscript/webserver_object.h"

#include "core/format.h"
#include "core/ini_file.h"
#include "core/ip_addr.h"
#include "core/path.h"
#include "core/text.h"
#include "core/trace.h"
#include "platform/automation/class_registry.h"
#include "platform/script_engine/engine.h"
#include "scripting/jscript/global_objects.h"
#include "scripting/jscript/jscript_host.h"
#include "scripting/jscript/script_cache.h"
#include "scripting/jscript/webserver_members.h"
#include "scripting/objects/script_objects.h"
#include "scripting/scripting_host.h"
#include "server/access_decision.h"
#include "server/blocklist.h"
#include "server/config/config_cache.h"
#include "server/config/path_lookup.h"
#include "server/directives/directives.h"
#include "server/http_request.h"
#include "server/server_dirs.h"
#include "server/server_settings.h"
#include "system/password_crypt.h"
#include "system/system_helpers.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

using namespace automation;

namespace scripting {

namespace {

webserver_object* ws_of(idispatch_i* self) {
    return static_cast<webserver_object*>(static_cast<iwebserver_i*>(self));
}

hresult to(const variant& in, uint16_t vt, variant& out) {
    return change_type(out, in, vt);
}

hresult bstr_at(dispparams& p, std::size_t i, std::wstring& out) {
    if (i >= p.count()) {
        out.clear();
        return s_ok;
    }
    variant v;
    const hresult hr = change_type(v, p.arg(i), vt_bstr);
    if (failed(hr)) return hr;
    out = v.bstr();
    return s_ok;
}

variant bool_variant(bool b) {
    return variant::from_bool(b);
}

std::string low_bytes(const std::wstring& s) {
    std::string out(s.size(), '\0');
    for (std::size_t i = 0; i < s.size(); ++i)
        out[i] = static_cast<char>(s[i] & 0xFF);
    return out;
}

std::wstring bytes_to_units(std::string_view s) {
    std::wstring out(s.size(), L'\0');
    for (std::size_t i = 0; i < s.size(); ++i)
        out[i] = static_cast<unsigned char>(s[i]);
    return out;
}

// A member whose object comes from elsewhere in the scripting host.
hresult extension(webserver_extensions::member m, idispatch_i* self, dispparams& p, variant* r) {
    return m ? m(*ws_of(self), p, r) : e_notimpl;
}

// The signature of every member routine below.
#define WS_ARGS                                                                                    \
    ([[maybe_unused]] idispatch_i * self, [[maybe_unused]] uint16_t kind,                          \
     [[maybe_unused]] dispparams & p, [[maybe_unused]] variant * r, excepinfo*)                    \
        ->hresult

std::wstring ini_path_of(webserver_object& ws, const std::wstring& fn) {
    if (fn == L"*") {
        cl::ini_file* g = script_global_ini();
        return g ? g->path() : std::wstring();
    }
    // The page's author owns the server: any INI file of the machine may be
    // named. A relative name is taken from the page's own folder.
    if (fn.empty() || fn[0] == L'/') return fn;
    shost_file* f = ws.file();
    return f ? cl::dir_part(f->path()) + fn : std::wstring();
}

bool ini_text_ok(const std::wstring& s) {
    return is_safe_header_value(s) && s.find(L'[') == std::wstring::npos &&
           s.find(L'=') == std::wstring::npos;
}

std::wstring family_address(const std::wstring& name, int family) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(cl::utf16_to_utf8(name).c_str(), nullptr, &hints, &res) != 0) return {};
    std::wstring last;
    for (addrinfo* a = res; a; a = a->ai_next) {
        if (a->ai_family != family) continue;
        char host[1025], serv[32];
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, host, sizeof host, serv, sizeof serv,
                          NI_NUMERICHOST | NI_NUMERICSERV) == 0)
            last = cl::utf8_to_utf16(host);
    }
    ::freeaddrinfo(res);
    return last;
}

const type_info iwebserver_info(
    iid_iwebserver, L"iwebserver",
    {
        {
            0x320, L"read_body", member_method, 1, 1,
            [] WS_ARGS { return ws_of(self)->read_body(p.arg(0), r); } // namespace
        }                                                              // namespace scripting
        ,
        {0x321, L"write_response", member_method, 1, 1,
         [] WS_ARGS {
             // A text, as pages mostly write, is taken where it lies: as
             // the engine holds it when that is UTF-8 already.
             std::string_view utf8;
             if (ws_of(self)->io_mode == 0 && p.count() > 0 && p.arg(0).vt() == vt_bstr &&
                 script_engine::native_arg_utf8(0, utf8))
                 return ws_of(self)->write_bytes(utf8, r);
             if (p.count() > 0 && p.arg(0).vt() == vt_bstr)
                 return ws_of(self)->write_response(p.arg(0).bstr(), r);
             std::wstring buf;
             const hresult hr = bstr_at(p, 0, buf);
             return failed(hr) ? hr : ws_of(self)->write_response(buf, r);
         }},
        {0x322, L"content_type", member_method | member_put, 1, 1,
         [] WS_ARGS {
             std::wstring t;
             const hresult hr = bstr_at(p, 0, t);
             if (failed(hr)) return hr;
             // The type becomes a header line: no line breaks.
             if (!is_safe_header_value(t)) return e_invalidarg;
             if (shost_file* f = ws_of(self)->file()) f->set_content_type(t);
             return s_ok;
         }},
        {0x323, L"content_type_from_ext", member_method, 1, 1,
         [] WS_ARGS {
             std::wstring ext;
             const hresult hr = bstr_at(p, 0, ext);
             if (failed(hr)) return hr;
             shost_file* f = ws_of(self)->file();
             *r = variant::from_bstr(f ? f->content_type_from_ext(ext) : std::wstring());
             return s_ok;
         }},
        {0x324, L"io_mode", member_get | member_put, 0, 1,
         [] WS_ARGS {
             if (kind == member_put) {
                 if (p.count() != 1) return disp_e_badparamcount;
                 variant v;
                 if (failed(to(p.arg(0), vt_i8, v))) return e_invalidarg;
                 ws_of(self)->io_mode = static_cast<int32_t>(v.int_value());
                 return s_ok;
             }
             *r = variant::from_i8(static_cast<uint32_t>(ws_of(self)->io_mode));
             return s_ok;
         }},
        {0x325, L"errors_to_response", member_method | member_put, 1, 1,
         [] WS_ARGS {
             variant v;
             if (failed(to(p.arg(0), vt_bool, v))) return e_invalidarg;
             if (jscript_host* h = ws_of(self)->owner()->host())
                 h->errors_to_response() = v.boolean() != 0;
             return s_ok;
         }},
        {0x326, L"environment_var", member_method, 1, 1,
         [] WS_ARGS {
             std::wstring name;
             const hresult hr = bstr_at(p, 0, name);
             if (failed(hr)) return hr;
             if (name.find(L'=') != std::wstring::npos) return e_invalidarg;
             shost_file* f = ws_of(self)->file();
             *r = variant::from_bstr(
                 f ? cl::utf8_to_utf16(f->environment_var(cl::utf16_to_utf8(name)))
                   : std::wstring());
             return s_ok;
         }},
        {0x327, L"create_image", member_method, 1, 1,
         [] WS_ARGS { return extension(the_webserver_extensions().create_image, self, p, r); }},
        {0x328, L"server_object", member_method, 1, 1,
         [] WS_ARGS {
             std::wstring name;
             const hresult hr = bstr_at(p, 0, name);
             if (failed(hr)) return hr;
             if (name == L"http_response_header") {
                 shost_file* f = ws_of(self)->file();
                 if (!f) return e_fail;
                 automation::com_ptr<response_header_object> o(
                     new response_header_object(f->headers_ptr(), ws_of(self)->adapter()));
                 *r = variant::from_dispatch(o.get());
                 return s_ok;
             }
             return extension(the_webserver_extensions().server_object, self, p, r);
         }},
        {0x329, L"is_valid_mail_addr", member_method, 1, 1,
         [] WS_ARGS {
             std::wstring a;
             const hresult hr = bstr_at(p, 0, a);
             if (failed(hr)) return hr;
             *r = bool_variant(cl::is_valid_mail_addr_syntax(a, false) == 0);
             return s_ok;
         }},
        {0x32a, L"create_mutex", member_method, 1, 1,
         [] WS_ARGS { return extension(the_webserver_extensions().create_mutex, self, p, r); }},
        {0x32b, L"filename_ok", member_method, 1, 2,
         [] WS_ARGS {
             std::wstring name;
             hresult hr = bstr_at(p, 0, name);
             if (failed(hr)) return hr;
             bool public_only = false;
             if (p.count() > 1) {
                 variant v;
                 if (failed(to(p.arg(1), vt_bool, v))) return e_invalidarg;
                 public_only = v.boolean() == variant_true;
             }
             std::wstring path = server_config::resolve_relative_path(name);
             if (!name.empty() && name[0] == L'/' && (path.empty() || path[0] != L'/'))
                 path = L"/" + path;
             *r =
                 bool_variant(!path.empty() && server_config::check_filename(
                                                   public_only ? server_config::filename_public_only
                                                               : server_config::filename_any_dir,
                                                   path));
             return s_ok;
         }},
        {0x32c, L"encode_password", member_method, 1, 1,
         [] WS_ARGS {
             std::wstring pwd;
             const hresult hr = bstr_at(p, 0, pwd);
             if (failed(hr)) return hr;
             *r = variant::from_bstr(encrypt_hex_string(pwd, shell_settings().master_password));
             return s_ok;
         }},
        {0x32d, L"decode_password", member_method, 1, 1,
         [] WS_ARGS {
             std::wstring pwd;
             const hresult hr = bstr_at(p, 0, pwd);
             if (failed(hr)) return hr;
             *r = variant::from_bstr(decrypt_hex_string(pwd, shell_settings().master_password));
             return s_ok;
         }},
        {0x32e, L"breakpoint", member_method, 0, 0, [] WS_ARGS { return s_ok; }},
        {0x32f, L"create_sendmail", member_method | member_get, 0, 0,
         [] WS_ARGS { return extension(the_webserver_extensions().create_sendmail, self, p, r); }},
        {0x330, L"absolute_filename", member_method, 1, 1,
         [] WS_ARGS {
             std::wstring fn, out;
             const hresult hr = bstr_at(p, 0, fn);
             if (failed(hr)) return hr;
             ws_of(self)->absolute_filename(fn, out);
             *r = variant::from_bstr(out);
             return s_ok;
         }},
        {0x331, L"hexdump", member_method, 2, 2,
         [] WS_ARGS {
             std::wstring s;
             hresult hr = bstr_at(p, 0, s);
             if (failed(hr)) return hr;
             variant level;
             if (failed(to(p.arg(1), vt_i8, level))) return e_invalidarg;
             if (level.int_value() >= trace_level()) {
                 const std::string bytes = low_bytes(s);
                 cl::trace_out.write("script_dump:\n");
                 sys::trace_hex_dump(bytes.data(), bytes.size());
             }
             return s_ok;
         }},
        {0x332, L"from_utf8", member_method, 1, 1,
         [] WS_ARGS {
             std::wstring s;
             const hresult hr = bstr_at(p, 0, s);
             if (failed(hr)) return hr;
             *r = variant::from_bstr(cl::utf8_to_utf16(low_bytes(s)));
             return s_ok;
         }},
        {0x333, L"str2bytearray", member_method, 1, 1,
         [] WS_ARGS {
             std::wstring s;
             const hresult hr = bstr_at(p, 0, s);
             if (failed(hr)) return hr;
             const std::string b = low_bytes(s);
             *r = variant::from_bytes(std::vector<uint8_t>(b.begin(), b.end()));
             return s_ok;
         }},
        {0x334, L"bytearray2str", member_method, 1, 1,
         [] WS_ARGS {
             const variant& a = p.arg(0);
             if (a.vt() != (vt_array | vt_ui1) || !a.array() || a.array()->dims != 1)
                 return e_invalidarg;
             const auto& d = a.array()->data;
             *r = variant::from_bstr(bytes_to_units(
                 std::string_view(reinterpret_cast<const char*>(d.data()), d.size())));
             return s_ok;
         }},
        {0x336, L"authenticate", member_method, 2, 3,
         [] WS_ARGS {
             std::wstring url, verb, add = L"0";
             hresult hr = bstr_at(p, 0, url);
             if (succeeded(hr)) hr = bstr_at(p, 1, verb);
             if (succeeded(hr) && p.count() > 2) hr = bstr_at(p, 2, add);
             return failed(hr) ? hr : ws_of(self)->authenticate(url, verb, add, r);
         }},
        {0x337, L"balloon", member_method, 3, 3,
         [] WS_ARGS {
             std::wstring title, txt, url;
             hresult hr = bstr_at(p, 0, title);
             if (succeeded(hr)) hr = bstr_at(p, 1, txt);
             if (succeeded(hr)) hr = bstr_at(p, 2, url);
             if (failed(hr)) return hr;
             // No tray here: the balloon goes to the trace.
             cl::trace_out.write_w(cl::format_wstr(L"balloon: %?: %? (%?)\n", title, txt, url));
             return s_ok;
         }},
        {0x338, L"add_on_disconnect_handler", member_method, 2, 3,
         [] WS_ARGS {
             std::wstring url, param;
             hresult hr = bstr_at(p, 0, url);
             if (succeeded(hr)) hr = bstr_at(p, 1, param);
             if (failed(hr)) return hr;
             bool once = false;
             if (p.count() > 2) {
                 variant v;
                 hr = to(p.arg(2), vt_bool, v);
                 if (failed(hr)) return hr;
                 once = v.boolean() == variant_true;
             }
             if (shost_file* f = ws_of(self)->file())
                 f->add_on_disconnect_handler(cl::utf16_to_utf8(url), param, once);
             return s_ok;
         }},
        {0x339, L"sleep", member_method, 1, 1, [] WS_ARGS { return ws_of(self)->sleep(p.arg(0)); }},
        {0x33a, L"spawn_script", member_method, 1, 2,
         [] WS_ARGS {
             std::wstring url, param;
             hresult hr = bstr_at(p, 0, url);
             if (succeeded(hr)) hr = bstr_at(p, 1, param);
             if (failed(hr)) return hr;
             if (auto* host = dynamic_cast<scripting_host*>(&the_script_host()))
                 host->spawn_script(cl::utf16_to_utf8(url), param);
             return s_ok;
         }},
        {0x33b, L"get_directive", member_method, 2, 2,
         [] WS_ARGS {
             std::wstring url, name, out;
             hresult hr = bstr_at(p, 0, url);
             if (succeeded(hr)) hr = bstr_at(p, 1, name);
             if (failed(hr)) return hr;
             shost_file* f = ws_of(self)->file();
             if (!f || !f->get_directive(cl::utf16_to_utf8(url), name, out)) return e_invalidarg;
             *r = variant::from_bstr(out);
             return s_ok;
         }},
        {0x33c, L"dns_lookup", member_method, 1, 1,
         [] WS_ARGS {
             std::wstring name;
             const hresult hr = bstr_at(p, 0, name);
             if (failed(hr)) return hr;
             *r = variant::from_bstr(family_address(name, AF_INET6) + L"," +
                                     family_address(name, AF_INET));
             return s_ok;
         }},
        {0x33d, L"run_stream", member_method, 4, 4,
         [] WS_ARGS { return extension(the_webserver_extensions().run_stream, self, p, r); }},
        {0x33e, L"version", member_get, 0, 0,
         [] WS_ARGS {
             *r = variant::from_bstr(L"Tesk Qvelora v3.07.2407");
             return s_ok;
         }},
        {0x33f, L"file", member_method | member_get, 0, 0,
         [] WS_ARGS { return extension(the_webserver_extensions().file, self, p, r); }},
        {0x340, L"http_methods_allowed", member_method, 2, 2,
         [] WS_ARGS {
             std::wstring url, cmds;
             hresult hr = bstr_at(p, 0, url);
             if (succeeded(hr)) hr = bstr_at(p, 1, cmds);
             if (failed(hr)) return hr;
             shost_file* f = ws_of(self)->file();
             *r = variant::from_bstr(f ? f->http_methods_allowed(cl::utf16_to_utf8(url), cmds)
                                       : std::wstring());
             return s_ok;
         }},
        {0x341, L"hrtime", member_method, 0, 0,
         [] WS_ARGS {
             const auto now = std::chrono::steady_clock::now().time_since_epoch();
             *r = variant::from_r8(
                 static_cast<double>(
                     std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) /
                 1000.0);
             return s_ok;
         }},
        {0x342, L"request_params", member_method | member_get, 0, 0,
         [] WS_ARGS {
             shost_file* f = ws_of(self)->file();
             if (!f) return e_fail;
             automation::com_ptr<request_info> o(
                 new request_info(f->info(), ws_of(self)->adapter()));
             return o->construct(r);
         }},
        {0x343, L"logger", member_method, 2, 2,
         [] WS_ARGS { return extension(the_webserver_extensions().logger, self, p, r); }},
        {0x344, L"set_compression", member_method, 5, 5,
         [] WS_ARGS { return ws_of(self)->set_compression(p); }},
        {0x345, L"ini_file_value", member_get | member_put, 3, 4,
         [] WS_ARGS {
             std::wstring fn, section, key, value;
             hresult hr = bstr_at(p, 0, fn);
             if (succeeded(hr)) hr = bstr_at(p, 1, section);
             if (succeeded(hr)) hr = bstr_at(p, 2, key);
             if (failed(hr)) return hr;
             const std::wstring path = ini_path_of(*ws_of(self), fn);
             if (path.empty())
                 return kind == member_put ? e_invalidarg : (*r = variant::from_bstr(L""), s_ok);
             if (kind == member_put) {
                 if (p.count() != 4) return disp_e_badparamcount;
                 hr = bstr_at(p, 3, value);
                 if (failed(hr)) return hr;
                 // A line break would let the value add keys of its own (the
                 // interpreter path, say) or a section.
                 if (!ini_text_ok(section) || !ini_text_ok(key) || !is_safe_header_value(value))
                     return e_invalidarg;
                 if (fn == L"*") {
                     cl::ini_file* g = script_global_ini();
                     if (!g || !g->write_value(section, key, value, false) || !g->flush())
                         return e_fail;
                     return s_ok;
                 }
                 cl::ini_file ini;
                 ini.set_path(path, true);
                 return ini.write_value(section, key, value, false) ? s_ok : e_fail;
             }
             std::wstring out;
             if (fn == L"*") {
                 if (cl::ini_file* g = script_global_ini()) g->get_value_fresh(section, key, out);
             } else {
                 cl::ini_file ini;
                 ini.set_path(path, true);
                 ini.get_value(section, key, out);
             }
             *r = variant::from_bstr(out);
             return s_ok;
         }},
        {0x346, L"hash_list", member_method, 2, 2,
         [] WS_ARGS { return extension(the_webserver_extensions().hash_list, self, p, r); }},
        {0x347, L"private_hash_list", member_method, 2, 2,
         [] WS_ARGS {
             return extension(the_webserver_extensions().private_hash_list, self, p, r);
         }},
        {0x348, L"stop_impersonation", member_method, 0, 0,
         [] WS_ARGS {
             shost_file* f = ws_of(self)->file();
             return f && f->set_admin_impersonation(true) ? s_ok : e_fail;
         }},
        {0x349, L"restart_impersonation", member_method, 0, 0,
         [] WS_ARGS {
             shost_file* f = ws_of(self)->file();
             return f && f->set_admin_impersonation(false) ? s_ok : e_fail;
         }},
        {0x34a, L"CreateObject", member_method, 1, 2,
         [] WS_ARGS {
             std::wstring name;
             hresult hr = bstr_at(p, 0, name);
             if (failed(hr)) return hr;
             guid clsid;
             hr = clsid_from_prog_id(name, &clsid);
             void* unk = nullptr;
             if (succeeded(hr))
                 hr = co_create_instance(clsid, nullptr, clsctx_inproc_server | clsctx_local_server,
                                         iid_iunknown, &unk);
             if (failed(hr)) return hr;
             void* d = nullptr;
             hr = static_cast<iunknown_i*>(unk)->query_interface(iid_idispatch, &d);
             static_cast<iunknown_i*>(unk)->release();
             if (failed(hr)) return hr;
             *r = variant::from_dispatch(static_cast<idispatch_i*>(d));
             static_cast<idispatch_i*>(d)->release();
             if (p.count() < 2) return s_ok;
             const uint16_t vt = p.arg(1).vt();
             if (vt == vt_null || vt == vt_empty) return s_ok;
             return connect_created_object(*ws_of(self), static_cast<idispatch_i*>(d), p.arg(1));
         }},
        {0x34b, L"create_event", member_method | member_get, 0, 0,
         [] WS_ARGS { return extension(the_webserver_extensions().create_event, self, p, r); }},
        {0x34c, L"wait_for_events", member_method, 3, 3,
         [] WS_ARGS { return extension(the_webserver_extensions().wait_for_events, self, p, r); }},
    });

#undef WS_ARGS

} // namespace

webserver_extensions& the_webserver_extensions() {
    static webserver_extensions e;
    return e;
}

void register_webserver_type_info() {
    program_type_library().add(&iwebserver_info);
}

webserver_object::webserver_object(main_script_object* owner) : owner_(owner) {
    register_script_type_info();
    load_type_info(program_type_library(), iid_iwebserver);
    ++automation::g_com_stats.webservers.created;
}

webserver_object::~webserver_object() {
    ++automation::g_com_stats.webservers.destroyed;
}

void webserver_object::set_request(const cl::sh_ptr<shost_file_adapter>& adapter) {
    adapter_ = adapter;
    read_ahead_.clear();
    ahead_head_ = 0;
    ahead_units_ = 0;
    undecoded_.clear();
    io_mode = 0;
    auth_cache_.clear();
    verified_ = auth_info();
    verified_known_ = false;
}

namespace {

// UTF-16 units of one character of the read-ahead (which holds whole
// characters): two for one outside the Basic Multilingual Plane.
uint64_t utf16_units(wchar_t c) {
    return static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
}

} // namespace

hresult webserver_object::read_body(const variant& cnt, variant* result) {
    variant c;
    if (failed(change_type(c, cnt, vt_i4))) return e_invalidarg;
    const uint32_t want = static_cast<uint32_t>(c.i4());
    const std::size_t chunk = want < 32767 ? want : 32767;
    shost_file* f = file();
    std::string bytes;
    while (f && chunk > 0 && ahead_units_ < want) {
        bytes.resize(chunk);
        const std::size_t n = f->read_input(bytes.data(), chunk);
        const std::size_t before = read_ahead_.size();
        if (n == 0) {
            // The end: a cut character at the very end is a broken one.
            if (!undecoded_.empty()) read_ahead_ += cl::utf8_to_utf16(undecoded_);
            undecoded_.clear();
        } else {
            bytes.resize(n);
            if (io_mode == 0) {
                // A character cut by the piece boundary waits for its rest.
                undecoded_ += bytes;
                cl::utf8_decode_append(undecoded_, read_ahead_);
            } else {
                // Bytes kept back in text mode go first, one unit each.
                read_ahead_ += bytes_to_units(undecoded_);
                undecoded_.clear();
                read_ahead_ += bytes_to_units(bytes);
            }
        }
        for (std::size_t i = before; i < read_ahead_.size(); ++i)
            ahead_units_ += utf16_units(read_ahead_[i]);
        if (n == 0) break;
    }
    // The piece ends before a pair of units that the count would cut, so
    // that both halves of a character arrive together; only a piece that
    // would then be empty (which reads as the end) takes the whole pair.
    uint64_t taken = 0;
    std::size_t end = ahead_head_;
    while (end < read_ahead_.size()) {
        const uint64_t u = utf16_units(read_ahead_[end]);
        if (taken + u > want && !(taken == 0 && want > 0)) break;
        taken += u;
        ++end;
        if (taken >= want) break;
    }
    *result = variant::from_bstr(read_ahead_.substr(ahead_head_, end - ahead_head_));
    ahead_head_ = end;
    ahead_units_ -= taken;
    if (ahead_head_ == read_ahead_.size()) {
        read_ahead_.clear();
        ahead_head_ = 0;
    } else if (ahead_head_ >= 4096 && ahead_head_ * 2 >= read_ahead_.size()) {
        // Small pieces of a long body: drop the part handed out now and then
        // instead of moving the rest after every piece.
        read_ahead_.erase(0, ahead_head_);
        ahead_head_ = 0;
    }
    return s_ok;
}

hresult webserver_object::write_response(const std::wstring& buf, variant* result) {
    return write_bytes(io_mode == 0 ? cl::utf16_to_utf8(buf) : low_bytes(buf), result);
}

hresult webserver_object::write_bytes(std::string_view bytes, variant* result) {
    shost_file* f = file();
    int64_t last = 0;
    std::size_t done = 0;
    if (f) {
        do {
            last = f->write_response(bytes.data() + done, bytes.size() - done);
            if (last > 0) done += static_cast<std::size_t>(last);
        } while (last > 0 && done < bytes.size());
    }
    *result = bool_variant(last > 0);
    return s_ok;
}

hresult webserver_object::absolute_filename(const std::wstring& fn_in, std::wstring& out) {
    out.clear();
    std::wstring fn = fn_in;
    const std::wstring pub = public_dir();
    if (!pub.empty() && fn.compare(0, pub.size(), pub) == 0) fn.erase(0, pub.size() - 1);
    const bool rooted = !fn.empty() && (fn[0] == L'/' || fn[0] == L'\\');
    std::wstring name = server_config::resolve_relative_path(fn);
    if (name.empty()) return s_ok;
    if (!rooted && !name.empty() && name[0] == L'/') name.erase(0, 1);
    if (!rooted) {
        // The running script's path is a request path: below the document
        // root, like a rooted name.
        shost_file* f = file();
        std::wstring script = f ? cl::utf8_to_utf16(f->environment_var("_TSKQVL_PATH")) : L"";
        if (!script.empty()) {
            if (script[0] != L'/') script.insert(0, 1, L'/');
            script = cl::remove_backslash(pub) + script;
        } else if (f) {
            script = f->path();
        }
        script = cl::remove_backslash(script);
        std::error_code ec;
        if (std::filesystem::is_directory(cl::utf16_to_utf8(script), ec))
            name = script + L"/" + name;
        else
            name = cl::dir_part(script) + name;
    } else {
        if (name[0] != L'/') name.insert(0, 1, L'/');
        name = cl::remove_backslash(pub) + name;
    }
    if (is_blocked(name)) {
        if (trace_level() > 0)
            cl::trace_out.write_w(
                cl::format_wstr(L"absolute_filename: file in blocklist %?\n", name));
        return s_ok;
    }
    if (!server_config::check_filename(server_config::filename_public_only, name)) return s_ok;
    out = name;
    return s_ok;
}

hresult webserver_object::authenticate(const std::wstring& url, const std::wstring& verb,
                                       const std::wstring& add_params, variant* result) {
    // Each URL goes to the access check once per request.
    auto it = auth_cache_.find(url);
    if (it != auth_cache_.end()) {
        *result = variant::from_i4(it->second);
        return s_ok;
    }
    shost_file* f = file();
    const int32_t answer = f ? check_login(*f, url, verb, add_params) : 0;
    auth_cache_[url] = answer;
    *result = variant::from_i4(answer);
    return s_ok;
}

namespace {

// The text a script passes when it has no directive lines to add: nothing,
// or the "0" its caller gets by default.
bool has_directive_lines(const std::wstring& text) {
    return !text.empty() && text != L"0";
}

} // namespace

int32_t webserver_object::check_login(shost_file& f, const std::wstring& url,
                                      const std::wstring& verb, const std::wstring& add_params) {
    // Headers can no longer reach the client once the head is out; the
    // answer still tells the script whether the login holds.
    const bool head_open = !f.header_sent();
    const std::string u = cl::utf16_to_utf8(url);
    std::wstring method = cl::to_upper_copy_w(verb);
    if (method.empty()) method = L"GET";
    cl::sh_ptr<config_info> cfg = server_config::config_for_url(u, method);
    if (!cfg) {
        if (head_open) f.headers().add("Status", "403");
        if (trace_level() > 0)
            cl::trace_out.write(cl::format_str("script auth: invalid or unallowed url: %?\n", u));
        return 0;
    }
    if (has_directive_lines(add_params)) {
        // The lines act on a copy: the cached configuration of the URL is
        // shared by every request for it.
        cl::sh_ptr<config_info> copy(new config_info(*cfg));
        const std::wstring source = L"script: add_auth_params";
        uint32_t number = 0;
        std::size_t pos = 0;
        while (pos <= add_params.size()) {
            std::size_t nl = add_params.find(L'\n', pos);
            if (nl == std::wstring::npos) nl = add_params.size();
            std::wstring line = add_params.substr(pos, nl - pos);
            if (!line.empty() && line.back() == L'\r') line.pop_back();
            parse_config_line_at(*copy, line, source, ++number);
            pos = nl + 1;
        }
        // A continuation left open at the end is a line of its own.
        if (!copy->continuation.empty()) {
            std::wstring rest = std::move(copy->continuation);
            copy->continuation.clear();
            parse_config_line_at(*copy, rest, source, number);
        }
        cfg = copy;
    }
    if (!verified_known_) {
        // The login the server's own check of the page passed, if any.
        verified_.user_name = f.environment_var("REMOTE_USER");
        verified_.auth_type_name = f.environment_var("AUTH_TYPE");
        verified_.realm = f.environment_var("_TSKQVL_AUTHNAME");
        verified_.user_file = f.environment_var("_TSKQVL_AUTHUSERFILE");
        verified_known_ = true;
    }
    // The page asks what a request of its client for the URL would be
    // answered: the same one decision, links, blocklist and Files sections
    // included. A Digest answer covers the method and target the client
    // sent; the verb only selects the configuration.
    access_client client;
    client.authorization = f.environment_var("HTTP_AUTHORIZATION");
    client.method = f.environment_var("REQUEST_METHOD");
    if (const cl::sh_ptr<req_info>& ri = f.info()) {
        client.info = ri.get();
        if (ri->data) client.uri = ri->data->raw_url;
    }
    client.verified = &verified_;
    const access_answer a =
        decide_access_config(client, cl::utf16_to_utf8(method), cfg, access_use::request);
    if (!a.granted()) {
        if (head_open) {
            f.headers().add("Status", std::to_string(a.status));
            f.headers().add_all(*a.challenge);
        }
        if (a.status == 403 && trace_level() > 0)
            cl::trace_out.write(cl::format_str("script auth: invalid or unallowed url: %?\n", u));
        return 0;
    }
    if (!a.auth_applies) return 2;
    if (a.already_done) return 3;
    if (head_open) f.headers().add_all(*a.success);
    // These credentials are now used up for this request (a Digest nonce
    // count counts once): further URLs of the same login are already done.
    verified_ = a.auth;
    return 1;
}

hresult webserver_object::set_compression(dispparams& p) {
    if (p.count() < 5) return disp_e_badparamcount;
    shost_file* f = file();
    compression_override c = f ? f->compression_settings() : compression_override();
    hresult hr = s_ok;
    // In argument order; the values before a bad argument stay stored.
    for (std::size_t i = 0; i < 5 && succeeded(hr); ++i) {
        variant v;
        hr = change_type(v, p.arg(i), i < 2 ? vt_bool : vt_i4);
        if (failed(hr)) break;
        switch (i) {
        case 0:
            c.deflate = v.boolean() == variant_true;
            break;
        case 1:
            c.gzip = v.boolean() == variant_true;
            break;
        case 2:
            c.level = v.i4();
            break;
        case 3:
            c.mem_level = v.i4();
            break;
        default:
            c.window_bits = v.i4();
        }
    }
    if (f) f->set_compression(c, succeeded(hr));
    return hr;
}

hresult webserver_object::sleep(const variant& ms) {
    variant v;
    const hresult hr = change_type(v, ms, vt_i8);
    if (failed(hr)) return hr;
    int64_t msec = static_cast<int32_t>(v.int_value());
    if (msec < 0) return s_ok;
    // No sleep outlasts the run-time limit: a request never waits longer.
    const uint32_t limit = get_script_settings().run_time_limit_ms;
    if (limit && msec > limit) msec = limit;
    // In slices, so that server stop or the run-time limit ends a long sleep;
    // events of objects the page connected run on this thread meanwhile.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(msec);
    do {
        if (scripts_stopping() || script_engine::engine::current_run_over()) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        objects::pump_messages(static_cast<uint32_t>(std::clamp<int64_t>(left.count(), 0, 20)));
    } while (std::chrono::steady_clock::now() < end);
    return s_ok;
}

} // namespace scripting
