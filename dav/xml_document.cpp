#include "dav/xml_document.h"

#include "core/format.h"
#include "core/text.h"
#include "core/trace.h"
#include "server/server_dirs.h"

bool xml_load_document(xml_document& document, std::string_view body) {
    document.reset();
    auto dom = std::make_unique<xml::document>();
    xml::parse_error error;
    if (!dom->load(body, &error)) {
        if (trace_level() >= 2)
            cl::trace_out.write(cl::format_str("XML parser error in line %?/%?: %?\n", error.line,
                                               error.column, error.reason));
        return false;
    }
    document.dom = std::move(dom);
    document.loaded = true;
    return true;
}

void xml_set_selection_namespaces(xml_document& document, std::wstring_view namespaces) {
    if (document.dom) document.dom->set_selection_namespaces(cl::utf16_to_utf8(namespaces));
}

namespace {

bool select(const xml_document& document, xml_node context, std::string_view xpath,
            std::vector<xml_node>& out) {
    out.clear();
    if (!document.loaded || !context) return false;
    return document.dom->select(context, xpath, out);
}

} // namespace

std::size_t xml_select_count(const xml_document& document, xml_node context,
                             std::string_view xpath) {
    std::vector<xml_node> nodes;
    return select(document, context, xpath, nodes) ? nodes.size() : 0;
}

std::size_t xml_select_count(const xml_document& document, std::string_view xpath) {
    return xml_select_count(document, document.node(), xpath);
}

std::string xml_select_text(const xml_document& document, xml_node context,
                            std::string_view xpath) {
    std::vector<xml_node> nodes;
    std::string text;
    if (select(document, context, xpath, nodes) && !nodes.empty() && !nodes[0].text(text))
        text.clear();
    return text;
}

std::string xml_select_text(const xml_document& document, std::string_view xpath) {
    return xml_select_text(document, document.node(), xpath);
}

bool xml_select_texts(const xml_document& document, xml_node context, std::string_view xpath,
                      std::vector<std::string>& texts) {
    const std::size_t entry = texts.size();
    const bool ok = xml_for_each_node(document, context, xpath, [&](xml_node n) {
        std::string t;
        if (!n.text(t)) return false;
        texts.push_back(std::move(t));
        return true;
    });
    if (!ok) texts.resize(entry);
    return ok;
}

bool xml_for_each_node(const xml_document& document, xml_node context, std::string_view xpath,
                       const std::function<bool(xml_node)>& callback) {
    std::vector<xml_node> nodes;
    if (!select(document, context, xpath, nodes)) return false;
    for (xml_node n : nodes)
        if (!callback(n)) return false;
    return true;
}

bool xml_for_each_node(const xml_document& document, std::string_view xpath,
                       const std::function<bool(xml_node)>& callback) {
    return xml_for_each_node(document, document.node(), xpath, callback);
}

bool xml_node_text(xml_node node, std::string& out) {
    return node.text(out);
}

std::string xml_node_base_name(xml_node node) {
    return node.local_name();
}

std::string xml_node_namespace(xml_node node) {
    return node.namespace_uri();
}

std::string xml_attribute_value(xml_node node, std::string_view name) {
    return node.attribute(name);
}
