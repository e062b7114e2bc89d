// iLBC (RFC 3951) frame modes.
#pragma once

#include <cstddef>

namespace ambrel::ilbc {

// The two frame sizes of RFC 3951. Audio is 8000 Hz mono.
//   Ms20: 160 samples (20 ms) per frame, 38 bytes (15.2 kbit/s)
//   Ms30: 240 samples (30 ms) per frame, 50 bytes (13.33 kbit/s)
enum class Mode { Ms20 = 20, Ms30 = 30 };

constexpr std::size_t frameSamples(Mode mode) { return mode == Mode::Ms20 ? 160 : 240; }
constexpr std::size_t frameBytes(Mode mode) { return mode == Mode::Ms20 ? 38 : 50; }

}  // namespace ambrel::ilbc
