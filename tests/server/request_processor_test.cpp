// The request processor's own rules: media path decoding.
#include "server/request_processor.h"

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

} // namespace
