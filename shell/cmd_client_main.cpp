// teskqvel_cmd: sends one configuration command line to the running server
// of a program-data directory and prints the answer.
//
//   teskqvel_cmd [-data_dir DIR] command words...
//
// Without words the line is read from standard input. The directory is the
// one the server itself would use for this account unless -data_dir names
// another. Exit code 0 when the server answered, 2 when it could not be
// reached, 64 for a wrong call.
#include "core/folders.h"
#include "core/text.h"
#include "scripting/config_command_socket.h"

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    std::string data_dir;
    int i = 1;
    if (i < argc && std::string(argv[i]) == "-data_dir") {
        if (i + 1 >= argc) {
            std::fputs("usage: teskqvel_cmd [-data_dir DIR] command words...\n", stderr);
            return 64;
        }
        data_dir = argv[i + 1];
        if (!data_dir.empty() && data_dir.back() != '/') data_dir += '/';
        i += 2;
    }
    std::string line;
    for (; i < argc; ++i)
        line += (line.empty() ? "" : " ") + std::string(argv[i]);
    if (line.empty() && !std::getline(std::cin, line)) {
        std::fputs("usage: teskqvel_cmd [-data_dir DIR] command words...\n", stderr);
        return 64;
    }
    if (data_dir.empty()) data_dir = cl::utf16_to_utf8(cl::get_common_app_data_dir(L"teskqvel"));
    std::string result, error;
    if (!scripting::send_config_command(scripting::config_socket_path(cl::utf8_to_utf16(data_dir)),
                                        line, result, error)) {
        std::fprintf(stderr, "teskqvel_cmd: %s\n", error.c_str());
        return 2;
    }
    std::fwrite(result.data(), 1, result.size(), stdout);
    if (!result.empty() && result.back() != '\n') std::fputc('\n', stdout);
    return 0;
}
