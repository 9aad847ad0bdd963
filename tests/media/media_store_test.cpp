// The media store: scanning a folder tree into containers and items with
// stable ids, the update ids of each change, object look-up, the URL forms,
// and the inotify watcher.
#include "media/media_store.h"
#include "media_test_tree.h"

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

using media::media_object;
using media_test::media_tree;
namespace fs = std::filesystem;

std::vector<std::wstring> child_names(media::media_store& s, const std::wstring& id) {
    media_object o;
    EXPECT_TRUE(s.find_object(id, o)) << id;
    std::vector<std::wstring> r;
    for (const auto& c : o.children)
        r.push_back((c.mime_type.empty() ? L"dir:" : L"") + media::folder_name(c.path) + L"#" +
                    c.id_text);
    return r;
}

TEST(media_id_pool, reuses_freed_numbers_only_when_full) {
    media::id_pool p;
    EXPECT_EQ(p.allocate(), 0u);
    EXPECT_EQ(p.allocate(), 1u);
    p.free(0);
    EXPECT_EQ(p.allocate(), 2u); // the candidate moves on
    media::id_pool full;
    for (uint32_t i = 0; i < media::id_pool::capacity; ++i)
        ASSERT_EQ(full.allocate(), i);
    full.free(77);
    EXPECT_EQ(full.allocate(), 77u);
    EXPECT_EQ(full.in_use(), media::id_pool::capacity);
}

TEST_F(media_tree, empty_folder_raises_nothing) {
    int calls = 0;
    store_.add_listener(this, [&] { ++calls; });
    ASSERT_TRUE(store_.open());
    EXPECT_FALSE(store_.update());
    EXPECT_EQ(store_.system_update_id(), 0u);
    EXPECT_EQ(calls, 0);
    store_.remove_listener(this);
}

TEST_F(media_tree, scan_add_rename_delete_and_move_in) {
    put("a.mp3", "abc");
    put("notes.txt");
    put("A/B/song.mp3");
    put("private/secret.mp3");
    int calls = 0;
    store_.add_listener(this, [&] { ++calls; });
    ASSERT_TRUE(store_.open());
    EXPECT_TRUE(store_.update());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(store_.system_update_id(), 1u);
    // media 0, A 1, B 2; the refused folder and the text file are left out.
    EXPECT_EQ(store_.container_update_ids(), L"0,1,1,1,2,1");
    EXPECT_EQ(child_names(store_, L"0"), (std::vector<std::wstring>{L"dir:A#1", L"a.mp3#0"}));
    media_object item;
    ASSERT_TRUE(store_.find_object(L"2-0", item));
    EXPECT_EQ(item.entry.album, L"B");
    EXPECT_EQ(item.entry.artist, L"A");
    EXPECT_EQ(item.parent_id, L"2");
    ASSERT_TRUE(store_.find_object(L"0-0", item));
    EXPECT_EQ(item.entry.size, 3u);
    EXPECT_EQ(item.entry.album, L"");
    EXPECT_EQ(item.entry.date.size(), 10u);

    // A second scan without changes raises nothing.
    EXPECT_FALSE(store_.update());
    EXPECT_EQ(store_.system_update_id(), 1u);

    // One file in B raises B, A and the media folder.
    put("A/B/two.mp3");
    EXPECT_TRUE(store_.update());
    EXPECT_EQ(store_.system_update_id(), 2u);
    EXPECT_EQ(store_.container_update_ids(), L"0,2,1,2,2,2");

    // A renamed file is a new item with a new id.
    fs::rename(media("a.mp3"), media("b.mp3"));
    EXPECT_TRUE(store_.update());
    EXPECT_FALSE(store_.find_object(L"0-0", item));
    ASSERT_TRUE(store_.find_object(L"0-1", item));
    EXPECT_EQ(media::folder_name(item.entry.path), L"b.mp3");
    EXPECT_EQ(store_.container_update_ids(), L"0,3,1,2,2,2");

    // Removing A removes B with it.
    fs::remove_all(media("A"));
    EXPECT_TRUE(store_.update());
    EXPECT_FALSE(store_.find_object(L"1", item));
    EXPECT_FALSE(store_.find_object(L"2", item));
    EXPECT_EQ(store_.directory_count(), 1u);
    EXPECT_EQ(store_.container_update_ids(), L"0,4");

    // A folder tree moved in from outside arrives whole.
    fs::create_directories(base_ / "outside" / "D" / "E");
    std::ofstream(base_ / "outside" / "D" / "E" / "x.jpg") << "";
    fs::rename(base_ / "outside" / "D", media("D"));
    EXPECT_TRUE(store_.update());
    EXPECT_EQ(store_.directory_count(), 3u);
    EXPECT_EQ(store_.item_count(), 2u);
    const auto names = child_names(store_, L"0");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].substr(0, 6), L"dir:D#");
    EXPECT_EQ(calls, 5);
    store_.remove_listener(this);
}

TEST_F(media_tree, object_ids_that_name_nothing) {
    put("a.mp3");
    ASSERT_TRUE(store_.open());
    store_.update();
    media_object o;
    // Only the ids as written out name something; nothing else falls back
    // to the root.
    for (const wchar_t* id : {L"-1", L"0-", L"-", L"", L"7", L"0-9", L"1-0", L"abc", L"aaaa",
                              L"0/../..", L" 0-0", L"0-0x", L"+0", L"4294967296", L"0-0-0"})
        EXPECT_FALSE(store_.find_object(id, o)) << id;
    EXPECT_TRUE(store_.find_object(L"0-0", o));
    EXPECT_EQ(o.parent_id, L"0");
}

TEST_F(media_tree, names_no_url_can_serve_are_left_out_with_everything_below) {
    put("Track 01: Intro.mp3");
    put("A|B/inner.mp3");
    put("ok/why?.mp3");
    put("ok/fine.mp3");
    ASSERT_TRUE(store_.open());
    store_.update();
    EXPECT_EQ(child_names(store_, L"0"), std::vector<std::wstring>{L"dir:ok#1"});
    EXPECT_EQ(child_names(store_, L"1"), std::vector<std::wstring>{L"fine.mp3#0"});
    EXPECT_EQ(store_.item_count(), 1u);
    for (const wchar_t* name :
         {L"a:b", L"a<b", L"a>b", L"a\"b", L"a|b", L"a?b", L"a*b", L"a\\b", L"a\tb"})
        EXPECT_FALSE(media::servable_name(name)) << name;
    EXPECT_TRUE(media::servable_name(L"Caf\u00e9 & co (1) [x].mp3"));
}

TEST_F(media_tree, symlinked_folders_are_not_followed) {
    put("real/a.mp3");
    fs::create_directory_symlink(media("real"), media("loop"));
    fs::create_directory_symlink(media(""), media("real/up"));
    fs::create_symlink(media("real/a.mp3"), media("link.mp3"));
    ASSERT_TRUE(store_.open());
    store_.update();
    EXPECT_EQ(store_.directory_count(), 2u);
    EXPECT_EQ(child_names(store_, L"0"), (std::vector<std::wstring>{L"dir:real#1", L"link.mp3#0"}));
}

// Every item of the catalogue, by walking it from the top: "path size".
std::vector<std::string> catalogue(media::media_store& s) {
    std::vector<std::string> r;
    std::vector<std::wstring> todo{L"0"};
    for (std::size_t i = 0; i < todo.size() && i < 1000; ++i) {
        media_object o;
        if (!s.find_object(todo[i], o)) continue;
        for (const auto& c : o.children)
            if (c.mime_type.empty())
                todo.push_back(c.id_text);
            else
                r.push_back(cl::utf16_to_utf8(c.path) + " " + std::to_string(c.size));
    }
    return r;
}

// A link to a file outside the shared folder is never listed, and links
// swapped in while scans run (a folder exchanged for a link to an outside
// folder, a file link turned outward) never bring an outside file in.
TEST_F(media_tree, links_never_lead_the_catalogue_outside) {
    const std::string secret = "an outside file, 31 bytes long";
    fs::create_directories(base_ / "outside");
    std::ofstream(base_ / "outside" / "secret.mp3") << secret;
    put("inside.mp3", "in");
    put("sw/a.mp3", "in");
    fs::create_symlink(media("inside.mp3"), media("in.mp3"));
    fs::create_symlink(base_ / "outside" / "secret.mp3", media("out.mp3"));
    fs::create_symlink("../../outside/secret.mp3", media("up.mp3"));
    fs::create_symlink(media("inside.mp3"), media("flip.mp3"));
    // Exchanged with media/sw, which is a folder and a link by turns.
    fs::create_directory_symlink(base_ / "outside", base_ / "spare");
    ASSERT_TRUE(store_.open());
    store_.update();
    const std::string m = media().string();
    EXPECT_EQ(catalogue(store_), (std::vector<std::string>{m + "flip.mp3 2", m + "in.mp3 2",
                                                           m + "inside.mp3 2", m + "sw/a.mp3 2"}));

    // The swaps alone from here on.
    fs::remove(media("out.mp3"));
    fs::remove(media("up.mp3"));
    std::atomic<bool> done{false};
    std::atomic<int> swaps{0};
    std::thread flipper([&] {
        const std::string sw = media("sw").string(), spare = (base_ / "spare").string();
        const std::string flip = media("flip.mp3").string(), tmp = media(".tmp").string();
        for (int i = 0; i < 200000 && !done; ++i) {
            if (::renameat2(AT_FDCWD, sw.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE) == 0)
                ++swaps;
            const fs::path target = i % 2 ? base_ / "outside" / "secret.mp3" : media("inside.mp3");
            if (::symlink(target.c_str(), tmp.c_str()) == 0) ::rename(tmp.c_str(), flip.c_str());
        }
    });
    for (int i = 0; i < 500 && swaps == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::vector<std::string> leaked;
    for (int round = 0; round < 300 && leaked.empty(); ++round) {
        store_.update();
        for (const std::string& item : catalogue(store_))
            if (item.find("secret") != std::string::npos ||
                item.ends_with(" " + std::to_string(secret.size())))
                leaked.push_back(item);
    }
    done = true;
    flipper.join();
    EXPECT_GT(swaps.load(), 0);
    EXPECT_EQ(leaked, std::vector<std::string>{});
}

TEST(media_urls, encoded_paths_read_back_pair_by_pair) {
    EXPECT_EQ(media::url_path_from_file(L"/srv/pub/media/Artist/Song.mp3", L"/srv/pub/"),
              L"/media/Artist/Song.mp3");
    const struct {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"/media/Artist/Song.mp3", L"/media/.enc/4172746973742F536F6E67.mp3"},
        {L"/MEDIA/a.b.jpg", L"/media/.enc/612E62.jpg"},
        {L"/media/\u65e5.ogg", L"/media/.enc/E697A5.ogg"}, // UTF-8 bytes, two digits each
        {L"/media/\u00e9.ogg", L"/media/.enc/C3A9.ogg"},
        {L"/media/noext", L"/media/noext"},
        {L"/media/dir.x/noext", L"/media/dir.x/noext"},
        {L"/other/a.mp3", L"/other/a.mp3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(media::media_url_path(c.in, L"media"), c.out) << c.in;
}

TEST_F(media_tree, watcher_follows_changes_and_stops) {
    put("a.mp3");
    store_.set_settle_ms(50);
    std::atomic<int> calls{0};
    store_.add_listener(this, [&] { ++calls; });
    store_.watcher_queued();
    std::thread t([&] { store_.watch(); });
    ASSERT_TRUE(eventually([&] { return store_.system_update_id() == 1; }));
    put("sub/b.mp3");
    ASSERT_TRUE(eventually([&] { return store_.item_count() == 2; }));
    // A folder made after the watch began is watched too.
    put("sub/deeper/c.mp3");
    ASSERT_TRUE(eventually([&] { return store_.item_count() == 3; }));
    put("sub/deeper/d.mp3");
    ASSERT_TRUE(eventually([&] { return store_.item_count() == 4; }));
    fs::remove(media("a.mp3"));
    ASSERT_TRUE(eventually([&] { return store_.item_count() == 3; }));
    EXPECT_GE(calls.load(), 4);
    store_.stop();
    t.join();
    EXPECT_EQ(store_.directory_count(), 0u);
    store_.remove_listener(this);
}

TEST_F(media_tree, stop_before_the_watcher_begins_ends_it) {
    store_.watcher_queued();
    std::thread stopper([&] { store_.stop(); });
    // The watcher job starts late: it must see the stop and end at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    store_.watch();
    stopper.join();
    EXPECT_EQ(store_.directory_count(), 0u);
    // Without a queued watcher, stop returns at once.
    store_.stop();
}

} // namespace
