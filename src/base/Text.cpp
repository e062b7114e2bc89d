#include "base/Text.h"

#include <cstdint>

namespace ambrel {
namespace {

// Bytes of a valid UTF-8 sequence at the start of text that is no control
// character (C1 controls, U+0080..U+009F, steer terminals too); 0 otherwise.
std::size_t printableSequence(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0 || text.size() < length) return 0;
    std::uint32_t code = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i) & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code < 0xA0) return 0;
    return length;
}

// The escaped text of at most `max` bytes of `text`; `at` where it stopped.
std::string escaped(std::string_view text, std::size_t max, std::size_t& at) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    at = 0;
    while (at < text.size() && at < max) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++at;
        } else if (std::size_t n = c >= 0x80 ? printableSequence(text.substr(at)) : 0; n > 0) {
            out.append(text.substr(at, n));
            at += n;
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
            ++at;
        }
    }
    return out;
}

std::string cutNote(std::string_view text, std::size_t at) {
    return at < text.size() ? "... (" + std::to_string(text.size()) + " bytes)" : std::string();
}

}  // namespace

std::string quoted(std::string_view text, std::size_t max) {
    std::size_t at = 0;
    std::string out = "'" + escaped(text, max, at) + "'";
    return out + cutNote(text, at);
}

std::string printable(std::string_view text, std::size_t max) {
    std::size_t at = 0;
    std::string out = escaped(text, max, at);
    return out + cutNote(text, at);
}

}  // namespace ambrel
