// The registry of creatable classes: class factories by class id, class ids
// by ProgID (compared without regard to case), and object creation.
#pragma once
#include "platform/automation/unknown.h"

#include <string>

namespace automation {

struct iclassfactory_i : iunknown_i {
    virtual hresult create_instance(iunknown_i* outer, const guid& iid, void** out) = 0;
    virtual hresult lock_server(bool lock) = 0;

  protected:
    ~iclassfactory_i() = default;
};

constexpr uint32_t clsctx_inproc_server = 0x1;
constexpr uint32_t clsctx_local_server = 0x4;

// CoRegisterClassObject: the factory is held with a reference until revoked;
// cookie receives a non-zero registration number. A ProgID, when not empty,
// maps to the class id. Registering a class id again replaces its factory.
hresult register_class_object(const guid& clsid, const std::wstring& prog_id,
                              iclassfactory_i* factory, uint32_t* cookie);
// CoRevokeClassObject: E_INVALIDARG for an unknown cookie.
hresult revoke_class_object(uint32_t cookie);
// CLSIDFromProgID: CO_E_CLASSSTRING for a name that is not registered. A name
// in braces is read as the class id itself.
hresult clsid_from_prog_id(const std::wstring& prog_id, guid* out);
// CoCreateInstance: REGDB_E_CLASSNOTREG when no factory is registered.
hresult co_create_instance(const guid& clsid, iunknown_i* outer, uint32_t context, const guid& iid,
                           void** out);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and back (false for a malformed text).
std::wstring guid_to_string(const guid& g);
bool guid_from_string(std::wstring_view s, guid* out);

} // namespace automation
