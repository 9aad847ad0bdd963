// Registration of the program's own COM classes in the registry store
// (HKEY_CLASSES_ROOT), the program's type library, and read access for the
// built-in Users group on a key.
#pragma once
#include "platform/automation/type_info.h"
#include "platform/automation/unknown.h"
#include "platform/registry/registry.h"

#include <string>

// Writes the ProgID, ProgID.1 and CLSID\{clsid} keys of a class: an
// executable module gets LocalServer32 and the "ole32.dll" InprocHandler, a
// module ending in ".dll" InProcServer32 with "ThreadingModel" "Both". The
// ProgID keys are written only when prog_id is not empty.
void com_register_server(const std::wstring& module_path, const automation::guid& clsid,
                         const std::wstring& prog_id, const std::wstring& description);

// Deletes what com_register_server wrote. The container keys "CLSID" and the
// classes root itself go too when nothing else is left in them, so a
// registration followed by its removal leaves the store as it found it.
void com_unregister_server(const automation::guid& clsid, const std::wstring& prog_id);

// Gives the built-in group Users (S-1-5-32-545) read access on the key. The
// store keeps no access lists per key: every key of a root file is readable
// by whoever may read the file, so this only checks that the key exists.
bool grant_users_read_on_key(registry::hkey root, const std::wstring& key_path);

// The program's type library; every call hands out the same one.
const automation::type_library* load_module_typelib();
