#include "platform/automation/variant.h"
#include "platform/automation/dispatch.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <limits>
#include <utility>

namespace automation {

variant::variant(const variant& o)
    : vt_(o.vt_), i_(o.i_), r_(o.r_), s_(o.s_), unk_(o.unk_), disp_(o.disp_), a_(o.a_) {
    if (unk_) unk_->add_ref();
}

variant::variant(variant&& o) noexcept
    : vt_(std::exchange(o.vt_, vt_empty)), i_(o.i_), r_(o.r_), s_(std::move(o.s_)),
      unk_(std::exchange(o.unk_, nullptr)), disp_(std::exchange(o.disp_, nullptr)),
      a_(std::move(o.a_)) {}

variant& variant::operator=(const variant& o) {
    if (this != &o) {
        variant copy(o);
        *this = std::move(copy);
    }
    return *this;
}

variant& variant::operator=(variant&& o) noexcept {
    if (this != &o) {
        clear();
        vt_ = std::exchange(o.vt_, vt_empty);
        i_ = o.i_;
        r_ = o.r_;
        s_ = std::move(o.s_);
        unk_ = std::exchange(o.unk_, nullptr);
        disp_ = std::exchange(o.disp_, nullptr);
        a_ = std::move(o.a_);
    }
    return *this;
}

void variant::clear() {
    if (iunknown_i* p = std::exchange(unk_, nullptr)) p->release();
    disp_ = nullptr;
    vt_ = vt_empty;
    i_ = 0;
    r_ = 0;
    s_.clear();
    a_.reset();
}

variant variant::null() {
    variant v;
    v.vt_ = vt_null;
    return v;
}

variant variant::from_int(uint16_t vt, int64_t x) {
    variant v;
    v.vt_ = vt;
    switch (vt) {
    case vt_i1:
        x = static_cast<int8_t>(x);
        break;
    case vt_ui1:
        x = static_cast<uint8_t>(x);
        break;
    case vt_i2:
        x = static_cast<int16_t>(x);
        break;
    case vt_ui2:
        x = static_cast<uint16_t>(x);
        break;
    case vt_i4:
    case vt_int:
    case vt_error:
        x = static_cast<int32_t>(x);
        break;
    case vt_ui4:
    case vt_uint:
        x = static_cast<uint32_t>(x);
        break;
    default:
        break;
    }
    v.i_ = x;
    return v;
}

variant variant::from_i4(int32_t x) {
    return from_int(vt_i4, x);
}
variant variant::from_i8(int64_t x) {
    return from_int(vt_i8, x);
}
variant variant::from_error(hresult x) {
    return from_int(vt_error, x);
}

variant variant::from_r8(double x) {
    variant v;
    v.vt_ = vt_r8;
    v.r_ = x;
    return v;
}

variant variant::from_r4(float x) {
    variant v;
    v.vt_ = vt_r4;
    v.r_ = x;
    return v;
}

variant variant::from_bool(bool x) {
    variant v;
    v.vt_ = vt_bool;
    v.i_ = x ? variant_true : variant_false;
    return v;
}

variant variant::from_bstr(std::wstring x) {
    variant v;
    v.vt_ = vt_bstr;
    v.s_ = std::move(x);
    return v;
}

variant variant::from_dispatch(idispatch_i* p) {
    variant v;
    v.vt_ = vt_dispatch;
    v.disp_ = p;
    v.unk_ = p;
    if (p) p->add_ref();
    return v;
}

variant variant::from_unknown(iunknown_i* p) {
    variant v;
    v.vt_ = vt_unknown;
    v.unk_ = p;
    if (p) p->add_ref();
    return v;
}

variant variant::from_bytes(std::vector<uint8_t> bytes) {
    auto a = std::make_shared<safearray>();
    a->data = std::move(bytes);
    return from_array(std::move(a));
}

variant variant::from_array(std::shared_ptr<safearray> a) {
    variant v;
    v.vt_ = vt_array | vt_ui1;
    v.a_ = std::move(a);
    return v;
}

bool equal_names(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z') x += 32;
        if (y >= L'A' && y <= L'Z') y += 32;
        if (x != y) return false;
    }
    return true;
}

std::wstring fold_name(std::wstring_view s) {
    std::wstring r(s);
    for (auto& c : r)
        if (c >= L'A' && c <= L'Z') c += 32;
    return r;
}

namespace {

bool is_integer_vt(uint16_t vt) {
    switch (vt) {
    case vt_i1:
    case vt_ui1:
    case vt_i2:
    case vt_ui2:
    case vt_i4:
    case vt_ui4:
    case vt_i8:
    case vt_ui8:
    case vt_int:
    case vt_uint:
        return true;
    default:
        return false;
    }
}

bool int_range(uint16_t vt, long double& lo, long double& hi) {
    switch (vt) {
    case vt_i1:
        lo = -128, hi = 127;
        return true;
    case vt_ui1:
        lo = 0, hi = 255;
        return true;
    case vt_i2:
        lo = -32768, hi = 32767;
        return true;
    case vt_ui2:
        lo = 0, hi = 65535;
        return true;
    case vt_i4:
    case vt_int:
        lo = -2147483648.0L, hi = 2147483647.0L;
        return true;
    case vt_ui4:
    case vt_uint:
        lo = 0, hi = 4294967295.0L;
        return true;
    case vt_i8:
        lo = -9223372036854775808.0L, hi = 9223372036854775807.0L;
        return true;
    case vt_ui8:
        lo = 0, hi = 18446744073709551615.0L;
        return true;
    default:
        return false;
    }
}

// The numeric value of a scalar variant; false for types without one.
bool numeric_of(const variant& v, long double& out, bool& integral) {
    integral = true;
    if (is_integer_vt(v.vt())) {
        out = v.vt() == vt_ui8 ? static_cast<long double>(static_cast<uint64_t>(v.int_value()))
                               : static_cast<long double>(v.int_value());
        return true;
    }
    switch (v.vt()) {
    case vt_empty:
        out = 0;
        return true;
    case vt_bool:
        out = v.boolean() ? -1 : 0;
        return true;
    case vt_r4:
    case vt_r8:
        integral = false;
        out = v.r8();
        return true;
    default:
        return false;
    }
}

// Text to number: blanks around are allowed, the rest must be one number.
bool parse_number(const std::wstring& s, long double& out) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == L' ' || s[b] == L'\t'))
        ++b;
    while (e > b && (s[e - 1] == L' ' || s[e - 1] == L'\t'))
        --e;
    if (b == e) return false;
    std::wstring t = s.substr(b, e - b);
    for (wchar_t c : t)
        if (!((c >= L'0' && c <= L'9') || c == L'.' || c == L'-' || c == L'+' || c == L'e' ||
              c == L'E'))
            return false;
    wchar_t* end = nullptr;
    errno = 0;
    const long double v = std::wcstold(t.c_str(), &end);
    if (end != t.c_str() + t.size() || errno == ERANGE || !std::isfinite(v)) return false;
    out = v;
    return true;
}

std::wstring number_text(long double v, bool integral, uint16_t from_vt) {
    wchar_t buf[64];
    if (integral) {
        if (from_vt == vt_ui8)
            std::swprintf(buf, 64, L"%llu", static_cast<unsigned long long>(v));
        else
            std::swprintf(buf, 64, L"%lld", static_cast<long long>(v));
    } else if (from_vt == vt_r4) {
        std::swprintf(buf, 64, L"%.7G", static_cast<double>(v));
    } else {
        std::swprintf(buf, 64, L"%.15G", static_cast<double>(v));
    }
    return buf;
}

hresult to_integer(variant& out, long double v, bool integral, uint16_t vt) {
    if (!integral) v = std::nearbyint(v); // rounds half to even, as automation does
    long double lo, hi;
    int_range(vt, lo, hi);
    if (v < lo || v > hi) return disp_e_overflow;
    if (vt == vt_ui8)
        out = variant::from_int(vt, static_cast<int64_t>(static_cast<uint64_t>(v)));
    else
        out = variant::from_int(vt, static_cast<int64_t>(v));
    return s_ok;
}

} // namespace

hresult change_type(variant& out, const variant& in, uint16_t vt) {
    if (&out == &in) {
        variant copy(in);
        return change_type(out, copy, vt);
    }
    const uint16_t from = in.vt();
    if (from == vt) {
        out = in;
        return s_ok;
    }
    if (from == vt_dispatch || from == vt_unknown) {
        if (vt == vt_unknown) {
            out = variant::from_unknown(in.unknown());
            return s_ok;
        }
        if (!in.unknown()) return disp_e_typemismatch;
        if (vt == vt_dispatch) {
            void* p = nullptr;
            const hresult hr = in.unknown()->query_interface(iid_idispatch, &p);
            if (failed(hr)) return disp_e_typemismatch;
            out = variant::from_dispatch(static_cast<idispatch_i*>(p));
            static_cast<idispatch_i*>(p)->release();
            return s_ok;
        }
        // Any other type goes through the object's value.
        variant d;
        if (from == vt_dispatch)
            d = in;
        else if (failed(change_type(d, in, vt_dispatch)))
            return disp_e_typemismatch;
        dispparams none;
        variant value;
        const hresult hr =
            d.dispatch()->invoke(dispid_value, iid_null, lcid_user_default, dispatch_propertyget,
                                 none, &value, nullptr, nullptr);
        if (failed(hr)) return hr;
        if (value.vt() == vt_dispatch || value.vt() == vt_unknown) return disp_e_typemismatch;
        return change_type(out, value, vt);
    }
    if (vt == vt_empty) {
        out.clear();
        return s_ok;
    }
    if (from == vt_null) {
        if (vt == vt_null) {
            out = variant::null();
            return s_ok;
        }
        return disp_e_typemismatch;
    }
    if (vt == vt_null)
        return from == vt_empty ? (out = variant::null(), s_ok) : disp_e_typemismatch;
    if ((from & vt_array) || (vt & vt_array)) return disp_e_typemismatch;
    if (vt == vt_dispatch || vt == vt_unknown) {
        if (from == vt_empty) {
            out = vt == vt_dispatch ? variant::from_dispatch(nullptr)
                                    : variant::from_unknown(nullptr);
            return s_ok;
        }
        return disp_e_typemismatch;
    }

    long double num = 0;
    bool integral = true;
    bool have_num = numeric_of(in, num, integral);
    if (from == vt_bstr) {
        if (vt == vt_bool) {
            if (equal_names(in.bstr(), L"true") || equal_names(in.bstr(), L"#true#")) {
                out = variant::from_bool(true);
                return s_ok;
            }
            if (equal_names(in.bstr(), L"false") || equal_names(in.bstr(), L"#false#")) {
                out = variant::from_bool(false);
                return s_ok;
            }
        }
        if (!parse_number(in.bstr(), num)) return disp_e_typemismatch;
        have_num = true;
        integral = std::floor(num) == num;
    }
    if (!have_num) return disp_e_badvartype; // vt_error and the like

    if (vt == vt_bstr) {
        if (from == vt_empty) {
            out = variant::from_bstr(L"");
            return s_ok;
        }
        out = variant::from_bstr(number_text(num, integral, from));
        return s_ok;
    }
    if (vt == vt_bool) {
        out = variant::from_bool(num != 0);
        return s_ok;
    }
    if (vt == vt_r8) {
        out = variant::from_r8(static_cast<double>(num));
        return s_ok;
    }
    if (vt == vt_r4) {
        if (std::fabs(num) > std::numeric_limits<float>::max()) return disp_e_overflow;
        out = variant::from_r4(static_cast<float>(num));
        return s_ok;
    }
    if (vt == vt_error) return disp_e_typemismatch;
    if (is_integer_vt(vt)) return to_integer(out, num, integral, vt);
    return disp_e_badvartype;
}

} // namespace automation
