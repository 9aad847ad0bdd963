#include "core/text.h"
#include "core/trace.h"
#include "platform/automation/com_objects.h"
#include "platform/upnp/gena.h"
#include "platform/upnp/scpd.h"
#include "platform/upnp/ssdp.h"
#include "platform/upnp/upnp.h"
#include "platform/xml/xml.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

namespace upnp {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using automation::variant;

namespace {

std::mutex options_lock;
host_options options_value;

std::string random_uuid() {
    static std::mutex m;
    static std::mt19937_64 rng{std::random_device{}()};
    uint64_t a, b;
    {
        std::lock_guard<std::mutex> g(m);
        a = rng();
        b = rng();
    }
    a = (a & 0xFFFFFFFFFFFF0FFFull) | 0x0000000000004000ull; // version 4
    b = (b & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull; // variant 1
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", unsigned(a >> 32),
                  unsigned((a >> 16) & 0xFFFF), unsigned(a & 0xFFFF), unsigned(b >> 48),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
    return buf;
}

bool is_uuid_text(const std::string& s) {
    if (s.size() != 36) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

bool read_file(const std::string& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream s;
    s << f.rdbuf();
    out = s.str();
    return true;
}

bool plain_file_name(const std::string& s) {
    return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos &&
           s.find('\\') == std::string::npos;
}

// Replaces the text of the first <tag>...</tag> at or after from (before to).
bool replace_element_text(std::string& s, std::size_t from, std::size_t to, const std::string& tag,
                          const std::string& text, std::string* old = nullptr) {
    const std::string open = "<" + tag + ">", close = "</" + tag + ">";
    const std::size_t b = s.find(open, from);
    if (b == std::string::npos || b >= to) return false;
    const std::size_t e = s.find(close, b);
    if (e == std::string::npos || e >= to) return false;
    const std::size_t start = b + open.size();
    if (old) *old = s.substr(start, e - start);
    s.replace(start, e - start, text);
    return true;
}

std::string address_text(const asio::ip::address& a) {
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).to_string();
    return a.to_string();
}

class endpoint_info : public automation::iunknown<remote_endpoint_info_i> {
  public:
    endpoint_info(std::string remote, std::string local)
        : automation::iunknown<remote_endpoint_info_i>(iid_remote_endpoint_info),
          remote_(std::move(remote)), local_(std::move(local)) {}
    hresult get_string_value(const std::wstring& name, std::wstring* out) override {
        if (!out) return automation::e_pointer;
        if (name == L"RemoteAddress")
            *out = cl::utf8_to_utf16(remote_);
        else if (name == L"LocalAddress")
            *out = cl::utf8_to_utf16(local_);
        else
            return automation::e_invalidarg;
        return automation::s_ok;
    }

  private:
    std::string remote_, local_;
};

class device_host;

struct service_rec {
    std::string service_type, service_id, scpd_file;
    std::size_t index = 0; // 1-based, in the control and event paths
    service_description desc;
    automation::com_ptr<automation::idispatch_i> object;
    automation::com_ptr<event_source_i> source;
    automation::com_ptr<automation::iunknown_i> sink;
    gena_publisher events; // io thread only
};

struct device_rec {
    std::wstring id;
    std::string uuid;
    std::string description;
    std::map<std::string, std::string> files; // served beside the description
    std::vector<std::unique_ptr<service_rec>> services;
    automation::com_ptr<device_control_i> control;
    device_ad ad;
};

using http_request = http::request<http::string_body>;
using http_response = http::response<http::string_body>;

class http_session;

class device_host : public registrar {
  public:
    hresult register_running_device(const std::wstring& xml_desc, device_control_i* control,
                                    const std::wstring& init_string,
                                    const std::wstring& resource_path, int32_t lifetime,
                                    std::wstring* device_id) override {
        if (!device_id) return automation::e_pointer;
        const std::string uuid = random_uuid();
        const hresult hr =
            add_device(uuid, xml_desc, control, init_string, resource_path, lifetime);
        if (automation::succeeded(hr)) *device_id = cl::utf8_to_utf16(uuid);
        return hr;
    }
    hresult reregister_running_device(const std::wstring& device_id, const std::wstring& xml_desc,
                                      device_control_i* control, const std::wstring& init_string,
                                      const std::wstring& resource_path,
                                      int32_t lifetime) override {
        const std::string uuid = cl::utf16_to_utf8(device_id);
        if (!is_uuid_text(uuid)) return upnp_e_device_not_found;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (devices_.count(uuid)) return upnp_e_device_running;
        }
        return add_device(uuid, xml_desc, control, init_string, resource_path, lifetime);
    }
    hresult get_unique_device_name(const std::wstring& device_id, const std::wstring&,
                                   std::wstring* udn) override {
        if (!udn) return automation::e_pointer;
        if (!is_uuid_text(cl::utf16_to_utf8(device_id))) return upnp_e_device_not_found;
        *udn = L"uuid:" + device_id;
        return automation::s_ok;
    }
    hresult unregister_device(const std::wstring& device_id, bool) override {
        const std::string uuid = cl::utf16_to_utf8(device_id);
        std::shared_ptr<device_rec> d;
        bool last = false;
        {
            std::lock_guard<std::mutex> g(lock_);
            auto it = devices_.find(uuid);
            if (it == devices_.end()) return upnp_e_device_not_found;
            d = it->second;
            devices_.erase(it);
            last = devices_.empty();
        }
        run_on_io([&] {
            ssdp_->remove(uuid);
            for (auto& s : d->services)
                s->events.clear();
        });
        release_services(*d);
        if (last) stop();
        return automation::s_ok;
    }

    std::shared_ptr<device_rec> find(const std::string& uuid) {
        std::lock_guard<std::mutex> g(lock_);
        auto it = devices_.find(uuid);
        return it == devices_.end() ? nullptr : it->second;
    }
    void handle(http_request req, const std::shared_ptr<http_session>& session);
    void state_changed(const std::string& uuid, std::size_t service_index,
                       std::vector<automation::dispid> ids);
    asio::io_context& io() { return *io_; }

  private:
    hresult add_device(const std::string& uuid, const std::wstring& xml_desc,
                       device_control_i* control, const std::wstring& init_string,
                       const std::wstring& resource_path, int32_t lifetime);
    hresult build_record(device_rec& d, const std::wstring& xml_desc,
                         const std::wstring& resource_path);
    bool start(std::string& error);
    void stop();
    void accept();
    void release_services(device_rec& d) {
        for (auto& s : d.services) {
            if (s->source && s->sink) s->source->unadvise(s->sink.get());
            s->source.reset();
            s->sink.reset();
            s->object.reset();
        }
        d.control.reset();
    }
    template <class F> void run_on_io(F&& f) {
        if (!io_) return;
        std::promise<void> done;
        asio::post(*io_, [&] {
            f();
            done.set_value();
        });
        done.get_future().wait();
    }
    void soap(http_request req, const std::shared_ptr<http_session>& session,
              std::shared_ptr<device_rec> d, service_rec* s);
    void subscribe(const http_request& req, const std::shared_ptr<http_session>& session,
                   std::shared_ptr<device_rec> d, service_rec& s);

    std::mutex start_lock_; // start and stop
    std::mutex lock_;       // the device map
    std::map<std::string, std::shared_ptr<device_rec>> devices_;
    std::unique_ptr<asio::io_context> io_;
    std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    std::unique_ptr<tcp::acceptor> acceptor_;
    std::unique_ptr<ssdp_service> ssdp_;
    std::unique_ptr<asio::thread_pool> workers_;
    std::thread io_thread_;
    host_options opts_;
};

device_host& the_host() {
    static device_host* host = new device_host; // lives as long as the process
    return *host;
}

class event_sink : public automation::iunknown<event_sink_i> {
  public:
    event_sink(std::string uuid, std::size_t index)
        : automation::iunknown<event_sink_i>(iid_event_sink), uuid_(std::move(uuid)),
          index_(index) {}
    hresult on_state_changed(uint32_t count, const automation::dispid* ids) override {
        if (count && !ids) return automation::e_pointer;
        the_host().state_changed(uuid_, index_, std::vector<automation::dispid>(ids, ids + count));
        return automation::s_ok;
    }

  private:
    std::string uuid_;
    std::size_t index_;
};

class http_session : public std::enable_shared_from_this<http_session> {
  public:
    explicit http_session(tcp::socket socket) : stream_(std::move(socket)) {
        boost::system::error_code ec;
        const auto r = stream_.socket().remote_endpoint(ec);
        if (!ec) remote_ = address_text(r.address());
        const auto l = stream_.socket().local_endpoint(ec);
        if (!ec) local_ = address_text(l.address());
    }
    void read() {
        parser_.emplace();
        parser_->body_limit(256 * 1024);
        parser_->header_limit(16 * 1024);
        stream_.expires_after(std::chrono::seconds(30));
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             if (ec) return self->close();
                             self->keep_alive_ = self->parser_->keep_alive();
                             the_host().handle(self->parser_->release(), self);
                         });
    }
    // Sends the answer, runs after once it is written, then reads the next
    // request. May be called from any thread.
    void send(http_response res, std::function<void()> after = nullptr) {
        asio::post(stream_.get_executor(), [self = shared_from_this(), res = std::move(res),
                                            after = std::move(after)]() mutable {
            res.set(http::field::server, "Linux UPnP/1.0 teskqvel/1.0");
            res.keep_alive(self->keep_alive_);
            res.prepare_payload();
            auto msg = std::make_shared<http_response>(std::move(res));
            self->stream_.expires_after(std::chrono::seconds(30));
            http::async_write(
                self->stream_, *msg,
                [self, msg, after = std::move(after)](beast::error_code ec, std::size_t) {
                    if (after) after();
                    if (ec || !self->keep_alive_) return self->close();
                    self->read();
                });
        });
    }
    const std::string& remote() const { return remote_; }
    const std::string& local() const { return local_; }

  private:
    void close() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.close();
    }
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool keep_alive_ = false;
    std::string remote_, local_;
};

http_response make_response(http::status status, std::string body = {},
                            std::string content_type = {}) {
    http_response r{status, 11};
    if (!content_type.empty()) r.set(http::field::content_type, content_type);
    r.body() = std::move(body);
    return r;
}

hresult device_host::build_record(device_rec& d, const std::wstring& xml_desc,
                                  const std::wstring& resource_path) {
    std::string desc = cl::utf16_to_utf8(xml_desc);
    xml::document doc;
    if (!doc.load(desc)) return upnp_e_invalid_document;
    doc.set_selection_namespaces("xmlns:d=\"urn:schemas-upnp-org:device-1-0\"");
    auto text_of = [&](const char* path) {
        std::vector<xml::node> n;
        std::string t;
        if (doc.select(doc.root(), path, n) && !n.empty()) n.front().text(t);
        return t;
    };
    d.ad.device_type = text_of("/d:root/d:device/d:deviceType");
    const std::string template_udn = text_of("/d:root/d:device/d:UDN");
    if (d.ad.device_type.empty() || template_udn.empty()) return upnp_e_invalid_document;
    const std::string base = "/upnphost/" + d.uuid + "/";
    std::string dir = cl::utf16_to_utf8(resource_path);
    if (!dir.empty() && dir.back() != '/') dir += '/';

    const std::size_t udn_at = desc.find("<UDN>");
    if (udn_at == std::string::npos ||
        !replace_element_text(desc, udn_at, desc.size(), "UDN", "uuid:" + d.uuid))
        return upnp_e_invalid_document;

    // Services, in document order; each block gets its own paths.
    std::size_t pos = 0;
    for (std::size_t index = 1;; ++index) {
        const std::size_t b = desc.find("<service>", pos);
        if (b == std::string::npos) break;
        std::size_t e = desc.find("</service>", b);
        if (e == std::string::npos) return upnp_e_invalid_document;
        auto s = std::make_unique<service_rec>();
        s->index = index;
        const std::string prefix = base + std::to_string(index) + "/";
        std::string scpd;
        if (!replace_element_text(desc, b, e, "serviceType", "", &s->service_type))
            return upnp_e_invalid_document;
        replace_element_text(desc, b, e, "serviceType", s->service_type);
        e = desc.find("</service>", b);
        replace_element_text(desc, b, e, "serviceId", "", &s->service_id);
        replace_element_text(desc, b, e, "serviceId", s->service_id);
        e = desc.find("</service>", b);
        if (!replace_element_text(desc, b, e, "SCPDURL", base + "x", &scpd) ||
            !plain_file_name(scpd))
            return upnp_e_invalid_document;
        e = desc.find("</service>", b);
        replace_element_text(desc, b, e, "SCPDURL", base + scpd);
        e = desc.find("</service>", b);
        if (!replace_element_text(desc, b, e, "controlURL", prefix + "control"))
            return upnp_e_invalid_document;
        e = desc.find("</service>", b);
        if (!replace_element_text(desc, b, e, "eventSubURL", prefix + "event"))
            return upnp_e_invalid_document;
        e = desc.find("</service>", b);
        std::string content;
        if (!read_file(dir + scpd, content)) return upnp_e_invalid_document;
        std::string why;
        if (!parse_scpd(content, s->desc, &why)) {
            cl::trace_out.write("upnp host: " + scpd + ": " + why + "\n");
            return upnp_e_invalid_document;
        }
        d.files[scpd] = std::move(content);
        s->scpd_file = scpd;
        d.ad.services.push_back(s->service_type);
        d.services.push_back(std::move(s));
        pos = e;
    }
    // Icons: files of the resource path too.
    pos = desc.find("<iconList>");
    while (pos != std::string::npos) {
        const std::size_t b = desc.find("<url>", pos);
        const std::size_t list_end = desc.find("</iconList>", pos);
        if (b == std::string::npos || list_end == std::string::npos || b > list_end) break;
        std::string name;
        replace_element_text(desc, b, list_end, "url", "", &name);
        std::string content;
        if (!plain_file_name(name) || !read_file(dir + name, content))
            return upnp_e_invalid_document;
        replace_element_text(desc, b, desc.find("</iconList>", pos), "url", base + name);
        d.files[name] = std::move(content);
        pos = desc.find("</url>", b);
    }
    d.description = std::move(desc);
    d.ad.uuid = d.uuid;
    d.ad.location_path = description_path(d.id);
    return automation::s_ok;
}

hresult device_host::add_device(const std::string& uuid, const std::wstring& xml_desc,
                                device_control_i* control, const std::wstring& init_string,
                                const std::wstring& resource_path, int32_t lifetime) {
    if (!control) return automation::e_pointer;
    auto d = std::make_shared<device_rec>();
    d->uuid = uuid;
    d->id = cl::utf8_to_utf16(uuid);
    d->ad.max_age = lifetime > 0 ? lifetime : 1800;
    hresult hr = build_record(*d, xml_desc, resource_path);
    if (automation::failed(hr)) return hr;

    std::string error;
    if (!start(error)) {
        cl::trace_out.write("upnp host: " + error + "\n");
        return upnp_e_network_error;
    }
    auto fail = [&](hresult h) {
        release_services(*d);
        bool none = false;
        {
            std::lock_guard<std::mutex> g(lock_);
            none = devices_.empty();
        }
        if (none) stop();
        return h;
    };
    d->control = automation::com_ptr<device_control_i>(control);
    hr = control->initialize(xml_desc, d->id, init_string);
    if (automation::failed(hr)) return fail(hr);
    const std::wstring udn = L"uuid:" + d->id;
    for (auto& s : d->services) {
        automation::idispatch_i* obj = nullptr;
        hr = control->get_service_object(udn, cl::utf8_to_utf16(s->service_id), &obj);
        if (automation::failed(hr) || !obj)
            return fail(automation::failed(hr) ? hr : automation::e_fail);
        s->object.attach(obj);
        void* src = nullptr;
        if (automation::succeeded(obj->query_interface(iid_event_source, &src)) && src) {
            s->source.attach(static_cast<event_source_i*>(src));
            s->sink = automation::com_ptr<automation::iunknown_i>(new event_sink(uuid, s->index));
            hr = s->source->advise(s->sink.get());
            if (automation::failed(hr)) return fail(hr);
        }
        for (const state_variable& v : s->desc.variables)
            if (v.send_events) s->events.evented.push_back(v);
        s->events.service = s->object;
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        if (devices_.count(uuid)) return fail(upnp_e_device_running);
        devices_[uuid] = d;
    }
    run_on_io([&] { ssdp_->add(d->ad); });
    return automation::s_ok;
}

bool device_host::start(std::string& error) {
    std::lock_guard<std::mutex> g(start_lock_);
    if (io_) return true;
    {
        std::lock_guard<std::mutex> o(options_lock);
        opts_ = options_value;
    }
    auto io = std::make_unique<asio::io_context>(1);
    auto acceptor = std::make_unique<tcp::acceptor>(*io);
    boost::system::error_code ec;
    // Both address families on one socket where the system has IPv6.
    acceptor->open(tcp::v6(), ec);
    if (!ec) {
        acceptor->set_option(boost::asio::ip::v6_only(false), ec);
        acceptor->set_option(asio::socket_base::reuse_address(true), ec);
        acceptor->bind(tcp::endpoint(tcp::v6(), opts_.http_port), ec);
        if (ec == asio::error::address_family_not_supported ||
            ec == boost::system::errc::address_not_available) {
            acceptor->close(ec);
            ec = asio::error::address_family_not_supported;
        }
    }
    if (ec && !acceptor->is_open()) {
        acceptor->open(tcp::v4(), ec);
        if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) acceptor->bind(tcp::endpoint(tcp::v4(), opts_.http_port), ec);
    }
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "http port " + std::to_string(opts_.http_port) + ": " + ec.message();
        return false;
    }
    auto ssdp =
        std::make_unique<ssdp_service>(*io, opts_.ssdp_port, opts_.http_port, opts_.renew_share);
    if (!ssdp->open(error)) return false; // the acceptor closes with its object
    io_ = std::move(io);
    acceptor_ = std::move(acceptor);
    ssdp_ = std::move(ssdp);
    work_ = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
        io_->get_executor());
    workers_ = std::make_unique<asio::thread_pool>(2);
    ssdp_->start();
    accept();
    io_thread_ = std::thread([io = io_.get()] {
        for (;;) {
            try {
                io->run();
                return;
            } catch (const std::exception& e) {
                cl::trace_out.write(std::string("upnp host: ") + e.what() + "\n");
            }
        }
    });
    return true;
}

void device_host::stop() {
    std::lock_guard<std::mutex> g(start_lock_);
    if (!io_) return;
    run_on_io([&] {
        boost::system::error_code ec;
        acceptor_->close(ec);
        ssdp_->close();
    });
    workers_->join();
    work_.reset();
    io_->stop();
    io_thread_.join();
    workers_.reset();
    acceptor_.reset();
    ssdp_.reset();
    io_.reset(); // drops the sessions still waiting
}

void device_host::accept() {
    acceptor_->async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_->is_open()) return;
        if (!ec) std::make_shared<http_session>(std::move(socket))->read();
        accept();
    });
}

void device_host::handle(http_request req, const std::shared_ptr<http_session>& session) {
    const std::string target(req.target());
    // /upnphost/<uuid>/<file> or /upnphost/<uuid>/<n>/control|event
    std::vector<std::string> parts;
    {
        std::size_t p = 1;
        while (p <= target.size()) {
            std::size_t e = target.find('/', p);
            if (e == std::string::npos) e = target.size();
            parts.push_back(target.substr(p, e - p));
            p = e + 1;
        }
    }
    std::shared_ptr<device_rec> d;
    if (parts.size() >= 3 && parts[0] == "upnphost") d = find(parts[1]);
    if (!d) return session->send(make_response(http::status::not_found));
    if (parts.size() == 3) {
        if (req.method() != http::verb::get && req.method() != http::verb::head)
            return session->send(make_response(http::status::method_not_allowed));
        const std::string ctype = "text/xml; charset=\"utf-8\"";
        if (parts[2] == "desc.xml")
            return session->send(make_response(http::status::ok, d->description, ctype));
        auto f = d->files.find(parts[2]);
        if (f == d->files.end()) return session->send(make_response(http::status::not_found));
        const bool png = f->first.size() > 4 && f->first.substr(f->first.size() - 4) == ".png";
        return session->send(make_response(http::status::ok, f->second, png ? "image/png" : ctype));
    }
    service_rec* s = nullptr;
    if (parts.size() == 4)
        for (auto& svc : d->services)
            if (std::to_string(svc->index) == parts[2]) s = svc.get();
    if (!s) return session->send(make_response(http::status::not_found));
    if (parts[3] == "control") {
        if (req.method() != http::verb::post)
            return session->send(make_response(http::status::method_not_allowed));
        // The call can take long (a large folder): never on the io thread.
        asio::post(*workers_, [this, req = std::move(req), session, d, s]() mutable {
            soap(std::move(req), session, d, s);
        });
        return;
    }
    if (parts[3] == "event") return subscribe(req, session, d, *s);
    session->send(make_response(http::status::not_found));
}

void device_host::soap(http_request req, const std::shared_ptr<http_session>& session,
                       std::shared_ptr<device_rec> d, service_rec* s) {
    (void)d; // held so that the device outlives the call
    const std::string ctype = "text/xml; charset=\"utf-8\"";
    auto fault = [&](int code) {
        session->send(make_response(http::status::internal_server_error,
                                    soap_fault(code, upnp_error_text(code)), ctype));
    };
    soap_call call;
    if (!parse_soap_request(req.body(), call)) return fault(401);
    const action* act = s->desc.find_action(call.action);
    if (!act) return fault(401);
    const std::string soap_action(req[http::field::soapaction]);
    if (!soap_action.empty() && soap_action.find("#" + call.action) == std::string::npos)
        return fault(401);

    std::vector<variant> args;
    std::size_t outs = 0;
    for (const action_argument& a : act->args) {
        if (a.out) {
            args.emplace_back();
            ++outs;
            continue;
        }
        const auto it = std::find_if(call.args.begin(), call.args.end(),
                                     [&](const auto& p) { return p.first == a.name; });
        if (it == call.args.end()) return fault(402);
        variant v;
        if (!value_from_text(it->second, s->desc.find_variable(a.related)->data_type, v))
            return fault(402);
        args.push_back(std::move(v));
    }
    automation::idispatch_i* obj = s->object.get();
    automation::dispid id = 0;
    const std::wstring name = cl::utf8_to_utf16(call.action);
    if (automation::failed(obj->get_ids_of_names(automation::iid_null, &name, 1,
                                                 automation::lcid_user_default, &id)))
        return fault(401);
    // A member that takes one argument more than the description lists wants
    // to know who is calling.
    const automation::type_info* ti = nullptr;
    if (automation::succeeded(obj->get_type_info(0, automation::lcid_user_default, &ti)) && ti)
        if (const automation::member_desc* m = ti->find(id); m && m->max_args == args.size() + 1)
            args.insert(
                args.begin(),
                variant::from_unknown(automation::com_ptr<automation::iunknown_i>(
                                          new endpoint_info(session->remote(), session->local()))
                                          .get()));
    const std::size_t first_arg = args.size() - act->args.size();
    automation::dispparams params = automation::dispparams::of(std::move(args));
    variant result;
    automation::excepinfo ei;
    uint32_t arg_err = 0;
    const hresult hr = obj->invoke(id, automation::iid_null, automation::lcid_user_default,
                                   automation::dispatch_method, params, &result, &ei, &arg_err);
    if (automation::failed(hr)) {
        const uint32_t u = static_cast<uint32_t>(hr);
        if (u >= static_cast<uint32_t>(upnp_e_action_specific_base) &&
            u <= static_cast<uint32_t>(upnp_e_action_specific_max))
            return fault(600 + int(u - static_cast<uint32_t>(upnp_e_action_specific_base)));
        if (hr == automation::e_notimpl) return fault(602);
        if (hr == automation::disp_e_badparamcount || hr == automation::disp_e_typemismatch ||
            hr == automation::e_invalidarg)
            return fault(402);
        if (hr == automation::disp_e_membernotfound) return fault(401);
        return fault(501);
    }
    // The texts are viewed where they lie (a Browse result in its byte array)
    // and escaped once, into the envelope.
    named_views outs_text;
    std::vector<std::string> made(outs);
    for (std::size_t i = 0, o = 0; i < act->args.size(); ++i) {
        const action_argument& a = act->args[i];
        if (!a.out) continue;
        std::string_view t;
        if (!value_text_view(params.arg(first_arg + i), s->desc.find_variable(a.related)->data_type,
                             made[o++], t))
            return fault(501);
        outs_text.emplace_back(a.name, t);
    }
    session->send(make_response(http::status::ok,
                                soap_response(s->service_type, call.action, outs_text), ctype));
}

void device_host::subscribe(const http_request& req, const std::shared_ptr<http_session>& session,
                            std::shared_ptr<device_rec> d, service_rec& s) {
    gena_request g;
    g.subscribe = req.method() == http::verb::subscribe;
    if (!g.subscribe && req.method() != http::verb::unsubscribe)
        return session->send(make_response(http::status::method_not_allowed));
    g.sid = std::string(req["SID"]);
    g.nt = std::string(req["NT"]);
    g.callback = std::string(req["CALLBACK"]);
    g.timeout = std::string(req["TIMEOUT"]);
    g.subscriber = session->remote();
    gena_answer a = s.events.handle(g, std::chrono::steady_clock::now());
    http_response res = make_response(static_cast<http::status>(a.status));
    if (a.status == 200 && g.subscribe) {
        res.set("SID", a.sid);
        res.set("TIMEOUT", "Second-" + std::to_string(a.timeout_seconds));
    }
    std::function<void()> after;
    if (a.initial_event) {
        // The first event follows the answer that tells the subscriber its SID.
        after = [d, &s, sid = a.sid, io = io_.get()] {
            asio::post(*io, [d, &s, sid, io] { s.events.send_initial(*io, sid); });
        };
    }
    session->send(std::move(res), std::move(after));
}

void device_host::state_changed(const std::string& uuid, std::size_t index,
                                std::vector<automation::dispid> ids) {
    std::shared_ptr<device_rec> d = find(uuid);
    std::lock_guard<std::mutex> g(start_lock_);
    if (!d || !io_) return;
    asio::post(*io_, [d, index, ids = std::move(ids), io = io_.get()] {
        for (auto& s : d->services)
            if (s->index == index) s->events.publish(*io, ids);
    });
}

} // namespace

void set_host_options(const host_options& options) {
    std::lock_guard<std::mutex> g(options_lock);
    options_value = options;
}

host_options get_host_options() {
    std::lock_guard<std::mutex> g(options_lock);
    return options_value;
}

hresult create_registrar(std::shared_ptr<registrar>* out) {
    if (!out) return automation::e_pointer;
    *out = std::shared_ptr<registrar>(&the_host(), [](registrar*) {});
    return automation::s_ok;
}

std::string description_path(const std::wstring& device_id) {
    return "/upnphost/" + cl::utf16_to_utf8(device_id) + "/desc.xml";
}

} // namespace upnp
