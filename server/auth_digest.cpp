#include "server/auth_digest.h"

#include "core/format.h"
#include "core/lcg_random.h"
#include "core/md5.h"
#include "core/sync.h"
#include "core/text.h"
#include "server/config/path_lookup.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <algorithm>
#include <ctime>
#include <deque>
#include <unordered_map>

namespace {

constexpr int64_t nonce_lifetime_s = 901;
constexpr int32_t purge_period_ms = 4000;
// A flood of unanswered challenges must not grow the table without bound;
// about 150 bytes a nonce.
constexpr std::size_t default_nonce_limit = 50000;
constexpr uint32_t max_nonce_count = 32;
constexpr uint32_t used_up = 0xFFFFFFFFu;

struct nonce_entry {
    uint32_t used = 0; // bit n-1: nonce count n was accepted
    int64_t created = 0;
};

struct nonce_table {
    cl::critical_section lock;
    std::unordered_map<std::string, nonce_entry> map;
    // Creation order, so the oldest is found at once for the purge and when
    // the table is full. Nonces are made with a clock that only moves
    // forward here, so the front is always the oldest.
    std::deque<std::pair<int64_t, std::string>> order;
    std::size_t limit = default_nonce_limit;
    std::string secret;
};

// Kept for the life of the process: an armed id must not be destroyed after
// the timers it names.
cl::timer_id& purge_timer() {
    static cl::timer_id* id = new cl::timer_id;
    return *id;
}

nonce_table& table() {
    static nonce_table t;
    return t;
}

int64_t now_s() {
    return static_cast<int64_t>(std::time(nullptr));
}

// Erases the front of the order list while `drop` says so; lock held.
template <class Pred> void drop_front(nonce_table& t, Pred drop) {
    while (!t.order.empty() && drop(t.order.front().first)) {
        auto it = t.map.find(t.order.front().second);
        // An entry may have been made anew under the same text; only the
        // record of this creation goes.
        if (it != t.map.end() && it->second.created == t.order.front().first) t.map.erase(it);
        t.order.pop_front();
    }
}

bool same_bytes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string lower_hex_only(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The "uri" of a Digest answer must name the request's own target, so an
// answer captured for one resource cannot open another. Clients that leave
// the query out are accepted too.
bool uri_matches(const std::string& uri, const std::string& target) {
    if (target.empty() || uri.empty()) return false;
    if (uri == target) return true;
    const std::size_t q = target.find('?');
    return q != std::string::npos && uri == target.substr(0, q);
}

std::string digest_ha1(const digest_input& in);
std::string digest_kd_for(const std::string& ha1, const digest_input& in, std::string_view method);

class basic_digest_scheme final : public auth_scheme {
  public:
    std::string user_name(const access_checker& checker, int32_t auth_type) override {
        if (auth_type == auth_digest) return auth_param(checker.authorization(), "username");
        return basic_part(checker.authorization(), true);
    }

    void add_challenge(access_checker& checker, int32_t auth_type, const std::string& realm,
                       bool stale) override {
        std::string params = "realm=" + quote_string(realm);
        if (auth_type != auth_basic) {
            const std::string domain = server_config::url_escape_path(
                domain_path(checker.config().directory, public_dir()));
            params += ", domain=" + quote_string(domain);
            params += ", nonce=" + quote_string(new_digest_nonce());
            params += ", opaque=" + quote_string(md5_hex(realm + digest_secret()));
            params += stale ? ", stale=true" : ", stale=false";
            params += ", qop=\"auth\"";
        }
        const char* scheme = auth_type_names[auth_type == auth_basic ? auth_basic : auth_digest];
        checker.challenge_headers().add("WWW-Authenticate", std::string(scheme) + " " + params);
    }

    bool verify(access_checker& checker, int32_t auth_type, const std::string& realm,
                const std::string& password, bool& stale) override {
        stale = false;
        const std::string& header = checker.authorization();
        if (auth_type == auth_basic) {
            const std::string given = basic_part(header, false);
            return !given.empty() && same_bytes(given, password);
        }
        digest_input in;
        in.nonce = auth_param(header, "nonce");
        if (in.nonce.empty() || !digest_nonce_known(in.nonce)) return false;
        if (auth_param(header, "opaque") != md5_hex(realm + digest_secret())) return false;
        in.qop = auth_param(header, "qop");
        if (!in.qop.empty() && in.qop != "auth") return false;
        if (auth_param(header, "realm") != realm) return false;
        in.uri = auth_param(header, "uri");
        if (!uri_matches(in.uri, checker.info().uri)) return false;
        in.user = auth_param(header, "username");
        in.realm = realm;
        in.password = password;
        in.method = checker.info().method;
        if (in.method.empty()) in.method = cl::utf16_to_utf8(checker.config().method);
        if (!in.qop.empty()) {
            in.nc = auth_param(header, "nc");
            in.cnonce = auth_param(header, "cnonce");
        }
        const std::string ha1 = digest_ha1(in);
        if (!same_bytes(lower_hex_only(auth_param(header, "response")),
                        digest_kd_for(ha1, in, in.method)))
            return false;

        uint32_t nc = 0;
        if (!in.qop.empty()) {
            nc = cl::rstring_hex_to_int(in.nc);
            if (nc == 0 || nc > max_nonce_count) {
                stale = true;
                return false;
            }
        }
        // Without qop there is no nonce count to tell a replay from a new
        // request, so such an answer is good once, with a nonce never used.
        switch (use_digest_nonce(in.nonce, nc)) {
        case nonce_use::unknown:
            return false;
        case nonce_use::stale:
            stale = true;
            return false;
        case nonce_use::accepted:
            break;
        }
        std::string info = "qop=\"auth\", rspauth=" + quote_string(digest_kd_for(ha1, in, ""));
        if (!in.qop.empty()) info += ", cnonce=" + quote_string(in.cnonce) + ", nc=" + in.nc;
        checker.success_headers().add("Authentication-Info", info);
        return true;
    }
};

basic_digest_scheme the_scheme;

} // namespace

std::string md5_hex(std::string_view bytes) {
    cl::md5 m;
    m.update(bytes);
    return m.hex();
}

std::string digest_kd(std::string_view a, std::string_view b) {
    cl::md5 m;
    m.update(a);
    m.update(":");
    m.update(b);
    return m.hex();
}

std::string quote_string(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    out += text;
    out += '"';
    return out;
}

std::string auth_param(std::string_view header, std::string_view name) {
    const std::size_t at = cl::rstring_find_unquoted(header, name, ',');
    if (at == std::string_view::npos) return {};
    std::size_t i = at + name.size();
    const std::size_t n = header.size();
    while (i < n && cl::is_space(header[i]))
        ++i;
    if (i >= n || header[i] != '=') return {};
    ++i;
    while (i < n && cl::is_space(header[i]))
        ++i;
    std::string value;
    if (i < n && header[i] == '"') {
        for (++i; i < n && header[i] != '"'; ++i) {
            if (header[i] == '\\' && i + 1 < n) ++i;
            value += header[i];
        }
    } else {
        const std::size_t end = header.find(',', i);
        value.assign(header.substr(i, end == std::string_view::npos ? n - i : end - i));
    }
    return std::string(cl::trimmed(value));
}

std::string basic_part(std::string_view header, bool user) {
    if (header.size() < 5 || !cl::iequals(header.substr(0, 5), "Basic")) return {};
    const std::string decoded = cl::base64_decode(cl::trimmed(header.substr(5)));
    const std::size_t colon = decoded.find(':');
    if (colon == std::string::npos) return {};
    std::string_view part = std::string_view(decoded);
    part = user ? part.substr(0, colon) : part.substr(colon + 1);
    return std::string(cl::trimmed(part));
}

std::string domain_path(const std::wstring& directory, const std::wstring& document_root) {
    if (document_root.empty() || directory.size() < document_root.size() ||
        directory.compare(0, document_root.size(), document_root) != 0)
        return "/";
    std::wstring rest = directory.substr(document_root.size() - 1);
    rest[0] = L'/';
    for (wchar_t& c : rest)
        if (c == L'\\') c = L'/';
    return cl::utf16_to_utf8(rest);
}

namespace {

std::string digest_ha1(const digest_input& in) {
    cl::md5 m;
    for (std::string_view part :
         {std::string_view(in.user), std::string_view(":"), std::string_view(in.realm),
          std::string_view(":"), std::string_view(in.password)})
        m.update(part);
    return m.hex();
}

// KD(HA1, nonce ":" nc ":" cnonce ":" qop ":" HA2), or without qop
// KD(HA1, nonce ":" HA2); HA2 is the MD5 of the method (empty for rspauth),
// ":" and the uri.
std::string digest_kd_for(const std::string& ha1, const digest_input& in, std::string_view method) {
    cl::md5 a2;
    a2.update(method);
    a2.update(":");
    a2.update(in.uri);
    const std::string ha2 = a2.hex();
    cl::md5 m;
    m.update(ha1);
    m.update(":");
    m.update(in.nonce);
    m.update(":");
    if (!in.qop.empty()) {
        for (std::string_view part :
             {std::string_view(in.nc), std::string_view(":"), std::string_view(in.cnonce),
              std::string_view(":"), std::string_view(in.qop), std::string_view(":")})
            m.update(part);
    }
    m.update(ha2);
    return m.hex();
}

} // namespace

std::string digest_response(const digest_input& in) {
    return digest_kd_for(digest_ha1(in), in, in.method);
}

std::string digest_rspauth(const digest_input& in) {
    return digest_kd_for(digest_ha1(in), in, "");
}

void set_digest_secret(const std::string& secret) {
    nonce_table& t = table();
    cl::cs_lock lk(t.lock);
    t.secret = secret;
}

std::string digest_secret() {
    nonce_table& t = table();
    cl::cs_lock lk(t.lock);
    return t.secret;
}

std::string new_digest_nonce() {
    nonce_table& t = table();
    const int64_t now = now_s();
    std::string secret = digest_secret();
    const std::string nonce =
        md5_hex(cl::format_str("%x:%?:%?", static_cast<uint64_t>(now), cl::lcg_random64(), secret));
    cl::cs_lock lk(t.lock);
    // Nonces are made in creation order; a clock set back must not put a
    // younger nonce before older ones in that order.
    const int64_t created = t.order.empty() ? now : std::max(now, t.order.back().first);
    if (t.limit > 0 && t.map.size() >= t.limit) {
        std::size_t excess = t.map.size() - t.limit + 1;
        drop_front(t, [&](int64_t) { return excess-- > 0; });
    }
    t.map[nonce] = nonce_entry{0, created};
    t.order.emplace_back(created, nonce);
    return nonce;
}

bool digest_nonce_known(const std::string& nonce) {
    nonce_table& t = table();
    cl::cs_lock lk(t.lock);
    return t.map.count(nonce) != 0;
}

nonce_use use_digest_nonce(const std::string& nonce, uint32_t nc) {
    nonce_table& t = table();
    cl::cs_lock lk(t.lock);
    auto it = t.map.find(nonce);
    if (it == t.map.end()) return nonce_use::unknown;
    uint32_t& used = it->second.used;
    if (nc == 0) {
        if (used != 0) return nonce_use::stale;
        used = used_up;
        return nonce_use::accepted;
    }
    if (nc > max_nonce_count) return nonce_use::stale;
    const uint32_t bit = 1u << (nc - 1);
    if (used & bit) return nonce_use::stale;
    used |= bit;
    return nonce_use::accepted;
}

void purge_digest_nonces(int64_t now) {
    if (now == 0) now = now_s();
    nonce_table& t = table();
    cl::cs_lock lk(t.lock);
    drop_front(t, [now](int64_t created) { return now - created >= nonce_lifetime_s; });
}

void clear_digest_nonces() {
    nonce_table& t = table();
    cl::cs_lock lk(t.lock);
    t.map.clear();
    t.order.clear();
}

std::size_t digest_nonce_count() {
    nonce_table& t = table();
    cl::cs_lock lk(t.lock);
    return t.map.size();
}

std::size_t digest_nonce_limit() {
    nonce_table& t = table();
    cl::cs_lock lk(t.lock);
    return t.limit;
}

void set_digest_nonce_limit(std::size_t limit) {
    nonce_table& t = table();
    cl::cs_lock lk(t.lock);
    t.limit = limit;
}

void start_digest_nonce_purge(cl::base_timer& timer) {
    timer.set_timer(
        purge_timer(), [] { purge_digest_nonces(); }, purge_period_ms, 0);
}

void stop_digest_nonce_purge() {
    purge_timer().kill(true);
}

auth_scheme& http_auth_scheme() {
    return the_scheme;
}
