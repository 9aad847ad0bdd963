// The request-body documents of the DAV methods and the questions their
// handlers ask of them. XPath expressions use the prefixes of the selection
// namespaces set after loading (dav_namespaces() for most methods).
#pragma once
#include "platform/xml/xml.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using xml_node = xml::node;

struct xml_document {
    std::unique_ptr<xml::document> dom;
    bool loaded = false;

    void reset() {
        dom.reset();
        loaded = false;
    }
    // The document node, the context of absolute expressions; null when not
    // loaded.
    xml_node node() const { return loaded ? dom->root() : xml_node(); }
};

// Loads the body. A body that is not well-formed, or declares an entity,
// leaves the document unloaded; with trace level 2 or more the parser's line,
// column and reason are traced.
bool xml_load_document(xml_document& document, std::string_view body);
// "xmlns:d=\"DAV:\" ...": the prefixes the XPath expressions use.
void xml_set_selection_namespaces(xml_document& document, std::wstring_view namespaces);

// Every function below takes the document (for its prefixes) and a context
// node; the document overloads use the document node. XPath expressions are
// UTF-8; texts are UTF-8.

// Number of nodes selected; 0 when the expression fails.
std::size_t xml_select_count(const xml_document& document, xml_node context,
                             std::string_view xpath);
std::size_t xml_select_count(const xml_document& document, std::string_view xpath);
// Text of the first node selected; empty when none, or when it has no text.
std::string xml_select_text(const xml_document& document, xml_node context, std::string_view xpath);
std::string xml_select_text(const xml_document& document, std::string_view xpath);
// Appends the text of every selected node; on failure the vector is left as
// it was on entry and the result is false.
bool xml_select_texts(const xml_document& document, xml_node context, std::string_view xpath,
                      std::vector<std::string>& texts);
// Calls back for each selected node in document order; stops at the first
// false. True when every node was visited (also when none was selected).
bool xml_for_each_node(const xml_document& document, xml_node context, std::string_view xpath,
                       const std::function<bool(xml_node)>& callback);
bool xml_for_each_node(const xml_document& document, std::string_view xpath,
                       const std::function<bool(xml_node)>& callback);
// Elements give their descendant text trimmed at both ends; attributes and
// text nodes their value. False for other nodes.
bool xml_node_text(xml_node node, std::string& out);
// The local name without prefix; empty for a node without one.
std::string xml_node_base_name(xml_node node);
// The namespace URI; empty for none.
std::string xml_node_namespace(xml_node node);
// The value of the named attribute; empty when absent.
std::string xml_attribute_value(xml_node node, std::string_view name);
