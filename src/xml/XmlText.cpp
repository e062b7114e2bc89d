#include "xml/XmlText.h"

namespace ambrel {

std::string_view trimLeadingXmlSpace(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isXmlSpace(text[i])) ++i;
    return text.substr(i);
}

std::string_view trimTrailingXmlSpace(std::string_view text) {
    std::size_t n = text.size();
    while (n > 0 && isXmlSpace(text[n - 1])) --n;
    return text.substr(0, n);
}

std::string_view trimXmlSpace(std::string_view text) {
    return trimTrailingXmlSpace(trimLeadingXmlSpace(text));
}

std::string asciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = asciiUpper(c);
    return out;
}

bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

// One scan does the work of the five ordered replace-all passes: every
// replacement starts with "&", so a later pass could only ever see "&" that an
// earlier pass inserted, and those are exactly the ones it must leave alone.
std::string encodeEntities(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\'': out += "&apos;"; break;
        case '"': out += "&quot;"; break;
        default: out += c; break;
        }
    }
    return out;
}

// Also one scan: the references cannot overlap (each starts with "&" and holds
// no other "&"), and no decoded byte can complete a reference with its
// neighbours, so decoding each reference where it stands, without rescanning
// what it produced, equals the ordered passes with "&amp;" last.
std::string encodeText(std::string_view text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && isXmlSpace(text[first])) ++first;
    while (last > first && isXmlSpace(text[last - 1])) --last;
    auto reference = [](char c) { return "&#" + std::to_string(static_cast<unsigned char>(c)) + ";"; };
    std::string out;
    for (std::size_t i = 0; i < first; ++i) out += reference(text[i]);
    out += encodeEntities(text.substr(first, last - first));
    for (std::size_t i = last; i < text.size(); ++i) out += reference(text[i]);
    return out;
}

namespace {

// The byte of a whitespace character reference at the start of `text`
// ("&#32;", "&#x9;") and its length; 0 when there is none.
std::size_t spaceReference(std::string_view text, char& byte) {
    if (!text.starts_with("&#")) return 0;
    std::size_t i = 2;
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    unsigned value = 0;
    const std::size_t digits = i;
    for (; i < text.size() && i - digits < 4; ++i) {
        const char c = text[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : -1;
        if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) break;
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
    }
    if (i == digits || i >= text.size() || text[i] != ';' || value > 32) return 0;
    byte = static_cast<char>(value);
    return i + 1;
}

}  // namespace

std::string decodeEntities(std::string_view text) {
    struct Ref { std::string_view text; char byte; };
    static constexpr Ref refs[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&apos;", '\''}, {"&quot;", '"'}, {"&amp;", '&'},
    };
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t amp = text.find('&', pos);
        if (amp == std::string_view::npos) break;
        out.append(text.substr(pos, amp - pos));
        pos = amp + 1;
        char decoded = '&';
        if (std::size_t n = spaceReference(text.substr(amp), decoded); n > 0) {
            out += decoded;
            pos = amp + n;
            continue;
        }
        for (const Ref& r : refs) {
            if (text.substr(amp, r.text.size()) == r.text) {
                decoded = r.byte;
                pos = amp + r.text.size();
                break;
            }
        }
        out += decoded;
    }
    out.append(text.substr(pos));
    return out;
}

namespace {

// One removal phase in a single left-to-right pass. Bytes are copied to the
// output one at a time; when the output ends with the opening marker (also one
// formed by joining the text around an earlier removal) the marker is taken
// back and the input skips past the first closing marker after it. This gives
// the same text as searching again from the start after every removal, in
// linear time.
std::string removeDelimited(std::string_view text, std::string_view open, std::string_view close) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i++];
        out += c;
        if (c == open.back() && out.size() >= open.size() &&
            std::string_view(out).substr(out.size() - open.size()) == open) {
            out.resize(out.size() - open.size());
            const std::size_t end = text.find(close, i);
            if (end == std::string_view::npos) break;  // unterminated: the rest is dropped
            i = end + close.size();
        }
    }
    return out;
}

}  // namespace

std::string stripMarkup(std::string_view text) {
    if (text.find('<') == std::string_view::npos) return std::string(text);
    std::string out = removeDelimited(text, "<!--", "-->");
    out = removeDelimited(out, "<?", ">");
    return removeDelimited(out, "<!", ">");
}

}  // namespace ambrel
