// The request processor's own rules: media path decoding, request records.
#include "server/request_processor.h"

#include "platform/khttp/khttp.h"
#include "server/http_request.h"

#include <gtest/gtest.h>

namespace {

TEST(media_path_decoding, encoded_names_below_the_media_folder) {
    const struct {
        const wchar_t* path;
        const wchar_t* expected;
    } cases[] = {
        {L"/media.enc/414243.mp3", L"/media/ABC.mp3"},
        {L"/MEDIA.ENC/61.jpg", L"/media/a.jpg"},
        {L"/media.enc/e9.txt", L"/media/\u00e9.txt"},
        // A decoded name may not bring back separators or control characters.
        {L"/media.enc/2e2e2f2e2e2f6574632f706173737764.txt",
         L"/media.enc/2e2e2f2e2e2f6574632f706173737764.txt"},
        {L"/media.enc/2e2e5c2e2e.txt", L"/media.enc/2e2e5c2e2e.txt"},
        {L"/media/.enc/612F2E2E2F62.mp3", L"/media/.enc/612F2E2E2F62.mp3"},
        {L"/media/.enc/2F61.mp3", L"/media/.enc/2F61.mp3"},
        // The form the content directory writes: subfolders and UTF-8 names.
        {L"/media/.enc/4172746973742F536F6E67.mp3", L"/media/Artist/Song.mp3"},
        {L"/Media/.ENC/E697A5E69CAC2F41.ogg", L"/media/\u65e5\u672c/A.ogg"},
        {L"/media.enc/410a.txt", L"/media.enc/410a.txt"},
        {L"/media.enc/2e2e.txt", L"/media/...txt"},
        {L"/media.enc/414.mp3", L"/media.enc/414.mp3"},   // odd number of digits
        {L"/media.enc/4142", L"/media.enc/4142"},         // no extension
        {L"/media.enc/zz.mp3", L"/media.enc/zz.mp3"},     // not hexadecimal
        {L"/media.enc/a:41.mp3", L"/media.enc/a:41.mp3"}, // ":" before the dot
        {L"/media/414243.mp3", L"/media/414243.mp3"},
        {L"/other.enc/41.mp3", L"/other.enc/41.mp3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode_media_path(c.path, L"media"), c.expected);
    EXPECT_EQ(decode_media_path(L"/media.enc/41.mp3", L""), L"/media.enc/41.mp3");
}

TEST(media_path_decoding, folder_name_of_the_media_directory) {
    EXPECT_EQ(media_folder_name(L"/srv/pub/media/"), L"media");
    EXPECT_EQ(media_folder_name(L"/srv/pub/Videos"), L"Videos");
    EXPECT_EQ(media_folder_name(L""), L"");
    EXPECT_EQ(media_folder_name(L"/"), L"");
}

// A thread reuses the records its requests dropped: a reused one reads as
// a new one would, whatever the last request and its handlers left in it.
TEST(request_records, a_reused_record_keeps_nothing_of_the_last_request) {
    khttp::request first;
    first.request_id = 7;
    first.flags = khttp::request_flag_more_entity_body;
    first.verb = khttp::verb::unknown;
    first.unknown_verb = "MKCALENDAR";
    first.version_minor = 0;
    first.query = "a=1&long=" + std::string(100, 'q');
    first.known_headers[khttp::header_host] = "first.example";
    first.known_headers[khttp::header_cookie] = "secret=" + std::string(60, 's');
    first.unknown_headers = {{"X-First", "1"}};
    khttp::request second;
    second.request_id = 8;
    second.verb = khttp::verb::get;
    second.known_headers[khttp::header_host] = "second.example";
    const win32::systemtime now = win32::get_system_time();

    auto used = make_request_data(first, now);
    const http_request_data* room = used.get();
    used->path = L"/a path longer than the room of a short text";
    used->raw_url = "/a/raw/url/that/is/long/enough/for/the/heap";
    used->known_headers[http_header_authorization] = "set by a handler";
    used->unknown_headers["X-Added"] = "by a handler";
    used.reset();

    const auto reused = make_request_data(second, now);
    const auto fresh = std::make_shared<http_request_data>();
    ASSERT_EQ(reused.get(), room) << "the record was not reused; the test proves nothing";
    EXPECT_EQ(reused->request_id, 8u);
    EXPECT_EQ(reused->flags, 0u);
    EXPECT_EQ(reused->version, 101u);
    EXPECT_EQ(reused->method, "GET");
    EXPECT_EQ(reused->path, fresh->path);
    EXPECT_EQ(reused->raw_url, fresh->raw_url);
    EXPECT_EQ(reused->query, fresh->query);
    EXPECT_EQ(reused->unknown_headers, fresh->unknown_headers);
    for (int id = 0; id < http_header_request_maximum; ++id)
        EXPECT_EQ(reused->known_headers[id], id == http_header_host ? "second.example" : "") << id;
}

} // namespace
