#include "dav/caldav/ical_properties.h"

#include "core/text.h"

#include <algorithm>
#include <unordered_map>

namespace {

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// The position of the first `what` that is not inside double quotes.
size_t find_unquoted(std::string_view s, char what, size_t from = 0) {
    bool quoted = false;
    for (size_t i = from; i < s.size(); ++i) {
        if (s[i] == '"')
            quoted = !quoted;
        else if (s[i] == what && !quoted)
            return i;
    }
    return std::string_view::npos;
}

std::string unquote(std::string_view v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return std::string(v);
}

} // namespace

bool ascii_iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

std::string instance_suffix(size_t k) {
    return k == 0 ? std::string() : std::to_string(k + 1);
}

namespace {

// Calls `f` with each logical line, trimmed, blank ones skipped. Physical
// lines end in LF (a CR before it is dropped); a line that starts with a
// blank or a tab continues the one before it (the fold, that one blank, goes;
// the rest joins, blanks inside a value included). Only folded lines are
// copied.
template <class F> void for_each_line(std::string_view text, F&& f) {
    std::string joined;
    std::string_view pending;
    bool have = false, folded = false;
    auto flush = [&] {
        if (!have) return;
        std::string_view t = cl::trimmed(folded ? std::string_view(joined) : pending);
        if (!t.empty()) f(t);
        have = folded = false;
    };
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
            if (have) {
                if (!folded) {
                    joined.assign(pending);
                    folded = true;
                }
                joined.append(line);
                continue;
            }
        }
        flush();
        pending = line;
        have = true;
    }
    flush();
}

} // namespace

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    for_each_line(text, [&](std::string_view l) { lines.emplace_back(l); });
    return lines;
}

std::vector<std::string_view> split_params(std::string_view params) {
    std::vector<std::string_view> pieces;
    size_t pos = 0;
    while (pos <= params.size()) {
        size_t end = find_unquoted(params, ';', pos);
        if (end == std::string_view::npos) end = params.size();
        std::string_view piece = cl::trimmed(params.substr(pos, end - pos));
        if (!piece.empty()) pieces.push_back(piece);
        pos = end + 1;
    }
    return pieces;
}

std::vector<std::string> ical_param_values(std::string_view params, std::string_view name) {
    std::vector<std::string> values;
    for (std::string_view piece : split_params(params)) {
        size_t eq = piece.find('=');
        if (eq == std::string_view::npos || !ascii_iequals(cl::trimmed(piece.substr(0, eq)), name))
            continue;
        values.push_back(unquote(cl::trimmed(piece.substr(eq + 1))));
    }
    return values;
}

std::string ical_param_value(std::string_view params, std::string_view name) {
    for (std::string_view piece : split_params(params)) {
        size_t eq = piece.find('=');
        if (eq != std::string_view::npos && ascii_iequals(cl::trimmed(piece.substr(0, eq)), name))
            return unquote(cl::trimmed(piece.substr(eq + 1)));
    }
    return {};
}

namespace {

// Follows BEGIN and END lines; false once the nesting or the path goes
// beyond the bounds, or a component's name holds a "/" or a ",": the table
// keys components by their path, and such a name would read back as other
// components (and be written as another name).
struct component_path {
    std::string path;
    std::size_t depth = 0;

    bool begin(std::string_view name) {
        if (++depth > ical_max_nesting || path.size() + 1 + name.size() > ical_max_path ||
            name.find_first_of("/,") != std::string_view::npos)
            return false;
        path.append(1, '/').append(name);
        return true;
    }
    void end() {
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) return;
        path.resize(slash);
        --depth;
    }
};

} // namespace

bool ical_nesting_within_bounds(std::string_view text) {
    component_path p;
    bool ok = true;
    for_each_line(text, [&](std::string_view l) {
        if (!ok) return;
        if (l.starts_with("BEGIN:"))
            ok = p.begin(l.substr(6));
        else if (l.starts_with("END:"))
            p.end();
    });
    return ok;
}

std::size_t ical_table_bytes(const ical_properties& properties) {
    // A map node with three strings, and their heap blocks when not inline.
    constexpr std::size_t per_entry = 160;
    std::size_t bytes = 0;
    for (const auto& [key, pair] : properties)
        bytes += per_entry + key.size() + pair.first.size() + pair.second.size();
    return bytes;
}

bool parse_ical(std::string_view text, ical_properties& properties) {
    properties.clear();
    // How often a key was made, for the keys made more than once.
    std::unordered_map<std::string, int> counts;
    auto store = [&](std::string& key, std::string_view params, std::string_view value) {
        auto [it, fresh] = properties.try_emplace(key, params, value);
        if (fresh) return;
        int& n = counts.try_emplace(key, 1).first->second;
        key += std::to_string(++n);
        properties.try_emplace(key, params, value);
    };
    component_path p;
    // A repeated component gets its number in the path itself, so that its
    // properties are keyed under it.
    std::string& path = p.path;
    std::string key;
    bool ok = true;
    for_each_line(text, [&](std::string_view l) {
        if (!ok) return;
        if (l.starts_with("BEGIN:")) {
            ok = p.begin(l.substr(6));
            if (ok) store(path, {}, {});
            return;
        }
        if (l.starts_with("END:")) {
            p.end();
            return;
        }
        size_t stop = l.find_first_of(":;");
        std::string_view name = l.substr(0, stop);
        std::string_view params, value;
        if (stop != std::string_view::npos && l[stop] == ':') {
            value = cl::trimmed(l.substr(stop + 1));
        } else if (stop != std::string_view::npos) {
            // A ":" inside a quoted parameter value (a mailto: URI, a URL)
            // belongs to the parameter, not to the value.
            size_t colon = find_unquoted(l, ':', stop + 1);
            if (colon == std::string_view::npos) {
                params = cl::trimmed(l.substr(stop + 1));
            } else {
                params = cl::trimmed(l.substr(stop + 1, colon - stop - 1));
                value = cl::trimmed(l.substr(colon + 1));
            }
        }
        key.assign(path).append(1, ',').append(name);
        store(key, params, value);
    });
    if (!ok) properties.clear();
    return ok;
}

void append_folded_line(std::string& out, std::string_view line) {
    size_t budget = 75;
    while (line.size() > budget) {
        size_t cut = budget;
        // Never split a UTF-8 sequence: back up over continuation bytes.
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut;
        if (cut == 0) cut = budget;
        out.append(line.substr(0, cut));
        out.append("\n ");
        line.remove_prefix(cut);
        budget = 74; // the leading blank of a continuation counts
    }
    out.append(line);
    out.push_back('\n');
}

std::string write_ical(const ical_properties& properties) {
    std::string out;
    std::vector<std::string_view> open;
    auto depth = [](std::string_view p) { return std::count(p.begin(), p.end(), '/'); };
    auto last_step = [](std::string_view p) { return p.substr(p.rfind('/') + 1); };
    std::string line;
    for (const auto& [full_key, pair] : properties) {
        std::string_view key = full_key;
        while (!key.empty() && key.back() >= '0' && key.back() <= '9')
            key.remove_suffix(1);
        size_t comma = key.rfind(',');
        if (comma == std::string_view::npos) {
            while (!open.empty() && depth(open.back()) >= depth(key)) {
                line = "END:";
                line += last_step(open.back());
                append_folded_line(out, line);
                open.pop_back();
            }
            open.push_back(key);
            line = "BEGIN:";
            line += last_step(key);
            append_folded_line(out, line);
            continue;
        }
        line.assign(key.substr(comma + 1));
        if (!pair.first.empty()) {
            line += ';';
            line += pair.first;
        }
        line += ':';
        // A property named so that its line reads as a component's start or
        // end ("BEGIN" and "END" lines without a colon, "BEGIN1" once its
        // number goes) would open or close a component: it is left out.
        if (line.starts_with("BEGIN:") || line.starts_with("END:")) continue;
        line += pair.second;
        append_folded_line(out, line);
    }
    while (!open.empty()) {
        line = "END:";
        line += last_step(open.back());
        append_folded_line(out, line);
        open.pop_back();
    }
    return out;
}
