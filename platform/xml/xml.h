// An XML document object model with XPath selection on libxml2, for request
// bodies that come from clients: a document is loaded from memory without
// loading a DTD, without substituting entities and without any network
// access, and a document whose internal subset declares an entity is refused
// outright. Queries use namespace prefixes registered once per document.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct _xmlNode;
struct _xmlDoc;
struct _xmlXPathContext;

namespace xml {

// Prepares the parser's global tables. Call once on the main thread before
// other threads parse; loading calls it too, so a forgotten call is safe.
void init_parser();

// A node inside a document, valid while the document lives. A null node
// stands for "none".
class node {
  public:
    node() = default;
    explicit node(_xmlNode* n) : n_(n) {}
    explicit operator bool() const { return n_ != nullptr; }
    _xmlNode* raw() const { return n_; }

    bool is_element() const;
    bool is_attribute() const;
    bool is_text() const; // text or CDATA
    // The local name (without prefix); empty for a node without one.
    std::string local_name() const;
    // The namespace URI; empty when the node is in no namespace.
    std::string namespace_uri() const;
    // Element: all descendant text, white space trimmed at both ends.
    // Attribute, text or CDATA: its value as it stands. False for any other
    // kind of node.
    bool text(std::string& out) const;
    // The value of the attribute of that name (no namespace); empty when
    // absent.
    std::string attribute(std::string_view name) const;
    // The parent node; null for the document node.
    node parent() const;
    // Child elements in document order.
    std::vector<node> child_elements() const;

  private:
    _xmlNode* n_ = nullptr;
};

// What one document may hold, checked by a scan of its bytes before the
// parser sees them: the parser's own check for repeated attributes grows with
// the square of their number on one element, so a small body could otherwise
// keep a core busy for minutes. Callers that know their documents give
// tighter bounds.
struct load_limits {
    std::size_t max_attributes = 256; // on one element, namespace declarations included
    std::size_t max_elements = 200000;
    std::size_t max_depth = 128;
    std::size_t max_text = 16 * 1024 * 1024; // character data, CDATA included
};

// Where a document failed to parse.
struct parse_error {
    int line = 0;
    int column = 0;
    std::string reason;
};

class document {
  public:
    document();
    ~document();
    document(const document&) = delete;
    document& operator=(const document&) = delete;

    // Parses the text (UTF-8 unless its declaration names another
    // encoding). False when it is not well-formed, goes beyond the limits,
    // or declares an entity; the error tells where and why.
    bool load(std::string_view text, parse_error* error = nullptr, const load_limits& limits = {});
    bool loaded() const { return doc_ != nullptr; }
    void reset();

    // Takes "xmlns:p=\"uri\" xmlns:q=\"uri\"..." as the prefixes that XPath
    // expressions may use; replaces earlier ones. False when the text holds
    // anything else.
    bool set_selection_namespaces(std::string_view declarations);

    // The document node: the context for absolute expressions.
    node root() const;
    // The nodes that the XPath expression selects from the context node, in
    // document order. False when the expression fails or yields no node set.
    bool select(node context, std::string_view xpath, std::vector<node>& out) const;

  private:
    _xmlDoc* doc_ = nullptr;
    std::vector<std::pair<std::string, std::string>> namespaces_;
};

} // namespace xml
