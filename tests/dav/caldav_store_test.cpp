#include "dav/caldav_collections.h"
#include "dav/caldav_object_cache.h"
#include "dav/caldav_reports.h"
#include "server/access_decision.h"
#include "server/blocklist.h"
#include "server/config/config_cache.h"
#include "server/config_info.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include "../common/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class caldav_store : public tq_test::temp_dir_test {
  protected:
    void SetUp() override {
        temp_dir_test::SetUp();
        old_root_ = public_dir();
        set_public_dir(dir_.wstring() + L"/");
        clear_stored_objects();
    }
    void TearDown() override {
        set_public_dir(old_root_);
        set_caldav_prefix(L"caldav_");
        set_carddav_prefix(L"carddav_");
        clear_stored_objects();
        temp_dir_test::TearDown();
    }
    std::wstring root() const { return dir_.wstring() + L"/"; }
    std::wstring old_root_;
};

TEST_F(caldav_store, objects_of_stores_are_files_directly_in_a_users_store) {
    const struct {
        const wchar_t* path;
        bool store_object;
    } cases[] = {
        {L"private/alice/caldav_personal/a.ics", true},
        {L"private/alice/carddav_work/b.vcf", true},
        {L"PRIVATE/alice/caldav_personal/a.ics", false}, // names compare exactly
        {L"private/alice/CalDAV_personal/a.ics", false},
        {L"private/alice/caldav_personal/", false},
        {L"private/alice/caldav_personal/sub/a.ics", false},
        {L"private/alice/notes/a.ics", false},
        {L"private/caldav_personal/a.ics", false},
        {L"private//caldav_personal/a.ics", false},
        {L"public/alice/caldav_personal/a.ics", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_store_object(root() + c.path), c.store_object)
            << std::string(fs::path(c.path).string());
    // An empty prefix switches that kind of store off.
    set_caldav_prefix(L"");
    EXPECT_FALSE(is_store_object(root() + L"private/alice/caldav_personal/a.ics"));
    EXPECT_TRUE(is_store_object(root() + L"private/alice/carddav_personal/a.vcf"));
}

TEST_F(caldav_store, store_folder_is_made_once_with_its_lock_file) {
    config_info config;
    fs::create_directories(dir_ / "private/alice");
    const std::wstring store = root() + L"private/alice/caldav_personal";
    create_store_folder(config, store);
    EXPECT_EQ(get("private/alice/caldav_personal/.htaccess"), "qvel_lock on\n");
    // An existing folder, or a file of that name, is left as it is.
    put("private/alice/caldav_personal/.htaccess", "Require all granted\n");
    create_store_folder(config, store + L"/");
    EXPECT_EQ(get("private/alice/caldav_personal/.htaccess"), "Require all granted\n");
    put("private/alice/carddav_personal", "a file");
    create_store_folder(config, root() + L"private/alice/carddav_personal");
    EXPECT_TRUE(fs::is_regular_file(dir_ / "private/alice/carddav_personal"));
    // Without the user's folder nothing is made.
    create_store_folder(config, root() + L"private/bob/caldav_personal");
    EXPECT_FALSE(fs::exists(dir_ / "private/bob"));
}

TEST_F(caldav_store, objects_are_read_whole_and_again_when_they_change) {
    // Far longer than any read buffer: the object is never cut.
    const std::string big =
        "BEGIN:VCALENDAR\nDESCRIPTION:" + std::string(300000, 'x') + "\nEND:VCALENDAR\n";
    put("a.ics", big);
    auto first = read_stored_object(path("a.ics"), true);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->text, big);
    EXPECT_EQ(first->table().at("/VCALENDAR,DESCRIPTION").second.size(), 300000u);
    EXPECT_EQ(read_stored_object(path("a.ics"), true), first); // from the cache
    // Replaced by a file of the same size (as PUT does, by renaming a new
    // file over it): the new text and a new tag, never the cached ones.
    std::string other = big;
    other[40] = 'y';
    put("new.tmp", other);
    fs::rename(dir_ / "new.tmp", dir_ / "a.ics");
    auto second = read_stored_object(path("a.ics"), true);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->text, other);
    EXPECT_NE(second->etag, first->etag);
    // The tag alone, without reading the text, is the same tag.
    clear_stored_objects();
    auto tag_only = read_stored_object(path("a.ics"), false);
    ASSERT_TRUE(tag_only);
    EXPECT_EQ(tag_only->etag, second->etag);
    EXPECT_FALSE(tag_only->has_text);
    // Folders and missing files are no objects.
    fs::create_directories(dir_ / "sub");
    EXPECT_FALSE(read_stored_object(path("sub"), true));
    EXPECT_FALSE(read_stored_object(path("missing.ics"), true));
}

TEST_F(caldav_store, listing_leaves_out_access_files_and_unfinished_writes) {
    config_info config;
    put("a.ics", "a");
    put(".htaccess", "qvel_lock on\n");
    put(".tq-0011223344556677.tmp", "half");
    fs::create_directories(dir_ / "sub");
    store_listing listing;
    ASSERT_TRUE(list_store_folder(config, root(), listing));
    std::vector<std::pair<std::string, bool>> got;
    for (const indexed_entry* e : listing.entries)
        got.emplace_back(e->name, e->folder);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::pair<std::string, bool>>{{"a.ics", false}, {"sub", true}}));
}

TEST_F(caldav_store, hrefs_and_report_names) {
    EXPECT_EQ(
        supported_report("calendar-query", "cal:"),
        "<d:supported-report><d:report><cal:calendar-query/></d:report></d:supported-report>\n");
    EXPECT_EQ(
        supported_report("expand-property", ""),
        "<d:supported-report><d:report><d:expand-property/></d:report></d:supported-report>\n");
    EXPECT_TRUE(collection_etag(root() + L"missing/").empty());
    fs::create_directories(dir_ / "cal");
    const std::string before = collection_etag(root() + L"cal/");
    EXPECT_FALSE(before.empty());
    // The tag changes when an object arrives.
    struct timespec pause {
        0, 20'000'000
    };
    nanosleep(&pause, nullptr);
    put("cal/a.ics", "a");
    EXPECT_NE(collection_etag(root() + L"cal"), before);
}

} // namespace

TEST_F(caldav_store, parsed_tables_count_against_the_cache_and_large_objects_are_not_read) {
    std::string text = "BEGIN:VCALENDAR\n";
    for (int i = 0; i < 1000; ++i)
        text += "X:1\n";
    text += "END:VCALENDAR\n";
    put("a.ics", text);
    auto object = read_stored_object(path("a.ics"), true);
    ASSERT_TRUE(object);
    EXPECT_EQ(stored_object_bytes(), text.size());
    EXPECT_EQ(object->table().size(), 1001u);
    // The table takes far more than its 4 bytes a line of text.
    EXPECT_EQ(stored_object_bytes(), text.size() + ical_table_bytes(object->table()));
    EXPECT_GT(stored_object_bytes(), text.size() + 1001 * 100);

    // An object over the read limit keeps its tag but is not read.
    put("big.ics", std::string(stored_object_read_limit + 1, 'x'));
    auto big = read_stored_object(path("big.ics"), true);
    ASSERT_TRUE(big);
    EXPECT_TRUE(big->too_large);
    EXPECT_FALSE(big->has_text);
    EXPECT_TRUE(big->text.empty());
    EXPECT_FALSE(big->etag.empty());
}

// Hands out one configuration per path, as the configuration cache would,
// and counts the look-ups a listing makes.
class counting_host : public script_host, public server_config::config_source {
  public:
    std::string get_user_value(const std::wstring&, const std::string&,
                               const std::string&) override {
        return {};
    }
    cl::sh_ptr<config_info> for_url(std::string_view, std::wstring_view) override {
        return nullptr;
    }
    cl::sh_ptr<config_info> for_path(std::wstring_view path, std::wstring_view) override {
        ++lookups;
        auto c = cl::make_sh<config_info>();
        c->local_path = root + std::wstring(path.substr(path.starts_with(L"/") ? 1 : 0));
        c->file_name = c->local_path.substr(c->local_path.rfind(L'/') + 1);
        c->directory = c->local_path.substr(0, c->local_path.size() - c->file_name.size());
        c->attributes = file_attributes_of(c->local_path);
        c->auth_type = auth_none;
        c->require_kind = denied_everywhere || c->file_name == L"secret.ics" ? require_all_denied
                                                                             : require_all_granted;
        c->name_sections = name_sections;
        return c;
    }
    std::wstring root;
    bool name_sections = false;
    bool denied_everywhere = false;
    int lookups = 0;
};

TEST_F(caldav_store, listing_decides_once_per_folder_when_names_cannot_differ) {
    counting_host host;
    host.root = root();
    set_script_host(&host);
    server_config::set_config_source(&host);
    for (const char* name :
         {"a.ics", "b.ics", "c.ics", "d.ics", "secret.ics", "con.ics", "x y.ics"})
        put(name, "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n");
    fs::create_directories(dir_ / "sub");
    const fs::path outside = dir_.string() + "_outside.ics";
    std::ofstream(outside) << "outside";
    fs::create_symlink(outside, dir_ / "link.ics");
    const struct {
        const char* what;
        bool name_sections, denied_everywhere;
        const wchar_t* blocked;
        int lookups; // one for the plain files, one each for the others
        std::vector<std::string> listed;
    } cases[] = {
        {"one decision for the plain files",
         false,
         false,
         nullptr,
         5,
         {"a.ics", "b.ics", "c.ics", "con.ics", "d.ics", "secret.ics", "sub", "x y.ics"}},
        {"a section that looks at names",
         true,
         false,
         nullptr,
         9,
         {"a.ics", "b.ics", "c.ics", "con.ics", "d.ics", "sub", "x y.ics"}},
        {"a folder nobody may read", false, true, nullptr, 5, {}},
        {"a blocked member",
         false,
         false,
         L"c.ics",
         5,
         {"a.ics", "b.ics", "con.ics", "d.ics", "secret.ics", "sub", "x y.ics"}},
    };
    for (const auto& t : cases) {
        host.name_sections = t.name_sections;
        host.denied_everywhere = t.denied_everywhere;
        host.lookups = 0;
        if (t.blocked) blocklist_add(root() + t.blocked);
        config_info config;
        const access_client client;
        store_listing listing;
        ASSERT_TRUE(list_store_folder(config, root(), listing, &client)) << t.what;
        std::vector<std::string> got;
        for (const indexed_entry* e : listing.entries)
            got.push_back(e->name);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, t.listed) << t.what;
        EXPECT_EQ(host.lookups, t.lookups) << t.what;
        clear_blocklist();
    }
    server_config::set_config_source(nullptr);
    set_script_host(nullptr);
    fs::remove(outside);
}
