#include "core/hrtime.h"
#include "shell/daemon_wnd.h"
#include "system/system_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(DaemonCommands, UrlsAreOpenedWithAnArgumentListNeverAShell) {
    const char* base = std::getenv("TQ_TEST_TMP");
    const fs::path dir = fs::path(base ? base : "/tmp") / ("open_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path opener = dir / "opener";
    const fs::path out = dir / "args";
    std::ofstream(opener) << "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > '"
                          << (dir / "args.tmp").string() << "'\nmv '" << (dir / "args.tmp").string()
                          << "' '" << out.string() << "'\n";
    fs::permissions(opener, fs::perms::owner_all);
    const std::string saved = sys::url_opener();
    sys::url_opener() = opener.string();

    auto opened = [&](const std::wstring& url) {
        fs::remove(out);
        open_url(url);
        for (int i = 0; i < 200 && !fs::exists(out); ++i)
            cl::sleep_ms(25);
        std::ifstream in(out);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    // Nothing in the URL reaches a shell: it is one argument, as written.
    EXPECT_EQ(opened(L"http://x/a b;touch '" + dir.wstring() + L"/pwned'$(id)"),
              "[http://x/a b;touch '" + dir.string() + "/pwned'$(id)]\n");
    EXPECT_FALSE(fs::exists(dir / "pwned"));
    // A URL that the opener would take for an option never reaches it.
    EXPECT_EQ(opened(L"--help"), "");
    // The local server's root for an empty path; the default port is 80.
    fs::remove(out);
    open_server_url(L"");
    for (int i = 0; i < 200 && !fs::exists(out); ++i)
        cl::sleep_ms(25);
    std::ifstream in(out);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "[http://127.0.0.1:80/]");
    sys::url_opener() = saved;
    fs::remove_all(dir);
}
