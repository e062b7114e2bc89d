// Fuzz target: arbitrary bytes decoded as 38-byte (20 ms) and 50-byte
// (30 ms) iLBC frames, with concealed frames in between. The decoder must
// neither crash nor read out of bounds, and every output sample is finite.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "audio/ilbc/Decoder.h"

namespace {

void decodeAll(ambrel::ilbc::Mode mode, const std::uint8_t* data, std::size_t size) {
    ambrel::ilbc::Decoder decoder(mode);
    const std::size_t bytes = ambrel::ilbc::frameBytes(mode);
    float out[240];
    // The first byte, when present, says which frames are followed by a
    // lost one (bit i for frame i modulo 8).
    const std::uint8_t losses = size > 0 ? data[0] : 0;
    std::size_t frame = 0;
    for (std::size_t at = 0; at + bytes <= size; at += bytes, ++frame) {
        decoder.decode(std::span(data + at, bytes), std::span(out, decoder.frameSamples()));
        for (std::size_t i = 0; i < decoder.frameSamples(); ++i)
            if (!std::isfinite(out[i])) std::abort();
        if ((losses >> (frame % 8)) & 1) decoder.conceal(std::span(out, decoder.frameSamples()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    decodeAll(ambrel::ilbc::Mode::Ms20, data, size);
    decodeAll(ambrel::ilbc::Mode::Ms30, data, size);
    return 0;
}
