// The objects every page meets: the global object (alert, exit, webserver,
// __declare_const, require, exports), the module exports object, the request
// information object with the request headers as properties, and the
// response-header object.
#pragma once
#include "platform/automation/com_objects.h"
#include "scripting/jscript/shost_file.h"
#include "server/req_info.h"
#include "server/response_headers.h"

#include <set>
#include <string>
#include <vector>

namespace scripting {

class jscript_host;
class webserver_object;
class shost_file_adapter;

struct ishost_i : automation::idispatch_i {};
struct irequire_obj_i : automation::idispatch_ex_i {};
struct irequest_info_i : automation::idispatch_ex_i {};
struct iresponse_headers_i : automation::idispatch_ex_i {};

inline constexpr automation::guid iid_ishost{
    0xEE168A30, 0x7137, 0x41BB, {0xB9, 0x0C, 0x26, 0x93, 0xA8, 0x4F, 0xFF, 0x4B}};
inline constexpr automation::guid iid_irequire_obj{
    0x092C3D54, 0xB5B1, 0x4CA0, {0xA9, 0x3E, 0x6C, 0x69, 0x37, 0xFA, 0xD2, 0x36}};
inline constexpr automation::guid iid_irequest_info{
    0x4D0C858C, 0xFC89, 0x4690, {0xA4, 0x78, 0xEB, 0x52, 0x0E, 0x05, 0xE1, 0x4E}};

// Registers the member tables of the script objects in the program's type
// library (once).
void register_script_type_info();

class main_script_object final : public automation::idispatch<ishost_i> {
  public:
    explicit main_script_object(jscript_host* host);
    ~main_script_object() override;

    automation::hresult get_ids_of_names(const automation::guid& iid, const std::wstring* names,
                                         uint32_t count, automation::lcid lcid,
                                         automation::dispid* ids) override;

    // Before each run: the new request, handed on to the Webserver object.
    void set_current_request(const cl::sh_ptr<shost_file_adapter>& adapter);
    // Records a name the script keeps at global level.
    void note_name(const std::wstring& name) { asked_.insert(name); }
    // The first recorded name that is not a declared constant; empty when none.
    std::wstring global_state_name() const;
    void detach_host() { host_ = nullptr; }

    automation::hresult alert(const automation::variant& v);
    automation::hresult exit_script();
    automation::hresult webserver(automation::variant* result);
    automation::hresult declare_const(const std::wstring& name);
    automation::hresult require(const std::wstring& name, automation::variant* result,
                                automation::excepinfo* ei = nullptr);
    automation::hresult get_exports(automation::variant* result);
    automation::hresult put_exports(const automation::variant& v);
    jscript_host* host() const { return host_; }

  private:
    jscript_host* host_;
    std::set<std::wstring> consts_;
    std::set<std::wstring> asked_;
    automation::com_ptr<webserver_object> webserver_;
    automation::variant exports_;
};

// A module's exports: properties with any values, numbered from 1.
class require_obj final : public automation::idispatch_ex<irequire_obj_i> {
  public:
    require_obj();
    ~require_obj() override;

    automation::hresult get_disp_id(const std::wstring& name, uint32_t flags,
                                    automation::dispid* out) override;
    automation::hresult get_ids_of_names(const automation::guid& iid, const std::wstring* names,
                                         uint32_t count, automation::lcid lcid,
                                         automation::dispid* ids) override;
    automation::hresult delete_member_by_name(const std::wstring& name, uint32_t flags) override;
    automation::hresult delete_member_by_disp_id(automation::dispid id) override;
    automation::hresult get_member_name(automation::dispid id, std::wstring* out) override;
    automation::hresult get_next_disp_id(uint32_t flags, automation::dispid id,
                                         automation::dispid* out) override;
    automation::hresult invoke(automation::dispid member, const automation::guid& iid,
                               automation::lcid lcid, uint16_t flags,
                               automation::dispparams& params, automation::variant* result,
                               automation::excepinfo* ei, uint32_t* arg_err) override;

  protected:
    automation::hresult dynamic_invoke(automation::dispid member, automation::lcid lcid,
                                       uint16_t flags, automation::dispparams& params,
                                       automation::variant* result, automation::excepinfo* ei,
                                       automation::iunknown_i* caller) override;

  private:
    long find(const std::wstring& name) const;
    std::vector<std::wstring> names_;
    std::vector<automation::variant> values_;
    std::set<std::size_t> deleted_;
};

// The request headers as the request information object reads and writes them.
// The request record of an object a script may keep beyond its request: the
// record outlives the request's data, so once the request's run is over
// (its adapter cut off) the object sees no request at all.
class req_header_provider {
  public:
    explicit req_header_provider(cl::sh_ptr<req_info> info,
                                 cl::sh_ptr<shost_file_adapter> run = nullptr);
    template <class M> void refresh_members(M& members) {
        if (filled_) return;
        filled_ = true;
        std::vector<std::pair<std::wstring, std::wstring>> list;
        enumerate(list);
        for (auto& [n, v] : list)
            members.set_member(n, v);
    }
    void member_deleted(const std::wstring& name) { set(name, L""); }
    void enumerate(std::vector<std::pair<std::wstring, std::wstring>>& out) const;
    // False for a value that would break the header block.
    bool set(const std::wstring& name, const std::wstring& value);
    req_info* info() const;

  private:
    cl::sh_ptr<req_info> info_;
    cl::sh_ptr<shost_file_adapter> run_;
    bool filled_ = false;
};

class request_info final
    : public automation::idispatch_ex_wstr_impl<irequest_info_i, 0x1000, req_header_provider> {
  public:
    explicit request_info(cl::sh_ptr<req_info> info, cl::sh_ptr<shost_file_adapter> run = nullptr);
    ~request_info() override;
    // Fills the header properties from the request (a snapshot).
    automation::hresult construct(automation::variant* result);
    req_header_provider& provider() { return provider_; }
    automation::hresult invoke(automation::dispid member, const automation::guid& iid,
                               automation::lcid lcid, uint16_t flags,
                               automation::dispparams& params, automation::variant* result,
                               automation::excepinfo* ei, uint32_t* arg_err) override {
        // Dynamic members answer through the dispatch interface as well.
        if (member >= 0x1000)
            return dynamic_invoke(member, lcid, flags, params, result, ei, nullptr);
        return idispatch_ex_wstr_impl::invoke(member, iid, lcid, flags, params, result, ei,
                                              arg_err);
    }

  protected:
    automation::hresult dynamic_invoke(automation::dispid id, automation::lcid lcid, uint16_t flags,
                                       automation::dispparams& params, automation::variant* result,
                                       automation::excepinfo* ei,
                                       automation::iunknown_i* caller) override;

  private:
    req_header_provider provider_;
};

// The response headers of the running request, live and writable.
class resp_header_provider {
  public:
    resp_header_provider(cl::sh_ptr<response_headers> h, cl::sh_ptr<shost_file_adapter> request)
        : headers_(std::move(h)), request_(std::move(request)) {}
    // True while the answer's head has not gone out: afterwards the request
    // side reads the headers, and changes would come too late anyway.
    bool can_change() const;
    template <class M> void refresh_members(M& members) {
        if (filled_ || !headers_) return;
        filled_ = true;
        for (const response_headers::field& f : headers_->fields())
            members.set_member(cl::utf8_to_utf16(f.name), cl::utf8_to_utf16(f.value));
    }
    void member_deleted(const std::wstring& name) {
        if (headers_ && can_change()) headers_->remove(name);
    }
    response_headers* headers() const { return headers_.get(); }

  private:
    cl::sh_ptr<response_headers> headers_;
    cl::sh_ptr<shost_file_adapter> request_;
    bool filled_ = false;
};

class response_header_object final
    : public automation::idispatch_ex_wstr_impl<iresponse_headers_i, 0x1000, resp_header_provider> {
  public:
    response_header_object(cl::sh_ptr<response_headers> h, cl::sh_ptr<shost_file_adapter> request);
    automation::hresult invoke(automation::dispid member, const automation::guid& iid,
                               automation::lcid lcid, uint16_t flags,
                               automation::dispparams& params, automation::variant* result,
                               automation::excepinfo* ei, uint32_t* arg_err) override {
        // Dynamic members answer through the dispatch interface as well.
        if (member >= 0x1000)
            return dynamic_invoke(member, lcid, flags, params, result, ei, nullptr);
        return idispatch_ex_wstr_impl::invoke(member, iid, lcid, flags, params, result, ei,
                                              arg_err);
    }

  protected:
    automation::hresult dynamic_invoke(automation::dispid id, automation::lcid lcid, uint16_t flags,
                                       automation::dispparams& params, automation::variant* result,
                                       automation::excepinfo* ei,
                                       automation::iunknown_i* caller) override;

  private:
    resp_header_provider provider_;
};

} // namespace scripting
