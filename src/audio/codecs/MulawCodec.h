// G.711 µ-law with the program's own tables: one code byte per sample, two
// table look-ups per sample.
#pragma once

#include "audio/codecs/Pcm16Codec.h"

namespace ambrel {

class MulawCodec final : public Pcm16Codec {
public:
    static constexpr std::size_t kFrameSamples = 800;

    // The code of one sample: encode table[(sample as unsigned 16 bits) >> 3].
    static std::uint8_t encodeSample(std::int16_t sample);
    // The sample of one code; extremes are -32256 (code 0) and 32256 (code 128).
    static std::int16_t decodeSample(std::uint8_t code);

    // Recorder thread. One code byte per sample; returns `count`.
    std::size_t encode16(const std::int16_t* samples, std::size_t count,
                         std::vector<std::uint8_t>& out, bool append) override;
    // Player thread. One sample per byte; returns `length`.
    std::size_t decode16(const std::uint8_t* bytes, std::size_t length,
                         std::vector<std::int16_t>& out, bool append) override;
};

}  // namespace ambrel
