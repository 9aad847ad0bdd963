// The configuration command object "teskqvel.config": a class with one
// member, cmd, that runs a command line and returns its result. While the
// server runs it is registered in the process's class registry and in the
// registry store, and the command socket takes lines from other local
// programs; server stop takes all three away again.
#pragma once
#include "core/ini_file.h"
#include "platform/automation/com_objects.h"

#include <string>

namespace scripting {

// {9D2946F5-C0A6-4E85-914A-521043E7BD80}: the class id and the interface id.
inline constexpr automation::guid clsid_server_cmd{
    0x9D2946F5, 0xC0A6, 0x4E85, {0x91, 0x4A, 0x52, 0x10, 0x43, 0xE7, 0xBD, 0x80}};
inline constexpr wchar_t server_cmd_prog_id[] = L"teskqvel.config";

// The member table of the object's interface, in the program's type library.
const automation::type_info& iserver_cmd_type_info();

class server_cmd : public automation::idispatch<automation::idispatch_i> {
  public:
    server_cmd();
    // The member: a command line from a caller in this process, who runs
    // as the server's own account.
    automation::hresult cmd(const std::wstring& line, std::wstring* result);
};

struct config_command_options {
    cl::ini_file* ini = nullptr;
    std::wstring data_dir;    // the program-data directory, ending in "/"
    std::wstring module_path; // the program file the class is registered with
};

// on: the class object, its registry keys, the command socket and the expiry
// of dynamic-address names; off: the reverse. Failures are traced; the
// server runs on without the door that failed.
void register_config_command_object(bool on, const config_command_options& options);

} // namespace scripting
