#include "media/capture_streams.h"

#include "platform/win32/errors.h"
#include "scripting/jscript/webserver_object.h"
#include "server/start_services.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>

namespace media {

using namespace automation;

namespace {

// A libav error as the result a script sees: a system error keeps its
// number, anything else is a plain failure.
hresult hresult_from_av(int r) {
    if (r < 0 && -r < 4096) return static_cast<hresult>(0x80070000u | win32::from_errno(-r));
    return e_fail;
}

constexpr hresult hr_timeout = static_cast<hresult>(0x800705B4);     // ERROR_TIMEOUT
constexpr hresult hr_addr_in_use = static_cast<hresult>(0x80072740); // WSAEADDRINUSE

} // namespace

// What the graph writes goes into the sink's own buffers.
class capture_streaming::sink_bridge final : public capture::asf_sink {
  public:
    explicit sink_bridge(network_sink& sink) : sink_(sink) {}
    void on_header(const uint8_t* data, size_t size) override {
        sample_buffer b(static_cast<uint32_t>(size));
        if (size) std::memcpy(b.get_buffer(), data, size);
        sink_.on_header(&b);
    }
    void on_data_unit(const uint8_t* data, size_t size, uint32_t, bool key_frame,
                      const uint8_t* join) override {
        cl::sh_ptr<sample_buffer> b = sink_.allocate_data_unit(static_cast<uint32_t>(size));
        if (size) std::memcpy(b->get_buffer(), data, size);
        cl::sh_ptr<sample_buffer> j;
        if (key_frame && join && join != data && size) {
            j = sink_.allocate_data_unit(static_cast<uint32_t>(size));
            std::memcpy(j->get_buffer(), join, size);
        }
        sink_.on_data_unit(b, key_frame, j);
    }

  private:
    network_sink& sink_;
};

capture_streaming::capture_streaming() = default;

capture_streaming::~capture_streaming() {
    stop();
}

hresult capture_streaming::start(const std::wstring& profile, const std::wstring& audio_device,
                                 const std::wstring& video_device, uint32_t& port) {
    capture::profile prof = capture::builtin_profile();
    // A profile that cannot be read leaves the writer without one.
    if (!profile.empty() && !capture::load_profile(profile, prof)) return e_pointer;
    capture::device audio, video;
    if (prof.audio && !capture::find_device(capture::device_kind::audio, audio_device, audio))
        return e_fail;
    if (prof.video && !capture::find_device(capture::device_kind::video, video_device, video))
        return e_fail;

    sink_ = cl::sh_ptr<network_sink>(new network_sink());
    sink_->set_content_type(prof.video ? "video/x-ms-wmv" : "audio/x-ms-wmv");
    sink_->set_host_url(L"http://127.0.0.1");
    sink_->set_client_callback([this](bool connected) { on_client(connected); });
    bridge_ = std::make_unique<sink_bridge>(*sink_);
    graph_ = std::make_unique<capture::graph>();
    int r = graph_->configure(prof, prof.audio ? &audio : nullptr, prof.video ? &video : nullptr,
                              bridge_.get());
    if (r < 0) return hresult_from_av(r);

    hresult hr = sink_->open(&port);
    if (failed(hr)) return hr;
    // A stream nobody can reach is not running.
    if (sink_->listener().listening_count() == 0) return hr_addr_in_use;

    {
        std::lock_guard hold(clients_lock_);
        r = graph_->run();
    }
    if (r < 0) return hresult_from_av(r);
    // Bounded, and with no lock held: a writer that never delivers fails
    // the start instead of holding up every other stream and server stop.
    if (!sink_->wait_header(capture_header_wait_ms)) return hr_timeout;
    std::lock_guard hold(clients_lock_);
    // A client that came meanwhile keeps the graph running.
    if (clients_ == 0) graph_->stop();
    return s_ok;
}

void capture_streaming::on_client(bool connected) {
    std::lock_guard hold(clients_lock_);
    if (!graph_) return;
    if (connected) {
        if (++clients_ == 1) graph_->run();
    } else if (clients_ > 0 && --clients_ == 0) {
        graph_->stop();
    }
}

void capture_streaming::stop() {
    // The port closes and every client thread ends first, so no client
    // calls into what is released below.
    if (sink_) sink_->close();
    if (graph_) graph_->stop();
    {
        std::lock_guard hold(clients_lock_);
        graph_.reset();
        clients_ = 0;
    }
    bridge_.reset();
    if (sink_) sink_->set_client_callback({});
    sink_ = nullptr;
}

// --- the stream list ---

namespace {

struct capture_stream_entry {
    std::wstring profile;
    std::wstring audio_device;
    std::wstring video_device;
    uint32_t port = 0;
    std::unique_ptr<capture_streaming> streaming;
    // A start (or replacement) of this stream is under way, without the lock.
    bool starting = false;
};

std::mutex g_lock;
std::condition_variable g_changed;
std::vector<std::unique_ptr<capture_stream_entry>> g_streams;

capture_stream_entry* find_entry(const std::wstring& profile, const std::wstring& audio,
                                 const std::wstring& video) {
    for (auto& e : g_streams)
        if (e->profile == profile && e->audio_device == audio && e->video_device == video)
            return e.get();
    return nullptr;
}

} // namespace

hresult run_capture_stream(const std::wstring& profile, const std::wstring& audio_device,
                           const std::wstring& video_device, uint32_t port) {
    std::unique_lock hold(g_lock);
    capture_stream_entry* e;
    // The same stream asked for twice at once: the second call waits for the
    // first one's outcome, then decides.
    while ((e = find_entry(profile, audio_device, video_device)) && e->starting)
        g_changed.wait(hold);
    if (e && e->port == port) return s_ok;
    std::unique_ptr<capture_streaming> old;
    if (e) {
        old = std::move(e->streaming);
        e->port = port;
    } else {
        auto n = std::make_unique<capture_stream_entry>();
        n->profile = profile;
        n->audio_device = audio_device;
        n->video_device = video_device;
        n->port = port;
        e = n.get();
        g_streams.push_back(std::move(n));
    }
    e->starting = true;
    hold.unlock();

    // The old stream's port closes before the new one opens.
    old.reset();
    auto s = std::make_unique<capture_streaming>();
    uint32_t p = port;
    const hresult hr = s->start(profile, audio_device, video_device, p);
    if (failed(hr)) s.reset(); // nothing of a failed start stays open

    hold.lock();
    e->starting = false;
    if (succeeded(hr)) {
        e->streaming = std::move(s);
    } else {
        g_streams.erase(std::find_if(g_streams.begin(), g_streams.end(),
                                     [e](const auto& x) { return x.get() == e; }));
    }
    hold.unlock();
    g_changed.notify_all();
    return failed(hr) ? hr : s_ok;
}

void stop_capture_streams() {
    std::vector<std::unique_ptr<capture_stream_entry>> streams;
    {
        std::unique_lock hold(g_lock);
        // Starts under way are bounded; their outcome is stopped with the rest.
        g_changed.wait(hold, [] {
            return std::none_of(g_streams.begin(), g_streams.end(),
                                [](const auto& e) { return e->starting; });
        });
        streams.swap(g_streams);
    }
    for (auto& e : streams)
        e->streaming.reset();
}

size_t capture_stream_count() {
    std::lock_guard hold(g_lock);
    return g_streams.size();
}

void list_capture_devices(capture::device_kind kind, std::vector<std::wstring>& out) {
    for (auto& d : capture::list_devices(kind))
        out.push_back(std::move(d.name));
}

void list_audio_input_devices(std::vector<std::wstring>& out) {
    list_capture_devices(capture::device_kind::audio, out);
}

void list_video_input_devices(std::vector<std::wstring>& out) {
    list_capture_devices(capture::device_kind::video, out);
}

// --- what the rest of the program reaches ---

namespace {

hresult text_arg(dispparams& p, size_t i, std::wstring& out) {
    variant v;
    const hresult hr = change_type(v, p.arg(i), vt_bstr);
    if (succeeded(hr)) out = v.bstr();
    return hr;
}

hresult run_stream(scripting::webserver_object&, dispparams& p, variant*) {
    if (p.count() < 4) return disp_e_badparamcount;
    std::wstring profile, audio, video;
    hresult hr;
    if (failed(hr = text_arg(p, 0, profile)) || failed(hr = text_arg(p, 1, audio)) ||
        failed(hr = text_arg(p, 2, video)))
        return hr;
    variant port;
    if (failed(hr = change_type(port, p.arg(3), vt_i8))) return hr;
    return run_capture_stream(profile, audio, video, static_cast<uint32_t>(port.int_value()));
}

// The device lists of the Webserver's server objects: each name is both the
// property and its value.
bool device_list(const std::wstring& name, std::vector<std::wstring>& keys,
                 std::vector<std::wstring>& values) {
    if (name == L"audio_input_devices")
        list_audio_input_devices(values);
    else if (name == L"video_input_devices")
        list_video_input_devices(values);
    else
        return false;
    keys = values;
    return true;
}

class capture_services final : public start_services {
  public:
    void stop_capture_streams() override { media::stop_capture_streams(); }
};

} // namespace

void install_capture_streams() {
    static capture_services services;
    set_start_services(&services);
    scripting::the_webserver_extensions().run_stream = run_stream;
    scripting::the_webserver_extensions().server_list = device_list;
}

} // namespace media
