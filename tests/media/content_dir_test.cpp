// The content directory and connection manager services through their
// dispatch interfaces, as the device host calls them; Browse results are read
// back with the XML parser.
#include "media/con_mgr.h"
#include "media/content_dir.h"
#include "media/dlna_profiles.h"
#include "media/media_server.h"
#include "media_test_tree.h"
#include "platform/xml/xml.h"
#include "system/ipv4_text.h"

#include <atomic>

namespace {

using automation::variant;
using media_test::media_tree;
namespace fs = std::filesystem;

class endpoint : public automation::iunknown<upnp::remote_endpoint_info_i> {
  public:
    endpoint()
        : automation::iunknown<upnp::remote_endpoint_info_i>(upnp::iid_remote_endpoint_info) {}
    upnp::hresult get_string_value(const std::wstring& name, std::wstring* out) override {
        if (name != L"RemoteAddress") return automation::e_invalidarg;
        *out = L"127.0.0.1";
        return automation::s_ok;
    }
};

struct didl_node {
    std::string kind, id, parent, title, cls, res, protocol, album, artist, restricted, children;
};

struct browse_answer {
    automation::hresult hr = 0;
    std::vector<didl_node> nodes;
    uint32_t returned = 0, total = 0, update_id = 0;
    bool update_written = false;
};

std::string child_text(const xml::node& n, const char* name) {
    for (const auto& c : n.child_elements())
        if (c.local_name() == name) {
            std::string t;
            c.text(t);
            return t;
        }
    return {};
}

browse_answer browse(media::content_dir& cd, const std::wstring& id, const std::wstring& flag,
                     uint32_t start = 0, uint32_t count = 0) {
    automation::com_ptr<endpoint> ep(new endpoint);
    std::vector<variant> args{variant::from_unknown(ep.get()),
                              variant::from_bstr(id),
                              variant::from_bstr(flag),
                              variant::from_bstr(L"*"),
                              variant::from_int(automation::vt_ui4, start),
                              variant::from_int(automation::vt_ui4, count),
                              variant::from_bstr(L""),
                              variant(),
                              variant(),
                              variant(),
                              variant()};
    automation::dispparams p = automation::dispparams::of(std::move(args));
    automation::dispid did = 0;
    const std::wstring name = L"Browse";
    EXPECT_EQ(cd.get_ids_of_names(automation::iid_null, &name, 1, 0, &did), 0);
    browse_answer a;
    variant r;
    a.hr = cd.invoke(did, automation::iid_null, 0, automation::dispatch_method, p, &r, nullptr,
                     nullptr);
    if (automation::failed(a.hr)) return a;
    a.returned = uint32_t(p.arg(8).int_value());
    a.total = uint32_t(p.arg(9).int_value());
    a.update_id = uint32_t(p.arg(10).int_value());
    a.update_written = !p.arg(10).is_empty();
    xml::document doc;
    xml::parse_error err;
    EXPECT_EQ(p.arg(7).vt(), automation::vt_array | automation::vt_ui1);
    const auto& bytes = p.arg(7).array()->data;
    EXPECT_TRUE(doc.load(std::string(bytes.begin(), bytes.end()), &err)) << err.reason;
    doc.set_selection_namespaces("xmlns:d=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\"");
    std::vector<xml::node> nodes;
    doc.select(doc.root(), "/d:DIDL-Lite/*", nodes);
    for (const auto& n : nodes) {
        didl_node d;
        d.kind = n.local_name();
        d.id = n.attribute("id");
        d.parent = n.attribute("parentID");
        d.restricted = n.attribute("restricted");
        d.children = n.attribute("childCount");
        d.title = child_text(n, "title");
        d.cls = child_text(n, "class");
        d.res = child_text(n, "res");
        d.album = child_text(n, "album");
        d.artist = child_text(n, "artist");
        for (const auto& c : n.child_elements())
            if (c.local_name() == "res") d.protocol = c.attribute("protocolInfo");
        a.nodes.push_back(d);
    }
    return a;
}

class content_dir_test : public media_tree {
  protected:
    void SetUp() override {
        media_tree::SetUp();
        media::fill_dlna_profiles();
        put("Artist & Co/Album & 'Best'/01 Song & Dance.mp3", "12345");
        put("Artist & Co/Album & 'Best'/02.mp3");
        put("clip.mkv");
        put("pic.jpg");
        put("odd.xyz");
        put("\xe6\x97\xa5\xe6\x9c\xac.mp3"); // a name beyond U+00FF
        ASSERT_TRUE(store_.open());
        store_.update();
        cd_ = automation::com_ptr<media::content_dir>(new media::content_dir(store_, 8080));
    }
    void TearDown() override {
        cd_.reset();
        media_tree::TearDown();
    }
    automation::com_ptr<media::content_dir> cd_;
};

TEST_F(content_dir_test, direct_children_in_store_order) {
    const browse_answer a = browse(*cd_.get(), L"0", L"BrowseDirectChildren");
    ASSERT_EQ(a.hr, 0);
    std::vector<std::string> titles;
    for (const auto& n : a.nodes)
        titles.push_back(n.kind + ":" + n.title);
    // Folders first, then the files by name.
    EXPECT_EQ(titles,
              (std::vector<std::string>{"container:Artist & Co", "item:clip.mkv", "item:odd.xyz",
                                        "item:pic.jpg", "item:\xe6\x97\xa5\xe6\x9c\xac.mp3"}));
    EXPECT_EQ(a.returned, 5u);
    EXPECT_EQ(a.total, 5u);
    EXPECT_EQ(a.update_id, store_.system_update_id());
    EXPECT_EQ(a.nodes[0].parent, "0");
    EXPECT_EQ(a.nodes[0].children, "1");
    EXPECT_EQ(a.nodes[0].restricted, "1");
    for (std::size_t i = 1; i < a.nodes.size(); ++i) {
        EXPECT_EQ(a.nodes[i].restricted, "1") << "items cannot be changed";
        EXPECT_EQ(a.nodes[i].parent, "0");
    }
    EXPECT_EQ(a.nodes[1].cls, "object.item.videoItem");
    EXPECT_EQ(a.nodes[3].cls, "object.item.imageItem");
    EXPECT_EQ(a.nodes[2].protocol, "http-get:*:video/x-unknown:*");
    // The URL of a name beyond U+00FF carries its UTF-8 bytes.
    EXPECT_EQ(a.nodes[4].res, "http://127.0.0.1:8080/media/.enc/E697A5E69CAC.mp3");
}

TEST_F(content_dir_test, item_metadata_escaping_and_profiles) {
    const browse_answer dir = browse(*cd_.get(), L"1", L"BrowseDirectChildren");
    ASSERT_EQ(dir.nodes.size(), 1u);
    EXPECT_EQ(dir.nodes[0].title, "Album & 'Best'");
    const std::string album_id = dir.nodes[0].id;
    const browse_answer songs =
        browse(*cd_.get(), cl::utf8_to_utf16(album_id), L"BrowseDirectChildren");
    ASSERT_EQ(songs.nodes.size(), 2u);
    const didl_node& s = songs.nodes[0];
    EXPECT_EQ(s.title, "01 Song & Dance.mp3");
    EXPECT_EQ(s.album, "Album & 'Best'");
    EXPECT_EQ(s.artist, "Artist & Co");
    EXPECT_EQ(s.cls, "object.item.audioItem");
    EXPECT_EQ(s.protocol, "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_PS=1;DLNA.ORG_CI=0;"
                          "DLNA.ORG_OP=01;DLNA.ORG_FLAGS=01500000000000000000000000000000");
    EXPECT_EQ(s.res.substr(0, 33), "http://127.0.0.1:8080/media/.enc/");

    const browse_answer meta = browse(*cd_.get(), cl::utf8_to_utf16(s.id), L"BrowseMetadata");
    ASSERT_EQ(meta.nodes.size(), 1u);
    EXPECT_EQ(meta.nodes[0].id, s.id);
    EXPECT_EQ(meta.nodes[0].parent, album_id);
    EXPECT_EQ(meta.total, 1u);

    const browse_answer root = browse(*cd_.get(), L"0", L"BrowseMetadata");
    ASSERT_EQ(root.nodes.size(), 1u);
    EXPECT_EQ(root.nodes[0].id, "0");
    EXPECT_EQ(root.nodes[0].parent, "-1");
    EXPECT_EQ(root.nodes[0].title, "media");
    EXPECT_EQ(root.nodes[0].children, "5");
}

TEST_F(content_dir_test, paging_and_unknown_objects) {
    const struct {
        uint32_t start, count;
        std::size_t returned;
    } pages[] = {{0, 0, 5}, {2, 3, 3}, {3, 3, 2}, {4, 1, 1}, {5, 2, 0}, {99, 0, 0}};
    const browse_answer all = browse(*cd_.get(), L"0", L"BrowseDirectChildren");
    for (const auto& pg : pages) {
        const browse_answer a =
            browse(*cd_.get(), L"0", L"BrowseDirectChildren", pg.start, pg.count);
        ASSERT_EQ(a.hr, 0);
        EXPECT_EQ(a.returned, pg.returned) << pg.start << "/" << pg.count;
        EXPECT_EQ(a.nodes.size(), pg.returned);
        EXPECT_EQ(a.total, 5u);
        for (std::size_t i = 0; i < a.nodes.size(); ++i)
            EXPECT_EQ(a.nodes[i].id, all.nodes[pg.start + i].id);
    }
    // A kept answer is not given out once the folder has changed.
    EXPECT_EQ(browse(*cd_.get(), L"0", L"BrowseDirectChildren").total, 5u);
    put("zzz.mp3");
    store_.update();
    EXPECT_EQ(browse(*cd_.get(), L"0", L"BrowseDirectChildren").total, 6u);
    EXPECT_EQ(browse(*cd_.get(), L"0", L"BrowseDirectChildren", 2, 3).total, 6u);
    for (const wchar_t* id : {L"77", L"0-99", L"-3", L"0-", L"aaaa", L"0/../.."})
        EXPECT_EQ(browse(*cd_.get(), id, L"BrowseDirectChildren").hr, upnp::action_error(701))
            << id;
    // A flag the service does not define is an invalid argument.
    for (const wchar_t* flag : {L"BrowseEverything", L"", L"BrowseMetadataX"})
        EXPECT_EQ(browse(*cd_.get(), L"0", flag).hr, automation::e_invalidarg) << flag;
}

TEST_F(content_dir_test, browse_while_the_store_changes) {
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> browsers;
    for (int t = 0; t < 3; ++t)
        browsers.emplace_back([&] {
            while (!done) {
                const browse_answer a = browse(*cd_.get(), L"0", L"BrowseDirectChildren");
                if (a.hr != 0 || a.nodes.size() != a.returned || a.total < 5) ++failures;
            }
        });
    for (int i = 0; i < 30; ++i) {
        put("churn/f" + std::to_string(i) + ".mp3");
        store_.update();
        if (i % 3 == 0) {
            fs::remove_all(media("churn"));
            store_.update();
        }
    }
    done = true;
    for (auto& t : browsers)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

// A sink that records the dispids it is told.
class sink : public automation::iunknown<upnp::event_sink_i> {
  public:
    sink() : automation::iunknown<upnp::event_sink_i>(upnp::iid_event_sink) {}
    upnp::hresult on_state_changed(uint32_t n, const automation::dispid* ids) override {
        std::lock_guard<std::mutex> g(m);
        seen.assign(ids, ids + n);
        ++calls;
        return 0;
    }
    std::mutex m;
    std::vector<automation::dispid> seen;
    int calls = 0;
};

TEST_F(content_dir_test, one_event_source_tells_its_sink_of_changes) {
    void* a = nullptr;
    void* b = nullptr;
    ASSERT_EQ(cd_->query_interface(upnp::iid_event_source, &a), 0);
    ASSERT_EQ(cd_->query_interface(upnp::iid_event_source, &b), 0);
    EXPECT_EQ(a, b); // one event source per service
    automation::com_ptr<upnp::event_source_i> src;
    src.attach(static_cast<upnp::event_source_i*>(a));
    static_cast<upnp::event_source_i*>(b)->release();
    automation::com_ptr<sink> s(new sink);
    ASSERT_EQ(src->advise(s.get()), 0);
    put("new.mp3");
    store_.update();
    ASSERT_TRUE(media_tree::eventually([&] {
        std::lock_guard<std::mutex> g(s->m);
        return s->calls == 1;
    }));
    EXPECT_EQ(s->seen, (std::vector<automation::dispid>{19, 20, 21}));
    variant v;
    automation::dispparams none;
    ASSERT_EQ(cd_->invoke(19, automation::iid_null, 0, automation::dispatch_propertyget, none, &v,
                          nullptr, nullptr),
              0);
    EXPECT_EQ(uint32_t(v.int_value()), store_.system_update_id());
    src->unadvise(s.get());
    put("newer.mp3");
    store_.update();
    EXPECT_EQ(s->calls, 1);
}

TEST(con_mgr, protocol_info_connection_info_and_features) {
    media::fill_dlna_profiles();
    media::fill_dlna_profiles(); // twice: still 17 rows
    EXPECT_EQ(media::dlna_profiles().size(), 17u);
    automation::com_ptr<media::con_mgr> cm(new media::con_mgr);
    const std::wstring& spi = cm->source_protocol_info;
    std::vector<std::wstring> entries;
    for (std::size_t p = 0;;) {
        const std::size_t c = spi.find(L',', p);
        entries.push_back(spi.substr(p, c == std::wstring::npos ? c : c - p));
        if (c == std::wstring::npos) break;
        p = c + 1;
    }
    ASSERT_EQ(entries.size(), 17u);
    EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end()));
    EXPECT_EQ(entries.front(), L"http-get:*:audio/ac3:*");
    EXPECT_EQ(entries.back(), L"http-get:*:video/x-msvideo:*");
    const auto mp4 = std::find(entries.begin(), entries.end(), L"http-get:*:video/mp4:*");
    ASSERT_NE(mp4, entries.end());
    EXPECT_EQ(*(mp4 + 1), L"http-get:*:video/mpeg:*");
    EXPECT_EQ(*(mp4 + 2), L"http-get:*:video/quicktime:*");

    auto call = [&](const wchar_t* name, std::vector<variant> args, automation::dispparams& p) {
        automation::dispid id = 0;
        const std::wstring n = name;
        EXPECT_EQ(cm->get_ids_of_names(automation::iid_null, &n, 1, 0, &id), 0);
        p = automation::dispparams::of(std::move(args));
        variant r;
        return cm->invoke(id, automation::iid_null, 0, automation::dispatch_method, p, &r, nullptr,
                          nullptr);
    };
    automation::dispparams p;
    ASSERT_EQ(
        call(L"GetCurrentConnectionInfo", {variant::from_i4(42), {}, {}, {}, {}, {}, {}, {}}, p),
        0);
    EXPECT_EQ(p.arg(1).i4(), 0);
    EXPECT_EQ(p.arg(2).i4(), 0);
    EXPECT_EQ(p.arg(3).bstr(), spi);
    EXPECT_EQ(p.arg(4).bstr(), L"");
    EXPECT_EQ(p.arg(5).i4(), -1);
    EXPECT_EQ(p.arg(6).bstr(), L"Output");
    EXPECT_EQ(p.arg(7).bstr(), L"OK");
    // The lookups a control point needs answer.
    ASSERT_EQ(call(L"GetProtocolInfo", {{}, {}}, p), 0);
    EXPECT_EQ(p.arg(0).bstr(), spi);
    EXPECT_EQ(p.arg(1).bstr(), L"");
    ASSERT_EQ(call(L"GetCurrentConnectionIDs", {{}}, p), 0);
    EXPECT_EQ(p.arg(0).bstr(), L"0");
    EXPECT_EQ(call(L"PrepareForConnection", {{}, {}, {}, {}, {}, {}, {}, {}}, p),
              automation::e_notimpl);

    const std::wstring flags = L";DLNA.ORG_PS=1;DLNA.ORG_CI=0;DLNA.ORG_OP=01;"
                               L"DLNA.ORG_FLAGS=01500000000000000000000000000000";
    EXPECT_EQ(media::get_content_features("audio/mpeg"), L"DLNA.ORG_PN=MP3" + flags);
    EXPECT_EQ(media::get_content_features("video/x-flv"), L"DLNA.ORG_PN=AVC_TS_HD" + flags);
    EXPECT_EQ(media::get_content_features("image/png; charset=x"), L"DLNA.ORG_PN=PNG" + flags);
    EXPECT_EQ(media::get_content_features("text/html"), L"*");
}

// Players parse every byte of a folder's answer: "&", the double quote and
// "<" are replaced, ">" only where it would end "]]>", the apostrophe never;
// characters XML cannot carry become "?".
TEST(media_server, texts_are_escaped_as_xml_needs_and_no_more) {
    const struct {
        const wchar_t *text, *escaped;
    } cases[] = {
        {L"Rock & Roll", L"Rock &amp; Roll"}, {L"a \"b\" <c> 'd'", L"a &quot;b&quot; &lt;c> 'd'"},
        {L"x]]>y]>z>", L"x]]&gt;y]>z>"},      {L"tab\there\x01", L"tab\there?"},
        {L"\u65e5\u672c", L"\u65e5\u672c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(media::xml_escape_w(c.text), c.escaped);
}

TEST(media_server, friendly_name_is_escaped) {
    const std::wstring d = media::media_device_description(L"A&B \"<x>\"");
    EXPECT_NE(d.find(L"<friendlyName>Tesk QVel Media Sharing at A&amp;B &quot;&lt;x>&quot;"
                     L"</friendlyName>"),
              std::wstring::npos);
    EXPECT_NE(media::media_device_description(L"").find(
                  L"<friendlyName>Tesk QVel Media Sharing </friendlyName>"),
              std::wstring::npos);
}

TEST(ipv4_text, lenient_dotted_text) {
    const struct {
        const wchar_t* text;
        cl::ipv4_addr expected;
    } cases[] = {
        {L"192.168.1.20", {192, 168, 1, 20}}, {L"10.1", {10, 1, 0, 0}},
        {L" 10 . 2 . 3 . 4 ", {10, 2, 3, 4}}, {L"1.2.3.4.5", {1, 2, 3, 4}},
        {L"300.1.1.1", {44, 1, 1, 1}},        {L"", {0, 0, 0, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ipv4_parse(c.text), c.expected) << c.text;
    EXPECT_EQ(media::local_address_for_remote(L"127.0.0.9"), L"127.0.0.1");
    EXPECT_EQ(media::local_address_for_remote(L"203.0.113.77"), L"127.0.0.1"); // no network
}

} // namespace
