#include "media/dlna_profiles.h"

namespace media {

namespace {
std::map<std::string, std::wstring> profiles;
}

const std::map<std::string, std::wstring>& dlna_profiles() {
    return profiles;
}

void fill_dlna_profiles() {
    static const std::pair<const char*, const wchar_t*> rows[] = {
        {"audio/mpeg", L"DLNA.ORG_PN=MP3"},
        {"audio/x-ms-wma", L"DLNA.ORG_PN=WMAFULL"},
        {"audio/x-aac", L"DLNA.ORG_PN=AAC"},
        {"audio/ogg", L"DLNA.ORG_PN=OGG"},
        {"audio/flac", L"DLNA.ORG_PN=FLAC"},
        {"audio/ac3", L"DLNA.ORG_PN=AC3"},
        {"video/x-ms-asf", L"DLNA.ORG_PN=VC1_ASF_AP_L1_WMA"},
        {"video/x-ms-wmv", L"DLNA.ORG_PN=WMVMED_BASE"},
        {"video/mp4", L"DLNA.ORG_PN=AVC_TS_HD"},
        {"video/x-flv", L"DLNA.ORG_PN=AVC_TS_HD"},
        {"video/quicktime", L"DLNA.ORG_PN=AVC_TS_HD"},
        {"video/x-msvideo", L"DLNA.ORG_PN=AVI"},
        {"video/x-matroska", L"DLNA.ORG_PN=MATROSKA"},
        {"video/webm", L"DLNA.ORG_PN=MATROSKA"},
        {"video/mpeg", L"DLNA.ORG_PN=MPEG1"},
        {"image/jpeg", L"DLNA.ORG_PN=JPEG"},
        {"image/png", L"DLNA.ORG_PN=PNG"},
    };
    for (const auto& [mime, text] : rows)
        profiles[mime] = text;
}

std::wstring append_dlna_flags(std::string_view mime_type) {
    auto it = profiles.find(std::string(mime_type));
    if (it == profiles.end()) return L"*";
    return it->second + L";DLNA.ORG_PS=1;DLNA.ORG_CI=0;DLNA.ORG_OP=01;"
                        L"DLNA.ORG_FLAGS=01500000000000000000000000000000";
}

} // namespace media
