// Any bytes as an LPC-10 frame: one frame of samples comes out, never more.
#include <cstdlib>

#include "audio/codecs/Lpc10Codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ambrel::Lpc10Codec codec;  // decoder state carries over, as in a call
    static std::vector<std::int16_t> wide;
    static std::vector<std::uint8_t> narrow;
    constexpr std::size_t frame = ambrel::Lpc10Codec::kFrameSamples;
    if (size % 2 == 0) {
        const std::size_t n = codec.decode16(data, size, wide, false);
        if ((n != 0 && n != frame) || wide.size() != frame) std::abort();
    } else {
        const std::size_t n = codec.decode8(data, size, narrow, false);
        if ((n != 0 && n != frame) || narrow.size() != frame) std::abort();
    }
    return 0;
}
