// A media folder inside a document root in a fresh temporary folder, and an
// access rule like the web server's: MIME types by extension, and a folder
// named "private" refused.
#pragma once
#include "core/text.h"
#include "media/media_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <unistd.h>

namespace media_test {

namespace fs = std::filesystem;

class extension_access : public media::media_access {
  public:
    bool allowed(const std::wstring& url_path, bool is_directory, std::string* mime) override {
        if (url_path.find(L"/private/") != std::wstring::npos) return false;
        if (is_directory) return true;
        const std::string p = cl::utf16_to_utf8(url_path);
        const std::string ext = p.substr(p.rfind('.') + 1);
        if (ext == "mp3")
            *mime = "audio/mpeg";
        else if (ext == "jpg")
            *mime = "image/jpeg";
        else if (ext == "mkv")
            *mime = "video/x-matroska";
        else if (ext == "xyz")
            *mime = "video/x-unknown";
        else
            *mime = "text/plain";
        return true;
    }
};

class media_tree : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        base_ = fs::temp_directory_path() / ("tq_media_" + std::to_string(::getpid()) + "_" +
                                             info->test_suite_name() + "_" + info->name());
        fs::remove_all(base_);
        fs::create_directories(base_ / "pub" / "media");
        store_.set_folders((base_ / "pub" / "media").wstring() + L"/",
                           (base_ / "pub").wstring() + L"/");
        store_.set_access(&access_);
    }
    void TearDown() override {
        store_.stop();
        fs::remove_all(base_);
    }
    // A file below the media folder (folders made as needed).
    void put(const std::string& rel, const std::string& content = "") {
        const fs::path p = base_ / "pub" / "media" / fs::u8path(rel);
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
    }
    fs::path media(const std::string& rel = "") const {
        return base_ / "pub" / "media" / fs::u8path(rel);
    }
    // Waits (bounded) until the condition holds.
    static bool eventually(const std::function<bool()>& f) {
        for (int i = 0; i < 1000; ++i) {
            if (f()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return f();
    }

    fs::path base_;
    extension_access access_;
    media::media_store store_;
};

} // namespace media_test
