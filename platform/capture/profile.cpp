// The stream's encoding settings: the built-in profile, or a Windows Media
// profile file read for the few values these encoders take from it.
#include "core/text.h"
#include "platform/capture/capture.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <strings.h>

namespace capture {

namespace {

std::string attr(xmlNode* n, const char* name) {
    // Profile files are written with attribute names in either case.
    for (xmlAttr* a = n->properties; a; a = a->next) {
        if (::strcasecmp(reinterpret_cast<const char*>(a->name), name) != 0) continue;
        xmlChar* v = xmlNodeGetContent(reinterpret_cast<xmlNode*>(a));
        std::string s = v ? reinterpret_cast<const char*>(v) : "";
        xmlFree(v);
        return s;
    }
    return {};
}

long long number(xmlNode* n, const char* name, long long fallback) {
    const std::string s = attr(n, name);
    if (s.empty()) return fallback;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    return (end && *end == 0) ? v : fallback;
}

bool named(xmlNode* n, const char* name) {
    return n->type == XML_ELEMENT_NODE &&
           ::strcasecmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

xmlNode* find(xmlNode* n, const char* name) {
    for (; n; n = n->next) {
        if (named(n, name)) return n;
        if (xmlNode* f = find(n->children, name)) return f;
    }
    return nullptr;
}

bool within(long long v, long long lo, long long hi) {
    return v >= lo && v <= hi;
}

} // namespace

profile builtin_profile() {
    return profile{};
}

bool load_profile(const std::wstring& path, profile& out) {
    std::ifstream in(cl::utf16_to_utf8(path), std::ios::binary);
    if (!in) return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > (1u << 20)) return false;
    // No DTD, no entities, no network: the file is plain data.
    xmlDoc* doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) return false;
    profile p = builtin_profile();
    p.audio = p.video = false;
    bool ok = true;
    xmlNode* root = xmlDocGetRootElement(doc);
    if (!root || !named(root, "profile")) ok = false;
    for (xmlNode* s = root ? root->children : nullptr; ok && s; s = s->next) {
        if (!named(s, "streamconfig")) continue;
        std::string major = attr(s, "majortype");
        for (auto& c : major)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const long long bitrate = number(s, "bitrate", 0);
        if (major.find("73647561") != std::string::npos) { // audio
            xmlNode* w = find(s->children, "waveformatex");
            p.audio = true;
            if (bitrate > 0) p.audio_bitrate = static_cast<int>(bitrate);
            if (w) {
                p.channels = static_cast<int>(number(w, "nChannels", p.channels));
                p.sample_rate = static_cast<int>(number(w, "nSamplesPerSec", p.sample_rate));
            }
        } else if (major.find("73646976") != std::string::npos) { // video
            p.video = true;
            if (bitrate > 0) p.video_bitrate = static_cast<int>(bitrate);
            if (xmlNode* v = find(s->children, "videoinfoheader")) {
                const long long frame_time = number(v, "avgtimeperframe", 0); // 100 ns units
                if (frame_time > 0)
                    p.fps = static_cast<int>((10000000 + frame_time / 2) / frame_time);
            }
            if (xmlNode* b = find(s->children, "bitmapinfoheader")) {
                p.width = static_cast<int>(number(b, "biwidth", p.width));
                p.height = static_cast<int>(std::llabs(number(b, "biheight", p.height)));
            }
        }
    }
    xmlFreeDoc(doc);
    if (!ok || (!p.audio && !p.video)) return false;
    // What the encoders accept: WMA at up to 48 kHz in one or two channels,
    // pictures of even size.
    if (p.audio && !(within(p.channels, 1, 2) && within(p.sample_rate, 8000, 48000) &&
                     within(p.audio_bitrate, 24000, 320000)))
        return false;
    if (p.video &&
        !(within(p.width, 16, 1920) && within(p.height, 16, 1080) && p.width % 2 == 0 &&
          p.height % 2 == 0 && within(p.fps, 1, 60) && within(p.video_bitrate, 10000, 20000000)))
        return false;
    out = p;
    return true;
}

} // namespace capture
