// Byte-string helpers of the XML document library: whitespace, ASCII case
// folding, the five entity references and markup removal.
//
// Every function works on raw bytes. No character set is assumed: bytes of
// 128 and above are ordinary text, never whitespace and never folded.
#pragma once

#include <string>
#include <string_view>

namespace ambrel {

// Whitespace wherever the library trims: any byte of value 32 or less.
constexpr bool isXmlSpace(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view trimXmlSpace(std::string_view text);
std::string_view trimLeadingXmlSpace(std::string_view text);
std::string_view trimTrailingXmlSpace(std::string_view text);

// Case folding maps only the letters A-Z and a-z onto each other.
constexpr char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char asciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
std::string asciiUpper(std::string_view text);
bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b);

// "&" "<" ">" "'" and the double quote become "&amp;" "&lt;" "&gt;" "&apos;"
// "&quot;". decodeEntities(encodeEntities(x)) == x for every byte string.
std::string encodeEntities(std::string_view text);

// As encodeEntities, and each byte of value 32 or less at either end as a
// character reference ("&#32;", "&#9;"): element text is trimmed on reading,
// and a reference is text, not whitespace, so the value reads back whole.
std::string encodeText(std::string_view text);

// "&lt;" "&gt;" "&apos;" "&quot;" are decoded first and "&amp;" last, so
// "&amp;lt;" becomes "&lt;", not "<". Character references of whitespace
// ("&#0;" to "&#32;", also as "&#x20;") become that byte; other numeric and
// named references stay in the text as they are.
std::string decodeEntities(std::string_view text);

// Removes, in three phases, every comment ("<!--" through "-->"), then every
// processing instruction ("<?" through ">"), then every declaration ("<!"
// through ">"), wherever it stands; the text on both sides is joined, and a
// marker formed by such a join is removed as well. An opening marker without
// its closing marker drops everything from the marker to the end of the text.
std::string stripMarkup(std::string_view text);

}  // namespace ambrel
