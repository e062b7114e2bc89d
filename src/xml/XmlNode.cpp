#include "xml/XmlNode.h"

#include <new>
#include <utility>

#include "base/Exception.h"
#include "xml/XmlText.h"

namespace ambrel {

namespace {

std::string_view orEmpty(const char* text) { return text ? std::string_view(text) : std::string_view(); }

// The bytes that end an element name inside a tag.
constexpr std::string_view kNameEnd = " />\t\r\n";

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

XmlNode::XmlNode() : name_("xml") {}
XmlNode::XmlNode(const char* name, const char* value) : name_(orEmpty(name)), value_(orEmpty(value)) {}
XmlNode::XmlNode(std::string_view name, std::string_view value) : name_(name), value_(value) {}

XmlNode::~XmlNode() { destroyChildren(); }

XmlNode::XmlNode(XmlNode&& other) noexcept
    : name_(std::move(other.name_)), value_(std::move(other.value_)), children_(std::move(other.children_)) {}

XmlNode& XmlNode::operator=(XmlNode&& other) noexcept {
    if (this != &other) {
        destroyChildren();
        name_ = std::move(other.name_);
        value_ = std::move(other.value_);
        children_ = std::move(other.children_);
    }
    return *this;
}

// A parsed document may nest hundreds of thousands of levels deep; letting the
// unique_ptr destructors recurse would overflow the stack. Subtrees are
// flattened into a work list first so every node dies childless.
void XmlNode::destroyChildren() noexcept {
    std::vector<std::unique_ptr<XmlNode>> pending = std::move(children_);
    children_.clear();
    while (!pending.empty()) {
        std::unique_ptr<XmlNode> node = std::move(pending.back());
        pending.pop_back();
        for (auto& c : node->children_) pending.push_back(std::move(c));
        node->children_.clear();
    }
}

int XmlNode::indexOfChild(const char* name) const { return name ? indexOfChild(std::string_view(name)) : -1; }

int XmlNode::indexOfChild(std::string_view name) const {
    for (std::size_t i = 0; i < children_.size(); ++i) {
        if (equalsIgnoreAsciiCase(children_[i]->name_, name)) return static_cast<int>(i);
    }
    return -1;
}

XmlNode* XmlNode::findChild(const char* name) { return name ? findChild(std::string_view(name)) : nullptr; }
const XmlNode* XmlNode::findChild(const char* name) const {
    return name ? findChild(std::string_view(name)) : nullptr;
}
XmlNode* XmlNode::findChild(std::string_view name) {
    const int i = indexOfChild(name);
    return i < 0 ? nullptr : children_[static_cast<std::size_t>(i)].get();
}
const XmlNode* XmlNode::findChild(std::string_view name) const {
    const int i = indexOfChild(name);
    return i < 0 ? nullptr : children_[static_cast<std::size_t>(i)].get();
}

XmlNode& XmlNode::addChild(const char* name, const char* value) {
    return addChild(orEmpty(name), orEmpty(value));
}

XmlNode& XmlNode::addChild(std::string_view name, std::string_view value) {
    return *appendChild(std::make_unique<XmlNode>(name, value));
}

// The child list grows geometrically (std::vector), so appending n children
// costs O(n) in all; a fixed growth step would make long lists quadratic.
XmlNode* XmlNode::appendChild(std::unique_ptr<XmlNode> node) {
    if (!node) return nullptr;
    try {
        children_.push_back(std::move(node));
    } catch (const std::bad_alloc&) {
        throw MemoryException();
    }
    return children_.back().get();
}

bool XmlNode::parse(const char* text) { return text ? parse(std::string_view(text)) : false; }

namespace {

// Reads `name="value"` and `name='value'` pairs of one tag into `target`.
// A missing quote ends the list; what was read before stays.
void readAttributes(std::string_view tag, XmlNode& target) {
    const std::size_t nameEnd = tag.find_first_of(kNameEnd);
    std::string_view rest = trimLeadingXmlSpace(tag.substr(nameEnd + 1));
    for (;;) {
        const std::size_t eq = rest.find('=');
        if (eq == std::string_view::npos) return;
        const std::string_view name = rest.substr(0, eq);  // deliberately untrimmed
        rest = rest.substr(eq + 1);
        if (rest.empty() || (rest[0] != '\'' && rest[0] != '"')) return;
        const std::size_t close = rest.find(rest[0], 1);
        if (close == std::string_view::npos) return;
        target.addChild(name, decodeEntities(rest.substr(1, close - 1)));
        rest = trimLeadingXmlSpace(rest.substr(close + 1));
    }
}

// Appends a decoded text piece and trims the value at both ends. The value is
// kept trimmed, so only the piece's own edges can need trimming. They are
// trimmed before decoding: whitespace written as a character reference
// ("&#32;", as the writer does at a value's ends) is text and stays.
void appendText(std::string& value, std::string_view piece) {
    piece = trimTrailingXmlSpace(piece);
    if (value.empty()) piece = trimLeadingXmlSpace(piece);
    if (piece.empty()) return;
    if (piece.find('&') == std::string_view::npos) {
        value.append(piece);
    } else {
        value += decodeEntities(piece);
    }
}

}  // namespace

// The content procedure, run with an explicit stack instead of recursion:
// each stack entry is one active invocation (the same node may appear twice,
// because the root's own element content is read by a nested invocation on
// the root). A return from an inner invocation discards its result and lets
// the outer one carry on from the shared cursor.
class XmlContentReader {
public:
    explicit XmlContentReader(std::string_view text) : text_(text), lastGt_(text.rfind('>')) {}

    bool run(XmlNode& root) {
        std::vector<XmlNode*> active{&root};
        for (;;) {
            const Step s = step(*active.back(), active);
            if (s == Step::Continue) continue;
            active.pop_back();
            if (active.empty()) return s == Step::ReturnTrue;
        }
    }

private:
    enum class Step { Continue, ReturnTrue, ReturnFalse };

    // One turn of the loop of the innermost invocation.
    Step step(XmlNode& node, std::vector<XmlNode*>& active) {
        if (cursor_ >= text_.size()) return Step::ReturnTrue;
        const std::size_t lt = nextLt();
        if (lt == std::string_view::npos) return Step::ReturnTrue;  // text after the last tag is ignored
        // Every outer invocation retries the same "<" after an inner one gave
        // up on it; whether a ">" follows is known without searching again.
        if (lastGt_ == std::string_view::npos || lastGt_ < lt) return Step::ReturnFalse;
        const std::size_t gt = text_.find('>', lt + 1);

        appendText(node.value_, text_.substr(cursor_, lt - cursor_));
        const std::string_view tag = text_.substr(lt, gt - lt + 1);
        cursor_ = gt + 1;

        if (tag[1] == '!' || tag[1] == '?') return Step::Continue;
        if (startsWith(tag, "</")) return Step::ReturnTrue;  // any closing tag closes this element

        const std::string_view name = trimXmlSpace(tag.substr(1, tag.find_first_of(kNameEnd) - 1));
        XmlNode* target = &node;
        if (node.name_.empty()) {
            node.name_.assign(name);
        } else {
            target = &node.addChild(name);
        }
        readAttributes(tag, *target);
        if (!endsWith(tag, "/>")) active.push_back(target);
        return Step::Continue;
    }

    // Search for the next "<", remembered while the cursor stands still.
    std::size_t nextLt() {
        if (ltFrom_ != cursor_) {
            ltFrom_ = cursor_;
            lt_ = text_.find('<', cursor_);
        }
        return lt_;
    }

    std::string_view text_;
    std::size_t lastGt_;
    std::size_t cursor_ = 0;
    std::size_t ltFrom_ = std::string_view::npos;
    std::size_t lt_ = std::string_view::npos;
};

bool XmlNode::parse(std::string_view input) {
    std::string text = stripMarkup(input);
    text.resize(trimTrailingXmlSpace(text).size());
    destroyChildren();
    name_.clear();
    value_.clear();
    return XmlContentReader(text).run(*this);
}

namespace {

// Writer, iterative for the same reason as the parser: one frame per open
// element, the output built in a single string.
class TextWriter {
public:
    std::string write(const XmlNode& root, int indent, bool selfCloseEmpty) {
        if (open(root, indent, selfCloseEmpty)) frames_.push_back({&root, indent, 0});
        while (!frames_.empty()) {
            Frame& f = frames_.back();
            const XmlNode* next = nullptr;
            while (f.next < f.node->childCount()) {
                const XmlNode& c = f.node->child(f.next++);
                if (!writtenAsAttribute(c, f.indent)) {
                    next = &c;
                    break;
                }
            }
            if (next) {
                const int childIndent = f.indent < 0 ? -1 : f.indent + 1;
                if (open(*next, childIndent, true)) frames_.push_back({next, childIndent, 0});
            } else {
                close(*f.node, f.indent);
                frames_.pop_back();
            }
        }
        return std::move(out_);
    }

private:
    struct Frame {
        const XmlNode* node;
        int indent;
        std::size_t next;
    };

    static bool writtenAsAttribute(const XmlNode& n, int indent) { return indent < 0 && n.childCount() == 0; }

    static bool hasContent(const XmlNode& n, int indent) {
        for (std::size_t i = 0; i < n.childCount(); ++i) {
            if (!writtenAsAttribute(n.child(i), indent)) return true;
        }
        return false;
    }

    void pad(int indent) {
        if (indent > 0) out_.append(static_cast<std::size_t>(indent), '\t');
    }
    void lineEnd(int indent) {
        if (indent >= 0) out_ += "\r\n";
    }

    // Writes the start tag with its attributes; returns true when the element
    // still needs its content and end tag.
    bool open(const XmlNode& n, int indent, bool selfCloseEmpty) {
        pad(indent);
        out_ += '<';
        out_ += n.name();
        for (std::size_t i = 0; i < n.childCount(); ++i) {
            const XmlNode& c = n.child(i);
            if (!writtenAsAttribute(c, indent)) continue;
            out_ += ' ';
            out_ += c.name();
            out_ += "=\"";
            out_ += encodeEntities(c.value());
            out_ += '"';
        }
        const bool content = hasContent(n, indent);
        if (!content && n.value().empty() && selfCloseEmpty) {
            out_ += "/>";
            lineEnd(indent);
            return false;
        }
        out_ += '>';
        if (content) lineEnd(indent);
        return true;
    }

    void close(const XmlNode& n, int indent) {
        const bool content = hasContent(n, indent);
        if (content) pad(indent);
        if (!n.value().empty()) {
            if (content && indent >= 0) out_ += '\t';
            out_ += encodeText(n.value());
            if (content) {
                lineEnd(indent);
                pad(indent);
            }
        }
        out_ += "</";
        out_ += n.name();
        out_ += '>';
        lineEnd(indent);
    }

    std::string out_;
    std::vector<Frame> frames_;
};

}  // namespace

std::string XmlNode::toText(int indent, bool selfCloseEmpty) const {
    return TextWriter().write(*this, indent, selfCloseEmpty);
}

}  // namespace ambrel
