// Sound levels of a block of samples as the meters show them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ambrel {

// Level of 8-bit unsigned samples: (largest byte - 128) x 100 / 127, with
// C++'s division truncating toward zero; an empty block counts as byte 0.
inline int level8(const std::uint8_t* data, std::size_t count) {
    int peak = 0;
    for (std::size_t i = 0; i < count; ++i)
        if (data[i] > peak) peak = data[i];
    return (peak - 128) * 100 / 127;
}

// Level of 16-bit signed samples: largest positive sample x 100 / 32767.
// Reads through memcpy: raw PCM sits at any byte offset of a datagram.
inline int level16(const std::uint8_t* data, std::size_t bytes) {
    int peak = 0;
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        std::int16_t s;
        std::memcpy(&s, data + i, 2);
        if (s > peak) peak = s;
    }
    return peak * 100 / 32767;
}

}  // namespace ambrel
