// The root of the component object model this program uses for scripts and
// configuration commands: interface identifiers, result codes and the
// IUnknown contract (add a reference, release, ask for another interface).
#pragma once
#include <compare>
#include <cstdint>
#include <cstring>

namespace automation {

using hresult = int32_t;
constexpr hresult s_ok = 0;
constexpr hresult s_false = 1;
constexpr hresult e_notimpl = static_cast<hresult>(0x80004001);
constexpr hresult e_nointerface = static_cast<hresult>(0x80004002);
constexpr hresult e_pointer = static_cast<hresult>(0x80004003);
constexpr hresult e_abort = static_cast<hresult>(0x80004004);
constexpr hresult e_fail = static_cast<hresult>(0x80004005);
constexpr hresult e_unexpected = static_cast<hresult>(0x8000FFFF);
constexpr hresult e_outofmemory = static_cast<hresult>(0x8007000E);
constexpr hresult e_invalidarg = static_cast<hresult>(0x80070057);
constexpr hresult disp_e_unknowninterface = static_cast<hresult>(0x80020001);
constexpr hresult disp_e_membernotfound = static_cast<hresult>(0x80020003);
constexpr hresult disp_e_paramnotfound = static_cast<hresult>(0x80020004);
constexpr hresult disp_e_typemismatch = static_cast<hresult>(0x80020005);
constexpr hresult disp_e_unknownname = static_cast<hresult>(0x80020006);
constexpr hresult disp_e_badvartype = static_cast<hresult>(0x80020008);
constexpr hresult disp_e_exception = static_cast<hresult>(0x80020009);
constexpr hresult disp_e_overflow = static_cast<hresult>(0x8002000A);
constexpr hresult disp_e_badparamcount = static_cast<hresult>(0x8002000E);
constexpr hresult type_e_elementnotfound = static_cast<hresult>(0x8002802B);
constexpr hresult class_e_noaggregation = static_cast<hresult>(0x80040110);
constexpr hresult regdb_e_classnotreg = static_cast<hresult>(0x80040154);
constexpr hresult co_e_classstring = static_cast<hresult>(0x800401F3);

constexpr bool succeeded(hresult hr) {
    return hr >= 0;
}
constexpr bool failed(hresult hr) {
    return hr < 0;
}

struct guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
    friend bool operator==(const guid& a, const guid& b) {
        return std::memcmp(&a, &b, sizeof(guid)) == 0;
    }
};

inline constexpr guid iid_null{};
inline constexpr guid iid_iunknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr guid iid_idispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr guid iid_idispatch_ex{
    0xA6EF9860, 0xC720, 0x11D0, {0x93, 0x37, 0x00, 0xA0, 0xC9, 0x0D, 0xCA, 0xA9}};
inline constexpr guid iid_iclassfactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr guid iid_isequentialstream{
    0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr guid iid_istream{0x0000000C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr guid iid_iconnection_point_container{
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr guid iid_iconnection_point{
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

struct iunknown_i {
    virtual hresult query_interface(const guid& iid, void** out) = 0;
    virtual uint32_t add_ref() = 0;
    virtual uint32_t release() = 0;

  protected:
    ~iunknown_i() = default;
};

} // namespace automation
