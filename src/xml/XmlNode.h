// A small XML document tree: named nodes, each with a text value and an
// ordered list of owned children, a forgiving parser and a writer.
//
// The tree does not tell attributes from child elements: `<a b="1"/>` and
// `<a><b>1</b></a>` give the same tree, and the writer chooses the form from
// its indent argument. Names and values are byte strings; nothing is converted
// except the five entity references in values.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ambrel {

class XmlNode {
public:
    // Named "xml", empty value, no children.
    XmlNode();
    // A null name or value gives an empty string.
    explicit XmlNode(const char* name, const char* value = nullptr);
    explicit XmlNode(std::string_view name, std::string_view value = {});
    ~XmlNode();  // destroys the whole subtree, however deep, without recursion

    XmlNode(const XmlNode&) = delete;
    XmlNode& operator=(const XmlNode&) = delete;
    XmlNode(XmlNode&& other) noexcept;
    XmlNode& operator=(XmlNode&& other) noexcept;

    const std::string& name() const { return name_; }
    void setName(std::string_view name) { name_.assign(name); }
    const std::string& value() const { return value_; }
    void setValue(std::string_view value) { value_.assign(value); }

    std::size_t childCount() const { return children_.size(); }
    // Precondition: index < childCount().
    XmlNode& child(std::size_t index) { return *children_[index]; }
    const XmlNode& child(std::size_t index) const { return *children_[index]; }

    // Index of the first child whose name equals `name` with A-Z folded to
    // a-z on both sides; -1 when there is none or `name` is null.
    int indexOfChild(const char* name) const;
    int indexOfChild(std::string_view name) const;
    // That child, or null.
    XmlNode* findChild(const char* name);
    XmlNode* findChild(std::string_view name);
    const XmlNode* findChild(const char* name) const;
    const XmlNode* findChild(std::string_view name) const;

    // Appends a new child (null name or value: empty) and returns it; this
    // node owns it. Throws MemoryException when the child list cannot grow.
    XmlNode& addChild(const char* name, const char* value = nullptr);
    XmlNode& addChild(std::string_view name = {}, std::string_view value = {});
    // Appends `node` last and takes ownership; returns it. A null pointer
    // appends nothing and returns null.
    XmlNode* appendChild(std::unique_ptr<XmlNode> node);

    // Replaces this node by the tree read from `text`: markup (comments,
    // processing instructions, declarations) is removed, the first element
    // becomes this node, and any later top-level element becomes its last
    // child. Attributes and child elements both become children. Text pieces
    // around child elements are decoded, joined and trimmed into the value.
    // Any closing tag ends the element being read, whatever its name.
    //
    // Returns false for a null text, leaving the node unchanged, and when a
    // "<" has no ">" after it (the node then keeps what was read before it).
    // Other faults are forgiven: a malformed attribute ends that tag's
    // attribute list, text after the last tag is ignored.
    bool parse(const char* text);
    bool parse(std::string_view text);

    // The text of this node and its subtree.
    // indent >= 0: every node is an element on lines of its own, indented by
    // one tab per level starting at `indent` tabs, each line ended by CR LF; a
    // value next to children stands on its own line one tab deeper.
    // indent < 0: one line, no line ends; children without children of their
    // own are written as attributes (name="value"), ahead of the others.
    // An element with neither content nor value is written as `<name/>` when
    // `selfCloseEmpty` is set (always so below the top node). Values are
    // entity-encoded; names are written as they are.
    std::string toText(int indent = 0, bool selfCloseEmpty = true) const;

private:
    friend class XmlContentReader;  // the parser fills name and value in place

    void destroyChildren() noexcept;

    std::string name_;
    std::string value_;
    std::vector<std::unique_ptr<XmlNode>> children_;
};

}  // namespace ambrel
