// Capture devices and the encoding graph of a live stream: a camera and a
// microphone (v4l2 and ALSA through libavdevice, or the lavfi test sources
// where there is no hardware) encoded as Windows Media video and audio into
// an ASF stream whose header and data packets go to a sink.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace capture {

enum class device_kind { audio, video };

struct device {
    std::wstring name;  // shown in device lists; selection matches against it
    std::string format; // libavdevice input: "video4linux2", "alsa" or "lavfi"
    std::string url;    // device node, ALSA PCM name or filter graph
};

// Hardware devices first (v4l2 capture nodes, ALSA capture PCMs), then the
// test source of the kind, so an empty name picks real hardware when there
// is some. Never fails: a machine without devices lists the test source only.
std::vector<device> list_devices(device_kind kind);
// The first device whose name contains `name`, ASCII letters compared
// without case; an empty name picks the first. False when none matches.
bool find_device(device_kind kind, const std::wstring& name, device& out);

// What the encoders make of the sources.
struct profile {
    bool audio = true;
    bool video = true;
    int width = 320;
    int height = 240;
    int fps = 15;
    int video_bitrate = 250000;
    int sample_rate = 22050;
    int channels = 1;
    int audio_bitrate = 32000;
};
// Video and audio at a size and rate a local network carries easily.
profile builtin_profile();
// Reads a Windows Media profile file (XML, any byte-order mark): the stream
// configurations with their bit rates, picture size, frame time, channels and
// sample rate. False when the file cannot be read or describes no usable stream.
bool load_profile(const std::wstring& path, profile& out);

// Receives the ASF stream: the header once, then each data packet whole with
// its send time (milliseconds of stream time), whether a player can begin
// there (it starts a key frame of the picture) and, for such a packet, the
// form a player that begins there gets (`join`, as long as `data`).
class asf_sink {
  public:
    virtual ~asf_sink() = default;
    virtual void on_header(const uint8_t* data, size_t size) = 0;
    virtual void on_data_unit(const uint8_t* data, size_t size, uint32_t send_time_ms,
                              bool key_frame, const uint8_t* join) = 0;
};

// The send time written in an ASF data packet; false for a packet too short
// or malformed to carry one.
bool packet_send_time(const uint8_t* data, size_t size, uint32_t& ms);
// Whether an ASF data packet holds the beginning of a key frame of the
// stream (1-based ASF stream number; 0: any stream): a payload flagged key
// that starts its media object. False for a packet too short or malformed.
bool packet_starts_key_frame(const uint8_t* data, size_t size, unsigned stream_number);
// Takes the stream's payloads before its key frame out of the packet (which
// keeps its size, its padding grown), so a player that begins with this
// packet sees the key frame first and only streams the header declares.
// False (and nothing changed) when the packet begins no key frame.
bool hide_before_key_frame(uint8_t* data, size_t size, unsigned stream_number);

// One stream: sources, encoders and the ASF writer. The encoders and the
// writer live as long as the graph, so stream time goes on across pauses and
// the header stays valid; the sources are open only while the graph runs.
class graph {
  public:
    graph();
    ~graph();
    graph(const graph&) = delete;
    graph& operator=(const graph&) = delete;

    // Prepares the encoders and the writer. The devices must be given for
    // the kinds the profile has. 0 or a negative libav error code.
    int configure(const profile& p, const device* audio, const device* video, asf_sink* sink);
    // Opens the sources and starts capturing; the first run writes the header.
    // 0 (also when already running) or a negative libav error code, after
    // which nothing is left open.
    int run();
    // Stops capturing and closes the sources; returns when the capture
    // threads have ended.
    void stop();
    bool running();

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace capture
