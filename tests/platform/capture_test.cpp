#include "platform/capture/capture.h"

#include "tests/common/temp_dir.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>

namespace {

using namespace capture;

class recording_sink final : public asf_sink {
  public:
    void on_header(const uint8_t* data, size_t size) override {
        std::lock_guard hold(lock_);
        headers_.emplace_back(reinterpret_cast<const char*>(data), size);
        // A unit before the header would reach clients that cannot parse it.
        if (!units_.empty()) header_after_units_ = true;
    }
    void on_data_unit(const uint8_t* data, size_t size, uint32_t ms, bool,
                      const uint8_t*) override {
        std::lock_guard hold(lock_);
        units_.push_back(unit{std::string(reinterpret_cast<const char*>(data), size), ms});
        changed_.notify_all();
    }
    // Waits for the unit count to reach n; the bound only guards a hang.
    bool wait_units(size_t n) {
        std::unique_lock hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(60),
                                 [&] { return units_.size() >= n; });
    }

    struct unit {
        std::string bytes;
        uint32_t ms;
    };
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> headers_;
    std::vector<unit> units_;
    bool header_after_units_ = false;
};

profile small_profile() {
    profile p;
    p.width = 160;
    p.height = 120;
    p.fps = 5;
    p.video_bitrate = 64000;
    return p;
}

const std::string
    asf_header_guid("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);

TEST(capture_graph, test_sources_give_header_then_whole_packets_in_time_order_across_runs) {
    device audio, video;
    ASSERT_TRUE(find_device(device_kind::audio, L"sine", audio));
    ASSERT_TRUE(find_device(device_kind::video, L"testsrc", video));
    recording_sink sink;
    graph g;
    ASSERT_EQ(0, g.configure(small_profile(), &audio, &video, &sink));
    EXPECT_TRUE(sink.headers_.empty()); // nothing before the first run
    ASSERT_EQ(0, g.run());
    EXPECT_TRUE(g.running());
    ASSERT_TRUE(sink.wait_units(6));
    g.stop();
    EXPECT_FALSE(g.running());
    size_t first_run;
    uint32_t first_end;
    {
        std::lock_guard hold(sink.lock_);
        first_run = sink.units_.size();
        first_end = sink.units_.back().ms;
    }
    // A second run goes on in the same stream: no new header, later times.
    ASSERT_EQ(0, g.run());
    ASSERT_TRUE(sink.wait_units(first_run + 4));
    g.stop();

    std::lock_guard hold(sink.lock_);
    ASSERT_EQ(1u, sink.headers_.size());
    EXPECT_FALSE(sink.header_after_units_);
    EXPECT_EQ(asf_header_guid, sink.headers_[0].substr(0, 16));
    const size_t size = sink.units_[0].bytes.size();
    EXPECT_GT(size, 100u);
    for (size_t i = 0; i < sink.units_.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& u = sink.units_[i];
        EXPECT_EQ(size, u.bytes.size());
        EXPECT_EQ('\x82', u.bytes[0]); // a data packet, not header or index bytes
        uint32_t ms = 0;
        EXPECT_TRUE(
            packet_send_time(reinterpret_cast<const uint8_t*>(u.bytes.data()), u.bytes.size(), ms));
        EXPECT_EQ(ms, u.ms);
        if (i > 0) {
            EXPECT_GE(u.ms, sink.units_[i - 1].ms);
        }
    }
    EXPECT_GT(sink.units_[first_run].ms, sink.units_[0].ms);
    EXPECT_GE(sink.units_[first_run].ms, first_end);
}

TEST(capture_graph, audio_only_and_video_only_profiles) {
    for (const bool with_video : {false, true}) {
        SCOPED_TRACE(with_video);
        profile p = small_profile();
        p.video = with_video;
        p.audio = !with_video;
        device d;
        ASSERT_TRUE(find_device(with_video ? device_kind::video : device_kind::audio, L"lavfi", d));
        recording_sink sink;
        graph g;
        ASSERT_EQ(0, g.configure(p, with_video ? nullptr : &d, with_video ? &d : nullptr, &sink));
        ASSERT_EQ(0, g.run());
        ASSERT_TRUE(sink.wait_units(2));
        g.stop();
        EXPECT_EQ(1u, sink.headers_.size());
    }
}

TEST(capture_graph, a_source_that_cannot_open_fails_the_run_and_leaves_nothing_running) {
    const device missing{L"gone", "video4linux2", "/dev/video_missing_for_test"};
    const device bad_format{L"odd", "no_such_input_format", "x"};
    device audio;
    ASSERT_TRUE(find_device(device_kind::audio, L"", audio));
    for (const device* v : {&missing, &bad_format}) {
        recording_sink sink;
        graph g;
        ASSERT_EQ(0, g.configure(small_profile(), &audio, v, &sink));
        EXPECT_LT(g.run(), 0);
        EXPECT_FALSE(g.running());
        EXPECT_TRUE(sink.headers_.empty());
    }
    // A kind the profile has needs its device.
    graph g;
    recording_sink sink;
    EXPECT_LT(g.configure(small_profile(), &audio, nullptr, &sink), 0);
    EXPECT_LT(g.run(), 0);
}

TEST(capture_devices, lists_never_fail_and_selection_follows_names) {
    for (const auto kind : {device_kind::audio, device_kind::video}) {
        const auto all = list_devices(kind);
        ASSERT_FALSE(all.empty()); // the test source is always there, last
        EXPECT_EQ("lavfi", all.back().format);
        device d;
        ASSERT_TRUE(find_device(kind, L"", d));
        EXPECT_EQ(all.front().name, d.name);
    }
    struct {
        device_kind kind;
        const wchar_t* name;
        bool found;
        const wchar_t* expect;
    } cases[] = {
        {device_kind::video, L"testsrc", true, L"lavfi testsrc"},
        {device_kind::video, L"TESTSRC", true, L"lavfi testsrc"},
        {device_kind::video, L"Fi tEs", true, L"lavfi testsrc"},
        {device_kind::audio, L"SINE", true, L"lavfi sine"},
        {device_kind::audio, L"testsrc", false, L""},
        {device_kind::video, L"no such camera", false, L""},
        {device_kind::audio, L"lavfi sine and more", false, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        device d;
        EXPECT_EQ(c.found, find_device(c.kind, c.name, d));
        if (c.found) {
            EXPECT_EQ(c.expect, d.name);
        }
    }
}

TEST(capture_packets, send_time_follows_the_length_fields) {
    struct {
        std::vector<uint8_t> bytes;
        bool ok;
        uint32_t ms;
    } cases[] = {
        // error correction, flags: padding as byte, no packet length or sequence
        {{0x82, 0, 0, 0x08, 0x5d, 0x07, 0x10, 0x27, 0, 0, 0x64, 0}, true, 10000},
        // packet length as word and padding as word
        {{0x82, 0, 0, 0x50, 0x5d, 0x80, 0x0c, 0, 0, 1, 2, 3, 4, 0, 0}, true, 0x04030201},
        // no error correction data
        {{0x00, 0x5d, 5, 0, 0, 0, 0, 0}, true, 5},
        // cut off before the duration
        {{0x82, 0, 0, 0x08, 0x5d, 0x07, 0x10, 0x27, 0, 0, 0x64}, false, 0},
        {{0x82, 0}, false, 0},
        // an error correction form that is not defined
        {{0xE2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        uint32_t ms = 0;
        EXPECT_EQ(cases[i].ok, packet_send_time(cases[i].bytes.data(), cases[i].bytes.size(), ms));
        if (cases[i].ok) {
            EXPECT_EQ(cases[i].ms, ms);
        }
    }
}

TEST(capture_packets, a_key_frame_begins_where_a_key_payload_starts_its_object) {
    // Error correction, padding length as byte, then send time and duration.
    const std::vector<uint8_t> single = {0x82, 0, 0, 0x08, 0x5d, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> multiple = {0x82, 0, 0, 0x09, 0x5d, 0, 0, 0, 0, 0, 0, 0};
    auto with = [](std::vector<uint8_t> head, std::vector<uint8_t> rest) {
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    };
    struct {
        std::vector<uint8_t> bytes;
        unsigned stream;
        bool key;
    } cases[] = {
        // one payload: key flag and stream 1, object 5 at offset 0, 8 bytes replicated
        {with(single, {0x81, 5, 0, 0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0xAA}), 1, true},
        {with(single, {0x81, 5, 0, 0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0xAA}), 0, true},
        {with(single, {0x81, 5, 0, 0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0xAA}), 2, false},
        // the rest of a key frame that began in an earlier packet
        {with(single, {0x81, 5, 0x10, 0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0xAA}), 1, false},
        // not flagged key
        {with(single, {0x01, 5, 0, 0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0xAA}), 1, false},
        // two payloads with word lengths: sound (stream 2) first, then a key picture
        {with(multiple,
              {0x82, 0x02, 1, 0, 0, 0, 0, 0, 1, 0, 0xBB, 0x81, 6, 0, 0, 0, 0, 0, 1, 0, 0xCC}),
         1, true},
        {with(multiple,
              {0x82, 0x02, 1, 0, 0, 0, 0, 0, 1, 0, 0xBB, 0x81, 6, 0, 0, 0, 0, 0, 1, 0, 0xCC}),
         2, false},
        // cut off inside the first payload's length
        {with(multiple, {0x82, 0x02, 1, 0, 0, 0, 0, 0, 9}), 1, false},
        {{0x82, 0}, 0, false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].key, packet_starts_key_frame(cases[i].bytes.data(),
                                                        cases[i].bytes.size(), cases[i].stream));
    }
    // The end of a picture and a whole picture before the key frame, with
    // sound between: the pictures leave the packet, which keeps its size
    // with the padding (now a word) grown by what they took.
    std::vector<uint8_t> packet =
        with(multiple,
             {0x84, 0x01, 4, 9, 0, 0, 0, 0, 1, 0,    0xA1, 0x02, 1, 0, 0, 0, 0, 0, 1, 0,   0xBB,
              0x01, 5,    0, 0, 0, 0, 0, 1, 0, 0xA2, 0x81, 6,    0, 0, 0, 0, 0, 1, 0, 0xCC});
    std::vector<uint8_t> expect = {0x82, 0,    0,    0x11, 0x5d, 19, 0, 0, 0, 0,   0, 0,
                                   0,    0x82, 0x02, 1,    0,    0,  0, 0, 0, 1,   0, 0xBB,
                                   0x81, 6,    0,    0,    0,    0,  0, 1, 0, 0xCC};
    expect.resize(packet.size(), 0);
    EXPECT_TRUE(hide_before_key_frame(packet.data(), packet.size(), 1));
    EXPECT_EQ(packet, expect);
    EXPECT_TRUE(packet_starts_key_frame(packet.data(), packet.size(), 1));
    uint32_t ms = 1;
    EXPECT_TRUE(packet_send_time(packet.data(), packet.size(), ms));
    EXPECT_EQ(ms, 0u);
    std::vector<uint8_t> no_key =
        with(single, {0x01, 5, 0, 0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0xAA});
    const std::vector<uint8_t> before = no_key;
    EXPECT_FALSE(hide_before_key_frame(no_key.data(), no_key.size(), 1));
    EXPECT_EQ(no_key, before);
}

class capture_profile_test : public tq_test::temp_dir_test {};

TEST_F(capture_profile_test, profile_files) {
    const std::string audio_cfg =
        R"(<streamconfig majortype="{73647561-0000-0010-8000-00AA00389B71}" bitrate="48000">
             <wmmediatype><waveformatex nChannels="2" nSamplesPerSec="44100"/></wmmediatype>
           </streamconfig>)";
    const std::string video_cfg =
        R"(<streamconfig majortype="{73646976-0000-0010-8000-00AA00389B71}" bitrate="300000">
             <wmmediatype><videoinfoheader avgtimeperframe="1000000">
               <bitmapinfoheader biwidth="176" biheight="144"/></videoinfoheader></wmmediatype>
           </streamconfig>)";
    struct {
        const char* name;
        std::string text;
        bool ok;
        bool audio, video;
        int width, fps, channels;
    } cases[] = {
        {"both.prx", "<profile version=\"1\">" + audio_cfg + video_cfg + "</profile>", true, true,
         true, 176, 10, 2},
        {"audio.prx", "<profile>" + audio_cfg + "</profile>", true, true, false, 320, 15, 2},
        {"video.prx", "<profile>" + video_cfg + "</profile>", true, false, true, 176, 10, 1},
        {"empty.prx", "<profile></profile>", false, false, false, 0, 0, 0},
        {"other_root.prx", "<config>" + audio_cfg + "</config>", false, false, false, 0, 0, 0},
        {"broken.prx", "<profile><streamconfig", false, false, false, 0, 0, 0},
        {"odd_width.prx",
         "<profile><streamconfig majortype=\"{73646976-0000-0010-8000-00AA00389B71}\">"
         "<bitmapinfoheader biwidth=\"175\" biheight=\"144\"/></streamconfig></profile>",
         false, false, false, 0, 0, 0},
        {"six_channels.prx",
         "<profile><streamconfig majortype=\"{73647561-0000-0010-8000-00AA00389B71}\">"
         "<waveformatex nChannels=\"6\" nSamplesPerSec=\"44100\"/></streamconfig></profile>",
         false, false, false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        put(c.name, c.text);
        profile p;
        ASSERT_EQ(c.ok, load_profile(path(c.name), p));
        if (!c.ok) continue;
        EXPECT_EQ(c.audio, p.audio);
        EXPECT_EQ(c.video, p.video);
        EXPECT_EQ(c.width, p.width);
        EXPECT_EQ(c.fps, p.fps);
        EXPECT_EQ(c.channels, p.channels);
    }
    // UTF-16 with a byte-order mark, as profile editors write them.
    const std::string text = "<profile>" + video_cfg + "</profile>";
    std::string wide("\xFF\xFE", 2);
    for (char ch : text) {
        wide += ch;
        wide += '\0';
    }
    put("wide.prx", wide);
    profile p;
    EXPECT_TRUE(load_profile(path("wide.prx"), p));
    EXPECT_EQ(176, p.width);
    EXPECT_FALSE(load_profile(path("missing.prx"), p));
}

} // namespace
