// Fuzz target: XmlNode::parse on any bytes, then both writer forms.
// Beyond "no crash": when every name in the tree is a plain name, writing the
// tree in the indented form and parsing it again must reproduce that text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "xml/XmlNode.h"

namespace {

bool plainName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == '-' || c == '.' || c == ':' || static_cast<unsigned char>(c) >= 128;
        if (!ok) return false;
    }
    return true;
}

bool plainNames(const ambrel::XmlNode& node) {
    if (!plainName(node.name())) return false;
    for (std::size_t i = 0; i < node.childCount(); ++i) {
        if (!plainNames(node.child(i))) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    ambrel::XmlNode tree;
    tree.parse(input);
    const std::string compact = tree.toText(-1, true);
    const std::string indented = tree.toText(0, false);

    ambrel::XmlNode again;
    again.parse(compact);
    if (plainNames(tree)) {
        ambrel::XmlNode first;
        first.parse(indented);
        const std::string once = first.toText(0, false);
        ambrel::XmlNode second;
        second.parse(once);
        if (second.toText(0, false) != once) std::abort();
    }
    return 0;
}
