#include "server/config/read_server_dirs.h"

#include "config_test_support.h"
#include "server/config/config_cache.h"

#include <gtest/gtest.h>

using namespace server_config;

namespace {

class server_settings_test : public config_test::tree_fixture {
  protected:
    void with_ini(const std::string& text) {
        write_file(data_path() / "global.ini", text);
        ASSERT_TRUE(ini_.set_path(w(data_path() / "global.ini"), true));
    }
    std::wstring data() const { return w(data_path()); }
};

} // namespace

TEST_F(server_settings_test, defaults) {
    with_ini("[param]\n");
    read_server_dirs(ini_);
    EXPECT_EQ(public_dir(), data() + L"/pub/");
    EXPECT_EQ(media_dir(), data() + L"/pub/media/");
    EXPECT_EQ(private_dir(), data() + L"/private/");
    EXPECT_EQ(public_dir_utf8(), data_path().string() + "/pub/");
    EXPECT_EQ(caldav_prefix(), L"caldav_");
    EXPECT_EQ(carddav_prefix(), L"carddav_");
    EXPECT_EQ(server_software().rfind("teskqvel/", 0), 0u);
    EXPECT_NE(sink_.text().find("public dir: " + data_path().string() + "/pub/\n"),
              std::string::npos);
    EXPECT_NE(sink_.text().find("media dir: "), std::string::npos);
    EXPECT_NE(sink_.text().find("private dir: "), std::string::npos);
    server_config::clear_config_info_cache();
}

TEST_F(server_settings_test, values) {
    with_ini("[Param]\npublic_dir =   /srv/www  \nmedia_dir=/srv/media\nprivate_dir=priv\n"
             "caldav_prefix= cal \ncarddav_prefix=\n");
    read_server_dirs(ini_);
    EXPECT_EQ(public_dir(), L"/srv/www/");
    EXPECT_EQ(media_dir(), L"/srv/media/");
    EXPECT_EQ(private_dir(), data() + L"/priv/");
    EXPECT_EQ(caldav_prefix(), L"cal");
    EXPECT_EQ(carddav_prefix(), L""); // switches the address-book store off
}

TEST_F(server_settings_test, blanks_empty_and_steps) {
    with_ini("[param]\npublic_dir=   \nmedia_dir=\nprivate_dir=/srv/a/../p/./q\n");
    read_server_dirs(ini_);
    EXPECT_EQ(public_dir(), data() + L"/pub/");
    EXPECT_EQ(media_dir(), L"");
    EXPECT_EQ(private_dir(), L"/srv/p/q/");
}

TEST_F(server_settings_test, media_relative_to_public_and_block_list_loaded) {
    write_file(data_path() / "blocklist.txt", data_path().string() + "/pub/secret\n");
    with_ini("[param]\npublic_dir=site\nmedia_dir=m\n");
    read_server_dirs(ini_);
    EXPECT_EQ(public_dir(), data() + L"/site/");
    EXPECT_EQ(media_dir(), data() + L"/site/m/");
    EXPECT_TRUE(is_blocked(data() + L"/pub/secret"));
}
