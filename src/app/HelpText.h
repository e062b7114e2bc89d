// The command-line help text: every option, the codec names with their
// descriptions, the default codec and usage examples. Shown by the about box
// and printed by "--help". Plain C++ (no Qt), so any target can link it.
#pragma once

#include <string_view>

namespace ambrel {

// The whole help text, LF line ends, ending with a line break. Static storage;
// safe to call from any thread.
std::string_view helpText();

// One line: how to call the program, for error messages of the command line.
std::string_view usageLine();

}  // namespace ambrel
