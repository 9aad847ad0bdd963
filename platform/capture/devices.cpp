// Device lists: v4l2 capture nodes, the ALSA capture PCMs the kernel lists,
// and the lavfi test sources that stand in where there is no hardware.
#include "platform/capture/capture.h"

#include "core/text.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace capture {

namespace {

std::wstring widen(const std::string& s) {
    return cl::utf8_to_utf16(s);
}

void add_v4l2(std::vector<device>& out) {
    for (int i = 0; i < 64; ++i) {
        const std::string path = "/dev/video" + std::to_string(i);
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        v4l2_capability cap{};
        const bool ok = ::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0;
        ::close(fd);
        if (!ok) continue;
        // A node of a multi-node device may offer only metadata.
        const uint32_t caps =
            (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
        if (!(caps & V4L2_CAP_VIDEO_CAPTURE)) continue;
        const std::string card(reinterpret_cast<const char*>(cap.card),
                               strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
        out.push_back(device{widen(card + " (" + path + ")"), "video4linux2", path});
    }
}

// Lines of /proc/asound/pcm: "00-00: id : name : playback 1 : capture 1".
void add_alsa(std::vector<device>& out) {
    std::ifstream in("/proc/asound/pcm");
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("capture") == std::string::npos) continue;
        int card = -1, dev = -1;
        if (std::sscanf(line.c_str(), "%d-%d:", &card, &dev) != 2 || card < 0 || dev < 0) continue;
        std::vector<std::string> fields;
        size_t start = line.find(':') + 1;
        for (size_t pos; (pos = line.find(':', start)) != std::string::npos; start = pos + 1)
            fields.push_back(std::string(cl::trimmed(line.substr(start, pos - start))));
        fields.push_back(std::string(cl::trimmed(line.substr(start))));
        const std::string name = fields.size() > 1 ? fields[1] : fields[0];
        const std::string hw = "hw:" + std::to_string(card) + "," + std::to_string(dev);
        out.push_back(device{widen(name + " (" + hw + ")"), "alsa", hw});
    }
}

bool contains_no_case(const std::wstring& hay, const std::wstring& needle) {
    auto low = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; };
    if (needle.size() > hay.size()) return false;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i) {
        size_t j = 0;
        while (j < needle.size() && low(hay[i + j]) == low(needle[j]))
            ++j;
        if (j == needle.size()) return true;
    }
    return false;
}

} // namespace

std::vector<device> list_devices(device_kind kind) {
    std::vector<device> out;
    if (kind == device_kind::video) {
        add_v4l2(out);
        out.push_back(device{L"lavfi testsrc", "lavfi", "testsrc"});
    } else {
        add_alsa(out);
        out.push_back(device{L"lavfi sine", "lavfi", "sine"});
    }
    return out;
}

bool find_device(device_kind kind, const std::wstring& name, device& out) {
    for (auto& d : list_devices(kind)) {
        if (name.empty() || contains_no_case(d.name, name)) {
            out = std::move(d);
            return true;
        }
    }
    return false;
}

} // namespace capture
