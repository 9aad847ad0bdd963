// The firewall's inbound rules, kept in a rule store: a text file (in the
// program-data directory by default) that this program and the person who
// runs it can read and edit. A rule has the fields a rule of a desktop
// firewall has: a name, direction, action, enabled flag, profiles, protocol,
// local ports, program and service. The store also holds which profiles have
// the firewall switched on (all of them when the file does not exist yet).
//
// Every change reads the store again and writes it whole through a temporary
// file and rename, under a lock file beside it, so rules that others wrote
// in the meantime are kept and a failed write leaves the old store as it was.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace firewall {

constexpr uint32_t protocol_tcp = 6;
constexpr uint32_t protocol_udp = 17;
constexpr uint32_t direction_in = 1;
constexpr uint32_t direction_out = 2;
constexpr uint32_t action_block = 0;
constexpr uint32_t action_allow = 1;
constexpr uint32_t profile_domain = 1;
constexpr uint32_t profile_private = 2;
constexpr uint32_t profile_public = 4;

// HRESULTs left in last_result.
constexpr int32_t s_ok = 0;
constexpr int32_t e_fail = int32_t(0x80004005u);
constexpr int32_t e_not_open = int32_t(0x8000FFFFu);

struct rule {
    std::wstring name;
    uint32_t direction = direction_in;
    uint32_t action = action_allow;
    bool enabled = true;
    uint32_t profiles = 7;
    uint32_t protocol = protocol_tcp;
    std::wstring local_ports;
    std::wstring application;
    std::wstring service;
};

// The file: loaded whole, changed, saved whole.
class rule_store {
  public:
    explicit rule_store(std::wstring path) : path_(std::move(path)) {}
    const std::wstring& path() const { return path_; }

    // A missing file is an empty store with every profile switched on.
    // False (and errno kept in error()) when it exists but cannot be read.
    bool load();
    bool save();
    int error() const { return error_; }

    uint32_t enabled_profiles = 7;
    std::vector<rule> rules;

  private:
    std::wstring path_;
    // Lines the reader did not understand are written back as they came.
    std::vector<std::string> unknown_lines_;
    int error_ = 0;
};

// The firewall wrapper: construct, open, use, close (or destroy).
class wfirewall_base {
  public:
    virtual ~wfirewall_base() = default;
    virtual bool open(uint32_t profile_types) = 0;
    virtual void close() = 0;
    virtual bool is_enabled() = 0;
    virtual bool set_enabled(bool wish) = 0;
    virtual bool is_app_allowed(const std::wstring& path) = 0;
    virtual bool add_app(const std::wstring& path, const std::wstring& name) = 0;
    virtual bool remove_app(const std::wstring& path) = 0;
    virtual bool is_port_open(uint32_t port, bool is_tcp) = 0;
    virtual bool add_port(uint32_t port, bool is_tcp, const std::wstring& name) = 0;
    virtual bool remove_port(uint32_t port, bool is_tcp) = 0;

    int32_t last_result = s_ok;
};

// "%? %? %?": the caller's name, "TCP" or "UDP", the port.
std::wstring port_rule_name(const std::wstring& name, uint32_t port, bool is_tcp);

// The rule-policy flavour on the rule store.
class wfirewall_vista final : public wfirewall_base {
  public:
    explicit wfirewall_vista(std::wstring store_path) : store_(std::move(store_path)) {}

    bool open(uint32_t profile_types) override;
    void close() override { open_ = false; }
    bool is_enabled() override;
    bool set_enabled(bool wish) override;
    bool is_app_allowed(const std::wstring& path) override;
    bool add_app(const std::wstring& path, const std::wstring& name) override;
    bool remove_app(const std::wstring& path) override;
    bool is_port_open(uint32_t port, bool is_tcp) override;
    bool add_port(uint32_t port, bool is_tcp, const std::wstring& name) override;
    // Removes the first rule that opens the port, whoever made it.
    bool remove_port(uint32_t port, bool is_tcp) override;
    // Removes only the rule that add_port made with this name: a rule of the
    // same port under another name stays. True when there is no such rule.
    bool remove_port_rule(uint32_t port, bool is_tcp, const std::wstring& name);

    // The first rule the predicate accepts (after reading the store again).
    std::optional<rule> for_each_rule(const std::function<bool(const rule&)>& predicate);
    // Inbound, enabled, for every held profile, allowing.
    bool rule_allows(const rule& r) const;
    bool port_matches(const rule& r, uint32_t port, uint32_t protocol) const;

    uint32_t profile_types() const { return profile_types_; }

  private:
    bool load();
    bool add_rule(rule r);
    bool remove_rule(const std::function<bool(const rule&)>& predicate);

    rule_store store_;
    uint32_t profile_types_ = 0;
    bool open_ = false;
};

} // namespace firewall
