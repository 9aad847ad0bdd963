// The application's global state. The constant texts and the objects are
// built before main runs and live until the process ends; the rest is set
// during start-up on the main thread, before any server thread starts, and
// only read afterwards.
#pragma once
#include "core/ini_file.h"

#include <cstdint>
#include <string>

extern const std::wstring g_program_name;  // registry subkey, service and folder name
extern const std::wstring g_product_name;  // placeholder "p" of the string table
extern const std::wstring g_window_title;  // captions, tray tip
extern const std::wstring g_version_title; // the about item

extern std::wstring g_install_dir;     // ends in "/"
extern std::wstring g_data_dir;        // program-data directory, ends in "/"
extern std::wstring g_global_ini_path; // g_data_dir + "global.ini"
extern cl::cached_ini g_global_ini;

extern uint32_t g_fulllangid;
extern bool g_service_mode;
extern bool g_enable_script_debugging;
extern bool g_dump_request_body;
// The single-instance lock: the descriptor of the locked file, -1 when not held.
extern int g_single_instance_mutex;
extern std::string g_master_pwd; // key of the stored-password encryption
extern int32_t g_func_trace;     // trace level: higher writes more
extern bool g_enable_port_forwarding;
extern bool g_enable_media_server;
extern bool g_restart; // start the program again after the main loop
