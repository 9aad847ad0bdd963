// The Webserver object: a page's door to the running request (body in,
// response out, content type, CGI variables) and to the server's services
// (file names, INI values, passwords, directives, other scripts, DNS).
#pragma once
#include "platform/automation/com_objects.h"
#include "scripting/jscript/shost_file.h"
#include "server/access_checker.h"

#include <map>
#include <string>
#include <vector>

namespace scripting {

class main_script_object;

struct iwebserver_i : automation::idispatch_i {};

inline constexpr automation::guid iid_iwebserver{
    0xED987CAE, 0xB34C, 0x4833, {0x83, 0x73, 0x3A, 0xE2, 0x23, 0x56, 0x9F, 0x5E}};

void register_webserver_type_info();

// Members that other parts of the scripting host provide (files, mutexes,
// events, images, loggers, hash lists, mail, server lists, live streams).
// Each answers "not implemented" until its object exists; a provider can be
// installed per member without touching this object.
struct webserver_extensions {
    using member = automation::hresult (*)(class webserver_object& self,
                                           automation::dispparams& params,
                                           automation::variant* result);
    member create_image = nullptr;
    member server_object = nullptr; // every name but "http_response_header"
    member create_mutex = nullptr;
    member create_sendmail = nullptr;
    member file = nullptr;
    member logger = nullptr;
    member hash_list = nullptr;
    member private_hash_list = nullptr;
    member create_event = nullptr;
    member wait_for_events = nullptr;
    member run_stream = nullptr;
    // Server lists kept above the scripting host (the capture devices).
    bool (*server_list)(const std::wstring& name, std::vector<std::wstring>& keys,
                        std::vector<std::wstring>& values) = nullptr;
};
webserver_extensions& the_webserver_extensions();

class webserver_object final : public automation::idispatch<iwebserver_i> {
  public:
    explicit webserver_object(main_script_object* owner);
    ~webserver_object() override;

    // A new request: its handle replaces the old one, the read-ahead and
    // the login answers are forgotten and text mode is back.
    void set_request(const cl::sh_ptr<shost_file_adapter>& adapter);
    shost_file* file() const { return adapter_ ? adapter_->file() : nullptr; }
    const cl::sh_ptr<shost_file_adapter>& adapter() const { return adapter_; }
    main_script_object* owner() const { return owner_; }

    // Up to cnt UTF-16 units of the request body (as JavaScript counts a
    // string's length); -1 for all that is left.
    automation::hresult read_body(const automation::variant& cnt, automation::variant* result);
    automation::hresult write_response(const std::wstring& buf, automation::variant* result);
    // The page's output as it goes out, already in its final encoding.
    automation::hresult write_bytes(std::string_view bytes, automation::variant* result);
    automation::hresult absolute_filename(const std::wstring& fn, std::wstring& out);
    automation::hresult authenticate(const std::wstring& url, const std::wstring& verb,
                                     const std::wstring& add_params, automation::variant* result);
    // Deflate, gzip, level, memory level and window size, in this order.
    automation::hresult set_compression(automation::dispparams& params);
    automation::hresult sleep(const automation::variant& ms);

    int32_t io_mode = 0;

  private:
    int32_t check_login(shost_file& f, const std::wstring& url, const std::wstring& verb,
                        const std::wstring& add_params);

    main_script_object* owner_; // the global object owns this one
    cl::sh_ptr<shost_file_adapter> adapter_;
    // Body text not yet handed out: characters from read_ahead_[ahead_head_]
    // on, ahead_units_ UTF-16 units long.
    std::wstring read_ahead_;
    std::size_t ahead_head_ = 0;
    uint64_t ahead_units_ = 0;
    std::string undecoded_; // the start of a character cut by the last piece
    std::map<std::wstring, int32_t> auth_cache_;
    // The login this request's credentials passed last (by the server's own
    // check of the page or by authenticate); an empty user while none.
    auth_info verified_;
    bool verified_known_ = false; // verified_ was taken from the request
};

} // namespace scripting
