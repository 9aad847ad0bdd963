// The sink of a live stream's ASF writer: keeps the stream header and the last
// few seconds of data, and copies every data unit into the send queues of the
// clients of its own stream socket server.
#pragma once
#include "core/ref_cnt.h"
#include "media/stream_server.h"
#include "platform/automation/unknown.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace media {

using automation::hresult;

constexpr hresult ns_e_invalid_request = static_cast<hresult>(0xC00D0BCD);
constexpr hresult ns_e_buffer_too_small = static_cast<hresult>(0xC00D07D1);

// The buffer the writer fills with one data unit (or the header).
class sample_buffer : public cl::ref_cnt_shared {
  public:
    explicit sample_buffer(uint32_t size) : data_(size), length_(size) {}

    uint32_t get_length() const { return length_; }
    hresult set_length(uint32_t n);
    uint32_t get_max_length() const { return static_cast<uint32_t>(data_.size()); }
    uint8_t* get_buffer() { return data_.data(); }
    const uint8_t* get_buffer() const { return data_.data(); }

    hresult get_sample_properties(uint32_t, void*) const { return automation::e_notimpl; }
    hresult set_sample_properties(uint32_t, const void*) { return automation::e_notimpl; }
    // The first record of a property wins; later ones are kept but not found.
    hresult set_property(const automation::guid& id, const void* value, uint32_t size);
    hresult get_property(const automation::guid& id, void* buffer, uint32_t* size) const;
    uint32_t get_property_count() const { return static_cast<uint32_t>(props_.size()); }
    hresult get_property_by_index(uint32_t index, automation::guid* id, void* buffer,
                                  uint32_t* size) const;

  private:
    struct property {
        automation::guid id;
        std::vector<uint8_t> value;
    };
    static hresult copy_out(const property& p, void* buffer, uint32_t* size);

    std::vector<uint8_t> data_;
    uint32_t length_;
    bool has_props_ = false;
    std::vector<property> props_;
};

class network_sink : public stream_owner, public cl::ref_cnt_shared {
  public:
    using tick_fn = std::function<uint32_t()>; // milliseconds, wraps at 32 bits
    static constexpr uint32_t backlog_ms = 5000;

    explicit network_sink(tick_fn tick = {});
    ~network_sink() override;

    void set_host_url(const std::wstring& url) { host_url_ = url; }
    void set_content_type(const std::string& type) { content_type_ = type; }
    void set_client_callback(std::function<void(bool)> fn) { on_client_ = std::move(fn); }

    // The writer's side.
    hresult on_header(const sample_buffer* buffer);
    bool is_real_time() const { return true; }
    cl::sh_ptr<sample_buffer> allocate_data_unit(uint32_t size);
    // A player can begin its picture only at a key frame: a client that
    // joins starts at the newest run of key units of the backlog, or at the
    // next key unit when the backlog holds none.
    // A key unit may come with the form a joining client gets (`join`).
    hresult on_data_unit(const cl::sh_ptr<sample_buffer>& buffer, bool key_frame = true,
                         const cl::sh_ptr<sample_buffer>& join = {});
    hresult on_end_writing() { return automation::s_ok; }
    hresult set_maximum_clients(uint32_t n);
    uint32_t get_maximum_clients() const { return max_stream_clients(); }
    hresult set_network_protocol(uint32_t protocol);
    uint32_t get_network_protocol() const { return 0; }
    // `length` is in characters, the terminating zero included.
    hresult get_host_url(wchar_t* buffer, uint32_t* length) const;
    // A port of 0 becomes 8000. Succeeds even when nothing could listen.
    hresult open(uint32_t* port);
    hresult disconnect() { return automation::s_ok; }
    // Stops listening and ends every connection, waiting for their threads,
    // so no client thread outlives the sink.
    hresult close();

    // True once a header has arrived, waiting at most `ms`.
    bool wait_header(uint32_t ms);
    stream_listener& listener() { return listener_; }
    size_t backlog_units();
    uint64_t backlog_bytes();

    // stream_owner
    void add_client(stream_server* client) override;
    void remove_client(stream_server* client) override;
    void start_client(stream_server* client) override;
    void client_connected(stream_server* client) override;
    void client_disconnected(stream_server* client) override;
    std::string content_type() override { return content_type_; }

  private:
    struct held_unit {
        cl::sh_ptr<sample_buffer> buffer;
        uint32_t tick;
        bool key;
        cl::sh_ptr<sample_buffer> join; // what a client that begins here gets
    };
    // Drops the units older than the backlog's window (header lock held).
    void trim_backlog(uint32_t now);

    tick_fn tick_;
    std::wstring host_url_;
    std::wstring port_text_;
    std::mutex header_lock_; // the header, the backlog and the started clients
    std::string header_;
    bool have_header_ = false;
    std::condition_variable header_cv_;
    stream_listener listener_;
    std::mutex clients_lock_;
    std::vector<cl::sh_ptr<stream_server>> clients_;
    std::string content_type_;
    uint64_t total_bytes_ = 0;
    uint32_t header_tick_ = 0;
    uint32_t first_data_tick_ = 0;
    bool have_data_ = false;
    std::deque<held_unit> backlog_;
    // Started clients that wait for the next key unit.
    std::vector<stream_server*> waiting_key_;
    uint64_t backlog_bytes_ = 0;
    std::function<void(bool)> on_client_;
};

} // namespace media
