// Path redirects (Redirect, RedirectMatch, RedirectPermanent, RedirectTemp)
// and host redirects (qvel_redirect_host). The first rule that applies wins; an
// expression rule applies when its match reaches the end of the text, which
// the end marker appended to the replacement reveals.
#include "server/config/path_lookup.h"
#include "server/directives/directive_util.h"
#include "server/directives/directives.h"
#include "server/script_host.h"

#include <boost/regex.hpp>

using namespace directive_detail;

namespace {

constexpr wchar_t end_marker_w = L'\x01';
constexpr char end_marker = '\x01';

uint32_t status_of_word(std::string_view w) {
    if (cl::iequals(w, "permanent")) return 301;
    if (cl::iequals(w, "temp")) return 302;
    if (cl::iequals(w, "seeother")) return 303;
    if (cl::iequals(w, "gone")) return 410;
    return static_cast<uint32_t>(cl::rstring_to_int(cl::rstring(w)));
}

void set_redirect_kind(config_info& c, std::wstring_view a, bool expression) {
    auto words = split_words(a);
    if (words.size() == 2)
        add_redirect(c, words[0], words[1], 302, expression);
    else if (words.size() == 3)
        add_redirect(c, words[1], words[2], status_of_word(u8(words[0])), expression);
}

std::wstring redirect_lines(const config_info& c, bool expression, uint32_t status) {
    std::vector<std::wstring> lines;
    for (const auto& r : c.redirects) {
        if (bool(r.is_expression) != expression) continue;
        if (status && r.status != status) continue;
        lines.push_back(dec(r.status) + L" " + r.pattern + L" " + r.target);
    }
    return join(lines, L"\n");
}

} // namespace

void add_redirect(config_info& config, const std::wstring& pattern, const std::wstring& target,
                  uint32_t status, bool is_expression) {
    if (status == 0 || target.empty()) return;
    if (!is_expression && (pattern.empty() || pattern[0] != L'/')) return;
    for (auto& r : config.redirects) {
        if (r.pattern == pattern && bool(r.is_expression) == is_expression) {
            r.target = target;
            r.status = status;
            return;
        }
    }
    config.redirects.push_back({status, pattern, target, uint8_t(is_expression ? 1 : 0)});
}

void config_info::find_redirect(const std::wstring& url) {
    for (const auto& r : redirects) {
        std::wstring result;
        if (!r.is_expression) {
            const std::wstring& p = r.pattern;
            if (url.size() < p.size() || url.compare(0, p.size(), p) != 0) continue;
            if (url.size() > p.size() && p.back() != L'/') continue;
            std::size_t cut = p.size();
            if (p.back() == L'/' && r.target.back() != L'/') --cut;
            result = r.target + url.substr(cut);
        } else {
            // An expression the library rejects, or one too costly to match,
            // applies to nothing.
            try {
                boost::wregex re(r.pattern);
                result = boost::regex_replace(url, re, r.target + end_marker_w);
            } catch (const std::exception&) {
                continue;
            }
            if (result.empty() || result.back() != end_marker_w) continue;
            result.pop_back();
        }
        redirect_target = server_config::url_escape_path(u8(result));
        redirect_status = r.status;
        return;
    }
}

host_redirect_result apply_host_redirects(const config_info& config, std::string_view host) {
    host_redirect_result out;
    const std::string text(host);
    for (const auto& r : config.host_redirects) {
        if (!r.expression) continue;
        std::string result;
        try {
            result = boost::regex_replace(text, *r.expression, r.replacement + end_marker);
        } catch (const std::exception&) {
            continue; // a blow-up while matching counts as no match
        }
        if (result.empty() || result.back() != end_marker) continue;
        result.pop_back();
        out.target = std::move(result);
        out.status = r.status;
        break;
    }
    return out;
}

namespace directive_detail {

void set_redirect(config_info& c, std::wstring_view a) {
    set_redirect_kind(c, a, false);
}
void set_redirect_match(config_info& c, std::wstring_view a) {
    set_redirect_kind(c, a, true);
}

void set_redirect_permanent(config_info& c, std::wstring_view a) {
    auto words = split_words(a);
    if (words.size() == 2) add_redirect(c, words[0], words[1], 301, false);
}

void set_redirect_temp(config_info& c, std::wstring_view a) {
    auto words = split_words(a);
    if (words.size() == 2) add_redirect(c, words[0], words[1], 302, false);
}

std::wstring get_redirect(const config_info& c) {
    return redirect_lines(c, false, 0);
}
std::wstring get_redirect_match(const config_info& c) {
    return redirect_lines(c, true, 0);
}
std::wstring get_redirect_permanent(const config_info& c) {
    return redirect_lines(c, false, 301);
}
std::wstring get_redirect_temp(const config_info& c) {
    return redirect_lines(c, false, 302);
}

void set_redirect_host(config_info& c, std::wstring_view a) {
    auto words = split_words_narrow(u8(a));
    uint32_t status = 302;
    std::string pattern, replacement;
    if (words.size() == 2) {
        pattern = words[0];
        replacement = words[1];
    } else if (words.size() == 3) {
        status = status_of_word(words[0]);
        pattern = words[1];
        replacement = words[2];
    } else {
        return;
    }
    if (pattern.empty() || replacement.empty()) return;
    for (auto& r : c.host_redirects) {
        if (r.pattern == pattern) {
            r.replacement = replacement;
            r.status = status;
            return;
        }
    }
    std::shared_ptr<const boost::regex> re;
    try {
        re = std::make_shared<const boost::regex>(pattern);
    } catch (const std::exception&) {
        return; // a pattern the library rejects adds no rule
    }
    c.host_redirects.push_back({status, pattern, replacement, std::move(re)});
}

std::wstring get_redirect_host(const config_info& c) {
    std::vector<std::wstring> lines;
    for (const auto& r : c.host_redirects)
        lines.push_back(dec(r.status) + L" " + wide(r.pattern) + L" " + wide(r.replacement));
    return join(lines, L"\n");
}

} // namespace directive_detail
