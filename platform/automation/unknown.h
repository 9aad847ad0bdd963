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
constexpr hresult e_fail = static_cast<hresult>(0x80004005);
constexpr hresult e_outofmemory = static_cast<hresult>(0x8007000E);
constexpr hresult e_invalidarg = static_cast<hresult>(0x80070057);

constexpr bool succeeded(hresult hr) { return hr >= 0; }
constexpr bool failed(hresult hr) { return hr < 0; }

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

struct iunknown_i {
    virtual hresult query_interface(const guid& iid, void** out) = 0;
    virtual uint32_t add_ref() = 0;
    virtual uint32_t release() = 0;

  protected:
    ~iunknown_i() = default;
};

// The dispatch interface's calls arrive with the automation layer; objects that
// offer it derive from this marker so that a query for it can be answered.
struct idispatch_i : iunknown_i {
  protected:
    ~idispatch_i() = default;
};

} // namespace automation
