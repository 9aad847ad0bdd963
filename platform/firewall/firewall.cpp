#include "platform/firewall/firewall.h"

#include "core/format.h"
#include "core/text.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace firewall {

namespace {

constexpr char store_magic[] = "teskqvel firewall rules 1";

std::string escape(const std::wstring& w) {
    std::string s = cl::utf16_to_utf8(w), out;
    for (const char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::wstring unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char n = s[++i];
        out += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
    }
    return cl::utf8_to_utf16(out);
}

std::vector<std::string_view> split_tabs(std::string_view line) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const auto tab = line.find('\t', start);
        parts.push_back(line.substr(start, tab == line.npos ? line.npos : tab - start));
        if (tab == line.npos) break;
        start = tab + 1;
    }
    return parts;
}

bool parse_u32(std::string_view s, uint32_t& v) {
    if (s.empty() || s.size() > 10) return false;
    uint64_t x = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return false;
        x = x * 10 + uint64_t(c - '0');
    }
    if (x > 0xFFFFFFFFu) return false;
    v = uint32_t(x);
    return true;
}

bool write_all(int fd, const std::string& text) {
    std::size_t off = 0;
    while (off < text.size()) {
        const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += std::size_t(n);
    }
    return true;
}

// Serialises the read-change-write of the store between processes.
class store_lock {
  public:
    explicit store_lock(const std::wstring& store_path) {
        const std::string p = cl::utf16_to_utf8(store_path) + ".lock";
        fd_ = ::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~store_lock() {
        if (fd_ >= 0) ::close(fd_);
    }
    store_lock(const store_lock&) = delete;
    store_lock& operator=(const store_lock&) = delete;

  private:
    int fd_ = -1;
};

// Leading decimal digits of a token equal the port.
bool token_names_port(std::wstring_view token, uint32_t port) {
    token = cl::trimmed_w(token);
    if (token == L"*") return true;
    uint64_t v = 0;
    std::size_t digits = 0;
    while (digits < token.size() && token[digits] >= L'0' && token[digits] <= L'9' && v <= port) {
        v = v * 10 + uint64_t(token[digits] - L'0');
        ++digits;
    }
    return digits > 0 && v == port;
}

} // namespace

std::wstring port_rule_name(const std::wstring& name, uint32_t port, bool is_tcp) {
    return cl::format_wstr(L"%? %? %?", name, is_tcp ? L"TCP" : L"UDP", port);
}

bool rule_store::load() {
    rules.clear();
    unknown_lines_.clear();
    enabled_profiles = 7;
    error_ = 0;
    const std::string p = cl::utf16_to_utf8(path_);
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        error_ = errno;
        return false;
    }
    std::string text;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = errno;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        text.append(buf, std::size_t(n));
    }
    ::close(fd);

    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == text.npos) end = text.size();
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line == store_magic) continue;
        const auto parts = split_tabs(line);
        uint32_t v = 0;
        if (parts[0] == "profiles" && parts.size() == 2 && parse_u32(parts[1], v)) {
            enabled_profiles = v & 7;
            continue;
        }
        rule r;
        uint32_t enabled = 0;
        if (parts[0] == "rule" && parts.size() == 10 && parse_u32(parts[2], r.direction) &&
            parse_u32(parts[3], r.action) && parse_u32(parts[4], enabled) &&
            parse_u32(parts[5], r.profiles) && parse_u32(parts[6], r.protocol)) {
            r.name = unescape(parts[1]);
            r.enabled = enabled != 0;
            r.local_ports = unescape(parts[7]);
            r.application = unescape(parts[8]);
            r.service = unescape(parts[9]);
            rules.push_back(std::move(r));
            continue;
        }
        unknown_lines_.emplace_back(line);
    }
    return true;
}

bool rule_store::save() {
    std::string text = std::string(store_magic) + "\n";
    text += cl::format_str("profiles\t%?\n", enabled_profiles);
    for (const rule& r : rules)
        text += cl::format_str("rule\t%?\t%?\t%?\t%?\t%?\t%?\t%?\t%?\t%?\n", escape(r.name),
                               r.direction, r.action, r.enabled ? 1 : 0, r.profiles, r.protocol,
                               escape(r.local_ports), escape(r.application), escape(r.service));
    for (const std::string& line : unknown_lines_)
        text += line + "\n";

    const std::string target = cl::utf16_to_utf8(path_);
    std::string tmp = target + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    bool ok = ::fchmod(fd, 0644) == 0 && write_all(fd, text) && ::fsync(fd) == 0;
    if (!ok) error_ = errno;
    if (::close(fd) != 0 && ok) {
        error_ = errno;
        ok = false;
    }
    if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) {
        error_ = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    const auto slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool wfirewall_vista::open(uint32_t profile_types) {
    profile_types_ = profile_types & 7;
    open_ = load();
    return open_;
}

bool wfirewall_vista::load() {
    if (store_.load()) {
        last_result = s_ok;
        return true;
    }
    last_result = e_fail;
    return false;
}

bool wfirewall_vista::is_enabled() {
    if (!open_ || !load()) return false;
    return (store_.enabled_profiles & profile_types_) == profile_types_;
}

bool wfirewall_vista::set_enabled(bool wish) {
    if (!open_) return false;
    if (is_enabled() == wish) return true;
    store_lock lock(store_.path());
    if (!load()) return false;
    if (wish)
        store_.enabled_profiles |= profile_types_;
    else
        store_.enabled_profiles &= ~profile_types_;
    if (!store_.save()) {
        last_result = e_fail;
        return false;
    }
    return true;
}

std::optional<rule>
wfirewall_vista::for_each_rule(const std::function<bool(const rule&)>& predicate) {
    if (!predicate) std::abort();
    if (!open_ || !load()) return std::nullopt;
    for (const rule& r : store_.rules)
        if (predicate(r)) return r;
    return std::nullopt;
}

bool wfirewall_vista::rule_allows(const rule& r) const {
    return r.direction == direction_in && r.enabled &&
           (r.profiles & profile_types_) == profile_types_ && r.action == action_allow;
}

bool wfirewall_vista::port_matches(const rule& r, uint32_t port, uint32_t protocol) const {
    if (r.protocol != protocol || !r.application.empty() || !r.service.empty()) return false;
    std::wstring_view ports = r.local_ports;
    for (;;) {
        const auto comma = ports.find(L',');
        if (token_names_port(ports.substr(0, comma), port)) return true;
        if (comma == ports.npos) return false;
        ports.remove_prefix(comma + 1);
    }
}

bool wfirewall_vista::is_app_allowed(const std::wstring& path) {
    return for_each_rule([&](const rule& r) { return rule_allows(r) && r.application == path; })
        .has_value();
}

bool wfirewall_vista::is_port_open(uint32_t port, bool is_tcp) {
    const uint32_t protocol = is_tcp ? protocol_tcp : protocol_udp;
    return for_each_rule(
               [&](const rule& r) { return rule_allows(r) && port_matches(r, port, protocol); })
        .has_value();
}

bool wfirewall_vista::add_rule(rule r) {
    store_lock lock(store_.path());
    if (!load()) return false;
    store_.rules.push_back(std::move(r));
    if (!store_.save()) {
        last_result = e_fail;
        return false;
    }
    last_result = s_ok;
    return true;
}

bool wfirewall_vista::remove_rule(const std::function<bool(const rule&)>& predicate) {
    store_lock lock(store_.path());
    if (!load()) return false;
    const rule* found = nullptr;
    for (const rule& r : store_.rules)
        if (predicate(r)) {
            found = &r;
            break;
        }
    if (!found) return true;
    // Removal goes by name, as a rule collection removes: the first rule of
    // that name.
    const std::wstring name = found->name;
    for (auto it = store_.rules.begin(); it != store_.rules.end(); ++it)
        if (it->name == name) {
            store_.rules.erase(it);
            break;
        }
    if (!store_.save()) {
        last_result = e_fail;
        return false;
    }
    last_result = s_ok;
    return true;
}

bool wfirewall_vista::add_app(const std::wstring& path, const std::wstring& name) {
    if (!open_) return false;
    if (is_app_allowed(path)) return true;
    rule r;
    r.name = name;
    r.application = path;
    r.profiles = profile_types_;
    r.protocol = 256; // any protocol
    return add_rule(std::move(r));
}

bool wfirewall_vista::remove_app(const std::wstring& path) {
    if (!open_) return false;
    return remove_rule([&](const rule& r) { return rule_allows(r) && r.application == path; });
}

bool wfirewall_vista::add_port(uint32_t port, bool is_tcp, const std::wstring& name) {
    if (!open_) return false;
    if (is_port_open(port, is_tcp)) return true;
    rule r;
    r.name = port_rule_name(name, port, is_tcp);
    r.protocol = is_tcp ? protocol_tcp : protocol_udp;
    r.local_ports = std::to_wstring(port);
    r.profiles = profile_types_;
    return add_rule(std::move(r));
}

bool wfirewall_vista::remove_port(uint32_t port, bool is_tcp) {
    if (!open_) return false;
    const uint32_t protocol = is_tcp ? protocol_tcp : protocol_udp;
    return remove_rule(
        [&](const rule& r) { return rule_allows(r) && port_matches(r, port, protocol); });
}

bool wfirewall_vista::remove_port_rule(uint32_t port, bool is_tcp, const std::wstring& name) {
    if (!open_) return false;
    const uint32_t protocol = is_tcp ? protocol_tcp : protocol_udp;
    const std::wstring full = port_rule_name(name, port, is_tcp);
    return remove_rule(
        [&](const rule& r) { return r.name == full && port_matches(r, port, protocol); });
}

} // namespace firewall
