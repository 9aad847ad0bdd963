#include "media/network_sink.h"

#include "core/format.h"
#include "core/trace.h"
#include "platform/win32/time.h"

#include <algorithm>
#include <cstring>

namespace media {

using namespace automation;

// --- sample_buffer ---

hresult sample_buffer::set_length(uint32_t n) {
    if (n > data_.size()) return e_invalidarg;
    length_ = n;
    return s_ok;
}

hresult sample_buffer::set_property(const guid& id, const void* value, uint32_t size) {
    has_props_ = true;
    const auto* p = static_cast<const uint8_t*>(value);
    props_.push_back(property{id, p ? std::vector<uint8_t>(p, p + size) : std::vector<uint8_t>()});
    return s_ok;
}

hresult sample_buffer::copy_out(const property& p, void* buffer, uint32_t* size) {
    const auto stored = static_cast<uint32_t>(p.value.size());
    const uint32_t room = *size;
    *size = stored;
    if (!buffer || room < stored) return e_pointer;
    if (stored) std::memcpy(buffer, p.value.data(), stored);
    return s_ok;
}

hresult sample_buffer::get_property(const guid& id, void* buffer, uint32_t* size) const {
    if (!has_props_) return e_fail;
    for (const auto& p : props_)
        if (p.id == id) return copy_out(p, buffer, size);
    return ns_e_invalid_request;
}

hresult sample_buffer::get_property_by_index(uint32_t index, guid* id, void* buffer,
                                             uint32_t* size) const {
    if (!has_props_ || index >= props_.size()) return e_fail;
    if (id) *id = props_[index].id;
    return copy_out(props_[index], buffer, size);
}

// --- network_sink ---

network_sink::network_sink(tick_fn tick)
    : tick_(tick ? std::move(tick) : tick_fn(win32::get_tick_count)) {
    listener_.set_owner(this);
}

network_sink::~network_sink() {
    close();
    on_client_ = nullptr;
}

hresult network_sink::on_header(const sample_buffer* buffer) {
    {
        std::lock_guard hold(header_lock_);
        if (buffer) {
            if (header_tick_ == 0) header_tick_ = tick_();
            header_.assign(reinterpret_cast<const char*>(buffer->get_buffer()),
                           buffer->get_length());
        }
        have_header_ = true;
    }
    header_cv_.notify_all();
    return s_ok;
}

bool network_sink::wait_header(uint32_t ms) {
    std::unique_lock hold(header_lock_);
    return header_cv_.wait_for(hold, std::chrono::milliseconds(ms),
                               [this] { return have_header_; });
}

cl::sh_ptr<sample_buffer> network_sink::allocate_data_unit(uint32_t size) {
    return cl::sh_ptr<sample_buffer>(new sample_buffer(size));
}

void network_sink::trim_backlog(uint32_t now) {
    // Trimmed by each unit's own arrival time, so a slow start or a pause
    // does not stretch what a new client has to swallow, and a backlog left
    // from before a pause is never sent as if it were live.
    while (!backlog_.empty() && now - backlog_.front().tick > backlog_ms) {
        backlog_bytes_ -= backlog_.front().buffer->get_length();
        backlog_.pop_front();
    }
}

hresult network_sink::on_data_unit(const cl::sh_ptr<sample_buffer>& buffer, bool key_frame,
                                   const cl::sh_ptr<sample_buffer>& join) {
    if (!buffer) return s_ok;
    const uint32_t now = tick_();
    const uint32_t n = buffer->get_length();
    std::vector<cl::sh_ptr<stream_server>> clients;
    {
        std::lock_guard hold(clients_lock_);
        clients = clients_;
    }
    // The backlog and the live copies change under one lock, and a new
    // client takes the backlog and its started flag under the same lock:
    // a late joiner sees every unit exactly once.
    std::lock_guard hold(header_lock_);
    if (!have_data_) {
        have_data_ = true;
        first_data_tick_ = now;
        cl::trace_out.write(cl::format_str("encoder latency: %? ms\n", now - header_tick_));
    }
    total_bytes_ += n;
    backlog_.push_back(held_unit{buffer, now, key_frame, join});
    backlog_bytes_ += n;
    trim_backlog(now);
    const sample_buffer& first = join ? *join : *buffer;
    for (auto& c : clients) {
        if (!c->started()) continue;
        const auto waiting = std::find(waiting_key_.begin(), waiting_key_.end(), c.get());
        if (waiting == waiting_key_.end()) {
            c->queue_bytes(buffer->get_buffer(), n);
        } else if (key_frame) {
            c->queue_bytes(first.get_buffer(), first.get_length());
            waiting_key_.erase(waiting);
        }
    }
    return s_ok;
}

hresult network_sink::set_maximum_clients(uint32_t n) {
    set_max_stream_clients(n);
    return s_ok;
}

hresult network_sink::set_network_protocol(uint32_t protocol) {
    return protocol == 0 ? s_ok : e_notimpl;
}

hresult network_sink::get_host_url(wchar_t* buffer, uint32_t* length) const {
    const std::wstring text = host_url_ + L":" + port_text_;
    const auto need = static_cast<uint32_t>(text.size() + 1);
    const uint32_t room = *length;
    *length = need;
    if (!buffer || room < need) return ns_e_buffer_too_small;
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return s_ok;
}

hresult network_sink::open(uint32_t* port) {
    if (*port == 0) *port = 8000;
    port_text_ = std::to_wstring(*port);
    listener_.start(static_cast<int>(*port));
    set_max_stream_clients(50);
    return s_ok;
}

hresult network_sink::close() {
    disconnect();
    listener_.stop();
    listener_.stop_clients();
    return s_ok;
}

size_t network_sink::backlog_units() {
    std::lock_guard hold(header_lock_);
    return backlog_.size();
}

uint64_t network_sink::backlog_bytes() {
    std::lock_guard hold(header_lock_);
    return backlog_bytes_;
}

void network_sink::add_client(stream_server* client) {
    std::lock_guard hold(clients_lock_);
    clients_.emplace_back(client);
}

void network_sink::remove_client(stream_server* client) {
    {
        std::lock_guard hold(header_lock_);
        waiting_key_.erase(std::remove(waiting_key_.begin(), waiting_key_.end(), client),
                           waiting_key_.end());
    }
    std::lock_guard hold(clients_lock_);
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [&](const auto& c) { return c.get() == client; });
    if (it != clients_.end()) clients_.erase(it);
}

void network_sink::start_client(stream_server* client) {
    std::lock_guard hold(header_lock_);
    if (!header_.empty()) client->queue_bytes(header_.data(), header_.size());
    trim_backlog(tick_());
    // From the start of the newest run of key units: with a picture that is
    // its newest key frame; a stream whose every unit is a beginning (sound
    // alone) is sent whole.
    auto from = backlog_.end();
    for (auto it = backlog_.rbegin(); it != backlog_.rend(); ++it) {
        if (it->key)
            from = std::prev(it.base());
        else if (from != backlog_.end())
            break;
    }
    if (from == backlog_.end()) waiting_key_.push_back(client);
    for (auto it = from; it != backlog_.end(); ++it) {
        const sample_buffer& u = it == from && it->join ? *it->join : *it->buffer;
        client->queue_bytes(u.get_buffer(), u.get_length());
    }
    client->set_started();
}

void network_sink::client_connected(stream_server*) {
    if (on_client_) on_client_(true);
}

void network_sink::client_disconnected(stream_server*) {
    if (on_client_) on_client_(false);
}

} // namespace media
