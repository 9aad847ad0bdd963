// Small helpers shared by the script objects: argument conversion, raising
// catchable script errors and registering member tables once.
#pragma once
#include "platform/automation/com_objects.h"
#include "platform/automation/type_info.h"
#include "platform/automation/variant.h"

#include <string>

namespace scripting::objects {

using namespace automation;

// The object behind a dispatch pointer that a member table hands back.
template <class T, class I> T* self_as(idispatch_i* d) {
    return static_cast<T*>(static_cast<I*>(d));
}

// VariantChangeType with flags 0 into out; the HRESULT of the conversion.
inline hresult to_type(const variant& in, uint16_t vt, variant& out) {
    return change_type(out, in, vt);
}
inline hresult to_i4(const variant& in, int32_t& out) {
    variant v;
    const hresult hr = change_type(v, in, vt_i4);
    if (succeeded(hr)) out = v.i4();
    return hr;
}
inline hresult to_i8(const variant& in, int64_t& out) {
    variant v;
    const hresult hr = change_type(v, in, vt_i8);
    if (succeeded(hr)) out = v.int_value();
    return hr;
}
inline hresult to_bool(const variant& in, bool& out) {
    variant v;
    const hresult hr = change_type(v, in, vt_bool);
    if (succeeded(hr)) out = v.boolean() != variant_false;
    return hr;
}
inline hresult to_text(const variant& in, std::wstring& out) {
    variant v;
    const hresult hr = change_type(v, in, vt_bstr);
    if (succeeded(hr)) out = v.bstr();
    return hr;
}
// An optional argument: absent, empty or null.
inline bool missing(const dispparams& p, std::size_t i) {
    return p.count() <= i || p.arg(i).vt() == vt_empty || p.arg(i).vt() == vt_null;
}

// Raises a catchable error (code 1001, source "qvel scripting") in the script
// running on this thread: S_OK when raised, E_FAIL when no script runs here.
hresult raise_script_error(const std::wstring& text);

// Registers a member table with the program's type library on first use.
void register_type_once(const type_info& ti);

// UTF-16 code units of a wide text (code points above U+FFFF as pairs) and back.
std::u16string to_utf16_units(const std::wstring& s);
std::wstring from_utf16_units(std::u16string_view u);

} // namespace scripting::objects
