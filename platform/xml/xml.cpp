#include "platform/xml/xml.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <climits>
#include <mutex>

namespace xml {

namespace {

const char* chars(const xmlChar* s) {
    return reinterpret_cast<const char*>(s);
}
const xmlChar* uchars(const std::string& s) {
    return reinterpret_cast<const xmlChar*>(s.c_str());
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trimmed(const char* s) {
    if (!s) return {};
    std::string_view v(s);
    while (!v.empty() && is_blank(v.front()))
        v.remove_prefix(1);
    while (!v.empty() && is_blank(v.back()))
        v.remove_suffix(1);
    return std::string(v);
}

// Marks the parse as refused. An entity declaration is where expansion
// attacks (nested or external entities) begin; request bodies never need one.
struct parse_state {
    bool entity_declared = false;
};

void refuse_entity(void* ctx, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*) {
    auto* c = static_cast<xmlParserCtxtPtr>(ctx);
    if (c->_private) static_cast<parse_state*>(c->_private)->entity_declared = true;
    xmlStopParser(c);
}

// Steps past the ">" that ends the markup at i, outside quoted values and,
// for the document type, outside its bracketed internal subset. Returns the
// number of quoted values met: in a start tag, its attributes.
std::size_t skip_markup(std::string_view t, std::size_t& i, bool has_subset) {
    std::size_t quoted = 0;
    char quote = 0;
    int brackets = 0;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
            ++quoted;
        } else if (has_subset && (c == '[' || c == ']')) {
            brackets += c == '[' ? 1 : -1;
        } else if (c == '>' && brackets <= 0) {
            ++i;
            break;
        }
    }
    return quoted;
}

// The first bound the text goes beyond, as a reason and the offset where it
// did; an empty reason when it stays within them. A linear walk over the
// markup: comments, processing instructions, CDATA and the document type are
// stepped over; in a start tag every quoted value is one attribute. Text that
// is not well-formed is left for the parser to refuse.
std::pair<std::string, std::size_t> exceeded_limit(std::string_view t, const load_limits& l) {
    const std::size_t n = t.size();
    std::size_t i = 0, elements = 0, depth = 0, text = 0;
    const auto skip_past = [&](std::string_view end) {
        const std::size_t at = t.find(end, i);
        i = at == std::string_view::npos ? n : at + end.size();
        return at;
    };
    while (i < n) {
        const std::size_t lt = t.find('<', i);
        text += (lt == std::string_view::npos ? n : lt) - i;
        if (text > l.max_text) return {"too much text", i};
        if (lt == std::string_view::npos) break;
        i = lt + 1;
        const std::string_view rest = t.substr(i);
        if (rest.starts_with("!--")) {
            skip_past("-->");
        } else if (rest.starts_with("![CDATA[")) {
            i += 8;
            const std::size_t from = i;
            const std::size_t at = skip_past("]]>");
            text += (at == std::string_view::npos ? n : at) - from;
            if (text > l.max_text) return {"too much text", from};
        } else if (rest.starts_with("?")) {
            skip_past("?>");
        } else if (rest.starts_with("!")) {
            skip_markup(t, i, true);
        } else if (rest.starts_with("/")) {
            if (depth > 0) --depth;
            skip_past(">");
        } else {
            if (++elements > l.max_elements) return {"too many elements", lt};
            if (skip_markup(t, i, false) > l.max_attributes)
                return {"too many attributes on one element", lt};
            if (depth + 1 > l.max_depth) return {"elements nested too deeply", lt};
            const bool empty = t[i - 1] == '>' && i >= 2 && t[i - 2] == '/';
            if (!empty) ++depth;
        }
    }
    return {};
}

// Nothing of the parser or XPath engine goes to standard error: failures are
// reported through results.
void quiet(void*, xmlErrorPtr) {}

std::once_flag init_once;

} // namespace

void init_parser() {
    std::call_once(init_once, [] { xmlInitParser(); });
}

bool node::is_element() const {
    return n_ && n_->type == XML_ELEMENT_NODE;
}
bool node::is_attribute() const {
    return n_ && n_->type == XML_ATTRIBUTE_NODE;
}
bool node::is_text() const {
    return n_ && (n_->type == XML_TEXT_NODE || n_->type == XML_CDATA_SECTION_NODE);
}

std::string node::local_name() const {
    if ((is_element() || is_attribute()) && n_->name) return chars(n_->name);
    return {};
}

std::string node::namespace_uri() const {
    if ((is_element() || is_attribute()) && n_->ns && n_->ns->href) return chars(n_->ns->href);
    return {};
}

bool node::text(std::string& out) const {
    if (!is_element() && !is_attribute() && !is_text()) return false;
    xmlChar* content = xmlNodeGetContent(n_);
    if (is_element())
        out = trimmed(chars(content));
    else
        out = content ? chars(content) : "";
    xmlFree(content);
    return true;
}

std::string node::attribute(std::string_view name) const {
    if (!is_element()) return {};
    for (xmlAttr* a = n_->properties; a; a = a->next) {
        if (a->name && name == chars(a->name)) {
            std::string value;
            node(reinterpret_cast<xmlNode*>(a)).text(value);
            return value;
        }
    }
    return {};
}

node node::parent() const {
    return node(n_ ? n_->parent : nullptr);
}

std::vector<node> node::child_elements() const {
    std::vector<node> out;
    if (!n_) return out;
    for (xmlNode* c = n_->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) out.emplace_back(c);
    return out;
}

document::document() = default;

document::~document() {
    reset();
}

void document::reset() {
    if (doc_) xmlFreeDoc(doc_);
    doc_ = nullptr;
}

bool document::load(std::string_view text, parse_error* error, const load_limits& limits) {
    init_parser();
    reset();
    const auto fail = [error](int line, int column, std::string reason) {
        if (error) *error = {line, column, std::move(reason)};
        return false;
    };
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return fail(0, 0, "document too large");
    if (auto [why, at] = exceeded_limit(text, limits); !why.empty()) {
        const std::string_view before = text.substr(0, at);
        const std::size_t line_start = before.rfind('\n');
        const int column =
            static_cast<int>(line_start == std::string_view::npos ? at + 1 : at - line_start);
        return fail(static_cast<int>(std::count(before.begin(), before.end(), '\n')) + 1, column,
                    std::move(why));
    }
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (!ctxt) return fail(0, 0, "out of memory");
    parse_state state;
    ctxt->_private = &state;
    ctxt->sax->entityDecl = refuse_entity;
    ctxt->sax->serror = quiet;
    // No DTD loading, no entity substitution (no XML_PARSE_NOENT), no
    // network; the parser's own depth and size limits stay on (no
    // XML_PARSE_HUGE).
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDocPtr d = xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()), nullptr,
                                    nullptr, options);
    // A namespace error (an undeclared prefix, a prefix bound to an empty
    // name) makes the names meaningless: refused like any other fault.
    bool ok = d != nullptr && ctxt->wellFormed && ctxt->nsWellFormed && !state.entity_declared;
    parse_error e;
    if (!ok) {
        const xmlError* last = xmlCtxtGetLastError(ctxt);
        if (state.entity_declared) {
            e.reason = "entity declarations are not accepted";
            e.line = ctxt->input ? ctxt->input->line : 0;
            e.column = ctxt->input ? ctxt->input->col : 0;
        } else if (last && last->code != XML_ERR_OK) {
            e.line = last->line;
            e.column = last->int2;
            e.reason = trimmed(last->message);
        } else {
            e.reason = "not well-formed";
        }
    }
    ctxt->_private = nullptr;
    xmlFreeParserCtxt(ctxt);
    if (!ok) {
        if (d) xmlFreeDoc(d);
        return fail(e.line, e.column, e.reason);
    }
    doc_ = d;
    return true;
}

bool document::set_selection_namespaces(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> found;
    std::size_t i = 0;
    const auto skip = [&] {
        while (i < text.size() && is_blank(text[i]))
            ++i;
    };
    skip();
    while (i < text.size()) {
        if (text.substr(i, 6) != "xmlns:") return false;
        i += 6;
        const std::size_t eq = text.find('=', i);
        if (eq == std::string_view::npos || eq == i) return false;
        std::string prefix(text.substr(i, eq - i));
        i = eq + 1;
        if (i >= text.size() || (text[i] != '"' && text[i] != '\'')) return false;
        const char quote = text[i++];
        const std::size_t end = text.find(quote, i);
        if (end == std::string_view::npos) return false;
        found.emplace_back(std::move(prefix), std::string(text.substr(i, end - i)));
        i = end + 1;
        skip();
    }
    namespaces_ = std::move(found);
    return true;
}

node document::root() const {
    return node(reinterpret_cast<xmlNode*>(doc_));
}

bool document::select(node context, std::string_view xpath, std::vector<node>& out) const {
    out.clear();
    if (!doc_ || !context) return false;
    xmlXPathContextPtr ctx = xmlXPathNewContext(doc_);
    if (!ctx) return false;
    ctx->error = quiet;
    for (const auto& [prefix, uri] : namespaces_)
        xmlXPathRegisterNs(ctx, uchars(prefix), uchars(uri));
    ctx->node = context.raw();
    const std::string expr(xpath);
    xmlXPathObjectPtr result = xmlXPathEvalExpression(uchars(expr), ctx);
    bool ok = false;
    if (result && result->type == XPATH_NODESET) {
        ok = true;
        if (xmlNodeSetPtr set = result->nodesetval) {
            out.reserve(static_cast<std::size_t>(set->nodeNr));
            // Namespace nodes are copies owned by the result: never handed out.
            for (int k = 0; k < set->nodeNr; ++k)
                if (set->nodeTab[k]->type != XML_NAMESPACE_DECL) out.emplace_back(set->nodeTab[k]);
        }
    }
    if (result) xmlXPathFreeObject(result);
    xmlXPathFreeContext(ctx);
    return ok;
}

} // namespace xml
