// The automation value: a tagged union of the types scripts exchange with
// native objects, and the coercions between them. Text is wide (a BSTR here
// is a std::wstring); byte arrays are one-dimensional SAFEARRAYs of bytes.
#pragma once
#include "platform/automation/unknown.h"

#include <memory>
#include <string>
#include <vector>

namespace automation {

struct idispatch_i;

enum vartype : uint16_t {
    vt_empty = 0,
    vt_null = 1,
    vt_i2 = 2,
    vt_i4 = 3,
    vt_r4 = 4,
    vt_r8 = 5,
    vt_bstr = 8,
    vt_dispatch = 9,
    vt_error = 10,
    vt_bool = 11,
    vt_unknown = 13,
    vt_i1 = 16,
    vt_ui1 = 17,
    vt_ui2 = 18,
    vt_ui4 = 19,
    vt_i8 = 20,
    vt_ui8 = 21,
    vt_int = 22,
    vt_uint = 23,
    vt_array = 0x2000,
};

using variant_bool = int16_t;
constexpr variant_bool variant_true = -1;
constexpr variant_bool variant_false = 0;

using bstr = std::wstring;

// A SAFEARRAY of bytes. Other element types and more dimensions do not occur
// in this program; the fields are there so that callers can refuse them.
struct safearray {
    uint16_t element_vt = vt_ui1;
    uint16_t dims = 1;
    int32_t lower_bound = 0;
    std::vector<uint8_t> data;
};

class variant {
  public:
    variant() = default;
    variant(const variant& o);
    variant(variant&& o) noexcept;
    variant& operator=(const variant& o);
    variant& operator=(variant&& o) noexcept;
    ~variant() { clear(); }

    static variant null();
    static variant from_i4(int32_t v);
    static variant from_i8(int64_t v);
    static variant from_r8(double v);
    static variant from_r4(float v);
    static variant from_bool(bool v);
    static variant from_bstr(std::wstring v);
    static variant from_error(hresult v);
    // Both take a new reference on p (null gives a null interface).
    static variant from_dispatch(idispatch_i* p);
    static variant from_unknown(iunknown_i* p);
    static variant from_bytes(std::vector<uint8_t> bytes);
    static variant from_array(std::shared_ptr<safearray> a);
    // An integer of any of the integer types (the bits kept as the type allows).
    static variant from_int(uint16_t vt, int64_t v);

    uint16_t vt() const { return vt_; }
    bool is_empty() const { return vt_ == vt_empty; }
    int64_t int_value() const { return i_; }
    int32_t i4() const { return static_cast<int32_t>(i_); }
    double r8() const { return r_; }
    variant_bool boolean() const { return static_cast<variant_bool>(i_); }
    const std::wstring& bstr() const { return s_; }
    idispatch_i* dispatch() const { return vt_ == vt_dispatch ? disp_ : nullptr; }
    iunknown_i* unknown() const { return unk_; }
    const std::shared_ptr<safearray>& array() const { return a_; }

    void clear();

  private:
    uint16_t vt_ = vt_empty;
    int64_t i_ = 0;
    double r_ = 0;
    std::wstring s_;
    iunknown_i* unk_ = nullptr;   // the reference held, for both interface types
    idispatch_i* disp_ = nullptr; // the same object seen as a dispatch interface
    std::shared_ptr<safearray> a_;
};

// VariantChangeType with flags 0: out receives in converted to vt.
// DISP_E_TYPEMISMATCH when the value has no form of that type, DISP_E_OVERFLOW
// when it does not fit, DISP_E_BADVARTYPE for a target type not supported.
// A dispatch object converts through its value member (dispid 0).
hresult change_type(variant& out, const variant& in, uint16_t vt);

// Case-insensitive comparison of member names and ProgIDs (ASCII letters fold).
bool equal_names(std::wstring_view a, std::wstring_view b);
std::wstring fold_name(std::wstring_view s);

} // namespace automation
