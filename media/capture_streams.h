// Live streams of capture devices that scripts start: the list of running
// streams, and per stream a capture graph whose ASF output goes to a network
// sink serving its own TCP port. The graph captures only while a client is
// connected; every stream stops with the HTTP server.
#pragma once
#include "media/network_sink.h"
#include "platform/capture/capture.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace media {

// The longest a start waits for the writer's header.
constexpr uint32_t capture_header_wait_ms = 10000;

class capture_streaming {
  public:
    capture_streaming();
    ~capture_streaming();
    capture_streaming(const capture_streaming&) = delete;
    capture_streaming& operator=(const capture_streaming&) = delete;

    // Builds the graph, opens the port (0 becomes 8000, written back) and
    // runs the graph until the stream header exists. On failure the caller
    // destroys the object, which closes what was opened.
    hresult start(const std::wstring& profile, const std::wstring& audio_device,
                  const std::wstring& video_device, uint32_t& port);
    // Closes the port, ends every client and the capture.
    void stop();
    // A client came (true) or went (false): the first one runs the graph,
    // the last one to go stops it.
    void on_client(bool connected);

    network_sink* sink() { return sink_.get(); }
    bool capturing() { return graph_ && graph_->running(); }

  private:
    class sink_bridge;
    std::unique_ptr<sink_bridge> bridge_;
    std::unique_ptr<capture::graph> graph_;
    cl::sh_ptr<network_sink> sink_;
    std::mutex clients_lock_; // the count and the graph's run and stop
    int32_t clients_ = 0;
};

// 0 when the stream runs (also when the same stream already ran on the same
// port); otherwise the failure, and no stream of that name is left.
hresult run_capture_stream(const std::wstring& profile, const std::wstring& audio_device,
                           const std::wstring& video_device, uint32_t port);
// Stops every stream; returns when they are stopped.
void stop_capture_streams();
size_t capture_stream_count();

void list_capture_devices(capture::device_kind kind, std::vector<std::wstring>& out);
void list_audio_input_devices(std::vector<std::wstring>& out);
void list_video_input_devices(std::vector<std::wstring>& out);

// Gives scripts the Webserver member run_stream and lets server stop end
// the streams. Called once at start-up.
void install_capture_streams();

} // namespace media
