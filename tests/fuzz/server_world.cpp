#include "tests/fuzz/server_world.h"

#include "core/ini_file.h"
#include "core/text.h"
#include "scripting/script_files.h"
#include "scripting/scripting_host.h"
#include "server/blocklist.h"
#include "server/directives/directives.h"
#include "server/script_file.h"
#include "server/script_host.h"
#include "server/server_dirs.h"
#include "tests/fuzz/fuzz_support.h"

#include <filesystem>

namespace fuzz {

const server_world& set_up_server() {
    static const server_world w = [] {
        server_world w;
        w.data = scratch_folder() + "data/";
        w.pub = w.data + "pub/";
        std::filesystem::create_directories(w.pub);
        std::filesystem::create_directories(w.data + "private");
        // The global directive file and the types, as a site starts with.
        write_file(w.data + ".htaccess", default_directives);
        write_file(w.data + "mime.types", default_mime_types);
        set_data_dir(cl::utf8_to_utf16(w.data));
        set_public_dir(cl::utf8_to_utf16(w.pub));
        set_private_dir(cl::utf8_to_utf16(w.data + "private/"));
        set_trace_level(0);
        clear_blocklist();
        build_directive_table();
        static cl::ini_file ini;
        static scripting::scripting_host host(ini);
        set_script_host(&host);
        static scripting::script_files files(ini);
        set_script_file_factory(&files);
        return w;
    }();
    return w;
}

} // namespace fuzz
