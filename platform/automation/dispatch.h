// Late-bound calls: the dispatch interface (members by name and dispid) and
// its extension with members that come and go at run time.
#pragma once
#include "platform/automation/variant.h"

#include <string>
#include <vector>

namespace automation {

class type_info;

using dispid = int32_t;
using lcid = uint32_t;

constexpr dispid dispid_value = 0;
constexpr dispid dispid_unknown = -1;
constexpr dispid dispid_startenum = -1;
constexpr dispid dispid_propertyput = -3;

constexpr uint16_t dispatch_method = 1;
constexpr uint16_t dispatch_propertyget = 2;
constexpr uint16_t dispatch_propertyput = 4;
constexpr uint16_t dispatch_propertyputref = 8;
constexpr uint16_t dispatch_construct = 0x4000;

constexpr uint32_t fdex_name_case_sensitive = 0x1;
constexpr uint32_t fdex_name_ensure = 0x2;
constexpr uint32_t fdex_name_implicit = 0x4;
constexpr uint32_t fdex_name_case_insensitive = 0x8;
constexpr uint32_t fdex_enum_default = 0x1;
constexpr uint32_t fdex_enum_all = 0x2;

constexpr lcid lcid_user_default = 0x400;

// The exception record a member fills when it fails with DISP_E_EXCEPTION.
struct excepinfo {
    uint16_t code = 0; // application code (the "wCode"); 0 when scode is used
    std::wstring source;
    std::wstring description;
    std::wstring help_file;
    hresult scode = 0;
};

// Arguments of a call. As on the wire of the dispatch interface, args holds
// them last first; arg(i) counts from the first. named holds the dispids of
// named arguments (only dispid_propertyput occurs in this program).
struct dispparams {
    std::vector<variant> args;
    std::vector<dispid> named;
    std::size_t count() const { return args.size(); }
    const variant& arg(std::size_t i) const { return args[args.size() - 1 - i]; }
    variant& arg(std::size_t i) { return args[args.size() - 1 - i]; }
    // Builds the arguments from first to last.
    static dispparams of(std::vector<variant> first_to_last);
};

struct idispatch_i : iunknown_i {
    virtual hresult get_type_info_count(uint32_t* out) = 0;
    // Type information is static and lives as long as the program: no reference.
    virtual hresult get_type_info(uint32_t index, lcid id, const type_info** out) = 0;
    virtual hresult get_ids_of_names(const guid& iid, const std::wstring* names, uint32_t count,
                                     lcid id, dispid* ids) = 0;
    virtual hresult invoke(dispid member, const guid& iid, lcid id, uint16_t flags,
                           dispparams& params, variant* result, excepinfo* ei,
                           uint32_t* arg_err) = 0;

  protected:
    ~idispatch_i() = default;
};

struct idispatch_ex_i : idispatch_i {
    virtual hresult get_disp_id(const std::wstring& name, uint32_t flags, dispid* out) = 0;
    virtual hresult invoke_ex(dispid member, lcid id, uint16_t flags, dispparams& params,
                              variant* result, excepinfo* ei, iunknown_i* caller) = 0;
    virtual hresult delete_member_by_name(const std::wstring& name, uint32_t flags) = 0;
    virtual hresult delete_member_by_disp_id(dispid member) = 0;
    virtual hresult get_member_properties(dispid member, uint32_t mask, uint32_t* out) = 0;
    virtual hresult get_member_name(dispid member, std::wstring* out) = 0;
    virtual hresult get_next_disp_id(uint32_t flags, dispid member, dispid* out) = 0;
    virtual hresult get_name_space_parent(iunknown_i** out) = 0;

  protected:
    ~idispatch_ex_i() = default;
};

// Helpers for native callers: look a name up and call or read it.
hresult dispatch_get_id(idispatch_i* d, const std::wstring& name, dispid* out);
hresult dispatch_call(idispatch_i* d, const std::wstring& name, uint16_t flags,
                      std::vector<variant> first_to_last, variant* result, excepinfo* ei = nullptr);

} // namespace automation
