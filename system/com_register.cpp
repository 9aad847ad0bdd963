#include "system/com_register.h"

#include "core/reg_key.h"
#include "core/text.h"
#include "platform/automation/class_registry.h"

namespace {

using registry::hkey_classes_root;

void write(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    cl::reg_write_string(hkey_classes_root, key, name, value);
}

void remove(const std::wstring& key) {
    cl::reg_delete_key_wstring(hkey_classes_root, key);
}

// Deletes a key only when it holds neither subkeys nor values.
void remove_if_empty(registry::hkey root, const std::wstring& key) {
    cl::reg_key k;
    if (!k.open(root, key, registry::key_read)) return;
    registry::key_info info;
    if (registry::reg_query_info_key(k.handle(), &info) != 0) return;
    k.close();
    if (info.subkeys == 0 && info.values == 0) cl::reg_delete_key(root, key);
}

bool ends_with_dll(const std::wstring& path) {
    const std::size_t dot = path.rfind(L'.');
    const std::size_t slash = path.rfind(L'/');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return false;
    return cl::iequals_w(std::wstring_view(path).substr(dot + 1), L"dll");
}

} // namespace

void com_register_server(const std::wstring& module_path, const automation::guid& clsid,
                         const std::wstring& prog_id, const std::wstring& description) {
    const std::wstring id = automation::guid_to_string(clsid);
    const std::wstring clsid_key = L"CLSID\\" + id;
    if (!prog_id.empty()) {
        write(prog_id, L"", prog_id);
        grant_users_read_on_key(hkey_classes_root, prog_id);
        write(prog_id + L"\\CurVer", L"", prog_id + L".1");
        write(prog_id + L"\\CLSID", L"", id);
        write(prog_id + L".1", L"", prog_id);
        grant_users_read_on_key(hkey_classes_root, prog_id + L".1");
        write(prog_id + L".1\\CLSID", L"", id);
    }
    write(clsid_key, L"", description);
    grant_users_read_on_key(hkey_classes_root, clsid_key);
    if (ends_with_dll(module_path)) {
        write(clsid_key + L"\\InProcServer32", L"", module_path);
        write(clsid_key + L"\\InProcServer32", L"ThreadingModel", L"Both");
        remove(clsid_key + L"\\LocalServer32");
    } else {
        write(clsid_key + L"\\LocalServer32", L"", module_path);
        remove(clsid_key + L"\\InprocServer32");
        write(clsid_key + L"\\InprocHandler", L"", L"ole32.dll");
    }
    remove(clsid_key + L"\\InprocServer");
    if (!prog_id.empty()) {
        write(clsid_key + L"\\ProgID", L"", prog_id);
        write(clsid_key + L"\\VersionIndependantProgID", L"", prog_id);
        write(clsid_key + L"\\Programmable", L"", L"");
    }
}

void com_unregister_server(const automation::guid& clsid, const std::wstring& prog_id) {
    const std::wstring clsid_key = L"CLSID\\" + automation::guid_to_string(clsid);
    for (const wchar_t* sub :
         {L"LocalServer32", L"InprocServer32", L"InprocServer", L"InprocHandler", L"ProgID",
          L"VersionIndependantProgID", L"Programmable", L"TypeLib"})
        remove(clsid_key + L"\\" + sub);
    remove(clsid_key);
    if (!prog_id.empty()) {
        remove(prog_id + L".1\\CLSID");
        remove(prog_id + L".1");
        remove(prog_id + L"\\CurVer");
        remove(prog_id + L"\\CLSID");
        remove(prog_id);
    }
    // The classes root is "Software\Classes" of the machine root; on a store
    // that had no classes before, the containers would otherwise stay behind.
    remove_if_empty(hkey_classes_root, L"CLSID");
    remove_if_empty(registry::hkey_local_machine, L"Software\\Classes");
    remove_if_empty(registry::hkey_local_machine, L"Software");
}

bool grant_users_read_on_key(registry::hkey root, const std::wstring& key_path) {
    cl::reg_key key;
    return key.open(root, key_path, registry::key_all_access);
}

const automation::type_library* load_module_typelib() {
    return &automation::program_type_library();
}
