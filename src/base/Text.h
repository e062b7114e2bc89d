// Text for the user's eyes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ambrel {

// Outside text (an argument, a file name, a host name) for an error line: in
// single quotes, control bytes and bytes that are not UTF-8 as \xHH, and cut
// after `max` bytes with "..." and the whole length, so that a hostile value
// neither floods nor steers the terminal. Any thread.
std::string quoted(std::string_view text, std::size_t max = 64);
// The same without the quotes, for text that is set apart otherwise.
std::string printable(std::string_view text, std::size_t max = 64);

}  // namespace ambrel
