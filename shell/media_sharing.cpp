#include "shell/media_sharing.h"

#include "media/media_server.h"
#include "server/server_dirs.h"
#include "server/server_settings.h"
#include "shell/globals.h"

void start_media_sharing() {
    media::media_server_config c;
    c.enabled = g_enable_media_server;
    c.media_dir = media_dir();
    c.public_dir = public_dir();
    c.install_dir = g_install_dir;
    c.http_port = server_settings().server_port;
    c.trace_level = g_func_trace;
    c.ini = &g_global_ini;
    media::start_media_server(c);
}

void stop_media_sharing() {
    media::stop_media_server();
}
