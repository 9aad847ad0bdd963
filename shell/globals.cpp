#include "shell/globals.h"

const std::wstring g_program_name = L"teskqvel";
const std::wstring g_product_name = L"Tesk qvel";
const std::wstring g_window_title = L"Tesk Qvelora v3.07";
const std::wstring g_version_title = L"Tesk Qvelora v3.07.2407";

std::wstring g_install_dir;
std::wstring g_data_dir;
std::wstring g_global_ini_path;
cl::cached_ini g_global_ini;

uint32_t g_fulllangid = 0;
bool g_service_mode = false;
bool g_enable_script_debugging = false;
bool g_dump_request_body = false;
int g_single_instance_mutex = -1;
std::string g_master_pwd;
int32_t g_func_trace = 1;
bool g_enable_port_forwarding = false;
bool g_enable_media_server = false;
bool g_restart = false;
