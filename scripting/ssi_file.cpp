#include "scripting/ssi_file.h"

#include "core/file_hnd.h"
#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/access_checker.h"
#include "server/access_decision.h"
#include "server/blocklist.h"
#include "server/config/path_lookup.h"
#include "server/config_info.h"
#include "server/http_request.h"
#include "server/script_file.h"
#include "server/script_host.h"
#include "server/server_dirs.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace scripting {

namespace {

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The position of name in text outside double-quoted parts; npos when absent.
std::size_t find_unquoted(std::string_view text, std::string_view name) {
    bool quoted = false;
    for (std::size_t i = 0; i + name.size() <= text.size(); ++i) {
        if (text[i] == '"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && text.compare(i, name.size(), name) == 0) return i;
    }
    return std::string_view::npos;
}

std::string real_path(const std::string& path) {
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf)) return {};
    return buf;
}

// True when the path, its links resolved, lies inside the document root.
bool inside_root(const std::wstring& path) {
    std::string root = real_path(cl::utf16_to_utf8(public_dir()));
    const std::string p = real_path(cl::utf16_to_utf8(path));
    if (root.empty() || p.empty()) return false;
    if (root.back() != '/') root += '/';
    return p.compare(0, root.size(), root) == 0;
}

} // namespace

std::string ssi_get_attribute(std::string_view attributes, std::string_view name) {
    std::size_t at = find_unquoted(attributes, name);
    if (at == std::string_view::npos) return {};
    std::size_t i = at + name.size();
    while (i < attributes.size() && cl::is_space(attributes[i]))
        ++i;
    if (i >= attributes.size() || attributes[i] != '=') return {};
    ++i;
    while (i < attributes.size() && cl::is_space(attributes[i]))
        ++i;
    if (i >= attributes.size()) return {};
    std::string value;
    if (attributes[i] == '"') {
        const std::size_t end = attributes.find('"', i + 1);
        value = std::string(attributes.substr(
            i + 1, end == std::string_view::npos ? std::string_view::npos : end - i - 1));
    } else {
        std::size_t end = i;
        while (end < attributes.size() && !cl::is_space(attributes[end]))
            ++end;
        value = std::string(attributes.substr(i, end - i));
    }
    return std::string(cl::trimmed(value));
}

std::string ssi_url_decode(std::string_view text, bool plus_as_blank) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return {};
            const int hi = hex_value(text[i + 1]);
            const int lo = hex_value(text[i + 2]);
            if (hi < 0 || lo < 0) return {};
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            continue;
        }
        if (c == '+' && plus_as_blank) {
            out += ' ';
            continue;
        }
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 33 || u > 126 || std::strchr("!*\"'();:@&=$,?%#[]", c) ||
            (c == '+' && !plus_as_blank))
            return {};
        out += c;
    }
    return out;
}

std::string ssi_query_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '%') {
            if (i + 2 >= text.size()) return {};
            const int hi = hex_value(text[i + 1]);
            const int lo = hex_value(text[i + 2]);
            if (hi < 0 || lo < 0) return {};
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c == '+') {
            out += ' ';
        } else if (u < 33 || u > 126) {
            return {};
        } else {
            out += c;
        }
    }
    return out;
}

void ssi_split_include_target(std::string_view value, std::wstring& file, std::string& query) {
    file.clear();
    query.clear();
    const std::size_t q = value.rfind('?');
    std::string name;
    if (q != std::string_view::npos) {
        query = ssi_query_decode(value.substr(q + 1));
        name = ssi_url_decode(value.substr(0, q), false);
    } else {
        name = ssi_url_decode(value, false);
    }
    file = cl::utf8_to_utf16(name);
    for (wchar_t c : file) {
        if (c < 32 || std::wcschr(L"<>\"|?*:", c)) {
            file.clear();
            return;
        }
    }
}

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

parsed_file::parsed_file(cl::sh_ptr<req_info> info, std::wstring path)
    : info_(std::move(info)), path_(std::move(path)) {
    const config_info* config = info_ ? info_->config.get() : nullptr;
    start_tag_ = config && !config->ssi_start_tag.empty() ? config->ssi_start_tag : "<!--#";
    end_tag_ = config && !config->ssi_end_tag.empty() ? config->ssi_end_tag : "-->";
    // The pages that include this one, from the request's own page down.
    if (info_) {
        std::wstring_view chain = info_->host_text1;
        while (!chain.empty()) {
            const std::size_t nl = chain.find(L'\n');
            chain_.emplace_back(chain.substr(0, nl));
            if (nl == std::wstring_view::npos) break;
            chain.remove_prefix(nl + 1);
        }
    }
    chain_.push_back(path_);
}

parsed_file::~parsed_file() = default;

void parsed_file::start(cl::ref_cnt_base* companion) {
    auto* h = dynamic_cast<response_headers*>(companion);
    headers_ = h ? cl::sh_ptr<response_headers>(h) : cl::make_sh<response_headers>();
    if (companion) companion->release();
}

int64_t parsed_file::read(void* buffer, int64_t count) {
    char* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        if (include_) {
            const int64_t n = include_->read(out + done, count - done);
            if (n > 0) {
                done += n;
                continue;
            }
            include_.reset();
            continue;
        }
        if (pending_pos_ < pending_.size()) {
            const std::size_t n =
                std::min<std::size_t>(pending_.size() - pending_pos_, count - done);
            std::memcpy(out + done, pending_.data() + pending_pos_, n);
            pending_pos_ += n;
            done += static_cast<int64_t>(n);
            continue;
        }
        pending_.clear();
        pending_pos_ = 0;
        if (!produce()) break;
    }
    return done;
}

void parsed_file::fill() {
    char buf[16384];
    const int64_t n = simple_file::read(buf, sizeof buf);
    if (n <= 0)
        eof_ = true;
    else
        look_.append(buf, static_cast<std::size_t>(n));
}

bool parsed_file::produce() {
    for (;;) {
        const std::size_t s = look_.find(start_tag_);
        if (s == std::string::npos) {
            if (eof_) {
                if (look_.empty()) return false;
                pending_.swap(look_);
                look_.clear();
                return true;
            }
            // The end may hold the first bytes of a start tag.
            const std::size_t keep = std::min(look_.size(), start_tag_.size() - 1);
            if (look_.size() > keep) {
                pending_ = look_.substr(0, look_.size() - keep);
                look_.erase(0, look_.size() - keep);
                return true;
            }
            fill();
            continue;
        }
        if (s > 0) {
            pending_ = look_.substr(0, s);
            look_.erase(0, s);
            return true;
        }
        const std::size_t e = look_.find(end_tag_, start_tag_.size());
        if (e == std::string::npos) {
            if (look_.size() > max_directive) {
                pending_ = look_.substr(0, start_tag_.size());
                look_.erase(0, start_tag_.size());
                return true;
            }
            if (eof_) {
                // A start tag without its end ends the page.
                look_.clear();
                return false;
            }
            fill();
            continue;
        }
        const std::string directive = look_.substr(start_tag_.size(), e - start_tag_.size());
        const std::string whole = look_.substr(0, e + end_tag_.size());
        look_.erase(0, e + end_tag_.size());
        process(directive, whole);
        return true;
    }
}

void parsed_file::process(const std::string& directive, const std::string& whole) {
    std::size_t n = 0;
    while (n < directive.size() && is_letter(directive[n]))
        ++n;
    const std::string name = directive.substr(0, n);
    const std::string attributes = directive.substr(n);
    if (name == "echo") {
        const std::string value = info_ ? info_->get(ssi_get_attribute(attributes, "var")) : "";
        // A variable holds what a client sent (its headers, its query):
        // markup in it must not become part of the page.
        pending_ = ssi_get_attribute(attributes, "encoding") == "none" ? value : html_escape(value);
    } else if (name == "include") {
        include(attributes);
    } else {
        pending_ = whole;
    }
}

void parsed_file::include(const std::string& attributes) {
    if (!info_ || !info_->config) return;
    bool is_virtual = true;
    std::string value = ssi_get_attribute(attributes, "virtual");
    if (value.empty()) {
        value = ssi_get_attribute(attributes, "file");
        is_virtual = false;
    }
    std::wstring name;
    std::string query;
    ssi_split_include_target(value, name, query);
    if (name.empty()) return;
    if (!is_virtual) query.clear();
    if (!is_virtual && name.front() == L'/') return;

    // The target as a path below the document root: a virtual "/..." from
    // the root, anything else from the page's own folder. A name that climbs
    // out of the root is refused.
    const std::wstring root = public_dir();
    if (root.empty()) return;
    std::wstring relative;
    if (name.front() == L'/') {
        relative = name;
    } else {
        const std::wstring& dir = info_->config->directory;
        if (dir.compare(0, root.size(), root) != 0) return;
        relative = L"/" + dir.substr(root.size()) + name;
    }
    relative = server_config::resolve_relative_path(relative);
    if (relative.empty() || relative.front() != L'/') return;
    const std::wstring full = root.substr(0, root.size() - 1) + relative;
    if (!server_config::check_any_filename(full, trace_level()) || is_blocked(full)) return;

    for (const std::wstring& page : chain_) {
        if (page == full) {
            pending_ = "[include loop stopped: " + html_escape(value) + "]\n";
            if (trace_level() > 0)
                cl::trace_out.write_w(cl::format_wstr(L"ssi: include loop stopped at %?\n", full));
            return;
        }
    }
    if (chain_.size() >= max_depth) {
        pending_ = "[includes nested too deeply: " + html_escape(value) + "]\n";
        return;
    }
    if (!inside_root(full)) return;

    // The include is answered only when the page's client could fetch the
    // target itself, with the login verified for the page.
    access_client client;
    if (info_->data) {
        client.authorization = info_->data->header(http_header_authorization);
        client.method = info_->data->method;
        client.uri = info_->data->raw_url;
    }
    client.info = info_.get();
    client.verified = info_->login.get();
    const access_answer access = decide_access(client, "GET", relative);
    if (!access.granted() || !access.config->is_file()) return;
    const cl::sh_ptr<config_info>& config = access.config;

    cl::sh_ptr<req_info> sub = cl::make_sh<req_info>();
    sub->copy_variables(*info_);
    sub->connection_id = info_->connection_id;
    sub->data = info_->data;
    sub->user_name = info_->user_name;
    sub->config = config;
    sub->set("_TSKQVL_FILE", cl::utf16_to_utf8(full));
    sub->set("_TSKQVL_PATH", cl::utf16_to_utf8(relative));
    if (is_virtual && !query.empty()) sub->set("QUERY_STRING", query);
    std::wstring chain;
    for (const std::wstring& page : chain_)
        chain += (chain.empty() ? L"" : L"\n") + page;
    sub->host_text1 = chain;

    std::unique_ptr<cl::simple_file> f = make_script_file(sub, full);
    if (!f) return;
    if (!f->open(full, cl::o_rdonly | cl::o_binary, cl::sh_denywr)) return;
    f->end_input();
    // An included program's head (its Content-Type above all) must not
    // change the page's: it gets a set of its own.
    f->start(nullptr);
    include_ = std::move(f);
}

} // namespace scripting
