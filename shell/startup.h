// The steps of start-up and shut-down that main runs in order.
#pragma once
#include <string>

// The install directory (the registry's "install_dir" when set, else the
// folder of the executable) and the program-data directory, created when
// missing.
void find_directories();
// Points g_global_ini at g_data_dir + "global.ini" and loads it.
void open_global_ini();
// Sets up the trace file from "global.ini" and traces the two directories.
void init_trace();
// The single-instance test: true when another copy holds the guard (after
// "already loaded" was traced); false when this copy now holds it.
bool is_already_loaded();
// The key for stored passwords, from "master_pwd.ini" in the data directory,
// else from the registry copy, else a new one; kept in both places.
std::string init_master_pwd(const std::wstring& data_dir);
// The settings of the global flags from g_global_ini.
void read_global_settings();
// Traces that the server is ready, flushes the main channel and sets the
// start event of the data directory when someone waits for it there.
void signal_server_ready();
// Where the start event of a data directory lives: a datagram socket that
// the waiter binds.
std::string start_event_path(const std::wstring& data_dir);
// The shut-down sequence; runs once per process, later calls do nothing.
void close_server();
