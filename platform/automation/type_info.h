// Type information as static member tables: each interface that scripts see
// lists its members (dispid, name, how it may be called, and the native
// routine that serves it). The program's "type library" is the registry of
// these tables by interface id.
#pragma once
#include "platform/automation/dispatch.h"

#include <mutex>
#include <string>
#include <vector>

namespace automation {

// How a member may be invoked: the dispatch flags it accepts.
constexpr uint16_t member_method = dispatch_method;
constexpr uint16_t member_get = dispatch_propertyget;
constexpr uint16_t member_put = dispatch_propertyput;
// With member_get: the property reads the same value for as long as the
// object lives, so a script engine may keep what it read first.
constexpr uint16_t member_constant = 0x0100;

// self is the object's dispatch interface (the implementing class casts it back);
// flags is the one kind chosen for this call (method, get or put).
using member_call = hresult (*)(idispatch_i* self, uint16_t flags, dispparams& params,
                                variant* result, excepinfo* ei);

struct member_desc {
    dispid id = 0;
    const wchar_t* name = L"";
    uint16_t kinds = 0;
    uint16_t min_args = 0; // a put counts its value as one argument
    uint16_t max_args = 0;
    member_call call = nullptr;
};

class type_info {
  public:
    type_info(const guid& iid, std::wstring name, std::vector<member_desc> members);

    const guid& iid() const { return iid_; }
    const std::wstring& name() const { return name_; }
    const std::vector<member_desc>& members() const { return members_; }
    const member_desc* find(dispid id) const;
    const member_desc* find(std::wstring_view name) const;

    // DispGetIDsOfNames: names without regard to case; unknown names get
    // dispid_unknown and the answer DISP_E_UNKNOWNNAME.
    hresult get_ids_of_names(const std::wstring* names, uint32_t count, dispid* ids) const;
    // The member's name; TYPE_E_ELEMENTNOTFOUND for an unknown id.
    hresult get_names(dispid id, std::wstring* out) const;
    // DispInvoke: DISP_E_MEMBERNOTFOUND when the member does not exist or does not
    // accept the kind of call; DISP_E_BADPARAMCOUNT outside its argument range.
    hresult invoke(idispatch_i* self, dispid id, uint16_t flags, dispparams& params,
                   variant* result, excepinfo* ei, uint32_t* arg_err) const;

  private:
    guid iid_;
    std::wstring name_;
    std::vector<member_desc> members_;
};

class type_library {
  public:
    // Registers a table that lives as long as the program.
    void add(const type_info* ti);
    // ITypeLib::GetTypeInfoOfGuid; TYPE_E_ELEMENTNOTFOUND when none is registered.
    hresult get_type_info_of_guid(const guid& iid, const type_info** out) const;

  private:
    mutable std::mutex lock_;
    std::vector<const type_info*> infos_;
};

// The program's one type library.
type_library& program_type_library();

} // namespace automation
