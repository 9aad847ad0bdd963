#include "tests/fuzz/fuzz_support.h"

#include <filesystem>
#include <fstream>

namespace fuzz {

namespace {

struct scratch {
    std::string path;
    scratch() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tq-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        path = pattern + "/";
    }
    ~scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

} // namespace

const std::string& scratch_folder() {
    static scratch s;
    return s.path;
}

bool write_file(const std::string& path, std::string_view bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

} // namespace fuzz
