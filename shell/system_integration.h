// The shell's calls into the system integration services: the crash handler
// first in start-up, the firewall rule store for the server's ports, and the
// port mappings on the internet gateway after the server has started.
#pragma once

// First thing in start-up, while the process has one thread.
void install_crash_handler_first();
// Once the string table is loaded: the crash message in the user's language.
void set_crash_texts_from_language();
// After the switches, before the server starts: the crash handler learns the
// mode, the server gets the firewall rule store.
void prepare_system_integration();
// Desktop mode, after the server started, when "enable_port_forwarding" is on.
void start_port_forwarding();
// At shut-down, before the server stops.
void stop_port_forwarding();
